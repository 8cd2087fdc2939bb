"""PointCloudDataset: length, items, seeds by item and epoch, pickling, worker processes."""

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
    # A list of paths works the same way, in its own order.
    listed = PointCloudDataset(list(reversed(dataset.files)), 64, seed=1)
    assert not np.array_equal(listed[0], dataset[0])


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
                                      seed=dataset_module.item_seed(2, 1, 1),
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
