"""Mesh files read into arrays: `vertisift_tools.read_mesh` beside the readers users have, on
the benchmark torus written as binary PLY, ASCII PLY, OBJ and OFF.

    python bench/read_bench.py [--size 2m] [--runs R] [--peer-python PY] [--out DIR]
    python bench/read_bench.py --build old=OLD/.venv/bin/python --build new=.venv/bin/python \
        [--forms binary.stl,fixed.off] [--file PATH] [--tools sample-vertices] [--rounds R]

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

With --build LABEL=PYTHON (two or more), the own tools of builds installed in other
environments are compared instead, the way a dataset loop calls them: each build serves the
calls in one process of its own for the whole run (a warm-up call per file and tool first),
and the builds take turns, `--calls` calls each per round, the order rotated from round to
round, so that a slow spell of the shared machine hits them alike. Per build: the median and
range of every call, the page faults (minor and major, getrusage) per call, and the median
and range of the ratio to the first build in the same round. Besides the forms above (and
the STL forms binary.stl and ascii.stl), fixed.obj and fixed.off write the numbers as
printf's "%f" does, and --file adds any mesh file by its path.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import meshes  # noqa: E402
from worker import peak_resident_kib  # noqa: E402

FORMS = ["binary.ply", "ascii.ply", "obj", "off"]
# The forms --build compares by default; the STL forms are meshes.py's files.
BUILD_FORMS = ["binary.stl", "ascii.stl", "binary.ply", "fixed.obj", "fixed.off"]
OWN_TOOLS = ["read_mesh", "sample-surface", "bytes"]
BUILD_TOOLS = ["sample-vertices", "sample-surface"]
PEER_TOOLS = ["trimesh", "open3d", "meshio"]
SURFACE_POINTS = 10_000


def write_form(path: Path, vertices: np.ndarray, faces: np.ndarray, form: str) -> None:
    """The torus in `form`, numbers with nine significant digits (exact for float32), or as
    printf's "%f" writes them (six after the point) in the fixed forms."""
    if form.endswith(".stl"):
        write = meshes.write_binary if form == "binary.stl" else meshes.write_ascii
        write(path, vertices, faces, meshes.face_normals(vertices, faces))
        return
    number = "%f" if form.startswith("fixed.") else "%.9g"
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
            np.savetxt(out, vertices, fmt=number)
            np.savetxt(out, np.column_stack([np.full(len(faces), 3), faces]), fmt="%d")
        elif form.endswith("obj"):
            np.savetxt(out, vertices, fmt=f"v {number} {number} {number}")
            np.savetxt(out, faces + 1, fmt="f %d %d %d")
        else:
            out.write(f"OFF\n{len(vertices)} {len(faces)} 0\n".encode())
            np.savetxt(out, vertices, fmt=number)
            np.savetxt(out, np.column_stack([np.full(len(faces), 3), faces]), fmt="%d")


def ensure_form(data_dir: Path, size: str, form: str) -> Path:
    path = data_dir / f"torus-{size}.{form}"
    if form.endswith(".stl"):
        path = meshes.mesh_path(data_dir, size, form.removesuffix(".stl"))
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
    if tool == "sample-vertices":
        import vertisift_tools

        return lambda: len(vertisift_tools.sample(path, SURFACE_POINTS, method="vertices")[0])
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


def faults() -> int:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_minflt + usage.ru_majflt


def serve() -> None:
    """Answers `{"tool", "path", "calls"}` lines with the seconds and page faults of each
    call, warming each tool up on each file once; the calls made persist across requests."""
    runs: dict[tuple[str, str], Callable[[], int]] = {}
    for line in sys.stdin:
        request = json.loads(line)
        key = (request["tool"], request["path"])
        try:
            if key not in runs:
                runs[key] = make_run(*key)
                runs[key]()
            seconds, faulted = [], []
            for _ in range(request["calls"]):
                before, started = faults(), time.perf_counter()
                runs[key]()
                seconds.append(time.perf_counter() - started)
                faulted.append(faults() - before)
            answer: dict = {"seconds": seconds, "faults": faulted}
        except Exception as error:
            answer = {"error": f"{type(error).__name__}: {error}"[:80]}
        print(json.dumps(answer), flush=True)


class Build:
    """A build's interpreter serving calls for the whole run (serve())."""

    def __init__(self, label: str, python: str):
        self.label = label
        self.process = subprocess.Popen([python, __file__, "--serve"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def ask(self, tool: str, path: Path, calls: int) -> dict:
        assert self.process.stdin is not None and self.process.stdout is not None
        self.process.stdin.write(json.dumps({"tool": tool, "path": str(path),
                                             "calls": calls}) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            return {"error": f"the process ended (code {self.process.wait()})"}
        return json.loads(line)

    def close(self) -> None:
        assert self.process.stdin is not None
        self.process.stdin.close()
        self.process.wait()


def spread(values: list[float], scale: float = 1.0, digits: int = 1) -> str:
    return (f"{statistics.median(values) * scale:.{digits}f} "
            f"({min(values) * scale:.{digits}f}–{max(values) * scale:.{digits}f})")


def compare_builds(builds: list[Build], tool: str, path: Path, rounds: int,
                   calls: int) -> list[str]:
    """One table row per build: the builds alternating, `calls` calls each per round."""
    seconds: dict[str, list[float]] = {build.label: [] for build in builds}
    faulted: dict[str, list[int]] = {build.label: [] for build in builds}
    ratios: dict[str, list[float]] = {build.label: [] for build in builds}
    failed: dict[str, str] = {}
    for round_index in range(rounds):
        shift = round_index % len(builds)
        in_round: dict[str, float] = {}
        for build in builds[shift:] + builds[:shift]:
            if build.label in failed:
                continue
            answer = build.ask(tool, path, calls)
            if "error" in answer:
                failed[build.label] = answer["error"]
                continue
            seconds[build.label] += answer["seconds"]
            faulted[build.label] += answer["faults"]
            in_round[build.label] = statistics.median(answer["seconds"])
        reference = in_round.get(builds[0].label)
        for label, value in in_round.items():
            if reference:
                ratios[label].append(value / reference)
    rows = []
    for build in builds:
        label = build.label
        if label in failed:
            rows.append(f"| {path.name} | {tool} | {label} | {failed[label]} | | |")
            continue
        rows.append(f"| {path.name} | {tool} | {label} | {spread(seconds[label], 1e3)} | "
                    f"{spread([float(f) for f in faulted[label]], digits=0)} | "
                    f"{spread(ratios[label], digits=3)} |")
    return rows


def builds_main(args: argparse.Namespace) -> int:
    builds = []
    for given in args.build:
        label, _, python = given.partition("=")
        if not python:
            print(f"--build takes LABEL=PYTHON, not {given!r}", file=sys.stderr)
            return 2
        builds.append(Build(label, python))
    forms = args.forms.split(",") if args.forms else BUILD_FORMS
    tools = args.tools.split(",") if args.tools else BUILD_TOOLS
    paths = [ensure_form(args.data, args.size, form) for form in forms if form]
    paths += [Path(file) for file in args.file]
    lines = [f"Builds alternating in one run: {args.rounds} rounds of {args.calls} calls per "
             f"build, each build in one process; `sample` draws {SURFACE_POINTS} points. Times "
             "in ms and page faults per call: median (range) over every call; the ratio to "
             f"{builds[0].label} is taken per round.", "",
             f"| file | tool | build | ms | faults | × {builds[0].label} |",
             "|---|---|---|---:|---:|---:|"]
    try:
        for path in paths:
            for tool in tools:
                rows = compare_builds(builds, tool, path, args.rounds, args.calls)
                print("\n".join(rows), flush=True)
                lines += rows
    finally:
        for build in builds:
            build.close()
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        args.out.mkdir(parents=True, exist_ok=True)
        (args.out / "builds.md").write_text(text)
    return 0


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
    if sys.argv[1:2] == ["--serve"]:
        serve()
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="2m", choices=meshes.SIZES)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--forms", help=f"default {','.join(FORMS)}; "
                        f"with --build {','.join(BUILD_FORMS)}")
    parser.add_argument("--tools", help=f"default {','.join(OWN_TOOLS + PEER_TOOLS)}; "
                        f"with --build {','.join(BUILD_TOOLS)}")
    parser.add_argument("--peer-python", default=sys.executable)
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--out", type=Path)
    parser.add_argument("--build", action="append", default=[], metavar="LABEL=PYTHON",
                        help="compare the own tools of builds (two or more) instead")
    parser.add_argument("--file", action="append", default=[], metavar="PATH",
                        help="with --build: a mesh file to add to the forms")
    parser.add_argument("--rounds", type=int, default=5, help="with --build")
    parser.add_argument("--calls", type=int, default=3, help="with --build: per build a round")
    args = parser.parse_args()
    if args.build:
        return builds_main(args)
    args.forms = args.forms or ",".join(FORMS)
    tools = (args.tools or ",".join(OWN_TOOLS + PEER_TOOLS)).split(",")
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
