"""The command's sampling options: --method, --seed, --normals, --distinct, --candidates and
--visible for reduce and batch, and seeded batches that write the same clouds however they
run."""

import hashlib
import json
import shutil

import numpy as np
import pytest

import meshgen
import vertisift_tools
from cli_support import RECORD_FILE, make_tree, nested_boxes, on_inner_box, run_cli
from vertisift_tools.options import SampleOptions

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


@pytest.mark.parametrize("args, options", [
    (["--distinct"], {"distinct": True}),
    (["--method", "fps", "--candidates", "500"], {"method": "fps", "candidates": 500}),
    (["--method", "poisson", "--candidates", "400", "--normals", "smooth"],
     {"method": "poisson", "candidates": 400, "normals": "smooth"}),
    (["--method", "surface", "--normalize", "unit_sphere"],
     {"method": "surface", "normalize": "unit_sphere"}),
], ids=["distinct", "fps", "poisson", "normalize"])
def test_each_file_draws_with_its_own_seed(tmp_path, args, options):
    """The batch's cloud of a file is sample() with the seed that model_seed gives its
    relative path, and the item of epoch 0 of a dataset over the same folder with the same
    seed and options."""
    make_tree(tmp_path / "in")
    out = tmp_path / "out"
    run_cli("batch", tmp_path / "in", out, COUNT, "-q", "--seed", "5", *args)
    positions, normals = vertisift_tools.read_cloud(out / "sub" / "d3.npz")
    chosen = {"method": "vertices", "normals": "auto", **options}
    drawn = {name: value for name, value in chosen.items() if name != "normalize"}
    expected = vertisift_tools.sample(tmp_path / "in" / "sub" / "d3.stl", COUNT,
                                      seed=vertisift_tools.model_seed(5, "sub/d3.stl"), **drawn)
    assert np.array_equal(normals, expected[1])
    # Normalised positions are the dataset's, centred in the unit sphere.
    assert np.array_equal(positions, expected[0]) == ("normalize" not in chosen)
    digest = hashlib.blake2b(b"vertisift-model/5/0/sub/d3.stl", digest_size=8).digest()
    assert vertisift_tools.model_seed(5, "sub/d3.stl") == int.from_bytes(digest, "little")
    dataset = vertisift_tools.PointCloudDataset(tmp_path / "in", COUNT, seed=5, **chosen)
    item = dataset[dataset.relative_paths.index("sub/d3.stl")]
    assert np.array_equal(item[:, :3], positions) and np.array_equal(item[:, 3:], normals)


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
    # The default computes the normal that the face stores as zero.
    result = run_cli("reduce", model, 5, "-o", tmp_path / "c.npz")
    assert (result.returncode, result.stderr) == (0, "")
    assert (vertisift_tools.read_cloud(tmp_path / "c.npz")[1] == [0, 0, 1]).all()


@pytest.mark.parametrize(
    "args, text",
    [
        (["--method", "surface", "--distinct"], "--distinct applies only to --method vertices"),
        (["--seed", "-1"], "is not a seed"),
        (["--seed", str(2**64)], "is not a seed"),
        (["--normals", "stored"], "invalid choice: 'stored'"),
        (["--candidates", "500"], "--candidates applies only to --method fps or poisson"),
        (["--method", "fps", "--candidates", "0"], "'0' is not a number of candidates"),
        (["--method", "poisson", "--candidates", "4"], "--candidates 4 is fewer than N (5)"),
        (["--view-directions", "16"],
         "--view-directions applies only to --visible or --normals outward"),
        (["--visible", "--view-directions", "0"], "'0' is not a number of view directions"),
        (["--normals", "outward", "--view-directions", "4097"],
         "'4097' is not a number of view directions (a whole number from 1 to 4096)"),
    ],
)
def test_option_mistakes(tmp_path, args, text):
    model = meshgen.write_binary_stl(tmp_path / "m.stl", meshgen.cube(1.0))
    result = run_cli("reduce", model, 5, "-o", tmp_path / "c.npz", *args)
    assert result.returncode == 2
    (line,) = result.stderr.splitlines()  # no usage block before it
    assert line.startswith("vertisift reduce: error: ") and text in line
    assert not (tmp_path / "c.npz").exists()


def test_the_batch_record_holds_the_candidates(tmp_path):
    (tmp_path / "in").mkdir()
    meshgen.write_binary_stl(tmp_path / "in" / "m.stl", meshgen.torus(20, 10))
    out = tmp_path / "out"
    result = run_cli("batch", tmp_path / "in", out, COUNT, "-q", "--method", "fps",
                     "--candidates", "500")
    assert result.returncode == 0, result.stderr
    record = json.loads((out / RECORD_FILE).read_text())
    assert (record["method"], record["candidates"]) == ("fps", 500)
    refused = run_cli("batch", tmp_path / "in", out, COUNT, "-q", "--method", "fps",
                      "--candidates", "600")
    assert (refused.returncode, refused.stderr) == (
        2, f"vertisift batch: error: OUT_DIR {out} holds the clouds of another batch (candidates "
           "500 before, 600 now); use --overwrite to make every cloud again\n")

    # A record without candidates, as versions before them wrote it and as this one writes it
    # for a batch that takes none, stands for none.
    del record["candidates"]
    record["method"] = "surface"
    (out / RECORD_FILE).write_text(json.dumps(record))
    report = vertisift_tools.batch(tmp_path / "in", out, COUNT,
                                   options=SampleOptions(method="surface"))
    assert (report.converted, report.skipped) == (0, 1)
    assert json.loads((out / RECORD_FILE).read_text()) == record
    with pytest.raises(vertisift_tools.BatchMismatchError,
                       match=r"\(method surface before, fps now; candidates none before, 500 now\)"):
        vertisift_tools.batch(tmp_path / "in", out, COUNT,
                              options=SampleOptions(method="fps", candidates=500))


def draw_visibly(way, model, out, visible):
    """The positions that `way` draws of `model` (alone in its folder) into `out`, with or
    without the visible surface alone."""
    flags = ["--visible", "--view-directions", "16"] if visible else []
    if way == "dataset":
        dataset = vertisift_tools.PointCloudDataset(model.parent, COUNT, seed=2, visible=visible)
        assert ("visible=True, view_directions=64" in repr(dataset)) == visible
        return dataset[0][:, :3]
    if way == "preview":
        from vertisift_tools.preview import points_to_draw

        return points_to_draw(model, visible=visible)[0]
    if way in ("reduce", "reduce-outward"):
        flags = ["--method", "vertices", *flags]
        if way == "reduce-outward":  # outward normals draw from the visible surface alone
            flags = ["--method", "surface", "--normals", "outward" if visible else "geometry"]
        result = run_cli("reduce", model, COUNT, "-o", out / "cloud.npz", "--seed", "2", *flags)
        assert result.returncode == 0, result.stderr
        return vertisift_tools.read_cloud(out / "cloud.npz")[0]
    if way == "h5":
        h5py = pytest.importorskip("h5py")
        flags += ["--format", "h5"]
    result = run_cli("batch", model.parent, out, COUNT, "-q", "--method", "poisson", *flags)
    assert result.returncode == 0, result.stderr
    record = json.loads((out / RECORD_FILE).read_text())
    assert (record.get("visible"), record.get("view_directions")) == (
        (True, 16) if visible else (None, None))
    if way == "h5":
        with h5py.File(out / "ply_data_all0.h5", "r") as shard:
            return shard["data"][0]
    return vertisift_tools.read_cloud(out / "boxes.npz")[0]


@pytest.mark.parametrize("way", ["reduce", "reduce-outward", "batch", "h5", "dataset", "preview"])
def test_visible_draws_leave_a_hidden_box_out(tmp_path, way):
    """Drawn with --visible (or --normals outward, or visible=True), no point lies on a box
    closed inside another; drawn without, some do."""
    (tmp_path / "in").mkdir()
    model = meshgen.write_binary_stl(tmp_path / "in" / "boxes.stl", nested_boxes())
    hidden = []
    for visible in (False, True):
        out = tmp_path / f"out-{visible}"
        out.mkdir()
        positions = draw_visibly(way, model, out, visible)
        hidden.append(int(on_inner_box(positions).sum()))
    assert hidden[0] > 0 and hidden[1] == 0, hidden
