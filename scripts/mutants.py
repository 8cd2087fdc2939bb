"""Mutation testing of the C++ sources: how many injected faults do the tests catch?

    scripts/mutants.py [--per-file N] [--seed S] [--only PATTERN] [--jobs J]
                       [--survivors-only | --report-only]

Every C++ source under src/ (found at run time, whatever its folder) is handed, in a cleaned
form, to the regular-expression mutation tool; each mutant is mapped back onto the real file
(scripts/mutant_source.py). Per file, the mutants are tried in a seeded order until N of them
have compiled (or 4N have been tried). Each mutant is written into a copy of the tree in
build/mutants/tree, never into the work tree, and followed by an incremental build of the
extension, the tools' native module and the C++ tests in build/mutants/build, the C++ tests
(ctest), then a fast subset of the pytest suite run against those two modules. A mutant that
fails to build "did not compile"; one that fails a test or runs out of time is "killed"; the
rest "survived".

tests/mutation/report.md gets the figures per folder and per file and the list of survivors;
tests/mutation/marks.txt holds a reader's verdict on survivors ("equivalent: why" or
"killed by test"), read back on every run. --report-only re-renders the report from the
last run's results (build/mutants/results.json) after marks.txt was edited.
--survivors-only repeats the last run's sample after the tests were strengthened: mutants that
run killed or that did not compile keep their outcome (a stronger test kills what it killed
before), and only the others are built and tested again.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

import mutant_source

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "mutants"
TREE = WORK / "tree"
BUILD = WORK / "build"
RESULTS = WORK / "results.json"
# The package vertisift_tools as pytest imports it: the tree's Python code beside the native
# module of BUILD, both linked, so every rebuild is seen.
PACKAGE = WORK / "package"
REPORT = ROOT / "tests" / "mutation" / "report.md"
MARKS = ROOT / "tests" / "mutation" / "marks.txt"

# What the copy of the tree needs to build the extension and run the tests.
TREE_ENTRIES = ["CMakeLists.txt", "src", "tests", "scripts", "python"]
SKIPPED_NAMES = {"__pycache__", ".pytest_cache", ".mypy_cache"}
SOURCE_SUFFIXES = {".cpp", ".cc", ".h", ".hpp"}
# Tries per file, as a multiple of the compiled mutants wanted.
TRY_FACTOR = 4

# The pytest subset: the behaviour of the extension and of the tools' sample(), broad tests
# first so that -x stops early; no memory measurements, no type checker, no command-line
# tool, no Dask.
PYTEST_FILES = ["test_reduction.py", "test_sample.py", "test_binary.py", "test_ascii.py",
                "test_arguments.py",
                "test_module.py", "test_real_files_ascii.py", "test_threads.py",
                "test_fork.py", "test_limits.py"]
PYTEST_DESELECT = "not allocation_failure_anywhere and not costs_no_memory and not long_first_line"


@dataclass
class Outcome:
    id: str
    path: str  # relative to src/
    line: int
    before: str
    after: str
    status: str  # "no-compile", "killed" or "survived"
    by: str  # what killed it, or why it did not compile
    seconds: float
    carried: bool = False  # outcome taken over from the previous run, not tried again


class Interrupted(Exception):
    pass


def on_terminate(signum, frame):
    raise Interrupted()


def run(command: list[str], cwd: Path, timeout: float, env: dict | None = None):
    """Runs `command` in its own process group; on timeout or interrupt the whole group is
    ended. Returns (exit code or None on timeout, output)."""
    process = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, errors="replace",
                               start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return None, output
    except BaseException:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise


def tool_env() -> dict:
    env = dict(os.environ)
    env["PATH"] = str(Path(sys.executable).parent) + os.pathsep + env.get("PATH", "")
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "PYTHONPATH"):
        env.pop(name, None)
    return env


def sync_tree() -> None:
    """Makes the copy match the work tree. Only files whose bytes differ are written (with a
    new modification time), so the build stays incremental."""
    wanted = set()
    for entry in TREE_ENTRIES:
        source = ROOT / entry
        paths = [source] if source.is_file() else [
            p for p in source.rglob("*")
            if p.is_file() and not SKIPPED_NAMES & set(p.relative_to(ROOT).parts)]
        for path in paths:
            relative = path.relative_to(ROOT)
            wanted.add(relative)
            copy = TREE / relative
            data = path.read_bytes()
            if not copy.is_file() or copy.read_bytes() != data:
                copy.parent.mkdir(parents=True, exist_ok=True)
                copy.write_bytes(data)
                shutil.copymode(path, copy)
    for entry in TREE_ENTRIES:
        copy_root = TREE / entry
        if copy_root.is_dir():
            for path in copy_root.rglob("*"):
                relative = path.relative_to(TREE)
                skipped = SKIPPED_NAMES & set(relative.parts)
                if path.is_file() and relative not in wanted and not skipped:
                    path.unlink()
    # The C++ tests and pytest find the real STL files beside the tree, as in a checkout.
    shared = (ROOT.parent / "shared").resolve()
    link = WORK / "shared"
    if shared.is_dir() and not link.exists():
        link.symlink_to(shared)


def link_tools_package() -> None:
    """PACKAGE/vertisift_tools: a link to each entry of the tree's package, and to the native
    module that BUILD holds."""
    package = PACKAGE / "vertisift_tools"
    if package.exists():
        shutil.rmtree(package)
    package.mkdir(parents=True)
    for entry in (TREE / "python" / "vertisift_tools").iterdir():
        if entry.name not in SKIPPED_NAMES:
            (package / entry.name).symlink_to(entry)
    for native in BUILD.glob("_native.*.so"):
        (package / native.name).symlink_to(native)


def discover_sources(only: str | None) -> list[Path]:
    """The C++ sources under src/, relative to it."""
    sources = sorted(p.relative_to(ROOT / "src") for p in (ROOT / "src").rglob("*")
                     if p.is_file() and p.suffix in SOURCE_SUFFIXES)
    if only:
        sources = [p for p in sources if re.search(only, str(p))]
    return sources


class Runner:
    def __init__(self, jobs: int, timeout: float | None):
        self.jobs = jobs
        self.env = tool_env()
        self.timeout = timeout or 0.0

    def configure(self) -> None:
        code, output = run(["cmake", "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=Release", "-DVERTISIFT_BUILD_TESTS=ON",
                            # Tests are listed when ctest runs, so a mutant that breaks the
                            # listing is caught by the tests, not taken for a build failure.
                            "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST",
                            f"-DPython_EXECUTABLE={sys.executable}"], ROOT, 600, self.env)
        if code != 0:
            sys.exit(f"configuring {BUILD} failed:\n{output}")

    def build(self, timeout: float):
        return run(["cmake", "--build", str(BUILD), "-j", str(self.jobs)], ROOT, timeout, self.env)

    def ctest(self, timeout: float):
        return run(["ctest", "--test-dir", str(BUILD), "-j", str(self.jobs), "--stop-on-failure",
                    "--timeout", str(max(30, timeout / 2))], ROOT, timeout, self.env)

    def pytest(self, timeout: float):
        link_tools_package()
        env = dict(self.env)
        env["PYTHONPATH"] = os.pathsep.join([str(BUILD), str(PACKAGE)])
        # The conftest refuses to run against any other copy of the extension.
        env["VERTISIFT_TEST_BUILD"] = str(BUILD)
        return run([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                    "--tb=no", "-rfE", "-m", "not slow", "-k", PYTEST_DESELECT, *PYTEST_FILES],
                   TREE / "tests", timeout, env)

    def baseline(self) -> dict:
        """Builds and tests the unmutated copy: everything must pass, and the times set the
        per-mutant time limit."""
        times = {}
        started = time.monotonic()
        code, output = self.build(3600)
        times["build"] = time.monotonic() - started
        if code != 0:
            sys.exit(f"the unmutated tree does not build:\n{output[-4000:]}")
        for name, step in (("ctest", self.ctest), ("pytest", self.pytest)):
            started = time.monotonic()
            code, output = step(1800)
            times[name] = time.monotonic() - started
            if code != 0:
                sys.exit(f"{name} fails on the unmutated tree:\n{output[-4000:]}")
        probe = ("import vertisift, vertisift_tools._native as native\n"
                 "print(vertisift.__file__)\nprint(native.__file__)")
        code, output = run([sys.executable, "-c", probe], TREE / "tests", 60,
                           dict(self.env, PYTHONPATH=os.pathsep.join([str(BUILD), str(PACKAGE)])))
        if code != 0:
            sys.exit(f"the modules of {BUILD} cannot be imported:\n{output[-4000:]}")
        for module, path in zip(("vertisift", "vertisift_tools._native"), output.split(),
                                strict=True):
            if not Path(path).resolve().is_relative_to(BUILD.resolve()):
                sys.exit(f"pytest would import {module} from {path}, not from {BUILD}")
        if not self.timeout:
            self.timeout = 3 * (times["ctest"] + times["pytest"]) + 60
        return times

    def test(self) -> tuple[str, str]:
        """(status, by) of the tree as it is now."""
        code, output = self.build(600)
        if code != 0:
            return "no-compile", "build timed out" if code is None else first_error(output)
        code, output = self.ctest(self.timeout)
        if code != 0:
            return "killed", "timeout (ctest)" if code is None else "ctest: " + failed_ctest(output)
        code, output = self.pytest(self.timeout)
        if code != 0:
            if code is None:
                return "killed", "timeout (pytest)"
            return "killed", "pytest: " + failed_pytest(output, code)
        return "survived", ""


def first_error(output: str) -> str:
    for line in output.splitlines():
        if "error:" in line:
            return line.split("error:", 1)[1].strip()[:120]
    return "build failed"


def failed_ctest(output: str) -> str:
    names = re.findall(r"^\s*\d+ - (\S+) \(([^)]*)\)", output, re.MULTILINE)
    if names:
        return ", ".join(f"{name} ({why})" for name, why in names[:2])
    return "failed"


def failed_pytest(output: str, code: int) -> str:
    names = re.findall(r"^(?:FAILED|ERROR) (\S+)", output, re.MULTILINE)
    if names:
        return names[0]
    return f"crashed (exit {code})" if code < 0 or code > 1 else "failed"


def mutate_file(runner: Runner, relative: Path, per_file: int, seed: str,
                outcomes: list[Outcome], notes: dict, settled: dict[str, Outcome]) -> None:
    """Tries the mutants of one file in their seeded order until `per_file` have compiled.
    A mutant in `settled` (killed or not compiling in the previous run) keeps that outcome."""
    real = ROOT / "src" / relative
    copy = TREE / "src" / relative
    source = real.read_text()
    mutants, clean = mutant_source.mutants_of(relative.name, source)
    mutated_lines = {m.line for m in mutants}
    notes["files"][str(relative)] = {
        "code_lines": sum(mutant_source.is_mutable(c.text) for c in clean),
        "unmutated": [(n, clean[n - 1].text.strip())
                      for n in mutant_source.unmutated_lines(clean, mutated_lines)],
        "raw_unmutated": len(mutant_source.unmutated_lines(
            clean, mutant_source.raw_mutated_lines(source))),
        "mutants": len(mutants),
    }
    unchanged = mutant_source.clean_text(source)
    compiled = tried = 0
    try:
        for mutant in mutant_source.sample_order(mutants, seed):
            if compiled >= per_file or tried >= TRY_FACTOR * per_file:
                break
            text = mutant_source.apply(source, clean, mutant)
            if text is None or mutant_source.clean_text(text) == unchanged:
                continue  # not spliced faithfully, or only blanks changed
            tried += 1
            if mutant.id in settled:
                outcome = Outcome(**{**asdict(settled[mutant.id]), "line": mutant.line,
                                     "carried": True})
                outcomes.append(outcome)
                compiled += outcome.status != "no-compile"
                continue
            copy.write_text(text)
            started = time.monotonic()
            status, by = runner.test()
            outcome = Outcome(mutant.id, str(relative), mutant.line,
                              mutant_source.describe(mutant.clean_before),
                              mutant_source.describe(mutant.clean_after), status, by,
                              round(time.monotonic() - started, 1))
            outcomes.append(outcome)
            compiled += status != "no-compile"
            print(f"  {relative}:{mutant.line} {status:10} {outcome.seconds:5.1f}s  "
                  f"{outcome.after[:70]}  {by[:60]}", flush=True)
    finally:
        copy.write_text(source)


def read_marks() -> dict[str, str]:
    """id -> mark, from lines "id | mark | anything" (the last part is for the reader)."""
    marks = {}
    if MARKS.is_file():
        for line in MARKS.read_text().splitlines():
            if line.strip() and not line.lstrip().startswith("#"):
                parts = [part.strip() for part in line.split("|")]
                if len(parts) >= 2 and parts[1]:
                    marks[parts[0]] = parts[1]
    return marks


def folder_of(path: str) -> str:
    parts = Path(path).parts
    return parts[0] + "/" if len(parts) > 1 else "(src)"


def rate(killed: int, total: int) -> str:
    return f"{100 * killed / total:.0f} %" if total else "–"


def cell(text: str) -> str:
    return "`" + text.replace("|", "\\|").replace("`", "'") + "`" if text else ""


def render(data: dict) -> str:
    marks = read_marks()

    def marked(raw: list[dict]) -> list[Outcome]:
        outcomes = [Outcome(**o) for o in raw]
        for o in outcomes:
            if o.status == "survived" and marks.get(o.id, "").startswith("equivalent"):
                o.status = "equivalent"
        return outcomes

    outcomes = marked(data["outcomes"])

    def figures(group: list[Outcome]) -> list[str]:
        count = {s: sum(o.status == s for o in group)
                 for s in ("no-compile", "killed", "survived", "equivalent")}
        compiled = len(group) - count["no-compile"]
        return [str(len(group)), str(compiled), str(count["killed"]), str(count["survived"]),
                str(count["equivalent"]),
                rate(count["killed"], count["killed"] + count["survived"])]

    head = "| tried | compiled | killed | survived | equivalent | killed of non-equivalent |"
    rule = "|---:|---:|---:|---:|---:|---:|"
    timing = data["timing"]
    tried_now = [o for o in outcomes if not o.carried]
    compiled_times = [o.seconds for o in tried_now if o.status != "no-compile"]
    failed_times = [o.seconds for o in tried_now if o.status == "no-compile"]
    carried = len(outcomes) - len(tried_now)
    lines = [
        "# Mutation testing",
        "",
        "Written by `make mutants` (scripts/mutants.py); do not edit by hand: verdicts on",
        "survivors go in `tests/mutation/marks.txt`, then `make mutants-report` re-renders this.",
        "",
        f"Sample: up to {data['per_file']} compiling mutants per file, seed {data['seed']}"
        + (f", files matching `{data['only']}`" if data.get("only") else "")
        + f"; commit {data['commit']}.",
        f"Time: {timing['total'] / 60:.1f} min in all; baseline build {timing['build']:.0f} s, "
        f"ctest {timing['ctest']:.1f} s, pytest subset {timing['pytest']:.1f} s; "
        f"per compiling mutant {avg(compiled_times):.1f} s, per mutant that did not compile "
        f"{avg(failed_times):.1f} s."
        + (f" {carried} outcomes (killed, or did not compile) were taken over from the previous "
           "run of the same sample, only the others tried again." if carried else ""),
        "",
        "## Per folder",
        "",
    ]

    def folder_table(group: list[Outcome], files: dict) -> list[str]:
        rows = ["| folder | files " + head, "|---|---:" + rule]
        by_folder: dict[str, list[Outcome]] = {}
        for o in group:
            by_folder.setdefault(folder_of(o.path), []).append(o)
        files_in: dict[str, list[str]] = {}
        for path in files:
            files_in.setdefault(folder_of(path), []).append(path)
        for folder in sorted(files_in):
            rows.append(f"| {folder} | {len(files_in[folder])} | "
                        + " | ".join(figures(by_folder.get(folder, []))) + " |")
        rows.append(f"| all | {len(files)} | " + " | ".join(figures(group)) + " |")
        return rows

    lines += folder_table(outcomes, data["files"])
    if "before" in data:
        before = data["before"]
        lines += ["", f"Before: the same sample on commit {before['commit']}, the tests as they "
                  "were then (equivalent mutants marked as above):", ""]
        lines += folder_table(marked(before["outcomes"]), before["files"])
    lines += [
        "",
        "## Per file",
        "",
        "Code lines: lines holding code; every one of them must get mutants, and the last column",
        "shows how many the tool would leave out if it were given the file as it is.",
        "",
        "| file | mutants | code lines " + head + " left out when raw |",
        "|---|---:|---:" + rule + "---:|",
    ]
    for path, info in sorted(data["files"].items()):
        group = [o for o in outcomes if o.path == path]
        lines.append(f"| {path} | {info['mutants']} | {info['code_lines']} | "
                     + " | ".join(figures(group)) + f" | {info['raw_unmutated']} |")
    unmutated = [(path, n, text) for path, info in sorted(data["files"].items())
                 for n, text in info["unmutated"]]
    if unmutated:
        lines += ["", "## Lines the tool did not mutate", "",
                  "| file | line | code |", "|---|---:|---|"]
        lines += [f"| {path} | {n} | {cell(text)} |" for path, n, text in unmutated]
    survivors = [o for o in outcomes if o.status in ("survived", "equivalent")]
    lines += [
        "",
        "## Survivors",
        "",
        "Each survivor is a fault no test noticed: kill it with a better test, or explain why it",
        "cannot change behaviour. Either way, write the verdict in marks.txt as",
        "`id | killed by <test>` or `id | equivalent: <why>`.",
        "",
        "| id | file:line | code | mutant | verdict |",
        "|---|---|---|---|---|",
    ]
    for o in sorted(survivors, key=lambda o: (o.path, o.line)):
        verdict = marks.get(o.id, "")
        if o.status == "survived" and verdict.startswith("killed by"):
            verdict += " (but it survived this run)"
        lines.append(
            f"| {o.id} | {o.path}:{o.line} | {cell(o.before)} | {cell(o.after)} | {verdict} |")
    if not survivors:
        lines.append("| | | | | |")
    lines.append("")
    return "\n".join(lines)


def avg(values: list[float]) -> float:
    return sum(values) / len(values) if values else 0.0


def commit() -> str:
    code, output = run(["git", "rev-parse", "--short", "HEAD"], ROOT, 30)
    return output.strip() if code == 0 else "unknown"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--per-file", type=int, default=int(os.environ.get("MUTANTS_PER_FILE", 10)),
                        help="compiling mutants per file (default 10, or MUTANTS_PER_FILE)")
    parser.add_argument("--seed", default=os.environ.get("MUTANTS_SEED", "1"),
                        help="the sample's seed (default 1, or MUTANTS_SEED)")
    parser.add_argument("--only",
                        help="only the sources under src/ whose path matches this pattern")
    parser.add_argument("--jobs", type=int, default=2, help="parallel build and ctest jobs")
    parser.add_argument("--timeout", type=float,
                        help="seconds allowed to ctest, and to pytest, per mutant "
                             "(default: three times the unmutated run, plus a minute)")
    parser.add_argument("--report-only", action="store_true",
                        help="re-render the report from the last run and the current marks")
    parser.add_argument("--survivors-only", action="store_true",
                        help="the last run's sample again (its count, seed and files), trying only "
                             "the mutants that it did not kill")
    args = parser.parse_args()

    if args.report_only:
        if not RESULTS.is_file():
            print(f"no results yet: run `make mutants` first ({RESULTS} is missing)",
                  file=sys.stderr)
            return 1
        REPORT.write_text(render(json.loads(RESULTS.read_text())))
        print(f"wrote {REPORT.relative_to(ROOT)}")
        return 0

    settled: dict[str, Outcome] = {}
    if args.survivors_only:
        if not RESULTS.is_file():
            print(f"no previous run to repeat ({RESULTS} is missing)", file=sys.stderr)
            return 1
        previous = json.loads(RESULTS.read_text())
        args.per_file, args.seed = previous["per_file"], previous["seed"]
        args.only = previous["only"]
        settled = {o["id"]: Outcome(**o) for o in previous["outcomes"]
                   if o["status"] in ("killed", "no-compile")}

    signal.signal(signal.SIGTERM, on_terminate)
    started = time.monotonic()
    sources = discover_sources(args.only)
    if not sources:
        print("no C++ sources found", file=sys.stderr)
        return 1
    WORK.mkdir(parents=True, exist_ok=True)
    outcomes: list[Outcome] = []
    notes: dict = {"files": {}}
    try:
        sync_tree()
        runner = Runner(args.jobs, args.timeout)
        runner.configure()
        timing = runner.baseline()
        print(f"baseline: build {timing['build']:.0f} s, ctest {timing['ctest']:.1f} s, pytest "
              f"{timing['pytest']:.1f} s; time limit {runner.timeout:.0f} s per test step",
              flush=True)
        for relative in sources:
            print(relative, flush=True)
            mutate_file(runner, relative, args.per_file, args.seed, outcomes, notes, settled)
    except (KeyboardInterrupt, Interrupted):
        print(f"\ninterrupted after {len(outcomes)} mutants; the report is left as it was "
              "(the work tree was never changed)", file=sys.stderr)
        return 130
    timing["total"] = time.monotonic() - started
    data = {"per_file": args.per_file, "seed": args.seed, "only": args.only, "commit": commit(),
            "timing": timing, "files": notes["files"], "outcomes": [asdict(o) for o in outcomes]}
    if args.survivors_only:
        data["before"] = {key: previous[key] for key in ("commit", "files", "outcomes")}
    RESULTS.write_text(json.dumps(data, indent=1, ensure_ascii=False))
    REPORT.parent.mkdir(parents=True, exist_ok=True)
    REPORT.write_text(render(data))
    print(f"wrote {REPORT.relative_to(ROOT)} ({timing['total'] / 60:.1f} min)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
