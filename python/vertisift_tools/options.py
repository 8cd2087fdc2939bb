"""How the command and the batch runners draw a model's points: `SampleOptions`, the
`model_seed()` that every model of a batch or a dataset draws with, and the
`package_version()` that seeded draws also depend on.

Plain values only (no NumPy, no native code), so that planning a batch stays cheap and the
options travel to worker processes and Dask workers as they are.
"""

from __future__ import annotations

import hashlib
import operator
from dataclasses import dataclass, replace

from vertisift_tools.choices import DEFAULT_METHOD, DEFAULT_NORMALS, Method, Normalize, Normals


def package_version() -> str:
    """The version of the installed distribution."""
    from importlib import metadata

    try:
        return metadata.version("vertisift")
    except metadata.PackageNotFoundError:
        return "unknown (not installed as a distribution)"


# The first word of the text that `model_seed` hashes: a batch records it, so that a folder
# of clouds drawn with seeds of another scheme is not resumed with these.
SEED_SCHEME = "vertisift-model"
SEED_LIMIT = 2**64


def model_seed(seed: int, relative_path: str, epoch: int = 0) -> int:
    """The seed of the model at `relative_path` ("/"-separated, relative to the root of the
    dataset or the input folder of the batch) in epoch `epoch` of draws seeded with `seed`:
    the first eight bytes, little-endian, of the BLAKE2b digest (8-byte output) of the UTF-8
    text "vertisift-model/{seed}/{epoch}/{relative_path}" (undecodable file names as their
    original bytes). It depends on nothing else, so a batch's cloud of a model is the dataset's
    item of epoch 0 for the same root, seed and options, and adding, removing or skipping a
    model changes no other model's points. Raises TypeError or ValueError for a seed outside
    [0, 2**64), a negative epoch or a path that is not a str."""
    seed_value = _whole_number(seed, "seed")
    if not 0 <= seed_value < SEED_LIMIT:
        raise ValueError(f"seed must be in [0, 2**64), not {seed_value}")
    epoch_value = _whole_number(epoch, "epoch")
    if epoch_value < 0:
        raise ValueError(f"epoch must be 0 or more, not {epoch_value}")
    if not isinstance(relative_path, str):
        raise TypeError(f"relative_path must be a str, not {type(relative_path).__name__}")
    text = f"{SEED_SCHEME}/{seed_value}/{epoch_value}/{relative_path}"
    digest = hashlib.blake2b(text.encode("utf-8", "surrogateescape"), digest_size=8).digest()
    return int.from_bytes(digest, "little")


def _whole_number(value: object, name: str) -> int:
    # Any integer with __index__ (NumPy's too) but a bool, as sample() takes its seed.
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None


@dataclass(frozen=True)
class SampleOptions:
    """How the command, the batches and `reduce_to_arrays()` draw a model's points: the
    options of `vertisift_tools.sample()` with its defaults (`choices.DEFAULT_METHOD` and
    `DEFAULT_NORMALS`), and no seed. `candidates` (for "fps" and "poisson" only) is how many
    uniform surface points the N are picked from; None leaves it to `sample()`.
    `normalize="unit_sphere"` then centres the positions at their mean and scales them so that
    the farthest is at distance 1, as `PointCloudDataset(normalize="unit_sphere")` does.
    `colors` draws each point's colour too (`sample(colors=True)`), which the clouds keep.
    `visible` draws from the surface seen from outside the model alone, along
    `view_directions` directions (None: `sample()`'s 64), as `sample(visible=True)` does;
    normals="outward" draws so too."""

    method: Method = DEFAULT_METHOD
    seed: int | None = None
    normals: Normals = DEFAULT_NORMALS
    distinct: bool = False
    candidates: int | None = None
    normalize: Normalize | None = None
    colors: bool = False
    visible: bool = False
    view_directions: int | None = None

    def for_file(self, relative: str) -> SampleOptions:
        """These options for the model at `relative` in a batch: a seed, if given, becomes
        that model's own seed, `model_seed(seed, relative)` (that of epoch 0)."""
        if self.seed is None:
            return self
        return replace(self, seed=model_seed(self.seed, relative))
