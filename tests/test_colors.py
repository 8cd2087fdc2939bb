"""Colour at every point: the points' colours are the file's or the caller's colours carried
by each point's face and weights, white where a model stores none."""

import numpy as np
import pytest

import meshgen
from cli_support import make_tree, run_cli
from conftest import COLOUR_DATA, MESH_DATA, needs_colour_data, needs_mesh_data

vertisift_tools = pytest.importorskip("vertisift_tools")
sample, sample_mesh = vertisift_tools.sample, vertisift_tools.sample_mesh

# A square of two triangles and a fifth vertex no face uses.
VERTICES = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [5, 5, 5]], np.float32)
FACES = np.array([[0, 1, 2], [0, 2, 3]])
# Out-of-range and NaN components are clamped (NaN as 0) at the corners, before the blend.
COLORS = np.array([[1, 0, 0], [0, 1, 0], [0, 0, 1], [1.5, -0.5, np.nan], [0, 0, 0]],
                  np.float32)


def clamped(rgb):
    return np.clip(np.nan_to_num(rgb, nan=0.0), 0, 1)


@pytest.mark.parametrize("method", ["surface", "fps", "poisson"])
def test_a_surface_point_blends_its_corner_colours_by_its_weights(method):
    _, _, colors, faces, weights = sample_mesh(
        VERTICES, FACES, 200, method=method, seed=5, colors=COLORS, return_faces=True,
        return_barycentric=True)
    corners = clamped(COLORS[FACES[faces]]).astype(np.float64)  # (n, 3 corners, rgb)
    expected = np.einsum("nk,nkc->nc", weights.astype(np.float64), corners)
    np.testing.assert_allclose(colors, expected, atol=1e-6)
    # Every method blends: no point sits at a corner alone.
    assert (colors.max(axis=1) < 1).any()


@pytest.mark.parametrize("given, scale", [(np.uint8, 255), (np.uint16, 65535), (np.float64, 1)])
def test_a_vertex_takes_its_own_colour_in_any_encoding(given, scale):
    rgba = np.hstack([clamped(COLORS), np.full((5, 1), 0.25)]) * scale
    positions, _, colors = sample_mesh(VERTICES, FACES, 40, seed=2, colors=rgba.astype(given))
    by_position = {tuple(p): clamped(c) for p, c in zip(VERTICES, COLORS)}
    for position, color in zip(positions, colors):
        np.testing.assert_allclose(color, by_position[tuple(position)], atol=1e-7)


def test_a_model_without_colour_is_white_and_the_draw_is_unchanged(write_binary):
    path = write_binary(meshgen.torus(12, 6))
    plain = sample(path, 64, method="fps", seed=9)
    positions, normals, colors = sample(path, 64, method="fps", seed=9, colors=True)
    np.testing.assert_array_equal(positions, plain[0])
    np.testing.assert_array_equal(normals, plain[1])
    np.testing.assert_array_equal(colors, np.ones((64, 3), np.float32))
    assert colors.dtype == np.float32


@pytest.mark.parametrize("colors, message", [
    (COLORS[:4], r"colors must have shape \(5, 3\) or \(5, 4\), not \(4, 3\)"),
    (COLORS[:, :2], r"not \(5, 2\)"),
    (COLORS.astype(np.int32), "colors must be uint8, uint16 or floats, not int32"),
])
def test_colours_that_do_not_fit_the_vertices_are_refused(colors, message):
    with pytest.raises(ValueError, match=message):
        sample_mesh(VERTICES, FACES, 3, colors=colors)


def test_the_command_keeps_colours_and_says_when_a_model_has_none(tmp_path):
    pytest.importorskip("h5py")
    make_tree(tmp_path / "in")
    # A textured model whose texture is missing: coloured, and said in a warning.
    (tmp_path / "in" / "tex").mkdir()
    (tmp_path / "in" / "tex" / "m.mtl").write_text("newmtl wood\nKd 1 0 0\nmap_Kd gone.png\n")
    (tmp_path / "in" / "tex" / "q.obj").write_text(
        "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nusemtl wood\nf 1/1 2/1 3/1\n")
    out = tmp_path / "out.ply"
    result = run_cli("reduce", tmp_path / "in" / "a0.stl", 30, "-o", out, "--colors")
    assert result.returncode == 0, result.stderr
    assert "reduce: warning: the model stores no colours: its points are white (1, 1, 1)" \
        in result.stderr
    np.testing.assert_array_equal(vertisift_tools.read_colored_cloud(out)[2],
                                  np.ones((30, 3)))

    batch = run_cli("batch", tmp_path / "in", tmp_path / "h5", 30, "--format", "h5",
                    "--colors", "--method", "surface", "-q")
    assert batch.returncode == 1, batch.stderr  # the broken model
    listing = batch.stderr.split("their points are white (1, 1, 1):\n")[1].splitlines()[:5]
    assert listing == ["  a0.stl", "  b1.STL", "  c2.stl", "  sub/d3.stl", "  sub/deeper/e4.Stl"]
    assert "batch: warning: texture 'gone.png' of material 'wood' in " in batch.stderr
    import h5py
    with h5py.File(tmp_path / "h5" / "ply_data_all0.h5") as shard:
        assert shard["rgb"].shape == shard["data"].shape
        # White for the models without colour, Kd for the one whose texture is missing.
        assert {tuple(c) for c in shard["rgb"][()].reshape(-1, 3)} == {(1, 1, 1), (1, 0, 0)}
    # Colours are part of the batch's record: a rerun without them is refused.
    again = run_cli("batch", tmp_path / "in", tmp_path / "h5", 30, "--format", "h5",
                    "--method", "surface", "-q")
    assert again.returncode == 2 and "colors yes before, no now" in again.stderr


@pytest.mark.parametrize("arguments, message", [
    (["--colors", "-o", "{out}.xyzn"], "--colors: a .xyzn cloud holds no colours; write .npz"),
    (["-o", "{out}.xyzrgb"], "a .xyzrgb cloud holds colours: add --colors"),
])
def test_the_command_refuses_a_cloud_format_that_would_lose_or_lack_colours(
        tmp_path, write_binary, arguments, message):
    model = write_binary(meshgen.torus(8, 4))
    arguments = [a.replace("{out}", str(tmp_path / "cloud")) for a in arguments]
    result = run_cli("reduce", model, 10, *arguments)
    assert result.returncode == 2 and message in result.stderr, result.stderr
    assert not list(tmp_path.glob("cloud*"))


# The square of two triangles with a colour at each corner (0-255), and one per face.
LEVELS = np.array([[255, 0, 0], [0, 255, 0], [0, 0, 255], [255, 255, 0]])
FACE_LEVELS = np.array([[0, 128, 255], [255, 64, 0]])


def square_files(folder, faces_coloured):
    """The coloured square as OFF, PLY and OBJ (OBJ colours vertices only)."""
    corners = VERTICES[:4]
    if faces_coloured:
        off_vertices = "".join(f"{x} {y} {z}\n" for x, y, z in corners)
        off_faces = "".join(f"3 {a} {b} {c} {r} {g} {bl}\n"
                            for (a, b, c), (r, g, bl) in zip(FACES, FACE_LEVELS))
        ply_vertex, ply_face = [], [f"property uchar {c}" for c in ("red", "green", "blue")]
        vertex_rows = [f"{x} {y} {z}" for x, y, z in corners]
        face_rows = [f"3 {a} {b} {c} {r} {g} {bl}" for (a, b, c), (r, g, bl) in zip(FACES, FACE_LEVELS)]
    else:
        off_vertices = "".join(f"{x} {y} {z} {r} {g} {b}\n" for (x, y, z), (r, g, b) in
                               zip(corners, LEVELS))
        off_faces = "".join(f"3 {a} {b} {c}\n" for a, b, c in FACES)
        ply_vertex, ply_face = [f"property ushort {c}" for c in ("red", "green", "blue")], []
        vertex_rows = [f"{x} {y} {z} {r * 257} {g * 257} {b * 257}"
                       for (x, y, z), (r, g, b) in zip(corners, LEVELS)]
        face_rows = [f"3 {a} {b} {c}" for a, b, c in FACES]
        obj = "".join(f"v {x} {y} {z} {r / 255} {g / 255} {b / 255}\n"
                      for (x, y, z), (r, g, b) in zip(corners, LEVELS))
        (folder / "square.obj").write_text(obj + "f 1 2 3\nf 1 3 4\n")
    (folder / "square.off").write_text(f"{'OFF' if faces_coloured else 'COFF'}\n4 2 0\n"
                                       + off_vertices + off_faces)
    header = ["ply", "format ascii 1.0", "element vertex 4", "property float x",
              "property float y", "property float z", *ply_vertex, "element face 2",
              "property list uchar int vertex_indices", *ply_face, "end_header"]
    (folder / "square.ply").write_text("\n".join(header + vertex_rows + face_rows) + "\n")
    return sorted(folder.glob("square.*"))


@pytest.mark.parametrize("faces_coloured", [False, True], ids=["vertex", "face"])
def test_every_format_gives_the_same_colours_of_the_same_mesh(tmp_path, faces_coloured):
    drawn = [sample(path, 300, method="surface", seed=4, colors=True, return_faces=True,
                    return_barycentric=True) for path in square_files(tmp_path, faces_coloured)]
    _, _, colors, faces, weights = drawn[0]
    for other in drawn[1:]:
        np.testing.assert_allclose(other[2], colors, atol=2e-7)
    if faces_coloured:
        expected = FACE_LEVELS[faces] / 255
    else:
        expected = np.einsum("nk,nkc->nc", weights, LEVELS[FACES[faces]] / 255)
    np.testing.assert_allclose(colors, expected, atol=1e-6)


# Mean RGB (0-255) of 10,000 surface points, seed 0, of real coloured files: where trimesh's
# sample_color=True agrees, its figure; cycloidal's vertices are all white beside faces of
# seven colours, which are taken. Of the materials: box.obj is Blender's Kd 0.8; regr01 and
# cornell_box are the area-weighted means of their faces' Kd, computed apart (trimesh takes
# one material for all); capsule's texture as trimesh samples it but filtered bilinearly.
REAL_MEANS = [
    (COLOUR_DATA, "mikedh+trimesh/models/fuze.obj", (131.0, 43.8, 57.3)),
    # The same model as textured PLY, binary and text: the same colours.
    (COLOUR_DATA, "mikedh+trimesh/models/fuze.ply", (131.0, 43.8, 57.3)),
    (COLOUR_DATA, "mikedh+trimesh/models/fuze_ascii.ply", (131.0, 43.8, 57.3)),
    (COLOUR_DATA, "mikedh+trimesh/models/capsule.obj", (21.6, 22.0, 22.5)),
    (COLOUR_DATA, "mikedh+trimesh/models/box.obj", (204.0, 204.0, 204.0)),
    (COLOUR_DATA, "assimp+assimp/test/models/OBJ/regr01.obj", (160.2, 150.1, 104.0)),
    (COLOUR_DATA, "tinyobjloader+tinyobjloader/models/cornell_box.obj", (215.7, 215.7, 176.3)),
    (COLOUR_DATA, "mikedh+trimesh/models/fixed_top.ply", (51.0, 102.0, 177.0)),
    (COLOUR_DATA, "mikedh+trimesh/models/nancolor.obj", (136.7, 222.5, 120.6)),
    (COLOUR_DATA, "google+draco/testdata/test_pos_color.ply", (188.1, 27.2, 93.7)),
    (COLOUR_DATA, "google+draco/testdata/test_more_datatypes.ply", (95.0, 0.0, 194.0)),
    (COLOUR_DATA, "assimp+assimp/test/models/OBJ/cube_with_vertexcolors.obj", (77.1, 42.9, 86.9)),
    (COLOUR_DATA, "assimp+assimp/test/models/PLY/float-color.ply", (0.0, 0.0, 255.0)),
    (MESH_DATA, "trimesh/cycloidal.ply", (152.5, 154.3, 174.5)),
    (MESH_DATA, "geomview/vertcube.off", (99.3, 154.7, 102.6)),
]


@pytest.mark.parametrize("root, name, mean", [
    pytest.param(root, name, mean, id=name.rsplit("/", 1)[-1],
                 marks=needs_colour_data if root is COLOUR_DATA else needs_mesh_data)
    for root, name, mean in REAL_MEANS])
def test_real_coloured_files_give_their_colours(root, name, mean):
    colors = sample(root / name, 10_000, method="surface", seed=0, colors=True)[2]
    np.testing.assert_allclose(colors.mean(axis=0) * 255, mean, atol=1.5)


def binary_stl(path, header, words):
    """Binary STL of one triangle per attribute word, each apart from the others."""
    records = b"".join(
        np.array([0, 0, 1, 3 * f, 0, 0, 3 * f + 1, 0, 0, 3 * f, 1, 0], "<f4").tobytes()
        + int(word).to_bytes(2, "little") for f, word in enumerate(words))
    path.write_bytes(header.ljust(80, b" ") + len(words).to_bytes(4, "little") + records)
    return path


@pytest.mark.parametrize("method", ["vertices", "surface"])
@pytest.mark.parametrize("header, words, expected", [
    # COLOR= names the default (bit 15 set) and red in bits 0-4.
    (b"COLOR=\xff\x00\x80\xff", [31, 0x8000, 31 << 10], [[1, 0, 0], [1, 0, 128 / 255], [0, 0, 1]]),
    # Without it red is in bits 10-14, and a facet with bit 15 clear stays white.
    (b"solid-less", [0x8000 | 31, 0x1f, 0x8000 | 31 << 10], [[0, 0, 1], [1, 1, 1], [1, 0, 0]]),
])
def test_a_binary_stl_facet_gives_its_points_its_colour(tmp_path, method, header, words,
                                                        expected):
    path = binary_stl(tmp_path / "facets.stl", header, words)
    positions, _, colors = sample(str(path), 60, method=method, seed=3, colors=True)
    faces = (positions[:, 0] // 3).astype(int)  # face f lies in 3 f <= x <= 3 f + 1
    np.testing.assert_allclose(colors, np.array(expected, np.float32)[faces], atol=1e-6)
    assert set(faces.tolist()) == {0, 1, 2}
