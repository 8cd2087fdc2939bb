"""Collections of mesh models (STL, OFF, OBJ, PLY, glTF) into point clouds: the library for
datasets, and the code of the `vertisift` command.

- `sample(path, n, method=..., seed=..., normals=..., distinct=..., strict=...,
  candidates=..., visible=..., return_faces=...)`: one model to float32 arrays (positions,
  normals) of shape (n, 3), drawn in native code (mesh vertices, uniform, farthest-point or
  blue-noise surface points, of the whole surface or of the part seen from outside), with
  each point's face if asked; reproducible with a seed.
- `farthest_point_sample(points, k)`: exact farthest-point sampling of any points.
- `RayScene(vertices, faces)`, `cast_rays(vertices, faces, origins, directions)`,
  `occluded(...)`: rays against a mesh on the CPU, the closest hit (distance, face, corner
  weights) or whether any.
- `read_mesh(path)`: a model file to arrays (vertices, faces); `sample_mesh(vertices, faces,
  n, ...)`: the same sampling over a mesh already in memory.
- `PointCloudDataset(files, n, ...)`: a sequence of (n, 6) arrays over many models, for
  training loops, with class labels from folders, splits and normalisation if asked; it
  pickles, so worker processes can load items in parallel.
- `model_seed(seed, relative_path, epoch=0)`: the seed that a model draws with in a seeded
  batch or dataset.
- `reduce_to_arrays(model, n)`: one model to float32 arrays (positions, normals), shape (n, 3).
- `convert_file(model, cloud, n)`: one model to a cloud file (.ply, .npz, .xyzn, .xyz or .xyzrgb).
- `batch(in_dir, out_dir, n, fmt=..., jobs=..., overwrite=...)`: a folder tree, in local
  worker processes; OUT_DIR keeps a record of what it holds, and a batch with other settings
  is refused (`BatchMismatchError`) unless told to overwrite. `fmt="h5"` (with
  `shard_size`, `labels`, `split_folders`) writes HDF5 training shards instead.
- `batch_dask(in_dir, out_dir, n, scheduler, fmt=..., overwrite=...)`: the same on a Dask
  cluster.
- `read_cloud(path)`, `read_colored_cloud(path)`, `write_cloud(path, positions, normals,
  colors=None)`: the cloud files, with their colours where the format keeps them.
- `render_preview(cloud, picture)`: a picture of a cloud file.

NumPy and tqdm come with the `cli` extra, matplotlib with `preview`, Dask with `dask`, h5py
with `h5`; each is imported only by what uses it.

Modules: `choices` (the sampling choices by name), `options` (`SampleOptions`,
`model_seed`), `sampling` (`sample`, over the native module `_native`), `models` (the model
files under a folder), `dataset`, `convert` (one model), `formats` and `clouds` (the files),
`shards` (the HDF5 shard files), `preview`, `rays` (the ray caster); the subpackages
`batching` (planning, runners and worker pools) and `command` (the command).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

__all__ = [
    "BatchMismatchError",
    "BatchReport",
    "CloudError",
    "EmptyMeshError",
    "Failure",
    "MeshReadError",
    "PointCloudDataset",
    "RayHits",
    "RayScene",
    "StlReadError",
    "batch",
    "batch_dask",
    "cast_rays",
    "convert_file",
    "farthest_point_sample",
    "model_seed",
    "occluded",
    "read_cloud",
    "read_colored_cloud",
    "read_mesh",
    "reduce_to_arrays",
    "render_preview",
    "sample",
    "sample_mesh",
    "write_cloud",
]

_HOMES = {
    "BatchMismatchError": "batching.plan",
    "BatchReport": "batching.plan",
    "Failure": "batching.plan",
    "batch": "batching.local",
    "batch_dask": "batching.dask_runner",
    "CloudError": "formats",
    "read_cloud": "clouds",
    "read_colored_cloud": "clouds",
    "write_cloud": "clouds",
    "EmptyMeshError": "convert",
    "convert_file": "convert",
    "reduce_to_arrays": "convert",
    "render_preview": "preview",
    "sample": "sampling",
    "sample_mesh": "sampling",
    "farthest_point_sample": "sampling",
    "read_mesh": "sampling",
    "MeshReadError": "sampling",
    "StlReadError": "sampling",
    "PointCloudDataset": "dataset",
    "model_seed": "options",
    "RayHits": "rays",
    "RayScene": "rays",
    "cast_rays": "rays",
    "occluded": "rays",
}

if TYPE_CHECKING:
    from vertisift_tools.batching.dask_runner import batch_dask
    from vertisift_tools.batching.local import batch
    from vertisift_tools.batching.plan import BatchMismatchError, BatchReport, Failure
    from vertisift_tools.clouds import read_cloud, read_colored_cloud, write_cloud
    from vertisift_tools.convert import EmptyMeshError, convert_file, reduce_to_arrays
    from vertisift_tools.dataset import PointCloudDataset
    from vertisift_tools.formats import CloudError
    from vertisift_tools.options import model_seed
    from vertisift_tools.preview import render_preview
    from vertisift_tools.rays import RayHits, RayScene, cast_rays, occluded
    from vertisift_tools.sampling import (
        MeshReadError,
        StlReadError,
        farthest_point_sample,
        read_mesh,
        sample,
        sample_mesh,
    )


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
