"""Rays against a triangle mesh on the CPU: `RayScene`, a ray tree built once over a mesh's
triangles and queried with batches of rays, and `cast_rays()` and `occluded()` for one batch.

The tree is the one `sample(visible=True)` sees the mesh with: built in parallel by the
surface area heuristic, and tested with a watertight ray-triangle test, so that a ray through
an edge or a vertex that triangles share hits one of them and never slips between. Queries
run on the worker pool with the interpreter lock released; each ray's answer depends on that
ray alone, so the results are the same for any number of threads.
"""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from vertisift_tools import _native

FloatArray = npt.NDArray[np.float32]


class RayHits(NamedTuple):
    """The closest hit of each ray: `t` (float32, shape (R,)), the distance along the ray in
    units of its direction's length (the hit is origin + t * direction), inf for a miss;
    `faces` (int64, shape (R,)), the index of the triangle hit, -1 for a miss; `weights`
    (float32, shape (R, 3)), the weights of that triangle's three corners in the order `faces`
    lists them (the hit is w0 a + w1 b + w2 c), zeros for a miss."""

    t: FloatArray
    faces: npt.NDArray[np.int64]
    weights: FloatArray


class RayScene:
    """A ray tree over the triangles of a mesh: `vertices` of shape (V, 3) (any float type,
    taken as float32) and `faces` of shape (F, 3) (any integer type, each index in [0, V)).
    Triangles with a NaN or infinite corner are left out; degenerate ones are never hit.

    `build="sah"` (the default) builds the tree by the surface area heuristic, for the
    fastest rays; `build="morton"` sorts the triangles in Morton order instead (a linear
    BVH), which builds several times faster for rays that take a few more steps: the tree of
    `sample(visible=True)`, which casts a few rays per point. The tree keeps about 60 bytes
    per triangle (`nbytes`), and its own copy of the triangles: the arrays may change
    afterwards. Raises ValueError for arrays of the wrong shape or type, a face index out of
    range, and another `build`."""

    def __init__(
        self, vertices: npt.ArrayLike, faces: npt.ArrayLike, *, build: str = "sah"
    ) -> None:
        if build not in ("sah", "morton"):
            raise ValueError(f"build must be 'sah' or 'morton', not {build!r}")
        vertex_array = _triples(vertices, "vertices")
        face_array = np.asarray(faces)
        if face_array.size == 0 and face_array.ndim == 2:
            face_array = face_array.reshape(0, 3).astype(np.int64)
        if not np.issubdtype(face_array.dtype, np.integer):
            raise ValueError(f"faces must hold integers, not {face_array.dtype}")
        if face_array.ndim != 2 or face_array.shape[1] != 3:
            raise ValueError(f"faces must have shape (F, 3), not {face_array.shape}")
        if face_array.size and (face_array.min() < 0 or face_array.max() >= len(vertex_array)):
            bad = face_array.min() if face_array.min() < 0 else face_array.max()
            raise ValueError(f"face index {bad} is not in [0, {len(vertex_array)})")
        self._scene = _native.RayScene(
            vertex_array, np.ascontiguousarray(face_array, np.uint32), build == "morton"
        )

    @property
    def triangle_count(self) -> int:
        """The triangles the tree holds: those whose corners are all finite."""
        return int(self._scene.triangle_count)

    @property
    def nbytes(self) -> int:
        """The memory the tree keeps, in bytes."""
        return int(self._scene.nbytes)

    def cast_rays(
        self,
        origins: npt.ArrayLike,
        directions: npt.ArrayLike,
        *,
        t_min: float = 0.0,
        t_max: float = math.inf,
    ) -> RayHits:
        """The closest hit of each ray origins[i] + t * directions[i] with t in (t_min, t_max):
        `origins` and `directions` of shape (R, 3), any float type, taken as float32. A ray
        whose direction is zero, or whose origin or direction is not finite, hits nothing."""
        origin_array, direction_array = _rays(origins, directions)
        count = len(origin_array)
        hits = RayHits(
            np.empty(count, np.float32), np.empty(count, np.int64), np.empty((count, 3), np.float32)
        )
        self._scene.cast(origin_array, direction_array, t_min, t_max, *hits)
        return hits

    def occluded(
        self,
        origins: npt.ArrayLike,
        directions: npt.ArrayLike,
        *,
        t_min: float = 0.0,
        t_max: float = math.inf,
    ) -> npt.NDArray[np.bool_]:
        """Whether each ray hits any triangle with t in (t_min, t_max) (bool, shape (R,)): the
        any-hit query, which stops at the first triangle found, as `cast_rays` arguments."""
        origin_array, direction_array = _rays(origins, directions)
        hits = np.empty(len(origin_array), np.bool_)
        self._scene.occluded(origin_array, direction_array, t_min, t_max, hits)
        return hits


def cast_rays(
    vertices: npt.ArrayLike,
    faces: npt.ArrayLike,
    origins: npt.ArrayLike,
    directions: npt.ArrayLike,
    *,
    t_min: float = 0.0,
    t_max: float = math.inf,
) -> RayHits:
    """`RayScene(vertices, faces).cast_rays(origins, directions, ...)`: for one batch of rays;
    build a `RayScene` once to cast many."""
    return RayScene(vertices, faces).cast_rays(origins, directions, t_min=t_min, t_max=t_max)


def occluded(
    vertices: npt.ArrayLike,
    faces: npt.ArrayLike,
    origins: npt.ArrayLike,
    directions: npt.ArrayLike,
    *,
    t_min: float = 0.0,
    t_max: float = math.inf,
) -> npt.NDArray[np.bool_]:
    """`RayScene(vertices, faces).occluded(origins, directions, ...)`, for one batch."""
    return RayScene(vertices, faces).occluded(origins, directions, t_min=t_min, t_max=t_max)


def view_directions(count: int = 64) -> FloatArray:
    """The unit directions (float32, shape (count, 3)) that `sample(visible=True,
    view_directions=count)` looks along, in the order it tries them: the spherical Fibonacci
    set of `count` points (nearly equal areas of the sphere around each), turned by a fixed
    rotation that keeps each of the default 64 at least 1.9 degrees off every plane of the
    axes, and taken with a stride of about count / golden ratio so that every prefix of them
    is spread over the sphere. A point is seen when the ray from it along one of them leaves
    the mesh. count in [1, 4096]."""
    return np.frombuffer(_native.view_directions(count), np.float32).reshape(-1, 3)


def _triples(values: npt.ArrayLike, name: str) -> FloatArray:
    array = np.asarray(values)
    if not (np.issubdtype(array.dtype, np.floating) or np.issubdtype(array.dtype, np.integer)):
        raise ValueError(f"{name} must hold numbers, not {array.dtype}")
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"{name} must have shape (N, 3), not {array.shape}")
    return np.ascontiguousarray(array, dtype=np.float32)


def _rays(origins: npt.ArrayLike, directions: npt.ArrayLike) -> tuple[FloatArray, FloatArray]:
    origin_array = _triples(origins, "origins")
    direction_array = _triples(directions, "directions")
    if len(origin_array) != len(direction_array):
        raise ValueError(
            f"origins and directions must hold as many rays, not {len(origin_array)} and "
            f"{len(direction_array)}"
        )
    return origin_array, direction_array
