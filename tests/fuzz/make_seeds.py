"""Writes the seed corpora of the STL fuzz targets into a directory (never into the tree).

    python tests/fuzz/make_seeds.py OUT_DIR [REAL_STL_DIR]

OUT_DIR/raw gets whole files, OUT_DIR/lenient the same and files that only the lenient
dialect reads, OUT_DIR/ascii the text without its leading "solid " (the ascii target puts it
back), OUT_DIR/binary the records of binary files behind one selector byte (see
stl_fuzzer.cpp). Real files from REAL_STL_DIR are read by path and cut to at most MAX_SEED
bytes; the raw and lenient targets also take that directory as a corpus of their own.
"""

from __future__ import annotations

import math
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import meshgen  # noqa: E402

MAX_SEED = 20000
RECORD = 50
NAN = float("nan")
INF = float("inf")


def binary(faces, count=None, header=b"\0" * 80, trailing=b"") -> bytes:
    out = header.ljust(80, b"\0")[:80] + struct.pack("<I", len(faces) if count is None else count)
    for normal, a, b, c in faces:
        out += struct.pack("<12fH", *normal, *a, *b, *c, 0)
    return out + trailing


def ascii_text(faces, name="mesh", fmt="{:.9g}", newline="\n", indent="  ") -> bytes:
    def numbers(v):
        return " ".join(fmt.format(x) for x in v)
    lines = [f"solid {name}"]
    for normal, a, b, c in faces:
        lines += [f"{indent}facet normal {numbers(normal)}", f"{indent * 2}outer loop"]
        lines += [f"{indent * 3}vertex {numbers(v)}" for v in (a, b, c)]
        lines += [f"{indent * 2}endloop", f"{indent}endfacet"]
    lines.append(f"endsolid {name}")
    return (newline.join(lines) + newline).encode()


def main() -> None:
    out = Path(sys.argv[1])
    real = Path(sys.argv[2]) if len(sys.argv) > 2 else None
    for kind in ("raw", "lenient", "ascii", "binary"):
        (out / kind).mkdir(parents=True, exist_ok=True)

    cube = meshgen.cube()
    torus = meshgen.torus(6, 4)
    odd = [((NAN, INF, -0.0), (1e-45, -1e-45, 0.0), (INF, -INF, NAN), (3.4e38, -3.4e38, 1.0)),
           ((0.0, 0.0, 0.0), (1.0, 1.0, 1.0), (1.0, 1.0, 1.0), (1.0, 1.0, 1.0))]
    raw = {
        "empty": b"",
        "short": b"\0" * 83,
        "no_faces": binary([]),
        "cube": binary(cube),
        "torus": binary(torus),
        "odd_values": binary(odd),
        "count_too_large": binary(cube, count=13),
        "count_too_small": binary(cube, count=3),
        "trailing": binary(cube, trailing=b"extra bytes"),
        "solid_header_binary": binary(cube, header=b"solid binary\xff\xfe"),
        "solid_header_utf8": binary(cube[:1], header=b"solid name\n"),
        "ascii_cube": ascii_text(cube),
        "ascii_crlf": ascii_text(cube, newline="\r\n", fmt="{:e}"),
        "ascii_tabs": ascii_text(cube[:2], indent="\t", fmt="{:+.3E}"),
        "ascii_odd": ascii_text(cube[:1], name="", fmt="{!r}").replace(b"1.0", b"1.") + b"junk",
        "ascii_torus": ascii_text(torus, name="torus"),
        "solid_only": b"solid",
        "solid_name_only": b"solid x\n",
        "endsolid_only": b"solid \nendsolid\n",
    }
    plain = ascii_text(cube[:2])
    lenient = {
        "upper_case": plain.upper(),
        "byte_order_mark": b"\xef\xbb\xbf  \n" + plain,
        "cr_alone": plain.replace(b"\n", b"\r"),
        "cr_then_lf": ascii_text(cube[:2], newline="\r").replace(b"\rendsolid", b"\nendsolid"),
        "no_endsolid": plain[: plain.rindex(b"endsolid")],
        "two_solids": plain + ascii_text(torus[:3], name="Second").replace(b"solid", b"SOLID"),
        "trailing_words": plain.replace(b"endloop", b"endloop a").replace(b"endfacet", b"endfacet"),
        "four_vertices": plain.replace(b"endloop", b"  vertex 0 0 0\n  endloop", 1),
        "stray_byte_binary": binary(cube, header=b"solid x\n") + b"\n",
        "text_header_binary": binary(cube, header=b"solid x\nendsolid x\n"),
    }
    for name, data in lenient.items():
        (out / "lenient" / name).write_bytes(data)
    for name, data in raw.items():
        (out / "raw" / name).write_bytes(data)
        (out / "lenient" / name).write_bytes(data)
        if data.startswith(b"solid "):
            (out / "ascii" / name).write_bytes(data[len(b"solid "):])
        if len(data) >= 84 and not data.startswith(b"solid "):
            records = data[84:]
            whole = len(records) // RECORD
            declared = struct.unpack_from("<I", data, 80)[0]
            selector = 1 if declared == whole else (0 if declared < whole else 2)
            for clusters in (0, 5, 40):
                seed = bytes([clusters << 2 | selector]) + records
                (out / "binary" / f"{name}_{clusters}").write_bytes(seed)
    if real is not None:
        for path in sorted(real.rglob("*")):
            if not path.is_file() or path.suffix.lower() not in (".stl", ".stla", ".stlb"):
                continue
            data = path.read_bytes()
            name = "real_" + "_".join(path.relative_to(real).parts)
            if data.startswith(b"solid "):
                (out / "ascii" / name).write_bytes(data[len(b"solid "):MAX_SEED])
            elif len(data) >= 84:
                records = data[84:84 + (MAX_SEED // RECORD) * RECORD]
                (out / "binary" / name).write_bytes(bytes([10 << 2 | 1]) + records)


if __name__ == "__main__":
    main()
