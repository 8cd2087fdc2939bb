"""A sequence of point clouds over many STL models, for training loops: `PointCloudDataset`.

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

from vertisift_tools.sampling import Array, Method, Normals, check_options, check_seed, sample


def item_seed(seed: int, index: int, epoch: int) -> int:
    """The seed of item `index` in epoch `epoch` of a dataset seeded with `seed`: the first
    eight bytes, little-endian, of the BLAKE2b digest (8-byte output) of the text
    "vertisift-dataset/{seed}/{epoch}/{index}". Items and epochs thus get unrelated seeds,
    and every run repeats them."""
    text = f"vertisift-dataset/{seed}/{epoch}/{index}".encode("ascii")
    return int.from_bytes(hashlib.blake2b(text, digest_size=8).digest(), "little")


def stl_files(folder: str | os.PathLike[str]) -> list[Path]:
    """The .stl files (suffix in any letter case) under `folder`, recursively, in the order of
    their paths relative to it."""
    root = Path(folder)
    found = [path for path in root.rglob("*") if path.suffix.lower() == ".stl" and path.is_file()]
    return sorted(found, key=lambda path: path.relative_to(root).as_posix())


class PointCloudDataset(Sequence[Array]):
    """Item i is a float32 array of shape (n, 6): x, y, z, nx, ny, nz of `n` points drawn
    from the i-th model by `sample()` with the given options.

    files: a list of paths, or a folder (searched recursively for .stl in any letter case).
    seed: None draws afresh on every access; an int in [0, 2**64) draws item i with
      `item_seed(seed, i, epoch)`, so that each epoch differs and every run repeats.
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
    ) -> None:
        if isinstance(files, (str, os.PathLike)):
            if not Path(files).is_dir():
                raise NotADirectoryError(f"not a folder: {os.fspath(files)!r}")
            paths = [str(path) for path in stl_files(files)]
        else:
            paths = [os.fspath(path) for path in files]
        if isinstance(n, bool) or not isinstance(n, int):
            raise TypeError(f"n must be an int, not {type(n).__name__}")
        if n < 0:
            raise ValueError(f"n must be 0 or more, not {n}")
        check_options(method, normals, distinct)
        self.files: list[str] = paths
        self.n = n
        self.method: Method = method
        self.seed = check_seed(seed)
        self.normals: Normals = normals
        self.distinct = distinct
        self.epoch = 0

    def set_epoch(self, epoch: int) -> None:
        """Makes the items of a seeded dataset those of epoch `epoch` (0 at first)."""
        if isinstance(epoch, bool) or not isinstance(epoch, int):
            raise TypeError(f"epoch must be an int, not {type(epoch).__name__}")
        if epoch < 0:
            raise ValueError(f"epoch must be 0 or more, not {epoch}")
        self.epoch = epoch

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
        )
        if len(positions) != self.n:
            raise ValueError(f"{path}: the model has no faces, so it gives no points")
        item = np.empty((self.n, 6), dtype=np.float32)
        item[:, :3] = positions
        item[:, 3:] = normals
        return item

    def __repr__(self) -> str:
        return (
            f"PointCloudDataset({len(self.files)} files, n={self.n}, method={self.method!r}, "
            f"seed={self.seed!r}, normals={self.normals!r}, distinct={self.distinct!r})"
        )
