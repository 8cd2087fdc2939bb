"""One model to one cloud: the unit of work that the command line, the local worker processes
and Dask workers all run."""

from __future__ import annotations

import os
import signal
import time
from pathlib import Path

import numpy as np

import vertisift
from vertisift_tools.clouds import Array, write_cloud

# Test hook: "kill:NAME" makes the process that is about to convert a model file named NAME
# kill itself with SIGKILL, "stall:NAME" makes it hang. The tests use it to crash a worker
# and to interrupt a batch at a known point; nothing else sets it.
TEST_FAULT_VARIABLE = "VERTISIFT_TOOLS_TEST_FAULT"


class EmptyMeshError(ValueError):
    """The model has no faces, so it gives no points at all."""


def reduce_to_arrays(model: str | os.PathLike[str], count: int) -> tuple[Array, Array]:
    """Reduces the STL model to exactly `count` points: float32 arrays (positions, normals),
    each of shape (count, 3). Raises OSError when the model cannot be read, and
    EmptyMeshError when it has no faces."""
    if count < 1:
        raise ValueError(f"the point count must be 1 or more, not {count}")
    positions, normals = vertisift.reduce_stl_points(model, count)
    if len(positions) != count:
        if not positions:
            raise EmptyMeshError("the model has no faces, so it gives no points")
        raise RuntimeError(f"asked for {count} points, got {len(positions)}")
    # The values are exact widenings of float32, so narrowing them again loses nothing.
    return np.array(positions, dtype=np.float32), np.array(normals, dtype=np.float32)


def convert_file(model: str | os.PathLike[str], cloud: str | os.PathLike[str], count: int) -> None:
    """Reduces the model and writes the cloud; the cloud's suffix picks the format."""
    positions, normals = reduce_to_arrays(model, count)
    write_cloud(cloud, positions, normals)


def describe(error: BaseException) -> str:
    """The one-line text a failure report shows for `error`."""
    if isinstance(error, (OSError, EmptyMeshError)):
        return str(error)
    return f"{type(error).__name__}: {error}"


def run_task(model: str, cloud: str, count: int) -> str | None:
    """Converts one file for a batch: None when done, else the failure's text. Never raises
    for a failure of this file, so one bad file cannot end a batch."""
    _test_fault(model)
    try:
        Path(cloud).parent.mkdir(parents=True, exist_ok=True)
        convert_file(model, cloud, count)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # the extension's internal faults too
        return describe(error)
    return None


def _test_fault(model: str) -> None:
    action, _, name = os.environ.get(TEST_FAULT_VARIABLE, "").partition(":")
    if not name or Path(model).name != name:
        return
    if action == "kill":
        os.kill(os.getpid(), signal.SIGKILL)
    elif action == "stall":
        time.sleep(3600)
