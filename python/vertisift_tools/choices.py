"""The sampling choices by name: the `Method` and `Normals` types, the codes the native module
takes for them, and which method can draw distinct points.

Plain values only (no NumPy, no native code): the command lists them in its help and checks
them before anything heavy is imported.
"""

from __future__ import annotations

from typing import Final, Literal, TypeGuard, get_args

Method = Literal["vertices", "surface"]
Normals = Literal["auto", "file", "geometry"]

# The names in the order that messages list them ("'vertices' or 'surface'").
METHOD_NAMES: Final[tuple[Method, ...]] = get_args(Method)
NORMALS_NAMES: Final[tuple[Normals, ...]] = get_args(Normals)

# The codes of src/tools' sample(); the command offers the choices in this order.
METHODS: Final[dict[Method, int]] = {"vertices": 0, "surface": 1}
NORMALS: Final[dict[Normals, int]] = {"file": 0, "geometry": 1, "auto": 2}

# The one method whose top-up can take points not chosen yet (`distinct`): the surface
# sample draws every point independently.
DISTINCT_METHOD: Final[Method] = "vertices"


def is_method(name: object) -> TypeGuard[Method]:
    return name in METHOD_NAMES


def is_normals(name: object) -> TypeGuard[Normals]:
    return name in NORMALS_NAMES
