from collections.abc import Buffer

def sample(
    path: str,
    n: int,
    *,
    method: str,
    seed: int | None,
    normals: str,
    distinct: bool,
    format: str,
    strict: bool,
    candidates: int,
    return_faces: bool,
    return_barycentric: bool,
) -> tuple[bytearray, ...]: ...
def read_mesh(path: str, *, format: str, strict: bool) -> tuple[Buffer, Buffer, int]: ...
def formats() -> tuple[tuple[str, tuple[str, ...]], ...]: ...
def sample_mesh(
    vertices: Buffer,
    faces: Buffer,
    n: int,
    *,
    method: str,
    seed: int | None,
    normals: str,
    distinct: bool,
    candidates: int,
    return_faces: bool,
    return_barycentric: bool,
) -> tuple[bytearray, ...]: ...
def farthest_point_sample(points: Buffer, k: int, *, double: bool, start: int) -> bytearray: ...
def register_read_errors(mesh_read_error: type[OSError], stl_read_error: type[OSError]) -> None: ...
