"""Times reduce_stl_points against other ways of reading an STL file and thinning its points.

    .venv/bin/python bench/run.py                       # everything (make bench does this)
    .venv/bin/python bench/run.py --sizes 2m --tools vertisift,pyvista-stl --runs 3 --real none

On every file, each tool runs in a process of its own (bench/worker.py), so that its peak
resident memory is its own. Each process imports its tool, notes its baseline memory, runs the
warm-up, and then the processes take turns: one run of each tool per round, the order rotated
from round to round, so that a disturbance on the machine hits all tools alike. Times are the
median of the rounds. A tool that cannot be imported is reported as unavailable; a run that
raises is reported as "failed: message", and the benchmark goes on.

Tools (--tools):
  vertisift       reduce_stl_points(path, clusters), end to end, the installed module
  vertisift-1t    the same with RAYON_NUM_THREADS=1
  stages          a copy built with VERTISIFT_STAGE_TIMES=ON into build/stages: stage breakdown
  stages-1t       the same with RAYON_NUM_THREADS=1
  pyvista-stl     pyvista_stl.read(path, threads=0): merged vertices and faces, all cores
  pyvista-stl-1t  the same with threads=1
  numpy-stl       stl.mesh.Mesh.from_file(path, calculate_normals=False): triangles only
  trimesh         trimesh.load_mesh(path).vertex_normals: load, merge by tolerance, normals
  open3d          read_triangle_mesh, remove_duplicated_vertices, compute_vertex_normals,
                  voxel_down_sample to about `clusters` points (voxel size set in the warm-up)

Generated meshes are written to bench/data/ once and reused. Reports go to --out (bench/scratch/
by default; make bench writes bench/results/): results.md, results.json, time_vs_faces.png.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import re
import select
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from statistics import median

import meshes
import report

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
SHARED_STL = ROOT.parent / "shared" / "data" / "stl"
STAGES_BUILD = ROOT / "build" / "stages"

TOOLS = ("vertisift", "vertisift-1t", "stages", "stages-1t", "pyvista-stl", "pyvista-stl-1t",
         "numpy-stl", "trimesh", "open3d")
SINGLE_THREAD = {"vertisift-1t", "stages-1t"}
# Larger real files of both kinds; "--real all" takes every file in the folder.
DEFAULT_REAL = (
    "trimesh/counter.unitsmm.STL",
    "prusaslicer/prusa3d_xl_gantry.stl",
    "occt/TR12J_OCC64K.stl",
    "vtk-data/Grey_Nurse_Shark.stl",
    "vtk-data/gears.stl",
    "occt/motor.stl",
    "trimesh/ADIS16480.STL",
)
IMPORT_TIMEOUT = 300.0


class WorkerFailure(Exception):
    pass


class Worker:
    """A running bench/worker.py: one request, one answer, with a time limit."""

    def __init__(self, tool: str, path: Path, clusters: int, env: dict[str, str]):
        self.tool = tool
        self.log = tempfile.TemporaryFile()  # noqa: SIM115 - kept for the worker's life
        self.process = subprocess.Popen(
            [sys.executable, str(BENCH / "worker.py"), tool, str(path), str(clusters)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.log, env=env,
            cwd=ROOT, text=True, encoding="utf-8")

    def _last_log_line(self) -> str:
        self.log.seek(0)
        lines = [line for line in self.log.read().decode("utf-8", "replace").splitlines()
                 if line.strip()]
        return lines[-1].strip() if lines else "no message"

    def receive(self, timeout: float) -> dict:
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if not ready:
            self.kill()
            raise WorkerFailure(f"no answer within {timeout:.0f} s")
        line = self.process.stdout.readline()
        if not line:
            code = self.process.wait()
            raise WorkerFailure(f"worker exited with code {code}: {self._last_log_line()}")
        return json.loads(line)

    def request(self, command: str, timeout: float) -> dict:
        try:
            self.process.stdin.write(command + "\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            code = self.process.wait()
            raise WorkerFailure(
                f"worker exited with code {code}: {self._last_log_line()}") from None
        return self.receive(timeout)

    def kill(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def close(self) -> None:
        self.kill()
        self.log.close()


def worker_env(tool: str, vertisift_path: Path | None) -> dict[str, str]:
    env = dict(os.environ)
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "PYTHONPATH"):
        env.pop(name, None)
    if tool in SINGLE_THREAD:
        env["RAYON_NUM_THREADS"] = "1"
    if tool.startswith("stages"):
        env["PYTHONPATH"] = str(STAGES_BUILD)
    elif tool.startswith("vertisift") and vertisift_path is not None:
        env["PYTHONPATH"] = str(vertisift_path)
    return env


def measure_file(path: Path, tools: list[str], clusters: int, runs: int, warmup: int,
                 timeout: float, vertisift_path: Path | None = None,
                 faces: int | None = None) -> dict[str, dict]:
    """Runs every tool on one file, alternating; returns one record per tool.

    vertisift must return exactly `clusters` points, or none for a file without faces.
    """
    expected = {0} if faces == 0 else {clusters} if faces else {0, clusters}
    records: dict[str, dict] = {tool: {"status": "ok", "seconds": [], "stages": []}
                                for tool in tools}
    workers: dict[str, Worker] = {}

    def fail(tool: str, status: str) -> None:
        records[tool]["status"] = status
        worker = workers.pop(tool, None)
        if worker is not None:
            worker.close()

    def run_once(tool: str, timed: bool) -> None:
        try:
            answer = workers[tool].request("run", timeout)
        except WorkerFailure as failure:
            fail(tool, f"failed: {failure}")
            return
        if "error" in answer:
            fail(tool, f"failed: {answer['error']}")
            return
        record = records[tool]
        record["output"] = answer["output"]
        if tool.startswith(("vertisift", "stages")) and answer["output"] not in expected:
            fail(tool, f"failed: returned {answer['output']} points, not {min(expected)}")
            return
        if timed:
            record["seconds"].append(answer["seconds"])
            if answer["stages"] is not None:
                record["stages"].append(answer["stages"])

    try:
        for tool in tools:
            worker = Worker(tool, path, clusters, worker_env(tool, vertisift_path))
            workers[tool] = worker
            try:
                hello = worker.receive(IMPORT_TIMEOUT)
            except WorkerFailure as failure:
                fail(tool, f"unavailable: {failure}")
                continue
            if not hello["ready"]:
                fail(tool, f"unavailable: {hello['error']}")
                continue
            records[tool]["baseline_kib"] = hello["baseline_kib"]
        for tool in tools:
            # Open3D's first run also picks the voxel size, so it always gets one warm-up.
            for _ in range(max(warmup, 1 if tool == "open3d" else 0)):
                if tool in workers:
                    run_once(tool, timed=False)
        for round_index in range(runs):
            active = [tool for tool in tools if tool in workers]
            if not active:
                break
            shift = round_index % len(active)
            for tool in active[shift:] + active[:shift]:
                if tool in workers:
                    run_once(tool, timed=True)
        for tool in list(workers):
            try:
                goodbye = workers[tool].request("quit", timeout)
                records[tool]["peak_kib"] = goodbye["peak_kib"]
                records[tool]["ru_maxrss_kib"] = goodbye["ru_maxrss_kib"]
                records[tool]["cpu_seconds"] = goodbye["cpu_seconds"]
            except WorkerFailure as failure:
                fail(tool, f"failed: {failure}")
    finally:
        for worker in workers.values():
            worker.close()

    for record in records.values():
        if record["seconds"] and record["status"] == "ok":
            record["median"] = median(record["seconds"])
        if record["stages"]:
            record["stage_median"] = {
                name: median(stage[name] for stage in record["stages"])
                for name in record["stages"][0]}
            # Everything outside the driver: argument conversion and the Python result.
            record["stage_median"]["result"] = median(
                total - sum(stage.values())
                for total, stage in zip(record["seconds"], record["stages"]))
    return records


def describe_real_file(path: Path) -> tuple[str, int]:
    """(format, face count) of a file written by another tool."""
    data = path.read_bytes()
    count = int.from_bytes(data[80:84], "little") if len(data) >= 84 else 0
    if len(data) >= 84 and len(data) == 84 + 50 * count:
        return "binary", count
    # Text: starts with "solid" and holds no more than a stray control byte or two.
    controls = sum(byte < 9 or 13 < byte < 32 for byte in data[:4096])
    if data.lstrip()[:5].lower() == b"solid" and controls <= 2:
        return "ascii", len(re.findall(rb"^\s*facet\b", data, re.MULTILINE | re.IGNORECASE))
    return "binary", min(count, max(0, len(data) - 84) // 50)


def select_real_files(choice: str) -> list[tuple[str, Path]]:
    if choice == "none":
        return []
    if choice == "all":
        paths = sorted(p for p in SHARED_STL.rglob("*") if p.suffix.lower() == ".stl")
    else:
        names = DEFAULT_REAL if choice == "default" else choice.split(",")
        paths = [Path(name) if Path(name).exists() else SHARED_STL / name for name in names]
    files = []
    for path in paths:
        if not path.exists():
            print(f"skipping {path.name}: not found", file=sys.stderr)
            continue
        shown = path.relative_to(SHARED_STL) if path.is_relative_to(SHARED_STL) else path.name
        files.append((str(shown), path))
    return files


def build_stage_times(jobs: int) -> None:
    """Builds the extension with stage timing into build/stages (incremental)."""
    env = dict(os.environ)
    env["PATH"] = str(Path(sys.executable).parent) + os.pathsep + env.get("PATH", "")
    configure = ["cmake", "-S", str(ROOT), "-B", str(STAGES_BUILD), "-G", "Ninja",
                 "-DCMAKE_BUILD_TYPE=Release", "-DVERTISIFT_STAGE_TIMES=ON",
                 f"-DPython_EXECUTABLE={sys.executable}"]
    build = ["cmake", "--build", str(STAGES_BUILD), "-j", str(jobs), "--target", "vertisift"]
    for command in (configure, build):
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(f"building the stage-times copy failed:\n{done.stdout}\n{done.stderr}")


def warn_if_stale(vertisift_path: Path | None) -> None:
    """Says so when the module to be measured is older than the sources."""
    if vertisift_path is not None:
        candidates = sorted(vertisift_path.glob("vertisift*.so"))
        module = candidates[0] if candidates else None
    else:
        spec = importlib.util.find_spec("vertisift")
        module = Path(spec.origin) if spec and spec.origin else None
    if module is None:
        print("warning: no vertisift module found to measure", file=sys.stderr)
        return
    newest = max(path.stat().st_mtime for path in (ROOT / "src").rglob("*") if path.is_file())
    if newest > module.stat().st_mtime:
        print("warning: src/ is newer than the vertisift module measured; run make install "
              "(or build the folder given to --vertisift-path) first", file=sys.stderr)


def cpu_busy_seconds() -> float:
    """Seconds of processor time used by everything on the machine since boot."""
    with open("/proc/stat") as stat:
        fields = [int(value) for value in stat.readline().split()[1:]]
    user, nice, system, _idle, _iowait, irq, softirq = fields[:7]
    return (user + nice + system + irq + softirq) / os.sysconf("SC_CLK_TCK")


def parse_list(text: str, allowed, what: str) -> list[str]:
    items = [item.strip() for item in text.split(",") if item.strip()]
    for item in items:
        if item not in allowed:
            sys.exit(f"unknown {what} {item!r}; choose from {', '.join(allowed)}")
    return items


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default=",".join(meshes.SIZES),
                        help="generated sizes, from %(default)s")
    parser.add_argument("--formats", default="binary,ascii",
                        help="generated formats (the 2m mesh is binary only)")
    parser.add_argument("--real", default="default",
                        help="real files: default, none, all, or paths (relative to "
                             "../shared/data/stl/) separated by commas")
    parser.add_argument("--tools", default=",".join(TOOLS), help="from %(default)s")
    parser.add_argument("--runs", type=int, default=5, help="timed runs per tool and file")
    parser.add_argument("--warmup", type=int, default=1, help="untimed runs first")
    parser.add_argument("--clusters", type=int, default=10000)
    parser.add_argument("--timeout", type=float, default=900, help="seconds for one run")
    parser.add_argument("--out", type=Path, default=BENCH / "scratch",
                        help="where the reports go (default bench/scratch/)")
    parser.add_argument("--vertisift-path", type=Path,
                        help="import vertisift from this folder (a dev build) instead of "
                             "the installed module")
    parser.add_argument("--note", default="", help="a remark put under the machine line")
    args = parser.parse_args()

    sizes = parse_list(args.sizes, tuple(meshes.SIZES), "size")
    formats = parse_list(args.formats, ("binary", "ascii"), "format")
    tools = parse_list(args.tools, TOOLS, "tool")
    vertisift_path = args.vertisift_path.resolve() if args.vertisift_path else None

    files: list[dict] = []
    for size in sizes:
        for form in formats:
            if size in ("2m", "10m") and form == "ascii":
                continue
            print(f"mesh torus-{size}-{form}", file=sys.stderr)
            path = meshes.ensure_mesh(BENCH / "data", size, form)
            major, minor = meshes.SIZES[size]
            files.append({"name": path.name, "path": path, "kind": "generated", "size": size,
                          "format": form, "faces": 2 * major * minor})
    for shown, path in select_real_files(args.real):
        form, faces = describe_real_file(path)
        files.append({"name": shown, "path": path, "kind": "real", "format": form,
                      "faces": faces})
    if any(tool.startswith("vertisift") for tool in tools):
        warn_if_stale(vertisift_path)
    if any(tool.startswith("stages") for tool in tools):
        print("building the stage-times copy in build/stages", file=sys.stderr)
        build_stage_times(jobs=min(2, os.cpu_count() or 1))

    started = time.time()
    busy_before = cpu_busy_seconds()
    load_before = os.getloadavg()[0]
    parent_before = os.times()
    own_cpu = 0.0
    for entry in files:
        entry["bytes"] = entry["path"].stat().st_size
        print(f"{entry['name']}: {entry['faces']} faces, {entry['bytes'] / 1e6:.1f} MB",
              file=sys.stderr)
        entry["tools"] = measure_file(entry["path"], tools, args.clusters, args.runs,
                                      args.warmup, args.timeout, vertisift_path,
                                      faces=entry["faces"])
        for tool, record in entry["tools"].items():
            own_cpu += record.get("cpu_seconds", 0.0)
            shown = (f"{record['median']:.4f} s" if "median" in record else record["status"])
            print(f"  {tool:15} {shown}", file=sys.stderr)
    wall = time.time() - started
    parent = os.times()
    own_cpu += parent.user + parent.system - parent_before.user - parent_before.system
    other_cores = max(0.0, (cpu_busy_seconds() - busy_before - own_cpu) / max(wall, 1e-9))

    results = {
        "machine": report.describe_machine(STAGES_BUILD),
        "settings": {"clusters": args.clusters, "runs": args.runs, "warmup": args.warmup,
                     "tools": tools, "vertisift": "dev build" if vertisift_path else "installed",
                     "started": time.strftime("%Y-%m-%d %H:%M", time.localtime(started)),
                     "wall_seconds": wall, "load_before": load_before,
                     "other_cores": other_cores, "note": args.note},
        "files": [{key: value for key, value in entry.items() if key != "path"}
                  for entry in files],
    }
    args.out.mkdir(parents=True, exist_ok=True)
    previous = args.out / "results.json"
    if previous.exists():
        results["moved"] = report.moved_since(json.loads(previous.read_text()), results)
    (args.out / "results.json").write_text(json.dumps(results, indent=1, ensure_ascii=False))
    text = report.render(results)
    (args.out / "results.md").write_text(text)
    plotted = report.plot(results, args.out / "time_vs_faces.png")
    print(text)
    print(f"reports in {args.out}" + ("" if plotted else " (no plot: nothing to draw)"),
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
