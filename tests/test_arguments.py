"""Argument extraction and conversion, with the exact messages and their order of checks."""

import os
import pathlib

import pytest

import vertisift
from conftest import READ_ERROR_PREFIX, meshgen

f = vertisift.reduce_stl_points


@pytest.fixture
def cube_path(write_binary):
    return str(write_binary(meshgen.cube()))


@pytest.mark.parametrize("call, message", [
    (lambda p: f(), "reduce_stl_points() missing 2 required positional arguments: 'file_path' and 'clusters'"),
    (lambda p: f(p), "reduce_stl_points() missing 1 required positional argument: 'clusters'"),
    (lambda p: f(clusters=5), "reduce_stl_points() missing 1 required positional argument: 'file_path'"),
    (lambda p: f(file_path=p), "reduce_stl_points() missing 1 required positional argument: 'clusters'"),
    (lambda p: f(p, 3, 1), "reduce_stl_points() takes 2 positional arguments but 3 were given"),
    # too many positionals is reported before any keyword is looked at
    (lambda p: f(p, 3, 1, 2, bogus=1), "reduce_stl_points() takes 2 positional arguments but 4 were given"),
    (lambda p: f(p, file_path=p), "reduce_stl_points() got multiple values for argument 'file_path'"),
    (lambda p: f(p, 3, clusters=3), "reduce_stl_points() got multiple values for argument 'clusters'"),
    (lambda p: f(p, Clusters=3), "reduce_stl_points() got an unexpected keyword argument 'Clusters'"),
    (lambda p: f(p, 3, **{"file_path\udcff": 1}), "reduce_stl_points() got an unexpected keyword argument 'file_path\ufffd'"),
    # the first bad keyword ends the walk
    (lambda p: f(p, bogus=1, file_path=p), "reduce_stl_points() got an unexpected keyword argument 'bogus'"),
    (lambda p: f(p, file_path=p, bogus=1), "reduce_stl_points() got multiple values for argument 'file_path'"),
    # file_path is converted before clusters
    (lambda p: f(b"x.stl", "not a count"), "argument 'file_path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda p: f(None, 3), "argument 'file_path': expected str, bytes or os.PathLike object, not NoneType"),
    (lambda p: f(p, 2.0), "argument 'clusters': 'float' object cannot be interpreted as an integer"),
    (lambda p: f(p, "3"), "argument 'clusters': 'str' object cannot be interpreted as an integer"),
    (lambda p: f(p, None), "argument 'clusters': 'NoneType' object cannot be interpreted as an integer"),
])
def test_type_errors(cube_path, call, message):
    with pytest.raises(TypeError) as caught:
        call(cube_path)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert caught.value.args == (message,)


@pytest.mark.parametrize("clusters", [-1, 2**64, -(2**70), 2**100])
def test_out_of_range_counts_raise_overflow_without_prefix(cube_path, clusters):
    with pytest.raises(OverflowError) as caught:
        f(cube_path, clusters)
    assert not str(caught.value).startswith("argument")


@pytest.mark.parametrize("call_form", [
    lambda p, c: f(p, c),
    lambda p, c: f(p, clusters=c),
    lambda p, c: f(file_path=p, clusters=c),
    lambda p, c: f(clusters=c, file_path=p),
    lambda p, c: f(pathlib.Path(p), c),
])
def test_call_forms_alike(cube_path, call_form):
    positions, normals = call_form(cube_path, 5)
    assert len(positions) == len(normals) == 5


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntWithIndex(int):
    def __index__(self):  # not consulted: an int subclass converts directly
        raise AssertionError("__index__ of an int subclass was called")


@pytest.mark.parametrize("clusters, expected", [
    (True, 1), (False, 0), (0, 0), (Index(4), 4), (IntWithIndex(3), 3),
])
def test_count_conversions(cube_path, clusters, expected):
    positions, normals = f(cube_path, clusters)
    assert len(positions) == expected


def test_numpy_integer_scalar_is_accepted(cube_path):
    np = pytest.importorskip("numpy")
    assert len(f(cube_path, np.int64(6))[0]) == 6
    assert len(f(cube_path, np.uint8(2))[0]) == 2


def test_index_errors_pass_through(cube_path):
    class Raises:
        def __index__(self):
            raise ValueError("no index here")

    class ReturnsFloat:
        def __index__(self):
            return 1.5

    with pytest.raises(ValueError, match="^no index here$"):
        f(cube_path, Raises())
    with pytest.raises(TypeError) as caught:
        f(cube_path, ReturnsFloat())
    assert str(caught.value) == "argument 'clusters': __index__ returned non-int (type float)"
    with pytest.raises(OverflowError):
        f(cube_path, Index(-5))


def test_largest_count_is_a_value_not_a_failure(tmp_path):
    # 2**64 - 1 is also the failure marker of the conversion; on an empty mesh the count
    # converts and an empty result comes back.
    path = meshgen.write_binary_stl(tmp_path / "empty.stl", [])
    assert f(str(path), 2**64 - 1) == ([], [])


def test_fspath_protocol(cube_path):
    class PathLike:
        def __init__(self, value):
            self.value = value

        def __fspath__(self):
            return self.value

    class Broken:
        def __fspath__(self):
            raise KeyError("nope")

    class BrokenWithTypeError:
        def __fspath__(self):
            raise TypeError("inner")

    assert len(f(PathLike(cube_path), 2)[0]) == 2
    with pytest.raises(TypeError) as caught:
        f(PathLike(cube_path.encode()), 2)
    assert str(caught.value) == "argument 'file_path': 'bytes' object cannot be converted to 'PyString'"
    with pytest.raises(KeyError):
        f(Broken(), 2)
    with pytest.raises(TypeError) as caught:
        f(BrokenWithTypeError(), 2)
    assert str(caught.value) == "argument 'file_path': inner"


def test_type_error_cause_is_carried_over(cube_path):
    class Chained:
        def __index__(self):
            try:
                raise KeyError("root")
            except KeyError as root:
                raise TypeError("outer") from root

    with pytest.raises(TypeError) as caught:
        f(cube_path, Chained())
    assert str(caught.value) == "argument 'clusters': outer"
    assert isinstance(caught.value.__cause__, KeyError)


def test_str_subclass_path_and_empty_path(cube_path):
    class Text(str):
        pass

    assert len(f(Text(cube_path), 1)[0]) == 1
    with pytest.raises(OSError) as caught:
        f("", 1)
    assert str(caught.value) == READ_ERROR_PREFIX + "No such file or directory (os error 2)"


# A name that is not UTF-8 comes back from os.listdir with surrogate escapes; handing it
# back must open that same file, also when it holds a character outside the Basic
# Multilingual Plane, whether as one code point or as a surrogate pair.
@pytest.mark.parametrize(("raw", "name"), [
    (b"m\xffesh.stl", "m\udcffesh.stl"),
    (b"m\xff\xf0\x9f\x98\x80.stl", "m\udcff\U0001f600.stl"),
    (b"m\xff\xf0\x9f\x98\x80.stl", "m\udcff\ud83d\ude00.stl"),
    (b"\xf4\x8f\xbf\xbf\xff", "\udbff\udfff\udcff"),
])
def test_undecodable_file_name_reaches_the_file(tmp_path, write_binary, raw, name):
    source = write_binary(meshgen.cube())
    with open(os.fsencode(str(tmp_path)) + b"/" + raw, "wb") as out:
        out.write(source.read_bytes())
    assert len(f(str(tmp_path) + "/" + name, 4)[0]) == 4


def test_file_is_not_touched_before_both_arguments_convert(tmp_path):
    missing = str(tmp_path / "missing.stl")
    with pytest.raises(TypeError, match="^argument 'clusters'"):
        f(missing, 1.0)
