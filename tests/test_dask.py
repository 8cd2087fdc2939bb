"""The batch on a Dask cluster gives what the local batch gives, failures included, with its
models in groups of one Dask task each."""

from __future__ import annotations

import contextlib
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from cli_support import (
    BROKEN_MESSAGE,
    BROKEN_SIZE,
    DIED_MESSAGE,
    check_cloud,
    cli_command,
    cli_env,
    files_under,
    make_tree,
    read_failures,
    run_cli,
    torus_faces,
)

pytestmark = pytest.mark.slow
distributed = pytest.importorskip("distributed")
dask = pytest.importorskip("dask")
SchedulerPlugin = pytest.importorskip("distributed.diagnostics.plugin").SchedulerPlugin

import meshgen  # noqa: E402
import vertisift_tools  # noqa: E402
from vertisift_tools.options import SampleOptions  # noqa: E402

COUNT = 48
KILLER = "c2.stl"
SEED = 11
FAULT_VARIABLE = "VERTISIFT_TOOLS_TEST_FAULT"
MODELS = 30  # in groups of 8: 4 tasks


@contextlib.contextmanager
def local_cluster():
    """Two worker processes of one thread each, on loopback. The scheduler runs in this
    process, so the settings below reach it: a task given up after two dead workers, and
    tasks kept on the scheduler until a thread is free. That holds only for groups of more
    than twice as many tasks as threads: a smaller group goes to the workers at once, so a
    dying worker may take an innocent task queued behind the one that kills it."""
    mp = pytest.MonkeyPatch()
    # The workers inherit the environment: the one that takes c2.stl kills itself.
    mp.setenv(FAULT_VARIABLE, f"kill:{KILLER}")
    with dask.config.set({"distributed.scheduler.worker-saturation": 1.0,
                          "distributed.scheduler.allowed-failures": 1}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      host="127.0.0.1", dashboard_address=None) as local:
            yield local
    mp.undo()


@pytest.fixture(scope="module")
def cluster():
    with local_cluster() as local:
        yield local


def test_dask_batch_matches_a_local_batch(tmp_path, cluster):
    good = make_tree(tmp_path / "in")
    local = vertisift_tools.batch(tmp_path / "in", tmp_path / "local", COUNT, jobs=2)
    with distributed.Client(cluster.scheduler_address, set_as_default=False) as client:
        # The model that kills its workers shares a group with a0, b1 and the broken one,
        # which are then converted (or fail) each on its own.
        remote = vertisift_tools.batch_dask(tmp_path / "in", tmp_path / "dask", COUNT, client,
                                            models_per_task=4)
        # Nothing of the batch runs on after it has returned (such as a task run again
        # because the worker that held its result died).
        assert not any(client.processing().values())
        # Its OUT_DIR now records this batch: one with other options is refused.
        with pytest.raises(vertisift_tools.BatchMismatchError, match="method vertices before"):
            vertisift_tools.batch_dask(tmp_path / "in", tmp_path / "dask", COUNT, client,
                                       options=SampleOptions(method="surface"))

    for report in (local, remote):
        assert (report.found, report.converted, report.skipped) == (6, 4, 0)
        assert not report.ok and not report.interrupted
    assert files_under(tmp_path / "dask") == files_under(tmp_path / "local")
    for relative, faces in good.items():
        if Path(relative).name != KILLER:
            check_cloud(tmp_path / "dask" / Path(relative).with_suffix(".npz"), COUNT, faces)

    def failures(report):
        # How a worker died differs between the two; the rest is the same text.
        return sorted((f.path, f.message.split(" (")[0] if f.path == KILLER else f.message)
                      for f in report.failures)
    expected = [("c2.stl", DIED_MESSAGE), ("sub/broken.stl", BROKEN_MESSAGE)]
    assert failures(local) == failures(remote) == expected
    local_rows, remote_rows = read_failures(tmp_path / "local"), read_failures(tmp_path / "dask")
    assert [r[0] for r in local_rows] == [r[0] for r in remote_rows]
    assert local_rows[2] == remote_rows[2] == ["sub/broken.stl", BROKEN_MESSAGE]
    assert not list((tmp_path / "dask").rglob("*.part"))


def test_dask_from_the_command_line_resumes(tmp_path, cluster):
    make_tree(tmp_path / "in")
    (tmp_path / "in" / KILLER).unlink()
    out = tmp_path / "out"
    first = run_cli("batch", tmp_path / "in", out, COUNT, "--dask", cluster.scheduler_address,
                    "-q")
    assert first.returncode == 1, first.stderr
    assert "5 models found: 4 converted, 0 already done, 1 failed" in first.stderr
    assert read_failures(out)[1:] == [["sub/broken.stl", BROKEN_MESSAGE]]

    (tmp_path / "in" / "sub" / "broken.stl").unlink()
    second = run_cli("batch", tmp_path / "in", out, COUNT, "--dask", cluster.scheduler_address,
                     "-q")
    assert second.returncode == 0, second.stderr
    assert "4 models found: 0 converted, 4 already done, 0 failed" in second.stderr


@pytest.mark.parametrize(("models", "threads", "expected"), [
    (30, 2, 1),            # fewer models than 64 tasks a thread: one each
    (100_000, 2, 782),     # 128 tasks; 781 would make 129
    (100_000, 1000, 10),   # 64,000 tasks a thread would be too many: 10,000
    (100_001, 0, 11),      # no workers yet: the 10,000-task limit alone
])
def test_default_group_size(models, threads, expected):
    from vertisift_tools.batching.dask_runner import default_models_per_task
    assert default_models_per_task(models, threads) == expected


def test_unreachable_scheduler_is_a_clear_error(tmp_path):
    (tmp_path / "in").mkdir()
    result = run_cli("batch", tmp_path / "in", tmp_path / "out", COUNT, "--dask",
                     "tcp://127.0.0.1:9", env={"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"})
    assert result.returncode == 2, result.stderr
    assert "cannot reach the Dask scheduler at tcp://127.0.0.1:9" in result.stderr
    assert "Traceback" not in result.stderr


class TaskCounter(SchedulerPlugin):
    """Counts the tasks that the scheduler starts (a task run again, once) and those it gives
    up."""

    name = "task-counter"

    def __init__(self):
        self.started = set()
        self.erred = set()

    def transition(self, key, start, finish, *args, **kwargs):
        if finish == "processing":
            self.started.add(key)
        elif finish == "erred":
            self.erred.add(key)


@pytest.fixture
def counted_tasks(cluster):
    counter = TaskCounter()
    cluster.scheduler.add_plugin(counter)
    yield counter
    cluster.scheduler.remove_plugin(name=counter.name)


def started(counter: TaskCounter, kind: str) -> set[str]:
    return {key for key in counter.started if key.startswith(kind + "-")}


@pytest.fixture(scope="module")
def seeded_local(tmp_path_factory):
    """MODELS tiny models in two folders, and their clouds from a seeded local batch, as
    binary PLY (whose bytes, unlike a .npz archive's, hold no time of writing)."""
    root = tmp_path_factory.mktemp("many")
    for index in range(MODELS):
        path = root / "in" / ("test" if index % 5 == 0 else "train") / f"part{index:02d}.stl"
        path.parent.mkdir(parents=True, exist_ok=True)
        meshgen.write_binary_stl(path, torus_faces(8 + index % 4))
    report = vertisift_tools.batch(root / "in", root / "local", COUNT, fmt="ply", jobs=2,
                                   options=SampleOptions(seed=SEED))
    assert report.ok and report.converted == MODELS
    return root / "in", contents(root / "local")


def contents(root: Path) -> dict[str, bytes]:
    return {relative: (root / relative).read_bytes() for relative in files_under(root)}


def test_models_go_in_groups_and_give_the_local_clouds(tmp_path, cluster, counted_tasks,
                                                       seeded_local):
    in_dir, expected = seeded_local
    result = run_cli("batch", in_dir, tmp_path / "out", COUNT, "--format", "ply", "--seed",
                     SEED, "--dask", cluster.scheduler_address, "--models-per-task", 8, "-q")
    assert result.returncode == 0, result.stderr
    assert f"{MODELS} models found: {MODELS} converted" in result.stderr
    assert len(counted_tasks.started) == 4 and not counted_tasks.erred
    assert contents(tmp_path / "out") == expected


def test_shards_are_a_task_each_and_the_local_shards(tmp_path, cluster, counted_tasks):
    pytest.importorskip("h5py")
    make_tree(tmp_path / "in")
    options = SampleOptions(method="surface", seed=SEED)
    # Shards of two models: (a0, b1), (c2, sub/broken), (sub/d3, sub/deeper/e4).
    local = vertisift_tools.batch(tmp_path / "in", tmp_path / "local" / "h5", COUNT, fmt="h5",
                                  jobs=2, shard_size=2, options=options)
    remote = vertisift_tools.batch_dask(tmp_path / "in", tmp_path / "dask" / "h5", COUNT,
                                        cluster.scheduler_address, fmt="h5", shard_size=2,
                                        options=options)
    # A task per shard; each shard given up (the one whose model kills its workers, and any
    # that died beside it) drawn again model by model, and written by the client.
    shards, models = started(counted_tasks, "make_shard"), started(counted_tasks, "draw_model")
    given_up = counted_tasks.erred & shards
    assert len(shards) == 3 and any(key.endswith("-1") for key in given_up)  # (c2, broken)
    assert len(models) == 2 * len(given_up)
    assert counted_tasks.started == shards | models
    for report in (local, remote):
        assert (report.found, report.converted, report.skipped) == (6, 4, 0)
        assert sorted(f.path for f in report.failures) == [KILLER, "sub/broken.stl"]
    expected = contents(tmp_path / "local" / "h5")
    del expected["failures.csv"]  # how a worker died differs between the two
    dask = contents(tmp_path / "dask" / "h5")
    assert {k: v for k, v in dask.items() if k != "failures.csv"} == expected


@pytest.fixture
def fresh_cluster():
    """A cluster of its own: the workers that the other tests kill may still be starting
    again (on a loaded machine, for long)."""
    with local_cluster() as local:
        yield local


def test_interrupted_dask_batch_resumes(tmp_path, fresh_cluster, seeded_local):
    cluster = fresh_cluster
    in_dir, expected = seeded_local
    out = tmp_path / "out"
    command = ["batch", in_dir, out, COUNT, "--format", "ply", "--seed", SEED, "--dask",
               cluster.scheduler_address, "--models-per-task", 8, "-q"]
    # The third group hangs at its first model, so the batch is cut short while the others
    # are done or under way.
    hanging = Path(files_under(in_dir)[16]).name
    with distributed.Client(cluster.scheduler_address, set_as_default=False) as client:
        client.wait_for_workers(2, timeout=120)
        client.run(lambda: os.environ.update({FAULT_VARIABLE: f"stall:{hanging}"}))
        try:
            batch = subprocess.Popen(cli_command(*command), env=cli_env(), text=True,
                                     stderr=subprocess.PIPE)
            while len(list(out.rglob("*.ply"))) < 16 and batch.poll() is None:
                time.sleep(0.05)
            batch.send_signal(signal.SIGINT)
            stderr = batch.communicate(timeout=60)[1]
            assert batch.returncode == 130, stderr
            assert "interrupted; run the same command again to resume" in stderr
            # Until no group but the hanging one runs on (one under way when the batch was
            # cut short ends its models).
            while sum(map(len, client.processing().values())) > 1:
                time.sleep(0.05)
        finally:
            # The hanging group ends, its other models not converted.
            client.run(lambda: os.environ.update({FAULT_VARIABLE: f"kill:{KILLER}"}))
            while any(client.processing().values()):
                time.sleep(0.05)
    kept = {relative: (out / relative).stat().st_ino for relative in files_under(out)
            if relative.endswith(".ply")}
    assert 16 <= len(kept) <= MODELS - 8

    result = run_cli(*command)
    assert result.returncode == 0, result.stderr
    assert (f"{MODELS} models found: {MODELS - len(kept)} converted, {len(kept)} already done, "
            "0 failed") in result.stderr
    # The clouds of the first run are kept as they were, and all are the local batch's.
    assert all((out / relative).stat().st_ino == inode for relative, inode in kept.items())
    assert contents(out) == expected


@contextlib.contextmanager
def cluster_processes(tmp_path, stall: str):
    """A scheduler and two single-thread workers, each a process of its own (so that the
    scheduler can be killed), the workers stalling at the model named `stall`; yields the
    scheduler's process and address. One task per worker at a time, as in local_cluster."""
    scheduler_file = tmp_path / "scheduler.json"
    env = cli_env({"DASK_DISTRIBUTED__SCHEDULER__WORKER_SATURATION": "1.0"})
    scheduler = subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
         "--port", "0", "--no-dashboard", "--scheduler-file", scheduler_file],
        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    workers = subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file", scheduler_file,
         "--nworkers", "2", "--nthreads", "1", "--no-dashboard"],
        env={**env, FAULT_VARIABLE: f"stall:{stall}"}, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        while not scheduler_file.exists():
            assert scheduler.poll() is None
            time.sleep(0.05)
        with distributed.Client(scheduler_file=str(scheduler_file), set_as_default=False,
                                timeout=60) as client:
            client.wait_for_workers(2, timeout=120)
            address = client.scheduler.address
        yield scheduler, address
    finally:
        scheduler.kill()
        with contextlib.suppress(ProcessLookupError):
            os.killpg(workers.pid, signal.SIGKILL)  # their nanny processes and the workers
        for process in (scheduler, workers):
            process.wait()


def test_a_scheduler_that_dies_ends_the_batch_in_one_line(tmp_path):
    names = sorted(f"part{index:02d}.stl" for index in range(MODELS))
    in_dir, out = tmp_path / "in", tmp_path / "out"
    in_dir.mkdir()
    for name in names:
        meshgen.write_binary_stl(in_dir / name, torus_faces(8))
    # A model that fails before the scheduler dies stays a failure.
    meshgen.write_binary_stl(in_dir / "broken.stl", torus_faces(20))
    (in_dir / "broken.stl").write_bytes((in_dir / "broken.stl").read_bytes()[:BROKEN_SIZE])
    # Groups of 8: broken.stl and part00-06, part07-14, part15-22, part23-29. The third
    # stalls at its first model, the others are done before the scheduler is killed.
    stalled = names[15:23]
    with cluster_processes(tmp_path, stall=stalled[0]) as (scheduler, address):
        batch = subprocess.Popen(
            cli_command("batch", in_dir, out, COUNT, "--dask", address, "--models-per-task",
                        8, "-q"), env=cli_env(), text=True, stderr=subprocess.PIPE)
        with distributed.Client(address, set_as_default=False) as client:
            # Until the scheduler holds only the stalled group: the batch has the results of
            # the others (and released them).
            while (client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))
                   != 1 or len(list(out.glob("*.npz"))) < MODELS - len(stalled)):
                assert batch.poll() is None
                time.sleep(0.05)
        scheduler.kill()
        stderr = batch.communicate(timeout=120)[1]
    # The models never tried are neither converted nor failed.
    converted = MODELS - len(stalled)
    summary, *rest = stderr.splitlines()
    assert re.fullmatch(rf"vertisift batch: {MODELS + 1} models found: {converted} converted, 0 "
                        r"already done, 1 failed \(.*\)", summary), stderr
    assert rest == ["failed:", f"  broken.stl: {BROKEN_MESSAGE}",
                    f"vertisift batch: the failures are listed in {out / 'failures.csv'}",
                    f"vertisift batch: the Dask scheduler at {address} went away; run the same "
                    "command again to resume"]
    assert batch.returncode == 1
    assert read_failures(out)[1:] == [["broken.stl", BROKEN_MESSAGE]]
    # Resumed locally, the batch makes the stalled group's clouds.
    result = run_cli("batch", in_dir, out, COUNT, "-q")
    assert f"{MODELS + 1} models found: {len(stalled)} converted, {converted} already done, " \
           "1 failed" in result.stderr
