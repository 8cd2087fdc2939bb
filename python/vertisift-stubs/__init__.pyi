# Types of the extension module `vertisift`, for type checkers (a PEP 561 stub-only package).
from os import PathLike
from typing import SupportsIndex

__all__ = ["reduce_stl_points"]

def reduce_stl_points(
    file_path: str | PathLike[str], clusters: SupportsIndex
) -> tuple[list[list[float]], list[list[float]]]:
    """Reduces the vertices of the STL mesh at `file_path` to exactly `clusters` points.

    Returns (positions, normals): two lists of equal length whose items are lists of three
    floats. Raises OSError when the file cannot be read or is not valid STL.
    """
