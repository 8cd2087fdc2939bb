"""Files per second of the batch path (`vertisift batch`), with one worker process and with
one per processor, over a folder of generated meshes and over the real STL files kept
beside the project (read in place, never copied). Writes bench/results/batch.md.

    python bench/batch_bench.py [--repeat 5] [--points 2048] [--models 96]

Each run converts the whole folder into a fresh output folder, so its time includes starting
the workers, as a user's run does. Three set-ups alternate, so that a change in the load of a
shared machine falls on all of them alike:

- 1 worker, 1 thread: the baseline of the speed-up, one core's worth of work;
- 1 worker, default threads: what `--jobs 1` gives (the extension's own parallel passes use
  every processor);
- all workers: one process per processor, one thread each (the default of `batch`).

The speed-up target is 0.8 x the worker count, of all workers over the baseline. The figure
kept is the best of the repeats; the median is shown beside it.
"""

from __future__ import annotations

import argparse
import os
import platform
import shutil
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
import meshgen  # noqa: E402
from vertisift_tools.batching.local import batch  # noqa: E402
from vertisift_tools.batching.pool import processor_count  # noqa: E402
from vertisift_tools.models import find_models  # noqa: E402

WORK = ROOT / "bench" / "scratch" / "batch"
REAL_STL = ROOT.parent / "shared" / "data" / "stl"
RESULTS = ROOT / "bench" / "results" / "batch.md"
THREAD_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


def generated_folder(models: int) -> Path:
    """`models` binary tori from 3,600 to 14,400 faces, made once and kept in bench/scratch."""
    folder = WORK / f"generated-{models}"
    marker = folder / ".complete"
    if marker.exists():
        return folder
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for index in range(models):
        major = 60 + (index * 60) // max(models - 1, 1)
        meshgen.write_binary_stl(folder / f"torus{index:03d}.stl",
                                 meshgen.torus(major, major // 2, 3.0 + index * 0.01))
    marker.touch()
    return folder


def run_once(folder: Path, points: int, jobs: int, threads: int | None) -> tuple[float, int, int]:
    """One batch over the folder: (files per second, files, failures)."""
    for name in THREAD_VARIABLES:
        os.environ.pop(name, None)
    if threads is not None:
        os.environ["RAYON_NUM_THREADS"] = str(threads)
    out = WORK / "out"
    shutil.rmtree(out, ignore_errors=True)
    try:
        report = batch(folder, out, points, fmt="npz", jobs=jobs)
    finally:
        shutil.rmtree(out, ignore_errors=True)
        os.environ.pop("RAYON_NUM_THREADS", None)
    files = report.converted + len(report.failures)
    return files / report.seconds, files, len(report.failures)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--points", type=int, default=2048)
    parser.add_argument("--models", type=int, default=96, help="generated models")
    options = parser.parse_args()

    workers = processor_count()
    setups = [("1 worker, 1 thread", 1, 1), (f"1 worker, {workers} threads", 1, None),
              (f"{workers} workers, 1 thread each", workers, None)]
    folders = [("generated tori", generated_folder(options.models))]
    if REAL_STL.is_dir():
        folders.append(("../shared/data/stl (real files)", REAL_STL))
    else:
        print(f"no real STL files at {REAL_STL}; measuring the generated ones only")

    saved = {name: os.environ[name] for name in THREAD_VARIABLES if name in os.environ}
    load_before = os.getloadavg()
    rows = []
    try:
        for name, folder in folders:
            size = sum(p.stat().st_size for p in find_models(folder))
            rates: dict[str, list[float]] = {label: [] for label, _, _ in setups}
            files = failed = 0
            for _ in range(options.repeat):
                for label, jobs, threads in setups:
                    rate, files, failed = run_once(folder, options.points, jobs, threads)
                    rates[label].append(rate)
            best = {label: max(values) for label, values in rates.items()}
            median = {label: statistics.median(values) for label, values in rates.items()}
            speedup = best[setups[2][0]] / best[setups[0][0]]
            rows.append((name, size, files, failed, best, median, speedup))
            print(f"{name}: {files} files ({failed} fail), {size / 1e6:.1f} MB: "
                  + ", ".join(f"{label} {best[label]:.1f}" for label, _, _ in setups)
                  + f" files/s; speed-up {speedup:.2f} (target {0.8 * workers:.2f})")
    finally:
        os.environ.update(saved)

    target = 0.8 * workers
    header = " | ".join(f"{label}: best / median files/s" for label, _, _ in setups)
    lines = [
        "# Batch conversion: files per second",
        "",
        f"`python bench/batch_bench.py --repeat {options.repeat} --points {options.points} "
        f"--models {options.models}`, {time.strftime('%Y-%m-%d')}, {platform.machine()}, "
        f"{workers} processors, Python {platform.python_version()}. Load average before the "
        f"run: {load_before[0]:.2f} (a shared machine: figures move with the load).",
        "",
        "Each run converts a whole folder to .npz (N points each) into a fresh output folder; "
        "its time includes starting the worker processes. The set-ups alternate. Files per "
        "second count every model, converted or failed (ASCII files fail to read for now). "
        f"Speed-up: best of {workers} workers over best of 1 worker with 1 thread "
        f"(target {target:.2f}).",
        "",
        f"| folder | files (failed) | MB | {header} | speed-up |",
        "|---|---:|---:|" + "---:|" * len(setups) + "---:|",
    ]
    for name, size, files, failed, best, median, speedup in rows:
        cells = " | ".join(f"{best[label]:.1f} / {median[label]:.1f}" for label, _, _ in setups)
        verdict = "met" if speedup >= target else "not met"
        lines.append(f"| {name} | {files} ({failed}) | {size / 1e6:.1f} | {cells} | "
                     f"{speedup:.2f} ({verdict}) |")
    RESULTS.parent.mkdir(parents=True, exist_ok=True)
    RESULTS.write_text("\n".join(lines) + "\n")
    print(f"wrote {RESULTS.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
