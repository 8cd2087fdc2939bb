"""Local worker processes that convert one file at a time: the executor of local batches.

Each worker is handed the next file only when it reports back, so the pool always knows which
file every worker holds: when a worker dies, that file is counted as failed, a new worker takes
its place, and the rest of the batch goes on. Processes rather than threads: `sample()`
releases the interpreter lock, but writing a cloud holds it, the passes of one process take
turns on its single native worker pool, and a worker that dies (a crash, the out-of-memory
killer) takes only its own file with it.
"""

from __future__ import annotations

import contextlib
import inspect
import multiprocessing
import multiprocessing.connection
import os
import signal
import tarfile
from collections import deque
from collections.abc import Container, Iterator, Sequence
from multiprocessing.connection import Connection
from multiprocessing.context import ForkServerContext, SpawnContext
from pathlib import Path
from typing import Any

from vertisift_tools.batching.plan import Outcome, Record, Task
from vertisift_tools.batching.sharded import Shard, ShardEnded, ShardRows, ShardWork
from vertisift_tools.batching.task import DIED_MESSAGE, Work, draw_model, run_task
from vertisift_tools.clouds import temp_path
from vertisift_tools.sources import (
    Archive,
    ArchiveError,
    is_remote,
    model_name,
    open_archive,
    preload,
    read_ahead,
    split_address,
)

# The extension sizes its thread pool from these, on its first call.
THREAD_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")

_Context = ForkServerContext | SpawnContext


# The exit status of a worker process that was starting when the script it imported again
# called the batch (see `leave_if_starting_worker`).
STARTED_BATCH_EXIT = 86
MAIN_GUARD_MESSAGE = (
    "call vertisift_tools.batch() under 'if __name__ == \"__main__\":' in a script: each "
    "worker process imports the script again as it starts, and a call at its top level "
    "would run there too"
)


def leave_if_starting_worker() -> None:
    """Ends this process, with STARTED_BATCH_EXIT, when it is a worker that multiprocessing
    is starting by running its parent's script again (the script's top level, as the module
    __mp_main__, is among the callers), so that the script's call of the batch does not
    start a batch of its own: the pool that started the worker raises MAIN_GUARD_MESSAGE
    instead, once, where every worker would fail with a traceback and fail its models."""
    frame = inspect.currentframe()
    while frame is not None:
        if frame.f_code.co_name == "<module>" and frame.f_globals.get("__name__") == "__mp_main__":
            os._exit(STARTED_BATCH_EXIT)
        frame = frame.f_back


def processor_count() -> int:
    """The processors this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def worker_environment(jobs: int) -> dict[str, str]:
    """The environment of a worker: this process's as it is now (a worker inherits the fork
    server's, which may be older), with the pool-size variables for the workers' extension
    set to what the user chose, or else to processors / jobs, so that one worker process per
    processor runs one thread each instead of oversubscribing."""
    environment = dict(os.environ)
    chosen = {name: environment.pop(name) for name in THREAD_VARIABLES if name in environment}
    chosen = {name: value for name, value in chosen.items() if value}
    environment.update(chosen or {"RAYON_NUM_THREADS": str(max(1, processor_count() // jobs))})
    return environment


def death_message(exitcode: int | None) -> str:
    """The failure of a file whose worker ended with `exitcode` (negative: killed by that
    signal)."""
    if exitcode is not None and exitcode < 0:
        try:
            cause = f"killed by {signal.Signals(-exitcode).name}"
        except ValueError:
            cause = f"killed by signal {-exitcode}"
    else:
        cause = f"exit code {exitcode}"
    return f"{DIED_MESSAGE} ({cause})"


class WorkerPool:
    """Up to `jobs` worker processes, which take the tasks of a batch one at a time:
    `convert` has each write its file's cloud (`run_task`); `make_shards` has each draw its
    file's points (`draw_model`), and writes each shard here once all its rows are in.

    Invariant while `run` goes on: every worker in `_workers` holds exactly one task (the one
    it was last given), or is being retired. A worker that has nothing left to do is sent
    None and retired; a worker that died is replaced while files are pending.
    """

    def __init__(self, jobs: int) -> None:
        if jobs < 1:
            raise ValueError(f"jobs must be 1 or more, not {jobs}")
        self._jobs = jobs
        self._work: Work = run_task
        self._context = _context()
        self._environment: dict[str, str] = {}
        self._count = 0
        self._pending: deque[Task] = deque()
        self._stream: StreamedMembers | FetchedObjects | None = None
        self._workers: list[_Worker] = []

    def convert(self, tasks: Sequence[Task], count: int, record: Record) -> None:
        self.run(tasks, count, record, run_task)

    def make_shards(self, shards: Sequence[Shard], work: ShardWork, ended: ShardEnded) -> None:
        shard_of = {task: shard for shard in shards for task in shard.tasks}
        rows = ShardRows(work, ended)

        def record(task: Task, outcome: Outcome) -> None:
            rows.add(shard_of[task], task, outcome)

        self.run([task for shard in shards for task in shard.tasks], work.count, record, draw_model)

    def run(self, tasks: Sequence[Task], count: int, record: Record, work: Work) -> None:
        """Does `work` for each task with `count` points and calls `record` as each file
        ends. On KeyboardInterrupt (or any other exception) every worker is stopped and its
        partial output removed before the exception goes on."""
        if not tasks:
            return
        self._work = work
        self._environment = worker_environment(self._jobs)
        self._count = count
        self._stream = StreamedMembers.of(tasks) or FetchedObjects.of(tasks)
        self._pending.extend(tasks if self._stream is None else self._stream.order(tasks))
        try:
            while self._pending and len(self._workers) < self._jobs:
                self._start()
            while self._workers:
                waitables: list[Connection[Any, Any] | int] = [
                    *(w.connection for w in self._workers),
                    *(w.process.sentinel for w in self._workers),
                ]
                ready = set(multiprocessing.connection.wait(waitables))
                for worker in list(self._workers):
                    self._collect(worker, ready, record)
        finally:
            if self._stream is not None:
                self._stream.close()
            self._pending.clear()
            for worker in self._workers:
                worker.stop()
            self._workers.clear()

    def _start(self) -> None:
        worker = _Worker(self._context, self._environment, self._work)
        self._workers.append(worker)
        self._feed(worker)

    def _feed(self, worker: _Worker) -> None:
        """Gives the worker the next file, or lets it go when there is none."""
        if self._pending:
            task = self._pending.popleft()
            data = None if self._stream is None else self._stream.data(task)
            if worker.give(task, self._count, data):
                return
            self._pending.appendleft(task)  # the worker is gone before it took the file
        else:
            worker.release()
        self._retire(worker)

    def _retire(self, worker: _Worker) -> None:
        worker.process.join()
        worker.connection.close()
        self._workers.remove(worker)
        if self._pending and len(self._workers) < self._jobs:
            self._start()

    def _collect(
        self,
        worker: _Worker,
        ready: Container[object],
        record: Record,
    ) -> None:
        """Takes the worker's answer if it has one (or notices that it died)."""
        died = False
        outcome = Outcome()
        if worker.connection in ready or worker.connection.poll():
            try:
                outcome = worker.connection.recv()
            except (EOFError, OSError):
                died = True
        elif worker.process.sentinel in ready:
            died = True
        else:
            return
        task, worker.task = worker.task, None
        if died:
            worker.process.join()
            if worker.process.exitcode == STARTED_BATCH_EXIT:
                raise RuntimeError(MAIN_GUARD_MESSAGE)
            if task is not None:
                record(task, Outcome(failure=death_message(worker.process.exitcode)))
                worker.discard_partial_output(task)
            self._retire(worker)
            return
        if task is not None:
            record(task, outcome)
        self._feed(worker)


class StreamedMembers:
    """The members of a compressed tar, which can only be read from its start, read here in
    one pass and handed to the workers with their files: the tasks go out in the archive's
    order, each with its bytes. When the pass fails (the archive is damaged there), the
    models after it get no bytes, and each worker's own reading of them reports the damage."""

    def __init__(self, archive: Archive, members: dict[str, Task]) -> None:
        self._archive = archive
        self._members = members
        self._stream: Iterator[tuple[str, bytes]] | None = archive.stream_members(set(members))
        self._last: tuple[str | None, bytes | None] = (None, None)

    @classmethod
    def of(cls, tasks: Sequence[Task]) -> StreamedMembers | None:
        """The pass over the archive when every task is a member of one compressed tar."""
        found = {split_address(task.model) for task in tasks}
        locations = {member[0] if member else None for member in found}
        if len(locations) != 1 or None in locations:
            return None
        archive = open_archive(str(locations.pop()))
        if archive.random_access:
            return None
        return cls(archive, {model_name(task.model): task for task in tasks})

    def close(self) -> None:
        self._stream = None

    def order(self, tasks: Sequence[Task]) -> list[Task]:
        position = {member.name: index for index, member in enumerate(self._archive.members())}
        return sorted(tasks, key=lambda task: position.get(model_name(task.model), -1))

    def data(self, task: Task) -> bytes | None:
        """The task's bytes, when the pass reaches its member next (again the same, for a
        task handed out again after its worker went away)."""
        wanted = model_name(task.model)
        if self._last[0] == wanted:
            return self._last[1]
        while self._stream is not None:
            try:
                name, data = next(self._stream)
            except StopIteration:
                self._stream = None
                break
            except (OSError, EOFError, tarfile.TarError, ArchiveError):
                self._stream = None  # damaged from here on
                break
            if name == wanted:
                self._last = (name, data)
                return data
        return None


class FetchedObjects:
    """The objects behind URLs that the tasks read, fetched here several at once ahead of
    the workers (`sources.read_ahead`), each handed over with its task: a worker then waits
    for no request of its own."""

    def __init__(self, tasks: Sequence[Task]) -> None:
        self._stream = read_ahead(task.model for task in tasks)
        self._last: tuple[str | None, bytes | None] = (None, None)

    @classmethod
    def of(cls, tasks: Sequence[Task]) -> FetchedObjects | None:
        remote = any(is_remote(task.model) and split_address(task.model) is None for task in tasks)
        return cls(tasks) if remote else None

    def order(self, tasks: Sequence[Task]) -> Sequence[Task]:
        return tasks

    def data(self, task: Task) -> bytes | None:
        if self._last[0] == task.model:
            return self._last[1]
        for address, data in self._stream:
            if address == task.model:
                self._last = (address, data)
                return data
        return None

    def close(self) -> None:
        self._stream.close()


def _context() -> _Context:
    if "forkserver" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("forkserver")
        # Imported once in the fork server, so a new worker (also one replacing a dead one)
        # starts without importing NumPy and the extension again.
        context.set_forkserver_preload(["vertisift_tools.batching.task"])
        return context
    return multiprocessing.get_context("spawn")


def _worker_main(connection: Connection, environment: dict[str, str], work: Work) -> None:
    # Ctrl-C reaches the whole process group; the parent alone decides what stops.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    os.environ.clear()
    os.environ.update(environment)
    while True:
        try:
            task = connection.recv()
        except EOFError:
            return
        if task is None:
            return
        model, cloud, count, options, data = task
        if data is not None:
            preload(model, data)
        connection.send(work(model, cloud, count, options))


class _Worker:
    """One worker process and the parent's end of its pipe."""

    def __init__(self, context: _Context, environment: dict[str, str], work: Work) -> None:
        self.connection, child = context.Pipe()
        self.process = context.Process(
            target=_worker_main, args=(child, environment, work), daemon=True
        )
        self.process.start()
        child.close()
        self.task: Task | None = None

    def give(self, task: Task, count: int, data: bytes | None = None) -> bool:
        """Hands the worker its next file (and its bytes, when they were read here); False
        when the worker is already gone."""
        try:
            self.connection.send((task.model, task.cloud, count, task.options, data))
        except OSError:
            return False
        self.task = task
        return True

    def release(self) -> None:
        """Tells the worker to end: there is nothing more to do."""
        with contextlib.suppress(OSError):
            self.connection.send(None)

    def discard_partial_output(self, task: Task) -> None:
        temp_path(Path(task.cloud), self.process.pid or 0).unlink(missing_ok=True)

    def stop(self) -> None:
        if self.process.is_alive():
            self.process.terminate()
        self.process.join()
        if self.task is not None:
            self.discard_partial_output(self.task)
        self.connection.close()
