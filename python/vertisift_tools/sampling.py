"""One model to a point sample: `sample()` for a mesh file, `sample_mesh()` for a mesh in
memory, `read_mesh()`, a mesh file to arrays, and `farthest_point_sample()` of any points,
over the package's native module.

The arguments are checked here, each rule in one place and in the order their errors take
precedence, and go to the native module by name; it converts them to plain values, checking
their types alone. The native code reads the file and draws the points with the interpreter
lock released, writes them into buffers that become the arrays here without a copy, and
raises MeshReadError and StlReadError, registered with it below, for a file its reader
refuses.
"""

from __future__ import annotations

import operator
import os
from collections.abc import Sequence
from typing import Literal, NamedTuple, overload

import numpy as np
import numpy.typing as npt

from vertisift_tools import _native
from vertisift_tools.choices import (
    CANDIDATE_METHODS,
    DEFAULT_METHOD,
    DEFAULT_NORMALS,
    DISTINCT_METHOD,
    METHOD_NAMES,
    NORMALS_NAMES,
    SURFACE_METHODS,
    Method,
    Normals,
    default_candidates,
    is_method,
    is_normals,
)
from vertisift_tools.models import mesh_format
from vertisift_tools.options import SEED_LIMIT

Array = npt.NDArray[np.float32]
IndexArray = npt.NDArray[np.int32]
FaceArray = npt.NDArray[np.int64]
# What sample() and sample_mesh() return: (positions, normals), then each point's face and
# its face's corner weights when asked for.
Sampled = (
    tuple[Array, Array]
    | tuple[Array, Array, FaceArray]
    | tuple[Array, Array, Array]
    | tuple[Array, Array, FaceArray, Array]
)
# Vertex numbers that an int32 face array can hold.
INT32_VERTICES = 2**31


class MeshReadError(OSError):
    """A model that its reader refuses (not of its format, cut short, an index out of range, a
    path the system cannot take): `strerror` is the reader's message, which names the format
    and where the file breaks it, `filename` the path, `errno` None. Errors of the operating
    system stay plain OSError subclasses (FileNotFoundError, ...) with their errno."""

    def __str__(self) -> str:
        if self.filename is None:
            return str(self.strerror)
        return f"{self.strerror}: {self.filename!r}"


class StlReadError(MeshReadError):
    """An STL model that the reader refuses, as a MeshReadError."""


# The native module raises these itself for a file that its reader refuses.
_native.register_read_errors(MeshReadError, StlReadError)


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


def check_options(
    method: object, normals: object, distinct: object
) -> tuple[Method, Normals, bool]:
    """`method`, `normals` and `distinct`, checked: TypeError or ValueError for values
    `sample()` does not take."""
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
    return method, normals, bool(distinct)


def check_candidates(method: Method, candidates: object, count: int) -> int:
    """The number of candidates `method` chooses `count` points from: `candidates`, or the
    method's default when None (0 for methods that take none); TypeError or ValueError for a
    value `sample()` does not take."""
    if candidates is None:
        drawn = default_candidates(method, count)
        if drawn >= SEED_LIMIT:  # only for counts whose points alone could never be held
            raise MemoryError(f"cannot hold {count} points")
        return drawn
    value = as_integer(candidates, "candidates must be None or an int")
    if method not in CANDIDATE_METHODS:
        raise ValueError(f"candidates applies only to method {_one_of(CANDIDATE_METHODS)}")
    if value < count:
        raise ValueError(f"candidates must be at least n ({count}), not {value}")
    if value >= SEED_LIMIT:
        raise MemoryError(f"cannot hold {value} candidates")
    return value


class _Draw(NamedTuple):
    """The arguments of a draw, checked, as the native module takes them."""

    n: int
    method: Method
    seed: int | None
    normals: Normals
    distinct: bool
    candidates: int
    return_faces: bool
    return_barycentric: bool


def _checked_draw(
    n: object,
    method: Method,
    seed: object,
    normals: Normals,
    distinct: object,
    candidates: object,
    return_faces: object,
    return_barycentric: object,
) -> _Draw:
    """The arguments that `sample()` and `sample_mesh()` share, checked in the order their
    errors take precedence."""
    count = check_count(n)
    distinct_flag = check_options(method, normals, distinct)[2]
    candidate_count = check_candidates(method, candidates, count)
    faces_flag = check_surface_flag("return_faces", return_faces, method)
    weights_flag = check_surface_flag("return_barycentric", return_barycentric, method)
    return _Draw(
        count,
        method,
        check_seed(seed),
        normals,
        distinct_flag,
        candidate_count,
        faces_flag,
        weights_flag,
    )


def check_surface_flag(name: str, value: object, method: Method) -> bool:
    """A flag that asks for what only the methods on the surface give."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__}")
    if value and method not in SURFACE_METHODS:
        raise ValueError(f"{name}=True needs a method on the surface ({_one_of(SURFACE_METHODS)})")
    return bool(value)


def _one_of(names: Sequence[str]) -> str:
    """The names quoted and listed for a message: "'a', 'b' or 'c'"."""
    quoted = [repr(name) for name in names]
    return ", ".join(quoted[:-1]) + " or " + quoted[-1]


def _check_path(path: object) -> None:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")


def _check_strict(strict: object) -> bool:
    if not isinstance(strict, (bool, np.bool_)):
        raise TypeError(f"strict must be a bool, not {type(strict).__name__}")
    return bool(strict)


@overload
def sample(
    path: str | os.PathLike[str],
    n: int,
    *,
    method: Method = ...,
    seed: int | None = ...,
    normals: Normals = ...,
    distinct: bool = ...,
    strict: bool = ...,
    candidates: int | None = ...,
    return_faces: Literal[False] = ...,
    return_barycentric: Literal[False] = ...,
) -> tuple[Array, Array]: ...


@overload
def sample(
    path: str | os.PathLike[str],
    n: int,
    *,
    method: Method = ...,
    seed: int | None = ...,
    normals: Normals = ...,
    distinct: bool = ...,
    strict: bool = ...,
    candidates: int | None = ...,
    return_faces: Literal[True],
    return_barycentric: Literal[False] = ...,
) -> tuple[Array, Array, FaceArray]: ...


@overload
def sample(
    path: str | os.PathLike[str],
    n: int,
    *,
    method: Method = ...,
    seed: int | None = ...,
    normals: Normals = ...,
    distinct: bool = ...,
    strict: bool = ...,
    candidates: int | None = ...,
    return_faces: Literal[False] = ...,
    return_barycentric: Literal[True],
) -> tuple[Array, Array, Array]: ...


@overload
def sample(
    path: str | os.PathLike[str],
    n: int,
    *,
    method: Method = ...,
    seed: int | None = ...,
    normals: Normals = ...,
    distinct: bool = ...,
    strict: bool = ...,
    candidates: int | None = ...,
    return_faces: Literal[True],
    return_barycentric: Literal[True],
) -> tuple[Array, Array, FaceArray, Array]: ...


@overload
def sample(
    path: str | os.PathLike[str],
    n: int,
    *,
    method: Method = ...,
    seed: int | None = ...,
    normals: Normals = ...,
    distinct: bool = ...,
    strict: bool = ...,
    candidates: int | None = ...,
    return_faces: bool = ...,
    return_barycentric: bool = ...,
) -> Sampled: ...


def sample(
    path: str | os.PathLike[str],
    n: int,
    *,
    method: Method = DEFAULT_METHOD,
    seed: int | None = None,
    normals: Normals = DEFAULT_NORMALS,
    distinct: bool = False,
    strict: bool = False,
    candidates: int | None = None,
    return_faces: bool = False,
    return_barycentric: bool = False,
) -> Sampled:
    """Draws `n` points of the model at `path`: (positions, normals), two C-contiguous
    float32 arrays of shape (n, 3); (0, 3) each for a model without faces. The suffix names
    the format, in any letter case: .off, .obj, .ply, and STL for .stl or any other.

    method: "vertices" picks mesh vertices by the grid reduction of
      `vertisift.reduce_stl_points` (one random vertex per occupied grid cell, then shuffle
      and cut, or top up with random vertices); with `distinct=True` the top-up takes
      vertices not chosen yet while any remain. "surface" draws points uniformly over the
      surface area, each with its face's normal. "fps" draws `candidates` such points and
      keeps n of them by farthest-point sampling (`farthest_point_sample`), starting from a
      candidate the seed picks: the points come in the order chosen, each as far as it can be
      from those before. "poisson" keeps exactly n of `candidates` uniform points by weighted
      sample elimination (each point weighs what its near neighbours press on it, and the
      heaviest goes, until n remain): blue noise, no two points much closer than the spacing
      n points can keep on that area, listed in the order drawn.
    candidates: for "fps" and "poisson" only, at least n; by default 10,000, or 4 * n when
      that is more, for "fps", and 5 * n for "poisson". The points and normals are those of
      `method="surface"` with the same seed and `candidates` points, kept in part.
    normals: "file" uses the stored normals: an STL face's, or the vertex normals of OBJ
      (vn) and PLY or OFF (nx ny nz), blended at a surface point; "geometry" computes the
      face's from its corners (right-hand rule); "auto" takes a stored one where it lies
      within 30 degrees of the computed one (or the face has no area) and computes the
      others. A vertex's normal is the normalised sum of its faces' (or corners') normals.
      Normals are unit length, or zero where no direction exists (a NaN or infinite stored
      normal has none; a file that stores none stores zeros). "smooth" blends, at a surface
      point, its face's three vertex normals with the point's barycentric weights and makes
      the blend unit length; a vertex normal is the normalised sum of the unit geometric
      normals of the faces around it (around the position, identical bit for bit, in STL;
      around the vertex index in the indexed formats). For "vertices", "smooth" is that
      vertex normal, the same as "geometry".
    seed: None draws from the operating system; an int in [0, 2**64) makes the result the
      same, bit for bit, on every call, thread count and machine (for a given version).
    strict: read STL exactly as `vertisift.reduce_stl_points` does; by default STL is read as
      other tools write it (keywords in any case, blanks before "solid", ...).
    return_faces: for the methods on the surface, also return each point's face: int64 array
      of shape (n,), indices into the faces `read_mesh(path)` gives (the file's faces in order,
      polygons split into fans), to carry per-face labels, parts or colours to the points.
    return_barycentric: for the methods on the surface, also return (after the faces, when
      both are asked for) each point's weights: float32 array of shape (n, 3), the weights
      w of its face's three corners in the order of `read_mesh(path)`'s faces, so that the
      point is w[0] * a + w[1] * b + w[2] * c (to float32 rounding) and per-vertex data
      carries to the points the same way.

    Raises OSError (the reader's message, the path in `filename`) when the file cannot be
    read: MeshReadError (StlReadError for STL) for a file its reader refuses; ValueError for
    a negative `n`, an unknown method or normals mode, a seed out of range, `distinct` other
    than with "vertices", `candidates` other than with "fps" and "poisson" or below n,
    `return_faces` or `return_barycentric` with "vertices", or a surface sample of a mesh
    without area; TypeError for
    arguments of the wrong type; MemoryError when `n` points (or the candidates) cannot be
    held.
    """
    _check_path(path)
    draw = _checked_draw(
        n, method, seed, normals, distinct, candidates, return_faces, return_barycentric
    )
    text = os.fspath(path)
    file_format = mesh_format(text)
    strict_flag = _check_strict(strict)
    buffers = _native.sample(
        text,
        draw.n,
        method=draw.method,
        seed=draw.seed,
        normals=draw.normals,
        distinct=draw.distinct,
        format=file_format,
        strict=strict_flag,
        candidates=draw.candidates,
        return_faces=draw.return_faces,
        return_barycentric=draw.return_barycentric,
    )
    return _sampled(buffers, draw)


def _points(buffer: bytearray) -> Array:
    return np.frombuffer(buffer, dtype=np.float32).reshape(-1, 3)


def _sampled(buffers: tuple[bytearray, ...], draw: _Draw) -> Sampled:
    """The native result as arrays: positions, normals and, when asked, the faces and the
    weights."""
    arrays: list[npt.NDArray[np.generic]] = [_points(buffers[0]), _points(buffers[1])]
    rest = iter(buffers[2:])
    if draw.return_faces:
        arrays.append(np.frombuffer(next(rest), dtype=np.int64))
    if draw.return_barycentric:
        arrays.append(_points(next(rest)))
    return tuple(arrays)  # type: ignore[return-value]


def read_mesh(path: str | os.PathLike[str], *, strict: bool = False) -> tuple[Array, IndexArray]:
    """The mesh in the file at `path`: (vertices, faces), a C-contiguous float32 array of
    shape (V, 3) and an int32 array of shape (F, 3), read in native code with the
    interpreter lock released and handed over without a copy. The format is the suffix's, as
    for `sample()`. STL vertices are merged where identical bit for bit, numbered in order
    of first use (as the sampling merges them); OFF, OBJ and PLY keep their vertices as
    stored, unused ones included. Polygons are split into fans of triangles; faces of fewer
    than three corners are left out. Raises what `sample()` raises for a file."""
    _check_path(path)
    text = os.fspath(path)
    file_format = mesh_format(text)
    strict_flag = _check_strict(strict)
    position_buffer, face_buffer, _skipped = _native.read_mesh(
        text, format=file_format, strict=strict_flag
    )
    vertices = np.frombuffer(position_buffer, dtype=np.float32).reshape(-1, 3)
    index_type = np.int32 if len(vertices) <= INT32_VERTICES else np.uint32
    faces = np.frombuffer(face_buffer, dtype=index_type).reshape(-1, 3)
    return vertices, faces  # type: ignore[return-value]


@overload
def sample_mesh(
    vertices: npt.ArrayLike,
    faces: npt.ArrayLike,
    n: int,
    *,
    method: Method = ...,
    seed: int | None = ...,
    normals: Normals = ...,
    distinct: bool = ...,
    candidates: int | None = ...,
    return_faces: Literal[False] = ...,
    return_barycentric: Literal[False] = ...,
) -> tuple[Array, Array]: ...


@overload
def sample_mesh(
    vertices: npt.ArrayLike,
    faces: npt.ArrayLike,
    n: int,
    *,
    method: Method = ...,
    seed: int | None = ...,
    normals: Normals = ...,
    distinct: bool = ...,
    candidates: int | None = ...,
    return_faces: Literal[True],
    return_barycentric: Literal[False] = ...,
) -> tuple[Array, Array, FaceArray]: ...


@overload
def sample_mesh(
    vertices: npt.ArrayLike,
    faces: npt.ArrayLike,
    n: int,
    *,
    method: Method = ...,
    seed: int | None = ...,
    normals: Normals = ...,
    distinct: bool = ...,
    candidates: int | None = ...,
    return_faces: bool = ...,
    return_barycentric: bool = ...,
) -> Sampled: ...


def sample_mesh(
    vertices: npt.ArrayLike,
    faces: npt.ArrayLike,
    n: int,
    *,
    method: Method = DEFAULT_METHOD,
    seed: int | None = None,
    normals: Normals = DEFAULT_NORMALS,
    distinct: bool = False,
    candidates: int | None = None,
    return_faces: bool = False,
    return_barycentric: bool = False,
) -> Sampled:
    """Draws `n` points of the mesh (`vertices`, shape (V, 3), float32 or float64; `faces`,
    shape (F, 3), any integer type), as `sample()` draws them from a file: for the mesh
    that `read_mesh(path)` gives, `sample_mesh(*read_mesh(path), ...)` and `sample(path, ...)`
    give the same arrays bit for bit with normals="geometry". A mesh in memory stores no
    normals: "file" gives zeros, "auto" the geometry's. "vertices" draws from the vertices
    that faces use; `return_faces` indexes `faces`, and `return_barycentric` weighs the
    corners of those faces in the order `faces` lists them.

    Raises ValueError for arrays of the wrong shape or type, a face index below 0 or not
    below V, or a face that uses a vertex with a NaN or infinite coordinate, or with a
    float64 one that overflows float32, in which the mesh is sampled; and what
    `sample()` raises for the other arguments.
    """
    given = _vertex_array(vertices)
    face_array = _face_array(faces)
    draw = _checked_draw(
        n, method, seed, normals, distinct, candidates, return_faces, return_barycentric
    )
    if len(face_array):
        low, high = int(face_array.min()), int(face_array.max())
        if low < 0 or high >= len(given):
            bad = low if low < 0 else high
            raise ValueError(f"faces name vertex {bad}, but there are {len(given)} vertices")
    vertex_array = _single_precision(given, face_array)
    buffers = _native.sample_mesh(
        vertex_array,
        face_array.astype(np.uint32, copy=False),
        draw.n,
        method=draw.method,
        seed=draw.seed,
        normals=draw.normals,
        distinct=draw.distinct,
        candidates=draw.candidates,
        return_faces=draw.return_faces,
        return_barycentric=draw.return_barycentric,
    )
    return _sampled(buffers, draw)


def farthest_point_sample(points: npt.ArrayLike, k: int, *, start: int = 0) -> FaceArray:
    """The indices (int64, shape (k,)) of exact farthest-point sampling of `points`, an
    array of shape (m, 3), float32 or float64: first `start`, then each time the point whose
    distance to those chosen is largest, of equal distances the lowest index. Distances are
    compared as (dx**2 + dy**2) + dz**2 in the array's own precision, so the result is that
    of the plain O(m * k) loop, index for index, on any machine and thread count; once every
    distinct position is chosen, points at distance 0 follow, lowest index first. The loop
    runs on the points scaled exactly by the power of two that brings their largest magnitude
    into [2**59, 2**60), so a model chooses alike at any scale (1e-30 or 1e30, where squares
    of single-precision distances would underflow or overflow). Runs in
    native code on the worker threads, on a tree that passes over the points a new point
    cannot come closer to, with the interpreter lock released.

    Raises ValueError for an array of another shape or type, `k` below 0 or above m,
    `start` not in [0, m) (when k > 0), or a coordinate that is NaN or infinite; TypeError
    for a `k` or `start` that is not an int.
    """
    array = np.asarray(points)
    if array.dtype not in (np.float32, np.float64):
        raise ValueError(f"points must be float32 or float64, not {array.dtype}")
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"points must have shape (m, 3), not {array.shape}")
    count = as_integer(k, "k must be an int")
    if not 0 <= count <= len(array):
        raise ValueError(f"k must be in [0, {len(array)}], not {count}")
    first = as_integer(start, "start must be an int")
    if count and not 0 <= first < len(array):
        raise ValueError(f"start must be in [0, {len(array)}), not {first}")
    chosen = _native.farthest_point_sample(
        np.ascontiguousarray(array),
        count,
        double=array.dtype == np.float64,
        start=first if count else 0,
    )
    return np.frombuffer(chosen, dtype=np.int64)


def _vertex_array(vertices: npt.ArrayLike) -> npt.NDArray[np.floating]:
    array = np.asarray(vertices)
    if array.dtype not in (np.float32, np.float64):
        raise ValueError(f"vertices must be float32 or float64, not {array.dtype}")
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"vertices must have shape (V, 3), not {array.shape}")
    return array


def _single_precision(vertices: npt.NDArray[np.floating], faces: npt.NDArray[np.integer]) -> Array:
    """The vertices in float32, as the sampling takes them. ValueError when the first face
    that uses a vertex without a finite float32 position (the native refusal's order) uses
    one whose double-precision coordinates are finite but beyond float32."""
    with np.errstate(over="ignore"):
        single = np.ascontiguousarray(vertices, dtype=np.float32)
    if vertices.dtype == np.float32 or not len(faces):
        return single
    unusable = ~np.isfinite(single).all(axis=1)
    if not unusable.any():
        return single
    corners = np.flatnonzero(unusable[faces])
    if len(corners):
        face, corner = divmod(int(corners[0]), 3)
        vertex = int(faces[face, corner])
        if np.isfinite(vertices[vertex]).all():
            largest = float(np.abs(vertices[vertex]).max())
            raise ValueError(
                f"faces[{face}] uses vertex {vertex}, whose coordinates overflow single "
                f"precision (largest magnitude {largest:g})"
            )
    return single


def _face_array(faces: npt.ArrayLike) -> npt.NDArray[np.integer]:
    array = np.asarray(faces)
    if array.size == 0 and array.ndim == 2 and array.shape[1] == 3:
        return np.zeros((0, 3), dtype=np.int64)
    if not np.issubdtype(array.dtype, np.integer):
        raise ValueError(f"faces must hold integers, not {array.dtype}")
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"faces must have shape (F, 3), not {array.shape}")
    return np.ascontiguousarray(array)
