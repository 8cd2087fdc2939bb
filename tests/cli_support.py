"""Helpers shared by the command-line tests: model trees, running the command, checking clouds."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import numpy as np

import meshgen
import vertisift_tools

# The reader's own text, without the prefix that the extension's function puts before it.
SHORT_FILE_MESSAGE = "failed to fill whole buffer"
RECORD_FILE = "vertisift-batch.json"


def cut_short_message(faces: int, size: int) -> str:
    """The failure of a binary STL of `faces` faces cut to `size` bytes: the reader's text,
    then the command's hint."""
    return (f"{SHORT_FILE_MESSAGE} (as binary STL its header announces {faces} faces, which take "
            f"{84 + 50 * faces} bytes; the file has {size})")


# sub/broken.stl of make_tree: a0.stl cut short.
BROKEN_SIZE = 84 + 50 * 7 + 20
BROKEN_MESSAGE = cut_short_message(400, BROKEN_SIZE)
DIED_MESSAGE = "the worker process died while converting this file"


def cli_env(extra: dict[str, str] | None = None) -> dict[str, str]:
    """The environment for a child process that imports the same vertisift and vertisift_tools
    as this one: this process's module search path, in its order."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(path for path in sys.path if path)
    env.pop("VERTISIFT_TOOLS_TEST_FAULT", None)
    env.update(extra or {})
    return env


def cli_command(*args: object) -> list[str]:
    return [sys.executable, "-m", "vertisift_tools", *map(str, args)]


def run_cli(*args: object, env: dict[str, str] | None = None,
            timeout: float = 120) -> subprocess.CompletedProcess[str]:
    return subprocess.run(cli_command(*args), env=cli_env(env), capture_output=True, text=True,
                          timeout=timeout)


def torus_faces(steps: int) -> list:
    return meshgen.torus(steps, max(3, steps // 2))


def nested_boxes() -> list:
    """A closed box from 0 to 3 holding a closed box from 1 to 2, whose surface cannot be seen
    from outside."""
    inner = [(normal, *(tuple(x + 1.0 for x in corner) for corner in corners))
             for normal, *corners in meshgen.cube(1.0)]
    return meshgen.cube(3.0) + inner


def on_inner_box(positions: np.ndarray) -> np.ndarray:
    """Which points of a draw of `nested_boxes` lie on the inner box."""
    return ((positions > 0.5) & (positions < 2.5)).all(axis=1)


def vertices_of(faces: list) -> set[tuple[float, float, float]]:
    return {tuple(vertex) for face in faces for vertex in face[1:]}


def make_tree(root: Path) -> dict[str, list]:
    """A folder tree of models: five good ones (one with an upper-case suffix, two in nested
    folders), a truncated one and a file that is not STL. Returns the faces of each good
    model by its path under root."""
    good = {
        "a0.stl": torus_faces(20),
        "b1.STL": torus_faces(22),
        "c2.stl": torus_faces(24),
        "sub/d3.stl": torus_faces(26),
        "sub/deeper/e4.Stl": torus_faces(28),
    }
    for relative, faces in good.items():
        (root / relative).parent.mkdir(parents=True, exist_ok=True)
        meshgen.write_binary_stl(root / relative, faces)
    whole = (root / "a0.stl").read_bytes()
    (root / "sub" / "broken.stl").write_bytes(whole[:BROKEN_SIZE])
    (root / "notes.txt").write_text("not a model\n")
    return good


def check_cloud(path: Path, count: int, faces: list) -> None:
    """The cloud holds `count` points, every one a vertex of the model with a unit normal
    (or, in a .xyz file that keeps no normals, none)."""
    positions, normals = vertisift_tools.read_cloud(path)
    assert positions.dtype == normals.dtype == np.float32
    assert positions.shape == normals.shape == (count, 3)
    vertices = vertices_of(faces)
    assert all(tuple(map(float, row)) in vertices for row in positions)
    if path.suffix.lower() == ".xyz":
        assert not normals.any()
    else:
        assert np.allclose(np.linalg.norm(normals, axis=1), 1.0, atol=1e-5)


def files_under(root: Path) -> list[str]:
    return sorted(p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file())


def read_failures(out_dir: Path) -> list[list[str]]:
    import csv
    with (out_dir / "failures.csv").open(encoding="utf-8", newline="") as stream:
        return list(csv.reader(stream))
