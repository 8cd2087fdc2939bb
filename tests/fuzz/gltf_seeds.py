"""Writes the seed corpus of the glTF fuzz target into a directory (never into the tree).

    python tests/fuzz/gltf_seeds.py OUT_DIR

Each seed is one byte (see mesh_fuzzer.cpp) followed by a small GLB or glTF file made by the
tests' writer: nested nodes, strips and fans, sparse, strided and normalised accessors, an
embedded texture, a skin and a morph target, a .gltf whose buffer follows the mark
"#--bin--\\n"; and the GLB files of the real collection beside the project (up to 64 KiB),
when it is there.
"""

from __future__ import annotations

import json
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from gltf_writer import CLAMP, MIRROR, Gltf  # noqa: E402
from seed_files import write_seeds  # noqa: E402

SIDE_FILE_MARK = b"#--bin--\n"
REAL = Path(__file__).resolve().parents[3] / "shared" / "data" / "colour"


def glb(g: Gltf) -> bytes:
    with tempfile.TemporaryDirectory() as folder:
        return g.write_glb(Path(folder) / "s.glb").read_bytes()


def scene() -> Gltf:
    g = Gltf()
    quad = np.array([[-1, -1, 0], [1, -1, 0], [1, 1, 0], [-1, 1, 0]], np.float32)
    image = g.image(b"\x89PNG\r\n\x1a\n")
    material = g.textured_material(image, (0.5, 1, 1, 1), (CLAMP, MIRROR), 1,
                                   {"offset": [0.5, 0], "rotation": 1, "scale": [2, 2]})
    g.add("meshes", {"primitives": [
        {"attributes": {"POSITION": g.accessor((quad * 32767).astype(np.int16), normalized=True),
                        "TEXCOORD_1": g.accessor(quad[:, :2].copy()),
                        "COLOR_0": g.accessor(np.full((4, 4), 200, np.uint8), normalized=True)},
         "indices": g.accessor(np.array([0, 1, 2, 0, 2, 3], np.uint8)), "material": material},
        {"attributes": {"POSITION": g.accessor(quad, stride=16, sparse=([1], quad[:1]))},
         "mode": 5},
        {"attributes": {"POSITION": g.accessor(quad)}, "mode": 6,
         "targets": [{"POSITION": g.accessor(quad)}]},
        {"attributes": {"POSITION": g.accessor(quad)}, "mode": 1}], "weights": [0.5]})
    g.add("nodes", {"mesh": 0, "translation": [1, 2, 3], "children": [1]})
    g.add("nodes", {"mesh": 0, "matrix": [-1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]})
    g.scene([0])
    return g


def seeds() -> dict[str, bytes]:
    made = {"scene_glb": glb(scene())}
    g = scene()
    g.doc["buffers"][0] = {"byteLength": len(g.data), "uri": "s.bin"}
    made["scene_gltf"] = json.dumps(g.doc).encode() + SIDE_FILE_MARK + bytes(g.data)
    g.doc["buffers"][0]["uri"] = "data:application/octet-stream;base64,AAAA"
    made["data_uri"] = json.dumps(g.doc).encode()
    made["not_json"] = b'{"asset": {"version": "2.0"}, "nodes": [1, 2'
    if REAL.is_dir():
        for path in sorted(REAL.rglob("*.glb")):
            if path.stat().st_size <= 65536:
                made["real_" + path.stem] = path.read_bytes()
    return made


if __name__ == "__main__":
    write_seeds(seeds(), __doc__)
