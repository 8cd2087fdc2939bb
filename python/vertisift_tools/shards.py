"""HDF5 shards of point clouds, laid out as the common point-cloud training releases are, so
that their loaders read them as they are: files `ply_data_{split}{k}.h5`, each with the
datasets `data` (S, N, 3) float32, `normal` (S, N, 3) float32, `label` (S, 1) uint8 (a wider
unsigned type beyond 256 classes), for points on the surface `faceId` (S, N) int32, and for
points drawn with colours `rgb` (S, N, 3) float32 in [0, 1] (the key under which coloured
point releases store their colours); the
list of a split's shards in `{split}_files.txt`, the models of each shard's rows in
`ply_data_{split}_{k}_id2file.json`, and the class names in `shape_names.txt`.

The file's format and every setting that reaches its bytes are fixed (the library version
bounds, no timestamps, no compression, contiguous layout), so the same rows make the same
bytes on every run. h5py is imported only here, when a shard is written or read.
"""

from __future__ import annotations

import json
import re
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from vertisift_tools.clouds import replacing

if TYPE_CHECKING:
    from vertisift_tools.convert import Drawn

CLASSES_FILE = "shape_names.txt"
# The oldest file format that holds these datasets, and at most that of HDF5 1.10, so that
# a newer library writes the same bytes and older readers read them.
LIBVER = ("earliest", "v110")
H5PY_MISSING = "HDF5 shards need the package 'h5py', which is not installed: " + (
    "pip install 'vertisift[h5]'"
)

_SHARD_NAME = re.compile(r"ply_data_(?P<split>\w+?)(?P<index>[0-9]+)\.h5")
_ID_NAME = re.compile(r"ply_data_(?P<split>\w+?)_(?P<index>[0-9]+)_id2file\.json")


def shard_name(split: str, index: int) -> str:
    return f"ply_data_{split}{index}.h5"


def id_file_name(split: str, index: int) -> str:
    """The JSON list of the models of a shard's rows."""
    return f"ply_data_{split}_{index}_id2file.json"


def list_file_name(split: str) -> str:
    """The list of a split's shard files, one name a line."""
    return f"{split}_files.txt"


def need_h5py() -> None:
    """ImportError (naming the extra that brings it) when h5py cannot be imported."""
    try:
        import h5py  # noqa: F401
    except ImportError:
        raise ImportError(H5PY_MISSING, name="h5py") from None


def label_type(classes: int) -> npt.DTypeLike:
    """uint8, as the loaders expect, unless there are more classes than it numbers."""
    for dtype in (np.uint8, np.uint16, np.uint32):
        if classes <= np.iinfo(dtype).max + 1:
            return dtype
    return np.uint64


def write_shard(
    path: Path, rows: Sequence[Drawn], labels: Sequence[int], count: int, label_dtype: Any
) -> None:
    """Writes the shard of `rows` (each of `count` points, all with faces or all without)
    and their labels at `path`, under a temporary name renamed when complete (an OSError as
    `replacing` raises it)."""
    import h5py

    with_faces = bool(rows) and rows[0].faces is not None
    with_colors = bool(rows) and rows[0].colors is not None
    arrays: dict[str, npt.NDArray[Any]] = {
        "data": _stacked([row.positions for row in rows], (count, 3), np.float32),
        "normal": _stacked([row.normals for row in rows], (count, 3), np.float32),
        "label": np.asarray(labels, dtype=label_dtype).reshape(-1, 1),
    }
    if with_faces:
        arrays["faceId"] = _stacked([row.faces for row in rows], (count,), np.int32)
    if with_colors:
        arrays["rgb"] = _stacked([row.colors for row in rows], (count, 3), np.float32)
    with (
        replacing(path) as temp,
        h5py.File(temp, "w", libver=LIBVER, track_order=False) as shard,
    ):
        for name, array in arrays.items():
            shard.create_dataset(name, data=array, track_times=False)


def shard_labels(path: Path, count: int) -> npt.NDArray[Any] | None:
    """The labels of a complete shard at `path` whose rows hold `count` points, or None when
    the file is missing, cannot be read or does not hold that shape."""
    import h5py

    try:
        with h5py.File(path, "r") as shard:
            labels: npt.NDArray[Any] = shard["label"][:]
            rows = len(labels)
            shapes = {name: shard[name].shape for name in ("data", "normal")}
            if "rgb" in shard:
                shapes["rgb"] = shard["rgb"].shape
            if "faceId" in shard:
                shapes["faceId"] = (*shard["faceId"].shape, 3)
    except (OSError, KeyError, TypeError, ValueError):
        return None
    if labels.shape != (rows, 1) or any(shape != (rows, count, 3) for shape in shapes.values()):
        return None
    return labels[:, 0]


def read_id_file(path: Path | str) -> list[str] | None:
    """The models of a shard's rows, or None when the file is missing or is not a list of
    paths (a local path, or a URL)."""
    from vertisift_tools.storage import read_target

    try:
        text = read_target(path).decode("utf-8", errors="surrogateescape")
        listed = json.loads(text)
    except (OSError, ValueError):
        return None
    if not isinstance(listed, list) or not all(isinstance(item, str) for item in listed):
        return None
    return listed


def id_file_text(models: Sequence[str]) -> str:
    return json.dumps(list(models)) + "\n"


def is_shard_file(name: str, splits: Sequence[str]) -> bool:
    """`name` is a shard, or a shard's list of models, of one of `splits`."""
    for pattern in (_SHARD_NAME, _ID_NAME):
        match = pattern.fullmatch(name)
        if match and match["split"] in splits:
            return True
    return False


def _stacked(
    arrays: Sequence[npt.NDArray[Any] | None], shape: tuple[int, ...], dtype: Any
) -> npt.NDArray[Any]:
    stacked = np.empty((len(arrays), *shape), dtype=dtype)
    for index, array in enumerate(arrays):
        stacked[index] = array
    return stacked
