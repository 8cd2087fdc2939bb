"""Writes the seed corpus of the OFF fuzz target into a directory (never into the tree).

    python tests/fuzz/off_seeds.py OUT_DIR

Each seed is one byte of piece size (see mesh_fuzzer.cpp) followed by a small OFF file: every
header form, the body variants, binary in both layouts, and a few broken files.
"""

from __future__ import annotations

import struct

from seed_files import write_seeds

SQUARE = "0 0 0\n1 0 0\n1 1 0\n0 1 0\n"


def binary(big_endian: bool, colour_counts: bool, keyword: str = "OFF") -> bytes:
    order = ">" if big_endian else "<"
    out = f"{keyword} BINARY\n".encode()
    out += struct.pack(order + "3i", 4, 2, 0)
    out += struct.pack(order + "12f", 0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0)
    for face in ((0, 1, 2), (0, 2, 3)):
        out += struct.pack(order + "4i", 3, *face)
        if colour_counts:
            out += struct.pack(order + "i3f", 3, 1, 0, 0)
    return out


def seeds() -> dict[str, bytes]:
    texts = {
        "plain": "OFF\n4 2 0\n" + SQUARE + "3 0 1 2\n3 0 2 3\n",
        "comments": "# c\n\nOFF # k\n# counts\n4 1 0\n"
        + SQUARE.replace("\n", " # v\n")
        + "4 0 1 2 3\n",
        "keyword_counts": "OFF 4 1 0\r\n" + SQUARE.replace("\n", "\r\n") + "4 0 1 2 3",
        "glued": "\t  OFF4 1 0 # glued\n" + SQUARE + "4 0 1 2 3 1 0 0 1\n",
        "no_keyword": "4 1\n" + SQUARE + "4 0 1 2 3 7\n",
        "coff": "COFF\n4 1\n" + SQUARE.replace("\n", " 1 0 0 1\n") + "4 0 1 2 3\n",
        "coff_face_colours": "COFF\n4 2\n" + SQUARE.replace("\n", " 255 0 0\n")
        + "3 0 1 2 0.5 0.5 0.5\n3 0 2 3 7\n",
        "stcoff": "STCOFF\n3 1\n0 0 0 1 0 0 0 0\n1 0 0 .1 .2 .3 .4 1 0\n0 1 0 0 0 255 0 1\n"
        "3 0 1 2\n",
        "face_colours": "OFF\n4 4\n" + SQUARE
        + "3 0 1 2\n4 0 1 2 3 255 0 0\n2 0 1 0 1 0\n3 0 2 3 0.5 0.5 0.5 0.5 # c\n",
        "noff": "NOFF\n4 1 0\n" + SQUARE.replace("\n", " 0 0 1\n") + "4 0 1 2 3\n",
        "cn4off": "CN4OFF\n3 1 0\n2 0 0 2 0 0 1 1 0 0 1\n0 2 0 0 0 1 0 1 0 0 1\n0 0 2 4 1 0 0 1 1 1 1\n3 0 1 2\n",
        "stnoff": "STnOFF\n3\n3 1 0\n0 0 0 0 0\n1 0 0 1 0\n0 1 0 0 1\n3 0 1 2\n",
        "appearance": "appearance {\n +edge\n material { diffuse 1 0 0 } # }\n}\nSTOFF\n3 1 0\n"
        "0 0 0 0 0\n1 0 0 1 0\n0 1 0 0 1\n3 0 1 2\n",
        "split_faces": "OFF\n4 2 0\n" + SQUARE + "3 0\n1\n\n2\n\n3\n0 2\n3\n",
        "small_faces": "OFF\n3 3 0\n0 0 0\n1 0 0\n0 1 0\n0\n2 0 1\n3 0 1 2\n",
        "special": "OFF\n3 1 0\nnan inf -inf\n1e39 -0 1e-50\n1 1 1\n3 0 1 2\n",
        "short": "OFF\n4 2 0\n" + SQUARE + "3 0 1\n",
        "out_of_range": "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 3\n",
        "invalid": "OFF\n3 4\n0.1 0.2 0.3\n0.2 0.3 0.4\n0.3 0.4 0.5\n0\n2\r20\n4\n",
    }
    out = {name: text.encode() for name, text in texts.items()}
    out["binary_geomview"] = binary(True, True)
    out["binary_little"] = binary(False, False)
    out["binary_noff"] = binary(False, False, "NOFF")[:-8]
    return out


if __name__ == "__main__":
    write_seeds(seeds(), __doc__)
