"""The command's checks before any work: paths that must exist, outputs that must be
writable, suffixes that must name a format. Each raises `UsageError`, which the command
reports in one line with exit status 2, before anything is made."""

from __future__ import annotations

import contextlib
import os
from pathlib import Path

from vertisift_tools.formats import CloudError, format_of


class UsageError(Exception):
    """A mistake in the command line, reported without a traceback."""


def need_cloud_format(path: Path) -> None:
    try:
        format_of(path)
    except CloudError as error:
        raise UsageError(error) from None


def need_color_format(fmt: str, colors: bool) -> None:
    """The cloud format `fmt` keeps colours if they are drawn, and needs them if it holds
    nothing else."""
    from vertisift_tools.formats import COLOR_ONLY, SHARD_FORMAT, WITH_COLORS

    if colors and fmt not in (*WITH_COLORS, SHARD_FORMAT):
        kept = ", ".join("." + name for name in WITH_COLORS)
        raise UsageError(f"--colors: a .{fmt} cloud holds no colours; write {kept} or h5")
    if not colors and fmt in COLOR_ONLY:
        raise UsageError(f"a .{fmt} cloud holds colours: add --colors")


def need_file(path: Path, role: str) -> None:
    if not path.exists():
        raise UsageError(f"{role} {path} does not exist")
    if path.is_dir():
        raise UsageError(f"{role} {path} is a folder, not a file")


def need_folder(path: Path, role: str) -> None:
    folder = path if str(path) else Path(".")
    if not folder.exists():
        raise UsageError(f"{role} {folder} does not exist")
    if not folder.is_dir():
        raise UsageError(f"{role} {folder} is not a folder")


def need_output_file(path: Path, role: str) -> None:
    """A file can be written at `path`: its folder exists and may be written in, and no
    folder has its name."""
    if path.is_dir():
        raise UsageError(f"{role} {path} is a folder, not a file")
    need_folder(path.parent, f"the folder of {role}")
    need_writable(path, role)


def need_other_file(output: Path, source: Path, role: str, source_role: str) -> None:
    """`output` is not the file `source` (by any path to it), which writing it would destroy."""
    same = os.path.realpath(output) == os.path.realpath(source)
    with contextlib.suppress(OSError):  # no file at output yet
        same = same or os.path.samefile(output, source)
    if same:
        raise UsageError(f"{role} {output} is {source_role} itself, which it would overwrite")


def need_output_folder(path: Path, role: str) -> None:
    """A folder can be made at `path`, or it is one already and may be written in."""
    if path.exists() and not path.is_dir():
        raise UsageError(f"{role} {path} exists and is not a folder")
    need_writable(path, role)


def need_picture_format(path: Path) -> None:
    """The plotting library writes pictures with the suffix of `path` (any letter case)."""
    from vertisift_tools.preview import picture_formats

    formats = picture_formats()
    if path.suffix.lower()[1:] not in formats:
        raise UsageError(
            f"{path}: cannot write a picture with suffix {path.suffix!r}; use one of "
            f"{', '.join('.' + name for name in sorted(formats))}"
        )


def need_writable(path: Path, role: str) -> None:
    """`path` can be made: the nearest folder that exists on its way may be written in."""
    folder = path if path.is_dir() else path.parent
    while not folder.exists() and folder != folder.parent:
        folder = folder.parent
    if folder.exists() and not folder.is_dir():
        raise UsageError(f"{role} {path} cannot be made: {folder} is not a folder")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise UsageError(f"cannot write {role} {path}: the folder {folder} is not writable")
