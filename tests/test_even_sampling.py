"""Even point sets: farthest_point_sample() against the plain loop, the "fps" and "poisson"
methods of sample(), and smooth normals."""

import json
import os

import numpy as np
import pytest

import meshgen
from conftest import run_python

vertisift_tools = pytest.importorskip("vertisift_tools")
sample, sample_mesh = vertisift_tools.sample, vertisift_tools.sample_mesh
farthest_point_sample = vertisift_tools.farthest_point_sample

SQUARE = (np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], np.float32),
          np.array([[0, 1, 2], [0, 2, 3]]))


def plain_farthest_points(points, k, start):
    """Farthest-point sampling as the plain loop: distances in the array's precision, the
    farthest by argmax, which takes the lowest index of equal ones."""
    distance = np.full(len(points), np.inf, dtype=points.dtype)
    chosen = [start]
    while len(chosen) < k:
        difference = points - points[chosen[-1]]
        with np.errstate(over="ignore"):
            squares = difference * difference
            total = (squares[:, 0] + squares[:, 1]) + squares[:, 2]
        distance = np.minimum(distance, total)
        chosen.append(int(np.argmax(distance)))
    return np.array(chosen[:k], dtype=np.int64)


def held(points):
    """The points as the sampling holds them: scaled by the power of two that brings their
    largest magnitude into [2**59, 2**60), exactly where no coordinate becomes subnormal."""
    largest = float(np.abs(points).max(initial=0))
    if largest == 0:
        return points
    return np.ldexp(points, 60 - int(np.frexp(largest)[1])).astype(points.dtype)


def points_of(kind, m, dtype, seed=0):
    rng = np.random.default_rng(seed)
    if kind == "lattice":  # few distinct distances: ties decide most choices
        return rng.integers(0, 5, size=(m, 3)).astype(dtype)
    if kind == "scales":  # coordinates from 1e-30 to 1e30: squares that underflow or overflow
        return (rng.uniform(-1, 1, (m, 3)) * 10.0 ** rng.integers(-30, 31, (m, 1))).astype(dtype)
    return rng.uniform(-1, 1, (m, 3)).astype(dtype)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("kind", ["uniform", "lattice", "scales"])
def test_farthest_point_sample_equals_the_plain_loop(dtype, kind):
    points = points_of(kind, 3000, dtype)
    chosen = farthest_point_sample(points, 600, start=17)
    assert chosen.dtype == np.int64
    assert np.array_equal(chosen, plain_farthest_points(held(points), 600, 17))
    if kind != "scales":  # the scaling is exact: without underflow, the points as given
        assert np.array_equal(chosen, plain_farthest_points(points, 600, 17))
    assert farthest_point_sample(points[:, :3].T.copy().T, 0).shape == (0,)  # a view is fine
    # The native function lets go of the points' buffer: a bytearray that exports none grows.
    raw = bytearray(points.tobytes())
    vertisift_tools._native.farthest_point_sample(raw, double=dtype == np.float64, k=10, start=0)
    raw.extend(bytes(points.itemsize * 3))


CUBE = (np.array([(x, y, z) for x in (0, 1) for y in (0, 1) for z in (0, 1)], np.float64),
        np.array([[0, 1, 3], [0, 3, 2], [4, 6, 7], [4, 7, 5], [0, 4, 5], [0, 5, 1],
                  [2, 3, 7], [2, 7, 6], [0, 2, 6], [0, 6, 4], [1, 5, 7], [1, 7, 3]]))


@pytest.mark.parametrize("scale", [1e-30, 1e-22, 1e30])
def test_fps_chooses_alike_at_every_scale(scale):
    """Single-precision squares of distances vanish below about 1e-19 and overflow above
    1e19: a model scaled by 1e-30 kept 2 distinct points of 256, by 1e30 a clump. The points
    are scaled by a power of two before they are compared, so every scale chooses alike."""
    vertices, faces = CUBE
    expected = sample_mesh(vertices, faces, 256, method="fps", seed=5, return_faces=True)
    got = sample_mesh(vertices * scale, faces, 256, method="fps", seed=5, return_faces=True)
    assert np.array_equal(got[2], expected[2])
    assert len(np.unique(got[0], axis=0)) == 256
    np.testing.assert_allclose(got[0] / scale, expected[0], rtol=1e-6, atol=1e-6)
    points = np.random.default_rng(2).uniform(-1, 1, (2000, 3))
    assert np.array_equal(farthest_point_sample((points * scale).astype(np.float32), 300),
                          farthest_point_sample(points.astype(np.float32), 300))


FPS_IN_A_POOL = """
import numpy as np, vertisift_tools
points = np.random.default_rng(1).uniform(-1, 1, (1 << 18, 3)).astype(np.float32)
print(vertisift_tools.farthest_point_sample(points, 200, start=9).tolist())
"""


def test_farthest_point_sample_is_the_same_on_every_pool_size():
    # Enough points that updates go to the pool subtree by subtree.
    points = np.random.default_rng(1).uniform(-1, 1, (1 << 18, 3)).astype(np.float32)
    expected = plain_farthest_points(points, 200, 9).tolist()
    for threads in ("1", "3"):
        result = run_python(FPS_IN_A_POOL, env={"RAYON_NUM_THREADS": threads}, timeout=120)
        assert result.returncode == 0, result.stderr
        assert eval(result.stdout) == expected


@pytest.mark.parametrize(
    "points, k, start, error, text",
    [
        (np.zeros((4, 3), np.float32), 5, 0, ValueError, "k must be in [0, 4], not 5"),
        (np.zeros((4, 3), np.float32), -1, 0, ValueError, "k must be in [0, 4], not -1"),
        (np.zeros((4, 3), np.float32), 2, 4, ValueError, "start must be in [0, 4), not 4"),
        (np.zeros((4, 2), np.float32), 2, 0, ValueError, "points must have shape (m, 3), not (4, 2)"),
        (np.zeros((4, 3), np.int32), 2, 0, ValueError, "points must be float32 or float64, not int32"),
        (np.array([[0, 0, 0], [1, np.inf, 0]]), 2, 0, ValueError,
         "points[1] has a coordinate that is not finite"),
        (np.zeros((4, 3)), 2.0, 0, TypeError, "k must be an int, not float"),
    ],
)
def test_farthest_point_sample_refuses(points, k, start, error, text):
    with pytest.raises(error) as raised:
        farthest_point_sample(points, k, start=start)
    assert str(raised.value) == text


@pytest.mark.parametrize("candidates", [None, 700])
def test_fps_keeps_the_farthest_points_of_the_uniform_candidates(write_binary, candidates):
    path = write_binary(meshgen.torus(20, 10))
    drawn = 10_000 if candidates is None else candidates
    uniform = sample(path, drawn, method="surface", seed=4, return_faces=True)
    kept = sample(path, 300, method="fps", seed=4, candidates=candidates, return_faces=True)
    start = int(np.flatnonzero((uniform[0] == kept[0][0]).all(axis=1))[0])
    chosen = farthest_point_sample(uniform[0], 300, start=start)
    for whole, part in zip(uniform, kept):
        assert np.array_equal(whole[chosen], part)


def test_poisson_gives_exactly_n_points_spread_apart():
    vertices, faces = SQUARE
    for n in (10, 200, 1000):
        # The largest smallest distance n points on the unit square can have (packed in a
        # hexagonal lattice).
        spacing = np.sqrt(2 / (np.sqrt(3) * n))
        positions, normals = sample_mesh(vertices, faces, n, method="poisson", seed=n)
        assert positions.shape == normals.shape == (n, 3)
        gaps = np.linalg.norm(positions[:, None] - positions[None], axis=2)
        np.fill_diagonal(gaps, np.inf)
        assert gaps.min() > 0.6 * spacing
        uniform = sample_mesh(vertices, faces, n, method="surface", seed=n)[0]
        # The poisson points are some of those drawn uniformly with the same seed.
        candidates = sample_mesh(vertices, faces, 5 * n, method="surface", seed=n)[0]
        assert {tuple(p) for p in positions.tolist()} <= {tuple(p) for p in candidates.tolist()}
        assert not np.array_equal(positions, uniform)
    again = sample_mesh(vertices, faces, 200, method="poisson", seed=200)
    other = sample_mesh(vertices, faces, 200, method="poisson", seed=201)
    assert np.array_equal(again[0], sample_mesh(vertices, faces, 200, method="poisson", seed=200)[0])
    assert not np.array_equal(again[0], other[0])


# 2 of 10,000 candidates: most pairs lie closer than the spacing of 2 points, and the
# lists of those pairs would take over 600 MB.
MANY_CANDIDATES = """
import json, os, resource, numpy as np, vertisift_tools
SQUARE = (np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], np.float32),
          np.array([[0, 1, 2], [0, 2, 3]]))
def mapped():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
vertisift_tools.sample_mesh(*SQUARE, 2, method="poisson", candidates=100, seed=7)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (mapped() + (256 << 20), hard))
positions = vertisift_tools.sample_mesh(*SQUARE, 2, method="poisson", candidates=10_000, seed=7)[0]
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(json.dumps(positions.tolist()))
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="RLIMIT_AS and the sanitizer build")
def test_poisson_of_many_more_candidates_than_points_keeps_to_little_memory():
    # Within 256 MB more than the interpreter had, where the lists (and, without a limit, the
    # process, taken by the system) ran out of memory.
    result = run_python(MANY_CANDIDATES, timeout=120)
    assert result.returncode == 0, result.stderr
    positions = json.loads(result.stdout)
    candidates = sample_mesh(*SQUARE, 10_000, method="surface", seed=7)[0]
    assert len(positions) == 2
    assert {tuple(p) for p in positions} <= {tuple(p) for p in candidates.tolist()}


def uv_sphere(rings=24, segments=48):
    """A unit sphere of rings x segments quads split in two, fans at the poles."""
    table = {}

    def vertex(i, j):
        theta, phi = np.pi * i / rings, 2 * np.pi * (j % segments) / segments
        if i in (0, rings):
            phi = 0.0
        point = (np.sin(theta) * np.cos(phi), np.sin(theta) * np.sin(phi), np.cos(theta))
        return table.setdefault((i, j % segments if 0 < i < rings else 0),
                                tuple(float(x) for x in np.float32(point)))

    faces = []
    for i in range(rings):
        for j in range(segments):
            a, b, c, d = vertex(i, j), vertex(i + 1, j), vertex(i + 1, j + 1), vertex(i, j + 1)
            if i > 0:
                faces.append(((0.0, 0.0, 0.0), a, b, d))
            if i < rings - 1:
                faces.append(((0.0, 0.0, 0.0), b, c, d))
    return faces


@pytest.mark.parametrize("method", ["surface", "fps", "poisson"])
def test_smooth_normals_follow_the_sphere(write_binary, tmp_path, method):
    faces = uv_sphere()
    path = write_binary(faces)
    positions, smooth = sample(path, 2000, method=method, seed=3, normals="smooth")
    exact = positions / np.linalg.norm(positions, axis=1, keepdims=True)

    def worst_angle(normals):
        cosine = np.clip((normals * exact).sum(axis=1), -1, 1)
        return np.degrees(np.arccos(cosine)).max()

    geometry = sample(path, 2000, method=method, seed=3, normals="geometry")[1]
    assert np.allclose(np.linalg.norm(smooth, axis=1), 1, atol=1e-6)
    assert worst_angle(smooth) < 1 < 3 < worst_angle(geometry)
    # Around a position in STL, around a vertex index in the other formats: the same normals.
    obj = meshgen.write_obj(tmp_path / "sphere.obj", faces)
    for other in (sample(obj, 2000, method=method, seed=3, normals="smooth"),
                  sample_mesh(*vertisift_tools.read_mesh(path), 2000, method=method, seed=3,
                              normals="smooth")):
        assert np.array_equal(other[0], positions) and np.array_equal(other[1], smooth)


def test_poisson_keeps_its_points_apart_on_a_thin_wall():
    # Two sides of a wall far thinner than the spacing: every point has neighbours across
    # it, which must not leave pairs on one side as close as those across.
    vertices = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0],
                         [0, 0, 1e-3], [1, 0, 1e-3], [1, 1, 1e-3], [0, 1, 1e-3]], np.float32)
    faces = np.array([[0, 2, 1], [0, 3, 2], [4, 5, 6], [4, 6, 7]])
    n = 400
    positions, _ = sample_mesh(vertices, faces, n, method="poisson", seed=2)
    flat = positions[:, :2].astype(np.float64)
    gaps = np.linalg.norm(flat[:, None] - flat[None], axis=2)
    np.fill_diagonal(gaps, np.inf)
    # The wall's two sides are one sheet to the spacing: n points over its unit area.
    assert gaps.min() > 0.5 * np.sqrt(2 / (np.sqrt(3) * n))
