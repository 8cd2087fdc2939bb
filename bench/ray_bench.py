"""Rays against triangle meshes: `vertisift_tools.RayScene` beside Open3D's `RaycastingScene`,
and what `sample(visible=True)` costs and leaves out on real models.

    python bench/ray_bench.py [--rounds 5] [--out bench/results] [--pictures docs] [--data DIR]

Everything runs in this one process: each figure comes from `--rounds` rounds in which the
tools take turns, the order swapped from round to round so that a slow spell of this shared
machine hits both alike, and is the median over the rounds, with their range.

1. The rays of a visibility pass: 20,000 surface points of a model, each cast along the 64
   directions of `view_directions(64)` (1.28 million rays, a point's 64 one after another),
   nearer hits than t_min = 2**-16 of the largest coordinate magnitude left out, as
   `sample(visible=True)` casts them. Closest hit: `RayScene.cast_rays` against
   `RaycastingScene.cast_rays`, which has no near distance (its origins are moved t_min along
   their rays instead); any hit: `RayScene.occluded` against `test_occlusions(tnear=t_min)`.
   On the 2M-face torus of bench/meshes.py and on real models; the answers are compared ray by
   ray.
2. Building: `RayScene(vertices, faces)`, by area and in Morton order, against
   `add_triangles` and a first query of one ray (Open3D builds its tree at the first query),
   all from the arrays `read_mesh` returns.
3. The whole call: `sample(path, 10_000, method="surface", visible=True)` against the same
   call without visibility, on the torus.
4. Real models with inner parts: the share of their surface that visible sampling leaves out;
   then the models per second of `sample(path, 1024, method="surface")` with and without
   `visible=True` over every model of the shared collections that reads.
5. Pictures: the surface and its visible part for two of those models, docs/visible-*.png.

Open3D (`pip install open3d-cpu`, as bench/requirements.txt lists it) and the shared
collection beside the clone (`--data`) are optional: the parts that need one are skipped, and
the report says why. Prints the figures and writes OUT/rays.md.
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import subprocess
import sys
import tempfile
import time
from collections import Counter
from collections.abc import Callable
from pathlib import Path
from statistics import median

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import meshes  # noqa: E402
import vertisift_tools  # noqa: E402
from vertisift_tools import rays  # noqa: E402
from vertisift_tools.models import MODEL_SUFFIXES  # noqa: E402

ORIGINS = 20_000
DIRECTIONS = 64
WHOLE_CALL_POINTS = 10_000
COLLECTION_POINTS = 1024
SHARE_POINTS = 100_000
PICTURE_POINTS = 4000
SEED = 1
# The targets: our rays per second against Open3D's, and the visible call against the plain.
RAY_TARGET = 1.0
WHOLE_CALL_TARGET = 3.0

# (collection, path in it, what it is): the real models of the ray and build figures.
RAY_MODELS = [
    ("meshes", "vtk-data/horse.ply", "closed scan"),
    ("stl", "prusaslicer/prusa3d_xl_gantry.stl", "assembly, 2 m long and 13 cm deep"),
    ("meshes", "trimesh/cycloidal.ply", "gear drive, parts inside parts"),
    ("meshes", "libigl-data/camelhead.off", "open surface"),
    ("stl", "vtk-data/gears.stl", "planetary gear set, ASCII"),
]
# The models with inner parts, and two without (the last rows) for comparison.
INTERIOR_MODELS = [
    ("meshes", "trimesh/cycloidal.ply", "cycloidal drive: discs, pins and bearings in a housing"),
    ("colour", "assimp+assimp/test/models/OBJ/regr01.obj",
     "house on its ground: rooms, inner walls, roof"),
    ("stl", "prusaslicer/prusa3d_xl_gantry.stl", "printer gantry: rails, carriage, motors"),
    ("stl", "prusaslicer/prusa3d_coreoneL_gantry.stl", "printer gantry: rails, carriage, motors"),
    ("stl", "occt/motor.stl", "motor: housing with the parts it holds"),
    ("meshes", "meshlab/brain.ply", "brain: two hemispheres, deep folds"),
    ("stl", "vtk-data/gears.stl", "planetary gear set: sun, planets, ring"),
    ("meshes", "vtk-data/horse.ply", "closed scan, no inner parts"),
    ("stl", "vtk-data/Grey_Nurse_Shark.stl", "closed, no inner parts (narrow pockets)"),
]
# (picture name, collection, path): the before and after pictures.
PICTURES = [
    ("cycloidal", "meshes", "trimesh/cycloidal.ply"),
    ("house", "colour", "assimp+assimp/test/models/OBJ/regr01.obj"),
]
COLLECTIONS = ("stl", "meshes", "colour")
TIMED_COLLECTIONS = ("stl", "meshes")


def import_open3d() -> tuple[object | None, str]:
    """Open3D's module, or None and why not."""
    try:
        import open3d
    except ImportError as error:
        return None, (f"Open3D is not installed ({error}); `pip install open3d-cpu` installs "
                      "it, as bench/requirements.txt lists it")
    except OSError as error:  # a system library it links is missing (libusb-1.0)
        return None, f"Open3D does not load: {error}"
    return open3d, ""


def spread(values: list[float], digits: int = 2) -> str:
    return f"{median(values):.{digits}f} ({min(values):.{digits}f}–{max(values):.{digits}f})"


def timed(call: Callable[[], object]) -> tuple[float, object]:
    started = time.perf_counter()
    result = call()
    return time.perf_counter() - started, result


def clearance(vertices: np.ndarray, faces: np.ndarray) -> float:
    """The near distance of the visibility pass: 2**-16 of the largest coordinate magnitude of
    the triangles with finite corners, in single precision as the pass computes it."""
    corners = vertices[np.unique(faces)] if len(faces) else vertices[:0]
    corners = corners[np.isfinite(corners).all(axis=1)]
    scale = np.float32(np.abs(corners).max()) if len(corners) else np.float32(0)
    return float(scale * np.float32(2.0**-16))


def visibility_rays(path: Path, count: int) -> tuple[np.ndarray, np.ndarray]:
    """`count` surface points, each repeated along the view directions: (origins,
    directions), float32 of shape (count * DIRECTIONS, 3), a point's rays one after another."""
    positions = vertisift_tools.sample(path, count, method="surface", seed=SEED)[0]
    directions = rays.view_directions(DIRECTIONS)
    return (np.repeat(positions, DIRECTIONS, axis=0),
            np.ascontiguousarray(np.tile(directions, (len(positions), 1))))


def seen_along(occluded: Callable[[np.ndarray, np.ndarray], np.ndarray], points: np.ndarray,
               directions: np.ndarray) -> np.ndarray:
    """Whether each point is seen from outside: whether a ray from it along one of
    `directions` hits nothing. The directions are tried in their order, each for the points
    not seen yet, as the visibility pass tries them; `occluded(origins, directions)` answers
    a batch."""
    seen = np.zeros(len(points), dtype=bool)
    for direction in directions:
        left = np.flatnonzero(~seen)
        if len(left) == 0:
            break
        blocked = occluded(points[left], np.broadcast_to(direction, (len(left), 3)))
        seen[left[~np.asarray(blocked, dtype=bool)]] = True
    return seen


def open3d_scene(open3d, vertices: np.ndarray, faces: np.ndarray):
    scene = open3d.t.geometry.RaycastingScene()
    scene.add_triangles(open3d.core.Tensor.from_numpy(vertices),
                        open3d.core.Tensor.from_numpy(faces.astype(np.uint32)))
    return scene


def open3d_occluded(open3d, scene, t_min: float) -> Callable[[np.ndarray, np.ndarray], np.ndarray]:
    def occluded(origins: np.ndarray, directions: np.ndarray) -> np.ndarray:
        batch = open3d.core.Tensor(np.hstack([origins, directions]).astype(np.float32))
        return scene.test_occlusions(batch, tnear=t_min, tfar=math.inf).numpy().astype(bool)

    return occluded


def removed_share(path: Path, count: int, open3d=None) -> dict:
    """The share of the surface of the model at `path` that visible sampling leaves out,
    estimated over `count` uniform surface points tested along the view directions (with
    Open3D's any-hit query too, when given), and the share of a visible sample's own points
    that the test finds seen."""
    vertices, faces = vertisift_tools.read_mesh(path)
    t_min = clearance(vertices, faces)
    scene = vertisift_tools.RayScene(vertices, faces)
    directions = rays.view_directions(DIRECTIONS)

    def ours(origins: np.ndarray, along: np.ndarray) -> np.ndarray:
        return scene.occluded(origins, along, t_min=t_min)

    points = vertisift_tools.sample(path, count, method="surface", seed=SEED)[0]
    result = {"faces": len(faces), "removed": 1.0 - float(seen_along(ours, points, directions).mean())}
    visible = vertisift_tools.sample(path, count // 10, method="surface", seed=SEED,
                                     visible=True)[0]
    result["visible_seen"] = float(seen_along(ours, visible, directions).mean())
    if open3d is not None:
        other = open3d_occluded(open3d, open3d_scene(open3d, vertices, faces), t_min)
        result["removed_open3d"] = 1.0 - float(seen_along(other, points, directions).mean())
    return result


def measure_rays(open3d, path: Path, rounds: int) -> dict:
    """Rays per second of both tools' closest- and any-hit queries over the rays of a
    visibility pass, round by round, and how far their answers agree."""
    vertices, faces = vertisift_tools.read_mesh(path)
    t_min = clearance(vertices, faces)
    origins, directions = visibility_rays(path, ORIGINS)
    ours = vertisift_tools.RayScene(vertices, faces)
    theirs = open3d_scene(open3d, vertices, faces)
    Tensor = open3d.core.Tensor
    # Open3D's closest hit has no near distance: its rays start t_min along (directions are
    # unit), which leaves out the same hits.
    shifted = Tensor(np.hstack([origins + np.float32(t_min) * directions, directions]))
    plain = Tensor(np.hstack([origins, directions]))
    queries: dict[str, dict[str, Callable[[], object]]] = {
        "cast": {"ours": lambda: ours.cast_rays(origins, directions, t_min=t_min),
                 "open3d": lambda: theirs.cast_rays(shifted)},
        "occluded": {"ours": lambda: ours.occluded(origins, directions, t_min=t_min),
                     "open3d": lambda: theirs.test_occlusions(plain, tnear=t_min,
                                                              tfar=math.inf)},
    }
    answers = {query: {tool: call() for tool, call in calls.items()}  # the tree built, warm
               for query, calls in queries.items()}
    rates: dict[str, dict[str, list[float]]] = {
        query: {"ours": [], "open3d": []} for query in queries}
    for r in range(rounds):
        for query, calls in queries.items():
            order = ["ours", "open3d"] if r % 2 == 0 else ["open3d", "ours"]
            for tool in order:
                seconds, _ = timed(calls[tool])
                rates[query][tool].append(len(origins) / seconds / 1e6)
    count = len(origins)
    our_hits = answers["cast"]["ours"]
    their_t = answers["cast"]["open3d"]["t_hit"].numpy()
    their_faces = answers["cast"]["open3d"]["primitive_ids"].numpy().astype(np.int64)
    our_hit, their_hit = np.isfinite(our_hits.t), np.isfinite(their_t)
    both = our_hit & their_hit
    difference = np.abs(our_hits.t[both] - (their_t[both] + np.float32(t_min)))
    # Open3D's hits at t = 0 from its moved origin: the origin still lies, within rounding, on
    # a face nearly parallel to the ray (grazing rays over coplanar faces of touching parts).
    at_origin = their_hit & (their_t <= 0)
    our_blocked = np.asarray(answers["occluded"]["ours"], dtype=bool)
    their_blocked = answers["occluded"]["open3d"].numpy().astype(bool)
    extent = float(np.linalg.norm(vertices.max(axis=0) - vertices.min(axis=0)))
    return {
        "faces": len(faces), "rays": count, "rates": rates, "t_min": t_min,
        "hit_share": float(our_hit.mean()),
        "cast_differ": float((our_hit != their_hit).mean()),
        "median_dt": float(np.median(difference)) if len(difference) else math.nan,
        "median_dt_relative": float(np.median(difference)) / extent if len(difference) else math.nan,
        "other_triangle": float((our_hits.faces[both] != their_faces[both]).mean()),
        "open3d_at_origin": float(at_origin.mean()),
        "occluded_differ": float((our_blocked != their_blocked).mean()),
        # Each tool's two queries must agree with each other: a hit is an occlusion.
        "ours_consistent": bool(np.array_equal(our_hit, our_blocked)),
        "open3d_consistent": float((their_hit != their_blocked).mean()),
    }


def measure_build(open3d, path: Path, rounds: int) -> dict:
    """Milliseconds to build each tool's tree, round by round, and our tree's bytes."""
    vertices, faces = vertisift_tools.read_mesh(path)
    one_ray = open3d.core.Tensor(np.array([[0, 0, 0, 1, 0, 0]], np.float32))

    def ours() -> object:
        return vertisift_tools.RayScene(vertices, faces)

    def morton() -> object:
        return vertisift_tools.RayScene(vertices, faces, build="morton")

    def theirs() -> object:
        scene = open3d_scene(open3d, vertices, faces)
        scene.cast_rays(one_ray)
        return scene

    calls = {"ours": ours, "morton": morton, "open3d": theirs}
    scene = ours()
    morton_scene = morton()
    theirs()
    times: dict[str, list[float]] = {name: [] for name in calls}
    names = list(calls)
    for r in range(rounds):
        for tool in names[r % len(names):] + names[:r % len(names)]:
            seconds, built = timed(calls[tool])
            del built
            times[tool].append(seconds * 1e3)
    return {"faces": len(faces), "ms": times, "triangles": scene.triangle_count,
            "bytes_per_triangle": scene.nbytes / max(scene.triangle_count, 1),
            "morton_bytes_per_triangle": morton_scene.nbytes / max(scene.triangle_count, 1)}


def measure_whole_call(path: Path, rounds: int, calls: int = 2) -> dict:
    """Milliseconds of the visible call and the plain one, and their ratio, round by round;
    and in the same rounds, `RayScene` over the model's triangles, the visible call's tree."""
    def draw(visible: bool) -> Callable[[], object]:
        return lambda: vertisift_tools.sample(path, WHOLE_CALL_POINTS, method="surface",
                                              seed=SEED, visible=visible)

    vertices, faces = vertisift_tools.read_mesh(path)
    tools = {"visible": draw(True), "plain": draw(False),
             "tree": lambda: vertisift_tools.RayScene(vertices, faces, build="morton")}
    for call in tools.values():
        call()
    times: dict[str, list[float]] = {name: [] for name in tools}
    ratios = []
    names = list(tools)
    for r in range(rounds):
        by_round = {}
        for tool in names[r % len(names):] + names[:r % len(names)]:
            spent = [timed(tools[tool])[0] * 1e3 for _ in range(calls)]
            times[tool] += spent
            by_round[tool] = median(spent)
        ratios.append(by_round["visible"] / by_round["plain"])
    return {"ms": times, "ratios": ratios}


def collection_models(folders: list[Path]) -> list[Path]:
    return sorted(path for folder in folders for path in folder.rglob("*")
                  if path.is_file() and path.suffix.lower() in MODEL_SUFFIXES)


def measure_collection(folders: list[Path], rounds: int) -> dict:
    """Models per second of the visible and the plain sample over the models of `folders`
    that both draw; those that fail are counted by their exception."""
    def draw(path: Path, visible: bool) -> int:
        return len(vertisift_tools.sample(path, COLLECTION_POINTS, method="surface", seed=SEED,
                                          visible=visible)[0])

    every = collection_models(folders)
    kept, failed, not_visible = [], Counter(), Counter()
    for path in every:  # this first pass also warms the page cache
        try:
            if draw(path, False) == 0:
                failed["no faces"] += 1
                continue
        except (OSError, ValueError) as error:
            failed[type(error).__name__] += 1
            continue
        try:
            draw(path, True)
        except (OSError, ValueError) as error:
            not_visible[f"{type(error).__name__}: {error}"] += 1
            continue
        kept.append(path)
    rates: dict[str, list[float]] = {"visible": [], "plain": []}
    ratios = []
    for r in range(rounds):
        seconds = {}
        for tool in (["visible", "plain"] if r % 2 == 0 else ["plain", "visible"]):
            started = time.perf_counter()
            for path in kept:
                draw(path, tool == "visible")
            seconds[tool] = time.perf_counter() - started
            rates[tool].append(len(kept) / seconds[tool])
        ratios.append(seconds["visible"] / seconds["plain"])
    return {"models": len(every), "kept": len(kept), "failed": failed,
            "not_visible": not_visible, "rates": rates, "ratios": ratios}


def draw_pictures(folder: Path, pictures: list[tuple[str, Path]]) -> list[tuple[str, int]]:
    """The before and after pictures of each (name, model): PICTURE_POINTS surface points,
    and as many of the visible surface, each written as a cloud and drawn from three sides."""
    folder.mkdir(parents=True, exist_ok=True)
    written = []
    with tempfile.TemporaryDirectory() as scratch:
        for name, path in pictures:
            for label, visible in (("all", False), ("visible", True)):
                positions, normals = vertisift_tools.sample(
                    path, PICTURE_POINTS, method="surface", seed=SEED, visible=visible)
                cloud = Path(scratch) / f"{name}-{label}.ply"
                vertisift_tools.write_cloud(cloud, positions, normals)
                picture = folder / f"visible-{name}-{label}.png"
                vertisift_tools.render_preview(cloud, picture)
                written.append((picture.name, picture.stat().st_size))
    return written


def commit() -> str:
    try:
        return subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=HERE,
                              capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def verdict(ok: bool) -> str:
    return "met" if ok else "not met"


def render(run: dict) -> str:
    one, five, _ = run["load"]
    lines = [
        "# Rays: `RayScene` beside Open3D's `RaycastingScene`, and visible sampling",
        "",
        f"- Command: `{run['command']}`; commit {run['commit']}; run of {run['date']}, "
        f"{run['minutes']:.1f} minutes.",
        f"- Machine: {platform.machine()}, {os.cpu_count()} logical cores shared with other "
        f"work (load average {one:.2f} over 1 min, {five:.2f} over 5 min at the start): rates "
        "move by up to half from run to run with the other work; the ratios of ours to "
        "Open3D's, taken in the same rounds, by a tenth to a quarter. Both tools use every core.",
        f"- CPython {platform.python_version()}, numpy {np.__version__}, "
        f"Open3D {run['open3d_version'] or 'absent'}.",
        f"- Every figure: the median over {run['rounds']} rounds in one process, the tools "
        "alternating (the order swapped each round), and in parentheses the range over the "
        "rounds.",
        "",
    ]
    torus = run["torus"]
    lines += ["## 1. The rays of a visibility pass", ""]
    if run["rays"]:
        lines += [
            f"{ORIGINS:,} surface points of each model (seed {SEED}), each cast along the "
            f"{DIRECTIONS} view directions: {ORIGINS * DIRECTIONS:,} rays, hits nearer than "
            "t_min = 2^-16 of the largest coordinate magnitude left out. Millions of rays per "
            "second; \"×\" is ours over Open3D's in the same round (above 1: ours is faster). "
            "Closest hit: `RayScene.cast_rays` / `RaycastingScene.cast_rays` (its origins "
            "moved t_min along the rays); any hit: `RayScene.occluded` / "
            "`RaycastingScene.test_occlusions(tnear=t_min)`.",
            "",
            "| model | faces | closest: ours | closest: Open3D | × | any: ours | any: Open3D | × |",
            "|---|---:|---:|---:|---:|---:|---:|---:|",
        ]
        for name, figures in run["rays"].items():
            cells = []
            for query in ("cast", "occluded"):
                ours, theirs = figures["rates"][query]["ours"], figures["rates"][query]["open3d"]
                ratios = [a / b for a, b in zip(ours, theirs)]
                cells += [spread(ours), spread(theirs), spread(ratios)]
            lines.append(f"| {name} ({figures['what']}) | {figures['faces']:,} | "
                         + " | ".join(cells) + " |")
        lines += [
            "",
            "Agreement, ray by ray: the share of rays that hit with ours, the share whose hit "
            "or miss differs between the tools (closest hit, any hit), and for the rays both "
            "hit the median |t difference| (in model units, and over the box diagonal) and the "
            "share that hit another triangle; then the share of rays for which Open3D's closest "
            "hit lies at t = 0 of its moved origin.",
            "",
            "| model | hit share | closest: differ | median \\|Δt\\| | over diagonal | other triangle | Open3D at t = 0 | any: differ |",
            "|---|---:|---:|---:|---:|---:|---:|---:|",
        ]
        for name, figures in run["rays"].items():
            lines.append(
                f"| {name} | {figures['hit_share']:.2%} | {figures['cast_differ']:.4%} | "
                f"{figures['median_dt']:.2e} | {figures['median_dt_relative']:.1e} | "
                f"{figures['other_triangle']:.3%} | {figures['open3d_at_origin']:.3%} | "
                f"{figures['occluded_differ']:.4%} |")
        grazing = float(np.degrees(np.arcsin(np.abs(rays.view_directions(DIRECTIONS)).min())))
        lines += [
            "",
            "Where the closest hits differ, the rays graze a face near their origin. "
            "`RaycastingScene.cast_rays` has no near distance, and an origin moved t_min along "
            "a ray nearly parallel to a face stays, within rounding, in that face's plane, where "
            "Open3D then finds a hit at t = 0 (the nearest of the view directions to a plane of "
            f"the axes lies {grazing:.2f}° from it, and the parts of cycloidal.ply touch along "
            "such planes). Ours leaves out every hit nearer than t_min to the true origin, as "
            "the visibility pass does; the any-hit queries, which both take that near "
            "distance, agree but for a few rays in a million.",
        ]
        consistent = all(f["ours_consistent"] for f in run["rays"].values())
        lines += ["", "Ours: every ray that `cast_rays` finds a hit for is `occluded`, and no "
                  "other: " + ("yes" if consistent else "NO") + ". Open3D's two queries "
                  "differ on " + ", ".join(f"{f['open3d_consistent']:.4%}" for f in
                                           run["rays"].values()) + " of the rays (in the "
                  "order of the table).", ""]
    else:
        lines += [f"Not measured: {run['open3d_reason']}.", ""]

    lines += ["## 2. Building the tree", ""]
    if run["builds"]:
        lines += [
            "`RayScene(vertices, faces)` (by area, the tree of section 1) and "
            "`RayScene(vertices, faces, build=\"morton\")` (the visible sample's) against a "
            "new `RaycastingScene`, `add_triangles` and a query of one ray (Open3D builds its "
            "tree at the first query), all from the float32 vertices and int32 faces that "
            "`read_mesh` returns (the faces made uint32 inside the timing). ms, and ms per "
            "million triangles; the bytes our trees keep (`nbytes`) per triangle. Open3D's "
            "memory is not measured.",
            "",
            "| model | triangles | by area ms | Morton ms | Open3D ms | by area ms/M | Morton ms/M | Open3D ms/M | by area / Open3D | Morton / Open3D | bytes/triangle (area, Morton) |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
        ]
        for name, figures in run["builds"].items():
            ours, fast = figures["ms"]["ours"], figures["ms"]["morton"]
            theirs = figures["ms"]["open3d"]
            millions = figures["faces"] / 1e6
            lines.append(
                f"| {name} | {figures['faces']:,} | {spread(ours, 1)} | {spread(fast, 1)} | "
                f"{spread(theirs, 1)} | {median(ours) / millions:.0f} | "
                f"{median(fast) / millions:.0f} | {median(theirs) / millions:.0f} | "
                f"{spread([a / b for a, b in zip(ours, theirs)])} | "
                f"{spread([a / b for a, b in zip(fast, theirs)])} | "
                f"{figures['bytes_per_triangle']:.1f}, "
                f"{figures['morton_bytes_per_triangle']:.1f} |")
        lines.append("")
    else:
        lines += [f"Not measured: {run['open3d_reason']}.", ""]

    whole = run["whole"]
    lines += [
        "## 3. The whole call",
        "",
        f"`sample(path, {WHOLE_CALL_POINTS:,}, method=\"surface\", seed={SEED}, visible=True)` "
        f"against the same call without `visible`, on `{torus.name}` (2,000,000 faces), two "
        "calls of each per round; ms over every call, and the ratio of the round medians. In the "
        "same rounds, the tree the visible call builds, made by `RayScene(..., "
        "build=\"morton\")` from the arrays of `read_mesh` (neither the reading nor the points "
        "in it).",
        "",
        "| call | ms |",
        "|---|---:|",
        f"| visible=True | {spread(whole['ms']['visible'], 1)} |",
        f"| plain | {spread(whole['ms']['plain'], 1)} |",
        f"| `RayScene(vertices, faces, build=\"morton\")`, the tree alone | "
        f"{spread(whole['ms']['tree'], 1)} |",
        f"| visible / plain | {spread(whole['ratios'])}× |",
        "",
    ]

    lines += ["## 4. Real models with inner parts", ""]
    if run["interior"]:
        lines += [
            f"The share of the surface that visible sampling leaves out: {SHARE_POINTS:,} "
            f"points drawn uniformly by area (`sample(method=\"surface\", seed={SEED})`), each "
            f"tested along the {DIRECTIONS} view directions in their order with "
            "`RayScene.occluded` (the same t_min), and counted seen when one of its rays "
            "hits nothing; the share not seen estimates 1 − the visible share of the area "
            "(within about ±0.3 points at 100,000 points). The Open3D column repeats the "
            "test with `test_occlusions`. The last column: of "
            f"{SHARE_POINTS // 10:,} points of `sample(..., visible=True)`, the share the same "
            "test finds seen (the sampler also skips the point's own face, which the test "
            "cannot).",
            "",
            "| model | faces | what it is | left out | left out (Open3D's test) | visible sample found seen |",
            "|---|---:|---|---:|---:|---:|",
        ]
        for name, figures in run["interior"].items():
            other = figures.get("removed_open3d")
            lines.append(
                f"| {name} | {figures['faces']:,} | {figures['what']} | {figures['removed']:.1%} | "
                f"{'–' if other is None else f'{other:.1%}'} | {figures['visible_seen']:.2%} |")
        lines.append("")
    collection = run["collection"]
    if collection:
        failed = ", ".join(f"{count} {name}" for name, count in collection["failed"].items())
        lines += [
            f"Every model of {' and '.join(TIMED_COLLECTIONS)} in the shared collection: "
            f"`sample(path, {COLLECTION_POINTS}, method=\"surface\", seed={SEED})` with and "
            f"without `visible=True`, one pass over the models per round and call. "
            f"{collection['models']} models; {collection['kept']} drawn both ways; skipped: "
            f"{sum(collection['failed'].values())} that do not draw at all ({failed or 'none'})"
            f" and {sum(collection['not_visible'].values())} that draw but not visibly"
            + ("".join(f"; {count}× {text}" for text, count in collection["not_visible"].items()))
            + ".",
            "",
            "| call | models per second |",
            "|---|---:|",
            f"| visible=True | {spread(collection['rates']['visible'], 0)} |",
            f"| plain | {spread(collection['rates']['plain'], 0)} |",
            f"| time, visible / plain | {spread(collection['ratios'])}× |",
            "",
        ]
    if not run["interior"] and not collection:
        lines += [f"Not measured: {run['data_reason']}.", ""]

    lines += ["## 5. Pictures", ""]
    if run["pictures"]:
        lines += [f"{PICTURE_POINTS} surface points (seed {SEED}) and {PICTURE_POINTS} of the "
                  "visible surface, written with `write_cloud` and drawn with "
                  "`render_preview`:", ""]
        for (name, collection_name, path), _ in zip(PICTURES, run["pictures"][::2]):
            lines.append(f"- `{collection_name}/{path}`: `docs/visible-{name}-all.png`, "
                         f"`docs/visible-{name}-visible.png`")
        lines.append("")
    else:
        lines += [f"Not drawn: {run['data_reason']}.", ""]

    lines += ["## Targets", "", "| target | measured | verdict |", "|---|---|---|"]
    for name, figures in run["rays"].items():
        for query, label in (("cast", "closest hit"), ("occluded", "any hit")):
            ratios = [a / b for a, b in zip(figures["rates"][query]["ours"],
                                             figures["rates"][query]["open3d"])]
            lines.append(f"| {label}, {name}: at least {RAY_TARGET:.1f}× Open3D's rays per "
                         f"second | {median(ratios):.2f}× | {verdict(median(ratios) >= RAY_TARGET)} |")
    if not run["rays"]:
        lines.append(f"| rays per second: at least {RAY_TARGET:.1f}× Open3D's | not measured | – |")
    ratio = median(whole["ratios"])
    lines.append(f"| whole call on the torus: visible at most {WHOLE_CALL_TARGET:.0f}× plain | "
                 f"{ratio:.2f}× | {verdict(ratio <= WHOLE_CALL_TARGET)} |")
    plain, visible = median(whole["ms"]["plain"]), median(whole["ms"]["visible"])
    lines += ["", f"The visible call spends {visible - plain:.0f} ms more than the plain one; "
              f"{WHOLE_CALL_TARGET:.0f}× would leave {(WHOLE_CALL_TARGET - 1) * plain:.0f} ms "
              "for the tree and the rays together."]
    lines[-1] += (f" Building the tree over the 2,000,000 triangles takes "
                  f"{median(whole['ms']['tree']):.0f} ms of it (section 3, in the same rounds): "
                  "the build, not the rays, decides this target.")
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--out", type=Path, default=HERE / "results", help="writes OUT/rays.md")
    parser.add_argument("--pictures", type=Path, default=HERE.parent / "docs",
                        help="where the visible-*.png pictures go")
    parser.add_argument("--data", type=Path, default=HERE.parent.parent / "shared" / "data",
                        help="the shared collection: its stl, meshes and colour folders")
    args = parser.parse_args()
    started = time.time()
    command = "python bench/ray_bench.py" + ("" if args.rounds == 5 else f" --rounds {args.rounds}")
    open3d, open3d_reason = import_open3d()
    folders = {name: args.data / name for name in COLLECTIONS}
    data_reason = "" if all(folders[name].is_dir() for name in TIMED_COLLECTIONS) else (
        f"the shared collection is not there (its folders {' and '.join(TIMED_COLLECTIONS)}; "
        "--data names the folder that holds them)")
    if data_reason:
        print(f"skipping the real models: {data_reason}; looked in {args.data}")
    if open3d_reason:
        print(f"skipping the comparisons with Open3D: {open3d_reason}")
    run: dict = {"command": command, "commit": commit(), "date": time.strftime("%Y-%m-%d %H:%M"),
                 "load": os.getloadavg(), "rounds": args.rounds, "open3d_reason": open3d_reason,
                 "data_reason": data_reason,
                 "open3d_version": getattr(open3d, "__version__", None) if open3d else None,
                 "rays": {}, "builds": {}, "interior": {}, "collection": None, "pictures": []}
    torus = meshes.ensure_mesh(HERE / "data", "2m", "binary")
    run["torus"] = torus
    models = [(torus.name, torus, "generated, closed")]
    if not data_reason:
        models += [(Path(path).name, folders[collection] / path, what)
                   for collection, path, what in RAY_MODELS
                   if (folders[collection] / path).is_file()]

    if open3d is not None:
        for name, path, what in models:
            figures = measure_rays(open3d, path, args.rounds)
            figures["what"] = what
            run["rays"][name] = figures
            cast = figures["rates"]["cast"]
            occluded = figures["rates"]["occluded"]
            print(f"rays {name}: closest ours {median(cast['ours']):.2f} / Open3D "
                  f"{median(cast['open3d']):.2f} M/s; any ours {median(occluded['ours']):.2f} / "
                  f"Open3D {median(occluded['open3d']):.2f} M/s")
            print(f"  agreement: hit {figures['hit_share']:.2%}, closest differ "
                  f"{figures['cast_differ']:.4%}, median |dt| {figures['median_dt']:.2e}, other "
                  f"triangle {figures['other_triangle']:.3%}, any differ "
                  f"{figures['occluded_differ']:.4%}, ours consistent {figures['ours_consistent']}")
        for name, path, _ in models:
            build = measure_build(open3d, path, args.rounds)
            run["builds"][name] = build
            print(f"build {name}: ours {median(build['ms']['ours']):.1f} ms, Open3D "
                  f"{median(build['ms']['open3d']):.1f} ms, {build['bytes_per_triangle']:.1f} "
                  "bytes per triangle")
    run["whole"] = measure_whole_call(torus, args.rounds)
    print(f"whole call: visible {median(run['whole']['ms']['visible']):.1f} ms, plain "
          f"{median(run['whole']['ms']['plain']):.1f} ms, ratio {median(run['whole']['ratios']):.2f}")

    if not data_reason:
        for collection, path, what in INTERIOR_MODELS:
            if not (folders[collection] / path).is_file():
                continue
            figures = removed_share(folders[collection] / path, SHARE_POINTS, open3d)
            figures["what"] = what
            run["interior"][f"{collection}/{path}"] = figures
            print(f"left out {collection}/{path}: {figures['removed']:.1%} "
                  f"(Open3D's test {figures.get('removed_open3d', math.nan):.1%}); visible "
                  f"sample found seen {figures['visible_seen']:.2%}")
        run["collection"] = measure_collection(
            [folders[name] for name in TIMED_COLLECTIONS], args.rounds)
        rates = run["collection"]["rates"]
        print(f"collection: {run['collection']['kept']} of {run['collection']['models']} models; "
              f"visible {median(rates['visible']):.0f}/s, plain {median(rates['plain']):.0f}/s")
        pictures = [(name, folders[collection] / path) for name, collection, path in PICTURES
                    if (folders[collection] / path).is_file()]
        run["pictures"] = draw_pictures(args.pictures, pictures)
        for name, size in run["pictures"]:
            print(f"picture {name}: {size / 1024:.0f} KiB")
    run["minutes"] = (time.time() - started) / 60
    text = render(run)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "rays.md").write_text(text, encoding="utf-8")
    print(f"wrote {args.out / 'rays.md'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
