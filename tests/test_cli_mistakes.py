"""What a newcomer runs into: each mistake ends in one line on stderr and a nonzero status,
and leaves no file behind; warnings, the version and the help say what they should."""

from __future__ import annotations

import os
import re
import shutil
import socket
import subprocess
from importlib import metadata

import numpy as np
import pytest

import meshgen
import vertisift_tools
from cli_support import (
    RECORD_FILE,
    SHORT_FILE_MESSAGE,
    check_cloud,
    files_under,
    make_tree,
    read_failures,
    run_cli,
    torus_faces,
)
from vertisift_tools.convert import zero_normal_warning

COUNT = 64
# The sanitizer's allocator ends the process when a real allocation fails.
under_asan = "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture
def model(tmp_path):
    return meshgen.write_binary_stl(tmp_path / "model.stl", torus_faces(16))


@pytest.fixture
def read_only(tmp_path):
    """A folder that this process cannot write in, also when it runs as root."""
    folder = tmp_path / "ro"
    folder.mkdir()
    if os.geteuid() != 0:
        folder.chmod(0o555)
        yield folder
        folder.chmod(0o755)
        return
    # Root writes anywhere, except into a folder marked immutable.
    chattr = shutil.which("chattr")
    if chattr is None or subprocess.run([chattr, "+i", folder], capture_output=True).returncode:
        pytest.skip("running as root, and chattr +i cannot make a folder read-only here")
    yield folder
    subprocess.run([chattr, "-i", folder], check=True)


def assert_one_line(result: subprocess.CompletedProcess[str], status: int, line: str) -> None:
    assert (result.returncode, result.stderr) == (status, f"vertisift {line}\n")


@pytest.mark.parametrize("huge", [
    2**63,  # more than a list can hold: refused before any allocation
    pytest.param(100_000_000_000, marks=pytest.mark.skipif(under_asan, reason="sanitizer build")),
])
def test_impossible_point_count(tmp_path, model, huge):
    result = run_cli("reduce", model, huge, "-o", tmp_path / "o.npz")
    assert_one_line(result, 1, f"reduce: cannot convert {model}: not enough memory for {huge} points")
    result = run_cli("reduce", model, COUNT, "-o", tmp_path / "o.npz", "--method", "fps",
                     "--candidates", huge)
    assert_one_line(result, 1, f"reduce: cannot convert {model}: not enough memory for {COUNT} "
                    f"points from {huge} candidates")
    assert files_under(tmp_path) == ["model.stl"]

    (tmp_path / "in").mkdir()
    model.rename(tmp_path / "in" / "model.stl")
    result = run_cli("batch", tmp_path / "in", tmp_path / "out", huge, "-q")
    assert result.returncode == 1
    assert read_failures(tmp_path / "out")[1:] == [["model.stl", f"not enough memory for {huge} points"]]
    assert files_under(tmp_path / "out") == ["failures.csv", RECORD_FILE]


@pytest.mark.parametrize("command, line", [
    (["reduce", "{model}", "10", "-o", "{ro}/x.ply"],
     "reduce: error: cannot write OUT {ro}/x.ply: the folder {ro} is not writable"),
    (["batch", "{tmp}", "{ro}", "10"],
     "batch: error: cannot write OUT_DIR {ro}: the folder {ro} is not writable"),
    (["batch", "{tmp}", "{ro}/new/out", "10"],
     "batch: error: cannot write OUT_DIR {ro}/new/out: the folder {ro} is not writable"),
    (["preview", "{tmp}/c.npz", "-o", "{ro}/p.png"],
     "preview: error: cannot write PICTURE {ro}/p.png: the folder {ro} is not writable"),
])
def test_output_folder_that_cannot_be_written(tmp_path, model, read_only, command, line):
    run_cli("reduce", model, COUNT, "-o", tmp_path / "c.npz")
    before = files_under(tmp_path)
    names = {"model": model, "ro": read_only, "tmp": tmp_path}
    result = run_cli(*(part.format(**names) for part in command))
    assert_one_line(result, 2, line.format(**names))
    assert files_under(tmp_path) == before


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.slow
@pytest.mark.parametrize("address, line", [
    ("notanaddress", "batch: error: --dask 'notanaddress' is not a scheduler address such as "
                     "tcp://host:8786 (missing port number in address 'notanaddress')"),
    ("tcp://127.0.0.1:{port}",
     "batch: error: cannot reach the Dask scheduler at tcp://127.0.0.1:{port} (waited 5 s)"),
])
def test_unreachable_dask_scheduler(tmp_path, model, address, line):
    pytest.importorskip("distributed")
    port = free_port()
    result = run_cli("batch", tmp_path, tmp_path / "out", COUNT, "--dask", address.format(port=port))
    assert_one_line(result, 2, line.format(port=port))
    assert files_under(tmp_path) == ["model.stl"]


def test_errors_name_the_users_file(tmp_path, model):
    (tmp_path / "o.ply").mkdir()
    result = run_cli("reduce", model, COUNT, "-o", tmp_path / "o.ply")
    assert_one_line(result, 2, f"reduce: error: OUT {tmp_path / 'o.ply'} is a folder, not a file")

    # In a batch, a folder where a cloud should go fails that file alone, under its own name.
    (tmp_path / "in").mkdir()
    model.rename(tmp_path / "in" / "model.stl")
    (tmp_path / "out" / "model.npz").mkdir(parents=True)
    result = run_cli("batch", tmp_path / "in", tmp_path / "out", COUNT, "-q")
    assert result.returncode == 1
    assert read_failures(tmp_path / "out")[1:] == [
        ["model.stl", f"cannot write {tmp_path / 'out' / 'model.npz'}: Is a directory"]]
    assert files_under(tmp_path / "out") == ["failures.csv", RECORD_FILE]


@pytest.mark.parametrize("content, hint", [
    (b"\x89PNG\r\n\x1a\n" + bytes(range(256)), "this is a PNG picture, not an STL model"),
    (b"# made by hand\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n",
     'this is a text file that does not begin with "solid", so not an STL model'),
    (b"", "the file is empty"),
    (bytes(50), "the file has 50 bytes, fewer than a binary STL header's 84"),
    # An ASCII model that breaks the grammar: the reader's message names the line, no hint,
    # whatever the case of its keywords and the blanks before them.
    (b"solid cube\n  facet normal 0 0 1\n    outer loop\n      vertex 0 0\n", None),
    (b" SOLID cube\r\nFACET NORMAL 0 0 1\n", None),
])
def test_a_file_that_is_not_stl_gets_a_hint(tmp_path, content, hint):
    model = tmp_path / "model.stl"
    model.write_bytes(content)
    # The library keeps the reader's error as it is: its class, errno and file name.
    with pytest.raises(vertisift_tools.StlReadError) as raised:
        vertisift_tools.reduce_to_arrays(model, COUNT)
    assert (raised.value.errno, raised.value.filename) == (None, str(model))
    reason = raised.value.strerror
    assert reason == SHORT_FILE_MESSAGE or hint is None
    result = run_cli("reduce", model, COUNT, "-o", tmp_path / "o.ply")
    assert_one_line(result, 1, f"reduce: cannot convert {model}: {reason}" + (f" ({hint})" if hint else ""))
    assert files_under(tmp_path) == ["model.stl"]


def test_batch_of_a_folder_without_models(tmp_path):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "notes.txt").write_text("not a model\n")
    result = run_cli("batch", tmp_path / "in", tmp_path / "out", COUNT)
    assert_one_line(result, 1, "batch: error: no model files (.stl, .off, .obj, .ply, .glb, "
                    f".gltf) under {tmp_path / 'in'}; nothing to do")
    assert not (tmp_path / "out").exists()


def test_an_interrupted_run_counts_the_clouds_on_disk(tmp_path):
    from vertisift_tools.batching.runner import run_planned_batch
    from vertisift_tools.batching.task import run_task

    make_tree(tmp_path / "in")

    def execute(tasks, count, record):
        # Two files end and are reported; a third is written, but its end is still on its way
        # (a Dask result) when Ctrl-C comes.
        for task in tasks[:2]:
            record(task, run_task(task.model, task.cloud, count))
        run_task(tasks[2].model, tasks[2].cloud, count)
        raise KeyboardInterrupt

    report = run_planned_batch(tmp_path / "in", tmp_path / "out", COUNT, execute)
    assert report.interrupted
    assert report.converted == len(list((tmp_path / "out").glob("*.npz"))) == 3


def test_format_in_any_letter_case_and_folders_named_as_such(tmp_path, model):
    (tmp_path / "in").mkdir()
    model.rename(tmp_path / "in" / "model.stl")
    result = run_cli("batch", tmp_path / "in", tmp_path / "out", COUNT, "--format", "PLY", "-q")
    assert result.returncode == 0, result.stderr
    check_cloud(tmp_path / "out" / "model.ply", COUNT, torus_faces(16))

    result = run_cli("preview", tmp_path / "out" / "model.ply", "-o", tmp_path / "in")
    assert_one_line(result, 2, f"preview: error: PICTURE {tmp_path / 'in'} is a folder, not a file")


def test_default_normals_are_computed_and_missing_ones_are_named(tmp_path):
    """Most OFF, OBJ and PLY files store no normals, and some STL exporters store zeros: the
    default computes them. Asked for the stored ones, the command says which models have
    none, once per file, why, and which option gives them."""
    h5py = pytest.importorskip("h5py")
    faces = torus_faces(16)
    (tmp_path / "in").mkdir()
    meshgen.write_binary_stl(tmp_path / "in" / "good.stl", faces)
    meshgen.write_binary_stl(tmp_path / "in" / "flat.stl", [((0.0, 0.0, 0.0), *f[1:]) for f in faces])
    meshgen.write_off(tmp_path / "in" / "plain.off", faces)
    missing = (f"{COUNT} of {COUNT} points have the zero normal (0, 0, 0): the model stores no "
               "usable normals (none at all, or only zero, NaN or infinite ones); --normals auto "
               "computes them from the faces")

    for default in (True, False):
        chosen = [] if default else ["--normals", "file"]
        result = run_cli("reduce", tmp_path / "in" / "plain.off", COUNT, "-o", tmp_path / "p.npz",
                         *chosen)
        assert (result.returncode, result.stderr) == (0, "" if default else
                                                      f"vertisift reduce: warning: {missing}\n")
        out = tmp_path / f"out-{default}"
        result = run_cli("batch", tmp_path / "in", out, COUNT, "-q", "--format", "h5", *chosen)
        assert result.returncode == 0
        assert [line for line in result.stderr.splitlines() if "warning" in line] == (
            [] if default else [f"vertisift batch: warning: {name}: {missing}"
                                for name in ("flat.stl", "plain.off")])
        with h5py.File(out / "ply_data_all0.h5") as shard:
            lengths = np.linalg.norm(shard["normal"][:], axis=2)
        assert np.allclose(lengths, 1, atol=1e-6) == default
    # Where only some points lack one, the count of those comes first.
    assert zero_normal_warning(3, COUNT, "file").startswith(f"3 of {COUNT} points have the zero")


def test_no_command_writes_over_a_model_it_reads(tmp_path):
    """A cloud never replaces a model: an output that is the input, or a batch into its own
    folder in a format of its models, is refused before anything is written. A batch into a
    folder inside IN_DIR, or into IN_DIR in another format, resumes: its clouds are not
    taken for models."""
    (tmp_path / "D" / "sub").mkdir(parents=True)
    model = meshgen.write_ply(tmp_path / "D" / "sub" / "m.ply", torus_faces(8))
    meshgen.write_binary_stl(tmp_path / "D" / "s.stl", torus_faces(9))
    before = {name: (tmp_path / "D" / name).read_bytes() for name in files_under(tmp_path / "D")}

    for output in (model, tmp_path / "D" / "sub" / ".." / "sub" / "m.ply"):
        assert_one_line(run_cli("reduce", model, COUNT, "-o", output), 2,
                        f"reduce: error: OUT {output} is MODEL itself, which it would overwrite")
    assert_one_line(run_cli("batch", tmp_path / "D", tmp_path / "D", COUNT, "--format", "ply"), 2,
                    f"batch: error: OUT_DIR {tmp_path / 'D'} would get the cloud of sub/m.ply "
                    "written over sub/m.ply itself; choose another OUT_DIR or --format")
    assert {name: (tmp_path / "D" / name).read_bytes() for name in files_under(tmp_path / "D")} == before

    (tmp_path / "E").mkdir()
    meshgen.write_binary_stl(tmp_path / "E" / "s.stl", torus_faces(9))
    for in_dir, out, fmt, found in ((tmp_path / "D", tmp_path / "D" / "out", "ply", 2),
                                    (tmp_path / "D", tmp_path / "D", "npz", 2),
                                    (tmp_path / "E", tmp_path / "E", "ply", 1)):
        for done in (f"{found} converted, 0 already done", f"0 converted, {found} already done"):
            result = run_cli("batch", in_dir, out, COUNT, "-q", "--format", fmt)
            assert result.returncode == 0, result.stderr
            assert f"{found} models found: {done}, 0 failed" in result.stderr
    assert (tmp_path / "D" / "sub" / "m.ply").read_bytes() == before["sub/m.ply"]


def test_version_comes_from_the_distribution():
    try:
        expected = metadata.version("vertisift")
    except metadata.PackageNotFoundError:
        pytest.skip("vertisift is not installed as a distribution here")
    result = run_cli("--version")
    assert (result.returncode, result.stdout) == (0, f"vertisift {expected}\n")


@pytest.mark.parametrize("command", ["reduce", "batch", "preview"])
def test_help_says_what_the_points_and_normals_are(command):
    result = run_cli(command, "--help")
    text = " ".join(result.stdout.split())
    assert result.returncode == 0
    assert re.search(r"vertices of the (mesh|model)", text)
    assert re.search(r"(each occupied cell of a uniform grid|one per occupied grid cell)", text)
    assert "topped up" in text and "normal" in text
    if command != "preview":
        assert "(0, 0, 0) where they are zero or cancel out" in text

