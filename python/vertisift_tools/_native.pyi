import os

def sample(
    path: str | os.PathLike[str],
    n: int,
    method: int,
    seed: int | None,
    normals: int,
    distinct: bool,
    /,
) -> tuple[bytearray, bytearray]: ...
