"""Python threads calling at once, and the pool size read from the environment."""

import math
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import meshgen
import vertisift
from conftest import READ_ERROR_PREFIX, python_env, run_python


def test_concurrent_python_threads_get_correct_results(write_binary, tmp_path):
    """Eight threads call at once on different meshes, some calls failing: every result is
    complete and made of its own mesh's vertices, each always with the same unit normal."""
    meshes = {
        "torus": meshgen.torus(30, 15),
        "cube": meshgen.cube(2.0),
        "thin": meshgen.torus(8, 4, major_radius=10.0, minor_radius=0.5),
    }
    paths = {name: write_binary(faces) for name, faces in meshes.items()}
    vertices = {name: {corner for face in faces for corner in face[1:]}
                for name, faces in meshes.items()}
    missing = tmp_path / "missing.stl"
    problems, normals_seen = [], {name: {} for name in meshes}
    lock = threading.Lock()
    start = threading.Barrier(8)

    def work(index):
        start.wait()
        for round_ in range(15):
            name = list(meshes)[(index + round_) % 3]
            clusters = (index * 37 + round_ * 11) % 400
            try:
                if round_ % 5 == 4:
                    try:
                        vertisift.reduce_stl_points(missing, clusters)
                        problems.append("missing file read")
                    except OSError as error:
                        if not str(error).startswith(READ_ERROR_PREFIX):
                            problems.append(str(error))
                    continue
                positions, normals = vertisift.reduce_stl_points(paths[name], clusters)
                if not len(positions) == len(normals) == clusters:
                    problems.append(f"{name}: {len(positions)}, {len(normals)} != {clusters}")
                with lock:
                    for position, normal in zip(positions, normals):
                        if tuple(position) not in vertices[name]:
                            problems.append(f"{name}: {position} is no vertex")
                        if abs(math.hypot(*normal) - 1) > 1e-6:
                            problems.append(f"{name}: normal {normal} not unit")
                        if normals_seen[name].setdefault(tuple(position), normal) != normal:
                            problems.append(f"{name}: {position} has two normals")
            except BaseException as error:
                problems.append(repr(error))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads)
    assert problems == []


POOL_SIZE_PROBE = """
import os, vertisift
def threads():
    return len(os.listdir("/proc/self/task"))
before = threads()
vertisift.reduce_stl_points({path!r}, 50)
made = threads() - before
# The size is fixed for the process: a changed variable and a second call change nothing.
os.environ["RAYON_NUM_THREADS"] = "7"
vertisift.reduce_stl_points({path!r}, 50)
print(made, threads() - before, os.cpu_count())
"""

DEFAULT = "cpus"


@pytest.mark.parametrize("num_threads, rs_num_cpus, expected", [
    (None, None, DEFAULT),
    ("3", None, 3), ("+3", None, 3), ("0", None, DEFAULT), ("0", "5", DEFAULT),
    ("+0", "5", DEFAULT), ("007", None, 7),
    (" 3", None, DEFAULT), ("3 ", None, DEFAULT), ("abc", None, DEFAULT), ("", None, DEFAULT),
    (" 3", "5", 5), ("3 ", "5", 5), ("abc", "5", 5), ("-1", "5", 5),
    ("18446744073709551616", "4", 4), ("99999999999999999999999", None, DEFAULT),
    (None, "5", 5), (None, "+6", 6), (None, "0", DEFAULT), (None, " 6", DEFAULT),
    (None, "abc", DEFAULT), (None, "18446744073709551616", DEFAULT),
])
def test_pool_size_from_the_environment(write_binary, num_threads, rs_num_cpus, expected):
    path = write_binary(meshgen.torus(12, 6))
    env = {}
    if num_threads is not None:
        env["RAYON_NUM_THREADS"] = num_threads
    if rs_num_cpus is not None:
        env["RAYON_RS_NUM_CPUS"] = rs_num_cpus
    result = run_python(POOL_SIZE_PROBE.format(path=str(path)), env=env)
    assert result.returncode == 0, result.stderr
    made, after_second, cpus = map(int, result.stdout.split())
    assert made == (cpus if expected == DEFAULT else expected)
    assert after_second == made


def test_exit_while_a_daemon_thread_samples(write_binary):
    """The interpreter exits with status 0 while a daemon thread is inside sample(): at exit
    such a thread is ended as it takes the interpreter lock back, and nothing of the call may
    touch a Python object on the way out."""
    path = write_binary(meshgen.torus(40, 20))
    code = (
        "import threading, time, vertisift_tools\n"
        "def loop():\n"
        "    while True:\n"
        f"        vertisift_tools.sample({str(path)!r}, 5000, method='surface')\n"
        "threading.Thread(target=loop, daemon=True).start()\n"
        "time.sleep(0.3)\n")
    for _ in range(2):
        result = run_python(code)
        assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("call", ["vertisift.reduce_stl_points(path, 10)",
                                  "vertisift_tools.sample(path, 10)"])
def test_ctrl_c_stops_a_read_that_blocks(tmp_path, call):
    """A read from a FIFO whose writer never writes ends with KeyboardInterrupt at Ctrl-C, as
    Python's own reads do; a signal whose handler returns lets it go on waiting."""
    fifo = tmp_path / "silent.stl"
    os.mkfifo(fifo)
    writer = os.open(fifo, os.O_RDWR)  # keeps a writer on the FIFO that never writes
    code = (
        "import signal, vertisift, vertisift_tools\n"
        "signal.signal(signal.SIGUSR1, lambda *_: print('handled', flush=True))\n"
        f"path = {str(fifo)!r}\n"
        "print('ready', flush=True)\n"
        "try:\n"
        f"    {call}\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted')\n")
    child = subprocess.Popen([sys.executable, "-c", code], env=python_env(),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)  # into the read
        child.send_signal(signal.SIGUSR1)
        assert child.stdout.readline() == "handled\n"
        time.sleep(0.2)  # back into the read
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
        assert out == "interrupted\n", err
    finally:
        child.kill()
        child.wait()
        os.close(writer)
