"""Writes the seed corpus of the OBJ fuzz target into a directory (never into the tree).

    python tests/fuzz/obj_seeds.py OUT_DIR

Each seed is one byte of piece size (see mesh_fuzzer.cpp) followed by a small OBJ file: every
corner form, relative and forward indices, continuations, the encodings, special values, and
a few broken files. A seed with a material library holds it after the mark "#--mtl--\n".
"""

from __future__ import annotations

from seed_files import write_seeds

SQUARE = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
SIDE_FILE_MARK = "#--mtl--\n"
LIBRARY = (
    "newmtl a\nKd 1 0 0\nd 0.5\nmap_Kd -o 1 2 -s 3 -bm 0.5 -t 1 2 3 -clamp on tex 1.png\r\n"
    "newmtl b c\nKd 0.5\nTr 0.25\nKa 1 1 1\nillum 2\nmap_Bump x.png # c\n"
)


def seeds() -> dict[str, bytes]:
    texts = {
        "plain": SQUARE + "f 1 2 3 4\n",
        "forms": SQUARE + "vt 0 0\nvn 0 0 1\nf 1/1 2/1 3/1\nf 1//1 3//1 4//1\nf 1/1/1 2/1/ 3/1/1\n",
        "relative": SQUARE + "vn 0 0 1\nf -4//-1 -3//-1 -2//-1 -1//-1\n",
        "forward": "f 1 2 3\nvn 1 0 0\nf 1//1 2 3\n" + SQUARE,
        "statements": "# c\nmtllib m.mtl\no a\ng b c\ns off\nusemtl x\n"
        + SQUARE
        + "l 1 2\np 3\nvp 0.5\ncstype bezier\ndeg 3\nunknown 1 2\nf 1 2 3 4 # c\n",
        "continued": SQUARE + "f 1 2 \\\r\n3 \\\n4",
        "crlf": (SQUARE + "f 1 2 3 4").replace("\n", "\r\n"),
        "colours_w": "v 0 0 0 1\nv 1 0 0 1 0 0\nv 0 1 0 0.5 0.5 0.5\nf 1 2 3\n",
        "colours_255": "v 0 0 0\nv 1 0 0 255 0 0 # red\nv 0 1 0 0 1 0\nf 1 2 3\n",
        "special": "v nan -nan inf\nv 1.#IND -1.#INF 1.#QNAN\nv -1.#IND00 1e39 +2\nf 1 2 3\n",
        "small_faces": SQUARE + "f 1\nf 1// 2//\nf\n",
        "zero": SQUARE + "f 0 1 2\n",
        "out_of_range": SQUARE + "vn 0 0 1\nf 1//2 2//1 3//1\n",
        "not_obj": "P 0.3 0.3 0.4 10 1 1558\n -18 -16.85 2.5\n",
        "no_statement": "solid x\n facet normal 0 0 1\n",
        "materials": "mtllib a.mtl b.mtl\nvt 0.5\nvt 0 1 0\n"
        + SQUARE
        + "f 1/1 2/2 3/-1\nusemtl a\nf 1/1/ 3 4\nusemtl b c\nf 1 2 3\nusemtl none\nf 2 3 4\n"
        + SIDE_FILE_MARK
        + LIBRARY,
        "broken_library": "mtllib x y.mtl\nusemtl a\n"
        + SQUARE
        + "f 1 2 3\n"
        + SIDE_FILE_MARK
        + "newmtl a\nKd 1 x\n",
        "uv_out_of_range": SQUARE + "vt 0 0\nf 1/1 2/2 3/1\n",
    }
    out = {name: text.encode() for name, text in texts.items()}
    text = SQUARE + "o \u00e9\U0001f600\nf 1 2 3 4\n"
    out["utf8_mark"] = b"\xef\xbb\xbf" + text.encode()
    out["utf16_be"] = b"\xfe\xff" + text.encode("utf-16-be")
    out["utf16_le"] = b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le")
    return out


if __name__ == "__main__":
    write_seeds(seeds(), __doc__)
