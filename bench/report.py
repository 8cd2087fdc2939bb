"""Turns the measurements of bench/run.py into a markdown report, the targets and a plot.

    .venv/bin/python bench/report.py bench/results/results.json   # re-render a saved run
"""

from __future__ import annotations

import contextlib
import json
import os
import platform
import subprocess
import sys
from importlib import metadata
from pathlib import Path

# The tools compared in the main table.
COMPARED = ("vertisift", "pyvista-stl", "numpy-stl", "trimesh", "open3d")
STAGES = (("read", "read and merge"), ("normals", "normals"), ("grid", "grid"),
          ("cells", "cells"), ("adjust", "count adjustment"), ("split", "split"),
          ("result", "result building"))
HEADLINE = "torus-2m-binary.stl"
PACKAGES = ("numpy", "pyvista-stl", "numpy-stl", "trimesh", "scipy", "open3d-cpu", "open3d",
            "matplotlib")

# Targets, all on the 2-million-face binary file unless said otherwise.
MAX_RATIO_TO_READ = 1.5
MIN_SPEEDUP = 10.0
MAX_PER_FACE_SPREAD = 1.5
MIN_ASCII_MB_PER_S = 300.0


def describe_machine(stage_build: Path) -> dict:
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    memory_gib = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    compiler = "c++"
    cache = stage_build / "CMakeCache.txt"
    if cache.exists():
        for line in cache.read_text().splitlines():
            if line.startswith("CMAKE_CXX_COMPILER:"):
                compiler = line.split("=", 1)[1]
    try:
        compiler_version = subprocess.run([compiler, "--version"], capture_output=True,
                                          text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        compiler_version = "unknown"
    versions = {}
    for package in PACKAGES:
        with contextlib.suppress(metadata.PackageNotFoundError):
            versions[package] = metadata.version(package)
    return {"cpu": cpu, "logical_cores": os.cpu_count(), "memory_gib": round(memory_gib, 1),
            "system": f"{platform.system()} {platform.release()}",
            "python": f"{platform.python_implementation()} {platform.python_version()}",
            "compiler": compiler_version, "packages": versions}


def seconds_text(value: float) -> str:
    if value < 1e-3:
        return f"{value * 1e6:.0f} µs"
    if value < 1.0:
        return f"{value * 1e3:.1f} ms"
    return f"{value:.2f} s"


def spread_text(values: list[float]) -> str:
    """The range of `values`, in the unit seconds_text picks for the smallest."""
    low, high = min(values), max(values)
    scale, unit = (1e6, "µs") if low < 1e-3 else (1e3, "ms") if low < 1.0 else (1.0, "s")
    return f"{low * scale:.0f}–{high * scale:.0f} {unit}"


# A peer's median that moves by more than this between two runs is reported: the machine's
# speed is not the same from one run to the next, and that shows first in the peers.
MOVED = 0.10


def moved_since(previous: dict, results: dict) -> list[dict]:
    """The medians that moved by more than MOVED since `previous`, a run of the same files."""
    before = {(entry["name"], tool): record["median"] for entry in previous.get("files", [])
              for tool, record in entry["tools"].items() if "median" in record}
    moved = []
    for entry in results["files"]:
        for tool, record in entry["tools"].items():
            old = before.get((entry["name"], tool))
            if old and "median" in record and abs(record["median"] / old - 1) > MOVED:
                moved.append({"file": entry["name"], "tool": tool, "before": old,
                              "now": record["median"], "previous_run": previous["settings"]["started"]})
    return moved


def mib(kib: int) -> float:
    return kib / 1024.0


def find(results: dict, name: str) -> dict | None:
    return next((entry for entry in results["files"] if entry["name"] == name), None)


def median_of(entry: dict | None, tool: str) -> float | None:
    if entry is None:
        return None
    return entry["tools"].get(tool, {}).get("median")


def status_of(entry: dict | None, tool: str) -> str:
    if entry is None:
        return "file not measured"
    record = entry["tools"].get(tool)
    return "not run" if record is None else record["status"]


def evaluate_targets(results: dict) -> list[tuple[str, str, str]]:
    """(target, measured, verdict) rows; verdict is met, not met or not measured."""
    rows = []
    clusters = results["settings"]["clusters"]
    headline = find(results, HEADLINE)
    ours = median_of(headline, "vertisift")
    ours_status = status_of(headline, "vertisift")

    def ratio_row(target: str, peer: str, faster: bool, limit: float) -> None:
        theirs = median_of(headline, peer)
        if ours is None or theirs is None:
            missing = ours_status if ours is None else f"{peer}: {status_of(headline, peer)}"
            rows.append((target, missing, "not measured"))
            return
        if faster:
            ratio = theirs / ours
            rows.append((target, f"{seconds_text(ours)} against {seconds_text(theirs)}: "
                         f"{ratio:.1f}× faster", "met" if ratio >= limit else "not met"))
        else:
            ratio = ours / theirs
            rows.append((target, f"{seconds_text(ours)} against {seconds_text(theirs)}: "
                         f"{ratio:.2f}×", "met" if ratio <= limit else "not met"))

    ratio_row(f"2M binary: end to end ≤ {MAX_RATIO_TO_READ} × pyvista-stl's read",
              "pyvista-stl", False, MAX_RATIO_TO_READ)
    ratio_row(f"2M binary: ≥ {MIN_SPEEDUP:.0f} × faster than trimesh", "trimesh", True,
              MIN_SPEEDUP)
    ratio_row(f"2M binary: ≥ {MIN_SPEEDUP:.0f} × faster than Open3D", "open3d", True,
              MIN_SPEEDUP)

    per_face = {}
    for entry in results["files"]:
        if entry["kind"] == "generated" and entry["format"] == "binary":
            value = median_of(entry, "vertisift")
            if value is not None:
                per_face[entry["size"]] = value / entry["faces"] * 1e9
    target = f"binary 100k to 4M: time per face within {MAX_PER_FACE_SPREAD}× (max/min)"
    if len(per_face) >= 2:
        spread = max(per_face.values()) / min(per_face.values())
        measured = ", ".join(f"{size}: {value:.0f} ns" for size, value in per_face.items())
        complete = {"100k", "4m"} <= set(per_face)
        verdict = ("met" if spread <= MAX_PER_FACE_SPREAD else "not met") if complete \
            else "not measured (needs 100k and 4m)"
        rows.append((target, f"{measured}; spread {spread:.2f}×", verdict))
    else:
        rows.append((target, "fewer than two binary sizes", "not measured"))

    target = "2M binary: peak memory ≤ pyvista-stl's (above baseline)"
    mine = (headline or {}).get("tools", {}).get("vertisift", {})
    theirs = (headline or {}).get("tools", {}).get("pyvista-stl", {})
    if "peak_kib" in mine and "peak_kib" in theirs and mine["status"] == "ok" \
            and theirs["status"] == "ok":
        ours_mib = mib(mine["peak_kib"] - mine["baseline_kib"])
        theirs_mib = mib(theirs["peak_kib"] - theirs["baseline_kib"])
        rows.append((target, f"{ours_mib:.0f} MiB against {theirs_mib:.0f} MiB "
                     f"(absolute {mib(mine['peak_kib']):.0f} against "
                     f"{mib(theirs['peak_kib']):.0f} MiB)",
                     "met" if ours_mib <= theirs_mib else "not met"))
    else:
        rows.append((target, "not both measured", "not measured"))

    target = f"ASCII: ≥ {MIN_ASCII_MB_PER_S:.0f} MB/s through the whole call (largest file)"
    ascii_files = sorted((entry for entry in results["files"]
                          if entry["kind"] == "generated" and entry["format"] == "ascii"
                          and "vertisift" in entry["tools"]), key=lambda entry: entry["bytes"])
    if ascii_files:
        largest = ascii_files[-1]
        value = median_of(largest, "vertisift")
        if value is None:
            rows.append((target, f"{largest['name']}: {status_of(largest, 'vertisift')}",
                         "not met"))
        else:
            rate = largest["bytes"] / value / 1e6
            rows.append((target, f"{largest['name']}: {rate:.0f} MB/s",
                         "met" if rate >= MIN_ASCII_MB_PER_S else "not met"))
    else:
        rows.append((target, "no generated ASCII file", "not measured"))
    if clusters != 10000:
        rows = [(f"{target} (clusters = {clusters}, targets assume 10000)", measured, verdict)
                for target, measured, verdict in rows]
    return rows


def table(header: list[str], rows: list[list[str]], right_from: int = 1) -> list[str]:
    align = ["---" if index < right_from else "---:" for index in range(len(header))]
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(align) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return lines


def ratio_text(entry: dict) -> str:
    """vertisift's median over pyvista-stl's, then the range of the ratios of the rounds (in a
    round each tool runs once, side by side)."""
    ours = entry["tools"]["vertisift"]["seconds"]
    reader = entry["tools"]["pyvista-stl"]["seconds"]
    rounds = [a / b for a, b in zip(ours, reader)]
    text = f"{median_of(entry, 'vertisift') / median_of(entry, 'pyvista-stl'):.2f}×"
    return text + (f" ({min(rounds):.2f}–{max(rounds):.2f})" if len(rounds) > 1 else "")


def render(results: dict) -> str:
    machine, settings = results["machine"], results["settings"]
    tools = settings["tools"]
    compared = [tool for tool in COMPARED if tool in tools]
    failures: list[str] = []

    def cell(entry: dict, tool: str) -> str:
        record = entry["tools"].get(tool)
        if record is None:
            return "–"
        if "median" in record:
            seconds = record["seconds"]
            return seconds_text(record["median"]) + (
                f" ({spread_text(seconds)})" if len(seconds) > 1 else "")
        failures.append(f"- {tool} on `{entry['name']}`: {record['status']}")
        return record["status"].split(":", 1)[0]

    packages = ", ".join(f"{name} {version}" for name, version in machine["packages"].items())
    other = settings["other_cores"]
    busy = (f"**shared machine**: other processes used {other:.2f} of the "
            f"{machine['logical_cores']} cores on average during the run, so the figures are "
            f"noisy" if other > 0.1 else
            f"quiet machine: other processes used {other:.2f} cores on average during the run")
    lines = [
        "# Benchmark results", "",
        f"- Machine: {machine['cpu']}, {machine['logical_cores']} logical cores, "
        f"{machine['memory_gib']} GiB memory, {machine['system']}",
        f"- {machine['python']}; compiler {machine['compiler']}; {packages}",
        f"- Run of {settings['started']}, {settings['wall_seconds'] / 60:.1f} minutes; "
        f"{busy} (load average {settings['load_before']:.2f} at the start).",
        f"- clusters = {settings['clusters']}; median of {settings['runs']} runs after "
        f"{settings['warmup']} warm-up, tools alternating; each tool in its own process; "
        f"vertisift: {settings['vertisift']} module.",
    ]
    if settings.get("note"):
        lines.append(f"- {settings['note']}")

    lines += ["", "## Targets", ""]
    lines += table(["target", "measured", "verdict"],
                   [list(row) for row in evaluate_targets(results)], right_from=3)

    lines += ["", "## Time per file (median, and range over the runs)", "",
              "vertisift: `reduce_stl_points(path, clusters)` end to end, Python lists "
              "included. pyvista-stl: read, merged vertices and faces (all cores). numpy-stl: "
              "read, triangles only. trimesh: load (merge by tolerance) and vertex normals. "
              "open3d: read, merge, vertex normals, voxel downsample to about `clusters` "
              "points. The clock stops when the call returns: freeing the result is not timed, "
              "for any tool. \"vs pyvista-stl\" is vertisift's time over pyvista-stl's read, the "
              "median and the range of that ratio within each round.",
              ""]
    header = ["file", "faces", "MB"] + compared
    if "vertisift" in compared:
        header += ["ns/face", "MB/s", "vs pyvista-stl"]
    rows = []
    for entry in results["files"]:
        row = [f"`{entry['name']}`", f"{entry['faces']:,}", f"{entry['bytes'] / 1e6:.1f}"]
        row += [cell(entry, tool) for tool in compared]
        if "vertisift" in compared:
            ours = median_of(entry, "vertisift")
            reader = median_of(entry, "pyvista-stl")
            row += ["–", "–", "–"] if ours is None else [
                f"{ours / entry['faces'] * 1e9:.0f}" if entry["faces"] else "–",
                f"{entry['bytes'] / ours / 1e6:.0f}",
                ratio_text(entry) if reader else "–"]
        rows.append(row)
    lines += table(header, rows)

    moved = results.get("moved", [])
    if moved:
        lines += ["", "## Figures that moved since the previous run", "",
                  f"Medians more than {MOVED:.0%} away from those of the run of "
                  f"{moved[0]['previous_run']} on the same files. A peer that moves says that "
                  "the machine ran at another speed; compare the ratios of one run, not "
                  "figures of two.", ""]
        lines += table(["file", "tool", "previous run", "this run"],
                       [[f"`{item['file']}`", item["tool"], seconds_text(item["before"]),
                         seconds_text(item["now"])] for item in moved], right_from=2)

    lines += ["", "## Peak resident memory", "",
              "MiB: the peak resident set of the tool's process minus its baseline (the "
              "interpreter with the tool imported, before the first run); the absolute peak "
              "in parentheses. The peak is VmHWM, which is what ru_maxrss reports for a process "
              "started from a small parent: Linux's ru_maxrss also carries the launching "
              "process's own peak across exec, and the launcher here holds the generated "
              "meshes.", ""]
    rows = []
    for entry in results["files"]:
        row = [f"`{entry['name']}`"]
        for tool in compared:
            record = entry["tools"].get(tool, {})
            if record.get("status") == "ok" and "peak_kib" in record:
                row.append(f"{mib(record['peak_kib'] - record['baseline_kib']):.0f} "
                           f"({mib(record['peak_kib']):.0f})")
            else:
                row.append("–")
        rows.append(row)
    lines += table(["file"] + compared, rows)

    for tool, title in (("stages", "default threads"), ("stages-1t", "one thread")):
        staged = [entry for entry in results["files"]
                  if "stage_median" in entry["tools"].get(tool, {})]
        if not staged:
            continue
        lines += ["", f"## Stages of reduce_stl_points ({title})", "",
                  "From the copy built with `VERTISIFT_STAGE_TIMES=ON` (build/stages): median "
                  "of each stage over the runs; result building is the end-to-end time minus "
                  "the driver's stages (argument conversion, the Python lists, the call "
                  "itself). Share of the end-to-end time in parentheses.", ""]
        rows = []
        for entry in staged:
            record = entry["tools"][tool]
            total = record["median"]
            row = [f"`{entry['name']}`"]
            row += [f"{seconds_text(record['stage_median'][key])} "
                    f"({record['stage_median'][key] / total:.0%})" for key, _ in STAGES]
            rows.append(row + [seconds_text(total)])
        lines += table(["file"] + [label for _, label in STAGES] + ["end to end"], rows)

    pairs = [(base, base + "-1t") for base in ("vertisift", "pyvista-stl", "stages")
             if base in tools and base + "-1t" in tools]
    if pairs:
        lines += ["", "## Thread scaling", "",
                  "One thread (`RAYON_NUM_THREADS=1`; pyvista-stl `threads=1`) against the "
                  f"default ({machine['logical_cores']} threads here): median times and "
                  "speed-up.", ""]
        header = ["file"]
        for base, _ in pairs:
            header += [f"{base} 1 thread", f"{base} default", "speed-up"]
        rows = []
        for entry in results["files"]:
            row = [f"`{entry['name']}`"]
            for base, single in pairs:
                one, many = median_of(entry, single), median_of(entry, base)
                row += ["–" if one is None else seconds_text(one),
                        "–" if many is None else seconds_text(many),
                        f"{one / many:.2f}×" if one and many else "–"]
            rows.append(row)
        lines += table(header, rows)
        headline = find(results, HEADLINE)
        single = (headline or {}).get("tools", {}).get("stages-1t", {})
        default = (headline or {}).get("tools", {}).get("stages", {})
        if "stage_median" in single and "stage_median" in default:
            lines += ["", f"Stages on `{HEADLINE}`, one thread against the default:", ""]
            rows = [[label, seconds_text(single["stage_median"][key]),
                     seconds_text(default["stage_median"][key]),
                     f"{single['stage_median'][key] / default['stage_median'][key]:.2f}×"
                     if default["stage_median"][key] > 0 else "–"]
                    for key, label in STAGES]
            lines += table(["stage", "1 thread", "default", "speed-up"], rows)

    if failures:
        lines += ["", "## Failures and unavailable tools", ""] + sorted(set(failures))
    return "\n".join(lines) + "\n"


def plot(results: dict, path: Path) -> bool:
    """Log-log time against faces for the generated meshes; False if there is nothing."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    generated = [entry for entry in results["files"] if entry["kind"] == "generated"]
    figure, axes = plt.subplots(figsize=(8, 5.5))
    drawn = False
    colours = dict(zip(COMPARED, ("C3", "C0", "C1", "C2", "C4")))
    for tool in COMPARED:
        for form, style in (("binary", "-"), ("ascii", "--")):
            points = sorted((entry["faces"], median_of(entry, tool)) for entry in generated
                            if entry["format"] == form and median_of(entry, tool) is not None)
            if not points:
                continue
            faces, seconds = zip(*points)
            axes.plot(faces, seconds, style, marker="o", color=colours[tool],
                      linewidth=2.5 if tool == "vertisift" else 1.5,
                      label=f"{tool} ({form})")
            drawn = True
    if not drawn:
        plt.close(figure)
        return False
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("faces")
    axes.set_ylabel("median time per call (s)")
    machine = results["machine"]
    axes.set_title(f"STL to {results['settings']['clusters']} points — {machine['cpu']}, "
                   f"{machine['logical_cores']} cores", fontsize=10)
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8, ncol=2)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return True


def main() -> int:
    source = Path(sys.argv[1])
    results = json.loads(source.read_text())
    text = render(results)
    (source.parent / "results.md").write_text(text)
    plot(results, source.parent / "time_vs_faces.png")
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
