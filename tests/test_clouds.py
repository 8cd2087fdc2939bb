"""Cloud files: atomic replacement, and reading PLY files that other writers made."""

from __future__ import annotations

import numpy as np
import pytest
from plyfile import PlyData, PlyElement

from vertisift_tools import clouds
from vertisift_tools.clouds import CloudError, cloud_size, read_cloud, write_cloud

FIELDS = ("x", "y", "z", "nx", "ny", "nz")


def random_cloud(count: int, seed: int = 1) -> tuple[np.ndarray, np.ndarray]:
    generator = np.random.default_rng(seed)
    positions = generator.normal(size=(count, 3)).astype(np.float32)
    normals = generator.normal(size=(count, 3)).astype(np.float32)
    return positions, normals / np.linalg.norm(normals, axis=1, keepdims=True)


def test_a_failed_write_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch):
    target = tmp_path / "cloud.npz"
    write_cloud(target, *random_cloud(10))
    before = target.read_bytes()

    def failing_writer(out, positions, normals, colors):
        out.write(b"half a file")
        raise OSError("disk full")

    monkeypatch.setitem(clouds._WRITERS, "npz", failing_writer)
    with pytest.raises(OSError, match="disk full"):
        write_cloud(target, *random_cloud(20))
    assert target.read_bytes() == before
    assert [p.name for p in tmp_path.iterdir()] == ["cloud.npz"]


@pytest.mark.parametrize("text, byte_order, value_type", [
    (False, "<", "f4"), (False, ">", "f8"), (True, "=", "f4")])
def test_reads_ply_written_by_another_library(tmp_path, text, byte_order, value_type):
    positions, normals = random_cloud(50)
    dtype = [("x", value_type), ("y", value_type), ("z", value_type), ("red", "u1"),
             ("nx", value_type), ("ny", value_type), ("nz", value_type)]
    vertices = np.empty(50, dtype=dtype)
    for column, field in enumerate(FIELDS):
        vertices[field] = (positions if column < 3 else normals)[:, column % 3]
    vertices["red"] = 200
    faces = np.array([([0, 1, 2],)], dtype=[("vertex_indices", "i4", (3,))])
    path = tmp_path / "other.ply"
    PlyData([PlyElement.describe(vertices, "vertex"), PlyElement.describe(faces, "face")],
            text=text, byte_order=byte_order).write(path)
    read_positions, read_normals = read_cloud(path)
    assert read_positions.dtype == np.float32
    np.testing.assert_array_equal(read_positions, positions)
    np.testing.assert_array_equal(read_normals, normals)


COLORS = np.random.default_rng(3).random((50, 3)).astype(np.float32)


@pytest.mark.parametrize("suffix, step", [(".ply", 1 / 255), (".npz", 0), (".xyzrgb", 0)])
def test_colours_come_back_from_every_format_that_keeps_them(tmp_path, suffix, step):
    positions, normals = random_cloud(50)
    out = tmp_path / f"cloud{suffix}"
    # Out-of-range components are clamped as they are written.
    write_cloud(out, positions, normals, np.vstack([COLORS[:-1], [[1.5, -1, np.nan]]]))
    read_positions, read_normals, colors = clouds.read_colored_cloud(out)
    np.testing.assert_array_equal(read_positions, positions)
    expected = np.vstack([COLORS[:-1], [[1, 0, 0]]])
    np.testing.assert_allclose(colors, expected, atol=step / 2 + 1e-7, rtol=0)
    assert cloud_size(out) == 50
    if suffix == ".ply":  # other readers see uchar colours
        vertex = PlyData.read(out)["vertex"]
        assert vertex["red"].dtype == np.uint8
        np.testing.assert_array_equal(vertex["green"], np.rint(expected[:, 1] * 255))
    if suffix != ".xyzrgb":
        np.testing.assert_array_equal(read_normals, normals)
        assert clouds.read_colored_cloud(write_plain(tmp_path / f"plain{suffix}"))[2] is None


def write_plain(path):
    write_cloud(path, *random_cloud(5))
    return path


@pytest.mark.parametrize("suffix, colors, message", [
    (".xyzn", COLORS, "a .xyzn cloud holds no colours; write .npz, .ply, .xyzrgb"),
    (".xyz", COLORS, "a .xyz cloud holds no colours"),
    (".xyzrgb", None, "a .xyzrgb cloud holds colours, and none were given"),
])
def test_colours_a_format_cannot_keep_are_refused_not_dropped(tmp_path, suffix, colors,
                                                              message):
    with pytest.raises(ValueError, match=message):
        write_cloud(tmp_path / f"cloud{suffix}", *random_cloud(50), colors)
    assert not list(tmp_path.iterdir())


def test_ply_colours_of_other_writers_scale_by_their_type(tmp_path):
    dtype = [(name, "f4") for name in FIELDS] + [("red", "u2"), ("green", "u2"),
                                                 ("blue", "f4")]
    vertices = np.zeros(2, dtype=dtype)
    vertices["red"], vertices["green"], vertices["blue"] = [65535, 0], [32768, 1], [0.25, 1]
    path = tmp_path / "other.ply"
    PlyData([PlyElement.describe(vertices, "vertex")], text=True).write(path)
    np.testing.assert_allclose(clouds.read_colored_cloud(path)[2],
                               [[1, 32768 / 65535, 0.25], [0, 1 / 65535, 1]], rtol=1e-6)


def test_ply_without_normals_is_refused(tmp_path):
    vertices = np.zeros(3, dtype=[("x", "f4"), ("y", "f4"), ("z", "f4")])
    path = tmp_path / "bare.ply"
    PlyData([PlyElement.describe(vertices, "vertex")]).write(path)
    with pytest.raises(CloudError, match="PLY vertices without nx, ny, nz"):
        read_cloud(path)


@pytest.mark.parametrize("suffix", [".ply", ".npz", ".xyz"])
def test_a_cut_short_cloud_is_not_complete(tmp_path, suffix):
    path = tmp_path / f"cloud{suffix}"
    write_cloud(path, *random_cloud(40))
    assert cloud_size(path) == 40
    data = path.read_bytes()
    path.write_bytes(data[: len(data) - 30])
    assert cloud_size(path) is None
    with pytest.raises(CloudError):
        read_cloud(path)


def read_with_numpy_or_plyfile(path) -> tuple[np.ndarray, np.ndarray | None]:
    """(positions, normals or None) as other readers see the file."""
    kind = path.suffix
    if kind == ".ply":
        vertex = PlyData.read(path)["vertex"]
        rows = np.stack([vertex[field] for field in FIELDS], axis=1)
    elif kind == ".npz":
        with np.load(path) as archive:
            return archive["positions"], archive["normals"]
    else:
        rows = np.loadtxt(path, dtype=np.float32, ndmin=2)
    return rows[:, :3], (rows[:, 3:] if rows.shape[1] == 6 else None)


@pytest.mark.parametrize("suffix", [".ply", ".npz", ".xyzn", ".xyz"])
def test_formats_round_trip_through_other_readers(tmp_path, suffix):
    positions, normals = random_cloud(30)
    path = tmp_path / f"cloud{suffix}"
    write_cloud(path, positions, normals)
    theirs = read_with_numpy_or_plyfile(path)
    ours = read_cloud(path)
    np.testing.assert_array_equal(theirs[0], positions)
    np.testing.assert_array_equal(ours[0], positions)
    if suffix == ".xyz":  # positions only: three columns, and no normals to read back
        assert theirs[1] is None and not ours[1].any()
    else:
        np.testing.assert_array_equal(theirs[1], normals)
        np.testing.assert_array_equal(ours[1], normals)


@pytest.mark.parametrize("suffix", [".ply", ".xyzn", ".xyz"])
def test_open3d_reads_the_normals_where_the_format_has_them(tmp_path, suffix):
    o3d = pytest.importorskip(
        "open3d", reason="Open3D is not installed (make bench installs it)", exc_type=ImportError)
    positions, normals = random_cloud(30)
    path = tmp_path / f"cloud{suffix}"
    write_cloud(path, positions, normals)
    cloud = o3d.io.read_point_cloud(str(path))
    np.testing.assert_allclose(np.asarray(cloud.points), positions, rtol=1e-6)
    assert cloud.has_normals() == (suffix != ".xyz")
    if cloud.has_normals():
        np.testing.assert_allclose(np.asarray(cloud.normals), normals, rtol=1e-6, atol=1e-7)
