"""Batch conversion of a folder tree of STL models into mirrored point-cloud files.

`plan_batch` finds the work (and what a previous run already finished); `batch` runs it in
local worker processes. Each worker converts one file at a time and is handed the next only
when it reports back, so the parent always knows which file every worker holds: when a worker
dies, that file is counted as failed, a new worker takes its place, and the batch goes on.
Processes rather than threads, because a call of the extension holds the interpreter lock
from start to end.
"""

from __future__ import annotations

import csv
import io
import multiprocessing
import multiprocessing.connection
import os
import signal
import time
from collections import deque
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterable

from vertisift_cli.clouds import FORMATS, cloud_size, temp_path
from vertisift_cli.convert import run_task

FAILURES_FILE = "failures.csv"
_THREAD_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


@dataclass(frozen=True)
class Task:
    model: str      # the STL file
    cloud: str      # the output file
    relative: str   # the model's path under the input folder, as reports show it


@dataclass(frozen=True)
class Failure:
    path: str       # under the input folder, "/"-separated
    message: str


@dataclass
class Plan:
    tasks: list[Task]
    found: int                                 # model files found
    skipped: int                               # finished in an earlier run
    failures: list[Failure] = field(default_factory=list)   # known before any conversion


@dataclass
class BatchReport:
    found: int = 0
    skipped: int = 0
    converted: int = 0
    failures: list[Failure] = field(default_factory=list)
    interrupted: bool = False
    seconds: float = 0.0

    @property
    def ok(self) -> bool:
        """Every model has its cloud: nothing failed and the run was not cut short."""
        return not self.failures and not self.interrupted


def processor_count() -> int:
    """The processors this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def find_models(in_dir: str | os.PathLike[str],
                errors: list[Failure] | None = None) -> list[Path]:
    """Every regular file (or link to one) under in_dir whose suffix is .stl in any letter
    case, sorted. Folders that cannot be listed go to `errors`."""
    root = Path(in_dir)
    found: list[Path] = []

    def unreadable(error: OSError) -> None:
        if errors is not None:
            where = Path(error.filename or root)
            errors.append(Failure(_relative(where, root), f"cannot list this folder: {error.strerror}"))

    for folder, subfolders, files in os.walk(root, onerror=unreadable):
        subfolders.sort()
        for name in sorted(files):
            path = Path(folder, name)
            if path.suffix.lower() == ".stl" and path.is_file():
                found.append(path)
    return found


def plan_batch(in_dir: str | os.PathLike[str], out_dir: str | os.PathLike[str], count: int,
               fmt: str = "npz") -> Plan:
    """The conversions still to do. A model whose cloud already exists with `count` points is
    skipped; a cloud of another size, or one that cannot be read, is made again."""
    if fmt not in FORMATS:
        raise ValueError(f"unknown format {fmt!r}; use one of {', '.join(FORMATS)}")
    root, out_root = Path(in_dir), Path(out_dir)
    if not root.is_dir():
        raise NotADirectoryError(f"{root} is not a folder")
    out_root.mkdir(parents=True, exist_ok=True)
    failures: list[Failure] = []
    models = find_models(root, failures)
    tasks: list[Task] = []
    skipped = 0
    owners: dict[Path, str] = {}
    for model in models:
        relative = _relative(model, root)
        cloud = (out_root / model.relative_to(root)).with_suffix("." + fmt)
        if cloud in owners:
            # part.stl and part.STL in one folder would both become part.<fmt>.
            failures.append(Failure(relative, f"its output {cloud.name} is already the output "
                                              f"of {owners[cloud]}"))
            continue
        owners[cloud] = relative
        if cloud_size(cloud) == count:
            skipped += 1
        else:
            tasks.append(Task(str(model), str(cloud), relative))
    return Plan(tasks, len(models), skipped, failures)


def write_failures(out_dir: str | os.PathLike[str], failures: Iterable[Failure]) -> Path:
    """Writes OUT_DIR/failures.csv (columns path, error) for the latest run, replacing the one
    of an earlier run; with no failures it holds only the header."""
    target = Path(out_dir) / FAILURES_FILE
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(["path", "error"])
    for failure in sorted(failures, key=lambda f: f.path):
        writer.writerow([failure.path, failure.message])
    temp = temp_path(target, os.getpid())
    # surrogateescape writes undecodable file names back as their original bytes.
    temp.write_text(text.getvalue(), encoding="utf-8", errors="surrogateescape")
    os.replace(temp, target)
    return target


def batch(in_dir: str | os.PathLike[str], out_dir: str | os.PathLike[str], count: int, *,
          fmt: str = "npz", jobs: int | None = None, progress: bool = False) -> BatchReport:
    """Converts every .stl model under in_dir into out_dir/<same relative path>.<fmt>, with
    `jobs` worker processes (default: one per processor), and writes out_dir/failures.csv.

    Models that fail to read, and models whose worker process dies, are reported in the
    result's `failures` and get no output; the rest of the batch goes on. Clouds that exist
    from an earlier run are kept, so running the same batch again resumes it. On
    KeyboardInterrupt the workers are stopped and the report says `interrupted`.
    """
    started = time.perf_counter()
    plan = plan_batch(in_dir, out_dir, count, fmt)
    report = BatchReport(found=plan.found, skipped=plan.skipped, failures=list(plan.failures))
    if jobs is None:
        jobs = processor_count()
    if jobs < 1:
        raise ValueError(f"jobs must be 1 or more, not {jobs}")
    with _progress_bar(len(plan.tasks), progress, len(plan.failures)) as bar:
        def record(task: Task, message: str | None) -> None:
            record_outcome(report, bar, task, message)

        try:
            _run_local(plan.tasks, count, jobs, record)
        except KeyboardInterrupt:
            report.interrupted = True
    write_failures(out_dir, report.failures)
    report.seconds = time.perf_counter() - started
    return report


def record_outcome(report: BatchReport, bar: Any, task: Task, message: str | None) -> None:
    """Counts one finished file: converted when `message` is None, else failed with it."""
    if message is None:
        report.converted += 1
    else:
        report.failures.append(Failure(task.relative, message))
        bar.set_postfix(failed=len(report.failures), refresh=False)
    bar.update(1)


def _relative(path: Path, root: Path) -> str:
    try:
        return path.relative_to(root).as_posix()
    except ValueError:
        return path.as_posix()


class _NoBar:
    def update(self, n: int) -> None: ...
    def set_postfix(self, **values: Any) -> None: ...
    def __enter__(self) -> "_NoBar": return self
    def __exit__(self, *exc: object) -> None: ...


def _progress_bar(total: int, enabled: bool, failed: int = 0) -> Any:
    if not enabled:
        return _NoBar()
    from tqdm import tqdm
    return tqdm(total=total, unit="file", desc="converting", dynamic_ncols=True,
                postfix={"failed": failed})


# --- local worker processes -------------------------------------------------------------

def _context() -> Any:
    if "forkserver" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("forkserver")
        # Imported once in the fork server, so a new worker (also one replacing a dead one)
        # starts without importing NumPy and the extension again.
        context.set_forkserver_preload(["vertisift_cli.convert"])
        return context
    return multiprocessing.get_context("spawn")


def _thread_settings(jobs: int) -> dict[str, str]:
    """The pool-size variables for the workers' extension, which sizes its thread pool on the
    first call: what the user set, or else processors / jobs, so that one worker process per
    processor runs one thread each instead of oversubscribing. Taken from this process's
    environment now, because a worker inherits the fork server's, which may be older."""
    chosen = {name: os.environ[name] for name in _THREAD_VARIABLES if os.environ.get(name)}
    return chosen or {"RAYON_NUM_THREADS": str(max(1, processor_count() // jobs))}


def _worker_main(connection: multiprocessing.connection.Connection,
                 thread_settings: dict[str, str]) -> None:
    # Ctrl-C reaches the whole process group; the parent alone decides what stops.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for name in _THREAD_VARIABLES:
        os.environ.pop(name, None)
    os.environ.update(thread_settings)
    while True:
        try:
            task = connection.recv()
        except EOFError:
            return
        if task is None:
            return
        connection.send(run_task(*task))


class _Worker:
    def __init__(self, context: Any, thread_settings: dict[str, str]) -> None:
        self.connection, child = context.Pipe()
        self.process = context.Process(target=_worker_main, args=(child, thread_settings),
                                       daemon=True)
        self.process.start()
        child.close()
        self.task: Task | None = None

    def give(self, task: Task, count: int) -> bool:
        """Hands the worker its next file; False when the worker is already gone."""
        try:
            self.connection.send((task.model, task.cloud, count))
        except OSError:
            return False
        self.task = task
        return True

    def discard_partial_output(self) -> None:
        if self.task is not None:
            temp_path(Path(self.task.cloud), self.process.pid or 0).unlink(missing_ok=True)

    def stop(self) -> None:
        if self.process.is_alive():
            self.process.terminate()
        self.process.join()
        self.discard_partial_output()
        self.connection.close()


def _death_message(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            cause = f"killed by {signal.Signals(-exitcode).name}"
        except ValueError:
            cause = f"killed by signal {-exitcode}"
    else:
        cause = f"exit code {exitcode}"
    return f"the worker process died while converting this file ({cause})"


def _run_local(tasks: list[Task], count: int, jobs: int,
               record: Callable[[Task, str | None], None]) -> None:
    if not tasks:
        return
    context = _context()
    threads = _thread_settings(jobs)
    pending = deque(tasks)
    workers: list[_Worker] = []

    def feed(worker: _Worker) -> None:
        """Gives the worker the next file, or lets it go when there is none."""
        if pending:
            task = pending.popleft()
            if worker.give(task, count):
                return
            pending.appendleft(task)   # the worker is gone before it took the file
        else:
            try:
                worker.connection.send(None)
            except OSError:
                pass
        retire(worker)

    def retire(worker: _Worker) -> None:
        worker.process.join()
        worker.connection.close()
        workers.remove(worker)
        if pending and len(workers) < jobs:
            workers.append(_Worker(context, threads))
            feed(workers[-1])

    try:
        for _ in range(min(jobs, len(pending))):
            workers.append(_Worker(context, threads))
            feed(workers[-1])
        while workers:
            waitables = [w.connection for w in workers] + [w.process.sentinel for w in workers]
            ready = set(multiprocessing.connection.wait(waitables))
            for worker in list(workers):
                if worker.connection in ready or worker.connection.poll():
                    try:
                        message = worker.connection.recv()
                    except (EOFError, OSError):
                        message = _DIED
                elif worker.process.sentinel in ready:
                    message = _DIED
                else:
                    continue
                task, worker.task = worker.task, None
                if message is _DIED:
                    worker.process.join()
                    if task is not None:
                        record(task, _death_message(worker.process.exitcode))
                        temp_path(Path(task.cloud), worker.process.pid or 0).unlink(missing_ok=True)
                    retire(worker)
                    continue
                if task is not None:
                    record(task, message)
                feed(worker)
    finally:
        for worker in workers:
            worker.stop()


_DIED = object()
