"""Makes docs/preview.png: the example torus of scripts/meshgen.py reduced to a cloud and
drawn by the `vertisift` command, exactly as a user would run it."""

import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
import meshgen  # noqa: E402

picture = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs" / "preview.png"
command = [sys.executable, "-m", "vertisift_tools"]
with tempfile.TemporaryDirectory() as folder:
    model = meshgen.write_binary_stl(Path(folder) / "torus.stl", meshgen.torus(120, 60))
    cloud = Path(folder) / "torus.ply"
    subprocess.run([*command, "reduce", model, "2000", "-o", cloud], check=True)
    subprocess.run([*command, "preview", cloud, "-o", picture], check=True)
# A palette of 256 colours keeps the committed picture small.
from PIL import Image  # noqa: E402 - comes with the plotting library

Image.open(picture).convert("RGB").quantize(256).save(picture, optimize=True)
print(f"{picture}: {picture.stat().st_size} bytes")
