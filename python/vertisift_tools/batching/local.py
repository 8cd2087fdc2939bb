"""Batch conversion of a folder tree of models into mirrored point-cloud files, or into HDF5
shards, in local worker processes."""

from __future__ import annotations

import os

from vertisift_tools.batching.plan import BatchReport
from vertisift_tools.batching.pool import WorkerPool, leave_if_starting_worker, processor_count
from vertisift_tools.batching.runner import BatchRequest, run_batch
from vertisift_tools.batching.sharded import Labels, ShardChoices
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
    shard_size: int | None = None,
    labels: Labels | None = None,
    split_folders: bool = False,
    files_prefix: str | None = None,
) -> BatchReport:
    """Converts every model under in_dir into out_dir/<same relative path>.<fmt>, with
    `jobs` worker processes (default: one per processor), and writes out_dir/failures.csv.

    Models that fail to read, and models whose worker process dies, are reported in the
    result's `failures` and get no output; the rest of the batch goes on. Clouds that exist
    from an earlier run are kept, so running the same batch again resumes it. On
    KeyboardInterrupt the workers are stopped and the report says `interrupted`.

    The batch records what it makes in out_dir/vertisift-batch.json (count, format, options,
    version). When out_dir holds the record of a batch with other settings, BatchMismatchError
    (a ValueError) is raised before anything is done; `overwrite=True` makes every cloud
    again and rewrites the record.

    `options` say how points are drawn (default: `SampleOptions()`, the reduction to
    vertices with "auto" normals, positions as drawn); with a seed, each file draws with its
    own seed derived from it and the file's relative path, so the clouds are the same
    whatever `jobs` and however often it resumes.


    fmt="h5" writes HDF5 shards instead (`vertisift_tools.batching.sharded`): the models of
    each split, sorted by relative path, `shard_size` to a file (default 2048); with
    labels="folders" each row's label is the index of its model's first folder among those
    folders sorted (listed in shape_names.txt), else 0; with split_folders, the models in a
    "train" or "test" folder make the shards of that split, else one split "all". It needs
    h5py (ImportError otherwise). Each line of {split}_files.txt is `files_prefix` and a
    shard's name, by default "data/<out_dir's name>/ply_data_train0.h5", as the training
    releases list them for code that opens the lines from its project's folder ("" lists
    names relative to out_dir). A rerun keeps the shards that are complete. `shard_size`,
    `labels`, `split_folders` and `files_prefix` apply to fmt="h5" only (ValueError
    otherwise). A class folder whose name a line cannot hold (a line break) raises
    UnlistableNameError (a ValueError) before anything is done.

    Never writes over a model: when a cloud would replace one of the models (out_dir is
    in_dir, or holds part of it, in a format of its models), OverwritesModelsError (a
    ValueError) is raised before anything is done. A folder under in_dir that is out_dir is
    not searched for models.

    `in_dir` may also be an archive (.zip, .tar, .tar.gz, .tar.xz, .tar.zst), whose models
    are its members, under its one top folder if it has one, or a folder URL of fsspec
    ("s3://bucket/models"); `out_dir` may be a URL too, each output uploaded whole (see
    `vertisift_tools.sources` and `vertisift_tools.storage`). memory:// URLs are refused:
    the worker processes do not share that memory.

    In a script, call it under `if __name__ == "__main__":`: the worker processes import
    the script again as they start, and RuntimeError says so, before any model, when the
    call is at its top level.
    """
    leave_if_starting_worker()
    shards = ShardChoices(shard_size, labels, split_folders, files_prefix)
    request = BatchRequest(in_dir, out_dir, count, fmt, options, overwrite, progress, shards)
    return run_batch(request, WorkerPool(processor_count() if jobs is None else jobs))
