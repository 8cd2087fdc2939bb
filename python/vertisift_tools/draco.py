"""Draco-compressed glTF primitives (KHR_draco_mesh_compression), decoded with DracoPy, the
`gltf` extra, for the native glTF reader, which calls `decode` with each primitive's data."""

from __future__ import annotations

import numpy as np

DRACO_HINT = "pip install 'vertisift[gltf]'"

# What decode() gives the reader: the points, the corners as uint32 bytes, and per attribute
# asked for (its Draco id, components a point, float32 bytes).
Decoded = tuple[int, bytes, list[tuple[int, int, bytes]]]


def decode(data: bytes, ids: tuple[int, ...]) -> str | Decoded:
    """The Draco mesh in `data` with the attributes `ids`; or, when it cannot be decoded, the
    line that says why (the reader puts the primitive's name in front)."""
    try:
        import DracoPy
    except ImportError:
        return (
            "it is compressed with KHR_draco_mesh_compression, which needs DracoPy: " + DRACO_HINT
        )
    try:
        mesh = DracoPy.decode(data)
    except Exception as error:  # DracoPy raises its own types, and ValueError
        return f"its Draco data cannot be decoded ({error})"
    points = np.asarray(mesh.points)
    faces = getattr(mesh, "faces", None)
    corners = np.asarray(faces if faces is not None else (), dtype=np.uint32).reshape(-1)
    attributes: list[tuple[int, int, bytes]] = []
    for draco_id in ids:
        attribute = mesh.get_attribute_by_unique_id(draco_id)
        if attribute is None:
            return f"its Draco data has no attribute {draco_id}"
        values = np.ascontiguousarray(attribute["data"], dtype=np.float32)
        components = int(attribute["num_components"])
        attributes.append((draco_id, components, values.tobytes()))
    return len(points), corners.tobytes(), attributes
