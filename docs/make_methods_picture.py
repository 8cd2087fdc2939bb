"""Makes docs/methods.png: one model sampled four ways by vertisift_tools.sample(), side by
side: uniform over the surface, farthest-point, Poisson-disk, and mesh vertices, each point
coloured by its normal.

The model is a torus of 12 x 96 quads: long thin triangles whose vertices lie on 12 rings
around the tube, and whose rings are closer together on the inner side than on the outer.
The vertices show the rings, the uniform sample clumps and gaps, and the two even methods
spread their points over the whole surface. Each title gives the smallest distance between
two points as a share of d_hex, the spacing of a hexagonal packing of as many points (1 is
the best possible)."""

import sys
import tempfile
from pathlib import Path

import numpy as np
from matplotlib.figure import Figure

import vertisift_tools

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
import meshgen  # noqa: E402

COUNT = 1024
METHODS = ("surface", "fps", "poisson", "vertices")
picture = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs" / "methods.png"
with tempfile.TemporaryDirectory() as folder:
    model = meshgen.write_binary_stl(Path(folder) / "torus.stl", meshgen.torus(12, 96))
    samples = {method: vertisift_tools.sample(model, COUNT, method=method, seed=1)
               for method in METHODS}
    vertices, faces = vertisift_tools.read_mesh(model)

corners = vertices[faces].astype(np.float64)
area = 0.5 * np.linalg.norm(np.cross(corners[:, 1] - corners[:, 0],
                                     corners[:, 2] - corners[:, 0]), axis=1).sum()
spacing = np.sqrt(2 * area / (np.sqrt(3) * COUNT))


def smallest_gap(points: np.ndarray) -> float:
    """The smallest distance between two distinct entries (repeats count as 0)."""
    points = points.astype(np.float64)
    squared = ((points[:, None, :] - points[None, :, :]) ** 2).sum(axis=-1)
    np.fill_diagonal(squared, np.inf)
    return float(np.sqrt(squared.min()))


figure = Figure(figsize=(14, 3.8), dpi=100)
for index, (method, (positions, normals)) in enumerate(samples.items()):
    width = 1 / len(samples)
    axes = figure.add_axes((index * width, 0, width, 0.84), projection="3d")
    colours = np.clip(normals * 0.5 + 0.5, 0, 1)
    axes.scatter(*positions.T, c=colours, s=4, linewidths=0, depthshade=False)
    axes.view_init(elev=50, azim=30)
    axes.set_box_aspect((1, 1, 0.33), zoom=1.35)
    axes.set_axis_off()
    gap = smallest_gap(positions) / spacing
    distinct = len(np.unique(positions, axis=0))
    repeats = f", {distinct} distinct points" if distinct < COUNT else ""
    figure.text((index + 0.5) * width, 0.97, f'method="{method}"\nsmallest gap {gap:.2f} d_hex'
                f"{repeats}", ha="center", va="top", fontsize=10)
# A palette of 256 colours keeps the committed picture small.
figure.savefig(picture)
from PIL import Image  # noqa: E402 - comes with the plotting library

Image.open(picture).convert("RGB").quantize(256).save(picture, optimize=True)
print(f"{picture}: {picture.stat().st_size} bytes")
