"""The `vertisift` command: reduce, batch and preview, their outputs and their failures."""

from __future__ import annotations

import contextlib
import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from plyfile import PlyData

import meshgen
import vertisift_tools
from cli_support import (
    BROKEN_MESSAGE,
    DIED_MESSAGE,
    RECORD_FILE,
    check_cloud,
    cli_command,
    cli_env,
    cut_short_message,
    files_under,
    make_tree,
    read_failures,
    run_cli,
    torus_faces,
)
from vertisift_tools.options import SampleOptions

COUNT = 64


@pytest.fixture
def torus_model(tmp_path):
    faces = torus_faces(24)
    return meshgen.write_binary_stl(tmp_path / "torus.stl", faces), faces


def assert_user_error(result: subprocess.CompletedProcess[str], *parts: str) -> None:
    """Exit status 2 and one line naming the mistake: no usage block, no traceback."""
    assert result.returncode == 2, result.stderr
    (line,) = result.stderr.splitlines()
    assert line.startswith(("vertisift reduce: error: ", "vertisift batch: error: ")), line
    for part in parts:
        assert part in line


# --- reduce -------------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["cloud.ply", "cloud.npz", "cloud.xyzn", "cloud.xyz", "CLOUD.PLY"])
def test_reduce_writes_the_format_of_the_suffix(tmp_path, torus_model, name):
    model, faces = torus_model
    out = tmp_path / name
    result = run_cli("reduce", model, COUNT, "-o", out)
    assert result.returncode == 0, result.stderr
    assert files_under(tmp_path) == sorted(["torus.stl", name])
    check_cloud(out, COUNT, faces)

    # Read back with readers that are not ours.
    kind = out.suffix.lower()
    if kind == ".ply":
        ply = PlyData.read(out)
        assert not ply.text and ply.byte_order == "<"
        vertex = ply["vertex"]
        assert [(p.name, p.val_dtype) for p in vertex.properties] == [
            (field, "f4") for field in ("x", "y", "z", "nx", "ny", "nz")]
        rows = np.stack([vertex[field] for field in ("x", "y", "z", "nx", "ny", "nz")], axis=1)
    elif kind == ".npz":
        with np.load(out) as archive:
            assert sorted(archive.files) == ["normals", "positions"]
            assert archive["positions"].dtype == archive["normals"].dtype == np.float32
            rows = np.concatenate([archive["positions"], archive["normals"]], axis=1)
    else:
        rows = np.loadtxt(out, dtype=np.float32)
    positions, normals = vertisift_tools.read_cloud(out)
    if kind == ".xyz":  # positions only
        assert np.array_equal(rows, positions)
    else:
        assert rows.shape == (COUNT, 6)
        assert np.array_equal(rows, np.concatenate([positions, normals], axis=1))


@pytest.mark.parametrize("args, parts", [
    (["{model}", "10", "-o", "{tmp}/out.obj"], ["suffix '.obj'", ".npz, .ply, .xyz, .xyzn or .xyzrgb"]),
    (["{model}", "10", "-o", "{tmp}/out"], ["no suffix"]),
    (["{tmp}/missing.stl", "10", "-o", "{tmp}/out.ply"], ["MODEL", "missing.stl", "does not exist"]),
    (["{tmp}", "10", "-o", "{tmp}/out.ply"], ["is a folder"]),
    (["{model}", "10", "-o", "{tmp}/no/such/out.ply"], ["does not exist"]),
    (["{model}", "ten", "-o", "{tmp}/out.ply"], ["'ten' is not a point count"]),
    (["{model}", "0", "-o", "{tmp}/out.ply"], ["'0' is not a point count"]),
    (["{model}", "-5", "-o", "{tmp}/out.ply"], ["'-5' is not a point count"]),
    (["{model}", "2.5", "-o", "{tmp}/out.ply"], ["'2.5' is not a point count"]),
    (["{model}", str(2**64), "-o", "{tmp}/out.ply"], ["is not a point count"]),
    (["{model}", "10"], ["-o"]),
])
def test_reduce_user_mistakes(tmp_path, torus_model, args, parts):
    model, _ = torus_model
    before = files_under(tmp_path)
    result = run_cli("reduce", *(a.format(model=model, tmp=tmp_path) for a in args))
    assert_user_error(result, *parts)
    assert files_under(tmp_path) == before


@pytest.mark.parametrize("content, options, message", [
    ("broken", [], cut_short_message(576, 500)),
    ("empty", [], "the model has no faces, so it gives no points"),
    ("flat", ["--method", "surface"], None),  # sample()'s own text, and no class name
])
def test_reduce_unreadable_model_writes_nothing(tmp_path, torus_model, content, options, message):
    model, _ = torus_model
    bad = tmp_path / "bad.stl"
    if content == "broken":
        bad.write_bytes(model.read_bytes()[:500])
    elif content == "empty":
        meshgen.write_binary_stl(bad, [])
    else:
        meshgen.write_binary_stl(bad, [((0, 0, 1), (0, 0, 0), (1, 0, 0), (2, 0, 0))])
        with pytest.raises(ValueError) as raised:
            vertisift_tools.sample(bad, COUNT, method="surface")
        message = str(raised.value)
    result = run_cli("reduce", bad, COUNT, "-o", tmp_path / "out.ply", *options)
    assert result.returncode == 1
    assert result.stderr == f"vertisift reduce: cannot convert {bad}: {message}\n"
    assert not (tmp_path / "out.ply").exists()
    assert files_under(tmp_path) == ["bad.stl", "torus.stl"]


def test_console_script_is_installed(tmp_path, torus_model):
    from importlib import metadata
    try:
        (entry,) = metadata.distribution("vertisift").entry_points.select(group="console_scripts")
    except metadata.PackageNotFoundError:
        pytest.skip("vertisift is not installed as a distribution here")
    assert (entry.name, entry.value) == ("vertisift", "vertisift_tools.command.main:main")
    model, faces = torus_model
    script = Path(sys.executable).parent / "vertisift"
    result = subprocess.run([script, "reduce", model, "10", "-o", tmp_path / "c.npz"],
                            env=cli_env(), capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    check_cloud(tmp_path / "c.npz", 10, faces)


def test_public_names_stay_themselves_once_every_module_is_imported():
    """A submodule named like a public name (`batch`) would be bound over it as the package's
    attribute when imported, making `vertisift_tools.batch(...)` a module call."""
    code = """if True:
        import importlib, pkgutil, types, vertisift_tools
        for found in pkgutil.walk_packages(vertisift_tools.__path__, "vertisift_tools."):
            importlib.import_module(found.name)
        print([name for name in vertisift_tools.__all__
               if isinstance(getattr(vertisift_tools, name), types.ModuleType)])"""
    result = subprocess.run([sys.executable, "-c", code], env=cli_env(), capture_output=True,
                            text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "[]\n"), result.stderr


# --- batch --------------------------------------------------------------------------------

@pytest.mark.parametrize("fmt, jobs", [("npz", 2), ("ply", 1), ("xyz", 2)])
def test_batch_converts_the_tree_and_reports_failures(tmp_path, fmt, jobs):
    good = make_tree(tmp_path / "in")
    out = tmp_path / "out"
    result = run_cli("batch", tmp_path / "in", out, COUNT, "--format", fmt, "--jobs", jobs)
    assert result.returncode == 1, result.stderr
    expected = sorted(str(Path(r).with_suffix("." + fmt).as_posix()) for r in good)
    assert files_under(out) == sorted(expected + ["failures.csv", RECORD_FILE])
    for relative, faces in good.items():
        check_cloud(out / Path(relative).with_suffix("." + fmt), COUNT, faces)
    assert read_failures(out) == [["path", "error"], ["sub/broken.stl", BROKEN_MESSAGE]]
    assert "6 models found: 5 converted, 0 already done, 1 failed" in result.stderr
    assert f"  sub/broken.stl: {BROKEN_MESSAGE}\n" in result.stderr
    assert "Traceback" not in result.stderr


def test_batch_rerun_skips_finished_clouds_and_remakes_others(tmp_path):
    good = make_tree(tmp_path / "in")
    (tmp_path / "in" / "sub" / "broken.stl").unlink()
    out = tmp_path / "out"
    first = run_cli("batch", tmp_path / "in", out, COUNT, "-q")
    assert first.returncode == 0, first.stderr
    assert read_failures(out) == [["path", "error"]]
    stamps = {p: p.stat().st_mtime_ns for p in out.rglob("*.npz")}
    assert len(stamps) == 5

    # A cloud of another size and a damaged one are made again; the rest are kept.
    other = out / "c2.npz"
    vertisift_tools.write_cloud(other, np.zeros((3, 3)), np.zeros((3, 3)))
    damaged = out / "sub" / "d3.npz"
    damaged.write_bytes(damaged.read_bytes()[:100])
    second = run_cli("batch", tmp_path / "in", out, COUNT, "-q")
    assert second.returncode == 0, second.stderr
    assert "5 models found: 2 converted, 3 already done, 0 failed" in second.stderr
    for path, stamp in stamps.items():
        if path not in (other, damaged):
            assert path.stat().st_mtime_ns == stamp, path
    for relative, faces in good.items():
        check_cloud(out / Path(relative).with_suffix(".npz"), COUNT, faces)

    # A batch with other settings is refused before it touches anything, naming what
    # differs, from the command and from Python alike.
    record = json.loads((out / RECORD_FILE).read_text())
    assert record == {"count": COUNT, "format": "npz", "method": "vertices", "normals": "auto",
                      "distinct": False, "seed": None, "version": record["version"]}
    before = {p: p.read_bytes() for p in out.rglob("*") if p.is_file()}
    other = ["--normals", "geometry", "--seed", "7"]
    refused = run_cli("batch", tmp_path / "in", out, COUNT, "-q", *other)
    assert (refused.returncode, refused.stderr) == (
        2, f"vertisift batch: error: OUT_DIR {out} holds the clouds of another batch (normals "
           "auto before, geometry now; seed none before, 7 now); use --overwrite to make every "
           "cloud again\n")
    with pytest.raises(vertisift_tools.BatchMismatchError, match=r"\(count 64 before, 65 now\)"):
        vertisift_tools.batch(tmp_path / "in", out, COUNT + 1)
    assert {p: p.read_bytes() for p in out.rglob("*") if p.is_file()} == before

    # --overwrite makes every cloud again, also those of the right size, and records it.
    third = run_cli("batch", tmp_path / "in", out, COUNT, "-q", *other, "--overwrite")
    assert "5 models found: 5 converted, 0 already done" in third.stderr
    options = SampleOptions(normals="geometry", seed=7)
    record = {**record, "normals": "geometry", "seed": 7, "seeds": "vertisift-model"}
    assert json.loads((out / RECORD_FILE).read_text()) == record

    # The clouds of a seeded batch depend on the version and on the models' seeds that made
    # them: a seeded record without `seeds` was drawn with those of the versions before, and
    # one without `normals` with the normals the files store.
    without = {name: {key: value for key, value in record.items() if key != name}
               for name in ("seeds", "normals")}
    for earlier, differs in (
            ({**record, "version": "0.0.0"}, f"version 0.0.0 before, {record['version']} now"),
            (without["seeds"], "seeds vertisift-batch before, vertisift-model now"),
            (without["normals"], "normals file before, geometry now")):
        (out / RECORD_FILE).write_text(json.dumps(earlier))
        with pytest.raises(vertisift_tools.BatchMismatchError) as raised:
            vertisift_tools.batch(tmp_path / "in", out, COUNT, options=options)
        assert raised.value.reason == f"holds the clouds of another batch ({differs})"
    # A folder without a record, as older versions left it, resumes as it always did.
    (out / RECORD_FILE).unlink()
    report = vertisift_tools.batch(tmp_path / "in", out, COUNT, options=options)
    assert (report.converted, report.skipped) == (0, 5)
    assert json.loads((out / RECORD_FILE).read_text()) == record
    for relative, faces in good.items():
        check_cloud(out / Path(relative).with_suffix(".npz"), COUNT, faces)


@pytest.mark.parametrize("jobs", [1, 2])
def test_batch_survives_a_dying_worker(tmp_path, jobs):
    good = make_tree(tmp_path / "in")
    out = tmp_path / "out"
    # The worker that takes b1.STL kills itself with SIGKILL, as the kernel's out-of-memory
    # killer would; the files after it still need a worker.
    result = run_cli("batch", tmp_path / "in", out, COUNT, "--jobs", jobs, "-q",
                     env={"VERTISIFT_TOOLS_TEST_FAULT": "kill:b1.STL"})
    assert result.returncode == 1, result.stderr
    rows = read_failures(out)
    assert rows[1:] == [["b1.STL", f"{DIED_MESSAGE} (killed by SIGKILL)"],
                        ["sub/broken.stl", BROKEN_MESSAGE]]
    assert "6 models found: 4 converted, 0 already done, 2 failed" in result.stderr
    assert not (out / "b1.npz").exists()
    for relative, faces in good.items():
        if relative != "b1.STL":
            check_cloud(out / Path(relative).with_suffix(".npz"), COUNT, faces)
    assert not list(out.rglob("*.part"))


def test_batch_workers_see_the_environment_of_their_batch(tmp_path, monkeypatch):
    # The first batch starts the fork server; the workers of the second must still see the
    # environment as it is when the second starts, not as the fork server took it.
    make_tree(tmp_path / "in")
    assert vertisift_tools.batch(tmp_path / "in", tmp_path / "first", COUNT, jobs=1).converted
    monkeypatch.setenv("VERTISIFT_TOOLS_TEST_FAULT", "kill:b1.STL")
    report = vertisift_tools.batch(tmp_path / "in", tmp_path / "second", COUNT, jobs=1)
    assert [f.path for f in report.failures] == ["b1.STL", "sub/broken.stl"]


@pytest.mark.parametrize("how", ["ctrl-c", "sigterm"])
def test_batch_interrupted_then_resumed(tmp_path, how):
    good = make_tree(tmp_path / "in")
    (tmp_path / "in" / "sub" / "broken.stl").unlink()
    out = tmp_path / "out"
    # One worker takes the files in order (a0, b1, c2, sub/d3, ...) and hangs on c2.stl.
    process = subprocess.Popen(
        cli_command("batch", tmp_path / "in", out, COUNT, "--jobs", 1, "-q"),
        env=cli_env({"VERTISIFT_TOOLS_TEST_FAULT": "stall:c2.stl"}), stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        while not ((out / "a0.npz").exists() and (out / "b1.npz").exists()):
            assert time.monotonic() < deadline and process.poll() is None
            time.sleep(0.02)
        if how == "ctrl-c":
            os.killpg(process.pid, signal.SIGINT)   # a terminal sends it to the whole group
        else:
            process.send_signal(signal.SIGTERM)
        _, stderr = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    assert process.returncode == 130, stderr
    assert "interrupted; run the same command again to resume" in stderr
    assert "Traceback" not in stderr
    # The record is written before the first cloud, so it covers an interrupted run too.
    assert files_under(out) == ["a0.npz", "b1.npz", "failures.csv", RECORD_FILE]
    stamps = {p: p.stat().st_mtime_ns for p in out.glob("*.npz")}

    result = run_cli("batch", tmp_path / "in", out, COUNT, "--jobs", 1, "-q")
    assert result.returncode == 0, result.stderr
    assert "5 models found: 3 converted, 2 already done, 0 failed" in result.stderr
    assert all(p.stat().st_mtime_ns == stamp for p, stamp in stamps.items())
    for relative, faces in good.items():
        check_cloud(out / Path(relative).with_suffix(".npz"), COUNT, faces)


@pytest.mark.parametrize("guarded", [False, True])
def test_a_script_must_call_batch_under_the_main_guard(tmp_path, guarded):
    make_tree(tmp_path / "in")
    call = f"report = vertisift_tools.batch({str(tmp_path / 'in')!r}, 'out', {COUNT}, jobs=2)\n"
    script = tmp_path / "script.py"
    script.write_text("import vertisift_tools\n" + (
        "if __name__ == '__main__':\n    " + call + "    print(report.converted)\n" if guarded
        else call))
    # The worker processes import the script again; without the guard, each would call
    # batch() there.
    result = subprocess.run([sys.executable, script], cwd=tmp_path, env=cli_env(),
                            capture_output=True, text=True, timeout=120)
    if guarded:
        assert (result.returncode, result.stdout) == (0, "5\n"), result.stderr
        return
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == (
        "RuntimeError: call vertisift_tools.batch() under 'if __name__ == \"__main__\":' in a "
        "script: each worker process imports the script again as it starts, and a call at its "
        "top level would run there too")
    assert result.stderr.count("Traceback") == 1, result.stderr
    assert files_under(tmp_path / "out") == [RECORD_FILE]


# No process has this id: Linux numbers processes below 2**22 at most.
GONE_PID = 2**22 + 1


@pytest.mark.parametrize("fmt, targets, others", [
    # Clouds finished, failed and still to make, the record and the failure list.
    ("npz", ["a0.npz", "c2.npz", "sub/broken.npz", "sub/deeper/e4.npz", RECORD_FILE,
             "failures.csv"],
     ["notes.npz", "a0.stl", "c2.ply", "sub/a0.npz"]),
    ("h5", ["ply_data_all0.h5", "ply_data_all_0_id2file.json", "all_files.txt", RECORD_FILE],
     ["ply_data_all1.h5", "train_files.txt", "shape_names.txt", "a0.npz"]),
])
def test_a_rerun_removes_what_killed_runs_were_writing(tmp_path, fmt, targets, others):
    if fmt == "h5":
        pytest.importorskip("h5py")
    make_tree(tmp_path / "in")
    out = tmp_path / "out"
    vertisift_tools.batch(tmp_path / "in", out, COUNT, fmt=fmt, jobs=1)
    (out / "c2.npz").unlink(missing_ok=True)

    def temporary(relative: str, pid: object) -> Path:
        path = out / relative
        return path.with_name(f".{path.name}.{pid}.part")

    # What runs killed as they wrote left behind, and what is not theirs to remove: the
    # temporary files of names the batch does not make, of a process still running (a
    # concurrent run), and files that only look like temporary ones.
    left = [temporary(relative, GONE_PID) for relative in targets]
    kept = [temporary(relative, GONE_PID) for relative in others]
    kept += [temporary(targets[0], os.getppid()), temporary(targets[0], "x"),
             out / f"{targets[0]}.{GONE_PID}.part", out / f".{targets[0]}.part"]
    for path in left + kept:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(b"half a file")
    report = vertisift_tools.batch(tmp_path / "in", out, COUNT, fmt=fmt, jobs=1)
    assert report.found == 6
    assert [path for path in left if path.exists()] == []
    assert [path.name for path in kept if not path.exists()] == []


def test_batch_refuses_models_with_one_output(tmp_path):
    faces = torus_faces(12)
    (tmp_path / "in").mkdir()
    meshgen.write_binary_stl(tmp_path / "in" / "part.STL", faces)
    meshgen.write_obj(tmp_path / "in" / "part.obj", faces)
    meshgen.write_binary_stl(tmp_path / "in" / "other.stl", faces)
    result = run_cli("batch", tmp_path / "in", tmp_path / "out", 8, "-q")
    assert result.returncode == 1
    # Neither is the one the cloud should hold: both are refused, naming each other.
    assert read_failures(tmp_path / "out")[1:] == [
        ["part.STL", "its output part.npz would also be the output of part.obj"],
        ["part.obj", "its output part.npz would also be the output of part.STL"]]
    assert not (tmp_path / "out" / "part.npz").exists()
    check_cloud(tmp_path / "out" / "other.npz", 8, faces)


@pytest.fixture
def small_disk(tmp_path):
    """A file system of 256 KiB of its own (a tmpfs, which only root may mount)."""
    where = tmp_path / "disk"
    where.mkdir()
    try:
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", where],
                                 capture_output=True, text=True)
    except FileNotFoundError:
        pytest.skip("a full disk needs a small file system, and there is no mount command")
    if mounted.returncode != 0:
        pytest.skip(f"a full disk needs a small file system, which cannot be mounted here "
                    f"(root only): {mounted.stderr.strip()}")
    yield where
    subprocess.run(["umount", where], check=True)


def fill(disk: Path, room: int) -> None:
    """Fills the disk but `room` blocks."""
    block = os.statvfs(disk).f_bsize
    descriptor = os.open(disk / "filler", os.O_WRONLY | os.O_CREAT)
    try:
        written = 0
        with contextlib.suppress(OSError):
            while True:
                written += os.write(descriptor, bytes(block))
        os.ftruncate(descriptor, max(0, written // block - room) * block)
    finally:
        os.close(descriptor)


# Blocks left free: None leaves the whole disk, to fill in the middle of the batch; 2 hold the
# record (and a shard batch's list), not the clouds nor the list of their failures; 0 nothing.
@pytest.mark.parametrize("fmt, room", [("npz", None), ("ply", None), ("xyzn", None),
                                       ("xyz", None), ("h5", None), ("npz", 2), ("h5", 2),
                                       ("npz", 0), ("h5", 0)])
def test_a_full_disk_fails_each_model_in_one_line(tmp_path, small_disk, fmt, room):
    if fmt == "h5":
        pytest.importorskip("h5py")
    for index in range(40):
        path = tmp_path / "in" / f"m{index:02d}.stl"
        path.parent.mkdir(exist_ok=True)
        meshgen.write_binary_stl(path, torus_faces(20))
    if room is not None:
        fill(small_disk, room)
    out = small_disk / "out"
    result = run_cli("batch", tmp_path / "in", out, 2048, "--format", fmt, "--jobs", 2, "-q",
                     *(["--shard-size", 4] if fmt == "h5" else []))
    assert result.returncode == 1, result.stderr
    assert "Traceback" not in result.stderr
    # A temporary file that could not be finished is removed.
    assert not [p.name for p in small_disk.rglob("*") if p.name.endswith(".part")]
    lines = result.stderr.splitlines()
    if room == 0:
        assert lines == [f"vertisift batch: error: cannot write {out / RECORD_FILE}: "
                         "No space left on device"]
        return
    # One line per model that failed, and the summary all the same.
    summary = re.fullmatch(r"vertisift batch: 40 models found: (\d+) converted, 0 already "
                           r"done, (\d+) failed \(.*\)", lines[0])
    assert summary, lines[0]
    converted, failed = map(int, summary.groups())
    assert converted + failed == 40 and failed > 0 and (converted == 0) == (room == 2)
    assert lines[1] == "failed:"
    shown = [line.split(": ", 1) for line in lines[2:2 + failed]]
    failure = r"cannot write (ply_data_all[0-9]+\.h5|.*/m[0-9]+\.%s): No space left on device"
    assert all(re.fullmatch(failure % fmt, message) for _, message in shown), shown
    listed = out / "failures.csv"
    if lines[2 + failed:] == [f"vertisift batch: the failures are listed in {listed}"]:
        assert room is None
        assert [[path.strip(), message] for path, message in shown] == read_failures(out)[1:]
    else:
        assert lines[2 + failed:] == [f"vertisift batch: cannot write {listed}: No space left "
                                      "on device; the failures are listed above only"]
        assert not listed.exists()


@pytest.mark.parametrize("args, parts", [
    (["{tmp}/none", "{tmp}/out", "10"], ["IN_DIR", "does not exist"]),
    (["{tmp}/file.stl", "{tmp}/out", "10"], ["IN_DIR", "is not a folder"]),
    (["{tmp}", "{tmp}/file.stl", "10"], ["OUT_DIR", "is not a folder"]),
    (["{tmp}", "{tmp}/out", "many"], ["'many' is not a point count"]),
    (["{tmp}", "{tmp}/out", "10", "--format", "obj"], ["invalid choice: 'obj'"]),
    (["{tmp}", "{tmp}/out", "10", "--method", "bogus"], ["argument --method: invalid choice: 'bogus'"]),
    (["{tmp}", "{tmp}/out", "10", "--seed", "-1"], ["argument --seed: '-1' is not a seed"]),
    (["{tmp}"], ["the following arguments are required: OUT_DIR, N"]),
    (["{tmp}", "{tmp}/out", "10", "--jobs", "0"], ["'0' is not a number of processes"]),
    (["{tmp}", "{tmp}/out", "10", "--jobs", "2", "--dask", "tcp://127.0.0.1:1"],
     ["not allowed with argument"]),
])
def test_batch_user_mistakes(tmp_path, args, parts):
    (tmp_path / "file.stl").write_bytes(b"")
    result = run_cli("batch", *(a.format(tmp=tmp_path) for a in args))
    assert_user_error(result, *parts)
    assert not (tmp_path / "out").exists()


# --- preview ------------------------------------------------------------------------------

def test_preview_draws_three_views(tmp_path, torus_model):
    import matplotlib.image
    model, _ = torus_model
    cloud = tmp_path / "cloud.ply"
    assert run_cli("reduce", model, 500, "-o", cloud).returncode == 0
    picture = tmp_path / "picture.png"
    result = run_cli("preview", cloud, "-o", picture)
    assert result.returncode == 0, result.stderr
    pixels = matplotlib.image.imread(picture)[:, :, :3]
    height, width, _ = pixels.shape
    assert width > 2 * height
    # Points are coloured by their normals: many distinct, saturated colours in each third.
    # The ring (radii 3 and 1 about z) is seen from the top as a disc with its hole, from the
    # front and the side as a band four times as wide as it is high.
    for third, (aspect, hole) in zip(np.array_split(pixels, 3, axis=1),
                                     [(1, True), (4, False), (4, False)], strict=True):
        points = third.max(axis=2) - third.min(axis=2) > 0.25
        assert len(np.unique(np.round(third[points] * 8), axis=0)) > 20
        rows, columns = np.nonzero(points)
        height, width = np.ptp(rows) + 1, np.ptp(columns) + 1
        assert width / height == pytest.approx(aspect, rel=0.1)
        middle = points[rows.min():rows.max() + 1, columns.min():columns.max() + 1][
            4 * height // 10:6 * height // 10, 4 * width // 10:6 * width // 10]
        assert middle.any() != hole


@pytest.mark.parametrize("writer, name", [
    (meshgen.write_obj, "torus.OBJ"), (meshgen.write_off, "torus.off"),
    (meshgen.write_ply, "torus.ply")])
def test_reduce_and_preview_take_every_model_format(tmp_path, writer, name):
    faces = torus_faces(12)
    model = writer(tmp_path / name, faces)
    cloud = tmp_path / "cloud.npz"
    result = run_cli("reduce", model, COUNT, "-o", cloud, "--normals", "geometry")
    assert result.returncode == 0, result.stderr
    positions, normals = vertisift_tools.read_cloud(cloud)
    assert len(positions) == COUNT
    assert {tuple(p) for p in positions} <= {tuple(v) for v in meshgen.indexed(faces)[0]}
    np.testing.assert_allclose(np.linalg.norm(normals, axis=1), 1, rtol=1e-6)
    # A model is drawn by points of its surface; a .ply mesh is told apart from a cloud.
    result = run_cli("preview", model, "-o", tmp_path / "picture.png")
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "picture.png").stat().st_size > 0


@pytest.mark.parametrize("cloud_text, picture, args, parts, status", [
    (None, "p.png", [], ["CLOUD", "does not exist"], 2),
    ("x y z\n", "p.png", [], ["not a readable point cloud"], 1),
    ("1 2 3 4 5 6\n", "p.bogus", [], ["suffix '.bogus'", ".png"], 2),
    ("1 2 3 4 5 6\n", "p.png", ["--visible"],
     ["error: --visible applies only to a model, not to a cloud file"], 2),
    ("1 2 3 4 5 6\n", "p.png", ["--view-directions", "8"],
     ["error: --view-directions applies only to --visible"], 2),
])
def test_preview_mistakes(tmp_path, cloud_text, picture, args, parts, status):
    cloud = tmp_path / "cloud.xyz"
    if cloud_text is not None:
        cloud.write_text(cloud_text)
    result = run_cli("preview", cloud, "-o", tmp_path / picture, *args)
    assert result.returncode == status, result.stderr
    assert "Traceback" not in result.stderr
    for part in parts:
        assert part in result.stderr
    assert not (tmp_path / picture).exists()
