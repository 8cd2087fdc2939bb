# The native module checks every argument itself (types and rules, in the words of the
# package's functions), so the arguments that callers hand on as given are typed `object`:
# `data` (None, or a model's bytes as any C-contiguous buffer) and `side_files` (None, or,
# with data, a callable from a side file's name to its bytes) too.
from collections.abc import Buffer
from typing import TypedDict, Unpack

class _Draw(TypedDict):
    method: object
    normals: object
    distinct: object
    candidates: object
    seed: object
    visible: object
    view_directions: object

# A texture's points: (name, materials, bytes or None, why None, points, uvs).
_Texture = tuple[str, tuple[str, ...], bytes | None, str, bytearray, bytearray, str, str]

def sample(
    path: str,
    n: object,
    *,
    format: str,
    strict: object,
    colors: object,
    return_faces: object,
    return_barycentric: object,
    data: object = None,
    side_files: object = None,
    **draw: Unpack[_Draw],
) -> tuple[bytearray | tuple[bytearray, tuple[_Texture, ...]] | None, ...]: ...
def read_mesh(
    path: str, *, format: str, strict: object, data: object = None, side_files: object = None
) -> tuple[Buffer, Buffer, int]: ...
def formats() -> tuple[tuple[str, tuple[str, ...]], ...]: ...
def sample_mesh(
    vertices: Buffer,
    faces: Buffer,
    n: object,
    *,
    colors: Buffer | None,
    return_faces: object,
    return_barycentric: object,
    **draw: Unpack[_Draw],
) -> tuple[bytearray | None, ...]: ...
def check_draw(
    n: object, *, colors: object, **draw: Unpack[_Draw]
) -> tuple[int, bool, int | None, bool, int | None, bool, int | None]: ...
def farthest_point_sample(
    points: Buffer, *, double: bool, k: object, start: object
) -> bytearray: ...
def multiply_texture(
    colors: Buffer,
    points: Buffer,
    uvs: Buffer,
    texels: object,
    *,
    width: int,
    height: int,
    channels: int,
    floats: bool,
    wrap_u: str,
    wrap_v: str,
) -> None: ...
def register_read_errors(mesh_read_error: type[OSError], stl_read_error: type[OSError]) -> None: ...
def view_directions(count: int) -> bytearray: ...

class RayScene:
    triangle_count: int
    nbytes: int
    depth: int
    def __init__(self, vertices: Buffer, faces: Buffer, morton: bool = ...) -> None: ...
    def cast(
        self,
        origins: Buffer,
        directions: Buffer,
        t_min: float,
        t_max: float,
        t: Buffer,
        faces: Buffer,
        weights: Buffer,
    ) -> None: ...
    def occluded(
        self, origins: Buffer, directions: Buffer, t_min: float, t_max: float, hits: Buffer
    ) -> None: ...
