"""Even point sets: farthest-point and Poisson-disk samples of vertisift_tools beside the
libraries users have, their speed and how evenly their points spread.

    python bench/even_bench.py [--runs R] [--quick] [--peer-python PY] [--data DIR] [--out FILE]
    python bench/even_bench.py --against PY [--runs R] [--out FILE]

Two long-lived processes do the work: one under this interpreter (vertisift_tools), one under
--peer-python (fpsample, Open3D, point-cloud-utils, scipy; by default this interpreter too).
Every case is timed in rounds: a warm-up round, then R rounds in which each tool makes one
call, the tools' order turning by one each round; a tool's figure is the median of its R
calls and their range. Inputs are loaded before the clock starts, and what a call returns is
freed after it stops.

1. Farthest-point sampling of random float32 points (uniform in the unit cube):
   `vertisift_tools.farthest_point_sample(points, k)`, fpsample's bucket variant
   `bucket_fps_kdline_sampling(points, k, h=7)` and its plain `fps_sampling` (one thread
   each), and Open3D's `farthest_point_down_sample(k)` on a point cloud already built; the
   1,000,000-point case only for vertisift and the bucket variant. vertisift's indices for
   1,024 of 10,000 are checked against a plain O(m k) farthest-point sampling in numpy.
2. `sample(path, 2048, method="fps")` against `sample(path, 10_000, method="surface")` on the
   2M-face binary torus of bench/meshes.py, both with seed 0, the read included.
3. Poisson-disk samples of the torus, 4,096 points: `sample(path, 4096, method="poisson")`
   with its read, against Open3D's `sample_points_poisson_disk` and point-cloud-utils'
   `sample_mesh_poisson_disk` on the mesh already in memory (the count each returns).
4. How evenly each sample spreads, on the torus and three real models of --data (skipped,
   with the reason, when they are not there): the smallest distance between two points and
   the largest distance from a dense uniform reference sample of the surface to the nearest
   point, both as shares of d_hex = sqrt(2 A / (sqrt(3) N)), the spacing of N points in a
   hexagonal packing of the area A. A perfectly even set has the smallest distance near 1 and
   the coverage near 1/sqrt(3) = 0.58.
5. Poisson-disk samples as the candidates grow: `sample(path, n, method="poisson",
   candidates=C)` on the 100K torus with C = 5n, n = 1,000, 10,000 and 100,000 (the common
   cases), and on a unit cube with n = 5, C = 10,000 and (one call) C = 100,000, where
   nearly every candidate lies within the radius of every other. With --against PY, an
   interpreter with another build of vertisift_tools, only these cases run, that build's
   calls alternating with this one's (the largest case for this build alone: a build that
   stores every pair would need some 80 GB there).

Prints the figures as they come, then a Markdown report (also written to --out).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import meshes  # noqa: E402

REAL_MODELS = [  # under --data: organic, organic, mechanical with very uneven triangles
    "meshes/vtk-data/horse.ply",
    "stl/vtk-data/Grey_Nurse_Shark.stl",
    "stl/prusaslicer/prusa3d_xl_gantry.stl",
]
FULL = {"fps": [(50_000, 4096), (10_000, 1024), (1_000_000, 16_384)], "large": 1_000_000,
        "check": (10_000, 1024), "torus": "2m", "n": 4096, "reference": 200_000,
        "fps n": 2048, "surface n": 10_000}
QUICK = {"fps": [(20_000, 1024), (10_000, 1024), (200_000, 2048)], "large": 200_000,
         "check": (10_000, 1024), "torus": "100k", "n": 1024, "reference": 20_000,
         "fps n": 2048, "surface n": 10_000}
QUALITY_METHODS = {
    "surface": 'sample(method="surface")',
    "fps": 'sample(method="fps")',
    "poisson": 'sample(method="poisson")',
    "open3d-poisson": "Open3D sample_points_poisson_disk",
    "pcu-poisson": "point-cloud-utils sample_mesh_poisson_disk",
    "open3d-fps": "Open3D uniform 4n, then farthest_point_down_sample",
}


# ---------------------------------------------------------------- the worker processes

def make_job(call: dict):
    """Loads the inputs of one call and returns the call; it returns an array whose length
    is the number of points (or indices) made."""
    kind = call["kind"]
    if kind in ("vertisift-fps", "fpsample-bucket", "fpsample-plain", "open3d-fps"):
        points, k = np.load(call["points"]), call["k"]
        if kind == "vertisift-fps":
            import vertisift_tools

            return lambda: vertisift_tools.farthest_point_sample(points, k)
        if kind.startswith("fpsample"):
            import fpsample

            if kind == "fpsample-bucket":
                return lambda: fpsample.bucket_fps_kdline_sampling(points, k, h=7, start_idx=0)
            return lambda: fpsample.fps_sampling(points, k, start_idx=0)
        import open3d

        cloud = open3d.geometry.PointCloud(open3d.utility.Vector3dVector(points.astype(np.float64)))
        return lambda: np.asarray(cloud.farthest_point_down_sample(k, start_index=0).points)
    if kind == "sample":
        import vertisift_tools

        path, n, method = call["path"], call["n"], call["method"]
        extra = {"candidates": call["candidates"]} if "candidates" in call else {}
        return lambda: vertisift_tools.sample(path, n, method=method, seed=0, **extra)[0]
    vertices, faces, n = np.load(call["vertices"]), np.load(call["faces"]), call["n"]
    if kind == "pcu-poisson":
        import point_cloud_utils as pcu

        def run() -> np.ndarray:
            face_ids, coordinates = pcu.sample_mesh_poisson_disk(vertices, faces, num_samples=n,
                                                                 random_seed=1)
            return pcu.interpolate_barycentric_coords(faces, face_ids, coordinates, vertices)

        return run
    import open3d

    open3d.utility.random.seed(0)
    mesh = open3d.geometry.TriangleMesh(open3d.utility.Vector3dVector(vertices.astype(np.float64)),
                                        open3d.utility.Vector3iVector(faces.astype(np.int32)))
    if kind == "open3d-poisson":
        return lambda: np.asarray(mesh.sample_points_poisson_disk(n).points)
    if kind == "open3d-fps-uniform":
        return lambda: np.asarray(
            mesh.sample_points_uniformly(4 * n).farthest_point_down_sample(n).points)
    raise ValueError(f"unknown job {kind!r}")


def surface_reference(vertices: np.ndarray, faces: np.ndarray, count: int,
                      seed: int) -> tuple[np.ndarray, float]:
    """`count` points uniform over the surface (numpy, independent of every tool measured)
    and the surface's area."""
    corners = vertices[faces].astype(np.float64)
    areas = 0.5 * np.linalg.norm(np.cross(corners[:, 1] - corners[:, 0],
                                          corners[:, 2] - corners[:, 0]), axis=1)
    total = float(areas.sum())
    rng = np.random.default_rng(seed)
    chosen = np.minimum(np.searchsorted(np.cumsum(areas), rng.random(count) * total, "right"),
                        len(faces) - 1)
    r1, r2 = np.sqrt(rng.random((count, 1))), rng.random((count, 1))
    a, b, c = (corners[chosen, i] for i in range(3))
    return (1 - r1) * a + r1 * (1 - r2) * b + r1 * r2 * c, total


def quality(vertices_path: str, faces_path: str, samples: dict[str, str],
            reference_count: int) -> dict:
    """Smallest pairwise distance and coverage radius of each sample, as shares of d_hex."""
    reference, area = surface_reference(np.load(vertices_path), np.load(faces_path),
                                        reference_count, seed=1)
    figures = {}
    for name, path in samples.items():
        points = np.load(path).astype(np.float64)
        spacing = np.sqrt(2 * area / (np.sqrt(3) * len(points)))
        nearest, cover = nearest_distances(points, points, 1).min(), \
            nearest_distances(points, reference, 0).max()
        figures[name] = {"count": len(points), "min": nearest / spacing, "cover": cover / spacing}
    return {"area": area, "figures": figures}


def nearest_distances(points: np.ndarray, queries: np.ndarray, skip: int) -> np.ndarray:
    """The distance from each query to its nearest point, after the `skip` nearest (1 when
    the queries are the points themselves): scipy's k-d tree, or numpy in blocks without it."""
    try:
        from scipy.spatial import cKDTree
    except ImportError:
        found = np.empty(len(queries))
        for begin in range(0, len(queries), 256):
            block = queries[begin:begin + 256]
            squared = ((block[:, None, :] - points[None, :, :]) ** 2).sum(axis=-1)
            found[begin:begin + 256] = np.sqrt(np.partition(squared, skip, axis=1)[:, skip])
        return found
    distances = cKDTree(points).query(queries, k=skip + 1)[0]
    return distances[:, skip] if skip else distances


def serve() -> int:
    """The worker's loop: one JSON request a line on stdin, one JSON answer a line."""
    protocol = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)  # whatever the libraries print goes to stderr, never into the protocol
    sys.stdout = sys.stderr
    versions = {}
    for name in ("vertisift_tools", "fpsample", "open3d", "point_cloud_utils", "scipy", "numpy"):
        try:
            from importlib.metadata import version

            module = {"vertisift_tools": "vertisift", "point_cloud_utils": "point-cloud-utils",
                      "open3d": "open3d-cpu"}.get(name, name)
            versions[name] = version(module)
        except Exception:  # not installed here
            continue
    protocol.write(json.dumps({"ready": True, "versions": versions}) + "\n")
    jobs: dict[str, object] = {}
    for line in sys.stdin:
        request = json.loads(line)
        try:
            if request["op"] == "forget":
                jobs.clear()
                answer: dict = {}
            elif request["op"] == "quality":
                answer = quality(*request["args"])
            else:
                key = json.dumps(request["call"], sort_keys=True)
                if key not in jobs:
                    jobs[key] = make_job(request["call"])
                started = time.perf_counter()
                result = jobs[key]()
                seconds = time.perf_counter() - started
                answer = {"seconds": seconds, "count": len(result)}
                if request.get("out"):
                    np.save(request["out"], np.asarray(result))
                del result
        except Exception as error:
            answer = {"error": f"{type(error).__name__}: {error}"[:120]}
        protocol.write(json.dumps(answer) + "\n")
    return 0


class Worker:
    def __init__(self, python: str, name: str):
        self.name = name
        self.process = subprocess.Popen([python, __file__, "--serve"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, cwd=ROOT)
        self.versions = self.receive()["versions"]

    def receive(self) -> dict:
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"the {self.name} process ended (code {self.process.wait()})")
        return json.loads(line)

    def ask(self, **request) -> dict:
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()
        return self.receive()

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait()


# ---------------------------------------------------------------- measuring

def rounds(tools: dict[str, tuple[Worker, dict]], runs: int,
           warm: bool = True) -> dict[str, dict]:
    """Times every tool, alternating: a warm-up round (unless not `warm`), then `runs` rounds.
    A tool that fails once is dropped with its message."""
    results: dict[str, dict] = {name: {"seconds": []} for name in tools}
    for round_index in range(0 if warm else 1, runs + 1):
        active = [name for name in tools if "error" not in results[name]]
        shift = round_index % max(len(active), 1)
        for name in active[shift:] + active[:shift]:
            worker, call = tools[name]
            answer = worker.ask(op="time", call=call)
            if "error" in answer:
                results[name] = {"error": answer["error"]}
                print(f"  {name}: {answer['error']}", flush=True)
                continue
            results[name]["count"] = answer["count"]
            if round_index > 0:
                results[name]["seconds"].append(answer["seconds"])
    for worker in {id(worker): worker for worker, _ in tools.values()}.values():
        worker.ask(op="forget")
    for name, result in results.items():
        if "error" not in result:
            print(f"  {name}: {cell(result)}, {result['count']:,} made", flush=True)
    return results


def median(result: dict) -> float | None:
    return statistics.median(result["seconds"]) if result.get("seconds") else None


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:.1f} ms" if seconds < 10 else f"{seconds:.1f} s"


UNAVAILABLE: dict[str, int] = {}  # each error message of the report, numbered once


def unavailable(error: str) -> str:
    number = UNAVAILABLE.setdefault(error, len(UNAVAILABLE) + 1)
    return f"unavailable [{number}]"


def cell(result: dict | None) -> str:
    if result is None:
        return "-"
    if "error" in result:
        return unavailable(result["error"])
    times = result["seconds"]
    low, high = min(times) * 1e3, max(times) * 1e3
    digits = 1 if high < 10 else 0
    return f"{ms(statistics.median(times))} ({low:.{digits}f}–{high:.{digits}f})"


def plain_fps(points: np.ndarray, k: int) -> np.ndarray:
    """Farthest-point sampling the plain way, in the points' precision: start at index 0,
    then each time the point whose squared distance to the nearest chosen one is largest,
    ties to the lowest index (argmax)."""
    x, y, z = (np.ascontiguousarray(points[:, axis]) for axis in range(3))

    def squared(i: int) -> np.ndarray:
        dx, dy, dz = x - x[i], y - y[i], z - z[i]
        return dx * dx + dy * dy + dz * dz

    chosen = np.zeros(k, dtype=np.int64)
    nearest = squared(0)
    for step in range(1, k):
        chosen[step] = int(np.argmax(nearest))
        np.minimum(nearest, squared(chosen[step]), out=nearest)
    return chosen


def compare_indices(name: str, got: np.ndarray | None, expected: np.ndarray) -> str:
    if got is None:
        return f"{name}: not available"
    if got.shape == expected.shape and np.array_equal(got, expected):
        return f"{name}: the same {len(expected):,} indices, in the same order"
    if got.shape != expected.shape:
        return f"{name}: DIFFERS: {got.shape} indices, not {expected.shape}"
    if np.array_equal(np.sort(got), np.sort(expected)):
        order = "in index order" if (np.diff(got) > 0).all() else "in another order"
        return f"{name}: the same {len(expected):,} indices, returned {order}"
    first = int(np.argmax(got != expected))
    return (f"{name}: DIFFERS from position {first} on ({int((got != expected).sum())} of "
            f"{len(expected)} differ; {int(got[first])} there, the reference {int(expected[first])})")


# ---------------------------------------------------------------- the run

def main() -> int:
    if sys.argv[1:2] == ["--serve"]:
        return serve()
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--peer-python", default=sys.executable,
                        help="the interpreter that has the peers (default: this one)")
    parser.add_argument("--data", type=Path, default=ROOT.parent / "shared" / "data",
                        help="the real models' folder (default: ../shared/data)")
    parser.add_argument("--out", type=Path, help="write the Markdown report there too")
    parser.add_argument("--against", metavar="PY",
                        help="only the candidates cases, against the vertisift_tools of PY")
    args = parser.parse_args()
    sizes = QUICK if args.quick else FULL
    started = time.time()
    load = os.getloadavg()
    own = Worker(sys.executable, "vertisift")
    if args.against:
        other = Worker(args.against, "against")
        try:
            with tempfile.TemporaryDirectory() as scratch:
                rows = run_candidates(own, other, args.runs, Path(scratch))
        finally:
            own.close()
            other.close()
        text = render_candidates(rows, args, load, time.time() - started)
        print("\n" + text)
        if args.out:
            args.out.parent.mkdir(parents=True, exist_ok=True)
            args.out.write_text(text, encoding="utf-8")
        return 0
    peer = own if args.peer_python == sys.executable else Worker(args.peer_python, "peer")
    report: dict = {"fps": {}, "versions": [own.versions, peer.versions]}
    try:
        with tempfile.TemporaryDirectory() as scratch:
            run_all(own, peer, sizes, args, Path(scratch), report)
    finally:
        own.close()
        if peer is not own:
            peer.close()
    text = render(report, sizes, args, load, time.time() - started)
    print("\n" + text)
    if args.out:
        args.out.parent.mkdir(parents=True, exist_ok=True)
        args.out.write_text(text, encoding="utf-8")
        print(f"wrote {args.out}")
    return 0


def run_all(own: Worker, peer: Worker, sizes: dict, args, scratch: Path, report: dict) -> None:
    # 1. Farthest-point sampling of random points.
    for m, k in sizes["fps"]:
        points_path = scratch / f"points-{m}.npy"
        points = np.random.default_rng(m).random((m, 3), dtype=np.float32)
        np.save(points_path, points)
        call = {"points": str(points_path), "k": k}
        tools = {"vertisift": (own, {"kind": "vertisift-fps", **call}),
                 "fpsample bucket": (peer, {"kind": "fpsample-bucket", **call})}
        if m < sizes["large"]:
            tools["fpsample plain"] = (peer, {"kind": "fpsample-plain", **call})
            tools["open3d"] = (peer, {"kind": "open3d-fps", **call})
        print(f"farthest-point sampling, {k:,} of {m:,} random points:", flush=True)
        report["fps"][(m, k)] = rounds(tools, args.runs)
        if (m, k) == sizes["check"]:
            report["check"] = check_fps(own, peer, points, call, scratch)

    # 2. FPS against a uniform sample, read included, on the torus.
    torus = meshes.ensure_mesh(HERE / "data", sizes["torus"], "binary")
    print(f"sample() of the {sizes['torus'].upper()} torus, method fps and surface:", flush=True)
    report["sample"] = rounds({
        "fps": (own, {"kind": "sample", "path": str(torus), "n": sizes["fps n"], "method": "fps"}),
        "surface": (own, {"kind": "sample", "path": str(torus), "n": sizes["surface n"],
                          "method": "surface"}),
    }, args.runs)

    # 3. Poisson-disk samples of the torus: ours from the file, the peers' from memory.
    torus_arrays = mesh_arrays(torus, scratch, "torus")
    n = sizes["n"]
    print(f"Poisson-disk samples of the {sizes['torus'].upper()} torus, n = {n:,}:", flush=True)
    report["poisson"] = rounds({
        "vertisift": (own, {"kind": "sample", "path": str(torus), "n": n, "method": "poisson"}),
        "open3d": (peer, {"kind": "open3d-poisson", **torus_arrays, "n": n}),
        "pcu": (peer, {"kind": "pcu-poisson", **torus_arrays, "n": n}),
    }, args.runs)

    # 4. How evenly the points spread.
    models = [(f"torus {sizes['torus'].upper()}", torus)]
    report["skipped"] = []
    for relative in REAL_MODELS:
        path = args.data / relative
        if path.is_file():
            models.append((Path(relative).name, path))
        else:
            reason = f"{relative}: not found under {args.data}"
            report["skipped"].append(reason)
            print(f"quality: skipped {reason}", flush=True)
    report["quality"] = {}
    for name, path in models:
        arrays = torus_arrays if path == torus else mesh_arrays(path, scratch, name)
        if "error" in arrays:
            report["quality"][name] = {"error": arrays["error"]}
            continue
        samples, errors = {}, {}
        for method in QUALITY_METHODS:
            if method in ("surface", "fps", "poisson"):
                worker, call = own, {"kind": "sample", "path": str(path), "n": n, "method": method}
            else:
                kind = "open3d-fps-uniform" if method == "open3d-fps" else method
                worker, call = peer, {"kind": kind, **arrays, "n": n}
            out = scratch / f"{name}-{method}.npy"
            answer = worker.ask(op="time", call=call, out=str(out))
            if "error" in answer:
                errors[method] = answer["error"]
            else:
                samples[method] = str(out)
        own.ask(op="forget")
        peer.ask(op="forget")
        figures = peer.ask(op="quality", args=[arrays["vertices"], arrays["faces"], samples,
                                               sizes["reference"]])
        figures["errors"] = errors
        figures["faces"] = int(np.load(arrays["faces"], mmap_mode="r").shape[0])
        report["quality"][name] = figures
        print(f"quality, {name}: {json.dumps(figures)}", flush=True)

    # 5. Poisson-disk samples as the candidates grow.
    report["candidates"] = run_candidates(own, None, args.runs, scratch)


CANDIDATE_CASES = [("torus", 1_000, 5_000), ("torus", 10_000, 50_000),
                   ("torus", 100_000, 500_000), ("cube", 5, 10_000), ("cube", 5, 100_000)]
ALONE = ("cube", 5, 100_000)  # one call, this build alone


def run_candidates(own: Worker, other: Worker | None, runs: int, scratch: Path) -> list:
    """The rows of section 5: (mesh, n, C, this build's result, the other's or None)."""
    sys.path.insert(0, str(ROOT / "scripts"))
    import meshgen

    paths = {"torus": meshes.ensure_mesh(HERE / "data", "100k", "binary"),
             "cube": meshgen.write_binary_stl(scratch / "cube.stl", meshgen.cube())}
    rows = []
    for mesh, n, candidates in CANDIDATE_CASES:
        call = {"kind": "sample", "path": str(paths[mesh]), "n": n, "method": "poisson",
                "candidates": candidates}
        tools = {"this build": (own, call)}
        if other is not None and (mesh, n, candidates) != ALONE:
            tools["against"] = (other, call)
        print(f"poisson, {n:,} of {candidates:,} candidates on the {mesh}:", flush=True)
        results = rounds(tools, 1 if (mesh, n, candidates) == ALONE else runs,
                         warm=(mesh, n, candidates) != ALONE)
        rows.append((mesh, n, candidates, results["this build"], results.get("against")))
    return rows


def candidate_lines(rows: list, against: bool) -> list[str]:
    lines = ["| mesh | n of C | this build | against | this / against |", "|---|---|---|---|---:|"]
    if not against:
        lines = ["| mesh | n of C | time |", "|---|---|---|"]
    for mesh, n, candidates, ours, theirs in rows:
        row = f"| {mesh} | {n:,} of {candidates:,} | {cell(ours)} |"
        if against:
            ratio = (f"{median(ours) / median(theirs):.2f}×"
                     if theirs is not None and median(ours) and median(theirs) else "-")
            row += f" {cell(theirs)} | {ratio} |"
        lines.append(row)
    return lines


def render_candidates(rows: list, args, load: tuple, elapsed: float) -> str:
    lines = ["# Poisson-disk samples as the candidates grow", "",
             "- Command: `python bench/even_bench.py --against OTHER_PYTHON"
             + (f" --runs {args.runs}" if args.runs != 5 else "") + "`.",
             f"- Machine: {platform.processor() or platform.machine()}, {os.cpu_count()} logical "
             f"cores, shared with other work. Load average {load[0]:.2f} (1 min), "
             f"{load[1]:.2f} (5 min) at the start; {elapsed / 60:.1f} minutes.",
             f"- `sample(path, n, method=\"poisson\", candidates=C, seed=0)`, the read included: "
             f"the median of {args.runs} calls after a warm-up, the builds alternating, and "
             "the range (ms); the cube's 100,000 candidates once, this build alone.", ""]
    lines += candidate_lines(rows, against=True)
    if UNAVAILABLE:
        lines += ["", "Unavailable:", ""]
        lines += [f"{number}. {error}" for error, number in UNAVAILABLE.items()]
    return "\n".join(lines) + "\n"


def mesh_arrays(path: Path, scratch: Path, name: str) -> dict:
    """The mesh as read_mesh reads it, saved for the peers (the same arrays for every tool)."""
    vertices, faces = scratch / f"{name}-vertices.npy", scratch / f"{name}-faces.npy"
    code = ("import sys, numpy, vertisift_tools; v, f = vertisift_tools.read_mesh(sys.argv[1]); "
            "numpy.save(sys.argv[2], v); numpy.save(sys.argv[3], f)")
    result = subprocess.run([sys.executable, "-c", code, str(path), str(vertices), str(faces)],
                            capture_output=True, text=True)
    if result.returncode != 0:
        return {"error": (result.stderr.strip().splitlines() or ["failed"])[-1]}
    return {"vertices": str(vertices), "faces": str(faces)}


def check_fps(own: Worker, peer: Worker, points: np.ndarray, call: dict, scratch: Path) -> list:
    """vertisift's indices (and the peers', for information) against plain_fps."""
    expected = plain_fps(points, call["k"])
    lines = []

    def indices(worker: Worker, kind: str) -> np.ndarray | None:
        out = scratch / f"check-{kind}.npy"
        answer = worker.ask(op="time", call={"kind": kind, **call}, out=str(out))
        worker.ask(op="forget")
        return None if "error" in answer else np.load(out).astype(np.int64)

    lines.append(compare_indices("vertisift_tools.farthest_point_sample",
                                 indices(own, "vertisift-fps"), expected))
    lines.append(compare_indices("fpsample fps_sampling", indices(peer, "fpsample-plain"),
                                 expected))
    bucket = indices(peer, "fpsample-bucket")
    if bucket is not None and len(bucket) and bucket[0] != 0:
        lines.append(f"fpsample bucket_fps_kdline_sampling: starts at index {bucket[0]}, not at "
                     f"start_idx=0; " + compare_indices(
                         "from there on, against plain FPS from that index",
                         bucket, fps_from(points, call["k"], int(bucket[0]))).split(": ", 1)[1])
    else:
        lines.append(compare_indices("fpsample bucket_fps_kdline_sampling", bucket, expected))
    chosen = indices(peer, "open3d-fps")
    if chosen is not None:  # Open3D returns points: find them back in the cloud
        where = {tuple(p): i for i, p in enumerate(points.astype(np.float64).tolist())}
        chosen = np.array([where.get(tuple(p), -1)
                           for p in np.load(scratch / "check-open3d-fps.npy").tolist()])
    lines.append(compare_indices("Open3D farthest_point_down_sample", chosen, expected))
    for line in lines:
        print(f"  check: {line}", flush=True)
    return lines


def fps_from(points: np.ndarray, k: int, start: int) -> np.ndarray:
    """plain_fps started at `start` instead of 0."""
    order = np.r_[start, np.delete(np.arange(len(points)), start)]
    return order[plain_fps(points[order], k)]


# ---------------------------------------------------------------- the report

def render(report: dict, sizes: dict, args, load: tuple, elapsed: float) -> str:
    own_versions, peer_versions = report["versions"]
    command = "python bench/even_bench.py" + (f" --runs {args.runs}" if args.runs != 5 else "")
    command += " --quick" * args.quick
    if args.peer_python != sys.executable:
        command += " --peer-python PEER_PYTHON"
    lines = [
        "# Even point sets",
        "",
        f"- Command: `{command}`"
        + (" (PEER_PYTHON: a Python 3.12 environment with the peers of bench/requirements.txt)"
           if "PEER_PYTHON" in command else "") + ".",
        f"- Machine: {platform.processor() or platform.machine()}, {os.cpu_count()} logical "
        f"cores, shared with other work: the figures are approximate. Load average "
        f"{load[0]:.2f} (1 min), {load[1]:.2f} (5 min) at the start.",
        f"- CPython {platform.python_version()}; "
        + ", ".join(f"{name} {version}" for name, version in own_versions.items())
        + ("" if peer_versions == own_versions else "; the peers' interpreter: " + ", ".join(
            f"{name} {version}" for name, version in peer_versions.items()))
        + f"; run of {time.strftime('%Y-%m-%d %H:%M')}, {elapsed / 60:.1f} minutes.",
        f"- Each figure: the median of {args.runs} calls in one process after a warm-up, the "
        "tools alternating round by round, and the range (ms) in brackets.",
        "",
        "## Farthest-point sampling of random float32 points",
        "",
        "vertisift: `farthest_point_sample(points, k)` (all cores); fpsample: "
        "`bucket_fps_kdline_sampling(points, k, h=7)` and `fps_sampling` (one thread); Open3D: "
        "`farthest_point_down_sample(k)` on a point cloud already built.",
        "",
        "| k of m | vertisift | fpsample bucket | fpsample plain | Open3D | vertisift / bucket |",
        "|---|---|---|---|---|---:|",
    ]
    targets = []
    for (m, k), results in report["fps"].items():
        ours, bucket = median(results["vertisift"]), median(results["fpsample bucket"])
        ratio = f"{ours / bucket:.2f}×" if ours and bucket else "-"
        lines.append(f"| {k:,} of {m:,} | {cell(results['vertisift'])} | "
                     f"{cell(results['fpsample bucket'])} | {cell(results.get('fpsample plain'))} | "
                     f"{cell(results.get('open3d'))} | {ratio} |")
        if ours and bucket:
            targets.append((f"FPS {k:,} of {m:,}: vertisift ≤ 0.5× fpsample bucket",
                            f"{ours / bucket:.2f}×", ours <= 0.5 * bucket))
    lines += ["", f"Indices, {sizes['check'][1]:,} of {sizes['check'][0]:,}, against a plain "
              "O(m·k) farthest-point sampling in numpy (float32, from index 0, ties to the "
              "lowest index):", ""]
    lines += [f"- {line}" for line in report.get("check", ["not checked"])]

    sample = report["sample"]
    fps, surface = median(sample["fps"]), median(sample["surface"])
    lines += ["", f"## Samples of the {sizes['torus'].upper()}-face binary torus, the read included",
              "", "| call | time |", "|---|---|",
              f'| `sample(path, {sizes["fps n"]:,}, method="fps", seed=0)` | {cell(sample["fps"])} |',
              f'| `sample(path, {sizes["surface n"]:,}, method="surface", seed=0)` | '
              f'{cell(sample["surface"])} |']
    if fps and surface:
        lines.append(f"| ratio | {fps / surface:.2f}× |")
        targets.append((f"sample fps {sizes['fps n']:,} / surface {sizes['surface n']:,} ≤ 1.3",
                        f"{fps / surface:.2f}×", fps <= 1.3 * surface))

    poisson, n = report["poisson"], sizes["n"]
    lines += ["", f"Poisson-disk samples, n = {n:,} (the peers on the mesh already in memory, "
              "as read_mesh gives it):", "", "| call | time | points returned |", "|---|---|---:|"]
    for name, call in (("vertisift", f'`sample(path, {n}, method="poisson", seed=0)`, read included'),
                       ("open3d", f"Open3D `mesh.sample_points_poisson_disk({n})`"),
                       ("pcu", f"point-cloud-utils `sample_mesh_poisson_disk(v, f, num_samples={n}, "
                                "random_seed=1)`")):
        count = f"{poisson[name]['count']:,}" if "count" in poisson[name] else "-"
        lines.append(f"| {call} | {cell(poisson[name])} | {count} |")

    lines += ["", "## Poisson-disk samples as the candidates grow", "",
              '`sample(path, n, method="poisson", candidates=C, seed=0)`, the read included; the '
              "cube's 100,000 candidates once.", ""]
    lines += candidate_lines(report["candidates"], against=False)

    lines += ["", "## Targets", "", "| target | measured | verdict |", "|---|---|---|"]
    lines += [f"| {what} | {value} | {'met' if ok else 'not met'} |" for what, value, ok in targets]

    lines += ["", f"## How evenly the points spread, n = {n:,}", "",
              "Smallest distance between two points / coverage (the largest distance from "
              f"{sizes['reference']:,} uniform reference points of the surface, numpy, seed 1, to "
              "the nearest point), both as shares of d_hex = sqrt(2A / (√3 N)); a hexagonal "
              "packing gives 1 / 0.58. A count other than n is given in brackets. The "
              "distances are straight, not along the surface: where a thin wall has points on "
              "both faces (the gantry), they lie closer than d_hex and cover each other, which "
              "lowers both figures.", ""]
    names = list(report["quality"])
    lines += ["| method | " + " | ".join(names) + " |", "|---|" + "---|" * len(names)]
    for method, title in QUALITY_METHODS.items():
        row = []
        for name in names:
            model = report["quality"][name]
            figures = model.get("figures", {}).get(method)
            if figures is None:
                error = model.get("errors", {}).get(method) or model.get("error", "-")
                row.append(unavailable(error))
                continue
            extra = f" ({figures['count']:,})" if figures["count"] != n else ""
            row.append(f"{figures['min']:.2f} / {figures['cover']:.2f}{extra}")
        lines.append(f"| {title} | " + " | ".join(row) + " |")
    faces = ", ".join(f"{name} {model.get('faces', 0):,}" for name, model in report["quality"].items())
    lines += ["", f"Faces: {faces}."]
    for reason in report["skipped"]:
        lines.append(f"Skipped: {reason}.")
    if UNAVAILABLE:
        lines += ["", "Unavailable:", ""]
        lines += [f"{number}. {error}" for error, number in UNAVAILABLE.items()]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    sys.exit(main())
