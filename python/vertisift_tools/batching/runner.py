"""The skeleton of every batch: a request checked once, its plan (clouds or shards, as its
format asks), and the plan run by an executor, each file counted as it ends and the failure
report written, also when the run is interrupted.

An executor (`WorkerPool`, `DaskRunner`) makes the work of either format: `convert` writes a
cloud for each task, `make_shards` makes shards. Each returns when all is done, or lets
KeyboardInterrupt through once it has stopped its work, or raises SchedulerLost when the
scheduler that runs its work went away.
"""

from __future__ import annotations

import contextlib
import os
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn, Protocol

from vertisift_tools.batching.plan import (
    FAILURES_FILE,
    RECORD_FILE,
    BatchReport,
    Outcome,
    Plan,
    Record,
    Task,
    plan_batch,
    write_failures,
    write_record,
)
from vertisift_tools.batching.sharded import (
    Shard,
    ShardChoices,
    ShardEnded,
    ShardPlan,
    ShardWork,
    plan_shards,
    write_listing,
)
from vertisift_tools.clouds import cloud_size, remove_leftovers
from vertisift_tools.formats import SHARD_FORMAT
from vertisift_tools.options import SampleOptions
from vertisift_tools.storage import PROCESS_ONLY, child, remote, remove_target, scheme

if TYPE_CHECKING:
    from tqdm import tqdm

# A runner of clouds alone: an executor's `convert`.
Execute = Callable[[Sequence[Task], int, Record], None]


class SchedulerLost(Exception):
    """The scheduler that runs a batch's work went away before the batch ended. The work it
    had not reported is neither done nor failed: the report says `scheduler_lost`, and a
    rerun resumes the batch."""


class Executor(Protocol):
    """Runs the work of a batch somewhere: local worker processes, a Dask cluster."""

    def convert(self, tasks: Sequence[Task], count: int, record: Record) -> None:
        """Writes each task's cloud of `count` points and calls `record` as each file ends."""

    def make_shards(self, shards: Sequence[Shard], work: ShardWork, ended: ShardEnded) -> None:
        """Makes the shards with `work`, and reports each model and each shard as it ends."""


@dataclass(frozen=True)
class BatchRequest:
    """What a batch is asked to make. ValueError, as it is made, when shard choices are
    given for a batch of another format than "h5"."""

    in_dir: str | os.PathLike[str]
    out_dir: str | os.PathLike[str]
    count: int
    fmt: str = "npz"
    options: SampleOptions | None = None
    overwrite: bool = False
    progress: bool = False
    shards: ShardChoices = field(default_factory=ShardChoices)

    def __post_init__(self) -> None:
        self.shards.check(self.fmt)
        for role, place in (("in_dir", self.in_dir), ("out_dir", self.out_dir)):
            if scheme(os.fspath(place)) in PROCESS_ONLY:
                raise ValueError(
                    f"{role} {os.fspath(place)} lives in this process's memory alone, where the "
                    "batch's worker processes cannot see it"
                )

    def plan(self) -> Plan | ShardPlan:
        """The plan of the batch's format (`plan_shards` for "h5", else `plan_batch`). Raises
        what they raise, and creates nothing."""
        where = (self.in_dir, self.out_dir, self.count)
        if self.fmt == SHARD_FORMAT:
            return plan_shards(*where, self.options, self.shards, overwrite=self.overwrite)
        return plan_batch(*where, self.fmt, self.options, overwrite=self.overwrite)


def run_batch(request: BatchRequest, executor: Executor) -> BatchReport:
    """Plans the batch (`BatchRequest.plan`; BatchMismatchError when OUT_DIR holds another
    batch's outputs, unless `overwrite`), makes OUT_DIR and records the batch there (and a
    shard batch's class names and lists of shards), has `executor` make what is still to
    make, and writes OUT_DIR/failures.csv (`write_failure_list`). On KeyboardInterrupt the
    report says `interrupted`, and when the executor's scheduler went away (SchedulerLost),
    `scheduler_lost`. When IN_DIR holds no model at all, nothing is made and the report's
    `found` is 0. An OSError that names a file of OUT_DIR (the record, on a full disk) ends
    the batch before any model. In a shard batch, `converted` counts the rows written in
    shards by this run, `skipped` the models of the shards kept."""
    started = time.perf_counter()
    plan = request.plan()
    report = BatchReport(found=plan.found, skipped=plan.skipped, failures=list(plan.failures))
    if not plan.found and not plan.failures:
        return report  # nothing to do, and nothing made
    out_root = request.out_dir
    if not remote(os.fspath(out_root)):
        # (An object store has no folders, and its uploads leave nothing behind.)
        Path(out_root).mkdir(parents=True, exist_ok=True)
        remove_leftovers_of(out_root, plan.outputs)
    # Before any output: a run cut short must leave the record of the outputs it did write.
    write_record(out_root, plan.record)
    if isinstance(plan, ShardPlan):
        write_listing(plan)
    tally = Tally(report, Progress(plan.models, len(report.failures), enabled=request.progress))
    try:
        if isinstance(plan, ShardPlan):
            executor.make_shards(plan.todo, plan.work, tally)
        else:
            executor.convert(plan.tasks, request.count, tally.cloud)
    except (KeyboardInterrupt, SchedulerLost) as stopped:
        if isinstance(stopped, SchedulerLost):
            report.scheduler_lost = True
        else:
            report.interrupted = True
        if isinstance(plan, Plan):
            # An executor can be stopped after a cloud was written but before its end reached
            # us (a Dask result still on its way): what is on disk counts.
            report.converted += sum(
                1
                for task in plan.tasks
                if task not in tally.ended and cloud_size(task.cloud) == request.count
            )
    finally:
        tally.bar.close()
    write_failure_list(out_root, report)
    report.seconds = time.perf_counter() - started
    return report


@dataclass(frozen=True)
class CloudsOnly:
    """An executor of clouds alone, from a function of `convert`'s signature."""

    convert: Execute

    def make_shards(self, shards: Sequence[Shard], work: ShardWork, ended: ShardEnded) -> NoReturn:
        raise ValueError("this executor makes clouds, not shards")


def run_planned_batch(
    in_dir: str | os.PathLike[str],
    out_dir: str | os.PathLike[str],
    count: int,
    execute: Execute,
    **choices: Any,
) -> BatchReport:
    """`run_batch` of the clouds that `execute` converts, with the other choices of a
    `BatchRequest`."""
    return run_batch(BatchRequest(in_dir, out_dir, count, **choices), CloudsOnly(execute))


def remove_leftovers_of(out_dir: str | os.PathLike[str], outputs: Iterable[str]) -> None:
    """Removes what earlier runs of the batch in OUT_DIR were writing when they were killed
    (SIGKILL, the machine's end): the temporary files of its `outputs` (paths of its clouds
    or shards and their lists), of its record and of its failure list, when OUT_DIR holds a
    batch record. Never another file: see `remove_leftovers`, which also keeps those of
    processes still running on this machine (a concurrent run of the same OUT_DIR). A
    process on another machine of a Dask cluster is not seen from here: the model it is
    writing fails in its run and is made by the next."""
    out_root = Path(out_dir)
    if not (out_root / RECORD_FILE).is_file():
        return
    names: dict[Path, set[str]] = {out_root: {RECORD_FILE, FAILURES_FILE}}
    for output in outputs:
        parent, name = os.path.split(output)
        names.setdefault(Path(parent), set()).add(name)
    for folder, in_folder in names.items():
        remove_leftovers(folder, in_folder)


def write_failure_list(out_dir: str | os.PathLike[str], report: BatchReport) -> None:
    """Writes OUT_DIR/failures.csv. When it cannot be written (a full disk), the report says
    why instead, so that the run's counts still reach the caller, and the list of an earlier
    run is removed rather than left to be read as this run's."""
    try:
        write_failures(out_dir, report.failures)
    except OSError as error:
        report.failures_file_error = f"cannot write {error.filename}: {error.strerror}"
        with contextlib.suppress(OSError):
            remove_target(child(out_dir, FAILURES_FILE))


class Tally:
    """Counts what ends in the report and on the bar: each cloud as it ends (`cloud`, a
    Record), or each model of a shard and then the shard (a ShardEnded), whose rows count
    once it is written. `ended` holds the clouds that have ended."""

    def __init__(self, report: BatchReport, bar: Progress) -> None:
        self.report = report
        self.bar = bar
        self.ended: set[Task] = set()

    def cloud(self, task: Task, outcome: Outcome) -> None:
        self.ended.add(task)
        self.report.record(task, outcome)
        self.bar.advance(len(self.report.failures), failed=outcome.failure is not None)

    def model(self, task: Task, outcome: Outcome) -> None:
        if outcome.failure is not None:
            self.report.record(task, outcome)
        self.bar.advance(len(self.report.failures), failed=outcome.failure is not None)

    def shard(self, shard: Shard, outcomes: Sequence[Outcome], write_failure: str | None) -> None:
        unwritten = None if write_failure is None else Outcome(failure=write_failure)
        for task, outcome in zip(shard.tasks, outcomes, strict=True):
            if outcome.failure is None:
                self.report.record(task, outcome if unwritten is None else unwritten)


class Progress:
    """A bar of files done and failed on the terminal, or nothing when not enabled."""

    def __init__(self, total: int, failed: int, *, enabled: bool) -> None:
        self._bar: tqdm[NoReturn] | None = None
        if enabled:
            from tqdm import tqdm

            self._bar = tqdm(
                total=total,
                unit="file",
                desc="converting",
                dynamic_ncols=True,
                postfix={"failed": failed},
            )

    def advance(self, failures: int, *, failed: bool) -> None:
        if self._bar is None:
            return
        if failed:
            self._bar.set_postfix(failed=failures, refresh=False)
        self._bar.update(1)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
