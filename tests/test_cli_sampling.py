"""The command's sampling options: --method, --seed, --normals and --distinct for reduce and
batch, and seeded batches that write the same clouds however they run."""

import shutil

import numpy as np
import pytest

import meshgen
import vertisift_tools
from cli_support import make_tree, run_cli
from vertisift_tools.options import SampleOptions, file_seed

COUNT = 300


def cloud_bytes(folder):
    return {path.relative_to(folder).as_posix(): path.read_bytes()
            for path in sorted(folder.rglob("*.npz"))}


def test_seeded_batch_writes_the_same_clouds_on_rerun_and_with_other_jobs(tmp_path):
    make_tree(tmp_path / "in")
    (tmp_path / "in" / "sub" / "broken.stl").unlink()
    runs = []
    for name, jobs in (("one", "1"), ("again", "1"), ("two", "2")):
        out = tmp_path / name
        result = run_cli("batch", tmp_path / "in", out, COUNT, "-q", "--jobs", jobs,
                         "--seed", "17", "--method", "surface", "--normals", "auto")
        assert result.returncode == 0, result.stderr
        runs.append(cloud_bytes(out))
    assert len(runs[0]) == 5 and runs[0] == runs[1] == runs[2]
    # A resumed run makes the missing clouds alike; another seed makes other clouds.
    resumed = tmp_path / "again"
    (resumed / "c2.npz").unlink()
    shutil.rmtree(resumed / "sub")
    result = run_cli("batch", tmp_path / "in", resumed, COUNT, "-q", "--seed", "17",
                     "--method", "surface", "--normals", "auto")
    assert result.returncode == 0, result.stderr
    assert "2 already done" in result.stderr
    assert cloud_bytes(resumed) == runs[0]
    other = tmp_path / "other"
    run_cli("batch", tmp_path / "in", other, COUNT, "-q", "--seed", "18", "--method", "surface",
            "--normals", "auto")
    assert all(cloud_bytes(other)[name] != data for name, data in runs[0].items())


def test_each_file_draws_with_its_own_seed(tmp_path):
    """The batch's cloud of a file is sample() with the seed derived from its relative path."""
    make_tree(tmp_path / "in")
    out = tmp_path / "out"
    run_cli("batch", tmp_path / "in", out, COUNT, "-q", "--seed", "5", "--distinct")
    positions, normals = vertisift_tools.read_cloud(out / "sub" / "d3.npz")
    expected = vertisift_tools.sample(tmp_path / "in" / "sub" / "d3.stl", COUNT, normals="file",
                                      seed=file_seed(5, "sub/d3.stl"), distinct=True)
    assert np.array_equal(positions, expected[0]) and np.array_equal(normals, expected[1])
    assert SampleOptions(seed=5).for_file("sub/d3.stl").seed == file_seed(5, "sub/d3.stl")
    assert file_seed(5, "sub/d3.stl") != file_seed(5, "sub/e4.stl")


def test_reduce_options(tmp_path):
    model = meshgen.write_binary_stl(tmp_path / "flat.stl",
                                     [((0.0, 0.0, 0.0), (0, 0, 0), (1, 0, 0), (0, 1, 0))])
    outputs = []
    for name in ("a", "b"):
        out = tmp_path / f"{name}.npz"
        result = run_cli("reduce", model, 50, "-o", out, "--method", "surface", "--seed", "3",
                         "--normals", "geometry")
        assert result.returncode == 0, result.stderr
        assert "warning" not in result.stderr
        outputs.append(vertisift_tools.read_cloud(out))
    assert np.array_equal(outputs[0][0], outputs[1][0])
    assert (outputs[0][1] == [0, 0, 1]).all()
    # The stored zero normal is reported with the default --normals file.
    result = run_cli("reduce", model, 5, "-o", tmp_path / "c.npz")
    assert "5 of 5 points have the zero normal (0, 0, 0)" in result.stderr


@pytest.mark.parametrize(
    "args, text",
    [
        (["--method", "surface", "--distinct"], "--distinct applies only to --method vertices"),
        (["--seed", "-1"], "is not a seed"),
        (["--seed", str(2**64)], "is not a seed"),
        (["--normals", "stored"], "invalid choice: 'stored'"),
    ],
)
def test_option_mistakes(tmp_path, args, text):
    model = meshgen.write_binary_stl(tmp_path / "m.stl", meshgen.cube(1.0))
    result = run_cli("reduce", model, 5, "-o", tmp_path / "c.npz", *args)
    assert result.returncode == 2
    (line,) = result.stderr.splitlines()  # no usage block before it
    assert line.startswith("vertisift reduce: error: ") and text in line
    assert not (tmp_path / "c.npz").exists()
