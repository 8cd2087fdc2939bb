"""The main job on an example of the project's own: a torus written as binary STL, reduced to
a fixed number of points with normals."""

import math
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import meshgen
import vertisift

CLUSTERS = 1000

with tempfile.TemporaryDirectory() as folder:
    path = meshgen.write_binary_stl(Path(folder) / "torus.stl", meshgen.torus(120, 60))
    start = time.perf_counter()
    positions, normals = vertisift.reduce_stl_points(path, CLUSTERS)
    elapsed = time.perf_counter() - start
    size = path.stat().st_size

lengths = [math.sqrt(sum(c * c for c in n)) for n in normals]
print(f"example mesh: torus, {2 * 120 * 60} faces, {size} bytes of binary STL")
print(f"reduce_stl_points(path, {CLUSTERS}) took {elapsed * 1000:.1f} ms")
print(f"points: {len(positions)}, normals: {len(normals)}, "
      f"distinct positions: {len(set(map(tuple, positions)))}")
print(f"normal lengths: min {min(lengths):.6f}, max {max(lengths):.6f}")
for axis, name in enumerate("xyz"):
    values = [p[axis] for p in positions]
    print(f"{name}: {min(values):+.3f} .. {max(values):+.3f}")
print("first point:", positions[0], "normal:", normals[0])
