"""Files per second of the batch path (`vertisift batch`), with one worker process and with
one per processor, over a folder of generated meshes and over the real STL files kept
beside the project (read in place, never copied). Writes bench/results/batch.md.

    python bench/batch_bench.py [--repeat 5] [--points 2048] [--models 96]

Each run converts the whole folder into a fresh output folder, so its time includes starting
the workers, as a user's run does. The figure kept is the best of the repeats (the machine
may be shared); the speed-up target is 0.8 x the worker count.
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
from vertisift_cli.batch import batch, find_models, processor_count  # noqa: E402

WORK = ROOT / "bench" / "work" / "batch"
REAL_STL = ROOT.parent / "shared" / "data" / "stl"
RESULTS = ROOT / "bench" / "results" / "batch.md"


def generated_folder(models: int) -> Path:
    """`models` binary tori from 3,600 to 14,400 faces, made once and kept in bench/work."""
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


def measure(folder: Path, points: int, job_counts: list[int],
            repeat: int) -> dict[int, dict[str, float]]:
    """Converts the folder `repeat` times with each job count, alternating the job counts,
    so that a change in the machine's load falls on all of them alike."""
    rates: dict[int, list[float]] = {jobs: [] for jobs in job_counts}
    figures: dict[int, dict[str, float]] = {}
    for attempt in range(repeat):
        for jobs in job_counts:
            out = WORK / f"out-{jobs}"
            shutil.rmtree(out, ignore_errors=True)
            report = batch(folder, out, points, fmt="npz", jobs=jobs)
            shutil.rmtree(out, ignore_errors=True)
            files = report.converted + len(report.failures)
            rates[jobs].append(files / report.seconds)
            figures[jobs] = {"files": files, "failed": len(report.failures)}
    for jobs in job_counts:
        figures[jobs]["best"] = max(rates[jobs])
        figures[jobs]["median"] = statistics.median(rates[jobs])
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--points", type=int, default=2048)
    parser.add_argument("--models", type=int, default=96, help="generated models")
    options = parser.parse_args()

    workers = processor_count()
    folders = [("generated tori", generated_folder(options.models))]
    if REAL_STL.is_dir():
        folders.append(("../shared/data/stl (real files)", REAL_STL))
    else:
        print(f"no real STL files at {REAL_STL}; measuring the generated ones only")

    load_before = os.getloadavg()
    rows = []
    for name, folder in folders:
        size = sum(p.stat().st_size for p in find_models(folder))
        figures = measure(folder, options.points, sorted({1, workers}), options.repeat)
        one, every = figures[1], figures[workers]
        speedup = every["best"] / one["best"]
        rows.append((name, size, one, every, speedup))
        print(f"{name}: {one['files']} files ({one['failed']} fail), {size / 1e6:.1f} MB: "
              f"1 worker {one['best']:.1f} files/s, {workers} workers {every['best']:.1f} files/s, "
              f"speed-up {speedup:.2f} (target {0.8 * workers:.2f})")

    target = 0.8 * workers
    lines = [
        "# Batch conversion: files per second",
        "",
        f"`python bench/batch_bench.py --repeat {options.repeat} --points {options.points} "
        f"--models {options.models}`, {time.strftime('%Y-%m-%d')}, {platform.machine()}, "
        f"{workers} processors, Python {platform.python_version()}. Load average before the "
        f"run: {load_before[0]:.2f} (the machine is shared, so figures move with the load).",
        "",
        "Each run converts a whole folder to .npz into a fresh output folder; its time "
        "includes starting the worker processes. Runs with 1 and with all workers alternate. Files per second count every model, "
        "converted or failed (ASCII files still fail to read). Best and median of the "
        "repeats; the speed-up compares the best figures. With one worker process, that "
        f"process's extension uses {workers} threads; with {workers}, one thread each.",
        "",
        f"| folder | files (failed) | MB | 1 worker: best / median files/s | "
        f"{workers} workers: best / median files/s | speed-up (target {target:.2f}) |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for name, size, one, every, speedup in rows:
        verdict = "met" if speedup >= target else "not met"
        lines.append(
            f"| {name} | {one['files']} ({one['failed']}) | {size / 1e6:.1f} | "
            f"{one['best']:.1f} / {one['median']:.1f} | {every['best']:.1f} / {every['median']:.1f} | "
            f"{speedup:.2f} ({verdict}) |")
    RESULTS.parent.mkdir(parents=True, exist_ok=True)
    RESULTS.write_text("\n".join(lines) + "\n")
    print(f"wrote {RESULTS.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
