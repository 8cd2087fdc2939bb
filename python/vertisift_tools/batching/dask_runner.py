"""The batch on a Dask distributed cluster: the same per-file work as the local batch, with
the models in groups, one Dask task per group, run by the cluster's workers.

A Dask task costs the scheduler and its worker 0.2 to 1 ms, as much as converting a small
model, and the client keeps a future for each. So a task converts a group of consecutive
models of the plan (mostly of one folder), `models_per_task` of them, by default as many as
keep a batch within MAX_TASKS tasks, and returns only its failures and zero-normal counts.
The groups are submitted at once and counted as they complete.

The workers read the models and write the clouds themselves, so every worker must see the
input and output folders under the same paths as this process (a shared file system), and
must have vertisift installed. A task whose worker dies is retried by the scheduler on
another worker (up to its `allowed-failures` setting); when it is given up, its models are
sent again one per task, so that a model that kills its worker fails alone and the rest of
its group is converted.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Sequence
from dataclasses import dataclass, field
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

# The most tasks that the default group size gives a batch: Dask schedules 10,000 tasks in
# seconds, and a group of a batch of 100,000 models is then 10 of them.
MAX_TASKS = 10_000

# One model of a group, as its task carries it: (model file, cloud file, options).
Job = tuple[str, str, SampleOptions]


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
    models_per_task: int | None = None,
) -> BatchReport:
    """Like `vertisift_tools.batch`, but on a Dask cluster. `scheduler` is the address of a
    running scheduler (such as "tcp://10.0.0.5:8786") or a `distributed.Client`. OUT_DIR's
    record is checked as `batch` checks it (BatchMismatchError unless `overwrite`).

    Each Dask task converts `models_per_task` models (default: `default_models_per_task` of
    the models to convert, so at most MAX_TASKS tasks). On KeyboardInterrupt the tasks not
    yet started are cancelled; a task that has started converts the rest of its group, and
    a rerun keeps those clouds as it keeps every finished one."""
    import distributed

    if models_per_task is not None and models_per_task < 1:
        raise ValueError(f"models_per_task must be 1 or more, not {models_per_task}")
    # Absolute paths: a worker's working folder is its own.
    in_dir, out_dir = Path(in_dir).absolute(), Path(out_dir).absolute()

    def run_on(client: distributed.Client) -> BatchReport:
        execute = DaskRunner(client, models_per_task).run
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


def default_models_per_task(models: int) -> int:
    """The group size of a batch of `models` conversions: 1 up to MAX_TASKS models, and
    then the fewest that keep the batch within MAX_TASKS tasks."""
    return max(1, -(-models // MAX_TASKS))


@dataclass(frozen=True)
class GroupOutcome:
    """How the models of a group ended, each by its index in the group: the failures, and
    the converted models with points of normal (0, 0, 0); every other one was converted."""

    failures: dict[int, str] = field(default_factory=dict)
    zero_normals: dict[int, int] = field(default_factory=dict)


def run_group(jobs: Sequence[Job], count: int) -> GroupOutcome:
    """Converts the models of a group one after the other, as a Dask task. Never raises for
    a failure of one model, so one bad file cannot end its group."""
    outcome = GroupOutcome()
    for index, (model, cloud, options) in enumerate(jobs):
        ended = run_task(model, cloud, count, options)
        if ended.failure is not None:
            outcome.failures[index] = ended.failure
        elif ended.zero_normals:
            outcome.zero_normals[index] = ended.zero_normals
    return outcome


class DaskRunner:
    """Runs the tasks of a batch, in groups, as tasks of the cluster that `client` is
    connected to."""

    def __init__(self, client: distributed.Client, models_per_task: int | None = None) -> None:
        self.client = client
        self.models_per_task = models_per_task

    def run(self, tasks: Sequence[Task], count: int, record: Record) -> None:
        """Converts each task to `count` points on the cluster and calls `record` for each
        file of a group as the group ends. On KeyboardInterrupt the groups not yet done are
        cancelled."""
        import distributed

        size = self.models_per_task or default_models_per_task(len(tasks))
        groups = [tasks[start : start + size] for start in range(0, len(tasks), size)]
        # pure=False: a group must run even when the same files were converted before on
        # this cluster (their outputs may have been deleted since).
        futures = self.client.map(
            run_group, [_jobs(group) for group in groups], count=count, pure=False
        )
        pending = dict(zip(futures, groups, strict=True))
        completed = distributed.as_completed(futures, loop=self.client.loop)  # type: ignore[no-untyped-call]
        del futures, groups  # each future is let go as soon as its group is recorded
        try:
            for future in completed:
                group = pending.pop(future)
                ended: list[tuple[Task, Outcome]] = []
                try:
                    result: GroupOutcome = future.result()
                except distributed.KilledWorker:
                    for task in group:
                        _discard_partial_outputs(Path(task.cloud))
                    if len(group) == 1:
                        failure = f"{DIED_MESSAGE} (on every worker that tried it)"
                        ended = [(group[0], Outcome(failure=failure))]
                    else:
                        # The model that killed the workers is one of the group: each goes
                        # again on its own, so that it fails alone.
                        for task in group:
                            single = self.client.submit(run_group, _jobs([task]), count, pure=False)
                            pending[single] = [task]
                            completed.add(single)  # type: ignore[no-untyped-call]
                except Exception as error:
                    ended = [(task, Outcome(failure=describe(error, task.model))) for task in group]
                else:
                    ended = [
                        (
                            task,
                            Outcome(
                                failure=result.failures.get(index),
                                zero_normals=result.zero_normals.get(index, 0),
                            ),
                        )
                        for index, task in enumerate(group)
                    ]
                # Released at once: were the worker that holds this (tiny) result to die
                # later, the scheduler would otherwise run the task again to restore it,
                # rewriting clouds that are already reported done.
                future.release()
                for task, outcome in ended:
                    record(task, outcome)
        except KeyboardInterrupt:
            self.client.cancel(list(pending))  # type: ignore[no-untyped-call]
            raise


def _jobs(group: Sequence[Task]) -> list[Job]:
    return [(task.model, task.cloud, task.options) for task in group]


def _discard_partial_outputs(cloud: Path) -> None:
    # Dead workers' temporary files; their process ids are unknown here.
    pattern = glob.escape(temp_path(cloud, 0).name[: -len("0.part")]) + "*.part"
    for leftover in cloud.parent.glob(pattern):
        leftover.unlink(missing_ok=True)
