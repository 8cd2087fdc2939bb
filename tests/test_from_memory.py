"""Models read from bytes held in memory (`data=`), their side files given by a callable
(`side_files=`), through the native module: the same points as the file of those bytes, the
callable asked for the names the model writes once the shared checks pass, its OSError a
missing file and any other exception the call's, and the arguments' errors."""

import errno
import os
import sys

import numpy as np
import pytest

import meshgen
from gltf_writer import Gltf
from vertisift_tools import MeshReadError, _native
from vertisift_tools.models import mesh_format

TORUS = meshgen.torus(9, 7)
DRAW = dict(normals="auto", distinct=False, candidates=None, return_barycentric=False,
            strict=False)


def sampled(path, name=None, *, method="surface", colors=False, **given):
    """The native sample of `path` (or, with `data`, of the model called `name`), with the
    points' faces when the method is on the surface."""
    text = str(name or path)
    return _native.sample(text, 400, method=method, colors=colors, seed=11,
                          return_faces=method != "vertices", format=mesh_format(text),
                          **(DRAW | given))


class Served:
    """A side_files callable that serves a dict of names to bytes and remembers each call;
    a name it lacks is missing, as a file would be."""

    def __init__(self, files=None):
        self.files = files or {}
        self.calls = []

    def __call__(self, name):
        self.calls.append(name)
        if name not in self.files:
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), name)
        return self.files[name]


def gltf_with_buffer(folder):
    """m.gltf and its buffer m.bin: the torus as one primitive."""
    vertices, triangles = meshgen.indexed(TORUS)
    g = Gltf()
    g.add("meshes", {"primitives": [{"attributes": {"POSITION": g.accessor(
        np.array(vertices, np.float32))}, "indices": g.accessor(
        np.array(triangles, np.uint32).reshape(-1))}]})
    g.add("nodes", {"mesh": 0})
    g.scene([0])
    return g.write_gltf(folder / "m.gltf")


def outcome(run):
    """What a call gives: its result, or its exception's type, text, errno and filename."""
    try:
        return run()
    except OSError as error:
        return type(error), str(error), error.errno, error.filename


WRITERS = {
    "binary.stl": meshgen.write_binary_stl,
    "ascii.stl": meshgen.write_ascii_stl,
    "m.obj": meshgen.write_obj,
    "m.off": meshgen.write_off,
    "ascii.ply": lambda path, faces: meshgen.write_ply(path, faces, "ascii"),
    "be.ply": lambda path, faces: meshgen.write_ply(path, faces, "binary_big_endian"),
    "m.glb": meshgen.write_glb,
}


@pytest.mark.parametrize("method", ["vertices", "surface"])
@pytest.mark.parametrize("name", WRITERS)
def test_bytes_sample_as_the_file_of_those_bytes(tmp_path, name, method):
    path = WRITERS[name](tmp_path / name, TORUS)
    data = path.read_bytes()
    from_file = sampled(path, method=method)
    # The name alone says the format; nothing is opened there.
    for given in (data, bytearray(data), memoryview(data)):
        assert sampled(path, "elsewhere/" + name, data=given, method=method) == from_file
    read = _native.read_mesh(str(path), format=mesh_format(name), strict=False, data=data)
    assert [bytes(part) for part in read[:2]] == [
        bytes(part) for part in _native.read_mesh(str(path), format=mesh_format(name),
                                                  strict=False)[:2]]


def textured_obj(folder, libraries=("q.mtl",), image=True):
    """q.obj on a textured material of q.mtl (through the mtllib of `libraries`), its texture
    tex.png."""
    (folder / "q.mtl").write_text("newmtl a\nKd 1 0.5 1\nmap_Kd tex.png\n")
    if image:
        pytest.importorskip("PIL.Image").fromarray(
            np.arange(48, dtype=np.uint8).reshape(4, 4, 3)).save(folder / "tex.png")
    (folder / "q.obj").write_text(
        "".join(f"mtllib {name}\n" for name in libraries)
        + "v 0 0 0\nv 1 0 0\nv 1 1 0\nvt 0 0\nvt 1 0\nvt 1 1\nusemtl a\nf 1/1 2/2 3/3\n")
    return folder / "q.obj"


def test_obj_with_its_library_and_texture_from_the_callable(tmp_path):
    path = textured_obj(tmp_path)
    served = Served({name: (tmp_path / name).read_bytes() for name in ("q.mtl", "tex.png")})
    got = sampled(path, "q.obj", colors=True, data=path.read_bytes(), side_files=served)
    assert got == sampled(path, colors=True)
    assert served.calls == ["q.mtl", "tex.png"]
    (_rgb, [texture]) = got[2]
    assert texture[2] == served.files["tex.png"]  # the texture's bytes, for Python to decode


def test_gltf_with_its_external_buffer_from_the_callable(tmp_path):
    path = gltf_with_buffer(tmp_path)
    served = Served({"m.bin": (tmp_path / "m.bin").read_bytes()})
    assert sampled(path, data=path.read_bytes(), side_files=served) == sampled(path)
    assert served.calls == ["m.bin"]


@pytest.mark.parametrize("side_files", [Served(), None], ids=["raises", "none"])
def test_a_missing_buffer_is_missing_as_beside_a_file(tmp_path, side_files):
    path = gltf_with_buffer(tmp_path)
    (tmp_path / "m.bin").unlink()
    expected = outcome(lambda: sampled(path))
    assert expected == (FileNotFoundError,
                        f"[Errno 2] No such file or directory (os error 2): '{path}'", 2,
                        str(path))
    assert outcome(lambda: sampled(path, data=path.read_bytes(), side_files=side_files)) == expected


def test_a_missing_texture_is_said_as_beside_a_file(tmp_path):
    path = textured_obj(tmp_path, image=False)
    served = Served({"q.mtl": (tmp_path / "q.mtl").read_bytes()})
    got = sampled(path, data=path.read_bytes(), colors=True, side_files=served)
    assert got == sampled(path, colors=True)
    (_rgb, [texture]) = got[2]
    assert texture[2:4] == (None, "No such file or directory (os error 2)")


def test_an_oserror_without_errno_is_the_side_files_invalid_data(tmp_path):
    path = gltf_with_buffer(tmp_path)

    def refuse(name):
        raise PermissionError(f"the store keeps {name} to itself")

    with pytest.raises(MeshReadError) as raised:
        sampled(path, "store/m.gltf", data=path.read_bytes(), side_files=refuse)
    assert raised.value.strerror == "the store keeps m.bin to itself"
    assert raised.value.filename == "store/m.gltf"


class Broken(Exception):
    pass


@pytest.mark.parametrize("model", ["obj", "gltf"])
@pytest.mark.parametrize("answer, expected", [
    (Broken("no store"), Broken),
    (KeyboardInterrupt(), KeyboardInterrupt),
    (42, "side_files must return a C-contiguous bytes-like object, not int"),
])
def test_any_other_exception_of_the_callable_ends_the_call(tmp_path, model, answer, expected):
    path = (textured_obj(tmp_path, ("q.mtl", "r.mtl"), image=False) if model == "obj"
            else gltf_with_buffer(tmp_path))
    calls = []

    def side_files(name):
        calls.append(name)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    for run in (lambda: sampled(path, data=path.read_bytes(), side_files=side_files),
                lambda: _native.read_mesh(str(path), format=mesh_format(path), strict=False,
                                          data=path.read_bytes(), side_files=side_files)):
        calls.clear()
        with pytest.raises(BaseException) as raised:
            run()
        if isinstance(expected, str):
            assert raised.type is TypeError and str(raised.value) == expected
        else:
            assert raised.value is answer
        assert len(calls) == 1  # the reading stopped there: no second library asked for


@pytest.mark.parametrize("mtllib", ["../x.mtl", "/srv/x.mtl", "https://example.com/x.mtl"])
def test_refused_names_never_reach_the_callable(tmp_path, mtllib):
    path = textured_obj(tmp_path, (mtllib,), image=False)
    served = Served({mtllib: b"newmtl a\nKd 0 0 0\n"})
    assert sampled(path, data=path.read_bytes(), side_files=served) == sampled(path)
    assert served.calls == []


def test_the_callable_gets_the_name_as_written(tmp_path):
    # UTF-8 decoded; bytes that are not UTF-8 as surrogate escapes, as os.listdir gives them.
    data = "mtllib über.mtl\nmtllib ".encode() + b"caf\xe9.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"
    served = Served()
    sampled(tmp_path / "m.obj", data=data, side_files=served)
    assert served.calls == ["über.mtl", "caf\udce9.mtl"]


def test_what_the_callable_returns_is_let_go(tmp_path):
    path = gltf_with_buffer(tmp_path)
    buffer = (tmp_path / "m.bin").read_bytes()
    before = sys.getrefcount(buffer)
    for _ in range(20):
        sampled(path, data=path.read_bytes(), side_files=lambda name: buffer)
    assert sys.getrefcount(buffer) == before


@pytest.mark.parametrize("given, message", [
    (dict(data=3), "data must be None or a C-contiguous bytes-like object, not int"),
    (dict(data="v 0 0 0"), "data must be None or a C-contiguous bytes-like object, not str"),
    (dict(data=memoryview(b"v 0 0 0\n")[::2]),
     "data must be None or a C-contiguous bytes-like object, not memoryview"),
    (dict(side_files=dict), "side_files must be None when data is None"),
    (dict(data=b"", side_files=b"m.mtl"),
     "side_files must be None or a callable, not bytes"),
])
def test_wrong_arguments_are_type_errors(tmp_path, given, message):
    path = meshgen.write_obj(tmp_path / "m.obj", TORUS)
    with pytest.raises(TypeError) as raised:
        sampled(path, **given)
    assert str(raised.value) == message
    with pytest.raises(TypeError) as raised:
        _native.read_mesh(str(path), format="obj", strict=False, **given)
    assert str(raised.value) == message
