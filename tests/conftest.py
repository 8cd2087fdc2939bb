import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

import meshgen  # noqa: E402
import vertisift  # noqa: E402

# Real STL files written by other tools: kept beside the project, or wherever
# VERTISIFT_STL_DATA points. Tests that read them skip when they are not there.
STL_DATA = Path(os.environ.get("VERTISIFT_STL_DATA") or ROOT.parent / "shared" / "data" / "stl")
needs_stl_data = pytest.mark.skipif(
    not STL_DATA.is_dir(),
    reason=f"the real STL files are not at {STL_DATA} (set VERTISIFT_STL_DATA to their folder)")
# Real OFF, OBJ and PLY files written by other tools, likewise.
MESH_DATA = Path(os.environ.get("VERTISIFT_MESH_DATA") or ROOT.parent / "shared" / "data" / "meshes")
needs_mesh_data = pytest.mark.skipif(
    not MESH_DATA.is_dir(),
    reason=f"the real OFF, OBJ and PLY files are not at {MESH_DATA} "
           "(set VERTISIFT_MESH_DATA to their folder)")
# Real coloured, textured and glTF files written by other tools, likewise.
COLOUR_DATA = Path(os.environ.get("VERTISIFT_COLOUR_DATA")
                   or ROOT.parent / "shared" / "data" / "colour")
needs_colour_data = pytest.mark.skipif(
    not COLOUR_DATA.is_dir(),
    reason=f"the real coloured files are not at {COLOUR_DATA} "
           "(set VERTISIFT_COLOUR_DATA to their folder)")
READ_ERROR_PREFIX = "Ошибка чтения STL-файла: "


def pytest_report_header(config):
    return [f"vertisift from {vertisift.__file__}",
            f"real STL files: {STL_DATA if STL_DATA.is_dir() else 'absent'}",
            f"real OFF, OBJ and PLY files: {MESH_DATA if MESH_DATA.is_dir() else 'absent'}"]


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes seconds (a Dask cluster, a type checker)")
    # A sanitizer run must test the sanitizer build, not an installed copy.
    build = os.environ.get("VERTISIFT_TEST_BUILD")
    if build and not Path(vertisift.__file__).resolve().is_relative_to(Path(build).resolve()):
        raise pytest.UsageError(f"expected vertisift from {build}, got {vertisift.__file__}")


@pytest.fixture
def write_binary(tmp_path):
    counter = iter(range(1_000_000))

    def write(faces, **options):
        return meshgen.write_binary_stl(tmp_path / f"mesh{next(counter)}.stl", faces, **options)

    return write


@pytest.fixture
def write_bytes(tmp_path):
    counter = iter(range(1_000_000))

    def write(data: bytes):
        path = tmp_path / f"raw{next(counter)}.stl"
        path.write_bytes(data)
        return path

    return write


def python_env(env: dict | None = None) -> dict:
    """The environment of a fresh interpreter that imports the same vertisift: the pool
    variables cleared, then `env` applied."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(
        [str(Path(vertisift.__file__).parent), str(ROOT / "scripts")]
        + ([full_env["PYTHONPATH"]] if full_env.get("PYTHONPATH") else []))
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        full_env.pop(name, None)
    full_env.update(env or {})
    return full_env


def run_python(code: str, env: dict | None = None, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter with the same vertisift importable."""
    return subprocess.run([sys.executable, "-c", code], env=python_env(env), capture_output=True,
                          text=True, timeout=timeout)
