"""Mesh files read into arrays: `vertisift_tools.read_mesh` beside the readers users have, on
the benchmark torus written as binary PLY, ASCII PLY, OBJ and OFF.

    python bench/read_bench.py [--size 2m] [--runs R] [--peer-python PY] [--out DIR]

Every timed tool runs in a process of its own (warm-up once, then R runs: the median and the
range, and the peak resident memory above the process's baseline after its imports). Tools:
- read_mesh: `vertisift_tools.read_mesh(path)`, float32 vertices and int32 faces;
- sample-surface: `vertisift_tools.sample(path, 10_000, method="surface")`;
- bytes: reading the file's bytes alone (`Path.read_bytes`), the floor of any reader;
- trimesh: `trimesh.load(path, force="mesh", process=False)`;
- open3d: `open3d.io.read_triangle_mesh(path)`, then its arrays;
- meshio: `meshio.read(path)`.
The peers run under --peer-python when given (an environment that has them), the others
under this interpreter. Prints a table and writes OUT/read.md when --out is given.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import meshes  # noqa: E402
from worker import peak_resident_kib  # noqa: E402

FORMS = ["binary.ply", "ascii.ply", "obj", "off"]
OWN_TOOLS = ["read_mesh", "sample-surface", "bytes"]
PEER_TOOLS = ["trimesh", "open3d", "meshio"]
SURFACE_POINTS = 10_000


def write_form(path: Path, vertices: np.ndarray, faces: np.ndarray, form: str) -> None:
    """The torus in `form`, numbers with nine significant digits (exact for float32)."""
    with open(path, "wb") as out:
        if form == "binary.ply":
            out.write(
                (f"ply\nformat binary_little_endian 1.0\nelement vertex {len(vertices)}\n"
                 "property float x\nproperty float y\nproperty float z\n"
                 f"element face {len(faces)}\nproperty list uchar int vertex_indices\n"
                 "end_header\n").encode())
            out.write(vertices.astype("<f4").tobytes())
            record = np.zeros(len(faces), dtype=[("n", "u1"), ("i", "<i4", (3,))])
            record["n"] = 3
            record["i"] = faces
            out.write(record.tobytes())
            return
        if form == "ascii.ply":
            out.write(
                (f"ply\nformat ascii 1.0\nelement vertex {len(vertices)}\n"
                 "property float x\nproperty float y\nproperty float z\n"
                 f"element face {len(faces)}\nproperty list uchar int vertex_indices\n"
                 "end_header\n").encode())
            np.savetxt(out, vertices, fmt="%.9g")
            np.savetxt(out, np.column_stack([np.full(len(faces), 3), faces]), fmt="%d")
        elif form == "obj":
            np.savetxt(out, vertices, fmt="v %.9g %.9g %.9g")
            np.savetxt(out, faces + 1, fmt="f %d %d %d")
        else:
            out.write(f"OFF\n{len(vertices)} {len(faces)} 0\n".encode())
            np.savetxt(out, vertices, fmt="%.9g")
            np.savetxt(out, np.column_stack([np.full(len(faces), 3), faces]), fmt="%d")


def ensure_form(data_dir: Path, size: str, form: str) -> Path:
    path = data_dir / f"torus-{size}.{form}"
    if not path.exists():
        data_dir.mkdir(parents=True, exist_ok=True)
        vertices, faces = meshes.torus(*meshes.SIZES[size])
        partial = path.with_name(path.name + ".partial")
        write_form(partial, vertices.astype(np.float32), faces, form)
        os.replace(partial, path)
    return path


def make_run(tool: str, path: str):
    """The timed call of `tool`; returns the number of faces (or points) it made."""
    if tool == "read_mesh":
        import vertisift_tools

        return lambda: len(vertisift_tools.read_mesh(path)[1])
    if tool == "sample-surface":
        import vertisift_tools

        return lambda: len(vertisift_tools.sample(path, SURFACE_POINTS, method="surface")[0])
    if tool == "bytes":
        return lambda: len(Path(path).read_bytes())
    if tool == "trimesh":
        import trimesh

        return lambda: len(trimesh.load(path, force="mesh", process=False).faces)
    if tool == "open3d":
        import open3d

        def run() -> int:
            mesh = open3d.io.read_triangle_mesh(path)
            np.asarray(mesh.vertices)
            return len(np.asarray(mesh.triangles))

        return run
    if tool == "meshio":
        import meshio

        return lambda: sum(len(block.data) for block in meshio.read(path).cells)
    raise ValueError(f"unknown tool {tool}")


def child(tool: str, path: str, runs: int) -> None:
    try:
        run = make_run(tool, path)
    except ImportError as error:
        print(json.dumps({"error": f"not installed: {error.name}"}))
        return
    baseline = peak_resident_kib()
    made = run()
    seconds = []
    for _ in range(runs):
        started = time.perf_counter()
        made = run()
        seconds.append(time.perf_counter() - started)
    print(json.dumps({"seconds": seconds, "made": made,
                      "peak_mib": (peak_resident_kib() - baseline) / 1024}))


def measure(python: str, tool: str, path: Path, runs: int) -> dict:
    result = subprocess.run([python, __file__, "--child", tool, str(path), str(runs)],
                            capture_output=True, text=True, timeout=3600)
    lines = [line for line in result.stdout.splitlines() if line.startswith("{")]
    if result.returncode != 0 or not lines:
        return {"error": (result.stderr.strip().splitlines() or ["failed"])[-1][:80]}
    return json.loads(lines[-1])


def cell(result: dict, size: int) -> str:
    if "error" in result:
        return result["error"]
    times = result["seconds"]
    median = statistics.median(times)
    rate = size / median / 1e9
    return (f"{median * 1000:.0f} ms ({min(times) * 1000:.0f}–{max(times) * 1000:.0f}), "
            f"{rate:.2f} GB/s, {result['peak_mib']:.0f} MiB")


def main() -> int:
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="2m", choices=meshes.SIZES)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--forms", default=",".join(FORMS))
    parser.add_argument("--tools", default=",".join(OWN_TOOLS + PEER_TOOLS))
    parser.add_argument("--peer-python", default=sys.executable)
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--out", type=Path)
    args = parser.parse_args()
    tools = args.tools.split(",")
    lines = [f"Torus of {args.size} faces; median of {args.runs} runs (range), read rate "
             "over the file's size, peak memory above the process's baseline.", "",
             "| file | size | " + " | ".join(tools) + " |",
             "|---|---:|" + "---|" * len(tools)]
    for form in args.forms.split(","):
        path = ensure_form(args.data, args.size, form)
        size = path.stat().st_size
        row = []
        for tool in tools:
            python = args.peer_python if tool in PEER_TOOLS else sys.executable
            row.append(cell(measure(python, tool, path, args.runs), size))
            print(f"{form} {tool}: {row[-1]}", flush=True)
        lines.append(f"| {form} | {size / 1e6:.0f} MB | " + " | ".join(row) + " |")
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        args.out.mkdir(parents=True, exist_ok=True)
        (args.out / "read.md").write_text(text)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
