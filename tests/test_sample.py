"""vertisift_tools.sample(): arrays, seeds, normals, distinct vertices, surface sampling,
the lock released while it works, and its errors."""

import hashlib
import os
import threading

import numpy as np
import pytest

import meshgen
import vertisift
from conftest import READ_ERROR_PREFIX, run_python

under_asan = "asan" in os.environ.get("LD_PRELOAD", "")

vertisift_tools = pytest.importorskip("vertisift_tools")
sample = vertisift_tools.sample

farthest_point_sample = vertisift_tools.farthest_point_sample
SQUARE = (np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], np.float32),
          np.array([[0, 1, 2], [0, 2, 3]]))

METHODS = ["vertices", "surface", "fps", "poisson"]
SURFACE_METHODS = METHODS[1:]


def corner_array(faces):
    return np.array([face[1:] for face in faces], dtype=np.float32)  # (F, 3, 3)


def distance_to_mesh(points, triangles):
    """The distance of each point to the nearest triangle, for points near the surface:
    the distance to a face's plane where the point projects inside the face (with a little
    slack for rounding), infinity where it projects inside none."""
    a, b, c = (triangles[:, k].astype(np.float64) for k in range(3))
    normal = np.cross(b - a, c - a)
    normal /= np.linalg.norm(normal, axis=1, keepdims=True)
    p = points.astype(np.float64)[:, None, :]
    height = np.einsum("pfk,fk->pf", p - a, normal)
    foot = p - height[..., None] * normal
    inside = np.ones(height.shape, dtype=bool)
    for u, v in ((a, b), (b, c), (c, a)):
        side = np.einsum("pfk,fk->pf", np.cross(v - u, foot - u), normal)
        inside &= side >= -1e-5
    return np.where(inside, np.abs(height), np.inf).min(axis=1)


@pytest.fixture
def torus_path(write_binary):
    return write_binary(meshgen.torus(12, 6))  # 144 faces, 72 vertices


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("count", [0, 1, 7, 72, 500])
def test_arrays_of_exactly_n_points(torus_path, method, count):
    positions, normals = sample(torus_path, count, method=method)
    for array in (positions, normals):
        assert array.shape == (count, 3)
        assert array.dtype == np.float32
        assert array.flags.c_contiguous and array.flags.writeable
    lengths = np.linalg.norm(normals, axis=1)
    assert np.allclose(lengths, 1, rtol=0, atol=1e-6)


@pytest.mark.parametrize("method", METHODS)
def test_mesh_without_faces_gives_empty_arrays(write_binary, method):
    positions, normals = sample(write_binary([]), 10, method=method)
    assert positions.shape == normals.shape == (0, 3)
    assert positions.dtype == np.float32


def test_vertex_points_are_vertices_with_their_own_normals(torus_path):
    faces = meshgen.torus(12, 6)
    vertices = {corner for face in faces for corner in face[1:]}
    positions, normals = sample(torus_path, 300, seed=3)
    seen = {}
    for position, normal in zip(map(tuple, positions.tolist()), map(tuple, normals.tolist())):
        assert position in vertices
        assert seen.setdefault(position, normal) == normal


def digest(*arrays):
    return hashlib.sha256(b"".join(array.tobytes() for array in arrays)).hexdigest()


SEEDED_DIGEST = """
import hashlib
import vertisift_tools
out = hashlib.sha256()
for method in ("vertices", "surface", "fps", "poisson"):
    for normals in ("auto", "geometry", "file", "smooth"):
        for array in vertisift_tools.sample({path!r}, 3000, method=method, seed=2**64 - 5,
                                            normals=normals):
            out.update(array.tobytes())
print(out.hexdigest())
"""


def test_seeded_results_are_identical_across_pool_sizes_and_calls(write_binary):
    path = write_binary(meshgen.torus(60, 30))  # enough faces for several chunks per worker
    runs = []
    for threads in ("1", "2", "8"):
        result = run_python(SEEDED_DIGEST.format(path=str(path)), env={"RAYON_NUM_THREADS": threads})
        assert result.returncode == 0, result.stderr
        runs.append(result.stdout.strip())
    assert runs[0] == runs[1] == runs[2]
    # The same in this process, from several threads at once.
    found = []

    def work():
        arrays = []
        for method in METHODS:
            for normals in ("auto", "geometry", "file", "smooth"):
                arrays += sample(path, 3000, method=method, seed=2**64 - 5, normals=normals)
        found.append(hashlib.sha256(b"".join(a.tobytes() for a in arrays)).hexdigest())

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert found == [runs[0]] * 4


@pytest.mark.parametrize("method", METHODS)
def test_seeds_change_the_sample_and_none_draws_afresh(torus_path, method):
    by_seed = {seed: digest(*sample(torus_path, 50, method=method, seed=seed)) for seed in (0, 1, 2)}
    assert len(set(by_seed.values())) == 3
    assert digest(*sample(torus_path, 50, method=method, seed=1)) == by_seed[1]
    assert digest(*sample(torus_path, 50, method=method)) != digest(*sample(torus_path, 50, method=method))


@pytest.mark.parametrize("method", SURFACE_METHODS)
def test_surface_points_lie_on_their_faces(write_binary, method):
    # A torus turned off the axes, so that no coordinate is trivially exact.
    angle = 0.7
    turn = np.array([[1, 0, 0], [0, np.cos(angle), -np.sin(angle)],
                     [0, np.sin(angle), np.cos(angle)]])
    faces = []
    for _, *corners in meshgen.torus(10, 5, major_radius=30.0, minor_radius=9.0):
        a, b, c = (tuple(float(x) for x in np.float32(turn @ np.array(p) + 100)) for p in corners)
        faces.append(((0.0, 0.0, 0.0), a, b, c))
    path = write_binary(faces)
    positions, normals, on, weights = sample(path, 2000, method=method, seed=11,
                                             return_faces=True, return_barycentric=True)
    triangles = corner_array(faces)
    scale = np.abs(triangles).max()
    assert on.dtype == np.int64 and on.shape == (2000,)
    # Each point lies on the face it names, whose normal it carries.
    distances = [distance_to_mesh(p[None], triangles[f][None])[0] for p, f in zip(positions, on)]
    assert max(distances) <= 4 * scale * np.finfo(np.float32).eps
    assert np.array_equal(normals, sample(path, 2000, method=method, seed=11)[1])
    vertices, indexed = vertisift_tools.read_mesh(path)
    assert np.array_equal(vertices[indexed[on]], triangles[on])
    # The weights rebuild each point from its face's corners, in read_mesh's order, and come
    # the same from the mesh in memory, with or without the faces.
    assert weights.dtype == np.float32 and weights.shape == (2000, 3)
    assert (weights >= 0).all() and np.allclose(weights.sum(axis=1), 1, atol=1e-6)
    rebuilt = np.einsum("nk,nkd->nd", weights.astype(np.float64), triangles[on])
    assert np.abs(rebuilt - positions).max() <= 8 * scale * np.finfo(np.float32).eps
    from_memory = vertisift_tools.sample_mesh(vertices, indexed, 2000, method=method, seed=11,
                                              normals="geometry", return_barycentric=True)
    assert np.array_equal(from_memory[0], positions)
    assert np.array_equal(from_memory[2], weights)


def test_surface_points_follow_area(write_binary):
    """Areas 1 : 3 (a zero-area face beside them is never chosen): a chi-square test with
    a fixed seed, one degree of freedom, at the 0.1 % level."""
    small = ((0, 0, 1), (0, 0, 0), (2, 0, 0), (0, 1, 0))  # area 1
    large = ((0, 0, 1), (10, 0, 0), (13, 0, 0), (10, 2, 0))  # area 3
    flat = ((0, 0, 1), (20, 0, 0), (21, 0, 0), (22, 0, 0))  # area 0
    count = 40_000
    positions, normals = sample(write_binary([small, flat, large, flat]), count,
                                method="surface", seed=5)
    on_large = int((positions[:, 0] >= 10).sum())
    assert not (positions[:, 0] >= 20).any()
    expected = np.array([count / 4, 3 * count / 4])
    observed = np.array([count - on_large, on_large])
    assert ((observed - expected) ** 2 / expected).sum() < 10.83
    assert (normals == np.float32([0, 0, 1])).all()
    # Uniform within a face too: the small triangle's x-coordinate has density 1 - x/2.
    x = positions[positions[:, 0] < 10, 0]
    assert abs(x.mean() - 2 / 3) < 0.02


def test_zero_area_mesh_is_a_value_error(write_binary):
    flat = ((0, 0, 1), (0, 0, 0), (1, 1, 1), (2, 2, 2))
    with pytest.raises(ValueError) as raised:
        sample(write_binary([flat, flat]), 5, method="surface")
    assert str(raised.value) == "the mesh has no surface to sample: its total area is zero or not finite"


@pytest.mark.parametrize("method", METHODS)
def test_auto_normals_replace_zero_normals_by_the_winding(write_binary, method):
    good = meshgen.torus(12, 6)
    zeroed = [((0.0, 0.0, 0.0), *corners) for _, *corners in good]
    # Half the stored normals zero, half good: "auto" computes the missing ones only.
    mixed = [zeroed[i] if i % 2 else good[i] for i in range(len(good))]
    path = write_binary(mixed)
    positions, normals = sample(path, 400, method=method, seed=9)
    assert np.allclose(np.linalg.norm(normals, axis=1), 1, rtol=0, atol=1e-6)
    # The stored normals are the unit geometric ones, so the blend equals the computed one.
    geometry_positions, geometry_normals = sample(path, 400, method=method, seed=9,
                                                  normals="geometry")
    assert (geometry_positions == positions).all()
    assert np.allclose(normals, geometry_normals, atol=1e-5)
    # The torus lies around the z axis; its outward normal points away from the tube's core.
    core = positions.copy()
    core[:, 2] = 0
    core *= (3.0 / np.linalg.norm(core, axis=1))[:, None]
    outward = positions - core
    assert (np.einsum("ij,ij->i", normals, outward) > 0).all()
    # "file" keeps the zero normals: the surface sample has zero normals there.
    if method == "surface":
        _, stored = sample(write_binary(zeroed), 50, method=method, seed=9, normals="file")
        assert (stored == 0).all()


def with_stored_normals(faces, stored):
    return [(tuple(float(x) for x in normal), *corners)
            for normal, (_, *corners) in zip(stored, faces)]


def turned_normals(faces, degrees):
    """Each face's unit geometric normal turned by `degrees` towards a direction in the
    face's plane."""
    corners = corner_array(faces).astype(np.float64)
    normal = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    normal /= np.linalg.norm(normal, axis=1, keepdims=True)
    axis = np.eye(3)[np.abs(normal).argmin(axis=1)]
    in_plane = np.cross(normal, axis)
    in_plane /= np.linalg.norm(in_plane, axis=1, keepdims=True)
    angle = np.radians(degrees)
    return np.float32(np.cos(angle) * normal + np.sin(angle) * in_plane)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("degrees", [0, 20, 25, 35, 60, 90, 180])
def test_auto_normals_keep_the_stored_ones_only_where_they_agree_with_the_winding(
        write_binary, method, degrees):
    """Stored normals turned from the geometric ones by a few degrees (rounding, exporters
    that store the smooth surface's normal) are kept; turned by 30 degrees or more (flipped,
    unrelated to the face) they give way to the geometric ones."""
    faces = meshgen.torus(12, 6)
    path = write_binary(with_stored_normals(faces, turned_normals(faces, degrees)))
    auto, stored, geometry = (sample(path, 300, method=method, seed=4, normals=normals)
                              for normals in ("auto", "file", "geometry"))
    assert (auto[0] == stored[0]).all() and (auto[0] == geometry[0]).all()
    if degrees >= 20:
        assert not np.allclose(stored[1], geometry[1], atol=1e-3)
    if degrees < 30:
        assert np.allclose(auto[1], stored[1], rtol=0, atol=1e-6)
    else:
        assert (auto[1] == geometry[1]).all()


def test_geometry_normals_ignore_the_stored_ones(write_binary):
    # One face stored upside down, with a normal of length 5.
    face = ((0.0, 0.0, -5.0), (0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0))
    path = write_binary([face])
    for method in METHODS:
        assert (sample(path, 5, method=method, normals="geometry")[1] == [0, 0, 1]).all()
        assert (sample(path, 5, method=method, normals="file")[1] == [0, 0, -1]).all()
    # A face without area has no geometric normal; "auto" keeps the stored one there.
    flat = write_binary([((0.0, 0.0, -5.0), (0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (2.0, 0.0, 0.0))])
    assert (sample(flat, 5, normals="geometry")[1] == 0).all()
    assert (sample(flat, 5, normals="auto")[1] == [0, 0, -1]).all()


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    "stored",
    [
        1e-30,  # squares below single precision's smallest number
        1e-21,  # squares in its subnormal range, where few digits are left
        1e30,  # squares past its largest number
        3e38,  # six faces at a vertex: the sum passes the largest number
        (float("nan"), 0.0, 1.0),
        (0.0, float("-inf"), 0.0),
    ],
    ids=["1e-30", "1e-21", "1e30", "3e38", "nan", "inf"],
)
def test_stored_normals_of_any_length_give_unit_normals_or_zero(write_binary, tmp_path, method,
                                                                  stored):
    """A finite non-zero stored normal has a direction whatever its length: the geometric
    normals scaled give them back. A NaN or infinite one (here on every other face) has none:
    under "file" its face has (0, 0, 0) and adds nothing to its corners' sums, which their
    other faces make; under "auto" the geometric normal takes its place."""
    from vertisift_tools.convert import convert_file
    from vertisift_tools.options import SampleOptions

    faces = meshgen.torus(12, 6)
    normals = turned_normals(faces, 0).astype(np.float64)
    if isinstance(stored, float):
        normals *= stored
    else:
        normals[1::2] = stored  # every vertex of the torus keeps faces with a direction
    path = write_binary(with_stored_normals(faces, np.float32(normals)))
    geometry, auto, from_file = (sample(path, 300, method=method, seed=6, normals=mode)[1]
                                 for mode in ("geometry", "auto", "file"))
    assert np.allclose(auto, geometry, rtol=0, atol=1e-6)
    without = ~from_file.any(axis=1)
    assert without.any() == (method != "vertices" and not isinstance(stored, float))
    assert np.allclose(np.linalg.norm(from_file[~without], axis=1), 1, rtol=0, atol=1e-6)
    if isinstance(stored, float):
        assert np.allclose(from_file, geometry, rtol=0, atol=1e-6)
    # The command counts them among the points without a normal.
    options = SampleOptions(method=method, seed=6, normals="file")
    assert convert_file(path, tmp_path / "cloud.npz", 300, options) == without.sum()


def test_distinct_vertices(torus_path):
    for count in (10, 50, 71, 72):
        positions, _ = sample(torus_path, count, distinct=True, seed=count)
        assert len({tuple(p) for p in positions.tolist()}) == count
    everything, _ = sample(torus_path, 72, distinct=True)
    assert len({tuple(p) for p in everything.tolist()}) == 72
    beyond, _ = sample(torus_path, 100, distinct=True, seed=1)
    assert len({tuple(p) for p in beyond.tolist()}) == 72
    # Without it, the top-up repeats vertices.
    repeated, _ = sample(torus_path, 72, seed=1)
    assert len({tuple(p) for p in repeated.tolist()}) < 72


def test_unseeded_vertex_draws_have_the_statistics_of_reduce_stl_points(write_binary):
    """A cube's eight corners fill the eight cells of a 2 x 2 x 2 grid. Asked for 3 points,
    the shuffle and cut keep 3 of them; asked for 12, the top-up adds 4 drawn corners. Over
    many calls both functions choose the corners with the same frequencies (a chi-square
    test of homogeneity, 7 degrees of freedom, at the 0.1 % level)."""
    path = write_binary(meshgen.cube(1.0))
    rounds = 1500
    for count in (3, 12):
        tallies = {}
        for name, draw in (("reduce", lambda n: vertisift.reduce_stl_points(path, n)[0]),
                           ("sample", lambda n: sample(path, n)[0].tolist())):
            tally = {}
            for _ in range(rounds):
                for point in draw(count):
                    tally[tuple(point)] = tally.get(tuple(point), 0) + 1
            tallies[name] = tally
        corners = sorted(tallies["reduce"])
        assert sorted(tallies["sample"]) == corners
        observed = np.array([[tallies[name][c] for c in corners] for name in ("reduce", "sample")])
        expected = observed.sum(axis=0) / 2
        chi_square = ((observed - expected) ** 2 / expected).sum()
        assert chi_square < 24.3


LOCK_RELEASE = """
import os, subprocess, threading
import vertisift_tools
fifo = {fifo!r}
os.mkfifo(fifo)
done = []
def work():
    try:
        done.append(vertisift_tools.sample(fifo, 10, method={method!r}))
    except OSError as error:
        done.append(error)
thread = threading.Thread(target=work)
thread.start()
# The sampling thread is blocked opening or reading the pipe; only this thread can let it go on.
with open(fifo, "wb") as pipe:
    pipe.write(open({mesh!r}, "rb").read())
thread.join()
print("ok")
"""


@pytest.mark.parametrize("method", METHODS)
def test_the_lock_is_released_while_reading(write_binary, tmp_path, method):
    """A sample of a named pipe waits inside the native call until another Python thread
    writes the mesh into the pipe: that thread can only run if the call released the lock."""
    mesh = write_binary(meshgen.torus(12, 6))
    code = LOCK_RELEASE.format(fifo=str(tmp_path / "pipe.stl"), method=method, mesh=str(mesh))
    result = run_python(code, timeout=60)
    assert result.stdout.strip() == "ok", result.stderr


def test_a_forked_child_samples_while_a_parent_thread_was_sampling(write_binary):
    # In the normal build the parent's thread keeps sampling while the main thread forks, so
    # the fork catches it, its pass's workers and its read-ahead thread anywhere. The ASan
    # build pauses it between calls around each fork instead. That runtime (GCC 12's libasan)
    # has no fork handler: a fork while another thread holds one of its allocator's locks
    # (a size class's region mutex, taken while a thread refills or drains its cache) gives
    # the child that lock held by a thread it does not have, and the child's first malloc
    # of that size class waits forever (seen once in a few hundred forks, the child stuck in
    # SizeClassAllocator64::GetFromAllocator under realloc). glibc's malloc, in the normal
    # build, is locked around fork() by glibc itself. While paused, the parent's thread has
    # returned from sample(), which has joined its read-ahead thread and left the pool's
    # workers only waiting on their condition variable, and the main thread holds the
    # interpreter lock, so no thread of the parent but the forking one is in the allocator.
    path = write_binary(meshgen.torus(120, 60))
    code = f"""
import multiprocessing, threading
import vertisift_tools
path = {str(path)!r}
pause_for_forks = {under_asan!r}
expected = vertisift_tools.sample(path, 100, seed=3)[0].tobytes()  # imports done before forks
stop = threading.Event()
turn = threading.Condition()
state = {{"forking": False, "sampling": False}}
def busy():
    while not stop.is_set():
        if pause_for_forks:
            with turn:
                turn.wait_for(lambda: not state["forking"])
                state["sampling"] = True
        try:
            vertisift_tools.sample(path, 5000, method="surface")
        finally:
            if pause_for_forks:
                with turn:
                    state["sampling"] = False
                    turn.notify_all()
thread = threading.Thread(target=busy)
thread.start()
def child(queue):
    queue.put(vertisift_tools.sample(path, 100, seed=3)[0].tobytes())
context = multiprocessing.get_context("fork")
results = []
for _ in range(5):
    queue = context.Queue()
    process = context.Process(target=child, args=(queue,))
    if pause_for_forks:
        with turn:
            state["forking"] = True
            turn.wait_for(lambda: not state["sampling"])
    process.start()
    if pause_for_forks:
        with turn:
            state["forking"] = False
            turn.notify_all()
    results.append(queue.get(timeout=60))
    process.join(60)
    assert process.exitcode == 0, process.exitcode
stop.set()
thread.join()
assert results == [expected] * 5
print("ok")
"""
    result = run_python(code, timeout=120)
    assert result.stdout.strip() == "ok", result.stderr


def test_read_errors_are_os_errors_with_the_readers_message_and_the_path(write_bytes, tmp_path):
    missing = tmp_path / "missing.stl"
    # A header that announces more faces than memory holds, in a file of one record: the
    # reading fails at the second, and nothing is sized by the count.
    truncated = write_bytes(b"\0" * 80 + (2**32 - 1).to_bytes(4, "little") + b"\0" * 60)
    for path, errno, message in ((missing, 2, "No such file or directory (os error 2)"),
                                 (truncated, None, "failed to fill whole buffer")):
        for method in ("vertices", "surface"):
            with pytest.raises(OSError) as raised:
                sample(path, 4, method=method)
            assert raised.value.strerror == message
            assert raised.value.errno == errno
            assert raised.value.filename == str(path)
            assert str(raised.value) == (f"{message}: {str(path)!r}" if errno is None
                                         else f"[Errno 2] {message}: {str(path)!r}")
        # The same text as the extension's, after its prefix.
        with pytest.raises(OSError) as extension:
            vertisift.reduce_stl_points(path, 4)
        assert str(extension.value) == READ_ERROR_PREFIX + message
    with pytest.raises(FileNotFoundError):
        sample(missing, 4, method="surface")


@pytest.mark.parametrize(
    "arguments, options, error, text",
    [
        (("{path}", -1), {}, ValueError, "n must be 0 or more, not -1"),
        (("{path}", 5), {"method": "edges"}, ValueError,
         "method must be 'vertices', 'surface', 'fps' or 'poisson', not 'edges'"),
        (("{path}", 5), {"normals": "stored"}, ValueError,
         "normals must be 'auto', 'file', 'geometry', 'smooth' or 'outward', not 'stored'"),
        (("{path}", 5), {"method": "surface", "candidates": 50}, ValueError,
         "candidates applies only to method 'fps' or 'poisson'"),
        (("{path}", 5), {"method": "fps", "candidates": 4}, ValueError,
         "candidates must be at least n (5), not 4"),
        (("{path}", 5), {"return_faces": True}, ValueError,
         "return_faces=True needs a method on the surface ('surface', 'fps' or 'poisson')"),
        (("{path}", 5), {"method": "poisson", "return_faces": 1}, TypeError,
         "return_faces must be a bool, not int"),
        (("{path}", 5), {"return_barycentric": True}, ValueError,
         "return_barycentric=True needs a method on the surface ('surface', 'fps' or 'poisson')"),
        (("{path}", 5), {"method": "fps", "candidates": 2**60}, MemoryError, None),
        (("{path}", 5), {"seed": -1}, ValueError, "seed must be in [0, 2**64), not -1"),
        (("{path}", 5), {"seed": 2**64}, ValueError,
         "seed must be in [0, 2**64), not 18446744073709551616"),
        (("{path}", 5), {"method": "surface", "distinct": True}, ValueError,
         "distinct=True applies only to method='vertices'"),
        (("{path}", 5.0), {}, TypeError, "n must be an int, not float"),
        (("{path}", True), {}, TypeError, "n must be an int, not bool"),
        ((b"{path}", 5), {}, TypeError, "path must be a str or os.PathLike, not bytes"),
        (("{path}", 5), {"seed": 1.5}, TypeError, "seed must be None or an int, not float"),
        (("{path}", 5), {"method": None}, TypeError, "method must be a str, not NoneType"),
        (("{path}", 5), {"distinct": 1}, TypeError, "distinct must be a bool, not int"),
        (("{path}", 5), {"colors": None}, TypeError, "colors must be a bool, not NoneType"),
        (("{path}", 5), {"visible": 1}, TypeError, "visible must be a bool, not int"),
        (("{path}", 5), {"visible": True, "view_directions": 0}, ValueError,
         "view_directions must be in [1, 4096], not 0"),
        (("{path}", 5), {"normals": "outward", "view_directions": 4097}, ValueError,
         "view_directions must be in [1, 4096], not 4097"),
        (("{path}", 5), {"method": "surface", "view_directions": 64}, ValueError,
         "view_directions applies only with visible=True or normals='outward'"),
        (("{path}", 2**64), {}, MemoryError, "cannot hold 18446744073709551616 points"),
    ],
)
def test_argument_errors(torus_path, arguments, options, error, text):
    path, count = arguments
    path = path.replace("{path}", str(torus_path)) if isinstance(path, str) else path
    with pytest.raises(error) as raised:
        sample(path, count, **options)
    if text is not None:
        assert str(raised.value) == text


def tree_beyond_memory():
    """More float32 points than the farthest-point tree (32 bytes a point) of half the
    memory holds."""
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 2 // 32 + 1


@pytest.mark.parametrize("call, count, options, message", [
    # 4 * n and 5 * n candidates by default: 2**64 and more.
    ("missing.stl", 2**62, {"method": "fps"}, "cannot hold 4611686018427387904 points"),
    ("missing.off", 2**62, {"method": "poisson"}, "cannot hold 4611686018427387904 points"),
    ("missing.obj", 2**40, {"method": "surface"}, "cannot hold 1099511627776 points"),
    ("missing.ply", 2**63, {}, "cannot hold 9223372036854775808 points"),
    ("missing.stl", 5, {"method": "fps", "candidates": 2**60},
     "cannot hold 1152921504606846976 candidates"),
    ("sample_mesh", 2**62, {"method": "fps"}, "cannot hold 4611686018427387904 points"),
    ("sample_mesh", 2**40, {"method": "surface", "return_faces": True},
     "cannot hold 1099511627776 points"),
    ("farthest_point_sample", 10, {}, "cannot hold the farthest-point tree of {m} points"),
    ("command", 2**62, {"method": "fps"},
     "vertisift reduce: cannot convert {model}: not enough memory for 4611686018427387904 points"),
], ids=["fps", "poisson", "surface", "vertices", "candidates", "mesh-fps", "mesh-surface",
        "farthest", "command"])
def test_a_count_memory_cannot_hold_fails_before_any_work_saying_so(
        tmp_path, torus_path, call, count, options, message):
    """A MemoryError that says what cannot be held, before anything is read (the files are
    missing) or touched (the points lie in a sparse file): never an OverflowError, a
    MemoryError without a text, or the command's traceback."""
    if call == "command":
        from cli_support import run_cli

        cloud = tmp_path / "out.npz"
        result = run_cli("reduce", torus_path, count, "--method", options["method"], "-o", cloud)
        assert (result.returncode, result.stdout, cloud.exists()) == (1, "", False)
        assert result.stderr == message.format(model=torus_path) + "\n"
        return
    if call == "farthest_point_sample":
        m = tree_beyond_memory()
        with open(tmp_path / "points", "wb") as points:
            points.truncate(m * 12)
        points = np.memmap(tmp_path / "points", dtype=np.float32, mode="r", shape=(m, 3))
        message = message.format(m=m)

        def run():
            return farthest_point_sample(points, count)
    elif call == "sample_mesh":
        def run():
            return vertisift_tools.sample_mesh(*SQUARE, count, **options)
    else:
        def run():
            return sample(tmp_path / call, count, **options)
    with pytest.raises(MemoryError) as raised:
        run()
    assert str(raised.value) == message


def test_path_forms(torus_path, monkeypatch):
    from pathlib import Path

    expected = digest(*sample(str(torus_path), 20, seed=1))
    assert digest(*sample(Path(torus_path), 20, seed=1)) == expected
    assert digest(*sample(torus_path, np.int64(20), seed=np.uint64(1))) == expected
    assert (digest(*sample(torus_path, 20, seed=1, distinct=np.bool_(True)))
            == digest(*sample(torus_path, 20, seed=1, distinct=True)))
    monkeypatch.chdir(torus_path.parent)
    assert digest(*sample(torus_path.name, 20, seed=1)) == expected


def test_native_module_exports_exactly_its_init_symbol():
    import subprocess

    from vertisift_tools import _native

    out = subprocess.run(["nm", "-D", "--defined-only", _native.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit__native"]


DRAW = {"seed": 1, "normals": "auto", "distinct": False, "return_faces": False,
        "return_barycentric": False}


@pytest.mark.parametrize("call, kind, message", [
    (lambda native, path: native.read_mesh(path, format="stl", strict=False, bogus=1),
     TypeError, "read_mesh() got an unexpected keyword argument 'bogus'"),
    (lambda native, path: native.read_mesh(path, format="stl"),
     TypeError, "read_mesh() missing required argument 'strict'"),
    (lambda native, path: native.read_mesh(format="stl", strict=False),
     TypeError, "read_mesh() missing required argument 'path' (pos 1)"),
    (lambda native, path: native.read_mesh(path, path=path, format="stl", strict=False),
     TypeError, "argument for read_mesh() given by name ('path') and position (1)"),
    (lambda native, path: native.read_mesh(path, "stl", False),
     TypeError, "read_mesh() takes at most 1 positional arguments (3 given)"),
    (lambda native, path: native.farthest_point_sample(b"", double=1, k=0, start=0),
     TypeError, "'int' object cannot be converted to 'PyBool'"),
    (lambda native, path: native.register_read_errors(OSError, 1),
     TypeError, "'int' object cannot be converted to 'OSError subclass'"),
    # read_mesh's arrays live in buffers of the native module's, which Python cannot make.
    (lambda native, path: type(native.read_mesh(path, format="stl", strict=False)[0])(),
     TypeError, "cannot create 'vertisift_tools._native.NativeBuffer' instances"),
    # The native functions check the rules themselves, in the package's words, rather than
    # read or write past their buffers when called directly.
    (lambda native, path: native.sample_mesh(np.zeros((3, 3), np.float32),
                                             np.array([[0, 1, 5]], np.uint32), 4,
                                             method="surface", candidates=None, colors=None,
                                             **DRAW),
     ValueError, "faces name vertex 5, but there are 3 vertices"),
    (lambda native, path: native.sample_mesh(np.zeros((3, 3), np.float32),
                                             np.array([[0, 1, 2]]), 4, method="surface",
                                             candidates=None, colors=np.zeros((2, 3), np.float32),
                                             **DRAW),
     ValueError, "colors must hold a float32 RGB triple for each vertex"),
    (lambda native, path: native.sample_mesh(np.zeros((3, 3), np.float32),
                                             np.array([[0, 1, 2]], np.float32), 4,
                                             method="surface", candidates=None, colors=None,
                                             **DRAW),
     ValueError, "faces must hold integers"),
    (lambda native, path: native.sample(path, 10, method="fps", format="stl", strict=False,
                                        candidates=5, colors=False, **DRAW),
     ValueError, "candidates must be at least n (10), not 5"),
    (lambda native, path: native.farthest_point_sample(np.zeros((2, 3), np.float32),
                                                       double=False, k=3, start=0),
     ValueError, "k must be in [0, 2], not 3"),
    (lambda native, path: native.farthest_point_sample(np.zeros((2, 3), np.float32),
                                                       double=False, k=1, start=2),
     ValueError, "start must be in [0, 2), not 2"),
])
def test_native_functions_take_their_arguments_by_name(write_binary, call, kind, message):
    from vertisift_tools import _native

    with pytest.raises(kind) as caught:
        call(_native, str(write_binary(meshgen.cube())))
    assert str(caught.value) == message
