"""Mesh files of every supported format through `read_mesh`, `sample` and `sample_mesh`:
round trips of meshes written here, the quirks that real files show, broken files, and the
lenient reading of STL beside the strict one."""

import re
import struct
import warnings

import numpy as np
import pytest

import meshgen
import vertisift
import vertisift_tools
from conftest import READ_ERROR_PREFIX
from vertisift_tools import MeshReadError, StlReadError, _native, read_mesh, sample, sample_mesh
from vertisift_tools.models import MESH_FORMATS

TORUS = meshgen.torus(9, 7)


def corners(faces):
    """The (F, 3, 3) float32 corners of meshgen faces."""
    return np.array([[a, b, c] for _n, a, b, c in faces], dtype=np.float32)


WRITERS = {
    "binary.stl": meshgen.write_binary_stl,
    "ascii.stl": meshgen.write_ascii_stl,
    "lf.obj": meshgen.write_obj,
    "crlf.obj": lambda path, faces: meshgen.write_obj(path, faces, newline="\r\n"),
    "plain.off": meshgen.write_off,
    "ascii.ply": lambda path, faces: meshgen.write_ply(path, faces, "ascii"),
    "le.PLY": lambda path, faces: meshgen.write_ply(path, faces, "binary_little_endian"),
    "be.ply": lambda path, faces: meshgen.write_ply(path, faces, "binary_big_endian"),
}


@pytest.mark.parametrize("name", WRITERS)
def test_round_trip_of_every_format(tmp_path, name):
    path = WRITERS[name](tmp_path / name, TORUS)
    vertices, faces = read_mesh(path)
    assert vertices.dtype == np.float32 and faces.dtype == np.int32
    assert vertices.flags.c_contiguous and faces.flags.c_contiguous
    np.testing.assert_array_equal(vertices[faces], corners(TORUS))
    # Vertices as the writer stored them: once each, in order of first use.
    assert len(vertices) == len(meshgen.indexed(TORUS)[0])


@pytest.mark.parametrize("name", ["binary.stl", "lf.obj", "be.ply"])
@pytest.mark.parametrize("method", ["vertices", "surface"])
def test_sample_of_a_file_is_sample_mesh_of_its_arrays(tmp_path, name, method):
    path = WRITERS[name](tmp_path / name, TORUS)
    options = dict(method=method, seed=5, normals="geometry")
    from_file = sample(path, 300, **options)
    in_memory = sample_mesh(*read_mesh(path), 300, **options)
    as_double = sample_mesh(read_mesh(path)[0].astype(np.float64),
                            read_mesh(path)[1].astype(np.int64), 300, **options)
    # Faces of any integer width and byte order are read as the indices they hold.
    as_other = sample_mesh(read_mesh(path)[0], read_mesh(path)[1].astype(">u2"), 300, **options)
    for got in (in_memory, as_double, as_other):
        np.testing.assert_array_equal(got[0], from_file[0])
        np.testing.assert_array_equal(got[1], from_file[1])


def write_text(tmp_path, name, text):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return path


QUAD = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0)]


@pytest.mark.parametrize("name, text", [
    # ModelNet writes the counts glued to the keyword.
    ("modelnet.off", "OFF4 1 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n4 0 1 2 3\n"),
    ("counts-on-keyword-line.off", "OFF 4 1 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n4 0 1 2 3 255 0 0\n"),
    ("negative.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf -4 -3 -2 -1\n"),
    ("slashes.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvn 0 0 1\n"
                    "f 1/1/1 2//1 3/1 4\n"),
    ("continued.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\ng part\nf 1 2 \\\n 3 4\n"),
    ("polygon.ply", "ply\nformat ascii 1.0\ncomment quad\nelement vertex 4\nproperty double x\n"
                    "property double y\nproperty double z\nelement face 1\n"
                    "property list ushort uint vertex_index\nend_header\n"
                    "0 0 0\n1 0 0\n1 1 0\n0 1 0\n4 0 1 2 3\n"),
])
def test_polygons_and_quirks(tmp_path, name, text):
    vertices, faces = read_mesh(write_text(tmp_path, name, text))
    np.testing.assert_array_equal(vertices, np.array(QUAD, dtype=np.float32))
    np.testing.assert_array_equal(faces, [[0, 1, 2], [0, 2, 3]])  # a fan from the first corner


@pytest.mark.parametrize("name, text, words", [
    ("short.off", "OFF\n4 2 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n3 0 1 2\n", ["OFF", "end"]),
    ("range.off", "OFF\n3 1 0\n0 0 0\n1 0 0\n1 1 0\n3 0 1 3\n", ["OFF", "line 6"]),
    ("range.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nf 1 2 4\n", ["OBJ", "line 4"]),
    ("zero.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nf 0 1 2\n", ["OBJ", "line 4"]),
    ("short.ply", "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                  "property float z\nend_header\n0 0 0\n1 0 0\n", ["PLY"]),
    ("not.ply", "solid x\nendsolid x\n", ["PLY"]),
    # Every reader quotes what it found alike: UTF-8 kept, '"' and '\\' backslash-escaped.
    ("quoted.ply", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n"
                   "property float y\nproperty float z\nend_header\n0 0 \"é\\\n",
     ["PLY line 8", 'got "\\"é\\\\"']),
    ("quoted.off", "OFF\n1 0 0\n0 0 \"é\\\n", ["OFF line 3", 'got "0 0 \\"é\\\\"']),
])
def test_broken_files_are_mesh_read_errors(tmp_path, name, text, words):
    path = write_text(tmp_path, name, text)
    with pytest.raises(MeshReadError) as caught:
        read_mesh(path)
    error = caught.value
    assert not isinstance(error, StlReadError)
    assert error.errno is None and error.filename == str(path)
    assert all(word in error.strerror for word in words), error.strerror
    assert "\n" not in error.strerror
    with pytest.raises(MeshReadError, match=words[0]):
        sample(path, 10)


def test_binary_ply_cut_short_names_the_byte(tmp_path):
    path = meshgen.write_ply(tmp_path / "cut.ply", TORUS)
    path.write_bytes(path.read_bytes()[:-7])
    with pytest.raises(MeshReadError, match=r"PLY.*byte \d+"):
        read_mesh(path)


def test_stored_vertex_normals_under_file_normals(tmp_path):
    # A flat quad whose vertices all store (0, 0, 2): "file" gives the stored normal, made
    # unit, at every vertex and every surface point; "geometry" the winding's (0, 0, -1).
    header = (b"ply\nformat binary_big_endian 1.0\nelement vertex 4\nproperty float x\n"
              b"property float y\nproperty float z\nproperty float nx\nproperty float ny\n"
              b"property float nz\nelement face 1\nproperty list uchar int vertex_indices\n"
              b"end_header\n")
    body = b"".join(struct.pack(">6f", *v, 0, 0, 2) for v in QUAD)
    path = write_text(tmp_path, "normals.ply", header + body + struct.pack(">B4i", 4, 3, 2, 1, 0))
    for method in ("vertices", "surface"):
        _, normals = sample(path, 20, method=method, normals="file", seed=1)
        np.testing.assert_array_equal(normals, np.tile([0, 0, 1], (20, 1)))
        _, normals = sample(path, 20, method=method, normals="geometry", seed=1)
        np.testing.assert_array_equal(normals, np.tile([0, 0, -1], (20, 1)))


@pytest.mark.parametrize("vertices, faces, message", [
    (QUAD, [[0, 1, 4]], "vertex 4, but there are 4"),
    (QUAD, [[0, -1, 2]], "vertex -1"),
    (QUAD, np.array([[0, 1, 2**63 + 5]], np.uint64), "vertex 9223372036854775813, but"),
    (QUAD, np.array([[3, -2, 9]], ">i2"), "vertex -2, but there are 4"),
    ([(0, 0, 0), (1, 0, 0), (np.nan, 1, 0)], [[0, 1, 2]],
     re.escape("faces[0] uses vertex 2, whose coordinates are not all finite")),
    # Finite in double precision, infinite in the single precision sampled.
    ([(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, -1e39, 2)], [[0, 1, 2], [0, 3, 1]],
     re.escape("faces[1] uses vertex 3, whose coordinates overflow single precision "
               "(largest magnitude 1e+39)")),
    # A face before it with a vertex that is not finite at all is named first.
    ([(0, 0, 0), (1, 0, 0), (np.inf, 1, 0), (1e39, 0, 0)], [[0, 1, 2], [0, 3, 1]],
     re.escape("faces[0] uses vertex 2, whose coordinates are not all finite")),
    ([(0, 0), (1, 0), (1, 1)], [[0, 1, 2]], r"shape \(V, 3\)"),
    (QUAD, [[0, 1, 2, 3]], r"shape \(F, 3\)"),
    (QUAD, [[0.0, 1.0, 2.0]], "integers"),
])
def test_sample_mesh_refuses_what_has_no_meaning(vertices, faces, message):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a refusal, not a warning of the cast as well
        with pytest.raises(ValueError, match=message):
            sample_mesh(np.array(vertices, dtype=np.float64), np.array(faces), 10)


def test_mesh_read_error_is_the_base_of_stl_read_error(tmp_path):
    path = write_text(tmp_path, "bad.stl", b"\x89PNG....")
    with pytest.raises(StlReadError) as caught:
        read_mesh(path)
    assert isinstance(caught.value, MeshReadError) and isinstance(caught.value, OSError)
    assert vertisift_tools.MeshReadError is MeshReadError


# STL as other tools write it: read by default, refused with strict=True exactly as
# reduce_stl_points refuses it.
LENIENT_STL = {
    "upper-case.stl": "SOLID part\n FACET NORMAL 0 0 1\n  OUTER LOOP\n   VERTEX 0 0 0\n"
                      "   VERTEX 1 0 0\n   VERTEX 0 1 0\n  ENDLOOP\n ENDFACET\nENDSOLID part\n",
    "blank-before-solid.stl": "  solid part\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\n"
                              "vertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\nendsolid\n",
    "cr-only.stl": "solid part\rfacet normal 0 0 1\router loop\rvertex 0 0 0\rvertex 1 0 0\r"
                   "vertex 0 1 0\rendloop\rendfacet\rendsolid part\r",
    "no-endsolid.stl": "solid part\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\n"
                       "vertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\n",
}


@pytest.mark.parametrize("name", LENIENT_STL)
def test_stl_as_other_tools_write_it(tmp_path, name):
    path = write_text(tmp_path, name, LENIENT_STL[name])
    vertices, faces = read_mesh(path)
    np.testing.assert_array_equal(vertices[faces], [[[0, 0, 0], [1, 0, 0], [0, 1, 0]]])
    with pytest.raises(OSError) as strict:
        read_mesh(path, strict=True)
    with pytest.raises(OSError) as extension:
        vertisift.reduce_stl_points(str(path), 4)
    assert str(extension.value) == READ_ERROR_PREFIX + strict.value.strerror
    with pytest.raises(StlReadError):
        sample(path, 4, strict=True)


@pytest.mark.parametrize("name", ["fbx", "PLY", ""])
def test_formats_are_those_of_the_native_table(tmp_path, name):
    """The package maps the suffixes of the native table, and the native read refuses a name
    the table lacks rather than read the file as some other format."""
    native = _native.formats()
    assert native == (("stl", (".stl",)), ("off", (".off",)), ("obj", (".obj",)),
                      ("ply", (".ply",)), ("gltf", (".glb", ".gltf")))
    assert {suffix: format for format, suffixes in native for suffix in suffixes} == MESH_FORMATS
    path = meshgen.write_ply(tmp_path / "torus.ply", TORUS, "ascii")
    with pytest.raises(ValueError) as raised:
        _native.read_mesh(str(path), format=name, strict=False)
    assert str(raised.value) == f"unknown mesh format '{name}'"
