"""What the seed scripts of the indexed formats share: the command line and the writing.

Each seed is written three times, behind each of the selector bytes of PIECES: the harness
(mesh_fuzzer.cpp) hands the rest of the input out in pieces of that byte plus one bytes.
"""

from __future__ import annotations

import sys
from pathlib import Path

PIECES = (0, 6, 255)


def write_seeds(seeds: dict[str, bytes], usage: str | None, suffix: str = "") -> None:
    """Writes NAME_SELECTOR[suffix] for every seed and selector into the folder that the command
    line names (made when missing); exits with `usage` on any other command line."""
    if len(sys.argv) != 2:
        sys.exit(usage)
    folder = Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    for name, body in seeds.items():
        for selector in PIECES:
            (folder / f"{name}_{selector}{suffix}").write_bytes(bytes([selector]) + body)
