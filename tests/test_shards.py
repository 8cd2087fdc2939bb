"""`vertisift batch --format h5`: HDF5 shards of many models each, with labels and splits from
folders, as training code reads them; the same bytes however the batch runs, resumed shard by
shard."""

from __future__ import annotations

import json
import re
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import meshgen
import vertisift_tools
from cli_support import RECORD_FILE, cli_env, files_under, read_failures, run_cli, torus_faces
from conftest import MESH_DATA, STL_DATA, needs_mesh_data, needs_stl_data
from vertisift_tools.options import SampleOptions

h5py = pytest.importorskip("h5py")

COUNT = 40
BROKEN_MESSAGE = "OFF line 4: vertex index 1 is out of range (1 vertex in the file)"
NO_SPLIT = "it lies in no train or test folder, so it belongs to no split"
NO_CLASS = "it lies in no folder under IN_DIR, so it has no class"
BOTH = "it lies in a train and a test folder, so its split is unclear"
WRITERS = {".off": meshgen.write_off, ".obj": meshgen.write_obj, ".stl": meshgen.write_binary_stl}
# A tree laid out by class and split, in every format; chair_0000.off cannot be read.
GOOD = ["chair/test/chair_0004.stl", "chair/train/chair_0001.off", "chair/train/chair_0002.obj",
        "chair/train/chair_0003.stl", "desk/test/desk_0003.obj", "desk/train/desk_0001.stl",
        "desk/train/desk_0002.off"]
BROKEN = "chair/train/chair_0000.off"


def make_tree(root: Path, *extra: str) -> None:
    """GOOD and BROKEN under root, and the `extra` models (outside any split, or any class)."""
    for index, relative in enumerate([*GOOD, *extra]):
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        WRITERS[path.suffix](path, torus_faces(8 + index))
    (root / BROKEN).write_text("OFF\n1 1 0\n0 0 0\n3 0 1 2\n")


def listed(out: Path, split: str) -> list[str]:
    """The shards that the split's list names, each line as the releases write it: the path
    that code run from the project's folder opens, with OUT_DIR at data/<its name>."""
    lines = (out / f"{split}_files.txt").read_text().splitlines()
    assert all(line.startswith(f"data/{out.name}/") for line in lines), lines
    return [line.rpartition("/")[2] for line in lines]


def read_shards(out: Path) -> dict[str, dict[str, np.ndarray]]:
    """Every shard of every split, by the file names its list names, as a loader reads them."""
    shards = {}
    for listing in sorted(out.glob("*_files.txt")):
        for name in listed(out, listing.name.removesuffix("_files.txt")):
            with h5py.File(out / name, "r") as shard:
                shards[name] = {key: shard[key][:] for key in shard}
    return shards


def id_lists(out: Path) -> dict[str, list[str]]:
    return {path.name: json.loads(path.read_text()) for path in out.glob("*_id2file.json")}


def id_file(shard: str) -> str:
    """The list of models of the shard named `shard`: ply_data_train1.h5 has
    ply_data_train_1_id2file.json."""
    split, index = re.fullmatch(r"ply_data_([a-z]+)([0-9]+)\.h5", shard).groups()
    return f"ply_data_{split}_{index}_id2file.json"


def chunks(names: list[str], size: int) -> list[list[str]]:
    return [names[start:start + size] for start in range(0, len(names), size)]


@pytest.mark.parametrize("args, splits, classes, failures", [
    (["--method", "surface", "--labels", "folders", "--split-folders", "--shard-size", "2"],
     ("train", "test"), ["chair", "desk"],
     [[BROKEN, BROKEN_MESSAGE], ["desk/loose.stl", NO_SPLIT], ["desk/test/train/d.stl", BOTH],
      ["loose.stl", NO_CLASS]]),
    (["--shard-size", "3"], ("all",), None, [[BROKEN, BROKEN_MESSAGE]]),
    (["--method", "fps", "--candidates", "200", "--split-folders"], ("train", "test"), None,
     [[BROKEN, BROKEN_MESSAGE], ["desk/loose.stl", NO_SPLIT], ["desk/test/train/d.stl", BOTH],
      ["loose.stl", NO_SPLIT]]),
], ids=["labels-splits", "vertices-all", "fps-splits"])
def test_shards_hold_the_models_of_each_split_in_order(tmp_path, args, splits, classes, failures):
    extra = ["desk/loose.stl", "desk/test/train/d.stl", "loose.stl"]
    make_tree(tmp_path / "in", *extra)
    out = tmp_path / "out"
    result = run_cli("batch", tmp_path / "in", out, COUNT, "-q", "--format", "h5", *args)
    assert result.returncode == 1, result.stderr
    assert read_failures(out)[1:] == failures
    size = int(args[args.index("--shard-size") + 1]) if "--shard-size" in args else 2048
    surface = "--method" in args

    # Each split's models, sorted by path and cut into shards; a model that fails leaves no
    # row, and the other models keep their shard.
    refused = {path for path, _ in failures if path != BROKEN}
    placed = [name for name in [*GOOD, BROKEN, *extra] if name not in refused]
    expected = {}
    for split in splits:
        members = sorted(name for name in placed if split in ("all", *name.split("/")[:-1]))
        for index, part in enumerate(chunks(members, size)):
            expected[f"ply_data_{split}{index}.h5"] = [name for name in part if name != BROKEN]
        assert listed(out, split) == [n for n in expected if n.startswith(f"ply_data_{split}")]
    assert {id_file(name): rows for name, rows in expected.items()} == id_lists(out)
    names = [*expected, *map(id_file, expected), *(f"{split}_files.txt" for split in splits)]
    names += ["failures.csv", RECORD_FILE] + (["shape_names.txt"] if classes else [])
    assert files_under(out) == sorted(names)
    if classes:
        assert (out / "shape_names.txt").read_text() == "".join(f"{c}\n" for c in classes)

    shards = read_shards(out)
    assert sorted(shards) == sorted(expected)
    for name, shard in shards.items():
        rows = expected[name]
        assert sorted(shard) == sorted(["data", "normal", "label", *(["faceId"] * surface)])
        assert shard["data"].dtype == shard["normal"].dtype == np.float32
        assert shard["data"].shape == shard["normal"].shape == (len(rows), COUNT, 3)
        assert shard["label"].dtype == np.uint8 and shard["label"].shape == (len(rows), 1)
        labels = [classes.index(row.split("/")[0]) if classes else 0 for row in rows]
        assert shard["label"][:, 0].tolist() == labels
        if surface:
            assert shard["faceId"].dtype == np.int32
            assert shard["faceId"].shape == (len(rows), COUNT)


def test_the_same_bytes_whatever_the_jobs(tmp_path):
    make_tree(tmp_path / "in")
    outputs = []
    for jobs in ("1", "2"):
        out = tmp_path / jobs / "out"
        result = run_cli("batch", tmp_path / "in", out, COUNT, "-q", "--format", "h5",
                         "--jobs", jobs, "--seed", "11", "--method", "poisson", "--labels",
                         "folders", "--split-folders", "--shard-size", "2")
        assert result.returncode == 1, result.stderr
        outputs.append({path: (out / path).read_bytes() for path in files_under(out)})
        # HDF5 stores times in whole seconds: the second run starts in another second.
        time.sleep(1.1)
    assert len(outputs[0]) == 13 and outputs[0] == outputs[1]


@pytest.mark.parametrize("method", ["surface", "vertices", "fps"])
def test_a_row_is_the_npz_cloud_and_the_dataset_item(tmp_path, method):
    """Each model draws with model_seed(SEED, its path), so its row is its cloud of a batch
    and the dataset's item of epoch 0 with the same seed and options, and its faceId the
    faces that sample() gives."""
    make_tree(tmp_path / "in")
    chosen = {"method": method, "seed": 5, "normals": "smooth", "normalize": "unit_sphere"}
    options = SampleOptions(**chosen)
    vertisift_tools.batch(tmp_path / "in", tmp_path / "h5", COUNT, fmt="h5", options=options,
                          labels="folders", shard_size=4, jobs=2)
    vertisift_tools.batch(tmp_path / "in", tmp_path / "npz", COUNT, options=options, jobs=2)
    dataset = vertisift_tools.PointCloudDataset(tmp_path / "in", COUNT, labels="folders",
                                                **chosen)
    seen = []
    for name, shard in read_shards(tmp_path / "h5").items():
        for row, relative in enumerate(id_lists(tmp_path / "h5")[id_file(name)]):
            points, label = dataset[dataset.relative_paths.index(relative)]
            assert np.array_equal(shard["data"][row], points[:, :3])
            assert np.array_equal(shard["normal"][row], points[:, 3:])
            assert shard["label"][row, 0] == label
            cloud = vertisift_tools.read_cloud((tmp_path / "npz" / relative).with_suffix(".npz"))
            assert np.array_equal(shard["data"][row], cloud[0])
            assert np.array_equal(shard["normal"][row], cloud[1])
            if method != "vertices":
                drawn = {**chosen, "seed": vertisift_tools.model_seed(5, relative)}
                del drawn["normalize"]
                positions, _, faces = vertisift_tools.sample(
                    tmp_path / "in" / relative, COUNT, **drawn, return_faces=True)
                assert np.array_equal(shard["faceId"][row], faces)
                assert not np.array_equal(shard["data"][row], positions)  # normalised
            seen.append(relative)
    assert seen == GOOD


def test_a_rerun_keeps_finished_shards_and_refuses_other_choices(tmp_path):
    make_tree(tmp_path / "in")
    out = tmp_path / "out"
    choices = {"fmt": "h5", "shard_size": 2, "labels": "folders", "split_folders": True,
               "options": SampleOptions(method="surface", seed=3)}
    first = vertisift_tools.batch(tmp_path / "in", out, COUNT, **choices)
    assert (first.converted, first.skipped, len(first.failures)) == (7, 0, 1)
    assert json.loads((out / RECORD_FILE).read_text())["shard_size"] == 2

    # The shard that lost a row to a failure, a shard that is gone and one whose clouds are
    # not of COUNT points are made again; the others are kept as they are.
    (tmp_path / "in" / BROKEN).unlink()
    meshgen.write_off(tmp_path / "in" / BROKEN, torus_faces(30))
    (out / "ply_data_test0.h5").unlink()
    with h5py.File(out / "ply_data_train1.h5", "r+") as shard:
        del shard["data"]
        shard.create_dataset("data", data=np.zeros((2, COUNT - 1, 3), np.float32))
    stamps = {path: path.stat().st_mtime_ns for path in out.glob("*.h5")}
    second = vertisift_tools.batch(tmp_path / "in", out, COUNT, **choices)
    assert (second.converted, second.skipped, second.failures) == (6, 2, [])
    assert sorted(path.name for path, stamp in stamps.items()
                  if path.stat().st_mtime_ns != stamp) == ["ply_data_train0.h5",
                                                           "ply_data_train1.h5"]
    assert id_lists(out)["ply_data_train_0_id2file.json"] == [BROKEN, "chair/train/chair_0001.off"]

    # A renamed model makes its shard again; fewer models make fewer shards, and the last
    # train shard goes, or a loader would read it.
    for relative in ("desk/train/desk_0001.stl", "desk/train/desk_0002.off"):
        (tmp_path / "in" / relative).unlink()
    model = tmp_path / "in" / "chair/train/chair_0003.stl"
    model.rename(model.with_name("chair_0003a.stl"))
    third = vertisift_tools.batch(tmp_path / "in", out, COUNT, **choices)
    assert (third.converted, third.skipped) == (2, 4)
    assert id_lists(out)["ply_data_train_1_id2file.json"] == [
        "chair/train/chair_0002.obj", "chair/train/chair_0003a.stl"]
    assert listed(out, "train") == ["ply_data_train0.h5", "ply_data_train1.h5"]
    assert not list(out.glob("ply_data_train2*")) and not list(out.glob("ply_data_train_2*"))

    # A new class renumbers the classes after it: the test shard keeps its models, but not
    # their labels, so it is made again.
    (tmp_path / "in" / "bench" / "train").mkdir(parents=True)
    meshgen.write_binary_stl(tmp_path / "in" / "bench" / "train" / "b.stl", torus_faces(9))
    fourth = vertisift_tools.batch(tmp_path / "in", out, COUNT, **choices)
    assert (fourth.converted, fourth.skipped) == (7, 0)
    assert read_shards(out)["ply_data_test0.h5"]["label"][:, 0].tolist() == [1, 2]
    assert (out / "shape_names.txt").read_text() == "bench\nchair\ndesk\n"

    before = {path: (out / path).read_bytes() for path in files_under(out)}
    for other, differs in [
        ({"shard_size": 3}, "shard_size 2 before, 3 now"),
        ({"labels": None}, "labels folders before, none now"),
        ({"split_folders": False}, "split folders before, none now"),
        ({"options": SampleOptions(method="surface", seed=4)}, "seed 3 before, 4 now"),
        ({"options": SampleOptions(method="surface", seed=3, normalize="unit_sphere")},
         "normalize none before, unit_sphere now"),
        ({"options": SampleOptions(method="surface", seed=3, visible=True)},
         "visible no before, yes now"),
        ({"options": SampleOptions(method="surface", seed=3, normals="outward",
                                   view_directions=16)},
         "normals auto before, outward now; visible no before, yes now; view_directions none "
         "before, 16 now"),
        ({"fmt": "npz", "shard_size": None, "labels": None, "split_folders": False},
         "format h5 before, npz now; shard_size 2 before, none now; labels folders before, "
         "none now; split folders before, none now"),
    ]:
        with pytest.raises(vertisift_tools.BatchMismatchError) as raised:
            vertisift_tools.batch(tmp_path / "in", out, COUNT, **{**choices, **other})
        assert raised.value.reason == f"holds the clouds of another batch ({differs})"
    assert {path: (out / path).read_bytes() for path in files_under(out)} == before

    # Overwritten with one split and no labels, the other splits' files and the class names
    # go: a loader would take them for the new ones.
    vertisift_tools.batch(tmp_path / "in", out, COUNT, **{**choices, "labels": None,
                                                         "split_folders": False},
                          overwrite=True)
    assert files_under(out) == ["all_files.txt", "failures.csv", "ply_data_all0.h5",
                                "ply_data_all1.h5", "ply_data_all2.h5", "ply_data_all3.h5",
                                "ply_data_all_0_id2file.json", "ply_data_all_1_id2file.json",
                                "ply_data_all_2_id2file.json", "ply_data_all_3_id2file.json",
                                RECORD_FILE]


@pytest.mark.parametrize("args, message", [
    (["--shard-size", "10"], "--shard-size applies only to --format h5"),
    (["--format", "ply", "--labels", "folders"], "--labels applies only to --format h5"),
    (["--split-folders"], "--split-folders applies only to --format h5"),
    (["--format", "h5", "--shard-size", "0"],
     "argument --shard-size: '0' is not a number of models per shard (1 or more)"),
    (["--format", "h5", "--dask", "tcp://127.0.0.1:1", "--models-per-task", "4"],
     "--models-per-task does not apply to --format h5, whose Dask tasks are its shards"),
    (["--format", "h5", "without-h5py"],
     "HDF5 shards need the package 'h5py', which is not installed: pip install 'vertisift[h5]'"),
])
def test_shard_option_mistakes(tmp_path, args, message):
    make_tree(tmp_path / "in")
    command = ["batch", str(tmp_path / "in"), str(tmp_path / "out"), "8", *args]
    if "without-h5py" in args:
        command.remove("without-h5py")
        code = ("import sys; sys.modules['h5py'] = None; from vertisift_tools.command.main "
                f"import main; sys.exit(main({command!r}))")
        result = subprocess.run([sys.executable, "-c", code], env=cli_env(), capture_output=True,
                                text=True, timeout=60)
    else:
        result = run_cli(*command)
    assert (result.returncode, result.stderr) == (2, f"vertisift batch: error: {message}\n")
    assert not (tmp_path / "out").exists()
    with pytest.raises(ValueError, match=r"^shard_size applies only to fmt='h5', not 'npz'$"):
        vertisift_tools.batch(tmp_path / "in", tmp_path / "out", 8, shard_size=10)


@pytest.mark.parametrize("choices, named", [
    ({"shard_size": 0}, "shard_size"),
    ({"files_prefix": ""}, "files_prefix"),
    ({"labels": "folders", "split_folders": True}, "labels, split_folders"),
])
def test_shard_choices_given_for_another_format_are_named(tmp_path, choices, named):
    # Also those that are false as values: a shard size of 0, an empty prefix.
    with pytest.raises(ValueError, match=rf"^{named} applies only to fmt='h5', not 'ply'$"):
        vertisift_tools.batch(tmp_path / "in", tmp_path / "out", 8, fmt="ply", **choices)


@pytest.mark.parametrize("classes, dtype", [(256, np.uint8), (257, np.uint16)])
def test_labels_widen_only_beyond_256_classes(tmp_path, classes, dtype):
    triangle = [((0.0, 0.0, 1.0), (0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0))]
    for number in range(classes):
        (tmp_path / "in" / f"c{number:03}").mkdir(parents=True)
        meshgen.write_binary_stl(tmp_path / "in" / f"c{number:03}" / "m.stl", triangle)
    report = vertisift_tools.batch(tmp_path / "in", tmp_path / "out", 3, fmt="h5",
                                   labels="folders", jobs=2)
    assert report.ok and report.converted == classes
    (shard,) = read_shards(tmp_path / "out").values()
    assert shard["label"].dtype == dtype
    assert shard["label"][:, 0].tolist() == list(range(classes))


@pytest.mark.parametrize("collection", [
    pytest.param(STL_DATA, marks=needs_stl_data, id="stl"),
    pytest.param(MESH_DATA, marks=needs_mesh_data, id="meshes"),
])
def test_real_collections_round_trip(tmp_path, collection):
    """Files written by other tools, as a loader reads their shards: every model the dataset
    draws is a row equal to its item of epoch 0, and every model it skips is a failure."""
    chosen = {"method": "surface", "seed": 3, "normals": "auto"}
    report = vertisift_tools.batch(collection, tmp_path / "h5", COUNT, fmt="h5", shard_size=64,
                                   options=SampleOptions(**chosen), jobs=2)
    dataset = vertisift_tools.PointCloudDataset(collection, COUNT, on_error="skip", **chosen)
    skipped = {Path(path).relative_to(collection).as_posix() for path, _ in dataset.failures}
    assert {failure.path for failure in report.failures} == skipped
    rows = []
    for name in listed(tmp_path / "h5", "all"):
        with h5py.File(tmp_path / "h5" / name, "r") as shard:
            data, normal, label = shard["data"][:], shard["normal"][:], shard["label"][:]
        assert data.dtype == normal.dtype == np.float32 and label.dtype == np.uint8
        relatives = id_lists(tmp_path / "h5")[id_file(name)]
        assert data.shape == normal.shape == (len(relatives), COUNT, 3)
        for row, relative in enumerate(relatives):
            item = dataset[dataset.relative_paths.index(relative)]
            assert np.array_equal(data[row], item[:, :3]) and np.array_equal(normal[row], item[:, 3:])
            rows.append(relative)
    assert rows == dataset.relative_paths and report.converted == len(rows) > 0


def test_the_readme_loader_reads_the_shards_from_the_project_folder(tmp_path):
    """The README's training script, run as it stands from a project's folder, opens every
    listed shard and reads back each class name exactly, odd ones included; a class name that
    a line cannot hold is refused before anything is made."""
    readme = (Path(__file__).parent.parent / "README.md").read_text(encoding="utf-8")
    loader = readme.split("reads it\nback with h5py alone:\n\n```python\n", 1)[1].split("```", 1)[0]
    names = ["a b", "tab\tname", 'say "hi"', "naïve", "ünï"]
    for number, name in enumerate([*names, "two\nlines"]):
        (tmp_path / "in" / name / "train").mkdir(parents=True)
        meshgen.write_binary_stl(tmp_path / "in" / name / "train" / "m.stl", torus_faces(8 + number))
    (tmp_path / "in" / "two\nlines").rename(tmp_path / "refused")
    out = tmp_path / "project" / "data" / "modelnet40_ply_hdf5_2048"
    result = run_cli("batch", tmp_path / "in", out, COUNT, "-q", "--format", "h5", "--labels",
                     "folders", "--split-folders")
    assert result.returncode == 0, result.stderr
    shown = "import json\nprint(json.dumps([classes, points.shape, labels.tolist()]))\n"
    read = subprocess.run([sys.executable, "-c", loader + shown], cwd=tmp_path / "project",
                          capture_output=True, text=True, encoding="utf-8", timeout=60)
    assert read.returncode == 0, read.stderr
    assert json.loads(read.stdout) == [sorted(names), [len(names), COUNT, 3], [0, 1, 2, 3, 4]]

    (tmp_path / "refused").rename(tmp_path / "in" / "two\nlines")
    result = run_cli("batch", tmp_path / "in", tmp_path / "other", COUNT, "-q", "--format", "h5",
                     "--labels", "folders")
    assert (result.returncode, result.stderr) == (
        2, "vertisift batch: error: the class folder 'two\\nlines' has a line break in its "
           "name, which a file of one name a line cannot hold; rename it\n")
    assert not (tmp_path / "other").exists()
