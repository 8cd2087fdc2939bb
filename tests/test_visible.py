"""Only the surface seen from outside: the exact cases of visible sampling and of outward
normals, over meshes made here, and the ray caster's answers against known hits."""

from __future__ import annotations

import numpy as np
import pytest

import vertisift_tools
from vertisift_tools import RayScene

N = 4000


def icosphere(subdivisions: int, radius: float = 1.0) -> tuple[np.ndarray, np.ndarray]:
    """A closed sphere of 20 * 4**subdivisions triangles, wound outward."""
    t = (1 + 5**0.5) / 2
    vertices = [(-1, t, 0), (1, t, 0), (-1, -t, 0), (1, -t, 0), (0, -1, t), (0, 1, t),
                (0, -1, -t), (0, 1, -t), (t, 0, -1), (t, 0, 1), (-t, 0, -1), (-t, 0, 1)]
    faces = [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11), (1, 5, 9), (5, 11, 4),
             (11, 10, 2), (10, 7, 6), (7, 1, 8), (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8),
             (3, 8, 9), (4, 9, 5), (2, 4, 11), (6, 2, 10), (8, 6, 7), (9, 8, 1)]
    points = [np.array(v, float) / np.linalg.norm(v) for v in vertices]
    middles: dict[tuple[int, int], int] = {}

    def middle(a: int, b: int) -> int:
        key = (min(a, b), max(a, b))
        if key not in middles:
            m = points[a] + points[b]
            points.append(m / np.linalg.norm(m))
            middles[key] = len(points) - 1
        return middles[key]

    for _ in range(subdivisions):
        middles.clear()
        faces = [f for a, b, c in faces for f in (
            (a, middle(a, b), middle(c, a)), (b, middle(b, c), middle(a, b)),
            (c, middle(c, a), middle(b, c)), (middle(a, b), middle(b, c), middle(c, a)))]
    return np.array(points, np.float32) * radius, np.array(faces, np.int64)


def grid_box(half: float, cells: int = 4) -> tuple[np.ndarray, np.ndarray]:
    """A closed axis-aligned cube [-half, half]^3, each side a grid of cells x cells squares
    (so rays meet many shared edges and vertices), wound outward."""
    vertices, faces = [], []
    steps = np.linspace(-half, half, cells + 1)
    for axis in range(3):
        for side in (-1.0, 1.0):
            base = len(vertices)
            u_axis, v_axis = [(axis + 1) % 3, (axis + 2) % 3][:: int(side)]
            for u in steps:
                for v in steps:
                    point = [0.0, 0.0, 0.0]
                    point[axis], point[u_axis], point[v_axis] = side * half, u, v
                    vertices.append(point)
            for i in range(cells):
                for j in range(cells):
                    a, b = base + i * (cells + 1) + j, base + (i + 1) * (cells + 1) + j
                    faces += [(a, b, b + 1), (a, b + 1, a + 1)]
    return np.array(vertices, np.float32), np.array(faces, np.int64)


def joined(*meshes: tuple[np.ndarray, np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    vertices, faces, offset = [], [], 0
    for v, f in meshes:
        vertices.append(v)
        faces.append(f + offset)
        offset += len(v)
    return np.vstack(vertices), np.vstack(faces)


def wall(cells: int = 4) -> tuple[np.ndarray, np.ndarray]:
    """A square partition at x = 0 from wall to wall of grid_box(1), a grid of cells x cells
    squares (with vertices inside the box)."""
    steps = np.linspace(-1.0, 1.0, cells + 1)
    v = np.array([[0.0, y, z] for y in steps for z in steps], np.float32)
    at = lambda i, j: i * (cells + 1) + j  # noqa: E731
    f = [t for i in range(cells) for j in range(cells)
         for t in ((at(i, j), at(i + 1, j), at(i + 1, j + 1)),
                   (at(i, j), at(i + 1, j + 1), at(i, j + 1)))]
    return v, np.array(f, np.int64)


def cup(segments: int = 48) -> tuple[np.ndarray, np.ndarray]:
    """A thick-walled open cup around the z axis: outer wall of radius 1 from z = 0 to 2, inner
    wall of radius 0.8 from z = 0.2 to 2, the rim between them, and both bottoms."""
    angles = np.linspace(0, 2 * np.pi, segments, endpoint=False)
    ring = lambda r, z: np.stack([r * np.cos(angles), r * np.sin(angles),  # noqa: E731
                                  np.full(segments, z)], 1)
    rings = [ring(1.0, 0.0), ring(1.0, 2.0), ring(0.8, 2.0), ring(0.8, 0.2)]
    vertices = np.vstack(rings + [[[0, 0, 0]], [[0, 0, 0.2]]]).astype(np.float32)
    faces = []
    for k in range(3):  # outer wall, rim, inner wall
        for i in range(segments):
            j = (i + 1) % segments
            a, b = k * segments + i, k * segments + j
            c, d = (k + 1) * segments + j, (k + 1) * segments + i
            faces += [(a, b, c), (a, c, d)]
    bottom, floor = 4 * segments, 4 * segments + 1
    for i in range(segments):
        j = (i + 1) % segments
        faces += [(bottom, j, i), (floor, 3 * segments + i, 3 * segments + j)]
    return vertices, np.array(faces, np.int64)


def flipped(mesh: tuple[np.ndarray, np.ndarray], seed: int = 5) -> tuple[np.ndarray, np.ndarray]:
    v, f = mesh
    turn = np.random.default_rng(seed).random(len(f)) < 0.5
    f = f.copy()
    f[turn] = f[turn][:, ::-1]
    return v, f


@pytest.mark.parametrize("method", ["surface", "fps", "poisson", "vertices"])
@pytest.mark.parametrize(
    ("case", "mesh", "hidden"),
    [
        ("sphere in a box", joined(grid_box(1.0), icosphere(3, 0.6)),
         lambda p: np.linalg.norm(p, axis=1) < 0.65),
        ("partition wall", joined(grid_box(1.0), wall()),
         lambda p: (np.abs(p[:, 0]) < 1e-6) & (np.abs(p[:, 1:]) < 0.999).all(1)),
    ],
)
def test_hidden_parts_get_no_point(method, case, mesh, hidden):
    plain = vertisift_tools.sample_mesh(*mesh, N, method=method, seed=3)[0]
    seen = vertisift_tools.sample_mesh(*mesh, N, method=method, seed=3, visible=True)[0]
    assert hidden(plain).sum() > 0, case
    assert len(seen) == N and hidden(seen).sum() == 0, case


@pytest.mark.parametrize("mesh", [grid_box(1.0), icosphere(3)], ids=["box", "sphere"])
def test_convex_models_lose_next_to_nothing(mesh):
    """A visible draw keeps the points of the plain draw that are seen, in order: on a convex
    model every one is, and at most 0.1 % may be lost to rays along edges and vertices."""
    n = 20_000
    plain = vertisift_tools.sample_mesh(*mesh, n, method="surface", seed=8)[0]
    seen = vertisift_tools.sample_mesh(*mesh, n, method="surface", seed=8, visible=True)[0]
    kept = {tuple(p) for p in seen.tolist()}
    lost = sum(tuple(p) not in kept for p in plain.tolist())
    assert lost <= n // 1000, lost


def test_an_open_cup_shows_its_inside_through_its_opening():
    mesh = cup()
    points, normals = vertisift_tools.sample_mesh(*mesh, N, method="surface", seed=4,
                                                  normals="outward")
    radius = np.hypot(points[:, 0], points[:, 1])
    inner_wall = (np.abs(radius - 0.8) < 1e-3) & (points[:, 2] > 0.25)
    inner_floor = np.abs(points[:, 2] - 0.2) < 1e-4
    assert inner_wall[points[:, 2] > 1.5].sum() > 50
    assert inner_floor.sum() > 0
    # Seen from inside the cup, the inner wall's normals face its axis.
    facing_axis = np.einsum("ij,ij->i", normals[inner_wall, :2], points[inner_wall, :2]) < 0
    assert facing_axis.all()


@pytest.mark.parametrize("method", ["surface", "fps", "poisson", "vertices"])
@pytest.mark.parametrize("mesh", [grid_box(1.0), icosphere(2)], ids=["box", "sphere"])
def test_outward_normals_of_randomly_flipped_faces_all_point_out(method, mesh):
    points, normals = vertisift_tools.sample_mesh(*flipped(mesh), 1000, method=method, seed=6,
                                                  normals="outward")
    assert (np.einsum("ij,ij->i", normals, points) > 0).all()
    # The geometry's own normals of the same faces do not.
    _, geometric = vertisift_tools.sample_mesh(*flipped(mesh), 1000, method=method, seed=6,
                                               normals="geometry", visible=True)
    assert (np.einsum("ij,ij->i", geometric, points) < 0).any()


@pytest.mark.parametrize("threads", ["1", "3"])
def test_visible_draws_are_the_same_for_every_pool_size(tmp_path, threads):
    import os
    import subprocess
    import sys
    from pathlib import Path

    code = ("import numpy as np, test_visible as t, vertisift_tools as v;"
            "m = t.joined(t.grid_box(1.0), t.icosphere(3, 0.6));"
            "p, n = v.sample_mesh(*m, 3000, method='poisson', seed=9, normals='outward');"
            "import sys; sys.stdout.buffer.write(p.tobytes() + n.tobytes())")
    here = str(Path(__file__).parent)
    runs = [subprocess.run([sys.executable, "-c", code], capture_output=True, check=True,
                           env={**os.environ, "RAYON_NUM_THREADS": count,
                                "PYTHONPATH": os.pathsep.join(
                                    filter(None, [here, os.environ.get("PYTHONPATH")]))}).stdout
            for count in ("2", threads)]
    assert runs[0] == runs[1] and len(runs[0]) == 2 * 3000 * 12


@pytest.mark.parametrize("build", ["sah", "morton"])
def test_ray_scene_hits_where_the_rays_meet_the_faces(build):
    vertices, faces = grid_box(1.0)
    scene = RayScene(vertices, faces, build=build)
    origins = np.array([[0.5, 0.25, 5], [0.5, 0.5, 5], [0, 0, 0], [3, 3, 3], [0, 0, 0]], np.float32)
    directions = np.array([[0, 0, -1], [0, 0, -2], [1, 0, 0], [1, 0, 0], [0, 0, 0]], np.float32)
    hits = scene.cast_rays(origins, directions)
    np.testing.assert_allclose(hits.t, [4, 2, 1, np.inf, np.inf], rtol=1e-6)
    assert (hits.faces[:3] >= 0).all() and (hits.faces[3:] == -1).all()
    # Each hit is where its face's corners, weighted, put it.
    corners = vertices[faces[hits.faces[:3]]]
    np.testing.assert_allclose(np.einsum("rk,rkj->rj", hits.weights[:3], corners),
                               origins[:3] + hits.t[:3, None] * directions[:3], atol=1e-6)
    assert scene.occluded(origins, directions).tolist() == [True, True, True, False, False]
    assert scene.occluded(origins, directions, t_max=1.5).tolist() == [False, False, True, False,
                                                                       False]
    # A ray through a shared edge may name either face, with the same distance.
    assert vertisift_tools.cast_rays(vertices, faces, origins, directions).t.tolist() == (
        hits.t.tolist())
    # The two builds are two trees (Morton order takes a node more here and there).
    other = RayScene(vertices, faces, build="sah" if build == "morton" else "morton")
    assert other.nbytes != scene.nbytes


@pytest.mark.parametrize(
    ("vertices", "faces", "message"),
    [
        (np.zeros((3, 2)), [[0, 1, 2]], r"vertices must have shape \(N, 3\)"),
        (np.zeros((3, 3)), [[0, 1, 3]], r"face index 3 is not in \[0, 3\)"),
        (np.zeros((3, 3)), [[0, -1, 2]], r"face index -1"),
        (np.zeros((3, 3)), [[0.0, 1, 2]], "faces must hold integers"),
    ],
)
def test_ray_scene_refuses_bad_meshes(vertices, faces, message):
    with pytest.raises(ValueError, match=message):
        RayScene(vertices, faces)
    with pytest.raises(ValueError, match="build must be 'sah' or 'morton', not 'bvh'"):
        RayScene(np.zeros((3, 3)), [[0, 1, 2]], build="bvh")
    with pytest.raises(ValueError, match="as many rays"):
        RayScene(np.zeros((3, 3)), [[0, 1, 2]]).cast_rays(np.zeros((2, 3)), np.zeros((1, 3)))
