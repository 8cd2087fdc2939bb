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
that interpreter, in a process of its own. Then the real textured OBJ files (capsule, fuze,
spider), each with the call without colours, Pillow's decode of its textures alone, and the
call with colours, alternating. Medians and ranges of R rounds.

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
        drawn, found = sample_reporting_colors(path, SURFACE_POINTS, method="surface", seed=0,
                                               colors=True)
    except (OSError, ValueError) as error:
        return f"error: {str(error)[:60]}", None
    colours = drawn[2]
    if not len(colours):
        return "no faces", None
    return ("stored" if found.stored else "white"), [round(float(v) * 255, 1) for v in colours.mean(0)]


# Where the figures differ, which is right and why (checked by hand; the tests check the
# exact cases).
WHY = {
    "box.obj": "Blender's Kd 0.8 is 204; trimesh gives its own default grey",
    "capsule.obj": "within 2 levels: bilinear filtering at texel centres here",
    "fuze.ply": "the texture, as fuze.obj; Open3D keeps the file's default vertex grey",
    "fuze_ascii.ply": "as fuze.ply (its rows' extra values read past, counted)",
    "cycloidal.ply": "its faces' seven colours; the vertices are all a default white",
    "multi.ply": "its vertex colours; trimesh reads none (its default grey)",
    "BoxTextured.ply": "s t but no texture file: no colour, white; trimesh's default grey",
    "comments.off": "its face colours (RGBA floats); trimesh reads none",
    "spider.obj": "its five textures (named .\\x.jpg) times Kd; trimesh finds none and gives "
                  "about Kd (bench/results/spider-colours.png)",
    "only_a_part_of_vertexcolors.obj": "the vertices without a colour white; trimesh reads none",
    "regr01.obj": "the area-weighted mean of the faces' Kd (160.2, 150.1, 104.0 computed "
                  "apart); trimesh's is not",
    "cube-vertexcol.obj": "vertex colours times Kd; trimesh takes Kd alone",
    "cornell_box.obj": "the area-weighted mean of the faces' Kd (215.7, 215.7, 176.3 computed "
                       "apart); trimesh's is not",
    "texture-filename-with-whitespace.obj": "its textures are not in the collection: Kd alone",
}


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
                     str(open3d.get("mean_vertex_rgb", "–")),
                     WHY.get(entry["path"].rsplit("/", 1)[-1], "")])
    for path in sorted((data / "meshes").rglob("*")):
        if path.suffix.lower() in MODEL_SUFFIXES:
            kind, ours = mean_colour(path)
            if kind == "stored":
                rows.append([f"meshes/{path.relative_to(data / 'meshes')}", kind, str(ours),
                             "", "", ""])
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


# The real textured OBJ files, where decoding the image is most of the work.
TEXTURED = ("mikedh+trimesh/models/capsule.obj", "mikedh+trimesh/models/fuze.obj",
            "assimp+assimp/test/models/OBJ/spider.obj")


def decode_textures(names: list[Path]) -> None:
    """What the colours cost at the least: each texture file decoded by Pillow."""
    from PIL import Image

    for name in names:
        with Image.open(name) as image:
            image.load()


def texture_files(model: Path) -> list[Path]:
    """The texture files that the model's libraries name and that exist beside it."""
    found = []
    for line in model.read_text(errors="replace").splitlines():
        if line.startswith("mtllib "):
            library = model.parent / line.split(None, 1)[1].strip()
            for entry in library.read_text(errors="replace").splitlines():
                if entry.strip().lower().startswith("map_kd "):
                    name = entry.strip().split(None, 1)[1].replace("\\", "/")
                    if (model.parent / name).is_file():
                        found.append(model.parent / name)
    return sorted(set(found))


def textured_speed(data: Path, runs: int, peer_python: str | None) -> list[str]:
    """Per real textured OBJ: the calls without colours, with them, and the decode alone,
    alternating round by round; trimesh's load + sample_color in its own process."""
    import vertisift_tools

    lines = ["", f"Speed on the real textured OBJ files: {SURFACE_POINTS} surface points, median "
             f"(range) of {runs} rounds, calls alternating; the target is colours at most "
             "1.2 × (without colours + decode):", "",
             "| file | without colours | decode (Pillow) | with colours | × (without + decode) "
             "| trimesh load + sample_color |", "|---|---|---|---|---|---|"]
    for name in TEXTURED:
        model = data / "colour" / name
        if not model.is_file():
            continue
        textures = texture_files(model)
        calls = {
            "plain": lambda m=model: vertisift_tools.sample(m, SURFACE_POINTS, method="surface"),
            "decode": lambda t=textures: decode_textures(t),
            "colors": lambda m=model: vertisift_tools.sample(m, SURFACE_POINTS, method="surface",
                                                              colors=True),
        }
        times: dict[str, list[float]] = {key: [] for key in calls}
        for call in calls.values():
            call()
        for _ in range(runs):
            for key, call in calls.items():
                times[key].append(seconds(call))
        peer = "–"
        if peer_python:
            done = subprocess.run([peer_python, "-c", TRIMESH_RUN, str(model), str(runs)],
                                  capture_output=True, text=True, timeout=600)
            if done.returncode == 0:
                peer = figure([float(value) for value in done.stdout.split()])
        bound = statistics.median(times["plain"]) + statistics.median(times["decode"])
        ratio = statistics.median(times["colors"]) / bound
        lines.append(f"| {name.rsplit('/', 1)[-1]} ({len(textures)} textures) | "
                     f"{figure(times['plain'])} | {figure(times['decode'])} | "
                     f"{figure(times['colors'])} | {ratio:.2f} | {peer} |")
    return lines


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
                  "| file | colours | vertisift_tools | trimesh | Open3D vertices | where they "
                  "differ |",
                  "|---|---|---|---|---|---|"]
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
    if (arguments.data / "colour").is_dir():
        lines += textured_speed(arguments.data, arguments.runs, arguments.peer_python)
    text = "\n".join(lines) + "\n"
    print(text)
    arguments.out.mkdir(parents=True, exist_ok=True)
    (arguments.out / "colours.md").write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
