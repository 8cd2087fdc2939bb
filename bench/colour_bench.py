"""Colours at the points: what `vertisift_tools.sample(colors=True)` makes of the real coloured
files beside what the peers made of them, and what colours cost.

    python bench/colour_bench.py [--runs R] [--out bench/results] [--data DIR]
                                 [--peer-python PYTHON]

Real files: every OBJ, PLY and OFF entry of DIR/colour/peers.json (the collection's record of
what trimesh and Open3D make of each file), and the coloured OBJ, PLY and OFF files under
DIR/meshes. For each, the mean RGB (0-255) of 10,000 surface points (seed 0) beside
trimesh's `sample_surface(mesh, 10000, sample_color=True, seed=0)` mean and Open3D's mean
vertex colour, as the record holds them.

Speed: a 2M-face torus with a colour at every vertex, as binary PLY. In this process, the
calls alternate round by round: `sample(path, 10_000, method="surface")` without colours and
with them; with --peer-python, trimesh's `load` + `sample_surface(..., sample_color=True)` in
that interpreter, in a process of its own. Medians and ranges of R rounds.

Prints the figures and writes OUT/colours.md.
"""

from __future__ import annotations

import argparse
import json
import statistics
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
MODEL_SUFFIXES = (".obj", ".ply", ".off")
# The speed model: 1000 x 1000 grid of the torus, two faces a cell.
TORUS = (1000, 1000)

TRIMESH_RUN = textwrap.dedent(
    """
    import statistics, sys, time
    import trimesh
    path, runs = sys.argv[1], int(sys.argv[2])
    times = []
    for _ in range(runs + 1):
        start = time.perf_counter()
        mesh = trimesh.load(path, force="mesh", process=False)
        points, faces, colors = trimesh.sample.sample_surface(
            mesh, 10_000, sample_color=True, seed=0)
        times.append(time.perf_counter() - start)
    print(" ".join(f"{t:.6f}" for t in times[1:]))
    """
)


def coloured_ply(path: Path) -> Path:
    """The speed model, written once: float32 x y z, uchar red green blue, int32 triangles."""
    if path.exists():
        return path
    vertices, faces = meshes.torus(*TORUS)
    rgb = (np.abs(np.sin(vertices * 3.0)) * 255).astype(np.uint8)
    rows = np.empty(len(vertices), dtype=[("x", "<f4"), ("y", "<f4"), ("z", "<f4"),
                                          ("red", "u1"), ("green", "u1"), ("blue", "u1")])
    for k, name in enumerate("xyz"):
        rows[name] = vertices[:, k]
    for k, name in enumerate(("red", "green", "blue")):
        rows[name] = rgb[:, k]
    triangles = np.empty(len(faces), dtype=[("n", "u1"), ("i", "<i4", (3,))])
    triangles["n"], triangles["i"] = 3, faces
    header = "\n".join([
        "ply", "format binary_little_endian 1.0", f"element vertex {len(vertices)}",
        "property float x", "property float y", "property float z", "property uchar red",
        "property uchar green", "property uchar blue", f"element face {len(faces)}",
        "property list uchar int vertex_indices", "end_header"]) + "\n"
    path.parent.mkdir(parents=True, exist_ok=True)
    with path.open("wb") as out:
        out.write(header.encode("ascii"))
        out.write(rows.tobytes())
        out.write(triangles.tobytes())
    return path


def mean_colour(path: Path) -> tuple[str, list[float] | None]:
    """Our mean RGB (0-255) of the surface points, and whether the file stores colours
    ("stored", "white" or the error)."""
    from vertisift_tools.sampling import sample_reporting_colors

    try:
        drawn, stored = sample_reporting_colors(path, SURFACE_POINTS, method="surface", seed=0,
                                                colors=True)
    except (OSError, ValueError) as error:
        return f"error: {str(error)[:60]}", None
    colours = drawn[2]
    if not len(colours):
        return "no faces", None
    return ("stored" if stored else "white"), [round(float(v) * 255, 1) for v in colours.mean(0)]


def real_rows(data: Path) -> list[list[str]]:
    record = json.loads((data / "colour" / "peers.json").read_text())
    rows = []
    entries = [entry for entry in record["files"]
               if entry["path"].lower().endswith(MODEL_SUFFIXES)]
    for entry in entries:
        trimesh = entry.get("trimesh", {})
        open3d = entry.get("open3d", {})
        peer = trimesh.get("sample_mean_rgb") or (
            trimesh.get("fallback_mean_rgb") and f"{trimesh['fallback_mean_rgb']} (fallback)")
        kind, ours = mean_colour(data / "colour" / entry["path"])
        rows.append([entry["path"], kind, str(ours), str(peer or trimesh.get("sample_err", "")),
                     str(open3d.get("mean_vertex_rgb", "–"))])
    for path in sorted((data / "meshes").rglob("*")):
        if path.suffix.lower() in MODEL_SUFFIXES:
            kind, ours = mean_colour(path)
            if kind == "stored":
                rows.append([f"meshes/{path.relative_to(data / 'meshes')}", kind, str(ours),
                             "", ""])
    return rows


def seconds(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def speed(path: Path, runs: int, peer_python: str | None) -> dict[str, list[float]]:
    import vertisift_tools

    calls = {
        "sample surface": lambda: vertisift_tools.sample(path, SURFACE_POINTS, method="surface"),
        "sample surface, colors": lambda: vertisift_tools.sample(
            path, SURFACE_POINTS, method="surface", colors=True),
    }
    times: dict[str, list[float]] = {name: [] for name in calls}
    for call in calls.values():
        call()  # warm-up: the file in the page cache, the pool started
    for _ in range(runs):
        for name, call in calls.items():
            times[name].append(seconds(call))
    if peer_python:
        done = subprocess.run([peer_python, "-c", TRIMESH_RUN, str(path), str(runs)],
                              capture_output=True, text=True, timeout=3600)
        if done.returncode == 0:
            times["trimesh load + sample_surface(sample_color=True)"] = [
                float(value) for value in done.stdout.split()]
        else:
            print(f"trimesh unavailable: {done.stderr.strip().splitlines()[-1:]}")
    return times


def figure(values: list[float]) -> str:
    return (f"{statistics.median(values) * 1000:.1f} ms "
            f"({min(values) * 1000:.1f}-{max(values) * 1000:.1f})")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--data", type=Path, default=HERE.parent.parent / "shared" / "data")
    parser.add_argument("--peer-python", help="an interpreter with trimesh, for its figure")
    parser.add_argument("--work", type=Path, default=HERE / "data")
    arguments = parser.parse_args()

    lines = ["# Colours at the points", ""]
    if (arguments.data / "colour" / "peers.json").exists():
        lines += ["Mean RGB (0-255) of 10,000 surface points, seed 0; the peers' figures are "
                  "the collection's record (trimesh 5.2 `sample_color=True`; Open3D 0.20 mean "
                  "vertex colour).", "",
                  "| file | colours | vertisift_tools | trimesh | Open3D vertices |",
                  "|---|---|---|---|---|"]
        lines += ["| " + " | ".join(row) + " |" for row in real_rows(arguments.data)]
    else:
        lines.append(f"(no real files: {arguments.data} is absent)")

    path = coloured_ply(arguments.work / "torus-2m-vertex-colours.ply")
    times = speed(path, arguments.runs, arguments.peer_python)
    plain = statistics.median(times["sample surface"])
    lines += ["", f"Speed: {path.name} (2M faces, 1M coloured vertices), {SURFACE_POINTS} "
              f"surface points, median (range) of {arguments.runs} rounds, calls alternating:",
              "", "| call | time | × without colours |", "|---|---|---|"]
    for name, values in times.items():
        lines.append(f"| {name} | {figure(values)} | {statistics.median(values) / plain:.2f} |")
    text = "\n".join(lines) + "\n"
    print(text)
    arguments.out.mkdir(parents=True, exist_ok=True)
    (arguments.out / "colours.md").write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
