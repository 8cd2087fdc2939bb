"""The batch on a Dask cluster gives what the local batch gives, failures included."""

from __future__ import annotations

from pathlib import Path

import pytest

from cli_support import (
    BROKEN_MESSAGE,
    DIED_MESSAGE,
    check_cloud,
    files_under,
    make_tree,
    read_failures,
    run_cli,
)

pytestmark = pytest.mark.slow
distributed = pytest.importorskip("distributed")
dask = pytest.importorskip("dask")

COUNT = 48
KILLER = "c2.stl"


@pytest.fixture(scope="module")
def cluster():
    """Two worker processes of one thread each, on loopback. The scheduler runs in this
    process, so the settings below reach it: one task per worker at a time (a dying worker
    takes no innocent neighbour with it) and a task given up after two dead workers."""
    mp = pytest.MonkeyPatch()
    # The workers inherit the environment: the one that takes c2.stl kills itself.
    mp.setenv("VERTISIFT_TOOLS_TEST_FAULT", f"kill:{KILLER}")
    with dask.config.set({"distributed.scheduler.worker-saturation": 1.0,
                          "distributed.scheduler.allowed-failures": 1}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      host="127.0.0.1", dashboard_address=None) as local:
            yield local
    mp.undo()


def test_dask_batch_matches_a_local_batch(tmp_path, cluster):
    import vertisift_tools
    from vertisift_tools.options import SampleOptions
    good = make_tree(tmp_path / "in")
    local = vertisift_tools.batch(tmp_path / "in", tmp_path / "local", COUNT, jobs=2)
    with distributed.Client(cluster.scheduler_address, set_as_default=False) as client:
        remote = vertisift_tools.batch_dask(tmp_path / "in", tmp_path / "dask", COUNT, client)
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


def test_unreachable_scheduler_is_a_clear_error(tmp_path):
    (tmp_path / "in").mkdir()
    result = run_cli("batch", tmp_path / "in", tmp_path / "out", COUNT, "--dask",
                     "tcp://127.0.0.1:9", env={"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"})
    assert result.returncode == 2, result.stderr
    assert "cannot reach the Dask scheduler at tcp://127.0.0.1:9" in result.stderr
    assert "Traceback" not in result.stderr
