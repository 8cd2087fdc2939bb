"""The reduction seen from Python: exact counts, one point per cell, vertex normals."""

import collections
import json
import math
import os

import numpy as np
import pytest

import vertisift
from conftest import meshgen, run_python

f = vertisift.reduce_stl_points
F32 = np.float32
EPSILON = F32(2.0 ** -23)
EXPONENT = F32(0.3333333432674407958984375)


def resolution(clusters: int) -> int:
    power = float(F32(clusters)) ** float(EXPONENT)  # rounded once to single precision below
    return int(math.ceil(F32(power)))


def cell_keys(points: np.ndarray, res: int, box_of: np.ndarray | None = None) -> np.ndarray:
    """The grid's cell keys over the bounding box of `box_of` (default: the points), computed
    with the same single-precision steps."""
    points = points.astype(F32)
    box_of = points if box_of is None else box_of.astype(F32)
    keys = np.zeros(len(points), dtype=np.uint64)
    lows = np.fmin.reduce(box_of, axis=0)
    highs = np.fmax.reduce(box_of, axis=0)
    with np.errstate(invalid="ignore"):
        for axis in (2, 1, 0):
            offset = points[:, axis] - lows[axis]
            extent = (highs[axis] - lows[axis]) + EPSILON
            scaled = (offset / extent) * F32(res)
            index = np.minimum(np.nan_to_num(np.floor(scaled), nan=0).clip(0).astype(np.uint64), res - 1)
            keys = keys * np.uint64(res) + index
    return keys


def vertices_of(faces) -> np.ndarray:
    return np.unique(np.array([v for face in faces for v in face[1:]], dtype=F32), axis=0)


@pytest.fixture(scope="module")
def torus_path(tmp_path_factory):
    faces = meshgen.torus(40, 20)
    path = meshgen.write_binary_stl(tmp_path_factory.mktemp("torus") / "torus.stl", faces)
    return str(path), faces


@pytest.mark.parametrize("clusters", [0, 1, 2, 7, 8, 27, 100, 999, 1000, 5000])
def test_count_is_exact(torus_path, clusters):
    path, _ = torus_path
    positions, normals = f(path, clusters)
    assert len(positions) == len(normals) == clusters
    assert all(len(p) == 3 and len(n) == 3 for p, n in zip(positions, normals))
    assert all(type(c) is float for p in positions[:50] for c in p)


def vertex_normals_of(faces) -> dict:
    """The expected normal of each vertex: the normalised sum of its faces' stored normals."""
    sums = collections.defaultdict(lambda: np.zeros(3, dtype=F32))
    for normal, *corners in faces:
        for corner in corners:
            sums[tuple(F32(c) for c in corner)] += np.array(normal, dtype=F32)
    expected = {}
    for key, total in sums.items():
        length = np.sqrt((total[0] * total[0] + total[1] * total[1]) + total[2] * total[2])
        expected[tuple(float(c) for c in key)] = total / length
    return expected


def assert_vertices_with_their_normals(positions, normals, faces):
    expected = vertex_normals_of(faces)
    for position, normal in zip(positions, normals, strict=True):
        assert tuple(position) in expected
        assert np.allclose(normal, expected[tuple(position)], atol=1e-6)


def test_points_are_vertices_with_their_own_normals(torus_path):
    path, faces = torus_path
    assert_vertices_with_their_normals(*f(path, 3000), faces)


def test_representatives_lie_in_distinct_cells_when_truncated(torus_path):
    path, faces = torus_path
    vertices = vertices_of(faces)
    for clusters in (27, 64, 100, 300):
        res = resolution(clusters)
        occupied = len(set(cell_keys(vertices, res).tolist()))
        positions, _ = f(path, clusters)
        keys = cell_keys(np.array(positions), res, box_of=vertices)
        if occupied >= clusters:
            assert len(set(keys.tolist())) == clusters
        else:
            # every occupied cell is represented before the top-up
            assert set(keys.tolist()) == set(cell_keys(vertices, res).tolist())


def test_clusters_equal_to_occupied_cells_gives_one_point_per_cell(write_binary):
    # The eight corners of a cube with clusters 8: resolution 2, eight cells.
    path = str(write_binary(meshgen.cube(3.0)))
    positions, normals = f(path, 8)
    assert sorted(map(tuple, positions)) == sorted(
        (x, y, z) for x in (0.0, 3.0) for y in (0.0, 3.0) for z in (0.0, 3.0))
    for n in normals:
        assert math.isclose(math.sqrt(sum(c * c for c in n)), 1.0, rel_tol=1e-6)


def test_flat_mesh_uses_one_layer(write_binary):
    # A 3 x 3 grid of vertices in the plane z = 0, clusters 9: resolution 3, nine cells.
    faces = []
    for i in range(2):
        for j in range(2):
            a, b, c, d = (i, j, 0.0), (i + 1, j, 0.0), (i + 1, j + 1, 0.0), (i, j + 1, 0.0)
            faces += [((0.0, 0.0, 1.0), a, b, c), ((0.0, 0.0, 1.0), a, c, d)]
    positions, normals = f(str(write_binary(faces)), 9)
    assert sorted(map(tuple, positions)) == sorted((float(x), float(y), 0.0) for x in range(3) for y in range(3))
    assert all(n == [0.0, 0.0, 1.0] for n in normals)


@pytest.mark.parametrize("normals_in, shared_expected", [
    (((0.0, 0.0, 2.0),), (0.0, 0.0, 1.0)),
    (((1.0, 0.0, 0.0), (0.0, 1.0, 0.0)), (0.70710677, 0.70710677, 0.0)),
    (((0.0, 0.0, 1.0), (0.0, 0.0, -1.0)), (0.0, 0.0, 0.0)),
    (((0.0, 0.0, 0.0), (0.0, 0.0, 0.0)), (0.0, 0.0, 0.0)),
    (((0.0, 0.0, 3.0), (1.0, 0.0, 0.0)), (0.31622776, 0.0, 0.94868326)),
])
def test_vertex_normal_sums(write_binary, normals_in, shared_expected):
    # Faces sharing the edge from (0,0,0) to (1,0,0); the shared corners sum every face normal.
    corners = [(0.0, 1.0, 0.0), (0.0, -1.0, 0.0)]
    faces = [(n, (0.0, 0.0, 0.0), (1.0, 0.0, 0.0), corners[i]) for i, n in enumerate(normals_in)]
    positions, normals = f(str(write_binary(faces)), 200)
    pairs = {tuple(p): tuple(n) for p, n in zip(positions, normals)}
    for shared in ((0.0, 0.0, 0.0), (1.0, 0.0, 0.0)):
        assert pairs[shared] == pytest.approx(shared_expected, abs=1e-7)
        assert pairs[shared] == tuple(float(F32(c)) for c in pairs[shared])
        assert all(math.copysign(1.0, c) == 1.0 for c in pairs[shared] if c == 0.0)


def test_face_listing_a_vertex_twice_adds_its_normal_twice(write_binary):
    # Face A names P twice with normal (1,0,0); face B uses P once with (0,1,0): P gets (2,1,0).
    p, q, r = (0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0)
    faces = [((1.0, 0.0, 0.0), p, p, q), ((0.0, 1.0, 0.0), p, q, r)]
    positions, normals = f(str(write_binary(faces)), 200)
    pairs = {tuple(pos): tuple(n) for pos, n in zip(positions, normals)}
    assert pairs[p] == pytest.approx((2 / math.sqrt(5), 1 / math.sqrt(5), 0.0), abs=1e-7)


def test_more_clusters_than_vertices_repeats_points(write_binary):
    positions, normals = f(str(write_binary(meshgen.cube())), 100)
    assert len(positions) == 100
    assert len(set(map(tuple, positions))) == 8
    pairs = collections.defaultdict(set)
    for p, n in zip(positions, normals):
        pairs[tuple(p)].add(tuple(n))
    assert all(len(ns) == 1 for ns in pairs.values())  # a repeated point keeps its normal


def test_single_cell_pick_is_uniform(write_binary):
    # clusters 1: one cell holding all eight corners; each is chosen with probability 1/8.
    path = str(write_binary(meshgen.cube()))
    counts = collections.Counter(tuple(f(path, 1)[0][0]) for _ in range(4000))
    assert len(counts) == 8
    assert all(380 < c < 620 for c in counts.values()), counts


def test_truncation_picks_uniform_subsets_and_orders(write_binary):
    # clusters 2 on the cube: resolution 2, eight representatives shuffled and cut to two.
    path = str(write_binary(meshgen.cube()))
    firsts = collections.Counter()
    for _ in range(4000):
        positions, _ = f(path, 2)
        assert positions[0] != positions[1]
        firsts[tuple(positions[0])] += 1
    assert len(firsts) == 8 and all(380 < c < 620 for c in firsts.values()), firsts


def test_calls_differ_but_agree_in_length(torus_path):
    path, _ = torus_path
    results = [f(path, 500)[0] for _ in range(3)]
    assert all(len(r) == 500 for r in results)
    assert results[0] != results[1] or results[1] != results[2]


def test_result_lists_are_fresh_objects(torus_path):
    path, _ = torus_path
    positions, normals = f(path, 50)
    assert len({id(p) for p in positions}) == 50
    assert len({id(c) for p in positions for c in p}) >= 50
    assert type(positions) is list and type(normals) is list


# The pool's workers live until the process ends, so the thread count after a call shows
# the size the variables chose; the points must not depend on it.
@pytest.mark.parametrize(("env", "workers"), [
    ({"RAYON_NUM_THREADS": "1"}, 1), ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_RS_NUM_CPUS": "2"}, 2), ({"RAYON_NUM_THREADS": "0"}, os.cpu_count())])
def test_same_results_with_any_pool_size(torus_path, env, workers):
    path, faces = torus_path
    code = (
        "import vertisift, json, os\n"
        f"p, n = vertisift.reduce_stl_points({path!r}, 700)\n"
        "print(json.dumps([p, n, len(os.listdir('/proc/self/task'))]))\n")
    result = run_python(code, env)
    assert result.returncode == 0, result.stderr
    positions, normals, threads = json.loads(result.stdout)
    assert len(positions) == 700
    assert threads == 1 + workers
    assert_vertices_with_their_normals(positions, normals, faces)
