"""Repeated calls in one process, the way a dataset loop makes them, against the peers.

    python bench/calls_bench.py [--sessions 2] [--rounds 5] [--calls 2] [--out DIR]

Each session is a fresh process that imports every tool and takes the first call of each
separately (a fresh process pays for its imports' first use and for memory it has not touched
yet); then the tools take turns, `--calls` calls each per round, the order rotated from round
to round, so that a slow spell of the machine hits them alike. Per tool the report gives the
median, the range, and the median (and range) of its ratio to the reference called in the
same round; a peer whose median moves by more than a tenth between sessions is marked, since
this machine's speed is not the same from minute to minute. Tools:

- reduce: `vertisift.reduce_stl_points(path, 10_000)`, end to end;
- pyvista-stl, pyvista-stl-1t: `pyvista_stl.read(path, threads=0)` (all cores) and `threads=1`;
- sample-surface: `vertisift_tools.sample(path, 10_000, method="surface", seed=1)`;
- openstl: `openstl.read(path)`, the bare triangles (binary files only).

Then two Python threads, each calling `sample(..., method="surface")` on a file of its own,
against one thread calling both in turn; the seeded results must equal single calls.
Files: the 2M binary and 1M ASCII tori of bench/data (written when missing).
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path
from statistics import median

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import meshes  # noqa: E402
from worker import seconds_at_once  # noqa: E402

FILES = [("2m", "binary"), ("1m", "ascii")]
REFERENCE = "pyvista-stl"
MOVED = 0.10
POINTS = 10_000


def tool_calls() -> dict:
    """The tools that import, by name: a function of the path."""
    calls = {}
    import vertisift
    import vertisift_tools

    calls["reduce"] = lambda path: vertisift.reduce_stl_points(path, POINTS)
    calls["sample-surface"] = lambda path: vertisift_tools.sample(
        path, POINTS, method="surface", seed=1)
    try:
        import pyvista_stl

        calls["pyvista-stl"] = lambda path: pyvista_stl.read(path, threads=0)
        calls["pyvista-stl-1t"] = lambda path: pyvista_stl.read(path, threads=1)
    except ImportError:
        pass
    try:
        import openstl

        if hasattr(openstl, "set_activate_overflow_safety"):
            openstl.set_activate_overflow_safety(False)  # it refuses a 2M-face file otherwise
        calls["openstl"] = openstl.read
    except ImportError:
        pass
    return calls


def timed(call, path: str) -> float:
    start = time.perf_counter()
    result = call(path)
    elapsed = time.perf_counter() - start
    del result
    return elapsed


def two_threads(path_a: str, path_b: str, rounds: int) -> dict:
    """One thread sampling both files in turn against two threads, one file each."""
    import numpy as np

    import vertisift_tools

    def draw(path: str):
        return vertisift_tools.sample(path, POINTS, method="surface", seed=7)

    alone = {path: draw(path) for path in (path_a, path_b)}
    one, two, identical = [], [], True
    for _ in range(rounds):
        start = time.perf_counter()
        draw(path_a)
        draw(path_b)
        one.append(time.perf_counter() - start)
        found: dict = {}

        def keep(path: str, into: dict = found) -> None:
            into[path] = draw(path)

        two.append(seconds_at_once(keep, (path_a, path_b)))
        identical &= all(np.array_equal(a, b) for path in alone
                         for a, b in zip(alone[path], found[path]))
    return {"one": one, "two": two, "identical": identical}


def session(paths: list[str], rounds: int, calls: int, second: str) -> dict:
    """One fresh process's measurements (run in the child)."""
    tools = tool_calls()
    out: dict = {"first": {}, "times": {}}
    for path in paths:
        names = [name for name in tools if not (name == "openstl" and "ascii" in path)]
        first = {name: timed(tools[name], path) for name in names}
        times: dict[str, list[float]] = {name: [] for name in names}
        rounds_by_tool: dict[str, list[float]] = {name: [] for name in names}
        ratios: dict[str, list[float]] = {name: [] for name in names}
        for r in range(rounds):
            order = names[r % len(names):] + names[:r % len(names)]
            for name in order:
                spent = [timed(tools[name], path) for _ in range(calls)]
                times[name] += spent
                rounds_by_tool[name].append(median(spent))
            if REFERENCE in tools:
                for name in names:
                    ratios[name].append(rounds_by_tool[name][-1] / rounds_by_tool[REFERENCE][-1])
        out["first"][path] = first
        out["times"][path] = {"seconds": times, "ratios": ratios}
    out["threads"] = two_threads(paths[0], second, rounds)
    return out


def spread(values: list[float], scale: float = 1e3, digits: int = 1) -> str:
    return (f"{median(values) * scale:.{digits}f} ({min(values) * scale:.{digits}f}–"
            f"{max(values) * scale:.{digits}f})")


def render(paths: list[Path], sessions: list[dict], rounds: int, calls: int) -> str:
    lines = ["# Repeated calls in one process\n",
             f"{len(sessions)} sessions (fresh processes), {rounds} rounds of {calls} calls per "
             "tool each, tools alternating. Times in ms: median (range) over every call of every "
             f"session; \"× {REFERENCE}\" is the ratio to {REFERENCE} called in the same round. "
             f"A ‡ marks a median that moved by more than {MOVED:.0%} between sessions.\n"]
    for path in paths:
        key = str(path)
        size_mb = path.stat().st_size / 1e6
        lines += [f"\n## `{path.name}` ({size_mb:.0f} MB)\n",
                  f"| tool | first call | repeated calls | per session | × {REFERENCE} | MB/s |",
                  "|---|---:|---:|---:|---:|---:|"]
        names = list(sessions[0]["times"][key]["seconds"])
        for name in names:
            every = [t for s in sessions for t in s["times"][key]["seconds"][name]]
            medians = [median(s["times"][key]["seconds"][name]) for s in sessions]
            moved = max(medians) / min(medians) - 1 > MOVED
            per_session = " / ".join(f"{m * 1e3:.1f}" for m in medians) + (" ‡" if moved else "")
            ratios = [q for s in sessions for q in s["times"][key]["ratios"][name]]
            ratio = (f"{median(ratios):.2f} ({min(ratios):.2f}–{max(ratios):.2f})"
                     if ratios else "–")
            firsts = [s["first"][key][name] * 1e3 for s in sessions]
            first = " / ".join(f"{f:.0f}" for f in firsts)
            lines.append(f"| {name} | {first} | {spread(every)} | {per_session} | {ratio} | "
                         f"{size_mb / median(every):.0f} |")
    lines += ["\n## Two Python threads, each sampling a file of its own\n",
              "`sample(path, 10_000, method=\"surface\", seed=7)` on two 2M-face binary files: one "
              "thread calling both in turn against two threads at once (ms, median and range).\n",
              "| session | one thread, both files | two threads | speed-up | seeded results as alone |",
              "|---|---:|---:|---:|---|"]
    for number, s in enumerate(sessions, 1):
        one, two = s["threads"]["one"], s["threads"]["two"]
        lines.append(f"| {number} | {spread(one)} | {spread(two)} | "
                     f"{median(one) / median(two):.2f}× | "
                     f"{'identical' if s['threads']['identical'] else 'DIFFERENT'} |")
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sessions", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--calls", type=int, default=2)
    parser.add_argument("--out", type=Path, help="writes DIR/calls.md")
    parser.add_argument("--session", nargs=3, help=argparse.SUPPRESS)  # PATHS SECOND JSON
    args = parser.parse_args()
    if args.session:
        paths, second, target = args.session
        result = session(paths.split(","), args.rounds, args.calls, second)
        Path(target).write_text(json.dumps(result))
        return 0
    data = HERE / "data"
    paths = [meshes.ensure_mesh(data, size, form) for size, form in FILES]
    second = data / "torus-2m-binary-copy.stl"
    if not second.exists() or second.stat().st_size != paths[0].stat().st_size:
        second.write_bytes(paths[0].read_bytes())
    sessions = []
    for number in range(args.sessions):
        target = data / f".calls-session-{number}.json"
        subprocess.run([sys.executable, __file__, "--rounds", str(args.rounds), "--calls",
                        str(args.calls), "--session", ",".join(map(str, paths)), str(second),
                        str(target)], check=True)
        sessions.append(json.loads(target.read_text()))
        target.unlink()
    text = render(paths, sessions, args.rounds, args.calls)
    print(text)
    if args.out:
        args.out.mkdir(parents=True, exist_ok=True)
        (args.out / "calls.md").write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
