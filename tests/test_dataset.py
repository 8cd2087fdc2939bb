"""PointCloudDataset: length, items, seeds by model and epoch, labels, splits, normalisation,
skipped failures, pickling, worker processes."""

import multiprocessing
import pickle

import numpy as np
import pytest

import meshgen

tools = pytest.importorskip("vertisift_tools")
dataset_module = pytest.importorskip("vertisift_tools.dataset")
PointCloudDataset = dataset_module.PointCloudDataset


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "b" / "deep").mkdir(parents=True)
    meshgen.write_binary_stl(tmp_path / "a.stl", meshgen.torus(12, 6))
    meshgen.write_binary_stl(tmp_path / "b" / "deep" / "c.STL", meshgen.cube(2.0))
    meshgen.write_ascii_stl(tmp_path / "b" / "d.Stl", meshgen.torus(8, 4))
    (tmp_path / "b" / "notes.txt").write_text("not a model")
    return tmp_path


def load(dataset, index):
    return dataset[index]


def test_folder_items_and_their_shape(folder):
    dataset = PointCloudDataset(folder, 64, seed=1)
    assert len(dataset) == 3
    assert [name.rsplit("/", 1)[-1] for name in dataset.files] == ["a.stl", "d.Stl", "c.STL"]
    for item in dataset:
        assert item.shape == (64, 6) and item.dtype == np.float32 and item.flags.c_contiguous
        assert np.allclose(np.linalg.norm(item[:, 3:], axis=1), 1, atol=1e-6)
    assert np.array_equal(dataset[-1], dataset[2])
    with pytest.raises(IndexError):
        dataset[3]
    # A list of paths works the same way, in its own order, its root their common folder.
    listed = PointCloudDataset(list(reversed(dataset.files)), 64, seed=1)
    assert (listed.root, listed.relative_paths) == (str(folder), ["b/deep/c.STL", "b/d.Stl", "a.stl"])
    assert all(np.array_equal(listed[2 - i], dataset[i]) for i in range(3))


@pytest.mark.parametrize("how", ["folder", "list"])
def test_a_model_draws_alike_whatever_the_other_models(folder, how):
    whole = PointCloudDataset(folder, 64, seed=3)
    whole.set_epoch(2)
    before = dict(zip(whole.relative_paths, whole))
    if how == "folder":
        (folder / "a.stl").unlink()
        fewer = PointCloudDataset(folder, 64, seed=3)
    else:
        # Without a.stl the models' common folder is b/; the root keeps their paths.
        fewer = PointCloudDataset(whole.files[1:], 64, seed=3, root=folder)
    fewer.set_epoch(2)
    assert fewer.relative_paths == ["b/d.Stl", "b/deep/c.STL"]
    assert all(np.array_equal(item, before[where])
               for where, item in zip(fewer.relative_paths, fewer))


def test_seeded_items_repeat_within_an_epoch_and_change_across_epochs(folder):
    dataset = PointCloudDataset(folder, 100, seed=5, method="vertices")
    first = [dataset[i] for i in range(3)]
    assert all(np.array_equal(a, b) for a, b in zip(first, dataset))
    dataset.set_epoch(1)
    second = list(dataset)
    assert not any(np.array_equal(a, b) for a, b in zip(first, second))
    # NumPy integers count as integers, as they do for sample().
    again = PointCloudDataset(folder, np.int64(100), seed=np.uint64(5), method="vertices")
    again.set_epoch(np.int64(1))
    assert all(np.array_equal(a, b) for a, b in zip(second, again))
    unseeded = PointCloudDataset(folder, 100)
    assert not np.array_equal(unseeded[0], unseeded[0])


@pytest.mark.parametrize("method, candidates", [("fps", 300), ("poisson", None), ("poisson", 400)])
def test_even_methods_give_the_items_of_sample(folder, method, candidates):
    dataset = PointCloudDataset(folder, 64, seed=2, method=method, candidates=candidates)
    dataset.set_epoch(1)
    positions, normals = tools.sample(dataset.files[1], 64, method=method,
                                      seed=tools.model_seed(2, "b/d.Stl", 1),
                                      candidates=candidates)
    item = dataset[1]
    assert item.shape == (64, 6)
    assert np.array_equal(item[:, :3], positions) and np.array_equal(item[:, 3:], normals)
    shown = "" if candidates is None else f", candidates={candidates}"
    assert repr(dataset).endswith(f"distinct=False{shown})")


@pytest.mark.parametrize("start_method", ["fork", "spawn"])
def test_worker_processes_load_items_of_a_pickled_dataset(folder, start_method):
    dataset = PointCloudDataset(folder, 32, seed=9)
    dataset.set_epoch(3)
    restored = pickle.loads(pickle.dumps(dataset))
    expected = [restored[i] for i in range(len(restored))]
    context = multiprocessing.get_context(start_method)
    with context.Pool(2) as pool:
        items = pool.starmap(load, [(dataset, i) for i in range(len(dataset))])
    assert all(np.array_equal(a, b) for a, b in zip(items, expected))


def test_bad_arguments(folder, write_binary):
    with pytest.raises(NotADirectoryError):
        PointCloudDataset(folder / "a.stl", 10)
    with pytest.raises(ValueError, match="distinct=True applies only to method='vertices'"):
        PointCloudDataset(folder, 10, distinct=True)
    with pytest.raises(ValueError, match="seed must be in"):
        PointCloudDataset(folder, 10, seed=-1)
    # Candidates are checked as sample() checks them, before any item is read.
    with pytest.raises(ValueError, match="candidates applies only to method 'fps' or 'poisson'"):
        PointCloudDataset(folder, 10, candidates=100)
    with pytest.raises(ValueError, match=r"candidates must be at least n \(10\), not 9"):
        PointCloudDataset(folder, 10, method="poisson", candidates=9)
    with pytest.raises(ValueError, match="view_directions applies only with visible=True"):
        PointCloudDataset(folder, 10, view_directions=16)
    with pytest.raises(TypeError):
        PointCloudDataset(folder, 10.0)
    # Bytes paths are refused as sample() refuses them, and said so.
    with pytest.raises(TypeError) as raised:
        PointCloudDataset(bytes(folder), 10)
    assert str(raised.value) == ("files must be a folder or an iterable of paths, each a str or "
                                 "os.PathLike, not bytes")
    with pytest.raises(TypeError) as raised:
        PointCloudDataset([folder / "a.stl", bytes(folder / "a.stl")], 10)
    assert str(raised.value) == "files[1] must be a str or os.PathLike path, not bytes"
    empty = PointCloudDataset([write_binary([])], 10)
    with pytest.raises(ValueError, match="has no faces"):
        empty[0]


@pytest.mark.parametrize("files, options, error, message", [
    ("folder", {"labels": "folders"}, ValueError,
     "labels='folders' takes a model's class from its folder under the root {folder!r}, and "
     "{a!r} is in none"),
    ("folder", {"root": "elsewhere"}, ValueError,
     "root applies to a list of paths; a folder is its own root"),
    ("list", {"root": "{folder}/b"}, ValueError,
     "files[0] {a!r} is not under the root '{folder}/b'"),
    ("folder", {"labels": "names"}, ValueError, "labels must be None or 'folders', not 'names'"),
    ("folder", {"normalize": True}, TypeError, "normalize must be None or 'unit_sphere', not bool"),
    ("folder", {"on_error": "ignore"}, ValueError,
     "on_error must be 'raise' or 'skip', not 'ignore'"),
    ("folder", {"split": "a/train"}, ValueError, "split must be a folder name, not 'a/train'"),
])
def test_mistakes_in_the_new_options(folder, files, options, error, message):
    a = str(folder / "a.stl")
    given = str(folder) if files == "folder" else [a]
    options = {name: value.format(folder=folder) if isinstance(value, str) else value
               for name, value in options.items()}
    with pytest.raises(error) as raised:
        PointCloudDataset(given, 10, **options)
    assert str(raised.value) == message.format(folder=str(folder), a=a)


@pytest.fixture
def modelnet(tmp_path):
    """Classes by folder, each split into train/ and test/ (one class has no train models),
    in every model format."""
    models = {"chair/train/chair_0001.off": meshgen.write_off,
              "chair/train/chair_0002.obj": meshgen.write_obj,
              "chair/test/chair_0003.stl": meshgen.write_binary_stl,
              "bed/train/bed_0001.off": meshgen.write_off,
              "bed/test/bed_0002.obj": meshgen.write_obj,
              "table/test/table_0001.stl": meshgen.write_binary_stl}
    for relative, write in models.items():
        (tmp_path / relative).parent.mkdir(parents=True, exist_ok=True)
        write(tmp_path / relative, meshgen.torus(8, 4))
    return tmp_path


@pytest.mark.parametrize("split, expected", [
    (None, [("bed/test/bed_0002.obj", 0), ("bed/train/bed_0001.off", 0),
            ("chair/test/chair_0003.stl", 1), ("chair/train/chair_0001.off", 1),
            ("chair/train/chair_0002.obj", 1), ("table/test/table_0001.stl", 2)]),
    ("train", [("bed/train/bed_0001.off", 0), ("chair/train/chair_0001.off", 1),
               ("chair/train/chair_0002.obj", 1)]),
    ("test", [("bed/test/bed_0002.obj", 0), ("chair/test/chair_0003.stl", 1),
              ("table/test/table_0001.stl", 2)]),
])
def test_folder_labels_and_splits(modelnet, split, expected):
    dataset = PointCloudDataset(modelnet, 32, seed=1, labels="folders", split=split)
    # Every split numbers the classes alike, also one without models of some class.
    assert dataset.classes == ["bed", "chair", "table"]
    assert dataset.class_to_index == {"bed": 0, "chair": 1, "table": 2}
    items = list(pickle.loads(pickle.dumps(dataset)))
    assert [(where, label) for where, (_, label) in zip(dataset.relative_paths, items)] == expected
    assert all(type(label) is int and points.shape == (32, 6) for points, label in items)
    shown = "" if split is None else f", split={split!r}"
    assert repr(dataset).endswith(f"labels='folders' (3 classes){shown})")
    unlabelled = PointCloudDataset(modelnet, 32, seed=1, split=split)
    assert all(np.array_equal(points, plain) for (points, _), plain in zip(items, unlabelled))


def test_unit_sphere_centres_and_scales_the_points_alone(folder):
    raw = PointCloudDataset(folder, 200, seed=6)
    dataset = PointCloudDataset(folder, 200, seed=6, normalize="unit_sphere")
    for plain, item in zip(raw, dataset):
        positions = plain[:, :3].astype(np.float64)
        centred = positions - positions.mean(axis=0)
        expected = centred / np.linalg.norm(centred, axis=1).max()
        assert np.allclose(item[:, :3], expected, atol=1e-6)
        assert np.allclose(item[:, :3].mean(axis=0), 0, atol=1e-6)
        assert np.isclose(np.linalg.norm(item[:, :3], axis=1).max(), 1, atol=1e-6)
        assert np.array_equal(item[:, 3:], plain[:, 3:])


def test_skip_drops_the_models_that_fail_and_lists_why(folder):
    (folder / "b" / "empty.stl").write_bytes(b"")
    meshgen.write_binary_stl(folder / "b" / "faceless.stl", [])
    kept = PointCloudDataset(folder, 32, seed=4)
    with pytest.raises(tools.StlReadError):
        kept.check()  # on_error="raise": the first model that fails, in order
    assert len(kept) == 5 and not kept.failures

    dataset = PointCloudDataset(folder, 32, seed=4, on_error="skip")
    assert dataset.failures == [
        (str(folder / "b" / "empty.stl"), "failed to fill whole buffer (the file is empty)"),
        (str(folder / "b" / "faceless.stl"), "the model has no faces, so it gives no points")]
    assert dataset.relative_paths == ["a.stl", "b/d.Stl", "b/deep/c.STL"]
    assert all(np.array_equal(dataset[i], kept[kept.relative_paths.index(where)])
               for i, where in enumerate(dataset.relative_paths))
    assert repr(dataset).endswith("on_error='skip' (2 failed))")
