"""The batch on a Dask distributed cluster: the same per-file work as the local batch, one
task per model, run by the cluster's workers.

The workers read the models and write the clouds themselves, so every worker must see the
input and output folders under the same paths as this process (a shared file system), and
must have vertisift installed. A task whose worker dies is retried by the scheduler on
another worker (up to its `allowed-failures` setting) and then reported as failed.
"""

from __future__ import annotations

import glob
import os
import time
from pathlib import Path
from typing import Any

from vertisift_cli.batch import (BatchReport, _progress_bar, plan_batch, record_outcome,
                                 write_failures)
from vertisift_cli.clouds import temp_path
from vertisift_cli.convert import describe, run_task


def batch_dask(in_dir: str | os.PathLike[str], out_dir: str | os.PathLike[str], count: int,
               scheduler: Any, *, fmt: str = "npz", progress: bool = False) -> BatchReport:
    """Like `vertisift_cli.batch`, but on a Dask cluster. `scheduler` is the address of a
    running scheduler (such as "tcp://10.0.0.5:8786") or a `distributed.Client`."""
    import distributed

    started = time.perf_counter()
    # Absolute paths: a worker's working folder is its own.
    in_dir, out_dir = Path(in_dir).absolute(), Path(out_dir).absolute()
    plan = plan_batch(in_dir, out_dir, count, fmt)
    report = BatchReport(found=plan.found, skipped=plan.skipped, failures=list(plan.failures))
    own_client = not isinstance(scheduler, distributed.Client)
    # The connection timeout is Dask's setting distributed.comm.timeouts.connect.
    client = scheduler
    if own_client:
        client = distributed.Client(scheduler, set_as_default=False)  # type: ignore[no-untyped-call]
    futures: dict[Any, Any] = {}
    try:
        with _progress_bar(len(plan.tasks), progress, len(plan.failures)) as bar:
            try:
                # pure=False: a task must run even when the same file was converted before
                # on this cluster (its output may have been deleted since).
                futures = {client.submit(run_task, task.model, task.cloud, count, pure=False): task
                           for task in plan.tasks}
                for future in distributed.as_completed(  # type: ignore[no-untyped-call]
                        futures, loop=client.loop):
                    task = futures.pop(future)
                    try:
                        message = future.result()
                    except distributed.KilledWorker:
                        message = ("the worker process died while converting this file "
                                   "(on every worker that tried it)")
                        _discard_partial_outputs(Path(task.cloud))
                    except Exception as error:  # noqa: BLE001 - reported per file
                        message = describe(error)
                    # Released at once: were the worker that holds this (tiny) result to
                    # die later, the scheduler would otherwise run the task again to
                    # restore it, rewriting a cloud that is already reported done.
                    future.release()
                    record_outcome(report, bar, task, message)
            except KeyboardInterrupt:
                report.interrupted = True
                client.cancel(list(futures))
    finally:
        if own_client:
            client.close()
    write_failures(out_dir, report.failures)
    report.seconds = time.perf_counter() - started
    return report


def _discard_partial_outputs(cloud: Path) -> None:
    # Dead workers' temporary files; their process ids are unknown here.
    pattern = glob.escape(temp_path(cloud, 0).name[:-len("0.part")]) + "*.part"
    for leftover in cloud.parent.glob(pattern):
        leftover.unlink(missing_ok=True)
