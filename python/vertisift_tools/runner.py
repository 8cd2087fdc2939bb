"""The skeleton that every batch runner shares: plan the work, run it, count each file as it
ends, and write the failure report, also when the run is interrupted.

A runner is a function `execute(tasks, count, record)` that converts the tasks somewhere (local
worker processes, a Dask cluster) and calls `record` once for each file that ends. It returns
when all are done, or lets KeyboardInterrupt through once it has stopped its work.
"""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, NoReturn

from vertisift_tools.plan import BatchReport, Record, Task, plan_batch, write_failures

if TYPE_CHECKING:
    from tqdm import tqdm

Execute = Callable[[Sequence[Task], int, Record], None]


def run_batch(
    in_dir: str | os.PathLike[str],
    out_dir: str | os.PathLike[str],
    count: int,
    execute: Execute,
    *,
    fmt: str = "npz",
    progress: bool = False,
) -> BatchReport:
    """Plans the batch, makes OUT_DIR, hands the tasks to `execute`, and writes
    OUT_DIR/failures.csv. On KeyboardInterrupt the report says `interrupted`."""
    started = time.perf_counter()
    plan = plan_batch(in_dir, out_dir, count, fmt)
    Path(out_dir).mkdir(parents=True, exist_ok=True)
    report = BatchReport(found=plan.found, skipped=plan.skipped, failures=list(plan.failures))
    bar = _Progress(len(plan.tasks), len(plan.failures), enabled=progress)

    def record(task: Task, message: str | None) -> None:
        report.record(task, message)
        bar.advance(len(report.failures), failed=message is not None)

    try:
        execute(plan.tasks, count, record)
    except KeyboardInterrupt:
        report.interrupted = True
    finally:
        bar.close()
    write_failures(out_dir, report.failures)
    report.seconds = time.perf_counter() - started
    return report


class _Progress:
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
