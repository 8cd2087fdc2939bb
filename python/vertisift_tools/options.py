"""How the command and the batch runners draw a model's points: `SampleOptions`, and the
`package_version()` that seeded draws also depend on.

Plain values only (no NumPy, no native code), so that planning a batch stays cheap and the
options travel to worker processes and Dask workers as they are.
"""

from __future__ import annotations

import hashlib
from dataclasses import dataclass, replace

from vertisift_tools.choices import Method, Normals


def package_version() -> str:
    """The version of the installed distribution."""
    from importlib import metadata

    try:
        return metadata.version("vertisift")
    except metadata.PackageNotFoundError:
        return "unknown (not installed as a distribution)"


def file_seed(seed: int, relative: str) -> int:
    """The seed of the model at `relative` ("/"-separated, under the input folder) in a batch
    seeded with `seed`: the first eight bytes, little-endian, of the BLAKE2b digest (8-byte
    output) of the UTF-8 text "vertisift-batch/{seed}/{relative}". It depends on nothing else,
    so a rerun, a resumed run, another number of processes and a Dask run draw alike."""
    text = f"vertisift-batch/{seed}/{relative}".encode("utf-8", "surrogateescape")
    return int.from_bytes(hashlib.blake2b(text, digest_size=8).digest(), "little")


@dataclass(frozen=True)
class SampleOptions:
    """The options of `vertisift_tools.sample()` that the command passes on. The defaults are
    the command's own: vertices, the normals the file stores, and no seed, which draw the
    clouds of the versions before these options (`sample()`'s "auto" normals would not).
    `candidates` (for "fps" and "poisson" only) is how many uniform surface points the N are
    picked from; None leaves it to `sample()`."""

    method: Method = "vertices"
    seed: int | None = None
    normals: Normals = "file"
    distinct: bool = False
    candidates: int | None = None

    def for_file(self, relative: str) -> SampleOptions:
        """These options for the model at `relative` in a batch: a seed, if given, becomes
        that file's own seed (`file_seed`)."""
        if self.seed is None:
            return self
        return replace(self, seed=file_seed(self.seed, relative))
