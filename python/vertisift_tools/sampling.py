"""One model to a point sample: `sample()` for a mesh file, `sample_mesh()` for a mesh in
memory, `read_mesh()`, a mesh file to arrays, and `farthest_point_sample()` of any points,
over the package's native module.

The arguments go to the native module by name as the caller gave them: its table of each
function's parameters is the one place their types and rules are checked, in the order their
errors take precedence; this module checks only what it needs itself (a path it can take the
suffix of, arrays it can hand over). The native code reads the file and draws the points with
the interpreter lock released, writes them into buffers that become the arrays here without a
copy, and raises MeshReadError and StlReadError, registered with it below, for a file its
reader refuses.
"""

from __future__ import annotations

import operator
import os
import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING, Literal, NamedTuple, TypedDict, Unpack, cast, overload

import numpy as np
import numpy.typing as npt

from vertisift_tools import _native, storage
from vertisift_tools.choices import DEFAULT_METHOD, DEFAULT_NORMALS, Method, Normals
from vertisift_tools.models import mesh_format
from vertisift_tools.sources import SideFiles, is_remote, model_name, read_model

if TYPE_CHECKING:
    from vertisift_tools._native import _Draw

Array = npt.NDArray[np.float32]
IndexArray = npt.NDArray[np.int32]
FaceArray = npt.NDArray[np.int64]
PathArgument = str | os.PathLike[str]
# What sample() and sample_mesh() return: (positions, normals), then each point's colour,
# face and its face's corner weights when asked for.
Sampled = (
    tuple[Array, Array]
    | tuple[Array, Array, FaceArray]
    | tuple[Array, Array, Array]
    | tuple[Array, Array, FaceArray, Array]
    | tuple[Array, Array, Array, FaceArray]
    | tuple[Array, Array, Array, Array]
    | tuple[Array, Array, Array, FaceArray, Array]
)
# check_draw's answer: (n, distinct, candidates, colors, seed, visible, view_directions).
DrawChecked = tuple[int, bool, int | None, bool, int | None, bool, int | None]
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
    meant as a count or an epoch)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{expected}, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{expected}, not {type(value).__name__}") from None


class Draw(TypedDict, total=False):
    """The options of a draw that `sample()` and `sample_mesh()` share, by name."""

    method: Method
    seed: int | None
    normals: Normals
    distinct: bool
    candidates: int | None
    visible: bool
    view_directions: int | None


# The draw's options that a caller leaves out, as `sample()` defaults them.
DRAW_DEFAULTS: Draw = {
    "method": DEFAULT_METHOD,
    "seed": None,
    "normals": DEFAULT_NORMALS,
    "distinct": False,
    "candidates": None,
    "visible": False,
    "view_directions": None,
}


def check_draw(n: object, *, colors: object = False, **draw: object) -> DrawChecked:
    """The arguments of a draw (those of `Draw`, and `colors`) checked as `sample()` checks
    them, for a caller that checks them before it draws: (n, distinct, candidates, colors,
    seed, visible, view_directions) as an int, a bool, an int or None, a bool, an int or
    None, a bool, and an int or None. `visible` is True also when normals="outward" asks
    for it, and `view_directions` is then the number of directions (64 when none is given),
    None for a draw that is not visible. Raises what `sample()` raises for them."""
    return _native.check_draw(n, colors=colors, **cast("_Draw", DRAW_DEFAULTS | draw))


def _check_path(path: object) -> None:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")


def _model_input(text: str) -> tuple[str, bytes | None, SideFiles | None]:
    """The model's name and, for a model read into memory (a member of an archive, an object
    behind a URL), its bytes and the reader of its side files; a local path (a "file://" URL
    too) is read by the native module itself."""
    if not is_remote(text):
        return storage.local_path(text), None, None
    data, side_files = read_model(text)
    return text, data, side_files


@overload
def sample(
    path: PathArgument,
    n: int,
    *,
    colors: Literal[False] = ...,
    return_faces: Literal[False] = ...,
    return_barycentric: Literal[False] = ...,
    strict: bool = ...,
    **draw: Unpack[Draw],
) -> tuple[Array, Array]: ...


@overload
def sample(
    path: PathArgument,
    n: int,
    *,
    colors: Literal[False] = ...,
    return_faces: Literal[True],
    return_barycentric: Literal[False] = ...,
    strict: bool = ...,
    **draw: Unpack[Draw],
) -> tuple[Array, Array, FaceArray]: ...


@overload
def sample(
    path: PathArgument,
    n: int,
    *,
    colors: Literal[False] = ...,
    return_faces: Literal[False] = ...,
    return_barycentric: Literal[True],
    strict: bool = ...,
    **draw: Unpack[Draw],
) -> tuple[Array, Array, Array]: ...


@overload
def sample(
    path: PathArgument,
    n: int,
    *,
    colors: Literal[False] = ...,
    return_faces: Literal[True],
    return_barycentric: Literal[True],
    strict: bool = ...,
    **draw: Unpack[Draw],
) -> tuple[Array, Array, FaceArray, Array]: ...


@overload
def sample(
    path: PathArgument,
    n: int,
    *,
    colors: Literal[True],
    return_faces: Literal[False] = ...,
    return_barycentric: Literal[False] = ...,
    strict: bool = ...,
    **draw: Unpack[Draw],
) -> tuple[Array, Array, Array]: ...


@overload
def sample(
    path: PathArgument,
    n: int,
    *,
    colors: bool = ...,
    return_faces: bool = ...,
    return_barycentric: bool = ...,
    strict: bool = ...,
    **draw: Unpack[Draw],
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
    visible: bool = False,
    view_directions: int | None = None,
    colors: bool = False,
    return_faces: bool = False,
    return_barycentric: bool = False,
) -> Sampled:
    """Draws `n` points of the model at `path`: (positions, normals), two C-contiguous
    float32 arrays of shape (n, 3); (0, 3) each for a model without faces. The suffix names
    the format, in any letter case: .off, .obj, .ply, .glb and .gltf (glTF), and STL for .stl
    or any other.

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
      vertex normal, the same as "geometry". "outward" gives each point its face's geometric
      normal turned to the side from which the point is seen (for a thin sheet seen from both
      sides, the side of the first of the `view_directions` directions, in their fixed
      order, that sees it), and implies visible=True.
    visible: draw from the surface seen from outside the model alone. A surface point is
      visible when a ray from it along at least one of a fixed, well-spread set of
      `view_directions` directions leaves the mesh without hitting it. "surface", "fps" and
      "poisson" then draw their points (or candidates) uniformly by area over the visible
      part alone, still exactly n of them, and "vertices" draws from the visible vertices
      alone: the inside of a closed cavity, or faces covered by others, give no point. Under
      a normals mode other than "outward" the normals are that mode's, not turned. A model
      with no visible surface raises ValueError.
    view_directions: how many directions a visible draw casts its rays along, an int in
      [1, 4096]; None gives 64. Given only with visible=True or normals="outward".
    seed: None draws from the operating system; an int in [0, 2**64) makes the result the
      same, bit for bit, on every call, thread count and machine (for a given version).
    strict: read STL exactly as `vertisift.reduce_stl_points` does; by default STL is read as
      other tools write it (keywords in any case, blanks before "solid", ...).
    colors: also return (after the normals) each point's colour: float32 array of shape
      (n, 3), RGB in [0, 1], from the colours the file stores (each component clamped to
      [0, 1], NaN as 0, as it is read). A vertex takes its own colour; a surface point
      blends its face's corner colours with its barycentric weights, or takes its face's
      colour where the file colours faces. A model that stores no colour gives white.
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
    `view_directions` outside [1, 4096] or for a draw that is not visible, `return_faces`
    or `return_barycentric` with "vertices", a surface sample of a mesh without area, or a
    visible draw of a model with no visible surface; TypeError for arguments of the wrong
    type (`distinct` and `visible` take a bool); MemoryError when `n` points (or the
    candidates) cannot be held.
    """
    drawn, report = sample_reporting_colors(
        path,
        n,
        method=method,
        seed=seed,
        normals=normals,
        distinct=distinct,
        strict=strict,
        candidates=candidates,
        visible=visible,
        view_directions=view_directions,
        colors=colors,
        return_faces=return_faces,
        return_barycentric=return_barycentric,
    )
    warn_unused_textures(report)
    return drawn


class ColorReport(NamedTuple):
    """What a draw with colours found of the model's colours: whether it stores any (False:
    its points are white), and one line for each texture that could not be used (its points
    keep their material's colour)."""

    stored: bool
    unused_textures: tuple[str, ...] = ()


def warn_unused_textures(report: ColorReport) -> None:
    """A TextureWarning for each texture that the draw could not use."""
    if report.unused_textures:
        from vertisift_tools.textures import TextureWarning

        for line in report.unused_textures:
            warnings.warn(line, TextureWarning, stacklevel=3)


def sample_reporting_colors(
    path: str | os.PathLike[str],
    n: object,
    *,
    strict: object = False,
    colors: object = False,
    return_faces: object = False,
    return_barycentric: object = False,
    **draw: object,
) -> tuple[Sampled, ColorReport]:
    """`sample()`, and what it found of the model's colours: not `stored` when `colors`
    asked for them and the model has none, so that they are white, and the textures it could
    not use (the command and the batches say so; nothing is warned here). `draw` holds the
    options of `Draw`, passed on as given."""
    _check_path(path)
    text, data, side_files = _model_input(os.fspath(path))
    given = _native.sample(
        text,
        n,
        colors=colors,
        return_faces=return_faces,
        return_barycentric=return_barycentric,
        format=mesh_format(model_name(text)),
        strict=strict,
        data=data,
        side_files=side_files,
        **cast("_Draw", DRAW_DEFAULTS | draw),
    )
    stored = not colors or given[2] is not None
    unused: list[str] = []
    buffers: list[bytearray | None] = []
    for part in given:
        if isinstance(part, tuple):  # the colours, and textures to multiply in
            from vertisift_tools.textures import apply_textures

            rgb, textures = part
            unused = apply_textures(rgb, textures, text)
            part = rgb
        buffers.append(part)
    drawn = _sampled(buffers, bool(colors), bool(return_faces), bool(return_barycentric))
    return drawn, ColorReport(stored, tuple(unused))


def _points(buffer: bytearray) -> Array:
    return np.frombuffer(buffer, dtype=np.float32).reshape(-1, 3)


def _sampled(
    buffers: Sequence[bytearray | None], colors: bool, faces: bool, weights: bool
) -> Sampled:
    """The native result as arrays: positions, normals and, when asked, the colours (white
    where the mesh stores none), the faces and the weights."""
    parts = list(buffers)
    stored_colors = parts.pop(2) if colors else None
    # Only the colours can be None: the rest are bytearrays.
    positions, normals, *rest = cast(list[bytearray], parts)
    arrays: list[npt.NDArray[np.generic]] = [_points(positions), _points(normals)]
    if colors:
        arrays.append(np.ones_like(arrays[0]) if stored_colors is None else _points(stored_colors))
    others = iter(rest)
    if faces:
        arrays.append(np.frombuffer(next(others), dtype=np.int64))
    if weights:
        arrays.append(_points(next(others)))
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
    text, data, side_files = _model_input(os.fspath(path))
    position_buffer, face_buffer, _skipped = _native.read_mesh(
        text,
        format=mesh_format(model_name(text)),
        strict=strict,
        data=data,
        side_files=side_files,
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
    colors: None = ...,
    return_faces: Literal[False] = ...,
    return_barycentric: Literal[False] = ...,
    **draw: Unpack[Draw],
) -> tuple[Array, Array]: ...


@overload
def sample_mesh(
    vertices: npt.ArrayLike,
    faces: npt.ArrayLike,
    n: int,
    *,
    colors: None = ...,
    return_faces: Literal[True],
    return_barycentric: Literal[False] = ...,
    **draw: Unpack[Draw],
) -> tuple[Array, Array, FaceArray]: ...


@overload
def sample_mesh(
    vertices: npt.ArrayLike,
    faces: npt.ArrayLike,
    n: int,
    *,
    colors: None = ...,
    return_faces: Literal[False] = ...,
    return_barycentric: Literal[True],
    **draw: Unpack[Draw],
) -> tuple[Array, Array, Array]: ...


@overload
def sample_mesh(
    vertices: npt.ArrayLike,
    faces: npt.ArrayLike,
    n: int,
    *,
    colors: None = ...,
    return_faces: Literal[True],
    return_barycentric: Literal[True],
    **draw: Unpack[Draw],
) -> tuple[Array, Array, FaceArray, Array]: ...


@overload
def sample_mesh(
    vertices: npt.ArrayLike,
    faces: npt.ArrayLike,
    n: int,
    *,
    colors: npt.ArrayLike,
    return_faces: Literal[False] = ...,
    return_barycentric: Literal[False] = ...,
    **draw: Unpack[Draw],
) -> tuple[Array, Array, Array]: ...


@overload
def sample_mesh(
    vertices: npt.ArrayLike,
    faces: npt.ArrayLike,
    n: int,
    *,
    colors: npt.ArrayLike | None = ...,
    return_faces: bool = ...,
    return_barycentric: bool = ...,
    **draw: Unpack[Draw],
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
    visible: bool = False,
    view_directions: int | None = None,
    colors: npt.ArrayLike | None = None,
    return_faces: bool = False,
    return_barycentric: bool = False,
) -> Sampled:
    """Draws `n` points of the mesh (`vertices`, shape (V, 3), float32 or float64; `faces`,
    shape (F, 3), any integer type), as `sample()` draws them from a file: for the mesh
    that `read_mesh(path)` gives, `sample_mesh(*read_mesh(path), ...)` and `sample(path, ...)`
    give the same arrays bit for bit with normals="geometry". A mesh in memory stores no
    normals: "file" gives zeros, "auto" the geometry's. "vertices" draws from the vertices
    that faces use; `return_faces` indexes `faces`, and `return_barycentric` weighs the
    corners of those faces in the order `faces` lists them. `colors`, when given, colours the
    vertices: shape (V, 3) or (V, 4) (the alpha is not drawn), uint8 or uint16 (scaled by
    their maximum) or floats in [0, 1]; the points' colours are then returned after the
    normals, as `sample(colors=True)` returns them. `visible=True` (or normals="outward")
    draws from the surface seen from outside the mesh alone, along `view_directions`
    directions, as `sample()` does: the visible faces, or for "vertices" the visible
    vertices that faces use.

    Raises ValueError for arrays of the wrong shape or type, a face index below 0 or not
    below V, or a face that uses a vertex with a NaN or infinite coordinate, or with a
    float64 one that overflows float32, in which the mesh is sampled; and what
    `sample()` raises for the other arguments.
    """
    vertex_array = _vertex_array(vertices)
    buffers = _native.sample_mesh(
        vertex_array,
        _face_array(faces),
        n,
        method=method,
        normals=normals,
        distinct=distinct,
        candidates=candidates,
        visible=visible,
        view_directions=view_directions,
        colors=None if colors is None else _color_array(colors, len(vertex_array)),
        return_faces=return_faces,
        return_barycentric=return_barycentric,
        seed=seed,
    )
    return _sampled(buffers, colors is not None, bool(return_faces), bool(return_barycentric))


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
    chosen = _native.farthest_point_sample(
        np.ascontiguousarray(array), double=array.dtype == np.float64, k=k, start=start
    )
    return np.frombuffer(chosen, dtype=np.int64)


def _vertex_array(vertices: npt.ArrayLike) -> npt.NDArray[np.floating]:
    """The vertices as the native module takes them: contiguous, in the machine's byte order."""
    array = np.asarray(vertices)
    if array.dtype not in (np.float32, np.float64):
        raise ValueError(f"vertices must be float32 or float64, not {array.dtype}")
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"vertices must have shape (V, 3), not {array.shape}")
    return np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("="))


def _face_array(faces: npt.ArrayLike) -> npt.NDArray[np.integer]:
    array = np.asarray(faces)
    if array.size == 0 and array.ndim == 2 and array.shape[1] == 3:
        return np.zeros((0, 3), dtype=np.int64)
    if not np.issubdtype(array.dtype, np.integer):
        raise ValueError(f"faces must hold integers, not {array.dtype}")
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"faces must have shape (F, 3), not {array.shape}")
    return np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("="))


def _color_array(colors: npt.ArrayLike, vertex_count: int) -> npt.NDArray[np.float32]:
    """The vertices' colours as the native module takes them: float32 RGB, contiguous. Shape
    (V, 3) or (V, 4) (the alpha is not drawn); uint8 and uint16 are scaled by their maximum,
    floats taken as they are."""
    array = np.asarray(colors)
    if array.ndim != 2 or array.shape[0] != vertex_count or array.shape[1] not in (3, 4):
        raise ValueError(
            f"colors must have shape ({vertex_count}, 3) or ({vertex_count}, 4), not {array.shape}"
        )
    rgb = array[:, :3]
    if array.dtype in (np.uint8, np.uint16):
        return np.ascontiguousarray(rgb / np.iinfo(array.dtype).max, dtype=np.float32)
    if not np.issubdtype(array.dtype, np.floating):
        raise ValueError(f"colors must be uint8, uint16 or floats, not {array.dtype}")
    return np.ascontiguousarray(rgb, dtype=np.float32)
