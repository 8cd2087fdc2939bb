"""A sequence of point clouds over many mesh models (STL, OFF, OBJ, PLY, glTF), for training
loops: `PointCloudDataset`, with class labels taken from folders, splits and normalisation if
asked.

It is plain Python over `sample()` and imports no training framework. It pickles (lists of
paths and the options), so a framework's worker processes, forked or spawned, can each load
items in parallel.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path, PurePosixPath
from typing import Any, Literal, TypeVar, Unpack, cast, overload

import numpy as np

from vertisift_tools.choices import DEFAULT_NORMALS, Method, Normalize, Normals
from vertisift_tools.convert import NO_FACES_MESSAGE, EmptyMeshError, describe, normalized
from vertisift_tools.models import find_models
from vertisift_tools.options import model_seed
from vertisift_tools.sampling import (
    Array,
    Draw,
    as_integer,
    check_draw,
    sample_reporting_colors,
    warn_unused_textures,
)
from vertisift_tools.sources import (
    check_random_access,
    is_folder_source,
    is_remote,
    list_source,
    split_address,
)
from vertisift_tools.storage import is_url, local_path

# An item: the points alone (Array), or with their class (tuple[Array, int], labels="folders");
# the overloads of PointCloudDataset.__init__ choose it.
Item = TypeVar("Item")
Files = str | os.PathLike[str] | Iterable[str | os.PathLike[str]]
OnError = Literal["raise", "skip"]


class _Options(Draw, total=False):
    """The options of a dataset besides its files, the count and the labels, by name."""

    root: str | os.PathLike[str] | None
    split: str | None
    normalize: Normalize | None
    on_error: OnError
    colors: bool


# The failures that a model of the dataset can give, which on_error="skip" passes over;
# anything else is a fault, and raised.
MODEL_FAILURES = (OSError, ValueError, MemoryError)


def _text_path(path: object, name: str) -> str:
    """`path` as a str; TypeError for bytes paths, which `sample()` does not take either."""
    text = os.fspath(path) if isinstance(path, (str, os.PathLike)) else path
    if not isinstance(text, str):
        raise TypeError(f"{name} must be a str or os.PathLike path, not {type(text).__name__}")
    return text


def _choice(value: object, name: str, allowed: tuple[str | None, ...]) -> Any:
    """`value` if it is one of `allowed`; TypeError or ValueError, naming them, otherwise."""
    if (value is None or isinstance(value, str)) and value in allowed:
        return value
    shown = " or ".join(repr(choice) for choice in allowed)
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{name} must be {shown}, not {type(value).__name__}")
    raise ValueError(f"{name} must be {shown}, not {value!r}")


def _check_split(split: object) -> str | None:
    if split is None:
        return None
    if not isinstance(split, str):
        raise TypeError(f"split must be None or a folder name, not {type(split).__name__}")
    if not split or "/" in split or split in (".", ".."):
        raise ValueError(f"split must be a folder name, not {split!r}")
    return split


def _models(files: object, root: object) -> tuple[str | None, list[str], list[str]]:
    """The root, the model paths and their "/"-separated paths relative to the root: those
    under a folder (its own root), or those of a list, under `root` or else under the common
    parent folder of the list's models."""
    if isinstance(files, (str, os.PathLike)):
        folder = _text_path(files, "files")
        if root is not None:
            raise ValueError("root applies to a list of paths; a folder is its own root")
        if not is_folder_source(folder):
            # An archive, or a folder behind a URL: read member by member, in any order.
            check_random_access(folder)
            listing = list_source(folder)
            return folder, listing.addresses, listing.relative
        if not Path(folder).is_dir():
            raise NotADirectoryError(f"not a folder: {folder!r}")
        found = find_models(folder)
        return (
            folder,
            [str(path) for path in found],
            [path.relative_to(folder).as_posix() for path in found],
        )
    if not isinstance(files, Iterable) or isinstance(files, (bytes, bytearray)):
        raise TypeError(
            "files must be a folder or an iterable of paths, each a str or os.PathLike, "
            f"not {type(files).__name__}"
        )
    paths = [_text_path(path, f"files[{index}]") for index, path in enumerate(files)]
    # Relative paths are taken between absolute ones, so that a relative root and absolute
    # paths (or the reverse) meet; they are worked out once, here, whatever the working
    # folder of the processes that load the items.
    absolute = [_where(path) for path in paths]
    if root is not None:
        base = _text_path(root, "root")
        inside = paths and all(split_address(path) for path in paths) and not is_url(base)
        # A root of members is a folder inside their archive.
        base_where = "/" + base.strip("/") if inside else _where(base)
    elif paths:
        base = base_where = os.path.commonpath([os.path.dirname(path) for path in absolute])
    else:
        return None, [], []
    relative = []
    for index, path in enumerate(absolute):
        try:
            relative.append(PurePosixPath(path).relative_to(base_where).as_posix())
        except ValueError:
            reason = f"files[{index}] {paths[index]!r} is not under the root {base!r}"
            raise ValueError(reason) from None
    return base, paths, relative


def _where(path: str) -> str:
    """Where a model lies, as an absolute "/"-separated path that relative paths are taken
    from: a member's name inside its archive, an object's bucket and key, a file's absolute
    path."""
    member = split_address(path)
    if member is not None:
        return "/" + member[1].strip("/")
    if is_remote(path):
        return "/" + path.partition("://")[2].strip("/")
    return Path(os.path.abspath(local_path(path))).as_posix()


class PointCloudDataset(Sequence[Item]):
    """Item i is a float32 array of shape (n, 6): x, y, z, nx, ny, nz of `n` points drawn
    from the i-th model by `sample()` with the given options, or with colors=True (n, 9):
    x, y, z, nx, ny, nz, r, g, b; with labels="folders", the pair (points, label).

    files: a list of paths, or a folder (searched by `find_models`: .stl, .off, .obj, .ply,
      .glb and .gltf in any letter case); paths are str or os.PathLike, not bytes, as for
      `sample()`. In place of a folder, an archive that can be read in any order (.zip, or a
      plain .tar: a compressed tar raises ArchiveError, a ValueError) or a folder URL of
      fsspec ("s3://bucket/models"): its models are its members (under its one top folder,
      if it has one) or objects, each read into memory as its item is loaded. A list may
      name members ("zip://chair/train/0001.off::ModelNet40.zip") and URLs as it names
      paths: their relative paths are taken inside the archive or the bucket (a `root` for
      members is a folder inside their archive).
    root: the folder that the models' relative paths start from (`relative_paths`), which
      the seeds, the labels and the split read: a folder given as `files` is its own root; for
      a list, by default the common parent folder of its models.
    method: "surface" by default, unlike `sample()`: a training set wants points spread by
      area, not heaped where a model is finely tessellated.
    seed: None draws afresh on every access; an int in [0, 2**64) draws the model at relative
      path r in epoch k with `model_seed(seed, r, k)`, so that each epoch differs, every run
      repeats, a model's points do not depend on the other models, and epoch 0 gives the
      clouds of a batch of the root with the same seed and options.
    candidates: with method "fps" or "poisson", how many uniform surface points the n are
      picked from, as for `sample()` (None: its default).
    visible, view_directions: draw from the surface seen from outside each model alone, along
      that many directions (None: 64), as `sample(visible=True)` does; normals="outward"
      draws so too. A model with no visible surface raises ValueError (and is a failure
      for on_error="skip").
    labels: "folders" takes each model's class from the first folder of its relative path:
      `classes` are those folders' names, sorted (of every model, before the split and any
      failure), `class_to_index` numbers them, and items become (points, label).
    split: keeps only the models with a folder of that name in their relative path, such as
      "train" for "chair/train/chair_0001.off".
    normalize: "unit_sphere" centres each item's points at their mean and scales them so
      that the farthest is at distance 1; normals stay as they are.
    on_error: "raise" lets a model that cannot be drawn raise when its item is read; "skip"
      runs `check()` at once, which drops such models and lists them in `failures`.
    colors: the points' colours (RGB in [0, 1], as `sample(colors=True)` gives them) follow
      the normals in each item; a model that stores none gives white, and `check()` lists
      such models in `colorless`.
    A model without faces raises ValueError (EmptyMeshError), since it has no points to give.
    """

    @overload
    def __init__(
        self: PointCloudDataset[Array],
        files: Files,
        n: int,
        *,
        labels: None = ...,
        **options: Unpack[_Options],
    ) -> None: ...

    @overload
    def __init__(
        self: PointCloudDataset[tuple[Array, int]],
        files: Files,
        n: int,
        *,
        labels: Literal["folders"],
        **options: Unpack[_Options],
    ) -> None: ...

    @overload
    def __init__(  # labels known only when the program runs
        self: PointCloudDataset[Array | tuple[Array, int]],
        files: Files,
        n: int,
        *,
        labels: Literal["folders"] | None,
        **options: Unpack[_Options],
    ) -> None: ...

    def __init__(
        self,
        files: Files,
        n: int,
        *,
        method: Method = "surface",
        seed: int | None = None,
        normals: Normals = DEFAULT_NORMALS,
        distinct: bool = False,
        candidates: int | None = None,
        visible: bool = False,
        view_directions: int | None = None,
        root: str | os.PathLike[str] | None = None,
        labels: Literal["folders"] | None = None,
        split: str | None = None,
        normalize: Normalize | None = None,
        on_error: OnError = "raise",
        colors: bool = False,
    ) -> None:
        found_root, paths, relative = _models(files, root)
        # Checked here, as sample() checks them, so that a mistake shows before any item is
        # read; candidates=None stays None, leaving the number to sample(). `visible` is
        # True for normals="outward" too, with the number of directions filled in.
        (
            self.n,
            self.distinct,
            self.candidates,
            self.colors,
            self.seed,
            self.visible,
            self.view_directions,
        ) = check_draw(
            n,
            method=method,
            seed=seed,
            normals=normals,
            distinct=distinct,
            candidates=candidates,
            colors=colors,
            visible=visible,
            view_directions=view_directions,
        )
        self.method: Method = method
        self.normals: Normals = normals
        self.labels: Literal["folders"] | None = _choice(labels, "labels", (None, "folders"))
        self.split = _check_split(split)
        self.normalize: Normalize | None = _choice(normalize, "normalize", (None, "unit_sphere"))
        self.on_error: OnError = _choice(on_error, "on_error", ("raise", "skip"))
        self.colorless: list[str] = []
        self.root = found_root
        self.epoch = 0
        self.classes: list[str] = []
        if self.labels is not None:
            for path, where in zip(paths, relative, strict=True):
                if "/" not in where:
                    raise ValueError(
                        f"labels='folders' takes a model's class from its folder under the "
                        f"root {found_root!r}, and {path!r} is in none"
                    )
            self.classes = sorted({where.split("/", 1)[0] for where in relative})
        self.class_to_index = {name: index for index, name in enumerate(self.classes)}
        kept = [
            index
            for index, where in enumerate(relative)
            if self.split is None or self.split in where.split("/")[:-1]
        ]
        self.files: list[str] = [paths[index] for index in kept]
        self.relative_paths: list[str] = [relative[index] for index in kept]
        self.failures: list[tuple[str, str]] = []
        if self.on_error == "skip":
            self.check()

    def set_epoch(self, epoch: int) -> None:
        """Makes the items of a seeded dataset those of epoch `epoch` (0 at first)."""
        value = as_integer(epoch, "epoch must be an int")
        if value < 0:
            raise ValueError(f"epoch must be 0 or more, not {value}")
        self.epoch = value

    def check(self) -> None:
        """Draws every model's item once, as reading it would, on several threads (`sample()`
        releases the interpreter lock), and keeps none. With on_error="raise", raises the
        error of the first model, in order, that fails; with "skip", drops every model that
        fails from the dataset and adds (path, reason) to `failures` for each."""
        with ThreadPoolExecutor() as executor:
            ended = list(executor.map(self._attempt, range(len(self))))
        errors = [error for error, _ in ended]
        self.colorless = [
            self.files[i] for i, (error, white) in enumerate(ended) if white and not error
        ]
        failed = [index for index, error in enumerate(errors) if error is not None]
        if failed and self.on_error == "raise":
            raise cast(Exception, errors[failed[0]])
        for index in failed:
            path, error = self.files[index], cast(Exception, errors[index])
            # The path goes beside the reason, so the reason leaves it out.
            reason = (
                NO_FACES_MESSAGE if isinstance(error, EmptyMeshError) else describe(error, path)
            )
            self.failures.append((path, reason))
        dropped = set(failed)
        self.files = [path for index, path in enumerate(self.files) if index not in dropped]
        self.relative_paths = [
            where for index, where in enumerate(self.relative_paths) if index not in dropped
        ]

    def __len__(self) -> int:
        return len(self.files)

    @overload
    def __getitem__(self, index: int) -> Item: ...

    @overload
    def __getitem__(self, index: slice) -> Sequence[Item]: ...

    def __getitem__(self, index: int | slice) -> Item | Sequence[Item]:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        position = range(len(self))[index]  # IndexError and negative indices as for a list
        points = self._points(position)
        if self.labels is None:
            return cast(Item, points)
        label = self.class_to_index[self.relative_paths[position].split("/", 1)[0]]
        return cast(Item, (points, label))

    def _points(self, position: int) -> Array:
        return self._drawn(position)[0]

    def _drawn(self, position: int) -> tuple[Array, bool]:
        """The model's item, and whether it was drawn with colours from a model that stores
        none."""
        seed = None
        if self.seed is not None:
            seed = model_seed(self.seed, self.relative_paths[position], self.epoch)
        path = self.files[position]
        drawn, found = sample_reporting_colors(
            path,
            self.n,
            method=self.method,
            seed=seed,
            normals=self.normals,
            distinct=self.distinct,
            candidates=self.candidates,
            visible=self.visible,
            view_directions=self.view_directions,
            colors=self.colors,
        )
        positions, normals, *colors = cast(tuple[Array, ...], drawn)
        if len(positions) != self.n:
            raise EmptyMeshError(f"{path}: {NO_FACES_MESSAGE}")
        item = np.empty((self.n, 9 if self.colors else 6), dtype=np.float32)
        item[:, :3] = normalized(positions, self.normalize)
        item[:, 3:6] = normals
        if colors:
            item[:, 6:] = colors[0]
        warn_unused_textures(found)
        return item, not found.stored

    def _attempt(self, position: int) -> tuple[Exception | None, bool]:
        """The failure of the model's item, or None when it can be drawn; and whether it
        was drawn with colours from a model that stores none."""
        try:
            return None, self._drawn(position)[1]
        except MODEL_FAILURES as error:
            return error, False

    def __repr__(self) -> str:
        under = "" if self.root is None else f" under {self.root!r}"
        shown = [
            f"{len(self.files)} files{under}",
            f"n={self.n}",
            f"method={self.method!r}",
            f"seed={self.seed!r}",
            f"normals={self.normals!r}",
            f"distinct={self.distinct!r}",
        ]
        if self.candidates is not None:
            shown.append(f"candidates={self.candidates!r}")
        if self.visible:
            shown.append(f"visible=True, view_directions={self.view_directions!r}")
        if self.labels is not None:
            shown.append(f"labels={self.labels!r} ({len(self.classes)} classes)")
        if self.split is not None:
            shown.append(f"split={self.split!r}")
        if self.normalize is not None:
            shown.append(f"normalize={self.normalize!r}")
        if self.colors:
            shown.append("colors=True")
        if self.on_error != "raise":
            shown.append(f"on_error={self.on_error!r} ({len(self.failures)} failed)")
        return f"PointCloudDataset({', '.join(shown)})"
