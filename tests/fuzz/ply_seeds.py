"""Writes the seed corpus of the PLY fuzz target into a directory (never into the tree).

    python tests/fuzz/ply_seeds.py OUT_DIR

Each seed is one selector byte (the size of the pieces the harness hands the rest out in,
minus one) and a small PLY file: ASCII and binary of both byte orders, every scalar type,
normals, colours of the vertices and of the faces, texture coordinates and texture files,
faces of several sizes, faces before vertices, triangle strips, extra elements with lists,
CRLF headers, a header line without a keyword, blank rows, and a few broken files.
"""

from __future__ import annotations

import struct

from seed_files import write_seeds

TYPES = {
    "char": "b", "uchar": "B", "short": "h", "ushort": "H",
    "int": "i", "uint": "I", "float": "f", "double": "d",
}


def header(fmt: str, elements: list[tuple[str, int, list[str]]], eol: str = "\n",
           texture_files: int = 0) -> bytes:
    lines = ["ply", f"format {fmt} 1.0", "comment seed", "made by hand without a keyword"]
    lines += [f"comment TextureFile  texture {k}.png " for k in range(texture_files)]
    for name, count, properties in elements:
        lines.append(f"element {name} {count}")
        lines += [f"property {p}" for p in properties]
    lines.append("end_header")
    return (eol.join(lines) + eol).encode()


def pack(order: str, fmt: str, *values) -> bytes:
    return struct.pack(order + fmt, *values)


def binary_seeds(order: str) -> dict[str, bytes]:
    fmt = "binary_little_endian" if order == "<" else "binary_big_endian"
    name = "le" if order == "<" else "be"
    seeds = {}
    cube = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0), (0, 0, 1), (1, 0, 1), (1, 1, 1), (0, 1, 1)]
    quads = [(0, 1, 2, 3), (4, 5, 6, 7), (0, 1, 5, 4), (2, 3, 7, 6)]
    body = b"".join(pack(order, "fff", *v) for v in cube)
    body += b"".join(pack(order, "Biii", 3, q[0], q[1], q[2]) for q in quads)
    seeds[f"common_{name}"] = header(fmt, [
        ("vertex", 8, ["float x", "float y", "float z"]),
        ("face", 4, ["list uchar int vertex_indices"])]) + body
    # Every scalar type, normals, a face element first, lists of other count types.
    props = ["char a", "double x", "short y", "uint z", "float nx", "float ny", "float nz",
             "ushort b"]
    vertices = b"".join(pack(order, "bdhIfffH", 1, v[0], v[1], v[2], 0, 0, 1, 9) for v in cube)
    faces = b"".join(pack(order, "H4IB", 4, *q, 7) for q in quads)
    seeds[f"types_{name}"] = header(fmt, [
        ("face", 4, ["list ushort uint vertex_index", "uchar flags"]),
        ("extra", 1, ["list int short q", "float w"]),
        ("vertex", 8, props)]) + faces + pack(order, "i3hf", 3, 1, 2, 3, 0.5) + vertices
    strip = pack(order, "i", 7) + b"".join(pack(order, "i", i) for i in (0, 1, 2, 3, -1, 4, 5))
    seeds[f"strips_{name}"] = header(fmt, [
        ("vertex", 8, ["float x", "float y", "float z"]),
        ("tristrips", 1, ["list int int vertex_indices"])]) + body[: 8 * 12] + strip
    seeds[f"cut_{name}"] = seeds[f"common_{name}"][:-7]
    # Vertex colours of a signed type with alpha, beside face colours around the list; and
    # face colours alone, on faces of three corners (read in place) and of four.
    colored = b"".join(pack(order, "fffhhhh", *v, -1, 32767, 9, 0) for v in cube)
    colored_faces = b"".join(pack(order, "BB4iBB", 255, 4, *q, 0, 51) for q in quads)
    colored_faces += pack(order, "BB3iBB", 1, 3, 0, 1, 2, 2, 3)
    seeds[f"colors_{name}"] = header(fmt, [
        ("vertex", 8, ["float x", "float y", "float z", "short red", "short green",
                       "short blue", "short alpha"]),
        ("face", 5, ["uchar red", "list uchar int vertex_indices", "uchar green",
                     "uchar blue"])]) + colored + colored_faces
    # Texture coordinates of the corners with texture numbers, beside those of the vertices.
    textured_faces = b"".join(pack(order, "B4iB8fi", 4, *q, 8, *range(8), i % 3)
                              for i, q in enumerate(quads))
    seeds[f"textures_{name}"] = header(fmt, [
        ("vertex", 8, ["float x", "float y", "float z", "short s", "short t"]),
        ("face", 4, ["list uchar int vertex_indices", "list uchar float texcoord",
                     "int texnumber"])], texture_files=2) + b"".join(
        pack(order, "fffhh", *v, 1, -1) for v in cube) + textured_faces
    seeds[f"face_colors_{name}"] = header(fmt, [
        ("vertex", 8, ["float x", "float y", "float z"]),
        ("face", 5, ["uchar red", "list uchar int vertex_indices", "uchar green",
                     "uchar blue"])]) + body[: 8 * 12] + colored_faces
    return seeds


def ascii_seeds() -> dict[str, bytes]:
    rows = "0 0 0\n1 0 0\n1 1 0\n0 1 0\n"
    vertex = ("vertex", 4, ["float x", "float y", "float z"])
    face = ("face", 2, ["list uchar int vertex_indices"])
    return {
        "ascii": header("ascii", [vertex, face]) + (rows + "4 0 1 2 3\n3 0 2 1\n").encode(),
        "ascii_crlf_blank_rows": header("ascii", [vertex, face], "\r\n")
        + ("\r\n" + rows.replace("\n", "\r\n") + "\r\n4 0 1 2 3\r\n\r\n3 0 2 1").encode(),
        "ascii_normals_nan": header("ascii", [
            ("vertex", 3, ["double x", "int y", "float z", "float nx", "float ny", "float nz"]),
            ("face", 1, ["list uchar uint vertex_indices", "uchar red"])])
        + b"nan 1 -inf 0 0 1\n1e-45 2 3.4e38 0 1 0\n-0 3 1801439958322381e1 1 0 0\n3 0 1 2 255\n",
        "ascii_strips": header("ascii", [vertex, ("tristrips", 1, ["list int int vertex_indices"])])
        + (rows + "8 0 1 2 3 -1 3 3 2\n").encode(),
        "ascii_bad_index": header("ascii", [vertex, face]) + (rows + "3 0 1 9\n3 0 -1 2\n").encode(),
        "ascii_missing_list": header("ascii", [("vertex", 2, ["float x", "float y", "float z",
                                                              "list uchar int vertex_indices"])])
        + b"1 2 3\n4 5 6\n",
        "empty_header": b"ply\nformat ascii 1.0\nend_header\n",
        "ascii_textures": header("ascii", [
            ("vertex", 4, ["float x", "float y", "float z", "double u", "double v"]),
            ("face", 2, ["list uchar int vertex_indices", "list uchar double texcoord"])], "\n", 1)
        + b"0 0 0 0 0\n1 0 0 1 0\n1 1 0 1 1\n0 1 0 0 1\n"
        + b"4 0 1 2 3 8 0 0 1 0 1 1 0 1 9 1 1 1\n3 0 2 1 4 0 0 1 1\n",
        "ascii_colors": header("ascii", [
            ("vertex", 4, ["float x", "float y", "float z", "uchar diffuse_red",
                           "uchar diffuse_green", "uchar diffuse_blue", "float alpha"]),
            ("face", 2, ["list uchar int vertex_indices", "uint red", "uint green", "uint blue"])])
        + b"0 0 0 255 0 300 0.5\n1 0 0 0 -5 1 1\n1 1 0 1 2 3 1\n0 1 0 9 9 9 2\n"
        + b"4 0 1 2 3 4294967295 0 1\n2 0 1 1 2 3\n",
    }


if __name__ == "__main__":
    write_seeds({**ascii_seeds(), **binary_seeds("<"), **binary_seeds(">")}, __doc__, ".ply")
