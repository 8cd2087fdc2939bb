"""Models read straight from archives: every kind of archive gives the batch, the dataset and
`sample()` what the folder extracted from it gives, bit for bit; members are named one way
everywhere; bad members are refused or fail alone, and nothing is written outside OUT_DIR."""

from __future__ import annotations

import io
import tarfile
import zipfile
from pathlib import Path

import numpy as np
import pytest

import meshgen
import vertisift_tools
from cli_support import run_cli, torus_faces
from vertisift_tools.options import SampleOptions
from vertisift_tools.sources import ArchiveError

h5py = pytest.importorskip("h5py")

COUNT = 40
SEED = 5
TOP = "ModelNet"
MTL = "newmtl red\nKd 0.9 0.1 0.1\nnewmtl blue\nKd 0.1 0.2 0.8\n"


def make_models(root: Path) -> Path:
    """A ModelNet-style tree under root/ModelNet: two classes with train and test folders of
    OFF, STL and PLY models, an OBJ with its material library, and a file that is no model."""
    top = root / TOP
    for number, (klass, split) in enumerate(
        [(k, s) for k in ("chair", "table") for s in ("train", "test", "train")]
    ):
        folder = top / klass / split
        folder.mkdir(parents=True, exist_ok=True)
        writer = (meshgen.write_off, meshgen.write_binary_stl, meshgen.write_ply)[number % 3]
        suffix = (".off", ".stl", ".ply")[number % 3]
        writer(folder / f"{klass}_{number:03d}{suffix}", torus_faces(6 + number))
    obj = top / "chair" / "train" / "painted.obj"
    meshgen.write_obj(obj, torus_faces(8))
    lines = obj.read_text().splitlines()
    faces = [line for line in lines if line.startswith("f ")]
    half = len(faces) // 2
    body = [line for line in lines if line.startswith("v ")]
    body += ["usemtl red", *faces[:half], "usemtl blue", *faces[half:]]
    obj.write_text("mtllib paint.mtl\n" + "\n".join(body) + "\n")
    (obj.parent / "paint.mtl").write_text(MTL)
    (top / "README.txt").write_text("no model\n")
    return top


def pack(top: Path, archive: Path) -> Path:
    """The folder `top` and everything under it, in an archive of the kind its name says."""
    files = sorted(path for path in top.rglob("*") if path.is_file())
    if archive.name.endswith(".zip"):
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as out:
            for path in files:
                out.write(path, path.relative_to(top.parent).as_posix())
        return archive
    if archive.name.endswith(".zst"):
        zstandard = pytest.importorskip("zstandard")
        plain = io.BytesIO()
        with tarfile.open(fileobj=plain, mode="w") as out:
            out.add(top, arcname=top.name)
        archive.write_bytes(zstandard.ZstdCompressor().compress(plain.getvalue()))
        return archive
    mode = {".tar": "w", ".gz": "w:gz", ".xz": "w:xz"}[archive.suffix]
    with tarfile.open(archive, mode) as out:
        out.add(top, arcname=top.name)
    return archive


def contents(root: Path) -> dict[str, bytes]:
    return {
        path.relative_to(root).as_posix(): path.read_bytes()
        for path in sorted(root.rglob("*"))
        if path.is_file()
    }


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    """The tree, and its shards made from the folder (the reference of every archive)."""
    root = tmp_path_factory.mktemp("models")
    top = make_models(root)
    out = root / "shards"
    report = vertisift_tools.batch(
        top, out, COUNT, fmt="h5", jobs=2, labels="folders", split_folders=True,
        options=SampleOptions(seed=SEED, method="surface", colors=True), shard_size=4,
    )
    assert report.ok and report.converted == 7, report
    return top, contents(out)


@pytest.mark.parametrize("suffix", [".zip", ".tar", ".tar.gz", ".tar.xz", ".tar.zst"])
def test_an_archive_makes_the_shards_of_its_folder(tmp_path, models, suffix):
    top, expected = models
    archive = pack(top, tmp_path / f"ModelNet{suffix}")
    out = tmp_path / "shards"  # the lists of shards name it
    report = vertisift_tools.batch(
        archive, out, COUNT, fmt="h5", jobs=2, labels="folders", split_folders=True,
        options=SampleOptions(seed=SEED, method="surface", colors=True), shard_size=4,
    )
    assert report.ok and report.converted == 7, report
    assert contents(out) == expected
    # A rerun finds every shard complete.
    again = vertisift_tools.batch(
        archive, out, COUNT, fmt="h5", jobs=1, labels="folders", split_folders=True,
        options=SampleOptions(seed=SEED, method="surface", colors=True), shard_size=4,
    )
    assert (again.converted, again.skipped) == (0, 7)


def test_a_member_is_named_alike_everywhere(tmp_path, models):
    top, _ = models
    archive = pack(top, tmp_path / "ModelNet.zip")
    for relative in ("chair/train/painted.obj", "table/test/table_004.stl"):
        member = f"zip://{TOP}/{relative}::{archive}"
        drawn = vertisift_tools.sample(member, 30, seed=3, colors=True, method="surface")
        on_disk = vertisift_tools.sample(top / relative, 30, seed=3, colors=True, method="surface")
        for got, want in zip(drawn, on_disk, strict=True):
            np.testing.assert_array_equal(got, want)
        for got, want in zip(vertisift_tools.read_mesh(member),
                             vertisift_tools.read_mesh(top / relative), strict=True):
            np.testing.assert_array_equal(got, want)
    # The material library came through the archive: both colours are there.
    colours = vertisift_tools.sample(f"zip://{TOP}/chair/train/painted.obj::{archive}", 200,
                                     seed=1, colors=True, method="surface")[2]
    assert {tuple(np.round(c.astype(float), 1).tolist()) for c in colours} == {
        (0.9, 0.1, 0.1), (0.1, 0.2, 0.8)}

    member = f"zip://{TOP}/chair/test/chair_001.stl::{archive}"
    result = run_cli("reduce", member, 25, "-o", tmp_path / "one.ply", "--seed", 4)
    assert result.returncode == 0, result.stderr
    result = run_cli("reduce", top / "chair/test/chair_001.stl", 25, "-o", tmp_path / "two.ply",
                     "--seed", 4)
    assert (tmp_path / "one.ply").read_bytes() == (tmp_path / "two.ply").read_bytes()
    missing = run_cli("reduce", f"zip://{TOP}/chair/none.off::{archive}", 25,
                      "-o", tmp_path / "three.ply")
    assert missing.returncode != 0 and "No such file" in missing.stderr


def test_the_dataset_reads_a_zip_as_its_folder(tmp_path, models):
    top, _ = models
    archive = pack(top, tmp_path / "ModelNet.zip")
    kwargs = dict(labels="folders", split="train", seed=SEED)
    folder = vertisift_tools.PointCloudDataset(top, 32, **kwargs)
    zipped = vertisift_tools.PointCloudDataset(archive, 32, **kwargs)
    assert zipped.relative_paths == folder.relative_paths and len(zipped) == 5
    assert zipped.classes == folder.classes
    for index in range(len(folder)):
        (got, label), (want, expected) = zipped[index], folder[index]
        np.testing.assert_array_equal(got, want)
        assert label == expected
    # A list of members is a list of paths.
    chosen = folder.relative_paths[1:4]
    members = [f"zip://{TOP}/{relative}::{archive}" for relative in chosen]
    listed = vertisift_tools.PointCloudDataset(members, 32, seed=SEED, root=TOP)
    paths = vertisift_tools.PointCloudDataset([top / r for r in chosen], 32, seed=SEED, root=top)
    assert listed.relative_paths == paths.relative_paths == chosen
    assert all(np.array_equal(listed[i], paths[i]) for i in range(3))
    with pytest.raises(ArchiveError, match="compressed tar, which can only be read from its"):
        vertisift_tools.PointCloudDataset(pack(top, tmp_path / "m.tar.gz"), 32)


def cp437_member(archive: Path, name: str, data: bytes) -> None:
    """Adds a member whose name is stored in code page 437, without the UTF-8 flag, as older
    archivers write them: stored under a placeholder of as many bytes, then patched."""
    encoded = name.encode("cp437")
    placeholder = b"#" * len(encoded)
    with zipfile.ZipFile(archive, "a") as out:
        out.writestr(placeholder.decode(), data)
    raw = archive.read_bytes()
    assert raw.count(placeholder) == 2  # the local header and the central directory
    archive.write_bytes(raw.replace(placeholder, encoded))


def test_bad_members_are_refused_or_fail_alone(tmp_path):
    archive = tmp_path / "bad.zip"
    meshgen.write_binary_stl(tmp_path / "good.stl", torus_faces(6))
    solid = (tmp_path / "good.stl").read_bytes()
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as out:
        out.writestr("set/good.stl", solid)
        out.writestr("set/Stühle/ü.stl", solid)  # stored with the UTF-8 flag
        for name in ("../evil.stl", "/absolute.stl", "C:/drive.stl", "set/..\\..\\back.stl"):
            out.writestr(zipfile.ZipInfo(name), solid)
        out.writestr("set/damaged.stl", solid)
        out.writestr("set/bomb.stl", bytes(80 << 20))
    cp437_member(archive, "set/Tische/é.stl", solid)
    raw = bytearray(archive.read_bytes())
    # Damage the compressed bytes of one member: its CRC no longer holds.
    with zipfile.ZipFile(archive) as listing:
        info = listing.getinfo("set/damaged.stl")
    start = info.header_offset + 30 + len(info.filename.encode()) + len(info.extra) + 10
    raw[start : start + 8] = bytes(8)
    archive.write_bytes(bytes(raw))

    out = tmp_path / "out"
    report = vertisift_tools.batch(archive, out, COUNT, fmt="ply", jobs=2)
    failures = {failure.path: failure.message for failure in report.failures}
    assert report.converted == 3
    assert sorted(path.relative_to(out).as_posix() for path in out.rglob("*.ply")) == [
        "set/Stühle/ü.ply", "set/Tische/é.ply", "set/good.ply"]
    for name in ("../evil.stl", "/absolute.stl", "C:/drive.stl", "set/..\\..\\back.stl"):
        assert "leads outside the archive's folder" in failures[name]
    assert "damaged" in failures["set/damaged.stl"]
    assert "decompression bomb" in failures["set/bomb.stl"]
    assert len(failures) == 6
    assert sorted(path.name for path in tmp_path.iterdir()) == ["bad.zip", "good.stl", "out"]
    listed = (out / "failures.csv").read_text()
    assert "../evil.stl" in listed and "set/bomb.stl" in listed
