import os
from collections.abc import Buffer

def sample(
    path: str | os.PathLike[str],
    n: int,
    method: int,
    seed: int | None,
    normals: int,
    distinct: bool,
    format: int,
    strict: bool,
    candidates: int,
    with_faces: bool,
    /,
) -> tuple[bytearray, ...]: ...
def read_mesh(
    path: str | os.PathLike[str], format: int, strict: bool, /
) -> tuple[Buffer, Buffer, int]: ...
def sample_mesh(
    vertices: Buffer,
    faces: Buffer,
    n: int,
    method: int,
    seed: int | None,
    normals: int,
    distinct: bool,
    candidates: int,
    with_faces: bool,
    /,
) -> tuple[bytearray, ...]: ...
def farthest_point_sample(points: Buffer, double: bool, k: int, start: int, /) -> bytearray: ...
