"""Generated meshes for the demo, the tests and the benchmarks: STL, and OBJ, OFF and PLY.

A mesh here is a list of faces, each ``(normal, a, b, c)`` with three-float tuples. The
writers put out exactly the float32 values given, so a test can predict what comes back.
"""

from __future__ import annotations

import json
import math
import struct
from collections.abc import Sequence
from pathlib import Path

Vec = tuple[float, float, float]
Face = tuple[Vec, Vec, Vec, Vec]

_RECORD = struct.Struct("<12fH")


def write_binary_stl(path: str | Path, faces: Sequence[Face], header: bytes = b"",
                     count: int | None = None, attribute: int = 0) -> Path:
    """Writes a binary STL; `count` overrides the face count field (for broken files)."""
    path = Path(path)
    header = header.ljust(80, b" ")[:80] if header else b"\0" * 80
    with path.open("wb") as out:
        out.write(header)
        out.write(struct.pack("<I", len(faces) if count is None else count))
        for normal, a, b, c in faces:
            out.write(_RECORD.pack(*normal, *a, *b, *c, attribute))
    return path


def write_ascii_stl(path: str | Path, faces: Sequence[Face], name: str = "mesh",
                    number_format: str = "{:.9g}", newline: str = "\n") -> Path:
    path = Path(path)
    fmt = lambda v: " ".join(number_format.format(x) for x in v)  # noqa: E731
    lines = [f"solid {name}"]
    for normal, a, b, c in faces:
        lines.append(f"  facet normal {fmt(normal)}")
        lines.append("    outer loop")
        for vertex in (a, b, c):
            lines.append(f"      vertex {fmt(vertex)}")
        lines.append("    endloop")
        lines.append("  endfacet")
    lines.append(f"endsolid {name}")
    path.write_text(newline.join(lines) + newline, encoding="utf-8", newline="")
    return path


def indexed(faces: Sequence[Face]) -> tuple[list[Vec], list[tuple[int, int, int]]]:
    """The faces' corners as a vertex table (equal corners once, in order of first use) and
    triangles of indices into it."""
    numbers: dict[Vec, int] = {}
    triangles = []
    for _, *corners in faces:
        triangles.append(tuple(numbers.setdefault(tuple(v), len(numbers)) for v in corners))
    return list(numbers), triangles  # type: ignore[return-value]


def write_obj(path: str | Path, faces: Sequence[Face], newline: str = "\n") -> Path:
    """Writes a Wavefront OBJ of the faces: `v` lines (shortest round-trip decimals) and
    `f a b c` lines numbered from 1."""
    vertices, triangles = indexed(faces)
    lines = [f"v {x!r} {y!r} {z!r}" for x, y, z in vertices]
    lines += [f"f {a + 1} {b + 1} {c + 1}" for a, b, c in triangles]
    Path(path).write_text(newline.join(lines) + newline, newline="")
    return Path(path)


def write_off(path: str | Path, faces: Sequence[Face]) -> Path:
    """Writes an ASCII OFF of the faces."""
    vertices, triangles = indexed(faces)
    lines = ["OFF", f"{len(vertices)} {len(triangles)} 0"]
    lines += [f"{x!r} {y!r} {z!r}" for x, y, z in vertices]
    lines += [f"3 {a} {b} {c}" for a, b, c in triangles]
    Path(path).write_text("\n".join(lines) + "\n")
    return Path(path)


def write_ply(path: str | Path, faces: Sequence[Face], encoding: str = "binary_little_endian",
              ) -> Path:
    """Writes a PLY of the faces (`float x y z`, `list uchar int vertex_indices`) in the
    encoding "ascii", "binary_little_endian" or "binary_big_endian"."""
    vertices, triangles = indexed(faces)
    header = (f"ply\nformat {encoding} 1.0\nelement vertex {len(vertices)}\n"
              "property float x\nproperty float y\nproperty float z\n"
              f"element face {len(triangles)}\nproperty list uchar int vertex_indices\n"
              "end_header\n")
    if encoding == "ascii":
        body = "".join(f"{x!r} {y!r} {z!r}\n" for x, y, z in vertices)
        body += "".join(f"3 {a} {b} {c}\n" for a, b, c in triangles)
        Path(path).write_text(header + body)
        return Path(path)
    order = "<" if encoding == "binary_little_endian" else ">"
    vertex = struct.Struct(order + "3f")
    face = struct.Struct(order + "B3i")
    with Path(path).open("wb") as out:
        out.write(header.encode())
        out.write(b"".join(vertex.pack(*v) for v in vertices))
        out.write(b"".join(face.pack(3, *t) for t in triangles))
    return Path(path)


def write_glb(path: str | Path, faces: Sequence[Face]) -> Path:
    """Writes a GLB of the faces: one node, one indexed TRIANGLES primitive of float
    positions and 32-bit indices."""
    vertices, triangles = indexed(faces)
    positions = b"".join(struct.pack("<3f", *v) for v in vertices)
    indices = b"".join(struct.pack("<3I", *t) for t in triangles)
    low = [min(v[k] for v in vertices) for k in range(3)]
    high = [max(v[k] for v in vertices) for k in range(3)]
    doc = {
        "asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}],
        "nodes": [{"mesh": 0}],
        "meshes": [{"primitives": [{"attributes": {"POSITION": 0}, "indices": 1}]}],
        "buffers": [{"byteLength": len(positions) + len(indices)}],
        "bufferViews": [{"buffer": 0, "byteLength": len(positions)},
                        {"buffer": 0, "byteOffset": len(positions), "byteLength": len(indices)}],
        "accessors": [{"bufferView": 0, "componentType": 5126, "count": len(vertices),
                       "type": "VEC3", "min": low, "max": high},
                      {"bufferView": 1, "componentType": 5125, "count": 3 * len(triangles),
                       "type": "SCALAR"}],
    }
    text = json.dumps(doc).encode()
    text += b" " * (-len(text) % 4)
    body = positions + indices
    chunks = (struct.pack("<II", len(text), 0x4E4F534A) + text
              + struct.pack("<II", len(body), 0x004E4942) + body)
    Path(path).write_bytes(struct.pack("<III", 0x46546C67, 2, 12 + len(chunks)) + chunks)
    return Path(path)


def _normal(a: Vec, b: Vec, c: Vec) -> Vec:
    u = (b[0] - a[0], b[1] - a[1], b[2] - a[2])
    v = (c[0] - a[0], c[1] - a[1], c[2] - a[2])
    n = (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])
    length = math.sqrt(n[0] ** 2 + n[1] ** 2 + n[2] ** 2) or 1.0
    return (n[0] / length, n[1] / length, n[2] / length)


def _f32(v: Vec) -> Vec:
    """Rounds to float32 so that shared corners stay bit-identical after writing."""
    return struct.unpack("<3f", struct.pack("<3f", *v))


def torus(major_steps: int = 48, minor_steps: int = 24, major_radius: float = 3.0,
          minor_radius: float = 1.0) -> list[Face]:
    """A closed torus: 2 * major_steps * minor_steps faces, each vertex shared by six."""
    def point(i: int, j: int) -> Vec:
        u = 2 * math.pi * (i % major_steps) / major_steps
        v = 2 * math.pi * (j % minor_steps) / minor_steps
        r = major_radius + minor_radius * math.cos(v)
        return _f32((r * math.cos(u), r * math.sin(u), minor_radius * math.sin(v)))

    faces: list[Face] = []
    for i in range(major_steps):
        for j in range(minor_steps):
            a, b = point(i, j), point(i + 1, j)
            c, d = point(i + 1, j + 1), point(i, j + 1)
            faces.append((_f32(_normal(a, b, c)), a, b, c))
            faces.append((_f32(_normal(a, c, d)), a, c, d))
    return faces


def cube(size: float = 1.0) -> list[Face]:
    """The twelve faces of an axis-aligned cube from the origin to `size`."""
    s = float(size)
    corners = [(x, y, z) for x in (0.0, s) for y in (0.0, s) for z in (0.0, s)]
    quads = [  # (normal, four corner indices counter-clockwise seen from outside)
        ((-1.0, 0.0, 0.0), (0, 1, 3, 2)), ((1.0, 0.0, 0.0), (4, 6, 7, 5)),
        ((0.0, -1.0, 0.0), (0, 4, 5, 1)), ((0.0, 1.0, 0.0), (2, 3, 7, 6)),
        ((0.0, 0.0, -1.0), (0, 2, 6, 4)), ((0.0, 0.0, 1.0), (1, 5, 7, 3)),
    ]
    faces: list[Face] = []
    for normal, (p, q, r, t) in quads:
        faces.append((normal, corners[p], corners[q], corners[r]))
        faces.append((normal, corners[p], corners[r], corners[t]))
    return faces



