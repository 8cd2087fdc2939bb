"""The skeleton that every batch runner shares: plan the work, run it, count each file as it
ends, and write the failure report, also when the run is interrupted.

A runner is a function `execute(tasks, count, record)` that converts the tasks somewhere (local
worker processes, a Dask cluster) and calls `record` once for each file that ends. It returns
when all are done, or lets KeyboardInterrupt through once it has stopped its work, or raises
SchedulerLost when the scheduler that runs its work went away.
"""

from __future__ import annotations

import contextlib
import os
import time
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, NoReturn

from vertisift_tools.batching.plan import (
    FAILURES_FILE,
    RECORD_FILE,
    BatchReport,
    Outcome,
    Record,
    Task,
    plan_batch,
    write_failures,
    write_record,
)
from vertisift_tools.clouds import cloud_size, remove_leftovers
from vertisift_tools.options import SampleOptions

if TYPE_CHECKING:
    from tqdm import tqdm

Execute = Callable[[Sequence[Task], int, Record], None]


class SchedulerLost(Exception):
    """The scheduler that runs a batch's work went away before the batch ended. The work it
    had not reported is neither done nor failed: the report says `scheduler_lost`, and a
    rerun resumes the batch."""


def note_stop(report: BatchReport, stopped: KeyboardInterrupt | SchedulerLost) -> None:
    """Says in the report why the batch was cut short."""
    if isinstance(stopped, SchedulerLost):
        report.scheduler_lost = True
    else:
        report.interrupted = True


def run_planned_batch(
    in_dir: str | os.PathLike[str],
    out_dir: str | os.PathLike[str],
    count: int,
    execute: Execute,
    *,
    fmt: str = "npz",
    progress: bool = False,
    options: SampleOptions | None = None,
    overwrite: bool = False,
) -> BatchReport:
    """Plans the batch (each file with `options`, see `plan_batch`; BatchMismatchError when
    OUT_DIR holds another batch's clouds, unless `overwrite`), makes OUT_DIR and records the
    batch there, hands the tasks to `execute`, and writes OUT_DIR/failures.csv
    (`write_failure_list`). On KeyboardInterrupt the report says `interrupted`, and when the
    runner's scheduler went away (SchedulerLost), `scheduler_lost`. When IN_DIR holds no
    model at all, nothing is made and the report's `found` is 0. An OSError that names a
    file of OUT_DIR (the record, on a full disk) ends the batch before any model."""
    started = time.perf_counter()
    plan = plan_batch(in_dir, out_dir, count, fmt, options, overwrite=overwrite)
    report = BatchReport(found=plan.found, skipped=plan.skipped, failures=list(plan.failures))
    if not plan.found and not plan.failures:
        return report  # nothing to do, and nothing made
    Path(out_dir).mkdir(parents=True, exist_ok=True)
    remove_leftovers_of(out_dir, [*(task.cloud for task in plan.tasks), *plan.kept])
    # Before any cloud: a run cut short must leave the record of the clouds it did write.
    write_record(out_dir, plan.record)
    bar = Progress(len(plan.tasks), len(plan.failures), enabled=progress)
    recorded: set[Task] = set()

    def record(task: Task, outcome: Outcome) -> None:
        recorded.add(task)
        report.record(task, outcome)
        bar.advance(len(report.failures), failed=outcome.failure is not None)

    try:
        execute(plan.tasks, count, record)
    except (KeyboardInterrupt, SchedulerLost) as stopped:
        note_stop(report, stopped)
        # A runner can be stopped after a file was written but before its end reached us
        # (a Dask result still on its way): what is on disk counts.
        report.converted += sum(
            1 for task in plan.tasks if task not in recorded and cloud_size(task.cloud) == count
        )
    finally:
        bar.close()
    write_failure_list(out_dir, report)
    report.seconds = time.perf_counter() - started
    return report


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
            (Path(out_dir) / FAILURES_FILE).unlink(missing_ok=True)


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
