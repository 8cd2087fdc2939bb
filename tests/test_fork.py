"""Forked children: after a call in the parent, a child made by os.fork() or by
multiprocessing (fork, forkserver) works, and makes its own random choices."""

import json
import os
import sys
import textwrap
from pathlib import Path

import pytest

import meshgen
from conftest import run_python

# Imported by the parent and by every child (the forkserver preloads it). When WARM_PATH is
# set, importing it makes a call first, so that a forkserver has drawn generator and hash
# keys before it forks.
FORKWORK = textwrap.dedent("""
    import json, os, multiprocessing
    import vertisift

    def warm(path):
        try:
            vertisift.reduce_stl_points(path, 10)
        except OSError:
            pass

    if os.environ.get("WARM_PATH"):
        warm(os.environ["WARM_PATH"])

    def reduce_to(path, clusters, connection):
        positions, _ = vertisift.reduce_stl_points(path, clusters)
        threads = len(os.listdir("/proc/self/task"))
        connection.send((positions, threads))
        connection.close()

    def with_os_fork(path, clusters):
        results = []
        for _ in range(2):
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    positions, _ = vertisift.reduce_stl_points(path, clusters)
                    threads = len(os.listdir("/proc/self/task"))
                    data = json.dumps([positions, threads]).encode()
                    while data:
                        data = data[os.write(write_end, data):]
                    status = 0
                finally:
                    os._exit(status)
            os.close(write_end)
            with os.fdopen(read_end, "rb") as stream:
                data = stream.read()
            _, status = os.waitpid(pid, 0)
            assert status == 0, status
            results.append(tuple(json.loads(data)))
        return results

    def with_multiprocessing(method, path, clusters):
        context = multiprocessing.get_context(method)
        if method == "forkserver":
            context.set_forkserver_preload(["forkwork"])
        results = []
        for _ in range(2):
            receiver, sender = context.Pipe(duplex=False)
            child = context.Process(target=reduce_to, args=(path, clusters, sender))
            child.start()
            sender.close()
            if not receiver.poll(60):
                child.kill()
                raise TimeoutError("child did not answer")
            results.append(receiver.recv())
            child.join(60)
            assert child.exitcode == 0, child.exitcode
        return results
""")

MAIN = textwrap.dedent("""
    import json
    import forkwork, vertisift
    forkwork.warm(WARM)
    if METHOD == "os.fork":
        children = forkwork.with_os_fork(PATH, CLUSTERS)
    else:
        children = forkwork.with_multiprocessing(METHOD, PATH, CLUSTERS)
    after, _ = vertisift.reduce_stl_points(PATH, CLUSTERS)
    print(json.dumps({"children": children, "parent_after": after}))
""")

METHODS = ["os.fork", "fork", "forkserver"]


def grid_mesh(side: int):
    """Vertices on a side^3 lattice, used by faces of three consecutive vertices each: with
    clusters = side^3 every vertex has a cell of its own, so nothing is drawn at random and the
    order of the result is the order of the keyed cell map alone."""
    points = [(float(i), float(j), float(k))
              for i in range(side) for j in range(side) for k in range(side)]
    return [((0.0, 0.0, 1.0), points[s], points[(s + 1) % len(points)], points[(s + 2) % len(points)])
            for s in range(0, len(points), 3)], points


@pytest.fixture
def fork_setup(tmp_path):
    (tmp_path / "forkwork.py").write_text(FORKWORK)
    return tmp_path


def run_children(workdir: Path, method: str, warm: Path, path: Path, clusters: int,
                 threads: int = 1, preload_warm: Path | None = None):
    env = {"PYTHONPATH": f"{workdir}{os.pathsep}{Path(sys.modules['vertisift'].__file__).parent}",
           "RAYON_NUM_THREADS": str(threads)}
    if preload_warm is not None:
        env["WARM_PATH"] = str(preload_warm)
    values = f"METHOD, WARM, PATH, CLUSTERS = {method!r}, {str(warm)!r}, {str(path)!r}, {clusters}\n"
    result = run_python(values + MAIN, env=env, timeout=180)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize("method", METHODS)
def test_children_continue_no_stream_of_their_parent(fork_setup, write_binary, method):
    """After a whole call in the parent, each child shuffles with a generator of its own."""
    torus = write_binary(meshgen.torus(24, 12))
    out = run_children(fork_setup, method, torus, torus, 40, preload_warm=torus)
    (first, _), (second, _) = out["children"]
    assert len(first) == len(second) == 40
    assert first != second
    assert out["parent_after"] not in (first, second)


@pytest.mark.parametrize("method", METHODS)
def test_children_draw_their_own_hash_keys(fork_setup, write_binary, method):
    """The parent's only call drew hash keys and failed before any random draw; the children
    must still lay out their cell maps with keys of their own."""
    faces, points = grid_mesh(4)
    grid = write_binary(faces)
    broken = write_binary(faces[:3], count=len(faces))
    out = run_children(fork_setup, method, broken, grid, len(points), preload_warm=broken)
    (first, _), (second, _) = out["children"]
    assert sorted(map(tuple, first)) == sorted(points)  # every vertex once, nothing drawn
    assert first != second


@pytest.mark.parametrize("method", METHODS)
def test_children_start_their_own_pool(fork_setup, write_binary, method):
    torus = write_binary(meshgen.torus(24, 12))
    out = run_children(fork_setup, method, torus, torus, 300, threads=3, preload_warm=torus)
    for positions, threads in out["children"]:
        assert len(positions) == 300
        if method == "os.fork":
            assert threads == 1 + 3  # the child's own thread and its three workers
