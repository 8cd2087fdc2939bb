"""glTF and GLB: what `vertisift_tools` reads of the real files beside the collection's record,
and what reading and colouring them costs beside trimesh and Open3D.

    python bench/gltf_bench.py [--runs R] [--out bench/results] [--data DIR]
                               [--peer-python PYTHON] [--work DIR]

Real files: every glTF and GLB entry of DIR/colour/peers.json: the triangles and the extent
of the scene beside the record's own reading of the JSON (`ref`: node transforms applied),
and the mean RGB (0-255) of 10,000 surface points (seed 0) beside trimesh's.

Speed, medians and ranges of R rounds:
- `read_mesh` of the real GLBs (geometry, no image decoded) in this process, beside
  trimesh's `load(path)` and Open3D's `read_triangle_model(path)`, each timed R times in a
  process of its own (with --peer-python, an interpreter that has them).
- Colours on the real textured GLBs: `sample(path, 10_000, method="surface")` without
  colours, Pillow's decode of the base colour images alone, and the call with colours,
  alternating round by round; the target is colours at most 1.2 x (without + decode).
- A 2M-triangle GLB with COLOR_0 (the benchmark torus, written here): `sample(...,
  colors=True)` beside trimesh's `load` + `sample_surface(..., sample_color=True)`.

Prints the figures and writes OUT/gltf.md.
"""

from __future__ import annotations

import argparse
import io
import json
import statistics
import struct
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import meshes  # noqa: E402

SURFACE_POINTS = 10_000
TORUS = (1000, 1000)
# Real GLBs of every kind: textured PBR, many nodes and materials, vertex colours, Draco,
# meshopt, skinned, KTX2.
READ_FILES = (
    "donmccurdy+glTF-Transform/packages/view/assets/DamagedHelmet.glb",
    "mikedh+trimesh/models/CesiumMilkTruck.glb",
    "mikedh+trimesh/models/Duck.glb",
    "donmccurdy+glTF-Transform/packages/cli/test/in/chr_knight.glb",
    "google+draco/testdata/CesiumMan/glTF_Binary/CesiumMan.glb",
    "oframe+ogl/examples/assets/gltf/hershel-optimized.glb",
    "oframe+ogl/examples/assets/gltf/cottage-basis.glb",
    "zeux+meshoptimizer/demo/pirate.glb",
)
TEXTURED = READ_FILES[:5]

PEER_RUN = textwrap.dedent(
    """
    import sys, time
    peer, path, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if peer == "trimesh":
        import trimesh
        call = lambda: trimesh.load(path)
        count = lambda got: sum(len(getattr(g, "faces", ())) for g in got.geometry.values())
    elif peer == "open3d":
        import open3d
        open3d.utility.set_verbosity_level(open3d.utility.VerbosityLevel.Error)
        call = lambda: open3d.io.read_triangle_model(path)
        count = lambda got: sum(len(m.mesh.triangles) for m in got.meshes)
    else:
        import trimesh
        def call():
            mesh = trimesh.load(path, force="mesh", process=False)
            trimesh.sample.sample_surface(mesh, 10_000, sample_color=True, seed=0)
            return mesh
        count = lambda got: len(got.faces)
    times = []
    for _ in range(runs + 1):
        start = time.perf_counter()
        got = call()
        times.append(time.perf_counter() - start)
    print(" ".join(f"{t:.6f}" for t in times[1:]))
    print(count(got))
    """
)


def seconds(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def figure(values: list[float]) -> str:
    return (f"{statistics.median(values) * 1000:.1f} ms "
            f"({min(values) * 1000:.1f}-{max(values) * 1000:.1f})")


def peer_times(peer_python: str | None, peer: str, path: Path, runs: int) -> list[float] | str:
    if not peer_python:
        return "–"
    done = subprocess.run([peer_python, "-c", PEER_RUN, peer, str(path), str(runs)],
                          capture_output=True, text=True, timeout=1800)
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines()
        return "fails: " + (lines[-1][:80] if lines else f"exit {done.returncode}")
    times, triangles = done.stdout.strip().splitlines()
    if int(triangles) == 0:
        return "reads no triangle"
    return [float(value) for value in times.split()]


def shown(times: list[float] | str) -> str:
    return times if isinstance(times, str) else figure(times)


def real_rows(data: Path) -> list[str]:
    import vertisift_tools

    record = json.loads((data / "colour" / "peers.json").read_text())
    rows = []
    for entry in record["files"]:
        if not entry["path"].endswith((".glb", ".gltf")):
            continue
        ref = entry.get("reference") or {}
        trimesh = entry.get("trimesh") or {}
        path = data / "colour" / entry["path"]
        try:
            vertices, faces = vertisift_tools.read_mesh(path)
            used = vertices[np.unique(faces)] if len(faces) else np.zeros((0, 3))
            extent = np.ptp(used, axis=0).round(3).tolist() if len(used) else "–"
            colours = vertisift_tools.sample(path, SURFACE_POINTS, method="surface", seed=0,
                                             colors=True)[2]
            ours = (np.round(colours.mean(axis=0) * 255).astype(int).tolist()
                    if len(colours) else "–")
        except Exception as error:  # the table shows what failed
            extent, ours, faces = f"error: {error}"[:80], "–", []
        peer = trimesh.get("sample_mean_rgb") or trimesh.get("fallback_mean_rgb")
        ref_extent = [round(x, 3) for x in ref.get("bbox_extent", [])] or "–"
        rows.append(f"| {entry['path']} | {len(faces)} | {ref.get('triangles', '–')} "
                    f"(×{ref.get('instances', 1)} nodes) | {extent} | {ref_extent} | {ours} | "
                    f"{[round(x) for x in peer] if peer else trimesh.get('sample_err', '–')} |")
    return rows


def read_speed(data: Path, runs: int, peer_python: str | None) -> list[str]:
    import vertisift_tools

    lines = ["", f"`read_mesh` against the peers' readers, median (range) of {runs} calls:", "",
             "| file | vertisift_tools `read_mesh` | trimesh `load` | × | Open3D "
             "`read_triangle_model` | × |", "|---|---|---|---|---|---|"]
    for name in READ_FILES:
        path = data / "colour" / name
        if not path.is_file():
            continue
        vertisift_tools.read_mesh(path)
        ours = [seconds(lambda p=path: vertisift_tools.read_mesh(p)) for _ in range(runs)]
        mine = statistics.median(ours)
        row = [Path(name).name, figure(ours)]
        for peer in ("trimesh", "open3d"):
            times = peer_times(peer_python, peer, path, runs)
            row += [shown(times),
                    "–" if isinstance(times, str) else f"{statistics.median(times) / mine:.1f}"]
        lines.append("| " + " | ".join(row) + " |")
    return lines


def base_colour_images(path: Path) -> list[bytes]:
    """The bytes of the GLB's base colour images (those the colours decode)."""
    data = path.read_bytes()
    length = struct.unpack_from("<I", data, 12)[0]
    doc = json.loads(data[20:20 + length])
    binary = data[20 + length + 8:]
    images = set()
    for material in doc.get("materials", []):
        info = material.get("pbrMetallicRoughness", {}).get("baseColorTexture")
        if info is not None:
            texture = doc["textures"][info["index"]]
            if "source" in texture:
                images.add(texture["source"])
    found = []
    for index in sorted(images):
        view = doc["bufferViews"][doc["images"][index]["bufferView"]]
        start = view.get("byteOffset", 0)
        found.append(binary[start:start + view["byteLength"]])
    return found


def decode(images: list[bytes]) -> None:
    from PIL import Image

    for image in images:
        with Image.open(io.BytesIO(image)) as opened:
            opened.convert("RGB")


def colour_speed(data: Path, runs: int) -> list[str]:
    import vertisift_tools

    lines = ["", f"Colours on the real textured GLBs: {SURFACE_POINTS} surface points, median "
             f"(range) of {runs} rounds, the calls alternating:", "",
             "| file | without colours | base colour decodes (Pillow) | with colours | "
             "× (without + decodes) |", "|---|---|---|---|---|"]
    for name in TEXTURED:
        path = data / "colour" / name
        if not path.is_file():
            continue
        images = base_colour_images(path)
        calls = {
            "plain": lambda p=path: vertisift_tools.sample(p, SURFACE_POINTS, method="surface"),
            "decode": lambda i=images: decode(i),
            "colors": lambda p=path: vertisift_tools.sample(p, SURFACE_POINTS, method="surface",
                                                             colors=True),
        }
        times: dict[str, list[float]] = {key: [] for key in calls}
        for call in calls.values():
            call()
        for _ in range(runs):
            for key, call in calls.items():
                times[key].append(seconds(call))
        bound = statistics.median(times["plain"]) + statistics.median(times["decode"])
        lines.append(f"| {Path(name).name} ({len(images)} images) | {figure(times['plain'])} | "
                     f"{figure(times['decode'])} | {figure(times['colors'])} | "
                     f"{statistics.median(times['colors']) / bound:.2f} |")
    return lines


def coloured_glb(path: Path) -> Path:
    """The benchmark torus (2M triangles) as a GLB with a COLOR_0 of normalised bytes."""
    if path.exists():
        return path
    vertices, faces = meshes.torus(*TORUS)
    rgba = np.empty((len(vertices), 4), np.uint8)
    span = np.ptp(vertices, axis=0)
    rgba[:, :3] = ((vertices - vertices.min(axis=0)) / span * 255).astype(np.uint8)
    rgba[:, 3] = 255
    index = faces.astype(np.uint32).tobytes()
    blobs = [vertices.tobytes(), rgba.tobytes(), index]
    views, offset = [], 0
    for blob in blobs:
        views.append({"buffer": 0, "byteOffset": offset, "byteLength": len(blob)})
        offset += len(blob)
    doc = {
        "asset": {"version": "2.0"}, "buffers": [{"byteLength": offset}], "bufferViews": views,
        "accessors": [
            {"bufferView": 0, "componentType": 5126, "count": len(vertices), "type": "VEC3",
             "min": vertices.min(axis=0).tolist(), "max": vertices.max(axis=0).tolist()},
            {"bufferView": 1, "componentType": 5121, "normalized": True,
             "count": len(vertices), "type": "VEC4"},
            {"bufferView": 2, "componentType": 5125, "count": faces.size, "type": "SCALAR"}],
        "meshes": [{"primitives": [{"attributes": {"POSITION": 0, "COLOR_0": 1},
                                    "indices": 2}]}],
        "nodes": [{"mesh": 0}], "scenes": [{"nodes": [0]}], "scene": 0,
    }
    text = json.dumps(doc).encode()
    text += b" " * (-len(text) % 4)
    body = b"".join(blobs)
    chunks = (struct.pack("<II", len(text), 0x4E4F534A) + text
              + struct.pack("<II", len(body), 0x004E4942) + body)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(struct.pack("<III", 0x46546C67, 2, 12 + len(chunks)) + chunks)
    return path


def big_speed(work: Path, runs: int, peer_python: str | None) -> list[str]:
    import vertisift_tools

    path = coloured_glb(work / "torus-2m-color0.glb")
    calls = {
        "read_mesh": lambda: vertisift_tools.read_mesh(path),
        "sample surface": lambda: vertisift_tools.sample(path, SURFACE_POINTS, method="surface"),
        "sample surface, colors": lambda: vertisift_tools.sample(
            path, SURFACE_POINTS, method="surface", colors=True),
    }
    times: dict[str, list[float]] = {key: [] for key in calls}
    for call in calls.values():
        call()
    for _ in range(runs):
        for key, call in calls.items():
            times[key].append(seconds(call))
    peer = peer_times(peer_python, "trimesh-colours", path, runs)
    ours = statistics.median(times["sample surface, colors"])
    lines = ["", f"{path.name} (2M triangles, 1M vertices with COLOR_0), median (range) of "
             f"{runs} rounds:", "", "| call | time | trimesh ÷ this |", "|---|---|---|"]
    for key, values in times.items():
        lines.append(f"| {key} | {figure(values)} | |")
    ratio = "" if isinstance(peer, str) else f"{statistics.median(peer) / ours:.1f}"
    lines.append(f"| trimesh `load` + `sample_surface(sample_color=True)` | {shown(peer)} | "
                 f"{ratio} |")
    return lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=11)
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--data", type=Path, default=HERE.parent.parent / "shared" / "data")
    parser.add_argument("--peer-python", help="an interpreter with trimesh and Open3D")
    parser.add_argument("--work", type=Path, default=HERE / "data")
    arguments = parser.parse_args()

    lines = ["# glTF and GLB", ""]
    if (arguments.data / "colour" / "peers.json").exists():
        lines += ["The real files: triangles and scene extent read, beside the record's "
                  "reference reading (`ref`, per primitive, not multiplied by the nodes that "
                  "instance it); mean RGB of 10,000 surface points (seed 0) beside trimesh "
                  "5.2's `sample_color=True` (or its fallback, `to_simple()`/`to_color()`).",
                  "", "| file | triangles | ref triangles | extent | ref extent | mean RGB | "
                  "trimesh |", "|---|---|---|---|---|---|---|"]
        lines += real_rows(arguments.data)
        lines += read_speed(arguments.data, arguments.runs, arguments.peer_python)
        lines += colour_speed(arguments.data, arguments.runs)
    else:
        lines.append(f"(no real files: {arguments.data} is absent)")
    lines += big_speed(arguments.work, arguments.runs, arguments.peer_python)
    text = "\n".join(lines) + "\n"
    print(text)
    arguments.out.mkdir(parents=True, exist_ok=True)
    (arguments.out / "gltf.md").write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
