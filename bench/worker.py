"""One benchmarked tool in a process of its own, driven by bench/run.py.

    python worker.py TOOL PATH CLUSTERS

The worker imports only what TOOL needs, notes its peak resident memory at that point (the
baseline), then answers one JSON line on its protocol stream per command read from stdin:

    run   -> {"seconds": ..., "output": ..., "stages": {...} or null} or {"error": "..."}
    quit  -> {"peak_kib": ..., "ru_maxrss_kib": ..., "cpu_seconds": ...}, then exits

The first line it writes is {"ready": true, "baseline_kib": ...} or {"ready": false,
"error": "..."} when the tool cannot be imported. Whatever the libraries print goes to the
standard error stream, never into the protocol.
"""

from __future__ import annotations

import json
import os
import re
import resource
import sys
import tempfile
import time

STAGES_LINE = re.compile(r"^vertisift-stages((?: \w+=[0-9.eE+-]+)+)\s*$", re.MULTILINE)
STAGE_NAMES = ("read", "normals", "grid", "cells", "adjust", "split")


def peak_resident_kib() -> int:
    """This process's peak resident set size in KiB.

    Linux's ru_maxrss carries the launching process's peak across fork and exec (the parent
    here holds the generated meshes), so it would overstate a small worker. VmHWM belongs to
    the address space made at exec and is the peak of this program alone.
    """
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def seconds_at_once(target, items) -> float:
    """The wall time of target(item) for every item, each on a Python thread of its own, all
    started together."""
    import threading

    threads = [threading.Thread(target=target, args=(item,)) for item in items]
    started = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - started


def parse_stages(text: str) -> dict[str, float] | None:
    """The stage times of the last `vertisift-stages` line in `text`, in seconds."""
    lines = STAGES_LINE.findall(text)
    if not lines:
        return None
    fields = dict(item.split("=", 1) for item in lines[-1].split())
    if set(fields) != set(STAGE_NAMES):
        raise ValueError(f"unexpected stage names: {sorted(fields)}")
    return {name: float(fields[name]) for name in STAGE_NAMES}


class CapturedStderr:
    """Sends file descriptor 2 to a temporary file for the duration of a `with` block."""

    def __init__(self) -> None:
        self.file = tempfile.TemporaryFile()  # noqa: SIM115 - read back in __exit__
        self.text = ""

    def __enter__(self) -> CapturedStderr:
        sys.stderr.flush()
        self.saved = os.dup(2)
        self.file.seek(0)
        self.file.truncate()
        os.dup2(self.file.fileno(), 2)
        return self

    def __exit__(self, *exc) -> None:
        os.dup2(self.saved, 2)
        os.close(self.saved)
        self.file.seek(0)
        self.text = self.file.read().decode("utf-8", "replace")


def make_runner(tool: str, path: str, clusters: int):
    """Imports the tool and returns a function that does one timed job.

    The function returns (output count, result). The caller drops the result only after the
    clock has stopped, so that no tool is charged for freeing what it handed back.
    """
    if tool in ("vertisift", "vertisift-1t", "stages", "stages-1t"):
        import vertisift

        def run():
            result = vertisift.reduce_stl_points(path, clusters)
            return len(result[0]), result
        return run

    if tool in ("pyvista-stl", "pyvista-stl-1t"):
        import pyvista_stl
        threads = 1 if tool.endswith("-1t") else 0  # 0: one thread per logical processor

        def run():
            result = pyvista_stl.read(path, threads=threads)
            return len(result[0]), result
        return run

    if tool == "numpy-stl":
        from stl import mesh as stl_mesh

        def run():
            # The file's own normals are kept: this is the read alone.
            result = stl_mesh.Mesh.from_file(path, calculate_normals=False)
            return len(result.vectors), result
        return run

    if tool == "trimesh":
        import trimesh

        def run():
            mesh = trimesh.load_mesh(path)  # merges vertices (by tolerance) while loading
            normals = mesh.vertex_normals  # computed lazily: this is where they are made
            return len(normals), mesh
        return run

    if tool == "open3d":
        import open3d

        open3d.utility.set_verbosity_level(open3d.utility.VerbosityLevel.Error)
        voxel = {"size": None}

        def pipeline(voxel_size: float | None):
            mesh = open3d.io.read_triangle_mesh(path)
            if not mesh.has_triangles():
                raise RuntimeError("open3d read no triangles")
            mesh.remove_duplicated_vertices()
            mesh.compute_vertex_normals()
            cloud = open3d.geometry.PointCloud(mesh.vertices)
            cloud.normals = mesh.vertex_normals
            if voxel_size is None:
                voxel_size = calibrate_voxel(cloud, clusters)
            return cloud.voxel_down_sample(voxel_size), voxel_size

        def run():
            result, voxel["size"] = pipeline(voxel["size"])  # the first run picks the size
            return len(result.points), result
        return run

    raise ValueError(f"unknown tool {tool!r}")


def calibrate_voxel(cloud, target: int) -> float:
    """The voxel edge whose downsampling keeps about `target` points (bisection, log scale)."""
    # The count falls as the voxel grows: from about one voxel per point to one in all.
    extent = float(max(cloud.get_max_bound() - cloud.get_min_bound()))
    low, high = extent * 1e-6, extent * 2.0
    best = high
    for _ in range(40):
        middle = (low * high) ** 0.5
        count = len(cloud.voxel_down_sample(middle).points)
        best = middle
        if abs(count - target) <= max(1, target // 50):
            break
        if count > target:
            low = middle
        else:
            high = middle
    return best


def main() -> int:
    tool, path, clusters = sys.argv[1], sys.argv[2], int(sys.argv[3])
    # The protocol gets its own descriptor; anything printed by the libraries goes to stderr.
    protocol = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)
    sys.stdout = sys.stderr

    def answer(message: dict) -> None:
        protocol.write(json.dumps(message) + "\n")

    try:
        run = make_runner(tool, path, clusters)
    except Exception as error:  # an absent or broken library: reported, not fatal
        answer({"ready": False, "error": f"{type(error).__name__}: {error}"})
        return 0
    answer({"ready": True, "baseline_kib": peak_resident_kib()})

    wants_stages = tool.startswith("stages")
    for command in sys.stdin:
        command = command.strip()
        if command == "run":
            captured = CapturedStderr()
            try:
                if wants_stages:
                    with captured:
                        start = time.perf_counter()
                        output, result = run()
                        seconds = time.perf_counter() - start
                else:
                    start = time.perf_counter()
                    output, result = run()
                    seconds = time.perf_counter() - start
                del result
                stages = parse_stages(captured.text) if wants_stages else None
                if wants_stages and stages is None:
                    raise RuntimeError("no vertisift-stages line: not a stage-times build")
                answer({"seconds": seconds, "output": output, "stages": stages})
            except Exception as error:
                answer({"error": f"{type(error).__name__}: {error}"})
        elif command == "quit":
            usage = resource.getrusage(resource.RUSAGE_SELF)
            answer({"peak_kib": peak_resident_kib(), "ru_maxrss_kib": usage.ru_maxrss,
                    "cpu_seconds": usage.ru_utime + usage.ru_stime})
            return 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
