"""Behaviour digests: what the tools give for seeded calls and what the errors say, as tables
that a restructuring of the native code must leave unchanged, byte for byte.

A table is rows `name<TAB>value` sorted by name, recorded in `digests/<table>.tsv`:

- `generated`: meshes written here (every format and encoding, stored normals good and bad,
  polygons, faces of fewer than three corners, faces without area, what the readers
  tolerate, numbers at the edges of float32, every PLY scalar type), meshes in memory and
  point sets. The value is the first 16 hex digits of the SHA-256 of the arrays a call
  returns (dtype, shape and bytes of each), or "raises " and those of its error's text.
- `stl`, `meshes`: the same for the real files under `STL_DATA` and `MESH_DATA`; these
  tables are built only where the folder is.
- `errors`: the whole text of each error the tests check, "Type: message" (or "returns "
  and the digest of what the call gave), escaped to one line.

A count draws with its seed of `SEEDS`; paths in texts are the files' names here, never the
folder they were written to.

`python tests/digest_table.py` compares the tables with the recorded ones and lists the rows
that differ; `--write` records them (HACKING.md, "Behaviour digests").
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import io
import math
import os
import random
import struct
import sys
import tempfile
from collections.abc import Callable, Iterable, Iterator
from functools import partial
from pathlib import Path

import numpy as np

import vertisift
from conftest import MESH_DATA, STL_DATA, meshgen
from vertisift_tools import farthest_point_sample, read_mesh, sample, sample_mesh

DIGESTS = Path(__file__).resolve().parent / "digests"
TABLES = ("generated", "stl", "meshes", "errors")
# The folder each table of real files reads, and the variable that can name it.
REAL_FOLDERS = {"stl": STL_DATA, "meshes": MESH_DATA}
FOLDER_VARIABLES = {"stl": "VERTISIFT_STL_DATA", "meshes": "VERTISIFT_MESH_DATA"}
REAL_SUFFIXES = {"stl": {".stl"}, "meshes": {".off", ".obj", ".ply"}}

METHODS = ("vertices", "surface", "fps", "poisson")
NORMALS = ("auto", "file", "geometry", "smooth")
# A small count that cuts the vertex reduction, a larger one that tops it up, each with its
# seed (the second sets the high bits).
SEEDS = {64: 7, 500: 2**64 - 5}
INDEXED_SUFFIXES = {".off", ".obj", ".ply", ".glb", ".gltf"}

Rows = dict[str, str]
# A row's label and the arguments of sample() after the path.
Grid = list[tuple[str, int, dict[str, object]]]


# --- digests and texts ----------------------------------------------------------------------

def short_hash(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()[:16]


def digest(result: object) -> str:
    """The digest of a call's result: each array's dtype, shape and bytes in order; anything
    else by its repr."""
    arrays = result if isinstance(result, tuple) else (result,)
    if not all(isinstance(array, np.ndarray) for array in arrays):
        return short_hash(repr(result).encode())
    out = hashlib.sha256()
    for array in arrays:
        out.update(f"{array.dtype.str}{array.shape}".encode())
        out.update(np.ascontiguousarray(array).tobytes())
    return out.hexdigest()[:16]


def error_text(error: BaseException, folder: Path) -> str:
    """The error as "Type: message", each path under `folder` given relative to it."""
    return f"{type(error).__name__}: {error}".replace(f"{folder}{os.sep}", "")


def outcome(call: Callable[[], object], folder: Path) -> str:
    """The digest of what `call` returns, or "raises " and the digest of its error's text."""
    try:
        result = call()
    except Exception as error:
        return "raises " + short_hash(error_text(error, folder).encode())
    return digest(result)


def said(call: Callable[[], object], folder: Path) -> str:
    """The whole text of the error that `call` raises, or "returns " and its result's digest."""
    try:
        result = call()
    except Exception as error:
        return error_text(error, folder)
    return "returns " + digest(result)


def escaped(text: str) -> str:
    """`text` on one line: backslash, tab, line ends and other characters that do not print
    (surrogates too) as escapes."""
    simple = {"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"}
    return "".join(simple.get(c) or (c if c.isprintable() else f"\\u{{{ord(c):x}}}")
                   for c in text)


# --- the generated meshes -------------------------------------------------------------------

TORUS = meshgen.torus(16, 8)  # 256 faces, 128 vertices


def f32(value: float) -> float:
    return struct.unpack("<f", struct.pack("<f", value))[0]


def unit(v: Iterable[float]) -> tuple[float, ...]:
    v = tuple(v)
    length = math.sqrt(sum(c * c for c in v))
    return tuple(c / length for c in v) if length else (0.0,) * len(v)


def cross(u, v):
    return (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])


def turned(normal, degrees: float) -> tuple[float, ...]:
    """`normal` (unit) turned by `degrees` towards a direction in the plane it is normal to."""
    axis = [0.0, 0.0, 0.0]
    axis[min(range(3), key=lambda k: abs(normal[k]))] = 1.0
    side = unit(cross(normal, axis))
    angle = math.radians(degrees)
    return tuple(math.cos(angle) * n + math.sin(angle) * s for n, s in zip(normal, side))


def stored_face_normal(index: int, normal) -> tuple[float, ...]:
    """Stored STL normals of every kind, face after face: sound, zero, NaN, infinite, a few
    degrees off, just inside and just outside the 30 degrees of "auto", far off, flipped,
    tiny, huge and unrelated to the face."""
    nan, inf = float("nan"), float("inf")
    kinds = [normal, (0.0, 0.0, 0.0), (nan, 0.0, 1.0), (0.0, -inf, 0.0), turned(normal, 20),
             turned(normal, 29), turned(normal, 31), turned(normal, 60),
             tuple(-c for c in normal), tuple(c * 1e-30 for c in normal),
             tuple(c * 3e38 for c in normal), (1.0, 0.0, 0.0)]
    return kinds[index % len(kinds)]


def stored_vertex_normal(index: int, vertex) -> tuple[float, ...]:
    """Stored vertex normals of the torus, vertex after vertex: outward, outward and long,
    flipped, zero, unrelated, and just inside and just outside the 30 degrees of "auto"."""
    x, y, z = vertex
    radius = math.hypot(x, y)
    outward = unit((x - 3 * x / radius, y - 3 * y / radius, z))
    kinds = [outward, tuple(2.5 * c for c in outward), tuple(-c for c in outward),
             (0.0, 0.0, 0.0), (1.0, 0.0, 0.0), turned(outward, 29), turned(outward, 31)]
    return tuple(f32(c) for c in kinds[index % len(kinds)])


def numbers(values: Iterable[float]) -> str:
    return " ".join(repr(f32(v)) for v in values)


def torus_with_normals_obj() -> bytes:
    """The torus with `vn` per corner: odd faces take their vertices' stored normals, even
    faces one normal of their own, 10 degrees off the face's."""
    vertices, triangles = meshgen.indexed(TORUS)
    lines = [f"v {numbers(v)}" for v in vertices]
    lines += [f"vn {numbers(stored_vertex_normal(i, v))}" for i, v in enumerate(vertices)]
    faces = []
    for j, (a, b, c) in enumerate(triangles):
        if j % 2:
            faces.append(f"f {a + 1}//{a + 1} {b + 1}//{b + 1} {c + 1}//{c + 1}")
        else:
            lines.append(f"vn {numbers(turned(TORUS[j][0], 10))}")
            own = len(vertices) + j // 2 + 1
            faces.append(f"f {a + 1}//{own} {b + 1}//{own} {c + 1}//{own}")
    return "\n".join(lines + faces).encode() + b"\n"


def torus_with_normals_off() -> bytes:
    vertices, triangles = meshgen.indexed(TORUS)
    lines = ["NOFF", f"{len(vertices)} {len(triangles)} 0"]
    lines += [f"{numbers(v)} {numbers(stored_vertex_normal(i, v))}" for i, v in enumerate(vertices)]
    lines += [f"3 {a} {b} {c}" for a, b, c in triangles]
    return "\n".join(lines).encode() + b"\n"


def torus_with_normals_ply(encoding: str) -> bytes:
    vertices, triangles = meshgen.indexed(TORUS)
    header = (f"ply\nformat {encoding} 1.0\nelement vertex {len(vertices)}\n"
              + "".join(f"property float {name}\n" for name in ("x", "y", "z", "nx", "ny", "nz"))
              + f"element face {len(triangles)}\nproperty list uchar int vertex_indices\n"
              "end_header\n").encode()
    rows = [(*v, *stored_vertex_normal(i, v)) for i, v in enumerate(vertices)]
    if encoding == "ascii":
        return header + "".join(f"{numbers(row)}\n" for row in rows).encode() + "".join(
            f"3 {a} {b} {c}\n" for a, b, c in triangles).encode()
    order = "<" if encoding == "binary_little_endian" else ">"
    return (header + b"".join(struct.pack(order + "6f", *row) for row in rows)
            + b"".join(struct.pack(order + "B3i", 3, *t) for t in triangles))


def mixed_normals_faces(finite: bool = False) -> list:
    """The torus with the stored normals of `stored_face_normal`; with `finite`, as ASCII STL
    can write them (zero for NaN and infinite ones)."""
    faces = []
    for i, (normal, *corners) in enumerate(TORUS):
        stored = stored_face_normal(i, normal)
        if finite and not all(map(math.isfinite, stored)):
            stored = (0.0, 0.0, 0.0)
        faces.append((stored, *corners))
    return faces


def degenerate_faces() -> list:
    """The torus with faces without area among its faces: a repeated corner, one point."""
    faces = []
    for i, (normal, a, b, c) in enumerate(TORUS):
        faces.append((normal, a, b, c))
        if i % 3 == 0:
            faces.append((normal, a, b, b) if i % 2 else ((0.0, 0.0, 1.0), c, c, c))
    return faces


FLAT = [((0.0, 0.0, 1.0), (0.0, 0.0, 0.0), (1.0, 1.0, 1.0), (1.0, 1.0, 1.0))] * 3

# A box of side 2 from its quads, closed by a pentagon whose fan starts with a triangle
# without area (corner 10 lies on the edge from 1 to 5), and faces of fewer than three
# corners, one with a repeated corner; vertex 9 is used by no face.
POLYGON_VERTICES = [(x, y, z) for x in (0.0, 2.0) for y in (0.0, 2.0) for z in (0.0, 2.0)] + [
    (1.0, 1.0, 3.0), (5.0, 5.0, 5.0), (1.0, 0.0, 2.0)]
POLYGON_FACES = [(0, 1, 3, 2), (4, 6, 7, 5), (0, 4, 5, 1), (2, 3, 7, 6), (0, 2, 6, 4),
                 (1, 10, 5, 7, 3), (0, 7), (8,), (0, 0, 7)]


def polygons(kind: str) -> bytes:
    vertices = [" ".join(map(repr, v)) for v in POLYGON_VERTICES]
    if kind == "off":
        lines = ["OFF", f"{len(vertices)} {len(POLYGON_FACES) + 1} 0", *vertices]
        lines += [f"{len(f)} {' '.join(map(str, f))}" for f in POLYGON_FACES] + ["0"]
    elif kind == "obj":
        lines = [f"v {v}" for v in vertices]
        lines += [f"f {' '.join(str(i + 1) for i in f)}" for f in POLYGON_FACES]
    else:
        lines = ["ply", "format ascii 1.0", f"element vertex {len(vertices)}",
                 "property float x", "property float y", "property float z",
                 f"element face {len(POLYGON_FACES)}", "property list uchar int vertex_indices",
                 "end_header", *vertices]
        lines += [f"{len(f)} {' '.join(map(str, f))}" for f in POLYGON_FACES]
    return "\n".join(lines).encode() + b"\n"


def written(writer: Callable[..., object], *arguments: object, **options: object):
    """A file maker that writes the mesh with `writer`."""
    return lambda path: writer(path, *arguments, **options)


def data(content: bytes):
    """A file maker that writes `content`."""
    return lambda path: path.write_bytes(content)


def full_grid() -> Grid:
    """Every method with every normals mode at both counts, the faces of the surface methods,
    distinct vertices, and candidates given."""
    grid: Grid = []
    for n, seed in SEEDS.items():
        for method in METHODS:
            for normals in NORMALS:
                options = {"method": method, "normals": normals, "seed": seed}
                grid.append((f"sample({n}, {method}, {normals})", n, options))
                if method != "vertices" and n == 500:
                    grid.append((f"sample({n}, {method}, {normals}, faces)", n,
                                 {**options, "return_faces": True}))
        grid.append((f"sample({n}, vertices, auto, distinct)", n,
                     {"method": "vertices", "seed": seed, "distinct": True}))
    for method in ("fps", "poisson"):
        grid.append((f"sample(64, {method}, auto, 700 candidates)", 64,
                     {"method": method, "seed": SEEDS[64], "candidates": 700}))
    return grid


def real_grid() -> Grid:
    """For real files: every method with "auto" (the surface methods with their faces), every
    normals mode on the surface, and the stored and computed normals at the vertices."""
    n = 500
    seed = SEEDS[n]
    grid: Grid = [(f"sample({n}, vertices, {normals})", n,
                   {"method": "vertices", "normals": normals, "seed": seed})
                  for normals in ("auto", "file", "geometry")]
    for method in METHODS[1:]:
        grid.append((f"sample({n}, {method}, auto, faces)", n,
                     {"method": method, "seed": seed, "return_faces": True}))
    grid += [(f"sample({n}, surface, {normals})", n,
              {"method": "surface", "normals": normals, "seed": seed})
             for normals in NORMALS[1:]]
    grid += [(f"sample({n}, {method}, auto, colors)", n,
              {"method": method, "seed": seed, "colors": True})
             for method in ("vertices", "surface")]
    return grid


def quirk_grid() -> Grid:
    n = 64
    seed = SEEDS[n]
    return [(f"sample({n}, vertices, file)", n, {"method": "vertices", "normals": "file", "seed": seed}),
            (f"sample({n}, surface, auto, faces)", n,
             {"method": "surface", "seed": seed, "return_faces": True}),
            (f"sample({n}, surface, file)", n, {"method": "surface", "normals": "file", "seed": seed})]


def models() -> dict[str, Callable[[Path], object]]:
    """The meshes sampled every way: each format and encoding, stored normals of every kind,
    polygons, faces without area, no faces, no area."""
    return {
        "torus.binary.stl": written(meshgen.write_binary_stl, TORUS),
        "torus.ascii.stl": written(meshgen.write_ascii_stl, TORUS),
        "torus.obj": written(meshgen.write_obj, TORUS),
        "torus.off": written(meshgen.write_off, TORUS),
        "torus.ascii.ply": written(meshgen.write_ply, TORUS, "ascii"),
        "torus.le.ply": written(meshgen.write_ply, TORUS, "binary_little_endian"),
        "torus.be.ply": written(meshgen.write_ply, TORUS, "binary_big_endian"),
        "torus.glb": written(meshgen.write_glb, TORUS),
        "torus-mixed-normals.stl": written(meshgen.write_binary_stl, mixed_normals_faces()),
        "torus-mixed-normals.ascii.stl": written(meshgen.write_ascii_stl,
                                                 mixed_normals_faces(finite=True)),
        "torus-normals.obj": data(torus_with_normals_obj()),
        "torus-normals.off": data(torus_with_normals_off()),
        "torus-normals.ascii.ply": data(torus_with_normals_ply("ascii")),
        "torus-normals.le.ply": data(torus_with_normals_ply("binary_little_endian")),
        "torus-normals.be.ply": data(torus_with_normals_ply("binary_big_endian")),
        "polygons.off": data(polygons("off")),
        "polygons.obj": data(polygons("obj")),
        "polygons.ply": data(polygons("ply")),
        "degenerate.stl": written(meshgen.write_binary_stl, degenerate_faces()),
        "flat.stl": written(meshgen.write_binary_stl, FLAT),
        "empty.stl": written(meshgen.write_binary_stl, []),
        "points.off": data(b"OFF\n3 0 0\n0 0 0\n1 0 0\n0 1 0\n"),
    }


FACET = ["facet normal 0 0 1", "outer loop", "vertex 0 0 0", "vertex 1 0 0", "vertex 0 1 0",
         "endloop", "endfacet"]
SQUARE = "0 0 0\n1 0 0\n1 1 0\n0 1 0\n"


def stl_text(*lines: str, newline: str = "\n") -> bytes:
    return newline.join(lines).encode() + newline.encode()


def utf16(text: str, order: str) -> bytes:
    return ("\ufeff" + text).encode(f"utf-16-{order}")


def off_binary(order: str, colour_counts: bool) -> bytes:
    """The torus as OFF BINARY: counts, float32 vertices, faces of int32 with (or without) a
    colour count of 0 after each."""
    vertices, triangles = meshgen.indexed(TORUS)
    body = struct.pack(order + "3i", len(vertices), len(triangles), 0)
    body += b"".join(struct.pack(order + "3f", *v) for v in vertices)
    face = struct.Struct(order + ("5i" if colour_counts else "4i"))
    body += b"".join(face.pack(3, *t, *((0,) if colour_counts else ())) for t in triangles)
    return b"OFF BINARY\n" + body


def ply_header(encoding: str, *lines: str) -> bytes:
    return ("\n".join(["ply", f"format {encoding} 1.0", *lines, "end_header"]) + "\n").encode()


def quirks() -> dict[str, Callable[[Path], object]]:
    """What the readers tolerate, and some of what they refuse: read and sampled a little."""
    vertices, triangles = meshgen.indexed(TORUS)
    obj_text = "".join(f"v {x!r} {y!r} {z!r}\n" for x, y, z in vertices) + "".join(
        f"f {a + 1} {b + 1} {c + 1}\n" for a, b, c in triangles)
    small = TORUS[:40]
    return {
        # STL as other tools write it, and what it must not be.
        "stl/upper-case.stl": data(stl_text("SOLID part", *(line.upper() for line in FACET),
                                            "ENDSOLID part")),
        "stl/blank-before-solid.stl": data(stl_text("  solid part", *FACET, "endsolid")),
        "stl/cr-only.stl": data(stl_text("solid part", *FACET, "endsolid part", newline="\r")),
        "stl/no-endsolid.stl": data(stl_text("solid part", *FACET)),
        "stl/bom.stl": data(b"\xef\xbb\xbf" + stl_text("solid part", *FACET, "endsolid")),
        "stl/two-solids.stl": data(stl_text("solid a", *FACET, "endsolid a", "solid b",
                                            *(line.replace("1", "7") for line in FACET),
                                            "endsolid b")),
        "stl/words-after-endloop.stl": data(stl_text("solid w", *FACET[:5], "endloop x",
                                                     "endfacet y z", "endsolid")),
        "stl/four-vertices.stl": data(stl_text("solid f", *FACET[:5], "vertex 1 1 0",
                                               *FACET[5:], "endsolid")),
        "stl/crlf-long-numbers.stl": written(meshgen.write_ascii_stl, small,
                                             number_format="{:.25e}", newline="\r\n"),
        "stl/binary-solid-header.stl": written(meshgen.write_binary_stl, small, header=b"solid part"),
        "stl/binary-trailing-bytes.stl": lambda path: path.write_bytes(
            meshgen.write_binary_stl(path, small).read_bytes() + b"trailing garbage"),
        "stl/binary-count-below-records.stl": written(meshgen.write_binary_stl, small, count=7),
        "stl/binary-cut-short.stl": written(meshgen.write_binary_stl, small, count=41),
        "stl/binary-nan-corners.stl": written(meshgen.write_binary_stl, small + [
            ((0.0, 0.0, 1.0), (float("nan"), 0.0, 0.0), (float("inf"), 1.0, 0.0), (0.0, 0.0, 1.0))]),
        "stl/signed-zeros.stl": written(meshgen.write_binary_stl, [
            ((0.0, 0.0, 1.0), (0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0)),
            ((0.0, 0.0, 1.0), (-0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0))]),
        "stl/TORUS.STL": written(meshgen.write_binary_stl, small),
        "stl/torus.mesh": written(meshgen.write_binary_stl, small),  # any other suffix: STL
        "stl/png.stl": data(b"\x89PNG\r\n\x1a\n" + bytes(range(256))),
        # OFF: the keyword's forms, counts where ModelNet puts them, comments, colours,
        # homogeneous coordinates, faces over several lines, binary in both byte orders.
        "off/modelnet.off": data(b"OFF4 1 0\n" + SQUARE.encode() + b"4 0 1 2 3\n"),
        "off/counts-on-keyword-line.off": data(b"OFF 4 1 0\n" + SQUARE.encode()
                                               + b"4 0 1 2 3 255 0 0\n"),
        "off/no-keyword.off": data(b"4 1\n" + SQUARE.encode() + b"4 0 1 2 3\n"),
        "off/comments.off": data(b"  # made here\n\nOFF # keyword\n# counts next\n4 2 5\n\n"
                                 b"0 0 0 # first\n1 0 0\n1 1 0\n0 1 0\n3 0 1 2\n# between\n3 0 2 3\n"),
        "off/coff.off": data(b"COFF\n4 1 0\n0 0 0 255 0 0 255\n1 0 0 0 255 0 255\n"
                             b"1 1 0 0 0 255 255\n0 1 0 9 9 9 255\n4 0 1 2 3 1 0 0\n"),
        "off/cnoff.off": data(b"CNOFF\n3 1 0\n0 0 0 0 0 2 1 0 0 1\n1 0 0 0 0 -1 0 1 0 1\n"
                              b"0 1 0 1 0 0 0 0 1 1\n3 0 1 2\n"),
        "off/4off.off": data(b"4OFF\n4 2 0\n0 0 0 1\n2 0 0 2\n2 2 0 2\n0 1 0 0\n3 0 1 2\n3 0 2 3\n"),
        "off/stoff.off": data(b"STOFF\n3 1 0\n0 0 0 0.5 0.5\n1 0 0 1 0\n0 1 0 0 1\n3 0 1 2\n"),
        "off/noff-dimension.off": data(b"nOFF\n3\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n"),
        "off/face-over-lines.off": data(b"OFF\n4 1 0\n" + SQUARE.encode() + b"4\n0 1\n2\n3\n"),
        "off/binary-big-endian.off": data(off_binary(">", True)),
        "off/binary-little-endian.off": data(off_binary("<", False)),
        "off/index-out-of-range.off": data(b"OFF\n3 1 0\n0 0 0\n1 0 0\n1 1 0\n3 0 1 3\n"),
        "off/cut-short.off": data(b"OFF\n4 2 0\n" + SQUARE.encode() + b"3 0 1 2\n"),
        # OBJ: corner forms, negative indices, continued lines, encodings, statements that
        # are ignored, spellings of NaN and infinity, and what is not OBJ.
        "obj/negative.obj": data(b"v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf -4 -3 -2 -1\n"),
        "obj/corner-forms.obj": data(b"v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvn 0 0 1\n"
                                     b"vn 0 0.6 0.8\nf 1/1/1 2//2 3/1 4\nf 1/1/ 3/1/ 4/1/\n"),
        "obj/continued.obj": data(b"v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\ng part\nf 1 2 \\\n 3 4\n"),
        "obj/crlf.obj": data(obj_text.replace("\n", "\r\n").encode()),
        "obj/bom.obj": data(b"\xef\xbb\xbf" + obj_text.encode()),
        "obj/utf16le.obj": data(utf16(obj_text, "le")),
        "obj/utf16be.obj": data(utf16(obj_text, "be")),
        "obj/w-and-colours.obj": data(b"v 0 0 0 2\nv 1 0 0 1 0.5 0.5 0.5\nv 0 1 0 1 1 1\nf 1 2 3\n"),
        "obj/ignored.obj": data(b"# comment\nmtllib a.mtl\no thing\ng group\ns 1\nusemtl red\n"
                                b"v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvp 0.5\nl 1 2\np 3\n"
                                b"cstype bezier\nunknown 1 2 3\nf 1 2 3\nf 1 2\n"),
        "obj/nan-and-infinity.obj": data(b"v 0 0 0\nv 1 0 0\nv 0 1 0\nv nan 0 0\nv inf 1 0\n"
                                         b"v 1.#IND 0 1\nv -1.#INF 0 0\nf 1 2 3\nf 4 5 6\n"
                                         b"f 1 2 7\n"),
        "obj/index-zero.obj": data(b"v 0 0 0\nv 1 0 0\nv 1 1 0\nf 0 1 2\n"),
        "obj/index-out-of-range.obj": data(b"v 0 0 0\nv 1 0 0\nv 1 1 0\nf 1 2 4\n"),
        "obj/starts-with-a-number.obj": data(b"1 2 3\nv 0 0 0\n"),
        "obj/no-statement.obj": data(b"hello\nworld\n"),
        # PLY: other elements and properties, faces first, tristrips, blank lines, binary data
        # that starts with a line feed, header lines of other writers, and broken files.
        "ply/polygon-double.ply": data(ply_header(
            "ascii", "comment quad", "element vertex 4", "property double x", "property double y",
            "property double z", "element face 1", "property list ushort uint vertex_index")
            + SQUARE.encode() + b"4 0 1 2 3\n"),
        "ply/extra-properties.ply": data(ply_header(
            "binary_little_endian", "element vertex 3", "property uchar red", "property float x",
            "property list uchar short extra", "property float y", "property float z",
            "property uchar green", "element edge 1", "property int vertex1",
            "property int vertex2", "element face 1", "property list uchar float texcoord",
            "property list uchar int vertex_indices", "property uchar flags")
            + struct.pack("<Bf", 1, 0.0) + struct.pack("<B2h", 2, 5, 6) + struct.pack("<ffB", 0, 0, 2)
            + struct.pack("<Bf", 1, 1.0) + struct.pack("<B", 0) + struct.pack("<ffB", 0, 0, 2)
            + struct.pack("<Bf", 1, 0.0) + struct.pack("<B", 0) + struct.pack("<ffB", 1, 0, 2)
            + struct.pack("<2i", 0, 1) + struct.pack("<B2f", 2, 0.5, 0.5)
            + struct.pack("<B3iB", 3, 0, 1, 2, 7)),
        "ply/faces-first.ply": data(ply_header(
            "ascii", "element face 2", "property list uchar int vertex_indices", "element vertex 4",
            "property float x", "property float y", "property float z")
            + b"3 0 1 2\n3 0 2 3\n" + SQUARE.encode()),
        "ply/tristrips.ply": data(ply_header(
            "ascii", "element vertex 6", "property float x", "property float y", "property float z",
            "element tristrips 1", "property list int int vertex_indices")
            + b"0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 2 0\n1 2 0\n" + b"9 0 1 2 3 -1 2 3 4 5\n"),
        "ply/blank-lines.ply": data(ply_header(
            "ascii", "element vertex 3", "property float x", "property float y", "property float z",
            "element face 1", "property list uchar int vertex_indices")
            + b"\n0 0 0\n\n1 0 0\n0 1 0\n\n3 0 1 2\n\n"),
        "ply/binary-starts-with-lf.ply": data(ply_header(
            "binary_little_endian", "element vertex 3", "property float x", "property float y",
            "property float z", "element face 1", "property list uchar int vertex_indices")
            + b"\n\0\0\0" + struct.pack("<8f", 0, 0, 1, 0, 0, 0, 1, 0) + struct.pack("<B3i", 3, 0, 1, 2)),
        "ply/header-lines.ply": data(ply_header(
            "ascii", "comment made here", "obj_info a model", "Written by another tool",
            "element vertex 3", "property float32 x", "property float32 y", "property float32 z",
            "element face 1", "property list uint8 int32 vertex_indices")
            + b"0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n"),
        "ply/points.ply": data(ply_header("ascii", "element vertex 2", "property float x",
                                          "property float y", "property float z")
                               + b"0 0 0\n1 1 1\n"),
        "ply/cut-short.ply": lambda path: path.write_bytes(
            meshgen.write_ply(path, TORUS).read_bytes()[:-7]),
        "ply/short-rows.ply": data(ply_header(
            "ascii", "element vertex 3", "property float x", "property float y", "property float z",
            "element face 1", "property list uchar int vertex_indices")
            + b"0 0 0\n1 0\n0 1 0\n3 0 1 2\n"),
        "ply/not-ply.ply": data(b"solid x\nendsolid x\n"),
    }


# Numbers at the edges of float32 and spellings the readers take or refuse: the x of one
# corner of a triangle, in each text format.
NUMBER_TOKENS = {
    "one": "1", "minus-zero": "-0", "plus-half": "+.5", "trailing-dot": "5.",
    "exponent": "1.5E-3", "signed-exponent": "-2.5e+01", "tenth": "0.1", "zeros": "00.000",
    "tiny-exponent": "-0.0e-999999", "integer": "123456789",
    "pi-digits": "3.14159265358979323846264338327950288419716939937510582097494459",
    "tie": "1.000000059604644775390625", "above-tie": "1.0000000596046447753906250000000000000001",
    "odd-integer": "16777217", "odd-integer-above": "16777219",
    "smallest-subnormal": "1e-45", "largest-subnormal": "-1.1754942e-38", "below-subnormal": "1e-46",
    "far-below": "-1e-60", "largest": "3.4028235e38", "above-largest": "3.4028236e38",
    "overflow": "1e39", "huge-exponent": "1e400", "long-zeros": "0." + "0" * 400 + "1",
    "long-integer": "1" + "0" * 60, "inf": "inf", "minus-inf": "-inf", "infinity": "Infinity",
    "nan": "nan", "minus-nan": "-nan", "NAN": "NAN", "msvc-ind": "1.#IND", "msvc-inf": "-1.#INF",
    "dot": ".", "bare-exponent": "e5", "open-exponent": "1e", "two-dots": "1.2.3", "hex": "0x1p3",
    "comma": "1,5", "fortran": "1d5", "plus-minus": "+-1",
}


def number_files() -> dict[str, Callable[[Path], object]]:
    files = {}
    for name, token in NUMBER_TOKENS.items():
        facet = [*FACET]
        facet[2:5] = [f"vertex {token} 0 0", "vertex 0 1 0", "vertex 0 0 1"]
        rows = f"{token} 0 0\n0 1 0\n0 0 1\n"
        files[f"numbers/stl/{name}.stl"] = data(stl_text("solid n", *facet, "endsolid"))
        files[f"numbers/obj/{name}.obj"] = data(
            "".join(f"v {row}\n" for row in rows.splitlines()).encode() + b"f 1 2 3\n")
        files[f"numbers/off/{name}.off"] = data(f"OFF\n3 1 0\n{rows}3 0 1 2\n".encode())
        for kind in ("float", "double"):
            files[f"numbers/ply-{kind}/{name}.ply"] = data(ply_header(
                "ascii", "element vertex 3", f"property {kind} x", f"property {kind} y",
                f"property {kind} z", "element face 1", "property list uchar int vertex_indices")
                + f"{rows}3 0 1 2\n".encode())
    return files


ENCODING_NAMES = {"ascii": "ascii", "binary_little_endian": "le", "binary_big_endian": "be"}
PLY_TYPES = {"char": "b", "uchar": "B", "short": "h", "ushort": "H", "int": "i", "uint": "I",
             "float": "f", "double": "d", "int8": "b", "uint8": "B", "int16": "h",
             "uint16": "H", "int32": "i", "uint32": "I", "float32": "f", "float64": "d"}


def ply_type_files() -> dict[str, Callable[[Path], object]]:
    """Coordinates of every scalar type and alias, near the type's largest value and below
    zero where it has a sign, and indices (and counts) of each integer type, in the three
    encodings."""
    files = {}
    for name, code in PLY_TYPES.items():
        large = {"b": 100, "B": 200, "h": 30000, "H": 60000, "i": 2**31 - 1, "I": 2**32 - 1,
                 "f": 1e30, "d": 1e300}[code]
        low = 1 if code in "BHI" else -1
        corners = [(0, 0, 0), (large, 0, 0), (large, 2, low), (0, 2, low)]
        index = name if code not in "fd" else "int"
        header_lines = ["element vertex 4", *(f"property {name} {axis}" for axis in "xyz"),
                        "element face 2", f"property list {index} {index} vertex_indices"]
        index_code = PLY_TYPES[index]
        for encoding, short in ENCODING_NAMES.items():
            header = ply_header(encoding, *header_lines)
            if encoding == "ascii":
                body = "".join(f"{x} {y} {z}\n" for x, y, z in corners) + "3 0 1 2\n3 0 2 3\n"
                content = header + body.encode()
            else:
                order = "<" if encoding == "binary_little_endian" else ">"
                content = header + b"".join(struct.pack(order + 3 * code, *c) for c in corners)
                content += struct.pack(order + 4 * index_code, 3, 0, 1, 2)
                content += struct.pack(order + 4 * index_code, 3, 0, 2, 3)
            files[f"ply-types/{name}.{short}.ply"] = data(content)
    return files


def every_code_point() -> bytes:
    """A facet header of one token that holds every code point but the blanks and the
    surrogates: the reader quotes each in its message."""
    blanks = {*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028,
              0x2029, 0x202F, 0x205F, 0x3000}
    token = "".join(chr(c) for c in range(0x110000)
                    if c not in blanks and not 0xD800 <= c <= 0xDFFF)
    return stl_text("solid q", token, *FACET[1:], "endsolid")


def write_files(folder: Path, files: dict[str, Callable[[Path], object]]) -> None:
    for name, make in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        make(path)


def file_rows(path: Path, name: str, folder: Path, grid: Grid) -> Rows:
    """The rows of one file: its mesh (strictly too for STL), and each sample of `grid`."""
    rows = {f"{name} read_mesh": outcome(partial(read_mesh, path), folder)}
    if path.suffix.lower() not in INDEXED_SUFFIXES:
        rows[f"{name} read_mesh(strict)"] = outcome(partial(read_mesh, path, strict=True), folder)
    for label, n, options in grid:
        rows[f"{name} {label}"] = outcome(partial(sample, path, n, **options), folder)
    return rows


def in_memory_meshes() -> dict[str, tuple[np.ndarray, np.ndarray]]:
    vertices, triangles = meshgen.indexed(TORUS)
    # Unused vertices (one NaN) before and among the used ones, and faces without area.
    loose = [(9.0, 9.0, 9.0), (float("nan"), 0.0, 0.0), *vertices, (1e30, -1e30, 0.0)]
    loose_faces = [(a + 2, b + 2, c + 2) for a, b, c in triangles] + [(2, 2, 3), (4, 5, 4)]
    return {
        "torus float32 int32": (np.array(vertices, np.float32), np.array(triangles, np.int32)),
        "torus float64 int64": (np.array(vertices, np.float64), np.array(triangles, np.int64)),
        "loose float64 uint16": (np.array(loose, np.float64), np.array(loose_faces, np.uint16)),
    }


def sample_mesh_rows(folder: Path) -> Rows:
    rows = {}
    n, seed = 500, SEEDS[500]
    for name, (vertices, faces) in in_memory_meshes().items():
        for method in METHODS:
            for normals in NORMALS:
                options = {"method": method, "normals": normals, "seed": seed}
                rows[f"sample_mesh {name} ({n}, {method}, {normals})"] = outcome(
                    partial(sample_mesh, vertices, faces, n, **options), folder)
            if method != "vertices":
                rows[f"sample_mesh {name} ({n}, {method}, auto, faces)"] = outcome(
                    partial(sample_mesh, vertices, faces, n, method=method, seed=seed,
                            return_faces=True), folder)
        rows[f"sample_mesh {name} (64, vertices, auto, distinct)"] = outcome(
            partial(sample_mesh, vertices, faces, 64, seed=SEEDS[64], distinct=True), folder)
    return rows


def point_sets() -> Iterator[tuple[str, list[tuple[float, float, float]]]]:
    """Points from Python's own generator, whose stream never changes: uniform, on a lattice
    (ties decide), and over scales from 1e-30 to 1e30 (squares that underflow or overflow)."""
    draw = random.Random(5)
    yield "uniform 3000", [(draw.uniform(-1, 1), draw.uniform(-1, 1), draw.uniform(-1, 1))
                           for _ in range(3000)]
    yield "lattice 3000", [(draw.randrange(5), draw.randrange(5), draw.randrange(5))
                           for _ in range(3000)]
    scaled = []
    for _ in range(3000):
        scale = 10.0 ** draw.randrange(-30, 31)
        scaled.append(tuple(draw.uniform(-1, 1) * scale for _ in range(3)))
    yield "scales 3000", scaled
    yield "uniform 131072", [(draw.uniform(-1, 1), draw.uniform(-1, 1), draw.uniform(-1, 1))
                             for _ in range(1 << 17)]


def farthest_point_rows(folder: Path) -> Rows:
    rows = {}
    for name, points in point_sets():
        for dtype in (np.float32, np.float64):
            array = np.array(points, dtype)
            k = 256 if len(array) > 3000 else 600
            rows[f"farthest_point_sample {name} {np.dtype(dtype).name} ({k}, start=17)"] = outcome(
                partial(farthest_point_sample, array, k, start=17), folder)
        if name.startswith("lattice"):
            # Every point: the distinct positions, then the repeats at distance 0.
            rows["farthest_point_sample lattice 400 float32 (400, start=0)"] = outcome(
                partial(farthest_point_sample, np.array(points[:400], np.float32), 400), folder)
    return rows


def generated_table() -> Rows:
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        groups = [(models(), full_grid()), (quirks(), quirk_grid()),
                  ({**number_files(), **ply_type_files(),
                    "stl/every-code-point.stl": data(every_code_point())}, [])]
        rows: Rows = {}
        for files, grid in groups:
            write_files(folder, files)
            for name in files:
                rows.update(file_rows(folder / name, name, folder, grid))
        rows.update(sample_mesh_rows(folder))
        rows.update(farthest_point_rows(folder))
        return rows


def real_table(name: str) -> Rows:
    folder = REAL_FOLDERS[name]
    paths = sorted(p for p in folder.rglob("*")
                   if p.is_file() and p.suffix.lower() in REAL_SUFFIXES[name])
    rows: Rows = {}
    for path in paths:
        rows.update(file_rows(path, path.relative_to(folder).as_posix(), folder, real_grid()))
    return rows


# --- the error texts ------------------------------------------------------------------------

def ascii_stl_cases() -> Iterator[tuple[str, bytes]]:
    """The ASCII STL files whose messages the tests check, by what breaks them."""
    for kept in range(8):
        for tail_name, tail in (("LF", "\n"), ("nothing", ""), ("blank lines", "\n\n   \n\t\n")):
            text = "\n".join(["solid eof", *FACET, *FACET[:kept]]) + tail
            yield f"ends after {kept} lines of the second facet, then {tail_name}", text.encode()
    for step, line in [(0, "facet normal 0 0"), (1, "outer"), (1, "loop outer"),
                       (1, "OUTER LOOP"), (2, "vertex 1 2"), (3, "vertex 1 2 3 4"),
                       (4, "VERTEX 1 2 3"), (5, "endloop foo"), (6, "endfacet bar"),
                       (6, "ENDFACET")]:
        facet = [*FACET]
        facet[step] = line
        yield f"second facet, line {step + 1} is {line!r}", stl_text("solid m", *FACET, *facet, "endsolid m")
    for step in (1, 2, 4, 5, 6):
        facet = [*FACET[:step], "endsolid x", *FACET[step:]]
        yield f"endsolid before line {step + 1} of a facet", stl_text("solid x", *facet, "endsolid x")
    yield "outer and loop on two lines", stl_text("solid m", FACET[0], "outer", "loop", *FACET[2:], "endsolid")
    for header in ["facet normal 0 0 1 0", "facet", "facet normal", "facet 0 0 1",
                   "facet normals 0 0 1", "FACET NORMAL 0 0 1", "normal facet 0 0 1", "endsolidx",
                   "ENDSOLID", "end solid", 'facet normal "1" \\ \x01 \'',
                   "facet normal 0 é\u0301 1 2", "facet normal nan nan nan", "facet normal 1 x 1",
                   "facet normal 0 0 1e39", "facet normal -INF 0 x"]:
        yield f"facet header {header!r}", stl_text("solid h", header, *FACET[1:], "endsolid h")
    for vertex in ["vertex 1 2", "vertex", "vertex 1 2 3 4", "vertices 1 2 3", "1 2 3", "vertex 1 x inf", "vertex 1e39 0 0",
                   "vertex 0 -1e39 0", "vertex 0 0 NaN", "vertex 0 Infinity x", "vertex 1,5 0 0",
                   "vertex\u200b0 0 0", "vertex 0\x1f0 0"]:
        facet = [*FACET]
        facet[3] = vertex
        yield f"vertex line {vertex!r}", stl_text("solid v", *facet, "endsolid v")
    for bad in [b"\xff", b"\x80", b"\xc3", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"caf\xe9"]:
        for where in ("header", "vertex", "blank line", "endsolid line"):
            lines = [b"solid u"] + [line.encode() for line in FACET] + [b"endsolid u"]
            if where == "header":
                lines[1] += b" " + bad
            elif where == "vertex":
                lines[4] = b"vertex 0 " + bad + b" 0"
            elif where == "blank line":
                lines.insert(2, b"   " + bad)
            else:
                lines[-1] += b" " + bad
            yield f"bytes {bad!r} in the {where}", b"\n".join(lines) + b"\n"
    yield "a first line that is not UTF-8", b"solid \xff\n" + stl_text(*FACET, "endsolid")
    yield "CR-only line ends", stl_text("solid t", *FACET, "endsolid t", newline="\r")
    for first_line in ["solids", "SOLID name", " solid name", "\ufeffsolid name", "solid\u200bname"]:
        yield f"first line {first_line!r}", (first_line + "\n").encode() + stl_text(*FACET, "endsolid")
    broken = [*FACET]
    broken[3] = "vertex 1 0"
    yield "bare solid, a vertex of two coordinates", stl_text("solid", *broken, "endsolid")
    yield "bare solid, no endsolid", stl_text("solid", *FACET)
    record = struct.pack("<12fH", 0, 0, 0, *([0.0] * 9), 0)
    for count, present in ((10, 9), (10, 11)):
        header = b"solid part".ljust(80, b" ") + struct.pack("<I", count)
        yield f"solid header, count {count}, {present} zero records", header + record * present
    minus = struct.pack("<12fH", 0, 0, -1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0)
    yield "solid header, count 10, 3 records", (b"solid part".ljust(80, b" ")
                                                + struct.pack("<I", 10) + minus * 3)
    for token in ["1e39", "340282356779733661637539395458142568448", "Infinity", "-inf", "-nan",
                  "NAN", ".", "e5", "1e", "1.2.3", "0x1p3", "1,5"]:
        facet = [*FACET]
        facet[2] = f"vertex {token} 0 0"
        yield f"number {token}", stl_text("solid n", *facet, "endsolid")


def binary_stl_cases() -> Iterator[tuple[str, bytes]]:
    triangle = struct.pack("<12fH", 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0)
    yield from [
        ("empty", b""), ("83 bytes", b"\0" * 83),
        ("count 1, no record", b"\0" * 80 + struct.pack("<I", 1)),
        ("a record one byte short", b"\0" * 80 + struct.pack("<I", 1) + b"\0" * 49),
        ("two of three records", b"\0" * 80 + struct.pack("<I", 3) + b"\0" * 100),
        ("solid alone", b"solid"), ("solid and a facet line", b"solid\nfacet normal 0 0 1\n"),
        ("SOLID", b"SOLID x\n"), ("byte-order mark", b"\xef\xbb\xbfsolid x\n"),
        ("blank before solid", b" solid x\n"), ("solid and a tab", b"solid\tname\n"),
        ("count 2**32 - 1, one record", b"\0" * 80 + struct.pack("<I", 2**32 - 1) + triangle),
    ]


def argument_cases(cube: str) -> Iterator[tuple[str, Callable[[], object]]]:
    """reduce_stl_points() called wrongly, as the tests call it."""
    f = vertisift.reduce_stl_points

    class Index:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            return self.value

    class RaisesInIndex:
        def __index__(self):
            raise ValueError("no index here")

    class FloatIndex:
        def __index__(self):
            return 1.5

    class Chained:
        def __index__(self):
            try:
                raise KeyError("root")
            except KeyError as root:
                raise TypeError("outer") from root

    class PathLike:
        def __init__(self, value):
            self.value = value

        def __fspath__(self):
            return self.value

    class BrokenPath:
        def __fspath__(self):
            raise KeyError("nope")

    class TypeErrorPath:
        def __fspath__(self):
            raise TypeError("inner")

    yield from [
        ("no arguments", lambda: f()),
        ("file_path only", lambda: f(cube)),
        ("clusters only", lambda: f(clusters=5)),
        ("file_path by keyword only", lambda: f(file_path=cube)),
        ("three positionals", lambda: f(cube, 3, 1)),
        ("four positionals and a keyword", lambda: f(cube, 3, 1, 2, bogus=1)),
        ("file_path twice", lambda: f(cube, file_path=cube)),
        ("clusters twice", lambda: f(cube, 3, clusters=3)),
        ("keyword Clusters", lambda: f(cube, Clusters=3)),
        ("keyword with a lone surrogate", lambda: f(cube, 3, **{"file_path\udcff": 1})),
        ("bogus keyword first", lambda: f(cube, bogus=1, file_path=cube)),
        ("file_path twice before a bogus keyword", lambda: f(cube, file_path=cube, bogus=1)),
        ("bytes path and a str count", lambda: f(b"x.stl", "not a count")),
        ("None path", lambda: f(None, 3)),
        ("float count", lambda: f(cube, 2.0)),
        ("str count", lambda: f(cube, "3")),
        ("None count", lambda: f(cube, None)),
        ("count -1", lambda: f(cube, -1)),
        ("count 2**64", lambda: f(cube, 2**64)),
        ("count -(2**70)", lambda: f(cube, -(2**70))),
        ("count 2**100", lambda: f(cube, 2**100)),
        ("__index__ raises", lambda: f(cube, RaisesInIndex())),
        ("__index__ returns a float", lambda: f(cube, FloatIndex())),
        ("__index__ gives -5", lambda: f(cube, Index(-5))),
        ("__index__ raises a chained TypeError", lambda: f(cube, Chained())),
        ("__fspath__ gives bytes", lambda: f(PathLike(cube.encode()), 2)),
        ("__fspath__ raises KeyError", lambda: f(BrokenPath(), 2)),
        ("__fspath__ raises TypeError", lambda: f(TypeErrorPath(), 2)),
        ("empty path", lambda: f("", 1)),
        ("bytes path and the largest count", lambda: f(b"missing.stl", 2**64 - 1)),
        ("count sys.maxsize // 8 + 1", lambda: f(cube, sys.maxsize // 8 + 1)),
        ("count sys.maxsize // 8", lambda: f(cube, sys.maxsize // 8)),
        ("count 2**63", lambda: f(cube, 2**63)),
        ("count 2**64 - 1", lambda: f(cube, 2**64 - 1)),
    ]


def sample_argument_cases(torus: Path) -> Iterator[tuple[str, Callable[[], object]]]:
    """sample(), read_mesh(), sample_mesh() and farthest_point_sample() called wrongly."""
    path = str(torus)
    cases = [
        ("n -1", (path, -1), {}), ("method edges", (path, 5), {"method": "edges"}),
        ("normals stored", (path, 5), {"normals": "stored"}),
        ("candidates with surface", (path, 5), {"method": "surface", "candidates": 50}),
        ("candidates below n", (path, 5), {"method": "fps", "candidates": 4}),
        ("return_faces with vertices", (path, 5), {"return_faces": True}),
        ("return_faces 1", (path, 5), {"method": "poisson", "return_faces": 1}),
        ("candidates 2**60", (path, 5), {"method": "fps", "candidates": 2**60}),
        ("candidates 2**64", (path, 5), {"method": "poisson", "candidates": 2**64}),
        ("seed -1", (path, 5), {"seed": -1}), ("seed 2**64", (path, 5), {"seed": 2**64}),
        ("distinct with surface", (path, 5), {"method": "surface", "distinct": True}),
        ("n 5.0", (path, 5.0), {}), ("n True", (path, True), {}), ("bytes path", (path.encode(), 5), {}),
        ("seed 1.5", (path, 5), {"seed": 1.5}), ("method None", (path, 5), {"method": None}),
        ("distinct 1", (path, 5), {"distinct": 1}), ("strict 1", (path, 5), {"strict": 1}),
        ("visible 1", (path, 5), {"visible": 1}),
        ("view_directions 0", (path, 5), {"visible": True, "view_directions": 0}),
        ("view_directions without visible", (path, 5), {"view_directions": 8}),
        ("n 2**64", (path, 2**64), {}), ("n 2**40", (path, 2**40), {}),
        ("n 2**62", (path, 2**62), {}),
    ]
    for name, arguments, options in cases:
        yield f"sample {name}", partial(sample, *arguments, **options)
    yield "read_mesh strict 1", partial(read_mesh, path, strict=1)
    yield "read_mesh bytes path", partial(read_mesh, path.encode())
    square = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0)]
    for name, vertices, faces in [
        ("index 4 of 4", square, [[0, 1, 4]]), ("index -1", square, [[0, -1, 2]]),
        ("NaN vertex", [(0, 0, 0), (1, 0, 0), (np.nan, 1, 0)], [[0, 1, 2]]),
        ("vertices (3, 2)", [(0, 0), (1, 0), (1, 1)], [[0, 1, 2]]),
        ("faces (1, 4)", square, [[0, 1, 2, 3]]), ("float faces", square, [[0.0, 1.0, 2.0]]),
    ]:
        yield (f"sample_mesh {name}",
               partial(sample_mesh, np.array(vertices, np.float64), np.array(faces), 10))
    yield "sample_mesh int vertices", partial(sample_mesh, np.zeros((3, 3), np.int32), [[0, 1, 2]], 10)
    yield ("sample_mesh no area", partial(sample_mesh, np.array(square, np.float32), [[0, 1, 1]],
                                          10, method="surface"))
    for name, points, k, start in [
        ("k 5 of 4", np.zeros((4, 3), np.float32), 5, 0),
        ("k -1", np.zeros((4, 3), np.float32), -1, 0),
        ("start 4 of 4", np.zeros((4, 3), np.float32), 2, 4),
        ("points (4, 2)", np.zeros((4, 2), np.float32), 2, 0),
        ("int32 points", np.zeros((4, 3), np.int32), 2, 0),
        ("infinite coordinate", np.array([[0, 0, 0], [1, np.inf, 0]]), 2, 0),
        ("NaN coordinate", np.array([[0, 0, 0], [1, 0, 0], [0, 0, np.nan]], np.float32), 2, 0),
        ("k 2.0", np.zeros((4, 3)), 2.0, 0),
        ("start 0.5", np.zeros((4, 3)), 2, 0.5),
    ]:
        yield f"farthest_point_sample {name}", partial(farthest_point_sample, points, k, start=start)


def command_line(*arguments: str) -> str:
    """The status and the stderr of the command run in this process."""
    from vertisift_tools.command.main import main

    stderr = io.StringIO()
    with contextlib.redirect_stderr(stderr), contextlib.redirect_stdout(io.StringIO()):
        status = main(list(arguments))
    return f"status {status}: {stderr.getvalue()}"


def command_cases(folder: Path, torus: Path) -> Iterator[tuple[str, Callable[[], object]]]:
    """The command's one-line failures over models the reader refuses, and its memory errors."""
    out = str(folder / "cloud.npz")
    for name, content in [
        ("PNG", b"\x89PNG\r\n\x1a\n" + bytes(range(256))),
        ("text", b"# made by hand\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"), ("empty", b""),
        ("50 bytes", bytes(50)),
        ("broken ASCII", b"solid cube\n  facet normal 0 0 1\n    outer loop\n      vertex 0 0\n"),
        ("upper-case ASCII cut short", b" SOLID cube\r\nFACET NORMAL 0 0 1\n"),
        ("binary cut short", meshgen.write_binary_stl(folder / "whole.stl", TORUS).read_bytes()[:520]),
    ]:
        model = folder / "command" / f"{name.replace(' ', '-')}.stl"
        model.parent.mkdir(exist_ok=True)
        model.write_bytes(content)
        yield f"reduce {name}", partial(command_line, "reduce", str(model), "64", "-o", out)
    broken_off = folder / "command" / "broken.off"
    broken_off.write_bytes(b"OFF\n3 1 0\n0 0 0\n1 0 0\n1 1 0\n3 0 1 3\n")
    yield "reduce broken OFF", partial(command_line, "reduce", str(broken_off), "64", "-o", out)
    empty = meshgen.write_binary_stl(folder / "command" / "no-faces.stl", [])
    yield "reduce a model without faces", partial(command_line, "reduce", str(empty), "64", "-o", out)
    flat = meshgen.write_binary_stl(folder / "command" / "flat.stl", FLAT)
    yield ("reduce surface of no area",
           partial(command_line, "reduce", str(flat), "64", "-o", out, "--method", "surface"))
    yield "reduce 2**63 points", partial(command_line, "reduce", str(torus), str(2**63), "-o", out)
    yield ("reduce fps from 2**63 candidates", partial(
        command_line, "reduce", str(torus), "64", "-o", out, "--method", "fps", "--candidates",
        str(2**63)))
    plain = meshgen.write_off(folder / "command" / "plain.off", TORUS)
    yield ("reduce file normals of a model without them", partial(
        command_line, "reduce", str(plain), "64", "-o", out, "--normals", "file", "--seed", "3"))


def error_table() -> Rows:
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        torus = meshgen.write_binary_stl(folder / "torus.stl", TORUS)
        cube = str(meshgen.write_binary_stl(folder / "cube.stl", meshgen.cube()))
        rows: Rows = {}

        def add(name: str, call: Callable[[], object], only_errors: bool = False) -> None:
            text = said(call, folder)
            if not (only_errors and text.startswith("returns ")):
                rows[f"error/{escaped(name)}"] = escaped(text)

        # The extension reads the whole file whatever the count; with 0 what it reads gives
        # the same (empty) result on every call.
        for group, cases in (("stl-ascii", ascii_stl_cases()), ("stl-binary", binary_stl_cases())):
            path = folder / group / "model.stl"
            path.parent.mkdir()
            for name, content in cases:
                path.write_bytes(content)
                add(f"{group}/{name} reduce_stl_points", partial(vertisift.reduce_stl_points, str(path), 0))
                add(f"{group}/{name} read_mesh", partial(read_mesh, path))
        # The generated files that a reader refuses, or that have no surface to sample.
        files = {**models(), **quirks()}
        write_files(folder, files)
        for name in files:
            add(f"file/{name} read_mesh", partial(read_mesh, folder / name), only_errors=True)
            add(f"file/{name} sample(10, surface)",
                partial(sample, folder / name, 10, method="surface"), only_errors=True)
        (folder / "a folder.stl").mkdir()
        for name, path in [("missing", str(folder / "missing.off")),
                           ("a folder", str(folder / "a folder.stl")),
                           ("NUL inside", "a\0b.stl"), ("NUL alone", "\0"),
                           ("unpaired surrogate", "\ud800.stl"), ("surrogate at the end", "a\ud83d"),
                           ("low surrogate first", "\udfff\ud800")]:
            add(f"path/{name} reduce_stl_points", partial(vertisift.reduce_stl_points, path, 1))
            add(f"path/{name} read_mesh", partial(read_mesh, path))
            add(f"path/{name} sample", partial(sample, path, 4, method="surface"))
        for name, call in argument_cases(cube):
            add(f"reduce_stl_points/{name}", call)
        for name, call in sample_argument_cases(torus):
            add(f"arguments/{name}", call)
        for name, call in command_cases(folder, torus):
            rows[f"error/command/{escaped(name)}"] = escaped(
                str(call()).replace(f"{folder}{os.sep}", ""))
        return rows


# --- the tables on disk ---------------------------------------------------------------------

def missing_folder(table: str) -> Path | None:
    """The folder of real files that `table` reads, when it is not there."""
    folder = REAL_FOLDERS.get(table)
    return folder if folder is not None and not folder.is_dir() else None


def build(table: str) -> Rows:
    if table == "generated":
        return generated_table()
    if table == "errors":
        return error_table()
    return real_table(table)


def recorded_path(table: str) -> Path:
    return DIGESTS / f"{table}.tsv"


HEADER = "# name\tvalue: python tests/digest_table.py --write records the tables again\n"


def text_of(rows: Rows) -> str:
    return HEADER + "".join(f"{name}\t{rows[name]}\n" for name in sorted(rows))


def read_recorded(table: str) -> Rows:
    rows = {}
    for line in recorded_path(table).read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            name, value = line.split("\t")
            rows[name] = value
    return rows


def differences(recorded: Rows, now: Rows) -> list[tuple[str, str, str]]:
    """(name, recorded value, value now) of each row that differs, "-" for a missing one."""
    return [(name, recorded.get(name, "-"), now.get(name, "-"))
            for name in sorted(recorded.keys() | now.keys()) if recorded.get(name) != now.get(name)]


def report(table: str, changed: list[tuple[str, str, str]], limit: int = 20) -> str:
    lines = [f"{len(changed)} rows of the {table} table differ from {recorded_path(table).name}:"]
    for name, before, after in changed[:limit]:
        lines += [f"  {name}", f"    recorded: {before}", f"    now:      {after}"]
    if len(changed) > limit:
        lines.append(f"  ... and {len(changed) - limit} more")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Compare the behaviour digests with the recorded tables, or record them.")
    parser.add_argument("tables", nargs="*", metavar="TABLE",
                        help=f"some of {', '.join(TABLES)} (default: all)")
    parser.add_argument("--write", action="store_true", help="record the tables as they are now")
    arguments = parser.parse_args(argv)
    unknown = sorted(set(arguments.tables) - set(TABLES))
    if unknown:
        parser.error(f"no table {', '.join(unknown)}: the tables are {', '.join(TABLES)}")
    status = 0
    for table in arguments.tables or TABLES:
        folder = missing_folder(table)
        if folder is not None:
            print(f"{table}: skipped, the real files are not at {folder} "
                  f"(set {FOLDER_VARIABLES[table]} to their folder)")
            continue
        rows = build(table)
        if arguments.write:
            DIGESTS.mkdir(exist_ok=True)
            recorded_path(table).write_text(text_of(rows), encoding="utf-8")
            print(f"{table}: {len(rows)} rows written to {recorded_path(table)}")
            continue
        changed = differences(read_recorded(table), rows)
        print(report(table, changed) if changed else f"{table}: {len(rows)} rows as recorded")
        status = status or int(bool(changed))
    return status


if __name__ == "__main__":
    sys.exit(main())
