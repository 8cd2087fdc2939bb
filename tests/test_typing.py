"""Type checkers see the extension's stubs from the installed package: a correct client
passes, a wrong call is flagged, and the stubs agree with the module itself."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.slow
pytest.importorskip("mypy")

GOOD_CLIENT = """\
from pathlib import Path

import vertisift

positions, normals = vertisift.reduce_stl_points(Path("part.stl"), 2048)
first: list[float] = positions[0]
x: float = first[0]
count: int = len(normals)
again = vertisift.reduce_stl_points(file_path="part.stl", clusters=True)
"""

BAD_CLIENT = """\
import vertisift

vertisift.reduce_stl_points(b"part.stl", 10)
vertisift.reduce_stl_points("part.stl", 2.5)
vertisift.reduce_stl_points("part.stl")
positions, normals = vertisift.reduce_stl_points("part.stl", 10)
name: str = positions[0][0]
vertisift.reduce_points("part.stl", 10)
"""


def run_mypy(tmp_path, name: str, source: str) -> subprocess.CompletedProcess[str]:
    client = tmp_path / name
    client.write_text(source)
    # Run from tmp_path, so that neither the source tree nor its settings are in play.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir",
         str(tmp_path / "cache"), "--python-executable", sys.executable, name],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)


def test_correct_client_passes(tmp_path):
    result = run_mypy(tmp_path, "good.py", GOOD_CLIENT)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("Success")


def test_wrong_calls_are_flagged(tmp_path):
    result = run_mypy(tmp_path, "bad.py", textwrap.dedent(BAD_CLIENT))
    assert result.returncode == 1, result.stdout + result.stderr
    flagged = {(int(line.split(":")[1]), line.rsplit("[", 1)[-1].rstrip("]"))
               for line in result.stdout.splitlines() if ": error:" in line}
    assert flagged == {(3, "arg-type"), (4, "arg-type"), (5, "call-arg"), (7, "assignment"),
                       (8, "attr-defined")}, result.stdout


def test_stubs_match_the_module(tmp_path):
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vertisift"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
