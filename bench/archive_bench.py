"""Datasets where they live: a ModelNet-style zip against the same folder extracted, the
planning of a very large zip, and a batch from and to an S3-compatible server on 127.0.0.1.

    python bench/archive_bench.py [--models M] [--runs R] [--s3-models S] [--s3-runs T]
                                  [--large-members L] [--out bench/results]

1. M small OFF models (default 10,000) in 40 class folders, each with train and test folders,
   made here, and the same tree as a deflated zip with its top folder (as ModelNet40.zip
   holds "ModelNet40/..."). Round by round, alternating: the batch into HDF5 shards (seeded,
   labels from folders, split folders, two worker processes) from the folder and from the
   zip, in models per second, the shards of both compared byte for byte; then the dataset's
   items per second through two loader processes (a pool of two, each holding the pickled
   dataset, as a training framework's loader workers do), every item once, from the folder
   and from the zip.
2. A zip of 100,000 tiny members, planned (`plan_batch`: listed, named, nothing converted) in
   a process of its own: seconds and that process's peak resident memory beside the same
   process doing nothing but importing the package.
3. S models (default 2,000) of the tree in a bucket of moto's S3 server: the batch from the
   bucket to the bucket beside the batch from the folder to a folder, with the local worker
   processes and with a two-worker Dask cluster, in models per second; then the bucket batch
   with one worker killed at one model, and its rerun, whose outputs are compared with the
   local batch's.

Prints the figures and writes OUT/archives.md.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE.parent / "scripts"))

import meshgen  # noqa: E402
import vertisift_tools  # noqa: E402
from vertisift_tools.options import SampleOptions  # noqa: E402

CLASSES = 40
COUNT = 1024
SEED = 3
FAULT_VARIABLE = "VERTISIFT_TOOLS_TEST_FAULT"
SHARDS = {"fmt": "h5", "labels": "folders", "split_folders": True}


def torus(steps: int) -> list:
    import math

    def point(i: int, j: int) -> tuple[float, float, float]:
        u, v = 2 * math.pi * i / steps, 2 * math.pi * j / steps
        return ((2 + math.cos(v)) * math.cos(u), (2 + math.cos(v)) * math.sin(u), math.sin(v))

    faces = []
    for i in range(steps):
        for j in range(steps):
            a, b = point(i, j), point(i + 1, j)
            c, d = point(i + 1, j + 1), point(i, j + 1)
            faces += [((0.0, 0.0, 0.0), a, b, c), ((0.0, 0.0, 0.0), a, c, d)]
    return faces


def make_tree(root: Path, models: int) -> Path:
    """`models` OFF files under root/ModelNet/<class>/<train|test>/; a few shapes, written
    once each and copied, so that making the tree takes seconds."""
    shapes = []
    for steps in (8, 10, 12, 14):
        path = root / f"shape{steps}.off"
        meshgen.write_off(path, torus(steps))
        shapes.append(path.read_bytes())
    top = root / "ModelNet"
    for index in range(models):
        klass = f"class{index % CLASSES:02d}"
        split = "test" if index % 5 == 0 else "train"
        folder = top / klass / split
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"{klass}_{index:05d}.off").write_bytes(shapes[index % len(shapes)])
    return top


def zip_tree(top: Path, archive: Path) -> Path:
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as out:
        for path in sorted(top.rglob("*.off")):
            out.write(path, path.relative_to(top.parent).as_posix())
    return archive


def shard_batch(source: str | Path, out: Path, jobs: int = 2) -> float:
    """Models per second of one batch into shards (a fresh OUT_DIR)."""
    shutil.rmtree(out, ignore_errors=True)
    started = time.perf_counter()
    report = vertisift_tools.batch(
        source, out, COUNT, jobs=jobs, options=SampleOptions(seed=SEED, method="surface"),
        **SHARDS,
    )
    seconds = time.perf_counter() - started
    assert report.ok, report.failures[:3]
    return report.converted / seconds


def contents(root: Path) -> dict[str, bytes]:
    return {p.relative_to(root).as_posix(): p.read_bytes() for p in sorted(root.rglob("*"))
            if p.is_file()}


_DATASET = None


def _load(index: int) -> int:
    return len(_DATASET[index][0])  # type: ignore[index]


def _hold(dataset: object) -> None:
    global _DATASET
    _DATASET = dataset


def dataset_rate(source: str | Path, items: int) -> float:
    """Items per second of the dataset through two loader processes (each item once)."""
    dataset = vertisift_tools.PointCloudDataset(source, COUNT, labels="folders", seed=SEED)
    context = multiprocessing.get_context("forkserver")
    with context.Pool(2, initializer=_hold, initargs=(dataset,)) as pool:
        pool.map(_load, range(4))  # the workers are up
        started = time.perf_counter()
        loaded = pool.map(_load, range(min(items, len(dataset))), chunksize=16)
        seconds = time.perf_counter() - started
    assert all(count == COUNT for count in loaded)
    return len(loaded) / seconds


PLAN_SCRIPT = """
import resource, sys, time
import vertisift_tools
from vertisift_tools.batching.plan import plan_batch
started = time.perf_counter()
if sys.argv[1] != "-":
    plan = plan_batch(sys.argv[1], sys.argv[2], 1024, "npz")
    assert plan.models == int(sys.argv[3]), plan.models
seconds = time.perf_counter() - started
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM"))
print(seconds, peak / 1024)
"""


def plan_large_zip(folder: Path, members: int) -> tuple[float, float, float]:
    archive = folder / "large.zip"
    body = (folder / "tiny.off").read_bytes() if (folder / "tiny.off").exists() else b""
    if not body:
        meshgen.write_off(folder / "tiny.off", torus(3))
        body = (folder / "tiny.off").read_bytes()
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as out:
        for index in range(members):
            out.writestr(f"Large/class{index % 100:02d}/m{index:06d}.off", body)

    def run(*args: object) -> tuple[float, float]:
        done = subprocess.run([sys.executable, "-c", PLAN_SCRIPT, *map(str, args)],
                              capture_output=True, text=True, check=True)
        seconds, peak = done.stdout.split()
        return float(seconds), float(peak)

    seconds, peak = run(archive, folder / "planned", members)
    _, baseline = run("-")
    return seconds, peak, baseline


def s3_section(tree: Path, models: int, runs: int) -> list[str]:
    try:
        import fsspec
        import s3fs  # noqa: F401

        from s3_server import s3_server, uses
    except ImportError as error:
        return [f"(skipped: {error})"]
    lines: list[str] = []
    with tempfile.TemporaryDirectory() as scratch_name, s3_server() as environment, \
            uses(environment):
        scratch = Path(scratch_name)
        subset = scratch / "subset"
        for path in sorted(tree.rglob("*.off"))[:models]:
            target = subset / path.relative_to(tree)
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(path, target)
        fs = fsspec.filesystem("s3")
        fs.mkdir("bench")
        fs.put(str(subset) + "/", "bench/in", recursive=True)
        options = SampleOptions(seed=SEED, method="surface")

        def local_batch(out: Path) -> float:
            shutil.rmtree(out, ignore_errors=True)
            started = time.perf_counter()
            report = vertisift_tools.batch(subset, out, COUNT, jobs=2, options=options, **SHARDS)
            assert report.ok
            return report.converted / (time.perf_counter() - started)

        def bucket_batch(out: str, **extra: object) -> float:
            fs.rm(out.removeprefix("s3://"), recursive=True) if fs.exists(
                out.removeprefix("s3://")) else None
            started = time.perf_counter()
            report = vertisift_tools.batch("s3://bench/in", out, COUNT, jobs=2, options=options,
                                           **SHARDS, **extra)
            assert report.ok, report.failures[:3]
            return report.converted / (time.perf_counter() - started)

        rates: dict[str, list[float]] = {"folder": [], "bucket": []}
        for _ in range(runs):
            rates["folder"].append(local_batch(scratch / "local"))
            rates["bucket"].append(bucket_batch("s3://bench/out"))
        lines += rate_lines(rates, "local processes, h5 shards")
        started = time.perf_counter()
        fs.cat([f"bench/in/{relative}" for relative in contents(subset)])
        ceiling = models / (time.perf_counter() - started)
        lines.append(f"- the server's own ceiling: {ceiling:.0f} objects/s, every object fetched "
                     "at once by one client (fsspec's concurrent cat), nothing drawn")
        print(lines[-1])

        try:
            import distributed
        except ImportError:
            lines.append("(Dask: skipped, distributed is not installed)")
        else:
            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                          host="127.0.0.1", dashboard_address=None) as cluster, \
                    distributed.Client(cluster) as client:
                dask_rates: dict[str, list[float]] = {"folder": [], "bucket": []}
                for _ in range(runs):
                    for kind in ("folder", "bucket"):
                        source = subset if kind == "folder" else "s3://bench/in"
                        out = (scratch / "dask-local") if kind == "folder" else "s3://bench/dask"
                        if kind == "folder":
                            shutil.rmtree(out, ignore_errors=True)
                        elif fs.exists("bench/dask"):
                            fs.rm("bench/dask", recursive=True)
                        started = time.perf_counter()
                        report = vertisift_tools.batch_dask(source, out, COUNT, client,
                                                            options=options, **SHARDS)
                        assert report.ok, report.failures[:3]
                        dask_rates[kind].append(report.converted / (time.perf_counter() - started))
                lines += rate_lines(dask_rates, "Dask, two workers, h5 shards")

        # A worker killed at one model, then the rerun.
        victim = sorted(subset.rglob("*.off"))[models // 2].name
        fs.rm("bench/out", recursive=True)
        os.environ[FAULT_VARIABLE] = f"kill:{victim}"
        try:
            first = vertisift_tools.batch("s3://bench/in", "s3://bench/out", COUNT, fmt="ply",
                                          jobs=2, options=options)
        finally:
            del os.environ[FAULT_VARIABLE]
        second = vertisift_tools.batch("s3://bench/in", "s3://bench/out", COUNT, fmt="ply",
                                       jobs=2, options=options)
        reference = scratch / "reference"
        vertisift_tools.batch(subset, reference, COUNT, fmt="ply", jobs=2, options=options)
        fs.invalidate_cache()
        same = all(
            fs.cat_file(f"bench/out/{relative}") == data
            for relative, data in contents(reference).items()
            if relative.endswith(".ply")
        )
        lines.append(
            f"- killed worker: first run {first.converted} converted, {len(first.failures)} "
            f"failed ({first.failures[0].message if first.failures else '-'}); rerun "
            f"{second.converted} converted, {second.skipped} already done; every cloud the "
            f"local batch's, byte for byte: {'yes' if same else 'NO'}"
        )
    return lines


def rate_lines(rates: dict[str, list[float]], what: str) -> list[str]:
    folder, other = (statistics.median(rates[key]) for key in rates)
    names = list(rates)
    shown = "; ".join(
        f"{name} {statistics.median(values):.0f} models/s ({min(values):.0f}–{max(values):.0f})"
        for name, values in rates.items()
    )
    line = f"- {what}: {shown}; {names[1]}/{names[0]} = {other / folder:.2f}×"
    print(line)
    return [line]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", type=int, default=10_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--s3-models", type=int, default=2_000)
    parser.add_argument("--s3-runs", type=int, default=2)
    parser.add_argument("--large-members", type=int, default=100_000)
    parser.add_argument("--out", type=Path, default=HERE / "results")
    arguments = parser.parse_args()
    lines = [f"# Archives and object storage ({arguments.models} models, {arguments.runs} "
             f"rounds, {arguments.s3_runs} in the bucket; medians, ranges in parentheses)", ""]
    with tempfile.TemporaryDirectory() as scratch_name:
        scratch = Path(scratch_name)
        top = make_tree(scratch, arguments.models)
        archive = zip_tree(top, scratch / "ModelNet.zip")
        rates: dict[str, list[float]] = {"folder": [], "zip": []}
        for _ in range(arguments.runs):
            # OUT_DIRs of one name: the lists of shards name it.
            rates["folder"].append(shard_batch(top, scratch / "from-folder" / "shards"))
            rates["zip"].append(shard_batch(archive, scratch / "from-zip" / "shards"))
        same = contents(scratch / "from-folder") == contents(scratch / "from-zip")
        lines += ["## A ModelNet-style zip against its folder", ""]
        lines += rate_lines(rates, f"batch to h5 shards, {COUNT} points, two workers")
        lines.append(f"- the same shards, byte for byte: {'yes' if same else 'NO'}")
        print(lines[-1])
        items: dict[str, list[float]] = {"folder": [], "zip": []}
        for _ in range(arguments.runs):
            items["folder"].append(dataset_rate(top, arguments.models))
            items["zip"].append(dataset_rate(archive, arguments.models))
        lines += rate_lines(items, "dataset, two loader processes, items/s")
        lines[-1] = lines[-1].replace("models/s", "items/s")

        seconds, peak, baseline = plan_large_zip(scratch, arguments.large_members)
        lines += ["", f"## Planning a zip of {arguments.large_members} members", ""]
        lines.append(f"- {seconds:.2f} s; peak resident memory {peak:.0f} MiB "
                     f"(the package imported alone: {baseline:.0f} MiB)")
        print(lines[-1])

        lines += ["", f"## {arguments.s3_models} models in an S3 bucket (moto's server on "
                  "127.0.0.1)", ""]
        lines += s3_section(top, arguments.s3_models, arguments.s3_runs)
    arguments.out.mkdir(parents=True, exist_ok=True)
    text = "\n".join(lines) + "\n"
    (arguments.out / "archives.md").write_text(text)
    print(textwrap.indent(f"written to {arguments.out / 'archives.md'}", ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
