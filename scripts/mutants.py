"""Mutation testing of the C++ sources and the Python package: how many injected faults do
the tests catch?

    scripts/mutants.py [--per-file N] [--seed S] [--only PATTERN]... [--jobs J]
                       [--survivors-only | --report-only]

Every C++ source under src/ and every Python module under python/ (found at run time, whatever
its folder) is handed, in a cleaned form, to the regular-expression mutation tool; each mutant
is mapped back onto the real file (scripts/mutant_source.py). Per file, the mutants are tried
in a seeded order until N of them have compiled (or 4N have been tried). Each mutant is
written into a copy of the tree in build/mutants/tree, never into the work tree nor into an
installed package. A C++ mutant is followed by an incremental build of the extension, the
tools' native module and the C++ tests in build/mutants/build, the C++ tests (ctest), then a
fast subset of the pytest suite run against those two modules. A Python mutant that is no
valid Python, or compiles to the same code, is no mutant and not tried; the others meet the
pytest files that exercise the package, against a package made of links to the tree's
modules. A mutant that fails to build "did not compile"; one that fails a test or runs out of
time is "killed"; the rest "survived".

The outcomes are kept per folder in tests/mutation/results/, so runs over different folders
add up; a run replaces the results of the files it tried. tests/mutation/report.md gets the
figures per folder and per file and the list of survivors; tests/mutation/marks.txt holds a
reader's verdict on survivors ("equivalent: why" or "killed by test"), read back on every
run. --report-only re-renders the report from the kept results after marks.txt was edited.
--survivors-only repeats the kept sample of each file (its count and seed) after the tests
were strengthened: mutants that were killed or that did not compile keep their outcome (a
stronger test kills what it killed before), and only the others are tried again.
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
# The package vertisift_tools as pytest imports it: links to the tree's modules, in folders
# of its own (so that their compiled forms are made again for every run), and to the native
# module of BUILD, so every rebuild and every mutant is seen.
PACKAGE = WORK / "package"
MUTATION = ROOT / "tests" / "mutation"
RESULTS = MUTATION / "results"
REPORT = MUTATION / "report.md"
MARKS = MUTATION / "marks.txt"

# What the copy of the tree needs to build the extension and run the tests (one of which
# runs the README's loader).
TREE_ENTRIES = ["CMakeLists.txt", "README.md", "src", "tests", "scripts", "python"]
SKIPPED_NAMES = {"__pycache__", ".pytest_cache", ".mypy_cache"}
# The mutated sources: the folder, and the suffixes of the files in it.
SOURCE_FOLDERS = {"src": {".cpp", ".cc", ".h", ".hpp"}, "python": {".py"}}
# Tries per file, as a multiple of the compiled mutants wanted.
TRY_FACTOR = 4

# The pytest subset for C++ mutants: the behaviour of the extension and of the tools'
# sample() with its colours, and the recorded seeded outputs and error texts (the digests),
# broad tests first so that -x stops early; no memory measurements, no type checker, no
# command-line tool but the colours' one test, no Dask. The calls under a shrinking memory
# limit stay (9 s): only they reach the paths taken when memory runs out.
PYTEST_FILES = ["test_reduction.py", "test_sample.py", "test_colors.py", "test_textures.py",
                "test_gltf.py", "test_digests.py", "test_binary.py",
                "test_ascii.py", "test_arguments.py", "test_module.py",
                "test_real_files_ascii.py", "test_threads.py", "test_fork.py", "test_limits.py"]
PYTEST_DESELECT = "not costs_no_memory and not long_first_line"
# The pytest subset for Python mutants: every file that exercises the package, broad and
# fast ones first. For each module, the files that name it run first and whole; the others
# follow without their slow tests (the Dask clusters), which only the modules they name get.
PYTHON_TEST_FILES = ["test_digests.py", "test_dataset.py", "test_clouds.py", "test_cli.py",
                     "test_cli_sampling.py", "test_cli_mistakes.py", "test_shards.py",
                     "test_sample.py", "test_colors.py", "test_textures.py", "test_gltf.py",
                     "test_even_sampling.py", "test_mesh_formats.py",
                     "test_real_meshes.py", "test_module.py", "test_limits.py",
                     "test_threads.py", "test_dask.py"]
# The two modules the pytest runs import; the C++ tests are only built for C++ mutants.
MODULE_TARGETS = ["vertisift", "vertisift_tools_native"]


@dataclass
class Outcome:
    id: str
    path: str  # relative to the repository
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
    """PACKAGE/vertisift_tools: a link to each file of the tree's package, in real folders,
    and to the native module that BUILD holds. Made anew for every pytest run: Python keeps
    a module's compiled form beside the path it imported, and a mutant written in the same
    second as the code before it, with the same size, would otherwise pass for it."""
    package = PACKAGE / "vertisift_tools"
    if package.exists():
        shutil.rmtree(package)
    package.mkdir(parents=True)
    source = TREE / "python" / "vertisift_tools"
    for path in sorted(source.rglob("*")):
        relative = path.relative_to(source)
        if path.is_file() and not SKIPPED_NAMES & set(relative.parts):
            (package / relative).parent.mkdir(parents=True, exist_ok=True)
            (package / relative).symlink_to(path)
    for native in BUILD.glob("_native.*.so"):
        (package / native.name).symlink_to(native)


def discover_sources(only: list[str] | None) -> list[Path]:
    """The mutated sources, relative to the repository: those whose path matches one of the
    patterns of `only`, or all of them."""
    sources = sorted(p.relative_to(ROOT) for folder, suffixes in SOURCE_FOLDERS.items()
                     for p in (ROOT / folder).rglob("*")
                     if p.is_file() and p.suffix in suffixes
                     and not SKIPPED_NAMES & set(p.relative_to(ROOT).parts))
    if only:
        sources = [p for p in sources if any(re.search(pattern, str(p)) for pattern in only)]
    return sources


def is_python(relative: Path) -> bool:
    return relative.suffix == ".py"


def id_name(relative: Path) -> str:
    """The name a mutant's id is made from: the file name, with its folder for a package's
    `__init__.py` or `__main__.py`, which many folders have."""
    if relative.name.startswith("__"):
        return f"{relative.parent.name}/{relative.name}"
    return relative.name


def module_name(relative: Path) -> str:
    """python/vertisift_tools/batching/pool.py -> vertisift_tools.batching.pool."""
    parts = relative.relative_to("python").with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def names_module(test_file: Path, module: str) -> bool:
    """Whether a test file exercises `module` by name: it spells the module's dotted name,
    imports the module from its package, or is named after it."""
    text = test_file.read_text()
    package, _, stem = module.rpartition(".")
    return (re.search(rf"\b{re.escape(module)}\b", text) is not None
            or re.search(rf"from {re.escape(package)} import [^\n]*\b{stem}\b", text) is not None
            or test_file.stem == f"test_{stem}")


class Runner:
    def __init__(self, jobs: int, timeout: float | None):
        self.jobs = jobs
        self.env = tool_env()
        self.timeout = timeout or 0.0
        self.python_timeout = timeout or 0.0

    def configure(self) -> None:
        code, output = run(["cmake", "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=Release", "-DVERTISIFT_BUILD_TESTS=ON",
                            # Tests are listed when ctest runs, so a mutant that breaks the
                            # listing is caught by the tests, not taken for a build failure.
                            "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST",
                            f"-DPython_EXECUTABLE={sys.executable}"], ROOT, 600, self.env)
        if code != 0:
            sys.exit(f"configuring {BUILD} failed:\n{output}")

    def build(self, timeout: float, targets: list[str] | None = None):
        command = ["cmake", "--build", str(BUILD), "-j", str(self.jobs)]
        if targets:
            command += ["--target", *targets]
        return run(command, ROOT, timeout, self.env)

    def ctest(self, timeout: float):
        return run(["ctest", "--test-dir", str(BUILD), "-j", str(self.jobs), "--stop-on-failure",
                    "--timeout", str(max(30, timeout / 2))], ROOT, timeout, self.env)

    def pytest(self, timeout: float, files: list[str] | None = None, marks: str = "not slow"):
        """The given test files (the C++ subset by default), stopping at the first failure;
        `marks` selects by marker ("" for all)."""
        link_tools_package()
        env = dict(self.env)
        env["PYTHONPATH"] = os.pathsep.join([str(BUILD), str(PACKAGE)])
        # The conftest refuses to run against any other copy of the extension.
        env["VERTISIFT_TEST_BUILD"] = str(BUILD)
        return run([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                    "--tb=no", "-rfE", *(["-m", marks] if marks else []), "-k", PYTEST_DESELECT,
                    *(files or PYTEST_FILES)], TREE / "tests", timeout, env)

    def baseline(self, cpp: bool, python: bool) -> dict:
        """Builds and tests the unmutated copy: everything the mutants will meet must pass, and
        the times set the per-mutant time limits."""
        times = {}
        started = time.monotonic()
        code, output = self.build(3600, None if cpp else MODULE_TARGETS)
        times["build"] = time.monotonic() - started
        if code != 0:
            sys.exit(f"the unmutated tree does not build:\n{output[-4000:]}")
        steps = []
        if cpp:
            steps += [("ctest", self.ctest), ("pytest", self.pytest)]
        if python:
            steps.append(("python", lambda timeout: self.pytest(timeout, PYTHON_TEST_FILES, "")))
        for name, step in steps:
            started = time.monotonic()
            code, output = step(1800)
            times[name] = time.monotonic() - started
            if code != 0:
                sys.exit(f"{name} tests fail on the unmutated tree:\n{output[-4000:]}")
        self.check_imports()
        if not self.timeout and cpp:
            self.timeout = 3 * (times["ctest"] + times["pytest"]) + 60
        if not self.python_timeout and python:
            self.python_timeout = 3 * times["python"] + 60
        return times

    def check_imports(self) -> None:
        """pytest must import the extension and the native module from BUILD, and the package
        from PACKAGE, whose modules are those of the tree: not an installed copy."""
        link_tools_package()
        probe = ("import vertisift, vertisift_tools, vertisift_tools._native as native\n"
                 "import vertisift_tools.batching.pool as pool\n"
                 "print(vertisift.__file__)\nprint(native.__file__)\n"
                 "print(vertisift_tools.__file__)\nprint(pool.__file__)")
        code, output = run([sys.executable, "-c", probe], TREE / "tests", 60,
                           dict(self.env, PYTHONPATH=os.pathsep.join([str(BUILD), str(PACKAGE)])))
        if code != 0:
            sys.exit(f"the modules of {BUILD} cannot be imported:\n{output[-4000:]}")
        expected = [("vertisift", BUILD), ("vertisift_tools._native", BUILD),
                    ("vertisift_tools", TREE / "python"),
                    ("vertisift_tools.batching.pool", TREE / "python")]
        for (module, folder), path in zip(expected, output.split(), strict=True):
            if not Path(path).resolve().is_relative_to(folder.resolve()):
                sys.exit(f"pytest would import {module} from {path}, not from {folder}")

    def test(self) -> tuple[str, str]:
        """(status, by) of the tree as it is now, after a change to the C++ sources."""
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

    def test_python(self, relative: Path) -> tuple[str, str]:
        """(status, by) of the tree as it is now, after a change to the module `relative`."""
        module = module_name(relative)
        named = [name for name in PYTHON_TEST_FILES
                 if names_module(TREE / "tests" / name, module)]
        others = [name for name in PYTHON_TEST_FILES if name not in named]
        for files, marks in ((named, ""), (others, "not slow")):
            if not files:
                continue
            code, output = self.pytest(self.python_timeout, files, marks)
            if code is None:
                return "killed", "timeout (pytest)"
            # 5: every test of these files deselected.
            if code not in (0, 5):
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
                outcomes: list[Outcome], files: dict, settled: dict[str, Outcome]) -> None:
    """Tries the mutants of one file in their seeded order until `per_file` have compiled.
    A mutant in `settled` (killed or not compiling in the previous run) keeps that outcome."""
    real = ROOT / relative
    copy = TREE / relative
    source = real.read_text()
    language = mutant_source.language_of(relative.name)
    mutants, clean = mutant_source.mutants_of(id_name(relative), source)
    mutated_lines = {m.line for m in mutants}
    files[str(relative)] = {
        "code_lines": sum(mutant_source.is_mutable(c.text, language) for c in clean),
        "unmutated": [(n, clean[n - 1].text.strip())
                      for n in mutant_source.unmutated_lines(clean, mutated_lines, language)],
        "raw_unmutated": len(mutant_source.unmutated_lines(
            clean, mutant_source.raw_mutated_lines(source, language), language)),
        "mutants": len(mutants),
        "per_file": per_file,
        "seed": seed,
    }
    unchanged = mutant_source.clean_text(source, language)
    original_code = mutant_source.python_code(source) if is_python(relative) else None
    compiled = tried = 0
    try:
        for mutant in mutant_source.sample_order(mutants, seed):
            if compiled >= per_file or tried >= TRY_FACTOR * per_file:
                break
            text = mutant_source.apply(source, clean, mutant, language)
            if text is None or mutant_source.clean_text(text, language) == unchanged:
                continue  # not spliced faithfully, or only blanks changed
            if is_python(relative):
                code = mutant_source.python_code(text)
                if code is None or code == original_code:
                    continue  # no valid Python, or the same program
            tried += 1
            if mutant.id in settled:
                outcome = Outcome(**{**asdict(settled[mutant.id]), "path": str(relative),
                                     "line": mutant.line, "carried": True})
                outcomes.append(outcome)
                compiled += outcome.status != "no-compile"
                continue
            copy.write_text(text)
            started = time.monotonic()
            status, by = runner.test_python(relative) if is_python(relative) else runner.test()
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


# --- Results, kept per folder ----------------------------------------------------------------
#
# RESULTS/<folder, its slashes as dots>.json holds, for one folder of sources:
#   files:    path -> what the file gave the tool, and the count and seed it was sampled with,
#             and the run that tried it
#   outcomes: every mutant tried, in the order tried
#   runs:     run -> commit, times; only runs that some file refers to
#   before:   after a --survivors-only run, the files, outcomes and runs it replaced
# A run replaces the entries of the files it tried and keeps the rest of each folder.


def folder_of(path: str) -> str:
    return str(Path(path).parent) + "/"


def results_path(folder: str) -> Path:
    return RESULTS / (folder.strip("/").replace("/", ".") + ".json")


def load_results() -> dict[str, dict]:
    """folder -> its kept results."""
    found = {}
    for path in sorted(RESULTS.glob("*.json")):
        data = json.loads(path.read_text())
        found[data["folder"]] = data
    return found


def write_results(folder: str, data: dict) -> None:
    # One outcome a line: a rerun's changes read as changed lines.
    outcomes = ",\n".join(json.dumps(o, ensure_ascii=False) for o in data["outcomes"])
    head = {key: value for key, value in data.items() if key != "outcomes"}
    text = json.dumps(head, indent=1, ensure_ascii=False, sort_keys=True)
    text = text[:-2] + ',\n "outcomes": [\n' + outcomes + "\n ]\n}\n"
    RESULTS.mkdir(parents=True, exist_ok=True)
    results_path(folder).write_text(text)


def merge_folder(folder: str, kept: dict | None, run_id: str, run_info: dict, files: dict,
                 outcomes: list[Outcome], survivors_only: bool) -> dict:
    """The folder's results after a run that tried `files` in it."""
    kept = kept or {"folder": folder, "files": {}, "outcomes": [], "runs": {}}
    old_files = {path: info for path, info in kept["files"].items()
                 if path not in files and (ROOT / path).is_file()}
    for info in files.values():
        info["run"] = run_id
    data = {"folder": folder, "files": dict(sorted({**old_files, **files}.items())),
            "outcomes": [o for o in kept["outcomes"] if o["path"] in old_files]
            + [asdict(o) for o in outcomes],
            "runs": {**kept["runs"], run_id: run_info}}
    data["runs"] = {run: info for run, info in data["runs"].items()
                    if any(f["run"] == run for f in data["files"].values())}
    if survivors_only:
        replaced = {path: info for path, info in kept["files"].items() if path in files}
        data["before"] = {
            "files": replaced,
            "outcomes": [o for o in kept["outcomes"] if o["path"] in replaced],
            "runs": {run: info for run, info in kept["runs"].items()
                     if any(f["run"] == run for f in replaced.values())}}
    return data


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


def rate(killed: int, total: int) -> str:
    return f"{100 * killed / total:.0f} %" if total else "–"


def cell(text: str) -> str:
    return "`" + text.replace("|", "\\|").replace("`", "'") + "`" if text else ""


def listing(folders: list[str]) -> str:
    return ", ".join(f"`{folder}`" for folder in folders)


def render(results: dict[str, dict], sources: list[str]) -> str:
    """The report from the kept results of every folder; `sources` are all the sources there
    are, so that folders and files never run show as such."""
    marks = read_marks()
    source_folders: dict[str, int] = {}
    for path in sources:
        source_folders[folder_of(path)] = source_folders.get(folder_of(path), 0) + 1

    def marked(raw: list[dict]) -> list[Outcome]:
        outcomes = [Outcome(**o) for o in raw]
        for o in outcomes:
            if o.status == "survived" and marks.get(o.id, "").startswith("equivalent"):
                o.status = "equivalent"
        return outcomes

    def figures(group: list[Outcome]) -> list[str]:
        count = {s: sum(o.status == s for o in group)
                 for s in ("no-compile", "killed", "survived", "equivalent")}
        compiled = len(group) - count["no-compile"]
        return [str(len(group)), str(compiled), str(count["killed"]), str(count["survived"]),
                str(count["equivalent"]),
                rate(count["killed"], count["killed"] + count["survived"])]

    files = {path: info for data in results.values() for path, info in data["files"].items()}
    outcomes = marked([o for data in results.values() for o in data["outcomes"]])
    # A folder keeps the run's time up to its own last file; the latest of them is the run's.
    runs: dict[str, dict] = {}
    for data in results.values():
        for run, info in data["runs"].items():
            if info["timing"]["total"] >= runs.get(run, info)["timing"]["total"]:
                runs[run] = info
    head = "| tried | compiled | killed | survived | equivalent | killed of non-equivalent |"
    rule = "|---:|---:|---:|---:|---:|---:|"
    lines = [
        "# Mutation testing",
        "",
        "Written by `make mutants` (scripts/mutants.py) from the results kept in",
        "`tests/mutation/results/`; do not edit by hand: verdicts on survivors go in",
        "`tests/mutation/marks.txt`, then `make mutants-report` re-renders this.",
        "",
    ]
    samples: dict[str, list[str]] = {}
    for folder, data in sorted(results.items()):
        for info in data["files"].values():
            sample = (f"up to {info['per_file']} compiling mutants per file, seed "
                      f"{info['seed']}; commit {data['runs'][info['run']]['commit']}.")
            if folder not in samples.setdefault(sample, []):
                samples[sample].append(folder)
    if len(samples) == 1:
        lines.append(f"Sample: {next(iter(samples))}")
    for sample, folders in samples.items() if len(samples) > 1 else ():
        lines.append(f"Sample of {listing(folders)}: {sample}")
    for run, info in sorted(runs.items()):
        timing = info["timing"]
        in_run = [o for o in outcomes if not o.carried and files[o.path]["run"] == run]
        cpp_times = [o.seconds for o in in_run
                     if o.status != "no-compile" and not is_python(Path(o.path))]
        failed_times = [o.seconds for o in in_run if o.status == "no-compile"]
        python_times = [o.seconds for o in in_run if is_python(Path(o.path))]
        carried = sum(o.carried for o in outcomes if files[o.path]["run"] == run)
        steps = [f"baseline build {timing['build']:.0f} s"]
        steps += [f"{label} {timing[key]:.1f} s" for key, label in (
            ("ctest", "ctest"), ("pytest", "pytest subset"), ("python", "Python tests"))
            if key in timing]
        ran = sorted({folder_of(path) for path, f in files.items() if f["run"] == run})
        lines.append(
            ("Time" if len(runs) == 1 else f"Time of the run over {listing(ran)}")
            + f": {timing['total'] / 60:.1f} min up to its last file here; "
            + ", ".join(steps) + "; "
            + "; ".join(
                ([f"per compiling C++ mutant {avg(cpp_times):.1f} s"] if cpp_times else [])
                + ([f"per one that did not compile {avg(failed_times):.1f} s"]
                   if failed_times else [])
                + ([f"per Python mutant {avg(python_times):.1f} s"] if python_times else []))
            + "."
            + (f" {carried} outcomes (killed, or did not compile) were taken over from the "
               "previous run of the same sample, only the others tried again." if carried
               else ""))
    not_run = sorted(set(source_folders) - set(results))
    if not_run:
        lines.append(f"Not run at all: {listing(not_run)}.")
    # Files of the folders that were run, new or left out by --only.
    files_not_run = [path for path in sources if path not in files and folder_of(path) in results]
    if files_not_run:
        lines.append(f"Files with no results, in folders that have some: {listing(files_not_run)}.")
    lines += ["", "## Per folder", ""]

    def folder_table(group: list[Outcome], files: dict, all_folders: dict[str, int]) -> list[str]:
        rows = ["| folder | files " + head, "|---|---:" + rule]
        by_folder: dict[str, list[Outcome]] = {}
        for o in group:
            by_folder.setdefault(folder_of(o.path), []).append(o)
        files_in: dict[str, list[str]] = {}
        for path in files:
            files_in.setdefault(folder_of(path), []).append(path)
        for folder in sorted(set(files_in) | set(all_folders)):
            if folder in files_in:
                count, of_all = len(files_in[folder]), all_folders.get(folder)
                counted = f"{count} of {of_all}" if of_all not in (None, count) else str(count)
                rows.append(f"| {folder} | {counted} | "
                            + " | ".join(figures(by_folder.get(folder, []))) + " |")
            else:
                rows.append(f"| {folder} | {all_folders[folder]} |" + " – |" * 5 + " not run |")
        rows.append(f"| all | {len(files)} | " + " | ".join(figures(group)) + " |")
        return rows

    lines += folder_table(outcomes, files, source_folders)
    before = {folder: data["before"] for folder, data in results.items() if "before" in data}
    if before:
        commits = sorted({info["commit"] for data in before.values()
                          for info in data["runs"].values()})
        lines += ["", f"Before: the same sample of {listing(sorted(before))} on commit "
                  f"{', '.join(commits)}, the tests as they were then (equivalent mutants marked "
                  "as above):", ""]
        lines += folder_table(marked([o for data in before.values() for o in data["outcomes"]]),
                              {path: info for data in before.values()
                               for path, info in data["files"].items()}, {})
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
    for path, info in sorted(files.items()):
        group = [o for o in outcomes if o.path == path]
        lines.append(f"| {path} | {info['mutants']} | {info['code_lines']} | "
                     + " | ".join(figures(group)) + f" | {info['raw_unmutated']} |")
    unmutated = [(path, n, text) for path, info in sorted(files.items())
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


def write_report() -> None:
    REPORT.write_text(render(load_results(), [str(path) for path in discover_sources(None)]))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--per-file", type=int, default=int(os.environ.get("MUTANTS_PER_FILE", 10)),
                        help="compiling mutants per file (default 10, or MUTANTS_PER_FILE)")
    parser.add_argument("--seed", default=os.environ.get("MUTANTS_SEED", "1"),
                        help="the sample's seed (default 1, or MUTANTS_SEED)")
    parser.add_argument("--only", action="append",
                        help="only the sources whose path in the repository matches this "
                             "pattern (^python/, src/reduce/, fault); given again, those that "
                             "match any of them")
    parser.add_argument("--jobs", type=int, default=2, help="parallel build and ctest jobs")
    parser.add_argument("--timeout", type=float,
                        help="seconds allowed to ctest, and to each pytest run, per mutant "
                             "(default: three times the unmutated run, plus a minute)")
    parser.add_argument("--report-only", action="store_true",
                        help="re-render the report from the kept results and the current marks")
    parser.add_argument("--survivors-only", action="store_true",
                        help="the kept sample of each file again (its count and seed), trying "
                             "only the mutants that it did not kill")
    args = parser.parse_args()

    if args.report_only:
        write_report()
        print(f"wrote {REPORT.relative_to(ROOT)}")
        return 0

    kept = load_results()
    sources = discover_sources(args.only)
    samples = {path: (args.per_file, args.seed) for path in sources}
    settled: dict[str, Outcome] = {}
    if args.survivors_only:
        kept_files = {path: info for data in kept.values() for path, info in data["files"].items()}
        sources = [path for path in sources if str(path) in kept_files]
        samples = {path: (kept_files[str(path)]["per_file"], kept_files[str(path)]["seed"])
                   for path in sources}
        settled = {o["id"]: Outcome(**o) for data in kept.values() for o in data["outcomes"]
                   if o["path"] in kept_files and o["status"] in ("killed", "no-compile")}
    if not sources:
        print("no sources to mutate" + (" with kept results" if args.survivors_only else ""),
              file=sys.stderr)
        return 1

    signal.signal(signal.SIGTERM, on_terminate)
    # Started in the background, the runner may have inherited SIGINT ignored, and so would
    # every child: the tests that interrupt the command line tool would fail on every mutant.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    started = time.monotonic()
    run_id = time.strftime("%Y-%m-%dT%H:%M:%S")
    head = commit()
    WORK.mkdir(parents=True, exist_ok=True)
    outcomes: list[Outcome] = []
    files: dict = {}
    finished: list[str] = []
    timing: dict = {}

    def keep(folder: str) -> None:
        """Writes the folder's results with the files of this run finished so far, so that a
        run stopped after hours keeps what it did."""
        in_folder = {path: files[path] for path in finished if folder_of(path) == folder}
        run_info = {"commit": head, "timing": {**timing, "total": time.monotonic() - started}}
        write_results(folder, merge_folder(
            folder, kept.get(folder), run_id, run_info, in_folder,
            [o for o in outcomes if o.path in in_folder], args.survivors_only))

    try:
        sync_tree()
        runner = Runner(args.jobs, args.timeout)
        runner.configure()
        timing.update(runner.baseline(cpp=any(not is_python(p) for p in sources),
                                      python=any(is_python(p) for p in sources)))
        print("baseline: " + ", ".join(f"{name} {seconds:.1f} s"
                                        for name, seconds in timing.items())
              + f"; time limit {max(runner.timeout, runner.python_timeout):.0f} s per test step",
              flush=True)
        for relative in sources:
            print(relative, flush=True)
            per_file, seed = samples[relative]
            mutate_file(runner, relative, per_file, seed, outcomes, files, settled)
            finished.append(str(relative))
            keep(folder_of(str(relative)))
    except (KeyboardInterrupt, Interrupted):
        if finished:
            write_report()
        print(f"\ninterrupted after {len(finished)} of {len(sources)} files; their results are "
              "kept and the report made from them (the work tree was never changed)",
              file=sys.stderr)
        return 130
    write_report()
    print(f"wrote {REPORT.relative_to(ROOT)} ({(time.monotonic() - started) / 60:.1f} min)")
    return 0

if __name__ == "__main__":
    sys.exit(main())
