"""The sampling choices by name: the `Method` and `Normals` types (the native module takes the
same names, and checks them), which method can draw distinct points, which choose from
candidates, and which normals draw from the visible surface alone.

Plain values only (no NumPy, no native code): the command lists them in its help and checks
them before anything heavy is imported.
"""

from __future__ import annotations

from typing import Final, Literal, TypeGuard, get_args

Method = Literal["vertices", "surface", "fps", "poisson"]
Normals = Literal["auto", "file", "geometry", "smooth", "outward"]
Normalize = Literal["unit_sphere"]

# The names in the order that messages list them ("'vertices' or 'surface'").
METHOD_NAMES: Final[tuple[Method, ...]] = get_args(Method)
NORMALS_NAMES: Final[tuple[Normals, ...]] = get_args(Normals)
NORMALIZE_NAMES: Final[tuple[Normalize, ...]] = get_args(Normalize)

# The defaults of every entry point that draws points: `sample()`, `sample_mesh()`,
# `reduce_to_arrays()`, `convert_file()`, `SampleOptions()` and the command alike. "auto"
# normals, since most OFF, OBJ and PLY files store none and many STL exporters store zeros.
DEFAULT_METHOD: Final[Method] = "vertices"
DEFAULT_NORMALS: Final[Normals] = "auto"
# The normals of a batch whose record names none: those batches were made before "auto".
RECORD_NORMALS: Final[Normals] = "file"

# The one method whose top-up can take points not chosen yet (`distinct`): the surface
# sample draws every point independently.
DISTINCT_METHOD: Final[Method] = "vertices"

# The methods that keep n of a larger uniform surface sample (`candidates`); the size of that
# sample when none is given is the native module's (see `sample()`).
CANDIDATE_METHODS: Final[tuple[Method, ...]] = ("fps", "poisson")

# The methods that draw points on the surface, and so can tell each point's face.
SURFACE_METHODS: Final[tuple[Method, ...]] = ("surface", "fps", "poisson")

# The normals that turn each point's face normal to the side it is seen from, and so draw
# from the visible surface alone, as `visible=True` does.
VISIBLE_NORMALS: Final[Normals] = "outward"


def is_method(name: object) -> TypeGuard[Method]:
    return name in METHOD_NAMES


def is_normals(name: object) -> TypeGuard[Normals]:
    return name in NORMALS_NAMES
