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
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING

from vertisift_tools.batching.plan import BatchReport, Outcome, Record, Task
from vertisift_tools.batching.runner import run_planned_batch
from vertisift_tools.batching.task import DIED_MESSAGE, run_task
from vertisift_tools.clouds import temp_path
from vertisift_tools.convert import describe
from vertisift_tools.options import SampleOptions

if TYPE_CHECKING:
    import distributed


def batch_dask(
    in_dir: str | os.PathLike[str],
    out_dir: str | os.PathLike[str],
    count: int,
    scheduler: str | distributed.Client,
    *,
    fmt: str = "npz",
    progress: bool = False,
    options: SampleOptions | None = None,
    overwrite: bool = False,
) -> BatchReport:
    """Like `vertisift_tools.batch`, but on a Dask cluster. `scheduler` is the address of a
    running scheduler (such as "tcp://10.0.0.5:8786") or a `distributed.Client`. OUT_DIR's
    record is checked as `batch` checks it (BatchMismatchError unless `overwrite`)."""
    import distributed

    # Absolute paths: a worker's working folder is its own.
    in_dir, out_dir = Path(in_dir).absolute(), Path(out_dir).absolute()

    def run_on(client: distributed.Client) -> BatchReport:
        execute = DaskRunner(client).run
        return run_planned_batch(
            in_dir,
            out_dir,
            count,
            execute,
            fmt=fmt,
            progress=progress,
            options=options,
            overwrite=overwrite,
        )

    if isinstance(scheduler, distributed.Client):
        return run_on(scheduler)
    # The connection timeout is Dask's setting distributed.comm.timeouts.connect.
    with distributed.Client(scheduler, set_as_default=False) as client:  # type: ignore[no-untyped-call]
        return run_on(client)


class DaskRunner:
    """Runs the tasks of a batch as tasks of the cluster that `client` is connected to."""

    def __init__(self, client: distributed.Client) -> None:
        self.client = client

    def run(self, tasks: Sequence[Task], count: int, record: Record) -> None:
        """Converts each task to `count` points on the cluster and calls `record` as each
        file ends. On KeyboardInterrupt the tasks not yet done are cancelled."""
        import distributed

        # pure=False: a task must run even when the same file was converted before on this
        # cluster (its output may have been deleted since).
        futures = {
            self.client.submit(
                run_task, task.model, task.cloud, count, task.options, pure=False
            ): task
            for task in tasks
        }
        try:
            for future in distributed.as_completed(futures, loop=self.client.loop):  # type: ignore[no-untyped-call]
                task = futures.pop(future)
                outcome: Outcome
                try:
                    outcome = future.result()
                except distributed.KilledWorker:
                    outcome = Outcome(failure=f"{DIED_MESSAGE} (on every worker that tried it)")
                    _discard_partial_outputs(Path(task.cloud))
                except Exception as error:
                    outcome = Outcome(failure=describe(error, task.model))
                # Released at once: were the worker that holds this (tiny) result to die
                # later, the scheduler would otherwise run the task again to restore it,
                # rewriting a cloud that is already reported done.
                future.release()
                record(task, outcome)
        except KeyboardInterrupt:
            self.client.cancel(list(futures))  # type: ignore[no-untyped-call]
            raise


def _discard_partial_outputs(cloud: Path) -> None:
    # Dead workers' temporary files; their process ids are unknown here.
    pattern = glob.escape(temp_path(cloud, 0).name[: -len("0.part")]) + "*.part"
    for leftover in cloud.parent.glob(pattern):
        leftover.unlink(missing_ok=True)
