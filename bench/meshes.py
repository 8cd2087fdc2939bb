"""Benchmark meshes: a closed, finely subdivided torus written as binary or ASCII STL.

The torus is a `major` x `minor` grid of quads on a tube whose radius swells and narrows
along both directions, so normals vary as on a real part. Every quad is split into two
triangles along the same diagonal, so every vertex is shared by exactly six faces and every
edge by exactly two. Each distinct vertex is rounded to float32 once and every face that uses
it copies those bits, in both formats: the ASCII numbers carry nine significant digits, which
read back to the same float32, so both files hold the same mesh.

Everything is built with numpy and written in chunks; a 4-million-face ASCII file (about
1.1 GB) takes seconds, not minutes.
"""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np

# Face counts are 2 * major * minor.
SIZES: dict[str, tuple[int, int]] = {
    "100k": (500, 100),
    "1m": (1000, 500),
    "2m": (2000, 500),
    "4m": (2000, 1000),
    "10m": (5000, 1000),  # binary only: 500 MB
}

MAJOR_RADIUS = 3.0
MINOR_RADIUS = 1.0
CHUNK_FACES = 250_000

BINARY_RECORD = np.dtype([("normal", "<f4", (3,)), ("corners", "<f4", (3, 3)),
                          ("attribute", "<u2")])
assert BINARY_RECORD.itemsize == 50

# "+1.23456789e+00": fixed width, nine significant digits (enough for any float32).
NUMBER_FORMAT = "%+.8e"
NUMBER_WIDTH = 15
TRIPLE_WIDTH = 3 * NUMBER_WIDTH + 2


def torus(major: int, minor: int) -> tuple[np.ndarray, np.ndarray]:
    """Returns (vertices float32 (major*minor, 3), faces int64 (2*major*minor, 3))."""
    u = 2.0 * np.pi * np.arange(major) / major
    v = 2.0 * np.pi * np.arange(minor) / minor
    uu, vv = np.meshgrid(u, v, indexing="ij")
    tube = MINOR_RADIUS * (1.0 + 0.2 * np.sin(3.0 * uu) * np.cos(2.0 * vv))
    ring = MAJOR_RADIUS + tube * np.cos(vv)
    vertices = np.stack([ring * np.cos(uu), ring * np.sin(uu), tube * np.sin(vv)], axis=-1)
    vertices = vertices.reshape(-1, 3).astype(np.float32)

    i, j = np.meshgrid(np.arange(major), np.arange(minor), indexing="ij")
    i, j = i.ravel(), j.ravel()
    i1, j1 = (i + 1) % major, (j + 1) % minor
    a, b, c, d = i * minor + j, i1 * minor + j, i1 * minor + j1, i * minor + j1
    # (a, b, c) and (a, c, d) wind so that the normal points out of the tube.
    faces = np.empty((2 * major * minor, 3), dtype=np.int64)
    faces[0::2] = np.stack([a, b, c], axis=1)
    faces[1::2] = np.stack([a, c, d], axis=1)
    return vertices, faces


def face_normals(vertices: np.ndarray, faces: np.ndarray) -> np.ndarray:
    """Unit normals (float32) of the faces, computed in double from the float32 corners."""
    corners = vertices[faces].astype(np.float64)
    normals = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    lengths = np.linalg.norm(normals, axis=1, keepdims=True)
    return (normals / np.where(lengths > 0, lengths, 1.0)).astype(np.float32)


def write_binary(path: Path, vertices: np.ndarray, faces: np.ndarray, normals: np.ndarray) -> None:
    with open(path, "wb") as out:
        out.write(b"binary STL written by bench/meshes.py".ljust(80, b" "))
        out.write(np.uint32(len(faces)).tobytes())
        for begin in range(0, len(faces), CHUNK_FACES):
            end = min(begin + CHUNK_FACES, len(faces))
            records = np.zeros(end - begin, dtype=BINARY_RECORD)
            records["normal"] = normals[begin:end]
            records["corners"] = vertices[faces[begin:end]]
            out.write(records.tobytes())


def _triples(values: np.ndarray) -> np.ndarray:
    """The text "x y z" of each row of float32 triples, as an (n, TRIPLE_WIDTH) byte array."""
    flat = values.astype(np.float64).ravel().tolist()  # exact widening of each float32
    text = "".join(map(NUMBER_FORMAT.__mod__, flat)).encode("ascii")
    numbers = np.frombuffer(text, dtype=np.uint8)
    if numbers.size != len(flat) * NUMBER_WIDTH:
        raise ValueError("a number did not fit the fixed width")
    numbers = numbers.reshape(len(values), 3, NUMBER_WIDTH)
    triples = np.full((len(values), TRIPLE_WIDTH), ord(" "), dtype=np.uint8)
    for axis in range(3):
        start = axis * (NUMBER_WIDTH + 1)
        triples[:, start:start + NUMBER_WIDTH] = numbers[:, axis]
    return triples


def write_ascii(path: Path, vertices: np.ndarray, faces: np.ndarray, normals: np.ndarray,
                name: str = "torus") -> None:
    placeholder = "#" * TRIPLE_WIDTH
    facet = (f"  facet normal {placeholder}\n    outer loop\n"
             + f"      vertex {placeholder}\n" * 3
             + "    endloop\n  endfacet\n").encode("ascii")
    slots = []  # byte offsets of the normal and the three corners in one facet
    start = 0
    for _ in range(4):
        start = facet.index(placeholder.encode("ascii"), start)
        slots.append(start)
        start += TRIPLE_WIDTH
    template = np.frombuffer(facet, dtype=np.uint8)
    vertex_text = _triples(vertices)  # each distinct vertex formatted once
    with open(path, "wb") as out:
        out.write(f"solid {name}\n".encode("ascii"))
        for begin in range(0, len(faces), CHUNK_FACES):
            end = min(begin + CHUNK_FACES, len(faces))
            block = np.tile(template, (end - begin, 1))
            block[:, slots[0]:slots[0] + TRIPLE_WIDTH] = _triples(normals[begin:end])
            for corner in range(3):
                slot = slots[corner + 1]
                block[:, slot:slot + TRIPLE_WIDTH] = vertex_text[faces[begin:end, corner]]
            out.write(block.tobytes())
        out.write(f"endsolid {name}\n".encode("ascii"))


def mesh_path(data_dir: Path, size: str, form: str) -> Path:
    return data_dir / f"torus-{size}-{form}.stl"


def ensure_mesh(data_dir: Path, size: str, form: str) -> Path:
    """The generated file, written first if it is not there yet (reused otherwise)."""
    path = mesh_path(data_dir, size, form)
    if path.exists():
        return path
    data_dir.mkdir(parents=True, exist_ok=True)
    vertices, faces = torus(*SIZES[size])
    normals = face_normals(vertices, faces)
    partial = path.with_suffix(".partial")
    (write_binary if form == "binary" else write_ascii)(partial, vertices, faces, normals)
    os.replace(partial, path)  # an interrupted run never leaves a truncated mesh behind
    return path
