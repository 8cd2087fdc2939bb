"""Binary STL reading and the read-failure texts."""

import math
import os
import struct
import subprocess

import pytest

import meshgen
import vertisift
from conftest import READ_ERROR_PREFIX, STL_DATA, needs_stl_data

f = vertisift.reduce_stl_points
EOF_TEXT = READ_ERROR_PREFIX + "failed to fill whole buffer"

TRIANGLE = ((0.0, 0.0, 1.0), (0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0))


def read_error(path, clusters=1):
    with pytest.raises(OSError) as caught:
        f(path, clusters)
    error = caught.value
    assert type(error) is OSError
    assert error.errno is None and error.strerror is None and error.filename is None
    assert error.args == (str(error),)
    return str(error)


def as_set(result):
    positions, normals = result
    return {(tuple(p), tuple(n)) for p, n in zip(positions, normals)}


def test_missing_file(tmp_path):
    assert read_error(str(tmp_path / "nope.stl")) == READ_ERROR_PREFIX + "No such file or directory (os error 2)"


def test_directory(tmp_path):
    assert read_error(str(tmp_path)) == READ_ERROR_PREFIX + "Is a directory (os error 21)"


def test_permission_denied(tmp_path, write_binary):
    if os.geteuid() == 0:
        pytest.skip("root reads any file")
    path = write_binary([TRIANGLE])
    path.chmod(0)
    assert read_error(str(path)) == READ_ERROR_PREFIX + "Permission denied (os error 13)"


@pytest.mark.parametrize("path", ["a\0b.stl", "\0"])
def test_nul_in_path(path):
    assert read_error(path) == READ_ERROR_PREFIX + "file name contained an unexpected NUL byte"


# Only U+DC80..U+DCFF stand for raw bytes; any other surrogate without its partner is refused.
@pytest.mark.parametrize("path", ["\ud800.stl", "a\ud83d", "\ud83dx", "\udc7f", "\udfff\ud800"])
def test_unpaired_surrogate_in_path(path):
    assert read_error(path) == (
        READ_ERROR_PREFIX + "path contains an unpaired surrogate that has no byte form")


@pytest.mark.parametrize("data", [
    b"",                                    # empty file: binary by the probe
    b"\0" * 83,                             # header and part of the count
    b"\0" * 80 + struct.pack("<I", 1),      # count 1, no record
    b"\0" * 80 + struct.pack("<I", 1) + b"\0" * 49,  # record one byte short
    b"\0" * 80 + struct.pack("<I", 3) + b"\0" * 100,  # two of three records
    b"solid",                               # "solid" without a blank is binary
    b"solid\nfacet normal 0 0 1\n",
    b"SOLID x\n",
    b"\xef\xbb\xbfsolid x\n",               # a byte-order mark makes it binary
    b" solid x\n",
    b"solid\tname\n",
])
def test_short_files_fail_to_fill(write_bytes, data):
    assert read_error(str(write_bytes(data))) == EOF_TEXT


def test_huge_count_costs_nothing_until_data_runs_out(write_bytes):
    data = b"\0" * 80 + struct.pack("<I", 0xFFFFFFFF) + struct.pack("<12fH", *sum(TRIANGLE, ()), 0)
    assert read_error(str(write_bytes(data))) == EOF_TEXT


def test_exactly_84_bytes_with_zero_count_is_an_empty_mesh(write_bytes):
    path = str(write_bytes(b"\0" * 80 + struct.pack("<I", 0)))
    assert f(path, 0) == ([], [])
    assert f(path, 5) == ([], [])


def test_records_beyond_the_count_and_trailing_bytes_are_ignored(write_binary, write_bytes):
    other = ((0.0, 0.0, 1.0), (5.0, 5.0, 5.0), (6.0, 5.0, 5.0), (5.0, 6.0, 5.0))
    path = write_binary([TRIANGLE, other], count=1)
    assert {p for p, _ in as_set(f(str(path), 50))} == {(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0)}
    data = write_binary([TRIANGLE]).read_bytes() + b"trailing garbage"
    assert len(f(str(write_bytes(data)), 3)[0]) == 3


def test_header_content_and_attribute_word_are_ignored(write_binary):
    plain = as_set(f(str(write_binary([TRIANGLE])), 3))
    assert as_set(f(str(write_binary([TRIANGLE], header=b"COLOR=\xff\x00\x00", attribute=0xBEEF)), 3)) == plain


def test_solid_header_with_lf_in_count_is_read_as_binary_when_not_utf8(write_binary):
    # "solid " but the header holds a byte that is not UTF-8 before any LF: binary.
    path = write_binary([TRIANGLE], header=b"solid \xff made by a CAD tool")
    assert len(f(str(path), 3)[0]) == 3


def test_values_pass_bit_for_bit_and_widen_exactly(write_binary):
    tenth = struct.unpack("<f", struct.pack("<f", 0.1))[0]
    subnormal = struct.unpack("<f", struct.pack("<I", 1))[0]
    face = ((0.0, 0.0, 1.0), (tenth, -0.0, subnormal), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0))
    positions, _ = f(str(write_binary([face])), 3)
    assert 0.10000000149011612 in [p[0] for p in positions]
    corner = next(p for p in positions if p[0] == tenth)
    assert math.copysign(1.0, corner[1]) == -1.0
    assert corner[2] == 2.0 ** -149


def test_nan_and_infinite_coordinates_are_accepted(write_binary):
    nan, inf = float("nan"), float("inf")
    face = ((0.0, 0.0, 1.0), (nan, 0.0, 0.0), (inf, 1.0, 0.0), (0.0, -inf, 2.0))
    positions, normals = f(str(write_binary([face])), 300)  # every corner shows up w.h.p.
    assert len(positions) == 300
    xs = [p[0] for p in positions]
    assert any(math.isnan(x) for x in xs) and inf in xs


def test_signed_zeros_are_distinct_vertices(write_binary):
    a = ((0.0, 0.0, 1.0), (0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0))
    b = ((0.0, 0.0, 1.0), (-0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0))
    positions, _ = f(str(write_binary([a, b])), 1000)  # one cell per corner is impossible: top-up
    signs = {math.copysign(1.0, p[0]) for p in positions if p[0] == 0.0 and p[1] == 0.0}
    assert signs == {1.0, -1.0}


def test_binary_solid_header_with_lf_count_still_reads(write_binary):
    # A header "solid part" padded with blanks and a count whose low byte is LF: the probe
    # sees a UTF-8 first line beginning with "solid " and takes the file for ASCII, which
    # fails; the file's size is exactly that of its records, so it reads as binary.
    path = write_binary([TRIANGLE] * 10, header=b"solid part")
    assert sorted(map(tuple, f(str(path), 3)[0])) == [(0.0, 0.0, 0.0), (0.0, 1.0, 0.0), (1.0, 0.0, 0.0)]


@pytest.mark.parametrize("scale, length", [(1.0, 1.0), (7.5, 1.0), (1e-3, 1.0), (0.0, 0.0)])
def test_stored_normals_of_any_length_give_unit_or_zero_normals(write_binary, scale, length):
    # As exporters write them: unit, unnormalised, tiny, and all zero (no normal at all).
    faces = [(tuple(c * scale for c in n), *corners) for n, *corners in meshgen.torus(12, 6)]
    _, normals = f(write_binary(faces), 500)
    assert len(normals) == 500
    assert all(abs(math.hypot(*n) - length) < 1e-5 for n in normals)


@needs_stl_data
@pytest.mark.parametrize("name", [
    "assimp/3DSMaxExport.STL", "assimp/Spider_binary.stl", "assimp/Wuson.stl",
    "numpy-stl/stl_binary/Cube.stl", "numpy-stl/stl_binary/HalfDonut.stl",
    "numpy-stl/stl_binary/rear_case.stl", "trimesh/20mm-xyz-cube.stl", "trimesh/featuretype.STL",
    "trimesh/teapot.stl", "trimesh/counter.unitsmm.STL",
])
def test_real_binary_files(name):
    path = STL_DATA / name
    if not path.exists():
        pytest.fail(f"real STL file missing: {path}")
    positions, normals = f(path, 500)
    assert len(positions) == len(normals) == 500
    for n in normals:
        length = math.sqrt(sum(c * c for c in n))
        assert length == 0.0 or abs(length - 1.0) < 1e-5


@needs_stl_data
def test_real_empty_binary_file():
    assert f(STL_DATA / "trimesh/emptyIO/stl_empty_bin.stl", 10) == ([], [])


def test_files_that_are_not_regular_stream_as_before(tmp_path, write_binary):
    # A device streams like any file: eighty zero bytes of header, a count of 0, no faces.
    assert f("/dev/zero", 5) == ([], [])
    # A pipe cannot be rewound after the probe has taken its first buffer, so the binary
    # reader starts past the bytes the probe consumed and a small file runs out.
    # The writer is a process of its own: the call keeps the interpreter lock while it reads.
    source = write_binary([TRIANGLE] * 10)
    fifo = tmp_path / "pipe.stl"
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", 'cat "$1" > "$2"', "sh", str(source), str(fifo)])
    try:
        assert read_error(str(fifo)) == EOF_TEXT
    finally:
        writer.wait(timeout=60)
