"""The module's surface: its attributes, the function object, the panic exception."""

import ctypes

import meshgen
import vertisift
from conftest import run_python


def test_module_attributes():
    own = {k for k in vars(vertisift) if k not in ("__loader__", "__spec__", "__package__", "__file__")}
    assert own == {"__name__", "__doc__", "__all__", "reduce_stl_points"}
    assert vertisift.__name__ == "vertisift"
    assert vertisift.__doc__ == ""
    assert vertisift.__all__ == ["reduce_stl_points"]


def test_function_object():
    f = vertisift.reduce_stl_points
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == "reduce_stl_points"
    assert f.__module__ == "vertisift"
    assert f.__self__ is vertisift
    assert f.__text_signature__ == "(file_path, clusters)"
    assert f.__doc__ is None


def test_init_again_returns_the_cached_module():
    lib = ctypes.PyDLL(vertisift.__file__)
    lib.PyInit_vertisift.restype = ctypes.py_object
    assert lib.PyInit_vertisift() is vertisift
    assert vertisift.__all__ == ["reduce_stl_points"]


def test_reimport_after_removal_gives_same_module():
    result = run_python(
        "import sys, vertisift\n"
        "first = vertisift\n"
        "del sys.modules['vertisift']\n"
        "import vertisift\n"
        "assert vertisift is first, (vertisift, first)\n"
        "assert vertisift.__all__ == ['reduce_stl_points']\n"
        "print('ok')\n")
    assert result.stdout.strip() == "ok", result.stderr


def test_no_thread_started_at_import_nor_for_a_tiny_mesh(tmp_path):
    """Importing starts no thread, and neither does a one-facet file, binary or ASCII, through
    either library: work that small runs on the calling thread."""
    face = ((0.0, 0.0, 1.0), (0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0))
    binary = meshgen.write_binary_stl(tmp_path / "one.stl", [face])
    ascii_ = meshgen.write_ascii_stl(tmp_path / "one_ascii.stl", [face])
    result = run_python(
        "import os, numpy\n"
        "before = len(os.listdir('/proc/self/task'))\n"
        "import vertisift, vertisift_tools\n"
        "print(len(os.listdir('/proc/self/task')) - before)\n"
        f"for path in ({str(binary)!r}, {str(ascii_)!r}):\n"
        "    vertisift.reduce_stl_points(path, 4)\n"
        "    for method in ('vertices', 'surface'):\n"
        "        vertisift_tools.sample(path, 4, method=method)\n"
        "print(len(os.listdir('/proc/self/task')) - before)\n",
        env={"RAYON_NUM_THREADS": "2"})
    assert result.stdout.split() == ["0", "0"], result.stderr


def test_second_interpreter_is_refused():
    result = run_python(
        "import _xxsubinterpreters as interpreters\n"
        "import vertisift\n"
        "interp = interpreters.create(isolated=False)\n"
        "try:\n"
        "    interpreters.run_string(interp, 'import vertisift')\n"
        "except Exception as error:\n"
        "    print(type(error).__name__, error)\n"
        "print(len(vertisift.__all__))\n")
    lines = result.stdout.strip().splitlines()
    assert "ImportError" in lines[0], result.stdout + result.stderr
    assert "PyO3 modules do not yet support subinterpreters, see " in lines[0]
    assert lines[-1] == "1"


def test_exports_exactly_one_symbol():
    import subprocess
    out = subprocess.run(["nm", "-D", "--defined-only", vertisift.__file__],
                         capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_vertisift"]
