"""The model files under a folder: which suffixes are models (`MODEL_SUFFIXES`), the mesh
format each names (`mesh_format`), and `find_models`, the one search that the batches and
the dataset share."""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path
from typing import Final

# The mesh formats by suffix, in lower case, with the codes of the native module's readers;
# a file's suffix matches in any case.
MESH_FORMATS: Final[dict[str, int]] = {".stl": 0, ".off": 1, ".obj": 2, ".ply": 3}

# Suffixes of the files read as models, in lower case.
MODEL_SUFFIXES: Final = frozenset(MESH_FORMATS)

# The code of STL, which a path with any other suffix (or none) is read as.
STL_FORMAT: Final = MESH_FORMATS[".stl"]


def mesh_format(path: str | os.PathLike[str]) -> int:
    """The native code of the format that the path's suffix names, in any letter case: OFF,
    OBJ or PLY for theirs, STL for ".stl" and for any other suffix or none (a pipe, a
    temporary file), as every version before read every path."""
    return MESH_FORMATS.get(os.path.splitext(os.fspath(path))[1].lower(), STL_FORMAT)


def find_models(
    folder: str | os.PathLike[str], on_error: Callable[[OSError], None] | None = None
) -> list[Path]:
    """Every regular file (or link to one) under `folder`, recursively, whose suffix is one of
    MODEL_SUFFIXES in any letter case, in the order of their "/"-separated paths relative to
    `folder`. Links to folders are not followed. A folder that cannot be listed is passed to
    `on_error` (the OSError of os.walk, its path in `filename`) and otherwise skipped."""
    root = Path(folder)
    found: list[Path] = []
    for where, subfolders, names in os.walk(root, onerror=on_error):
        subfolders.sort()  # so that unlistable folders are reported in a fixed order
        for name in names:
            path = Path(where, name)
            if path.suffix.lower() in MODEL_SUFFIXES and path.is_file():
                found.append(path)
    return sorted(found, key=lambda path: path.relative_to(root).as_posix())
