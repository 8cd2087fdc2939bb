"""Batches: a folder tree of models into a mirrored tree of clouds.

`plan` (what a batch makes and has to do, its record in OUT_DIR, its report), `runner` (the
request, and the skeleton that runs any plan with an executor), `task` (one file, as a
worker runs it), `pool` (local worker processes, an executor), `local` (`batch`, on those
processes) and `dask_runner` (`batch_dask`, and the executor of a Dask cluster); `sharded`,
the plan and files of a batch into HDF5 shards (fmt="h5").

The package is named `batching`, not `batch`: `vertisift_tools.batch` is the function, and a
submodule of that name would be bound over it as the package's attribute once imported.
"""
