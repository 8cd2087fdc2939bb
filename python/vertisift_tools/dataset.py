"""A sequence of point clouds over many mesh models (STL, OFF, OBJ, PLY), for training
loops: `PointCloudDataset`.

It is plain Python over `sample()` and imports no training framework. It pickles (a list of
paths and the options), so a framework's worker processes, forked or spawned, can each load
items in parallel.
"""

from __future__ import annotations

import hashlib
import os
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import overload

import numpy as np

from vertisift_tools.choices import Method, Normals
from vertisift_tools.models import find_models
from vertisift_tools.sampling import (
    Array,
    as_integer,
    check_candidates,
    check_count,
    check_options,
    check_seed,
    sample,
)


def item_seed(seed: int, index: int, epoch: int) -> int:
    """The seed of item `index` in epoch `epoch` of a dataset seeded with `seed`: the first
    eight bytes, little-endian, of the BLAKE2b digest (8-byte output) of the text
    "vertisift-dataset/{seed}/{epoch}/{index}". Items and epochs thus get unrelated seeds,
    and every run repeats them."""
    text = f"vertisift-dataset/{seed}/{epoch}/{index}".encode("ascii")
    return int.from_bytes(hashlib.blake2b(text, digest_size=8).digest(), "little")


def _text_path(path: object, name: str) -> str:
    """`path` as a str; TypeError for bytes paths, which `sample()` does not take either."""
    text = os.fspath(path) if isinstance(path, (str, os.PathLike)) else path
    if not isinstance(text, str):
        raise TypeError(f"{name} must be a str or os.PathLike path, not {type(text).__name__}")
    return text


class PointCloudDataset(Sequence[Array]):
    """Item i is a float32 array of shape (n, 6): x, y, z, nx, ny, nz of `n` points drawn
    from the i-th model by `sample()` with the given options.

    files: a list of paths, or a folder (searched by `find_models`: .stl, .off, .obj and
      .ply in any letter case); paths are str or os.PathLike, not bytes, as for `sample()`.
    method: "surface" by default, unlike `sample()`: a training set wants points spread by
      area, not heaped where a model is finely tessellated.
    seed: None draws afresh on every access; an int in [0, 2**64) draws item i with
      `item_seed(seed, i, epoch)`, so that each epoch differs and every run repeats.
    candidates: with method "fps" or "poisson", how many uniform surface points the n are
      picked from, as for `sample()` (None: its default).
    A model without faces raises ValueError, since it has no points to give.
    """

    def __init__(
        self,
        files: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
        n: int,
        *,
        method: Method = "surface",
        seed: int | None = None,
        normals: Normals = "auto",
        distinct: bool = False,
        candidates: int | None = None,
    ) -> None:
        if isinstance(files, (str, os.PathLike)):
            folder = _text_path(files, "files")
            if not Path(folder).is_dir():
                raise NotADirectoryError(f"not a folder: {folder!r}")
            paths = [str(path) for path in find_models(folder)]
        elif isinstance(files, Iterable) and not isinstance(files, (bytes, bytearray)):
            paths = [_text_path(path, f"files[{index}]") for index, path in enumerate(files)]
        else:
            raise TypeError(
                "files must be a folder or an iterable of paths, each a str or os.PathLike, "
                f"not {type(files).__name__}"
            )
        self.n = check_count(n)
        _, _, self.distinct = check_options(method, normals, distinct)
        # Checked here, as sample() checks it, so that a mistake shows before any item is read;
        # None stays None, leaving the number to sample().
        chosen = check_candidates(method, candidates, self.n)
        self.candidates = None if candidates is None else chosen
        self.files: list[str] = paths
        self.method: Method = method
        self.seed = check_seed(seed)
        self.normals: Normals = normals
        self.epoch = 0

    def set_epoch(self, epoch: int) -> None:
        """Makes the items of a seeded dataset those of epoch `epoch` (0 at first)."""
        value = as_integer(epoch, "epoch must be an int")
        if value < 0:
            raise ValueError(f"epoch must be 0 or more, not {value}")
        self.epoch = value

    def __len__(self) -> int:
        return len(self.files)

    @overload
    def __getitem__(self, index: int) -> Array: ...

    @overload
    def __getitem__(self, index: slice) -> Sequence[Array]: ...

    def __getitem__(self, index: int | slice) -> Array | Sequence[Array]:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        position = range(len(self))[index]  # IndexError and negative indices as for a list
        seed = None if self.seed is None else item_seed(self.seed, position, self.epoch)
        path = self.files[position]
        positions, normals = sample(
            path,
            self.n,
            method=self.method,
            seed=seed,
            normals=self.normals,
            distinct=self.distinct,
            candidates=self.candidates,
        )
        if len(positions) != self.n:
            raise ValueError(f"{path}: the model has no faces, so it gives no points")
        item = np.empty((self.n, 6), dtype=np.float32)
        item[:, :3] = positions
        item[:, 3:] = normals
        return item

    def __repr__(self) -> str:
        candidates = "" if self.candidates is None else f", candidates={self.candidates!r}"
        return (
            f"PointCloudDataset({len(self.files)} files, n={self.n}, method={self.method!r}, "
            f"seed={self.seed!r}, normals={self.normals!r}, distinct={self.distinct!r}"
            f"{candidates})"
        )
