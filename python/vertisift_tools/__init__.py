"""Point clouds from STL models, as arrays a dataset can use as they come.

- `sample(path, n, method=..., seed=..., normals=..., distinct=...)`: one model to float32
  arrays (positions, normals) of shape (n, 3), drawn in native code.
- `PointCloudDataset(files, n, ...)`: a sequence of (n, 6) arrays over many models, for
  training loops; it pickles, so worker processes can load items in parallel.

NumPy is imported only by what uses it.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

__all__ = ["PointCloudDataset", "sample"]

_HOMES = {
    "PointCloudDataset": "dataset",
    "sample": "sampling",
}

if TYPE_CHECKING:
    from vertisift_tools.dataset import PointCloudDataset
    from vertisift_tools.sampling import sample


def __getattr__(name: str) -> Any:
    # Lazy, so that `import vertisift_tools` costs nothing until a part is used.
    if name not in _HOMES:
        raise AttributeError(f"module 'vertisift_tools' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(f"vertisift_tools.{_HOMES[name]}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(list(globals()) + __all__)
