"""The model files under a folder: which suffixes are models (`MODEL_SUFFIXES`) and
`find_models`, the one search that the batches and the dataset share."""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path
from typing import Final

# Suffixes of the files read as models, in lower case; a file's suffix matches in any case.
MODEL_SUFFIXES: Final = frozenset({".stl"})


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
