"""Bounded resources: a long first line, impossible and exhausting counts, a refused thread."""

import os
import sys

import pytest

import meshgen
import vertisift
from conftest import READ_ERROR_PREFIX, run_python

# The most items a list can hold.
MAX_LIST = sys.maxsize // 8

# Address-space limits cannot be combined with AddressSanitizer's shadow memory.
under_asan = "asan" in os.environ.get("LD_PRELOAD", "")
needs_plain_build = pytest.mark.skipif(under_asan, reason="RLIMIT_AS and the sanitizer build")

# The peak resident size of this process's own memory (VmHWM). Not ru_maxrss: that one
# starts from the size of the process that forked the interpreter, here the test runner.
RSS_PROBE = """
import vertisift
def peak_mb():
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith("VmHWM:"))
    return int(line.split()[1]) / 1024
"""


ZERO_RECORDS = (256 << 20) // 50
ZERO_POINTS = "([[0.0, 0.0, 0.0]] * 10, [[0.0, 0.0, 0.0]] * 10)"


@pytest.mark.parametrize("head, last_byte, expected", [
    (b"solid ", b"", "OSError"), (b"solid ", b"\xff", "([], [])"),
    (bytes(80) + ZERO_RECORDS.to_bytes(4, "little"), b"", ZERO_POINTS)],
    ids=["ascii-line", "binary-line", "zero-records"])
def test_huge_files_of_nothing_cost_no_memory(tmp_path, write_binary, head, last_byte, expected):
    """256 MiB of NUL bytes, memory that does not grow with them. After 'solid ', one line
    without any LF: the probe reads it to its last byte (a final invalid byte makes the file
    binary: an empty mesh from its zero face count). After a binary header, five million
    records of one position: its tables are sized by the positions the faces bring, not by
    their count."""
    path = tmp_path / "nothing.stl"
    size = len(head) + 50 * ZERO_RECORDS if head.startswith(bytes(80)) else 256 << 20
    with path.open("wb") as out:  # sparse
        out.write(head)
        out.truncate(size)
        out.seek(size)
        out.write(last_byte)
    warm = write_binary(meshgen.cube())
    code = RSS_PROBE + f"""
vertisift.reduce_stl_points({str(warm)!r}, 10)
before = peak_mb()
try:
    outcome = vertisift.reduce_stl_points({str(path)!r}, 10)
    outcome = "ZERO_POINTS" if outcome == {ZERO_POINTS} else repr(outcome)
except OSError as error:
    outcome = "OSError"
print(outcome)
print(peak_mb() - before)
"""
    result = run_python(code, timeout=300)
    path.unlink()
    assert result.returncode == 0, result.stderr
    outcome, growth = result.stdout.split("\n")[:2]
    assert outcome == ("ZERO_POINTS" if expected == ZERO_POINTS else expected)
    assert float(growth) < 32, f"peak RSS grew by {growth} MiB for {size >> 20} MiB of nothing"


HUGE_LINE = 256 << 20
PLY_TRIANGLE = (b"element vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
                b"element face 1\nproperty list uchar int vertex_indices\nend_header\n"
                b"0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n")
# A triangle in each text format, with a line 3 between the two parts, and how a comment
# there begins.
LONG_LINE_MESHES = {
    ".off": (b"OFF\n3 1 0\n", b"# ", b"\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n"),
    ".obj": (b"v 0 0 0\nv 1 0 0\n", b"# ", b"\nv 0 1 0\nf 1 2 3\n"),
    ".ply": (b"ply\nformat ascii 1.0\n", b"comment ", b"\n" + PLY_TRIANGLE),
}


@pytest.mark.parametrize("suffix", LONG_LINE_MESHES)
@pytest.mark.parametrize("line, expected", [
    ("comment", "3 vertices, faces [[0, 1, 2]]"),
    ("kept", "{format} line 3: the line is longer than 4 MiB"),
    ("endless", "{format} line 1: the line is longer than 4 MiB"),
], ids=["comment", "kept", "endless"])
def test_a_comment_streams_past_and_a_kept_line_is_held_to_4_mib(tmp_path, suffix, line,
                                                                   expected):
    """Line 3 is 256 MiB of NUL bytes (a sparse file) after a comment's start: the mesh reads
    and memory does not grow with the line. Without the comment's start the reader must keep
    the line, and fails past 4 MiB with one line that names it; a device of zeros, one line
    without end, fails alike (it held 2 GB before an empty MemoryError)."""
    head, comment, tail = LONG_LINE_MESHES[suffix]
    path = tmp_path / f"long{suffix}"
    if line == "endless":
        path.symlink_to("/dev/zero")
    else:
        start = comment if line == "comment" else b""
        with path.open("wb") as out:
            out.write(head + start)
            out.seek(HUGE_LINE - len(start), os.SEEK_CUR)
            out.write(tail)
    warm = tmp_path / f"warm{suffix}"
    warm.write_bytes(head + comment + tail)
    # Without the sanitizer, an address-space limit also keeps a failure from taking the
    # machine's memory.
    limit = "" if under_asan else """
import resource
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as statm:
    mapped = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (mapped + (512 << 20), hard))
"""
    code = RSS_PROBE + f"""
import os, vertisift_tools
vertisift_tools.read_mesh({str(warm)!r})
before = peak_mb()
{limit}
try:
    vertices, faces = vertisift_tools.read_mesh({str(path)!r})
    print(f"{{len(vertices)}} vertices, faces {{faces.tolist()}}")
except vertisift_tools.MeshReadError as error:
    print(error.strerror)
print(peak_mb() - before)
"""
    result = run_python(code, timeout=300)
    if line != "endless":
        path.unlink()
    assert result.returncode == 0, result.stderr
    outcome, growth = result.stdout.split("\n")[:2]
    assert outcome == expected.format(format=suffix[1:].upper())
    assert float(growth) < 32, f"peak RSS grew by {growth} MiB for a line of 256 MiB"


# The sanitizer's allocator ends the process when a real allocation fails, so only counts
# refused before any allocation are tried there.
@pytest.mark.parametrize("clusters", [
    MAX_LIST + 1, 2**63, 2**64 - 1, MAX_LIST,
    pytest.param(2**40, marks=needs_plain_build)])
def test_count_beyond_memory_is_memory_error(write_binary, clusters):
    path = write_binary(meshgen.cube())
    with pytest.raises(MemoryError):
        vertisift.reduce_stl_points(path, clusters)
    positions, normals = vertisift.reduce_stl_points(path, 7)
    assert len(positions) == len(normals) == 7


def test_impossible_count_keeps_the_order_of_failures(tmp_path, write_binary, write_bytes):
    huge = 2**64 - 1
    with pytest.raises(TypeError, match="^argument 'file_path': "):
        vertisift.reduce_stl_points(b"missing.stl", huge)
    with pytest.raises(OverflowError):
        vertisift.reduce_stl_points(tmp_path / "missing.stl", 2**64)
    with pytest.raises(OSError) as missing:
        vertisift.reduce_stl_points(tmp_path / "missing.stl", huge)
    assert str(missing.value) == READ_ERROR_PREFIX + "No such file or directory (os error 2)"
    truncated = write_binary(meshgen.cube(), count=13)
    with pytest.raises(OSError) as short:
        vertisift.reduce_stl_points(truncated, huge)
    assert str(short.value) == READ_ERROR_PREFIX + "failed to fill whole buffer"
    # Without faces there is nothing to return, whatever the count.
    assert vertisift.reduce_stl_points(write_binary([]), huge) == ([], [])


# The calls tried under the limit, each giving the number of points it made. The tools'
# native functions are called directly, so that every MemoryError is theirs.
ALLOCATING_CALLS = {
    "extension": """
import vertisift
def reduce(path, clusters):
    positions, normals = vertisift.reduce_stl_points(path, clusters)
    return len(positions) if len(positions) == len(normals) else -1
calls = [reduce]
""",
    "tools": """
from vertisift_tools import _native
DRAW = dict(seed=1, normals="auto", distinct=False, format="stl", strict=False,
            return_faces=False, return_barycentric=False)
def sample(path, clusters):
    drawn = _native.sample(str(path), clusters, method="surface", candidates=None,
                           colors=False, **DRAW)
    return len(drawn[0]) // 12
def spread(path, clusters):
    drawn = _native.sample(str(path), clusters, method="fps", candidates=2 * clusters,
                           colors=True, **DRAW)
    return len(drawn[0]) // 12
import os, tempfile, meshgen
# Read under the limits only (the blocks of a mesh read before would be reused), and large
# enough that reading it runs out of memory under the lower ones.
BIG = meshgen.write_binary_stl(os.path.join(tempfile.mkdtemp(), "big.stl"), meshgen.torus(400, 200))
def read(path, clusters):
    _native.read_mesh(str(BIG if clusters > 100 else path), format="stl", strict=False)
    return clusters
calls = [sample, spread, read]
""",
}


@needs_plain_build
@pytest.mark.parametrize("module", ["extension", "tools"])
def test_allocation_failure_anywhere_is_memory_error(module):
    """Under an address-space limit at several heights, a call that asks for more than fits
    fails with MemoryError wherever memory runs out (reading, the stages, the workers, the
    Python result), never with anything else, and the next call works. The tools' errors say
    what did not fit; the extension's stay without a text, as they always were."""
    code = ALLOCATING_CALLS[module] + """
import json, os, resource, meshgen, tempfile
path = meshgen.write_binary_stl(os.path.join(tempfile.mkdtemp(), "t.stl"), meshgen.torus(96, 48))
for call in calls:
    call(path, 10)   # the pool and the generator exist from here on
def mapped():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
outcomes = {}
for headroom_mb in (1, 2, 4, 8, 16, 32, 64, 128, 256, 512):
    for clusters in (5_000, 500_000, 5_000_000):
        for call in calls:
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            resource.setrlimit(resource.RLIMIT_AS, (mapped() + (headroom_mb << 20), hard))
            try:
                outcome = "ok" if call(path, clusters) == clusters else "wrong length"
            except BaseException as error:
                outcome = type(error).__name__ + (": " + str(error) if str(error) else "")
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            outcomes.setdefault(outcome, []).append((headroom_mb, clusters))
            assert call(path, 100) == 100
print(json.dumps(outcomes))
"""
    result = run_python(code, timeout=300)
    assert result.returncode == 0, result.stderr
    import json
    outcomes = json.loads(result.stdout)
    if module == "extension":
        assert set(outcomes) == {"ok", "MemoryError"}, outcomes
        return
    assert "ok" in outcomes and len(outcomes) > 1, outcomes
    assert set(outcomes) <= {"ok", "MemoryError: cannot hold 5000000 points",
                             "MemoryError: cannot hold 500000 points",
                             "MemoryError: not enough memory to read the mesh and draw its points",
                             "MemoryError: not enough memory to read the mesh"}, outcomes


REFUSED_THREAD = "Resource temporarily unavailable"


@needs_plain_build
@pytest.mark.parametrize("call, expected, diagnostics", [
    ("vertisift.reduce_stl_points", "pyo3_runtime PanicException could not start a worker "
     f"thread: {REFUSED_THREAD}", 1),
    ("vertisift_tools.sample", "builtins RuntimeError cannot start the 64 worker threads: "
     f"{REFUSED_THREAD} (RAYON_NUM_THREADS=64)", 0),
], ids=["extension", "tools"])
def test_refused_worker_thread_fails_the_call_and_the_next_call_retries(
        write_binary, call, expected, diagnostics):
    """The system refuses to start a worker thread (no address space left for its stack): the
    call fails, no thread is left behind, and once threads can start again the next call
    makes the whole pool. The extension raises its panic exception after the internal-fault
    line on stderr; the tools raise a RuntimeError that says what the system refused, and
    write nothing."""
    path = write_binary(meshgen.torus(12, 6))
    code = f"""
import os, resource, vertisift, vertisift_tools
vertisift_tools.sample  # imported before the limit, NumPy with it
def threads():
    return len(os.listdir("/proc/self/task"))
def mapped():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
before = threads()  # NumPy's own among them
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (mapped() + (48 << 20), hard))
try:
    {call}({str(path)!r}, 10)
    print("no failure")
except BaseException as error:
    print(type(error).__module__, type(error).__name__, error)
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(threads() - before)
print(len({call}({str(path)!r}, 10)[0]), threads() - before)
"""
    result = run_python(code, env={"RAYON_NUM_THREADS": "64"}, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [expected, "0", "10 64"]
    lines = result.stderr.splitlines()
    assert len(lines) == diagnostics, result.stderr
    assert all(line.startswith("vertisift: internal fault on thread ") for line in lines)
