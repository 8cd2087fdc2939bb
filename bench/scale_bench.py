"""Many small models through the batch: models per second of the local batch and of the Dask
batch on the same cores, the number of Dask tasks, peak memory, and the planning time.

    python bench/scale_bench.py [--models 100000] [--points 64] [--workers 2] [--repeat 1]
                                [--formats npz,h5] [--models-per-task M]
                                [--out bench/results/scale.md]

The models are made once and kept in bench/scratch/scale-<models>/: binary STL tori of 96 to
120 faces in ModelNet's layout, CLASS/train/NAME.stl and CLASS/test/NAME.stl, written with
NumPy (about 10 s for 100,000). Then, each into a fresh output folder, in each of --formats
(.npz clouds, or HDF5 shards of the default 2048 models with folder labels and the train and
test splits):

- planning alone (`plan_batch`, 3 times), into an empty OUT_DIR and with half of the clouds
  there (a resumed batch), and the planning of the shards (`plan_shards`) into an empty
  OUT_DIR;
- the local batch with --workers worker processes of one thread each;
- the Dask batch on a cluster started as the README starts one: a scheduler and `dask worker
  --nworkers W --nthreads 1`, in processes of their own, on the same machine.

The batches alternate, --repeat times. Memory is the peak resident set: this process's
(the client) from /proc/self/status (VmHWM, reset before each batch where the kernel allows
it), the scheduler's from its process. The targets: a Dask batch at 0.9 x or more of the
local batch's models per second, and planning under 5 s.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "bench" / "scratch"
RESULTS = ROOT / "bench" / "results" / "scale.md"
CLASSES = 10
TEST_SHARE = 5  # every fifth model of a class goes to its test folder
STL_RECORD = np.dtype([("normal", "<f4", 3), ("corners", "<f4", (3, 3)), ("attribute", "<u2")])
THREAD_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


def torus_records(major: int, minor: int, radius: float) -> np.ndarray:
    """The 2·major·minor faces of a torus as binary STL records, with their normals."""
    u = np.linspace(0.0, 2 * np.pi, major, endpoint=False)
    v = np.linspace(0.0, 2 * np.pi, minor, endpoint=False)
    uu, vv = np.meshgrid(u, v, indexing="ij")
    ring = radius + 0.4 * np.cos(vv)
    points = np.stack([ring * np.cos(uu), ring * np.sin(uu), 0.4 * np.sin(vv)], axis=-1)
    i, j = np.meshgrid(np.arange(major), np.arange(minor), indexing="ij")
    a = points[i, j]
    b = points[(i + 1) % major, j]
    c = points[(i + 1) % major, (j + 1) % minor]
    d = points[i, (j + 1) % minor]
    corners = np.concatenate([np.stack([a, b, c], axis=-2), np.stack([a, c, d], axis=-2)])
    corners = corners.reshape(-1, 3, 3)
    normals = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    normals /= np.linalg.norm(normals, axis=1, keepdims=True)
    records = np.zeros(len(corners), dtype=STL_RECORD)
    records["normal"] = normals
    records["corners"] = corners
    return records


def model_folder(models: int) -> Path:
    """`models` binary STL files, made once and kept; CLASS/{train,test}/NAME.stl."""
    folder = WORK / f"scale-{models}"
    marker = folder / ".complete"
    if marker.exists():
        return folder
    shutil.rmtree(folder, ignore_errors=True)
    started = time.perf_counter()
    shapes = [torus_records(major, 6, 2.0) for major in range(8, 11)]  # 96 to 120 faces
    header = b"scale bench".ljust(80, b" ")
    for index in range(models):
        kind = f"class{index % CLASSES:02d}"
        split = "test" if (index // CLASSES) % TEST_SHARE == 0 else "train"
        target = folder / kind / split
        if index < CLASSES * TEST_SHARE:
            target.mkdir(parents=True, exist_ok=True)
        records = shapes[index % len(shapes)].copy()
        records["corners"] *= np.float32(1.0 + index * 1e-5)  # every model its own size
        with open(target / f"{kind}_{index:06d}.stl", "wb") as out:
            out.write(header)
            out.write(np.uint32(len(records)).tobytes())
            out.write(records.tobytes())
    marker.touch()
    print(f"wrote {models} models to {folder.relative_to(ROOT)} "
          f"in {time.perf_counter() - started:.1f} s")
    return folder


def peak_memory_mib(pid: int | str = "self") -> float:
    """The peak resident set of a process (VmHWM) in MiB."""
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def reset_peak_memory() -> None:
    # Writing 5 to clear_refs resets VmHWM to the current resident set (Linux 4.0 and later).
    with contextlib.suppress(OSError):
        Path("/proc/self/clear_refs").write_text("5")


def time_planning(folder: Path, out: Path, points: int) -> tuple[float, float, int]:
    """Seconds to plan the batch into an empty OUT_DIR, then with every other cloud there:
    (fresh seconds, resumed seconds, tasks of the resumed plan)."""
    from vertisift_tools.batching.plan import plan_batch
    from vertisift_tools.clouds import write_cloud

    shutil.rmtree(out, ignore_errors=True)
    started = time.perf_counter()
    plan = plan_batch(folder, out, points)
    fresh = time.perf_counter() - started
    positions = np.zeros((points, 3), dtype=np.float32)
    for task in plan.tasks[::2]:
        Path(task.cloud).parent.mkdir(parents=True, exist_ok=True)
        write_cloud(task.cloud, positions, positions)
    started = time.perf_counter()
    resumed = plan_batch(folder, out, points)
    seconds = time.perf_counter() - started
    shutil.rmtree(out, ignore_errors=True)
    return fresh, seconds, len(resumed.tasks)


@contextlib.contextmanager
def one_thread_per_worker() -> Iterator[None]:
    saved = {name: os.environ.pop(name) for name in THREAD_VARIABLES if name in os.environ}
    os.environ["RAYON_NUM_THREADS"] = "1"
    try:
        yield
    finally:
        os.environ.pop("RAYON_NUM_THREADS", None)
        os.environ.update(saved)


def shard_choices(fmt: str) -> dict[str, object]:
    """The batch's arguments for `fmt`: shards with folder labels and both splits."""
    return {"labels": "folders", "split_folders": True} if fmt == "h5" else {}


def time_shard_planning(folder: Path, out: Path, points: int) -> float:
    from vertisift_tools.batching.sharded import ShardChoices, plan_shards

    shutil.rmtree(out, ignore_errors=True)
    started = time.perf_counter()
    plan_shards(folder, out, points, None, ShardChoices(labels="folders", split_folders=True),
                overwrite=False)
    return time.perf_counter() - started


def run_local(folder: Path, out: Path, points: int, workers: int,
              fmt: str) -> dict[str, float]:
    from vertisift_tools.batching.local import batch

    shutil.rmtree(out, ignore_errors=True)
    reset_peak_memory()
    with one_thread_per_worker():
        report = batch(folder, out, points, jobs=workers, fmt=fmt, **shard_choices(fmt))
    assert report.ok, report.failures[:3]
    return {"models": report.converted, "seconds": report.seconds,
            "client": peak_memory_mib()}


@contextlib.contextmanager
def dask_cluster(workers: int) -> Iterator[tuple[str, subprocess.Popen[bytes]]]:
    """A scheduler and `workers` single-threaded worker processes, each started as the README
    says (`dask scheduler`, `dask worker`), in processes of their own: (address, scheduler)."""
    port = 8786 + os.getpid() % 1000
    address = f"tcp://127.0.0.1:{port}"
    env = dict(os.environ, DASK_DISTRIBUTED__SCHEDULER__WORKER_SATURATION="1.0",
               RAYON_NUM_THREADS="1")
    quiet = {"env": env, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    scheduler = subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
         "--port", str(port), "--no-dashboard"], **quiet)
    worker = subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_worker", address, "--nworkers",
         str(workers), "--nthreads", "1", "--no-dashboard"], **quiet)
    try:
        yield address, scheduler
    finally:
        for process in (worker, scheduler):
            process.terminate()
            process.wait(timeout=60)


class TaskCounter:
    """A scheduler plugin that counts the tasks that start (a retried one once)."""

    name = "scale-bench-task-counter"

    def __init__(self) -> None:
        self.started: set[object] = set()

    def transition(self, key: object, start: str, finish: str, *args: object,
                   **kwargs: object) -> None:
        if finish == "processing":
            self.started.add(key)


def _tasks_started(dask_scheduler) -> int:
    return len(dask_scheduler.plugins[TaskCounter.name].started)


def run_dask(folder: Path, out: Path, points: int, workers: int,
             models_per_task: int | None, fmt: str) -> dict[str, float]:
    import distributed
    from distributed.diagnostics.plugin import SchedulerPlugin

    from vertisift_tools.batching.dask_runner import batch_dask

    shutil.rmtree(out, ignore_errors=True)
    # A scheduler plugin made here, where Dask is imported; pickled by value to the scheduler.
    counter = type("Counter", (TaskCounter, SchedulerPlugin), {})()
    with dask_cluster(workers) as (address, scheduler):
        with distributed.Client(address, timeout=60, set_as_default=False) as client:
            client.wait_for_workers(workers, timeout=120)
            client.register_plugin(counter)
            reset_peak_memory()
            report = batch_dask(folder, out, points, client, fmt=fmt,
                                models_per_task=None if fmt == "h5" else models_per_task,
                                **shard_choices(fmt))
            client_peak = peak_memory_mib()
            tasks = client.run_on_scheduler(_tasks_started)
            scheduler_peak = peak_memory_mib(scheduler.pid)
    assert report.ok, report.failures[:3]
    return {"models": report.converted, "seconds": report.seconds, "client": client_peak,
            "scheduler": scheduler_peak, "tasks": tasks}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", type=int, default=100_000)
    parser.add_argument("--points", type=int, default=64)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=1, help="runs of each batch, alternating")
    parser.add_argument("--formats", default="npz,h5",
                        help="batch formats, comma-separated: npz, h5 or both")
    parser.add_argument("--models-per-task", type=int, default=None,
                        help="for the Dask batch (default: its own)")
    parser.add_argument("--out", type=Path, default=RESULTS)
    options = parser.parse_args()

    folder = model_folder(options.models)
    out = WORK / "scale-out"
    load_before = os.getloadavg()
    plans = [time_planning(folder, out, options.points) for _ in range(3)]
    fresh = statistics.median(plan[0] for plan in plans)
    resumed = statistics.median(plan[1] for plan in plans)
    formats = options.formats.split(",")
    shard_planning = (statistics.median(time_shard_planning(folder, out, options.points)
                                        for _ in range(3)) if "h5" in formats else None)
    print(f"planning: {fresh:.2f} s fresh, {resumed:.2f} s with half the clouds there "
          f"({plans[0][2]} left)"
          + (f", {shard_planning:.2f} s for the shards" if shard_planning is not None else ""))
    runners = [(runner, fmt) for fmt in formats for runner in ("local", "dask")]
    runs: dict[tuple[str, str], list[dict[str, float]]] = {key: [] for key in runners}
    for _ in range(options.repeat):
        for runner, fmt in runners:
            if runner == "local":
                result = run_local(folder, out, options.points, options.workers, fmt)
            else:
                result = run_dask(folder, out, options.points, options.workers,
                                  options.models_per_task, fmt)
            runs[runner, fmt].append(result)
            print(f"{runner} {fmt}: {describe(result)}")
    shutil.rmtree(out, ignore_errors=True)

    rates = {key: [r["models"] / r["seconds"] for r in results] for key, results in runs.items()}
    command = " ".join(["python bench/scale_bench.py", *sys.argv[1:]])
    rows = []
    for (runner, fmt), results in runs.items():
        label = (f"local batch, {options.workers} worker processes" if runner == "local"
                 else f"Dask batch, {options.workers} workers of 1 thread")
        tasks = {int(r["tasks"]) for r in results if "tasks" in r}
        rows.append(
            f"| {label} | {fmt} | {max(rates[runner, fmt]):.0f} / "
            f"{statistics.median(rates[runner, fmt]):.0f} | "
            f"{', '.join(map(str, sorted(tasks))) or '-'} | "
            f"{max(r['client'] for r in results):.0f} | "
            + (f"{max(r['scheduler'] for r in results):.0f} |" if runner == "dask" else "- |"))
    ratios = []
    for fmt in formats:
        ratio = max(rates["dask", fmt]) / max(rates["local", fmt])
        ratios.append(f"Dask against local to {fmt} (best against best): {ratio:.2f} x "
                      f"(target 0.9 x or more: {'met' if ratio >= 0.9 else 'not met'}).")
    shard_line = ("" if shard_planning is None else
                  f" Planning the shards (`plan_shards`, labels and splits from the folders, "
                  f"median of 3): {shard_planning:.2f} s.")
    lines = [
        "# Many small models: the local and the Dask batch",
        "",
        f"`{command}`, {time.strftime('%Y-%m-%d')}, {platform.machine()}, "
        f"{os.cpu_count()} processors, Python {platform.python_version()}. Load average "
        f"before the run: {load_before[0]:.2f} (a shared machine: figures move with the load).",
        "",
        f"{options.models} binary STL models of 96 to 120 faces in CLASS/train and CLASS/test "
        f"folders, each batch with {options.points} points into a fresh output folder, as "
        ".npz clouds or as HDF5 shards of 2048 models (`--labels folders --split-folders`), "
        f"{options.repeat} run(s) each, alternating. Models per second count from the start of "
        "the batch (planning included) to its report; the Dask cluster (a scheduler and "
        f"`dask worker --nworkers {options.workers} --nthreads 1`, in processes of their own) "
        "is started before. Peak memory is the resident high-water mark (VmHWM) of this "
        "process, reset before each batch, and of the scheduler's process.",
        "",
        "| batch | format | models/s, best / median | Dask tasks | client peak MiB "
        "| scheduler peak MiB |",
        "|---|---|---:|---:|---:|---:|",
        *rows,
        "",
        *ratios,
        "",
        f"Planning alone (`plan_batch`, median of 3): {fresh:.2f} s into an empty OUT_DIR, "
        f"{resumed:.2f} s with every other cloud there (target under 5 s: "
        f"{'met' if max(fresh, resumed, shard_planning or 0) < 5 else 'not met'})."
        + shard_line,
    ]
    options.out.parent.mkdir(parents=True, exist_ok=True)
    options.out.write_text("\n".join(lines) + "\n")
    print(f"wrote {options.out}")


def describe(result: dict[str, float]) -> str:
    text = f"{result['models'] / result['seconds']:.0f} models/s, client peak " \
        f"{result['client']:.0f} MiB"
    if "tasks" in result:
        text += f", {result['tasks']:.0f} tasks, scheduler peak {result['scheduler']:.0f} MiB"
    return text


if __name__ == "__main__":
    main()
