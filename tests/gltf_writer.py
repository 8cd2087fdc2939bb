"""A small glTF 2.0 writer for the tests: accessors from NumPy arrays (any component type,
normalized, strided, sparse), meshes, nodes and materials, written as a .glb or as a .gltf
with its buffer in a .bin file or a data URI."""

from __future__ import annotations

import base64
import json
import struct
from pathlib import Path
from typing import Any

import numpy as np

COMPONENT = {np.int8: 5120, np.uint8: 5121, np.int16: 5122, np.uint16: 5123, np.uint32: 5125,
             np.float32: 5126}
TYPE = {1: "SCALAR", 2: "VEC2", 3: "VEC3", 4: "VEC4", 16: "MAT4"}
REPEAT, CLAMP, MIRROR = 10497, 33071, 33648


class Gltf:
    def __init__(self) -> None:
        self.doc: dict[str, Any] = {"asset": {"version": "2.0"}, "buffers": [{}]}
        self.data = bytearray()

    def add(self, kind: str, item: dict[str, Any]) -> int:
        self.doc.setdefault(kind, []).append(item)
        return len(self.doc[kind]) - 1

    def view(self, data: bytes, stride: int | None = None) -> int:
        while len(self.data) % 4:
            self.data.append(0)
        view = {"buffer": 0, "byteOffset": len(self.data), "byteLength": len(data)}
        if stride:
            view["byteStride"] = stride
        self.data += data
        return self.add("bufferViews", view)

    def accessor(self, array: np.ndarray, *, normalized: bool = False, stride: int | None = None,
                 sparse: tuple[np.ndarray, np.ndarray] | None = None, view: bool = True) -> int:
        """`array` (count x components, or count) as stored; `stride` pads each element to
        that many bytes; `sparse` = (indices, values) replaces those elements."""
        array = np.asarray(array)
        flat = array.reshape(len(array), -1)
        accessor: dict[str, Any] = {"componentType": COMPONENT[array.dtype.type],
                                    "count": len(array), "type": TYPE[flat.shape[1]]}
        if normalized:
            accessor["normalized"] = True
        if view:
            raw = np.ascontiguousarray(flat).tobytes()
            if stride:
                element = flat.shape[1] * array.itemsize
                rows = [raw[i * element:(i + 1) * element].ljust(stride, b"\xee")
                        for i in range(len(array))]
                raw = b"".join(rows)
            accessor["bufferView"] = self.view(raw, stride)
        if sparse is not None:
            indices, values = sparse
            accessor["sparse"] = {
                "count": len(indices),
                "indices": {"bufferView": self.view(np.asarray(indices, np.uint16).tobytes()),
                            "componentType": 5123},
                "values": {"bufferView": self.view(
                    np.ascontiguousarray(np.asarray(values, array.dtype)).tobytes())},
            }
        if array.dtype == np.float32 and flat.shape[1] <= 4 and len(array):
            effective = flat.copy()
            if sparse is not None:
                effective[np.asarray(sparse[0])] = np.asarray(sparse[1]).reshape(len(sparse[0]), -1)
            accessor["min"] = effective.min(axis=0).tolist()
            accessor["max"] = effective.max(axis=0).tolist()
        return self.add("accessors", accessor)

    def image(self, png: bytes, mime: str = "image/png") -> int:
        return self.add("images", {"bufferView": self.view(png), "mimeType": mime})

    def textured_material(self, image: int, factor=(1, 1, 1, 1), wrap=(REPEAT, REPEAT),
                          tex_coord: int = 0, transform: dict | None = None) -> int:
        sampler = self.add("samplers", {"wrapS": wrap[0], "wrapT": wrap[1]})
        texture = self.add("textures", {"source": image, "sampler": sampler})
        info: dict[str, Any] = {"index": texture, "texCoord": tex_coord}
        if transform is not None:
            info["extensions"] = {"KHR_texture_transform": transform}
            self.doc.setdefault("extensionsUsed", []).append("KHR_texture_transform")
        return self.add("materials", {"pbrMetallicRoughness": {
            "baseColorFactor": list(factor), "baseColorTexture": info}})

    def scene(self, roots: list[int]) -> None:
        self.doc["scenes"] = [{"nodes": roots}]
        self.doc["scene"] = 0

    def write_glb(self, path: Path) -> Path:
        self.doc["buffers"][0] = {"byteLength": len(self.data)}
        text = json.dumps(self.doc).encode()
        text += b" " * (-len(text) % 4)
        data = bytes(self.data) + b"\0" * (-len(self.data) % 4)
        chunks = struct.pack("<II", len(text), 0x4E4F534A) + text
        if data:
            chunks += struct.pack("<II", len(data), 0x004E4942) + data
        path.write_bytes(struct.pack("<III", 0x46546C67, 2, 12 + len(chunks)) + chunks)
        return path

    def write_gltf(self, path: Path, embedded: bool = False) -> Path:
        if embedded:
            uri = "data:application/octet-stream;base64," + base64.b64encode(self.data).decode()
        else:
            uri = path.stem + ".bin"
            (path.parent / uri).write_bytes(self.data)
        self.doc["buffers"][0] = {"byteLength": len(self.data), "uri": uri}
        path.write_text(json.dumps(self.doc))
        return path


def trs_matrix(translation=(0, 0, 0), rotation=(0, 0, 0, 1), scale=(1, 1, 1)) -> np.ndarray:
    """The 4x4 matrix of a node's TRS (row-major, to multiply column vectors)."""
    x, y, z, w = np.asarray(rotation, np.float64) / np.linalg.norm(rotation)
    r = np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                  [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                  [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])
    m = np.eye(4)
    m[:3, :3] = r * np.asarray(scale, np.float64)
    m[:3, 3] = translation
    return m
