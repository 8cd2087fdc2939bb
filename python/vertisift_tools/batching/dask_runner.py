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
from typing import TYPE_CHECKING, Any, Protocol

from vertisift_tools.batching.plan import BatchReport, Outcome, Record, Task
from vertisift_tools.batching.runner import BatchRequest, SchedulerLost, run_batch
from vertisift_tools.batching.sharded import (
    Labels,
    Shard,
    ShardChoices,
    ShardEnded,
    ShardResult,
    ShardRows,
    ShardWork,
    make_shard,
)
from vertisift_tools.batching.task import DIED_MESSAGE, Work, draw_model, run_task
from vertisift_tools.clouds import temp_path
from vertisift_tools.convert import describe
from vertisift_tools.formats import SHARD_FORMAT
from vertisift_tools.options import SampleOptions
from vertisift_tools.sources import check_random_access, preload, read_ahead
from vertisift_tools.storage import is_url

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
    shards = ShardChoices(shard_size, labels, split_folders, files_prefix)
    # Absolute paths: a worker's working folder is its own. URLs are read alike everywhere;
    # a compressed tar, which is read from its start alone, cannot be shared out.
    in_dir, out_dir = (_absolute(place) for place in (in_dir, out_dir))
    check_random_access(os.fspath(in_dir))
    request = BatchRequest(in_dir, out_dir, count, fmt, options, overwrite, progress, shards)
    if isinstance(scheduler, distributed.Client):
        return run_batch(request, DaskRunner(scheduler, models_per_task))
    # The connection timeout is Dask's setting distributed.comm.timeouts.connect.
    client = distributed.Client(scheduler, set_as_default=False)  # type: ignore[no-untyped-call]
    try:
        return run_batch(request, DaskRunner(client, models_per_task))
    finally:
        close_quietly(client)


def _absolute(place: str | os.PathLike[str]) -> str | Path:
    text = os.fspath(place)
    return text if is_url(text) else Path(text).absolute()


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
    """How the models of a group ended, each by its index in the group: the failures, the
    converted models with points of normal (0, 0, 0), and those drawn with colours that store
    none; every other one was converted."""

    failures: dict[int, str] = field(default_factory=dict)
    zero_normals: dict[int, int] = field(default_factory=dict)
    colorless: frozenset[int] = frozenset()
    unused_textures: dict[int, tuple[str, ...]] = field(default_factory=dict)

    def outcome(self, index: int) -> Outcome:
        """How the group's model at `index` ended."""
        return Outcome(
            self.failures.get(index),
            self.zero_normals.get(index, 0),
            index in self.colorless,
            self.unused_textures.get(index, ()),
        )


def run_group(jobs: Sequence[Job], count: int) -> GroupOutcome:
    """Converts the models of a group one after the other, as a Dask task. Never raises for
    a failure of one model, so one bad file cannot end its group."""
    failures: dict[int, str] = {}
    zero_normals: dict[int, int] = {}
    colorless: set[int] = set()
    unused_textures: dict[int, tuple[str, ...]] = {}
    fetched = read_ahead(model for model, _, _ in jobs)
    for index, ((model, cloud, options), (_, data)) in enumerate(zip(jobs, fetched, strict=True)):
        if data is not None:
            preload(model, data)
        ended = run_task(model, cloud, count, options)
        if ended.failure is not None:
            failures[index] = ended.failure
            continue
        if ended.zero_normals:
            zero_normals[index] = ended.zero_normals
        if ended.colorless:
            colorless.add(index)
        if ended.unused_textures:
            unused_textures[index] = ended.unused_textures
    return GroupOutcome(failures, zero_normals, frozenset(colorless), unused_textures)


class DaskRunner:
    """Runs the work of a batch as tasks of the cluster that `client` is connected to: its
    clouds in groups of models, or its shards, one a task."""

    def __init__(self, client: distributed.Client, models_per_task: int | None = None) -> None:
        self.client = client
        self.models_per_task = models_per_task

    def convert(self, tasks: Sequence[Task], count: int, record: Record) -> None:
        """Converts each task to `count` points on the cluster, in groups (`run_group`), and
        calls `record` for each file of a group as the group ends."""
        if not tasks:
            return
        size = self.models_per_task
        if size is None:
            threads = sum(self.client.nthreads().values())  # type: ignore[no-untyped-call]
            size = default_models_per_task(len(tasks), threads)
        groups = [tasks[first : first + size] for first in range(0, len(tasks), size)]
        _InFlight(self.client, _CloudGroups(count, record)).run(groups)

    def make_shards(self, shards: Sequence[Shard], work: ShardWork, ended: ShardEnded) -> None:
        """Makes each shard as a task of the cluster (`make_shard`), which writes it, and
        reports its models and then itself as it ends."""
        if shards:
            _InFlight(self.client, _ShardGroups(work, ended)).run(shards)


class GroupKind[Group](Protocol):
    """What the tasks of a batch make, each a group of models, and how their ends are told;
    `single` makes one model of a group that was given up, as a task of its own."""

    count: int
    single: Work

    def submit(self, client: distributed.Client, groups: Sequence[Group]) -> list[Any]:
        """Sends the tasks of some groups, one graph of one task per group."""

    def tasks(self, group: Group) -> Sequence[Task]: ...

    def ended(self, group: Group, result: Any) -> None:
        """Reports a group whose task returned `result`."""

    def model_ended(self, group: Group, task: Task, outcome: Outcome) -> None:
        """Reports a model of a group that ended alone (also one that failed)."""

    def given_up(self, group: Group, died: bool) -> bool:
        """Whether the models of a group whose task failed (`died`: its workers died) go
        again one a task; if not, each fails with the group's failure."""

    def died(self, tasks: Sequence[Task]) -> None:
        """Cleans up after a task whose workers died while they made `tasks`."""


class _InFlight[Group]:
    """The tasks of a batch sent to the cluster and not yet reported, by their futures (a
    group, or one model of a group with the model), and the futures in the order they
    complete. A group that fails (when `kind` gives it up) goes again one model per task, so
    that a model that kills its worker fails alone and the rest of its group is made."""

    def __init__(self, client: distributed.Client, kind: GroupKind[Group]) -> None:
        import distributed

        self.client = client
        self.kind = kind
        self.waiting: dict[distributed.Future[Any], tuple[Group, Task | None]] = {}
        self.completed = distributed.as_completed(loop=client.loop)  # type: ignore[no-untyped-call]

    def run(self, groups: Sequence[Group]) -> None:
        """Runs the groups and reports each as it ends. On KeyboardInterrupt the tasks not
        yet done are cancelled."""
        import distributed

        try:
            self._submit(groups)
            for future in self.completed:
                group, single = self.waiting.pop(future)
                done, error = True, None
                try:
                    result = future.result()
                except distributed.KilledWorker:
                    done = False
                except Exception as raised:
                    self._raise_if_lost(raised)
                    done, error = False, raised
                # Released at once: were the worker that holds this (tiny) result to die
                # later, the scheduler would otherwise run the task again to restore it,
                # rewriting outputs that are already reported done.
                future.release()
                if not done:
                    self._failed(group, single, error)
                elif single is None:
                    self.kind.ended(group, result)
                else:
                    self.kind.model_ended(group, single, result)
        except KeyboardInterrupt:
            self.client.cancel(list(self.waiting))  # type: ignore[no-untyped-call]
            raise

    def _failed(self, group: Group, single: Task | None, error: Exception | None) -> None:
        """Ends the models of a task that raised `error`, or whose workers died (None)."""
        tasks = self.kind.tasks(group) if single is None else [single]
        if error is None:
            self.kind.died(tasks)
        if single is None and self.kind.given_up(group, died=error is None):
            self._submit_singles(group, tasks)
            return
        died = f"{DIED_MESSAGE} (on every worker that tried it)"
        for task in tasks:
            failure = died if error is None else describe(error, task.model)
            self.kind.model_ended(group, task, Outcome(failure=failure))

    # In graphs of SUBMITTED_MODELS models at most: the tasks carry their models' paths,
    # and Dask warns of a graph of more than 10 MiB. pure=False: a task must run even when
    # the same files were made before on this cluster (they may have been deleted since).

    def _submit(self, groups: Sequence[Group]) -> None:
        per_graph = max(1, SUBMITTED_MODELS // max(len(self.kind.tasks(g)) for g in groups))
        for first in range(0, len(groups), per_graph):
            some = groups[first : first + per_graph]
            futures = self.kind.submit(self.client, some)
            self.waiting.update(zip(futures, ((group, None) for group in some), strict=True))
            self.completed.update(futures)  # type: ignore[no-untyped-call]

    def _submit_singles(self, group: Group, tasks: Sequence[Task]) -> None:
        for first in range(0, len(tasks), SUBMITTED_MODELS):
            some = tasks[first : first + SUBMITTED_MODELS]
            futures = self.client.map(
                self.kind.single,
                [task.model for task in some],
                [task.cloud for task in some],
                [self.kind.count] * len(some),
                [task.options for task in some],
                pure=False,
            )
            self.waiting.update(zip(futures, ((group, task) for task in some), strict=True))
            self.completed.update(futures)  # type: ignore[no-untyped-call]

    def _raise_if_lost(self, error: Exception) -> None:
        """SchedulerLost when `error` ended a future because the client lost its scheduler:
        Dask then cancels every future, and each would be reported as its models' failure
        (in a text of two lines), also those never tried."""
        if isinstance(error, CancelledError) and (
            getattr(error, "reason", None) == LOST_REASON or self.client.status != "running"
        ):
            raise SchedulerLost("the Dask scheduler went away") from None


class _CloudGroups:
    """The tasks of a batch of clouds: each converts a group of consecutive models of the
    plan (`run_group`); a model of a group given up converts alone (`run_task`)."""

    def __init__(self, count: int, record: Record) -> None:
        self.count = count
        self.single: Work = run_task
        self.record = record

    def submit(self, client: distributed.Client, groups: Sequence[Sequence[Task]]) -> list[Any]:
        jobs = [[(task.model, task.cloud, task.options) for task in group] for group in groups]
        return client.map(run_group, jobs, count=self.count, pure=False)

    def tasks(self, group: Sequence[Task]) -> Sequence[Task]:
        return group

    def ended(self, group: Sequence[Task], result: GroupOutcome) -> None:
        for index, task in enumerate(group):
            self.record(task, result.outcome(index))

    def model_ended(self, group: Sequence[Task], task: Task, outcome: Outcome) -> None:
        self.record(task, outcome)

    def given_up(self, group: Sequence[Task], died: bool) -> bool:
        # Only a model that killed the workers fails its whole group: each goes again on its
        # own, so that it fails alone. Another error is every model's.
        return died and len(group) > 1

    def died(self, tasks: Sequence[Task]) -> None:
        # Dead workers' temporary files; their process ids are unknown here.
        for task in tasks:
            cloud = Path(task.cloud)
            pattern = glob.escape(temp_path(cloud, 0).name[: -len("0.part")]) + "*.part"
            for leftover in cloud.parent.glob(pattern):
                leftover.unlink(missing_ok=True)


class _ShardGroups:
    """The tasks of a batch of shards: each draws the models of a shard and writes it
    (`make_shard`); the models of a shard given up are drawn one a task (`draw_model`), their
    points sent back, and the shard written here."""

    def __init__(self, work: ShardWork, ended: ShardEnded) -> None:
        self.count = work.count
        self.single: Work = draw_model
        self.work = work
        self.rows = ShardRows(work, ended)

    def submit(self, client: distributed.Client, shards: Sequence[Shard]) -> list[Any]:
        return client.map(make_shard, shards, work=self.work, pure=False)

    def tasks(self, shard: Shard) -> Sequence[Task]:
        return shard.tasks

    def ended(self, shard: Shard, result: ShardResult) -> None:
        for task, outcome in zip(shard.tasks, result.outcomes, strict=True):
            self.rows.ended.model(task, outcome)
        self.rows.ended.shard(shard, result.outcomes, result.write_failure)

    def model_ended(self, shard: Shard, task: Task, outcome: Outcome) -> None:
        self.rows.add(shard, task, outcome)

    def given_up(self, shard: Shard, died: bool) -> bool:
        return True  # the shard is written here with the rows its models send back

    def died(self, tasks: Sequence[Task]) -> None:
        pass  # a dead worker's part of a shard is left to the next run (`remove_leftovers_of`)
