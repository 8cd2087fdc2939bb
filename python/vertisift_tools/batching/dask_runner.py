"""The batch on a Dask distributed cluster: the same per-file work as the local batch, with
the models in groups, one Dask task per group, run by the cluster's workers.

A Dask task costs the scheduler, the client and its worker 0.2 to 10 ms (the more, the more
they share cores), as much as converting a small model or more, and the client keeps a future
for each. So a task converts a group of consecutive models of the plan (mostly of one folder)
and returns only their failures and zero-normal counts. By default a batch has
TASKS_PER_THREAD tasks for each thread of the cluster's workers, within MAX_TASKS: enough
that every thread stays busy to the end, few enough that the overhead of a task is lost in
its run. The groups are submitted at once and counted, model by model, as they complete.

The workers read the models and write the clouds themselves, so every worker must see the
input and output folders under the same paths as this process (a shared file system), and
must have vertisift installed. A task whose worker dies is retried by the scheduler on
another worker (up to its `allowed-failures` setting); when it is given up, its models are
sent again one per task, so that a model that kills its worker fails alone and the rest of
its group is converted.
"""

from __future__ import annotations

import glob
import logging
import os
from collections.abc import Sequence
from concurrent.futures import CancelledError
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from vertisift_tools.batching.plan import BatchReport, Outcome, Record, Task
from vertisift_tools.batching.runner import SchedulerLost, run_planned_batch
from vertisift_tools.batching.sharded import (
    DEFAULT_SHARD_SIZE,
    Labels,
    Shard,
    ShardEnded,
    ShardResult,
    ShardRows,
    ShardWork,
    check_shard_choices,
    make_shard,
    run_shard_batch,
)
from vertisift_tools.batching.task import DIED_MESSAGE, draw_model, run_task
from vertisift_tools.clouds import temp_path
from vertisift_tools.convert import describe
from vertisift_tools.formats import SHARD_FORMAT
from vertisift_tools.options import SampleOptions

if TYPE_CHECKING:
    import distributed

# The default group size: TASKS_PER_THREAD tasks per worker thread, but no more than
# MAX_TASKS in all, which Dask schedules in seconds. With 64 tasks per thread, the last groups
# to end are a small part of a thread's work, and a group of tiny models runs for about a
# second (100,000 models on 2 threads: 782 models a group), so the progress bar still moves
# and a group run again after its worker died costs little.
TASKS_PER_THREAD = 64
MAX_TASKS = 10_000
# The most models in one graph sent to the scheduler, 3 MB of paths (each model's two paths
# take about 150 bytes).
SUBMITTED_MODELS = 20_000

# Why Dask cancels every future of a client that has lost its scheduler.
LOST_REASON = "scheduler-connection-lost"

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
    shard_size: int | None = None,
    labels: Labels | None = None,
    split_folders: bool = False,
    files_prefix: str | None = None,
) -> BatchReport:
    """Like `vertisift_tools.batch`, but on a Dask cluster. `scheduler` is the address of a
    running scheduler (such as "tcp://10.0.0.5:8786") or a `distributed.Client`. OUT_DIR's
    record is checked as `batch` checks it (BatchMismatchError unless `overwrite`).

    Each Dask task converts `models_per_task` models (default: `default_models_per_task` of
    the models to convert and the threads of the cluster's workers as the batch starts). On
    KeyboardInterrupt the tasks not yet started are cancelled; a task that has started
    converts the rest of its group, and a rerun keeps those clouds as it keeps every
    finished one.

    fmt="h5" makes the shards of `vertisift_tools.batch` (with its `shard_size`, `labels` and
    `split_folders`), one Dask task per shard, which draws the shard's models and writes
    it; `models_per_task` does not apply. A batch has as many tasks at once as shards to
    make, so a smaller `shard_size` keeps more workers busy on a small batch."""
    import distributed

    if models_per_task is not None and models_per_task < 1:
        raise ValueError(f"models_per_task must be 1 or more, not {models_per_task}")
    if fmt == SHARD_FORMAT and models_per_task is not None:
        raise ValueError("models_per_task does not apply to fmt='h5', whose tasks are shards")
    check_shard_choices(fmt, shard_size, labels, split_folders, files_prefix)
    # Absolute paths: a worker's working folder is its own.
    in_dir, out_dir = Path(in_dir).absolute(), Path(out_dir).absolute()

    def run_on(client: distributed.Client) -> BatchReport:
        runner = DaskRunner(client, models_per_task)
        if fmt == SHARD_FORMAT:
            return run_shard_batch(
                in_dir,
                out_dir,
                count,
                runner.run_shards,
                shard_size=DEFAULT_SHARD_SIZE if shard_size is None else shard_size,
                labels=labels,
                split_folders=split_folders,
                progress=progress,
                options=options,
                overwrite=overwrite,
                files_prefix=files_prefix,
            )
        execute = runner.run
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
    client = distributed.Client(scheduler, set_as_default=False)  # type: ignore[no-untyped-call]
    try:
        return run_on(client)
    finally:
        close_quietly(client)


def close_quietly(client: distributed.Client) -> None:
    """Closes the client. One whose scheduler went away is still trying to reconnect, and
    Dask logs the attempt that the close cuts short as an error (a traceback of 30 lines,
    or a line saying that it failed): the client's records are dropped as it closes then,
    the batch having said in one line what happened."""
    if client.status == "running":
        client.close()  # type: ignore[no-untyped-call]
        return
    logger = logging.getLogger("distributed.client")
    logger.addFilter(_drop)
    try:
        client.close()  # type: ignore[no-untyped-call]
    finally:
        logger.removeFilter(_drop)


def _drop(record: logging.LogRecord) -> bool:
    return False


def default_models_per_task(models: int, threads: int) -> int:
    """The group size of a batch of `models` conversions on workers with `threads` threads
    in all: TASKS_PER_THREAD tasks per thread, within MAX_TASKS tasks (and only that limit
    when there are no workers yet, as in a cluster that scales up from none)."""
    tasks = MAX_TASKS if threads < 1 else min(MAX_TASKS, TASKS_PER_THREAD * threads)
    return max(1, -(-models // tasks))


@dataclass(frozen=True)
class GroupOutcome:
    """How the models of a group ended, each by its index in the group: the failures, and
    the converted models with points of normal (0, 0, 0); every other one was converted."""

    failures: dict[int, str] = field(default_factory=dict)
    zero_normals: dict[int, int] = field(default_factory=dict)

    def outcome(self, index: int) -> Outcome:
        """How the group's model at `index` ended."""
        return Outcome(self.failures.get(index), self.zero_normals.get(index, 0))


def run_group(jobs: Sequence[Job], count: int) -> GroupOutcome:
    """Converts the models of a group one after the other, as a Dask task. Never raises for
    a failure of one model, so one bad file cannot end its group."""
    failures: dict[int, str] = {}
    zero_normals: dict[int, int] = {}
    for index, (model, cloud, options) in enumerate(jobs):
        ended = run_task(model, cloud, count, options)
        if ended.failure is not None:
            failures[index] = ended.failure
        elif ended.zero_normals:
            zero_normals[index] = ended.zero_normals
    return GroupOutcome(failures, zero_normals)


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

        if not tasks:
            return
        size = self.models_per_task
        if size is None:
            threads = sum(self.client.nthreads().values())  # type: ignore[no-untyped-call]
            size = default_models_per_task(len(tasks), threads)
        in_flight = _InFlight(self.client, count)
        try:
            in_flight.submit([tasks[first : first + size] for first in range(0, len(tasks), size)])
            for future in in_flight.completed:
                group = in_flight.groups.pop(future)
                ended: list[tuple[Task, Outcome]] = []
                try:
                    result: GroupOutcome = future.result()
                except distributed.KilledWorker:
                    for task in group:
                        _discard_partial_outputs(Path(task.cloud))
                    if len(group) > 1:
                        # The model that killed the workers is one of the group: each goes
                        # again on its own, so that it fails alone.
                        in_flight.submit([[task] for task in group])
                    else:
                        failure = f"{DIED_MESSAGE} (on every worker that tried it)"
                        ended = [(group[0], Outcome(failure=failure))]
                except Exception as error:
                    self._raise_if_lost(error)
                    ended = [(task, Outcome(failure=describe(error, task.model))) for task in group]
                else:
                    ended = [(task, result.outcome(index)) for index, task in enumerate(group)]
                # Released at once: were the worker that holds this (tiny) result to die
                # later, the scheduler would otherwise run the task again to restore it,
                # rewriting clouds that are already reported done.
                future.release()
                for task, outcome in ended:
                    record(task, outcome)
        except KeyboardInterrupt:
            self.client.cancel(list(in_flight.groups))  # type: ignore[no-untyped-call]
            raise

    def run_shards(self, shards: Sequence[Shard], work: ShardWork, ended: ShardEnded) -> None:
        """Makes each shard as a task of the cluster (`make_shard`) and reports its models
        and then itself as it ends. A shard given up after its workers died is drawn again
        one model per task, its points sent back and the shard written here, so that a
        model that kills its worker fails alone. On KeyboardInterrupt the shards not yet
        done are cancelled."""
        import distributed

        if not shards:
            return
        completed = distributed.as_completed(loop=self.client.loop)  # type: ignore[no-untyped-call]
        # What each future makes: a shard, or a model of a shard drawn model by model.
        waiting: dict[Any, Shard | Task] = {}
        redrawn: dict[Task, Shard] = {}
        rows = ShardRows(work, ended)
        try:
            # pure=False: a shard must be made again even when it was made before on this
            # cluster (its file may have been deleted since).
            # In graphs of about SUBMITTED_MODELS models, as run() sends its groups.
            per_graph = max(1, SUBMITTED_MODELS // max(len(shard.tasks) for shard in shards))
            for first in range(0, len(shards), per_graph):
                some = shards[first : first + per_graph]
                futures = self.client.map(make_shard, some, work=work, pure=False)
                waiting.update(zip(futures, some, strict=True))
                completed.update(futures)  # type: ignore[no-untyped-call]
            for future in completed:
                item = waiting.pop(future)
                result: ShardResult | Outcome
                try:
                    result = future.result()
                except distributed.KilledWorker:
                    result = Outcome(failure=f"{DIED_MESSAGE} (on every worker that tried it)")
                except Exception as error:
                    self._raise_if_lost(error)
                    where = item.model if isinstance(item, Task) else item.name
                    result = Outcome(failure=describe(error, where))
                # Released at once, as in run().
                future.release()
                if isinstance(item, Shard) and isinstance(result, ShardResult):
                    for task, outcome in zip(item.tasks, result.outcomes, strict=True):
                        ended.model(task, outcome)
                    ended.shard(item, result.outcomes, result.write_failure)
                elif isinstance(item, Shard):
                    # One of its models may kill the workers: each is drawn again on its
                    # own, and the shard written here.
                    redrawn.update((task, item) for task in item.tasks)
                    singles = self.client.map(
                        draw_model,
                        [task.model for task in item.tasks],
                        [task.cloud for task in item.tasks],
                        [work.count] * len(item.tasks),
                        [task.options for task in item.tasks],
                        pure=False,
                    )
                    waiting.update(zip(singles, item.tasks, strict=True))
                    completed.update(singles)  # type: ignore[no-untyped-call]
                else:
                    assert isinstance(result, Outcome)
                    rows.add(redrawn.pop(item), item, result)
        except KeyboardInterrupt:
            self.client.cancel(list(waiting))  # type: ignore[no-untyped-call]
            raise

    def _raise_if_lost(self, error: Exception) -> None:
        """SchedulerLost when `error` ended a future because the client lost its scheduler:
        Dask then cancels every future, and each would be reported as its models' failure
        (in a text of two lines), also those never tried."""
        if isinstance(error, CancelledError) and (
            getattr(error, "reason", None) == LOST_REASON or self.client.status != "running"
        ):
            raise SchedulerLost("the Dask scheduler went away") from None


class _InFlight:
    """The groups of a batch sent to the cluster and not yet recorded, by their futures, and
    the futures in the order they complete."""

    def __init__(self, client: distributed.Client, count: int) -> None:
        import distributed

        self.client = client
        self.count = count
        self.groups: dict[distributed.Future[GroupOutcome], Sequence[Task]] = {}
        self.completed = distributed.as_completed(loop=client.loop)  # type: ignore[no-untyped-call]

    def submit(self, groups: Sequence[Sequence[Task]]) -> None:
        # In graphs of SUBMITTED_MODELS models at most: the groups carry their models'
        # paths, and Dask warns of a graph of more than 10 MiB.
        per_graph = max(1, SUBMITTED_MODELS // max(map(len, groups)))
        for first in range(0, len(groups), per_graph):
            some = groups[first : first + per_graph]
            # pure=False: a group must run even when the same files were converted before on
            # this cluster (their outputs may have been deleted since).
            futures = self.client.map(
                run_group, [_jobs(group) for group in some], count=self.count, pure=False
            )
            self.groups.update(zip(futures, some, strict=True))
            self.completed.update(futures)  # type: ignore[no-untyped-call]


def _jobs(group: Sequence[Task]) -> list[Job]:
    return [(task.model, task.cloud, task.options) for task in group]


def _discard_partial_outputs(cloud: Path) -> None:
    # Dead workers' temporary files; their process ids are unknown here.
    pattern = glob.escape(temp_path(cloud, 0).name[: -len("0.part")]) + "*.part"
    for leftover in cloud.parent.glob(pattern):
        leftover.unlink(missing_ok=True)
