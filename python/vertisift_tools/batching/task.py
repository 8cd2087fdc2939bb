"""The per-file task of a batch, as the local worker processes and the Dask workers run it:
one model to one cloud (`run_task`), or to the points that go back to the batch for a shard
(`draw_model`), every failure of that file turned into its `Outcome`."""

from __future__ import annotations

import os
import signal
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

from vertisift_tools.batching.plan import Outcome
from vertisift_tools.convert import describe, draw_points, write_model_cloud
from vertisift_tools.options import SampleOptions
from vertisift_tools.sources import model_name
from vertisift_tools.storage import put_file, remote, staged

# Test hook: "kill:NAME" makes the process that is about to convert a model file named NAME
# kill itself with SIGKILL, "stall:NAME" makes it hang until the variable changes, and then
# fail without converting it. The tests use it to crash a worker and to interrupt a batch at
# a known point; nothing else sets it.
TEST_FAULT_VARIABLE = "VERTISIFT_TOOLS_TEST_FAULT"

# The failure of a file whose worker process died; each runner adds how it died.
DIED_MESSAGE = "the worker process died while converting this file"
# What a worker does with each file: `run_task` or `draw_model`, or another function of their
# signature (model, output, count, options) -> Outcome. It goes to the worker by name, so it
# must be a module-level function.
Work = Callable[[str, str, int, SampleOptions | None], Outcome]


def run_task(model: str, cloud: str, count: int, options: SampleOptions | None = None) -> Outcome:
    """Converts one file for a batch. Never raises for a failure of this file, so one bad
    file cannot end a batch."""
    _test_fault(model)
    try:
        if remote(cloud):
            # Made here, then uploaded whole: the bucket never shows half a cloud.
            with staged(cloud.rpartition("/")[2]) as local:
                converted = write_model_cloud(model, local, count, options)
                put_file(local, cloud)
        else:
            Path(cloud).parent.mkdir(parents=True, exist_ok=True)
            converted = write_model_cloud(model, cloud, count, options)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # the extension's internal faults too
        return Outcome(failure=describe(error, model))
    return Outcome(
        zero_normals=converted.zero_normals,
        colorless=converted.colorless,
        unused_textures=converted.unused_textures,
    )


def draw_model(model: str, shard: str, count: int, options: SampleOptions | None = None) -> Outcome:
    """Draws one file's points for a shard (`shard` names it; the batch writes it once every
    row is in) and returns them in the Outcome's `drawn`. Never raises for a failure of this
    file, as `run_task`."""
    _test_fault(model)
    try:
        drawn = draw_points(model, count, options)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:
        return Outcome(failure=describe(error, model))
    zero_normals = int(np.count_nonzero(~drawn.normals.any(axis=1)))
    return Outcome(
        zero_normals=zero_normals,
        colorless=drawn.colorless,
        unused_textures=drawn.unused_textures,
        drawn=drawn,
    )


def _test_fault(model: str) -> None:
    action, _, name = os.environ.get(TEST_FAULT_VARIABLE, "").partition(":")
    if not name or model_name(model).rpartition("/")[2] != name:
        return
    if action == "kill":
        os.kill(os.getpid(), signal.SIGKILL)
    elif action == "stall":
        stalled = os.environ[TEST_FAULT_VARIABLE]
        while os.environ.get(TEST_FAULT_VARIABLE) == stalled:
            time.sleep(0.02)
        raise SystemExit("released from the stall")
