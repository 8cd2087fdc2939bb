"""The cloud formats by name and suffix, without loading NumPy, so that the command can check
its arguments before anything heavy is imported."""

from __future__ import annotations

import os
from pathlib import Path

FORMATS = ("npz", "ply", "xyz", "xyzn", "xyzrgb")
# The formats that keep the normals; .xyz is positions only, .xyzrgb positions and colours.
WITH_NORMALS = ("npz", "ply", "xyzn")
# The formats that keep colours, and those that hold nothing else (written only with them).
WITH_COLORS = ("npz", "ply", "xyzrgb")
COLOR_ONLY = ("xyzrgb",)
SUFFIXES = ", ".join("." + name for name in FORMATS[:-1]) + " or ." + FORMATS[-1]
# A batch writes one cloud file per model in a cloud format, or the whole collection as
# HDF5 shards of many models each (`vertisift_tools.shards`), which is not a cloud format.
SHARD_FORMAT = "h5"
BATCH_FORMATS = (*FORMATS, SHARD_FORMAT)


class CloudError(ValueError):
    """A cloud path with an unknown suffix, or a file that does not hold a cloud."""


def format_of(path: str | os.PathLike[str]) -> str:
    """The format named by the path's suffix (any letter case): one of FORMATS."""
    suffix = Path(path).suffix
    if suffix.lower()[1:] not in FORMATS:
        shown = f"suffix {suffix!r}" if suffix else "no suffix"
        raise CloudError(f"{os.fspath(path)}: {shown}; a point cloud is {SUFFIXES}")
    return suffix.lower()[1:]
