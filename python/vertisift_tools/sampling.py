"""One STL model to a point sample: `sample()`, over the package's native module.

The native code reads the file and draws the points with the interpreter lock released, and
writes them into two bytearrays, which become the arrays here without a copy.
"""

from __future__ import annotations

import operator
import os
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from vertisift_tools import _native
from vertisift_tools.choices import (
    DISTINCT_METHOD,
    METHOD_NAMES,
    METHODS,
    NORMALS,
    NORMALS_NAMES,
    Method,
    Normals,
    is_method,
    is_normals,
)

Array = npt.NDArray[np.float32]
SEED_LIMIT = 2**64


class StlReadError(OSError):
    """A model that the reader refuses (not STL, cut short, a path the system cannot take):
    `strerror` is the reader's message, `filename` the path, `errno` None. Errors of the
    operating system stay plain OSError subclasses (FileNotFoundError, ...) with their errno."""

    def __str__(self) -> str:
        if self.filename is None:
            return str(self.strerror)
        return f"{self.strerror}: {self.filename!r}"


def as_integer(value: object, expected: str) -> int:
    """`value` as an int, from anything with `__index__` (NumPy integers too); TypeError
    "<expected>, not <type>" for anything else, bool included (an int subclass that is never
    meant as a count or a seed)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{expected}, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{expected}, not {type(value).__name__}") from None


def check_count(n: object) -> int:
    """The point count `n` as an int: TypeError, ValueError below 0, MemoryError at 2**64
    and above."""
    count = as_integer(n, "n must be an int")
    if count < 0:
        raise ValueError(f"n must be 0 or more, not {count}")
    if count >= SEED_LIMIT:
        raise MemoryError(f"cannot hold {count} points")
    return count


def check_seed(seed: object) -> int | None:
    """The seed as an int in [0, 2**64), or None; TypeError or ValueError otherwise."""
    if seed is None:
        return None
    value = as_integer(seed, "seed must be None or an int")
    if not 0 <= value < SEED_LIMIT:
        raise ValueError(f"seed must be in [0, 2**64), not {value}")
    return value


def check_options(method: object, normals: object, distinct: object) -> tuple[int, int, bool]:
    """The native codes of `method` and `normals`, and `distinct`; TypeError or ValueError
    for values `sample()` does not take."""
    if not isinstance(method, str):
        raise TypeError(f"method must be a str, not {type(method).__name__}")
    if not is_method(method):
        raise ValueError(f"method must be {_one_of(METHOD_NAMES)}, not {method!r}")
    if not isinstance(normals, str):
        raise TypeError(f"normals must be a str, not {type(normals).__name__}")
    if not is_normals(normals):
        raise ValueError(f"normals must be {_one_of(NORMALS_NAMES)}, not {normals!r}")
    if not isinstance(distinct, (bool, np.bool_)):
        raise TypeError(f"distinct must be a bool, not {type(distinct).__name__}")
    if distinct and method != DISTINCT_METHOD:
        raise ValueError(f"distinct=True applies only to method={DISTINCT_METHOD!r}")
    return METHODS[method], NORMALS[normals], bool(distinct)


def _one_of(names: Sequence[str]) -> str:
    """The names quoted and listed for a message: "'a', 'b' or 'c'"."""
    quoted = [repr(name) for name in names]
    return ", ".join(quoted[:-1]) + " or " + quoted[-1]


def sample(
    path: str | os.PathLike[str],
    n: int,
    *,
    method: Method = "vertices",
    seed: int | None = None,
    normals: Normals = "auto",
    distinct: bool = False,
) -> tuple[Array, Array]:
    """Draws `n` points of the STL model at `path`: (positions, normals), two C-contiguous
    float32 arrays of shape (n, 3); (0, 3) each for a model without faces.

    method: "vertices" picks mesh vertices by the grid reduction of
      `vertisift.reduce_stl_points` (one random vertex per occupied grid cell, then shuffle
      and cut, or top up with random vertices); with `distinct=True` the top-up takes
      vertices not chosen yet while any remain. "surface" draws points uniformly over the
      surface area, each with its face's normal.
    normals: "file" uses the stored face normals, "geometry" computes them from the corners
      (right-hand rule), "auto" takes the stored one where it lies within 30 degrees of the
      computed one (or the face has no area) and computes the others. A vertex's normal is
      the normalised sum of its faces' normals. Normals are unit length, or zero where no
      direction exists (a NaN or infinite stored normal has none).
    seed: None draws from the operating system; an int in [0, 2**64) makes the result the
      same, bit for bit, on every call, thread count and machine (for a given version).

    Raises OSError (the reader's message, the path in `filename`) when the file cannot be
    read; ValueError for a negative `n`, an unknown method or normals mode, a seed out of
    range, `distinct` with "surface", or a surface sample of a mesh without area; TypeError
    for arguments of the wrong type; MemoryError when `n` points cannot be held.
    """
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
    count = check_count(n)
    method_code, normals_code, distinct_flag = check_options(method, normals, distinct)
    seed_value = check_seed(seed)
    try:
        position_bytes, normal_bytes = _native.sample(
            path, count, method_code, seed_value, normals_code, distinct_flag
        )
    except OSError as error:
        if error.errno is not None:
            raise
        raise StlReadError(None, error.strerror, error.filename) from None
    positions = np.frombuffer(position_bytes, dtype=np.float32).reshape(-1, 3)
    normal_array = np.frombuffer(normal_bytes, dtype=np.float32).reshape(-1, 3)
    return positions, normal_array
