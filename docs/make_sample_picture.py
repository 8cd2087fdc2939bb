"""Makes docs/sample.png: one low-poly model sampled two ways by vertisift_tools.sample(), the
vertex sample (points repeat where the model has fewer vertices than points asked) beside the
surface sample (uniform over the area), each point coloured by its normal."""

import sys
import tempfile
from pathlib import Path

import numpy as np
from matplotlib.figure import Figure

import vertisift_tools

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
import meshgen  # noqa: E402

COUNT = 2048
picture = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs" / "sample.png"
with tempfile.TemporaryDirectory() as folder:
    # A coarse torus: 24 x 10 quads, 240 vertices for 2048 points.
    model = meshgen.write_binary_stl(Path(folder) / "torus.stl", meshgen.torus(24, 10))
    samples = {
        method: vertisift_tools.sample(model, COUNT, method=method, seed=1)
        for method in ("vertices", "surface")
    }

figure = Figure(figsize=(10, 4.4), dpi=100, layout="constrained")
for index, (method, (positions, normals)) in enumerate(samples.items()):
    axes = figure.add_subplot(1, 2, index + 1, projection="3d")
    colours = np.clip(normals * 0.5 + 0.5, 0, 1)
    axes.scatter(*positions.T, c=colours, s=4, linewidths=0, depthshade=False)
    axes.view_init(elev=50, azim=30)
    axes.set_box_aspect((1, 1, 0.33))
    axes.set_axis_off()
    distinct = len(np.unique(positions, axis=0))
    axes.set_title(f'method="{method}": {COUNT} points, {distinct} distinct', fontsize=10)
# A palette of 256 colours keeps the committed picture small.
figure.savefig(picture)
from PIL import Image  # noqa: E402 - comes with the plotting library

Image.open(picture).convert("RGB").quantize(256).save(picture, optimize=True)
print(f"{picture}: {picture.stat().st_size} bytes")
