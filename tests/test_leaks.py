"""Thousands of calls, successful and failing on every path: resident memory and the
argument objects' reference counts do not grow."""

import json
import os

import meshgen
from conftest import run_python

CALLS = """
import gc, json, os, sys, vertisift

class Path:
    def __init__(self, path): self.path = path
    def __fspath__(self): return self.path
class BadPath:
    def __fspath__(self): raise ValueError("no path")
class BytesPath:
    def __fspath__(self): return b"x.stl"
class Index:
    def __init__(self, value): self.value = value
    def __index__(self): return self.value
class BadIndex:
    def __index__(self): raise ValueError("no index")

good = "".join([{good!r}])          # a str of its own, not an interned constant
empty = "".join([{empty!r}])
short = "".join([{short!r}])
missing = "".join([{missing!r}])
path_object = Path(good)
clusters = 10**3 + 1                # not a cached small int
huge = 2**64 - 1
index = Index(777)
bad_path, bytes_path, bad_index, as_float = BadPath(), BytesPath(), BadIndex(), 2.0
arguments = [good, empty, short, missing, path_object, clusters, huge, index, bad_path,
             bytes_path, bad_index, as_float]

f = vertisift.reduce_stl_points
calls = [
    lambda: f(good, clusters),
    lambda: f(path_object, index),
    lambda: f(file_path=good, clusters=clusters),
    lambda: f(clusters=index, file_path=path_object),
    lambda: f(empty, huge),
    lambda: f(good, 0),
    lambda: f(missing, clusters),
    lambda: f(short, clusters),
    lambda: f(good, huge),
    lambda: f(bytes_path, clusters),
    lambda: f(bad_path, clusters),
    lambda: f(good, bad_index),
    lambda: f(good, as_float),
    lambda: f(good, -clusters),
    lambda: f(good, huge + 1),
    lambda: f(good, clusters, clusters),
    lambda: f(good, clusters, file_path=good),
    lambda: f(good, clusters=clusters, colour=clusters),
    lambda: f(clusters=clusters),
    lambda: f(),
]

def round_():
    outcomes = []
    for call in calls:
        try:
            result = call()
            outcomes.append(len(result[0]))
        except BaseException as error:
            outcomes.append(type(error).__name__)
    return outcomes

def resident():
    gc.collect()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096

first = round_()
for _ in range(200):
    round_()
def refcounts():
    return [sys.getrefcount(argument) for argument in arguments]

def descriptors():
    return len(os.listdir("/proc/self/fd"))

counts = refcounts()
rss = resident()
fds = descriptors()
for _ in range({rounds}):
    assert round_() == first
print(json.dumps({{
    "outcomes": first,
    "refcount_growth": [after - before for after, before in zip(refcounts(), counts)],
    "rss_growth": resident() - rss,
    "descriptor_growth": descriptors() - fds,
}}))
"""


def test_calls_leak_nothing(write_binary, tmp_path):
    good = write_binary(meshgen.torus(24, 12))
    empty = write_binary([])
    short = write_binary(meshgen.cube(), count=13)
    code = CALLS.format(good=str(good), empty=str(empty), short=str(short),
                        missing=str(tmp_path / "missing.stl"), rounds=1500)
    result = run_python(code, timeout=600)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["outcomes"] == [
        1001, 777, 1001, 777, 0, 0, "OSError", "OSError", "MemoryError", "TypeError",
        "ValueError", "ValueError", "TypeError", "OverflowError", "OverflowError",
        "TypeError", "TypeError", "TypeError", "TypeError", "TypeError"]
    assert report["refcount_growth"] == [0] * 12
    assert report["descriptor_growth"] == 0
    # A leaked result would be about 300 KiB a call, a leaked read buffer 8 KiB: 1500 rounds
    # of either are far beyond this. (The sanitizer build holds freed memory back for a while,
    # so its resident size says nothing about leaks.)
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        assert report["rss_growth"] < 4 << 20, report["rss_growth"]
