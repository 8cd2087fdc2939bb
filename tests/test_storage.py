"""Models and outputs in object storage, against a real S3-compatible server on 127.0.0.1
(moto's, started here with fake credentials): a batch from a bucket to a bucket gives the
local batch's files, every output whole or absent when a worker dies, and resumes; the
command reads an archive in a bucket and writes its shards there; the credentials appear
nowhere."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

from cli_support import BROKEN_MESSAGE, DIED_MESSAGE, make_tree, run_cli

pytest.importorskip("s3fs", reason="object storage needs the storage extra (s3fs)")
pytest.importorskip("moto.server", reason="the S3 test server needs moto[server]")

import fsspec

import vertisift_tools
from s3_server import SECRET_KEY, s3_server, uses
from test_archives import make_models, pack
from vertisift_tools.options import SampleOptions

COUNT = 32
SEED = 9
FAULT_VARIABLE = "VERTISIFT_TOOLS_TEST_FAULT"


@pytest.fixture(scope="module")
def s3():
    with s3_server() as environment, uses(environment):
        fsspec.filesystem("s3").mkdir("models")
        yield environment


def upload(local: Path, url: str) -> None:
    fs = fsspec.filesystem("s3")
    for path in sorted(local.rglob("*")):
        if path.is_file():
            fs.put_file(str(path), f"{url}/{path.relative_to(local).as_posix()}")


def objects(url: str) -> dict[str, bytes]:
    fs = fsspec.filesystem("s3")
    fs.invalidate_cache()
    return {
        name[len(url) + 1 :]: fs.cat_file(name) for name in sorted(fs.find(url))
    }


def local_files(root: Path) -> dict[str, bytes]:
    return {
        path.relative_to(root).as_posix(): path.read_bytes()
        for path in sorted(root.rglob("*"))
        if path.is_file()
    }


def test_a_bucket_batch_loses_nothing_to_a_killed_worker_and_resumes(tmp_path, s3, monkeypatch):
    make_tree(tmp_path / "in")
    upload(tmp_path / "in", "models/tree")
    options = SampleOptions(seed=SEED)
    local = vertisift_tools.batch(tmp_path / "in", tmp_path / "local", COUNT, fmt="ply",
                                  options=options, jobs=2)
    expected = local_files(tmp_path / "local")

    monkeypatch.setenv(FAULT_VARIABLE, "kill:c2.stl")
    first = vertisift_tools.batch("s3://models/tree", "s3://models/out", COUNT, fmt="ply",
                                  options=options, jobs=2)
    failures = {failure.path: failure.message for failure in first.failures}
    assert failures["sub/broken.stl"] == BROKEN_MESSAGE
    assert failures["c2.stl"].startswith(DIED_MESSAGE)
    written = objects("models/out")
    # Every cloud there is whole: the dead worker's is absent, not half written.
    assert "c2.ply" not in written and not any(".part" in name for name in written)
    clouds = {name: data for name, data in written.items() if name.endswith(".ply")}
    assert len(clouds) == 4 and all(expected[name] == data for name, data in clouds.items())

    monkeypatch.delenv(FAULT_VARIABLE)
    second = vertisift_tools.batch("s3://models/tree", "s3://models/out", COUNT, fmt="ply",
                                   options=options, jobs=2)
    assert (second.converted, second.skipped) == (1, 4)
    assert objects("models/out") == expected
    assert [f.path for f in second.failures] == [f.path for f in local.failures]
    assert not any(SECRET_KEY.encode() in data for data in objects("models").values())

    # The dataset reads the bucket's folder as the folder it came from.
    here = vertisift_tools.PointCloudDataset(tmp_path / "in", COUNT, seed=SEED, on_error="skip")
    there = vertisift_tools.PointCloudDataset("s3://models/tree", COUNT, seed=SEED,
                                              on_error="skip")
    assert there.relative_paths == here.relative_paths
    assert [why for _, why in there.failures] == [why for _, why in here.failures]
    assert len(there) == 5
    assert all(np.array_equal(there[i], here[i]) for i in range(len(here)))
    with pytest.raises(ValueError, match="lives in this process's memory alone"):
        vertisift_tools.batch("memory://models", tmp_path / "never", COUNT)


def test_the_command_shards_an_archive_in_a_bucket_into_the_bucket(tmp_path, s3):
    top = make_models(tmp_path / "models")
    fsspec.filesystem("s3").put_file(str(pack(top, tmp_path / "ModelNet.zip")),
                                     "models/ModelNet.zip")
    shard_options = ["--format", "h5", "--labels", "folders", "--split-folders",
                     "--seed", SEED, "--shard-size", 4]
    here = run_cli("batch", top, tmp_path / "shards", COUNT, *shard_options, "-q")
    assert here.returncode == 0, here.stderr
    there = run_cli("batch", "s3://models/ModelNet.zip", "s3://models/shards", COUNT,
                    *shard_options, "-q", env=s3)
    assert there.returncode == 0, there.stderr
    assert objects("models/shards") == local_files(tmp_path / "shards")
    again = run_cli("batch", "s3://models/ModelNet.zip", "s3://models/shards", COUNT,
                    *shard_options, env=s3)
    assert again.returncode == 0 and "0 converted, 7 already done" in again.stderr
    assert SECRET_KEY not in there.stderr + again.stderr


@pytest.mark.slow
def test_a_dask_batch_needs_no_shared_folder_with_a_bucket(tmp_path, s3):
    distributed = pytest.importorskip("distributed")
    make_tree(tmp_path / "in")
    upload(tmp_path / "in", "models/dask-in")
    options = SampleOptions(seed=SEED)
    vertisift_tools.batch(tmp_path / "in", tmp_path / "local", COUNT, fmt="ply",
                          options=options, jobs=2)
    # The workers start in a folder of their own, and see only the bucket.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  local_directory=str(tmp_path / "workers")) as cluster:
        report = vertisift_tools.batch_dask("s3://models/dask-in", "s3://models/dask-out",
                                            COUNT, cluster.scheduler_address, fmt="ply",
                                            options=options)
    assert report.converted == 5 and [f.path for f in report.failures] == ["sub/broken.stl"]
    assert objects("models/dask-out") == local_files(tmp_path / "local")
