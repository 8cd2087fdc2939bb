"""Batch conversion of a folder tree of STL models into mirrored point-cloud files, in local
worker processes."""

from __future__ import annotations

import os

from vertisift_tools.batching.plan import BatchReport
from vertisift_tools.batching.pool import WorkerPool, processor_count
from vertisift_tools.batching.runner import run_planned_batch
from vertisift_tools.options import SampleOptions


def batch(
    in_dir: str | os.PathLike[str],
    out_dir: str | os.PathLike[str],
    count: int,
    *,
    fmt: str = "npz",
    jobs: int | None = None,
    progress: bool = False,
    options: SampleOptions | None = None,
    overwrite: bool = False,
) -> BatchReport:
    """Converts every .stl model under in_dir into out_dir/<same relative path>.<fmt>, with
    `jobs` worker processes (default: one per processor), and writes out_dir/failures.csv.

    Models that fail to read, and models whose worker process dies, are reported in the
    result's `failures` and get no output; the rest of the batch goes on. Clouds that exist
    from an earlier run are kept, so running the same batch again resumes it. On
    KeyboardInterrupt the workers are stopped and the report says `interrupted`.

    The batch records what it makes in out_dir/vertisift-batch.json (count, format, options,
    version). When out_dir holds the record of a batch with other settings, BatchMismatchError
    (a ValueError) is raised before anything is done; `overwrite=True` makes every cloud
    again and rewrites the record.

    `options` say how points are drawn (default: the reduction to vertices, the file's
    normals); with a seed, each file draws with its own seed derived from it and the file's
    relative path, so the clouds are the same whatever `jobs` and however often it resumes.
    """
    pool = WorkerPool(processor_count() if jobs is None else jobs)
    return run_planned_batch(
        in_dir,
        out_dir,
        count,
        pool.run,
        fmt=fmt,
        progress=progress,
        options=options,
        overwrite=overwrite,
    )
