"""Checks of the benchmark itself: the generated meshes, the worker protocol, the report."""

import re
from collections import Counter
from pathlib import Path

import numpy as np
import pytest

import meshes
import report
import run
import vertisift
from worker import parse_stages

SHARED_STL = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "stl"


@pytest.fixture(scope="module")
def small_torus():
    vertices, faces = meshes.torus(12, 8)
    return vertices, faces, meshes.face_normals(vertices, faces)


def test_torus_is_closed_oriented_and_shared_by_six(small_torus):
    vertices, faces, normals = small_torus
    assert len(faces) == 2 * 12 * 8
    assert len(np.unique(vertices, axis=0)) == len(vertices) == 12 * 8
    assert set(Counter(faces.ravel().tolist()).values()) == {6}
    # Closed and consistently wound: every directed edge once, and its reverse once.
    edges = Counter((int(a), int(b)) for face in faces for a, b in
                    ((face[0], face[1]), (face[1], face[2]), (face[2], face[0])))
    assert set(edges.values()) == {1}
    assert all((b, a) in edges for a, b in edges)
    centroids = vertices[faces].mean(axis=1)
    angle = np.arctan2(centroids[:, 1], centroids[:, 0])
    tube_centres = np.stack([meshes.MAJOR_RADIUS * np.cos(angle),
                             meshes.MAJOR_RADIUS * np.sin(angle), 0 * angle], axis=1)
    assert (np.einsum("ij,ij->i", normals, centroids - tube_centres) > 0).all()


def test_binary_and_ascii_files_hold_the_same_float32_bits(small_torus, tmp_path):
    vertices, faces, normals = small_torus
    binary, text = tmp_path / "t.stl", tmp_path / "t-ascii.stl"
    meshes.write_binary(binary, vertices, faces, normals)
    meshes.write_ascii(text, vertices, faces, normals)

    data = binary.read_bytes()
    assert len(data) == 84 + 50 * len(faces)
    assert int.from_bytes(data[80:84], "little") == len(faces)
    records = np.frombuffer(data, dtype=meshes.BINARY_RECORD, offset=84)
    assert np.array_equal(records["corners"].view(np.uint32),
                          vertices[faces].view(np.uint32))
    assert np.array_equal(records["normal"].view(np.uint32), normals.view(np.uint32))

    lines = text.read_text().splitlines()
    assert lines[0] == "solid torus" and lines[-1] == "endsolid torus"
    numbers = [float(value) for value in
               re.findall(r"(?:normal|vertex) (\S+ \S+ \S+)", text.read_text())
               for value in value.split()]
    parsed = np.array(numbers, dtype=np.float32).reshape(len(faces), 4, 3)
    assert np.array_equal(parsed[:, 0].view(np.uint32), normals.view(np.uint32))
    assert np.array_equal(parsed[:, 1:].view(np.uint32), vertices[faces].view(np.uint32))


@pytest.mark.parametrize("clusters", [0, 50, 96, 500])
def test_vertisift_reduces_a_generated_mesh_to_its_own_vertices(small_torus, tmp_path, clusters):
    vertices, faces, normals = small_torus
    path = tmp_path / "t.stl"
    meshes.write_binary(path, vertices, faces, normals)
    positions, point_normals = vertisift.reduce_stl_points(path, clusters)
    assert len(positions) == len(point_normals) == clusters
    known = {tuple(vertex) for vertex in vertices.astype(np.float64).tolist()}
    assert all(tuple(position) in known for position in positions)


@pytest.mark.parametrize("text, expected", [
    ("vertisift-stages read=0.5 normals=0.25 grid=1e-3 cells=0.125 adjust=0 split=2.5\n",
     {"read": 0.5, "normals": 0.25, "grid": 1e-3, "cells": 0.125, "adjust": 0.0,
      "split": 2.5}),
    ("warning: x\nvertisift-stages read=1 normals=1 grid=1 cells=1 adjust=1 split=1\n"
     "vertisift-stages read=2 normals=2 grid=2 cells=2 adjust=2 split=2\nmore\n",
     dict.fromkeys(("read", "normals", "grid", "cells", "adjust", "split"), 2.0)),
    ("nothing from a release build\n", None),
])
def test_parse_stages(text, expected):
    assert parse_stages(text) == expected


def test_parse_stages_refuses_other_names():
    with pytest.raises(ValueError, match="unexpected stage names"):
        parse_stages("vertisift-stages read=1 normals=1 grid=1 cells=1 adjust=1\n")


def test_measure_file_times_alternating_tools_and_keeps_going(small_torus, tmp_path):
    vertices, faces, normals = small_torus
    path = tmp_path / "t.stl"
    meshes.write_binary(path, vertices, faces, normals)
    records = run.measure_file(path, ["vertisift", "vertisift-1t", "no-such-tool"],
                               clusters=40, runs=3, warmup=1, timeout=120, faces=len(faces))
    for tool in ("vertisift", "vertisift-1t"):
        record = records[tool]
        assert record["status"] == "ok"
        assert len(record["seconds"]) == 3 and record["median"] > 0
        assert record["output"] == 40
        assert record["peak_kib"] >= record["baseline_kib"] > 0
    assert records["no-such-tool"]["status"] == \
        "unavailable: ValueError: unknown tool 'no-such-tool'"

    missing = run.measure_file(tmp_path / "absent.stl", ["vertisift"], clusters=40, runs=3,
                               warmup=1, timeout=120)["vertisift"]
    assert missing["status"] == ("failed: OSError: Ошибка чтения STL-файла: "
                                 "No such file or directory (os error 2)")
    assert "median" not in missing


@pytest.mark.parametrize("faces, status", [
    (0, "ok"),
    (None, "ok"),  # unknown: either count is taken
    (12, "failed: returned 0 points, not 40"),
])
def test_measure_file_checks_the_point_count(tmp_path, faces, status):
    empty = tmp_path / "empty.stl"
    empty.write_bytes(bytes(84))
    record = run.measure_file(empty, ["vertisift"], clusters=40, runs=1, warmup=0,
                              timeout=120, faces=faces)["vertisift"]
    assert record["status"] == status


@pytest.mark.parametrize("name, expected", [
    ("trimesh/torus.STL", ("binary", 8700)),  # binary whose header starts with "solid"
    ("numpy-stl/stl_binary/HalfDonut.stl", ("binary", 288)),  # one stray byte at the end
    ("numpy-stl/stl_ascii/Cube.stl", ("ascii", 12)),  # length that looks binary
    ("vtk-data/gears.stl", ("ascii", 19426)),
])
def test_describe_real_file(name, expected):
    if not (SHARED_STL / name).exists():
        pytest.skip("real STL files are not beside the repository")
    assert run.describe_real_file(SHARED_STL / name) == expected


def fake_results(ours: float, pyvista: float, trimesh: float, peak: tuple[int, int],
                 ascii_seconds: float | None) -> dict:
    def record(seconds, peak_kib=1000, baseline_kib=500):
        return {"status": "ok", "median": seconds, "peak_kib": peak_kib,
                "baseline_kib": baseline_kib}

    files = []
    for size, faces, factor in (("100k", 100_000, 0.05), ("2m", 2_000_000, 1.0),
                                ("4m", 4_000_000, 2.4)):
        tools = {"vertisift": record(ours * factor), "pyvista-stl": record(pyvista * factor)}
        if size == "2m":
            tools = {"vertisift": record(ours, peak_kib=peak[0]),
                     "pyvista-stl": record(pyvista, peak_kib=peak[1]),
                     "trimesh": record(trimesh)}
        files.append({"name": f"torus-{size}-binary.stl", "kind": "generated", "size": size,
                      "format": "binary", "faces": faces, "bytes": 84 + 50 * faces,
                      "tools": tools})
    ascii_record = ({"status": "failed: OSError: not yet"} if ascii_seconds is None
                    else record(ascii_seconds))
    files.append({"name": "torus-4m-ascii.stl", "kind": "generated", "size": "4m",
                  "format": "ascii", "faces": 4_000_000, "bytes": 1_136_000_000,
                  "tools": {"vertisift": ascii_record}})
    return {"settings": {"clusters": 10000}, "files": files}


def test_targets_met_and_not_met():
    good = {target: verdict for target, _, verdict in report.evaluate_targets(
        fake_results(0.3, 0.25, 3.5, (900, 1000), ascii_seconds=3.0))}
    assert list(good.values()) == ["met", "met", "not measured", "met", "met", "met"]

    bad = report.evaluate_targets(fake_results(0.4, 0.25, 3.5, (1100, 1000), None))
    assert [verdict for _, _, verdict in bad] == \
        ["not met", "not met", "not measured", "met", "not met", "not met"]
    assert bad[5][1] == "torus-4m-ascii.stl: failed: OSError: not yet"


def test_plain_fps_takes_the_farthest_point_and_the_lowest_index_on_ties():
    import even_bench

    # From 0: 10 is farthest, then 5; then 2 and -2 tie, and the lower index comes first.
    line = np.array([[0, 0, 0], [2, 0, 0], [-2, 0, 0], [10, 0, 0], [5, 0, 0]], np.float32)
    assert even_bench.plain_fps(line, 5).tolist() == [0, 3, 4, 1, 2]


def test_quality_of_a_hexagonal_lattice_is_one_d_hex_apart(tmp_path):
    import even_bench

    # 20 x 20 lattice points of spacing 1 on the rectangle they tile, two triangles.
    rows, columns, height = 20, 20, np.sqrt(3) / 2
    j, i = np.divmod(np.arange(rows * columns), columns)
    points = np.column_stack([i + 0.25 + 0.5 * (j % 2), (j + 0.5) * height, 0 * i])
    corners = np.array([[0, 0, 0], [columns, 0, 0], [columns, rows * height, 0],
                        [0, rows * height, 0]])
    np.save(tmp_path / "v.npy", corners)
    np.save(tmp_path / "f.npy", np.array([[0, 1, 2], [0, 2, 3]]))
    np.save(tmp_path / "p.npy", points)
    result = even_bench.quality(str(tmp_path / "v.npy"), str(tmp_path / "f.npy"),
                                {"hex": str(tmp_path / "p.npy")}, 20_000)
    assert result["area"] == pytest.approx(rows * columns * height)
    figures = result["figures"]["hex"]
    assert figures["count"] == rows * columns
    assert figures["min"] == pytest.approx(1.0)
    # 1/sqrt(3) inside the lattice; the rectangle's corners lie up to sqrt(3)/2 from a point.
    assert 1 / np.sqrt(3) < figures["cover"] < np.sqrt(3) / 2 + 0.01


def test_builds_alternate_and_the_fixed_forms_read_as_the_nine_digit_ones(tmp_path):
    import sys

    import read_bench

    import vertisift_tools

    vertices, faces = meshes.torus(12, 8)
    for form in ("fixed.off", "fixed.obj", "off"):
        read_bench.write_form(tmp_path / f"t.{form}", vertices, faces, form)
    assert (tmp_path / "t.fixed.off").read_text().splitlines()[2].startswith("4.000000 0.000000 ")
    # "%f" keeps six places: the same faces, the positions within half a unit of the sixth.
    nine = vertisift_tools.read_mesh(tmp_path / "t.off")
    for form in ("fixed.off", "fixed.obj"):
        fixed = vertisift_tools.read_mesh(tmp_path / f"t.{form}")
        assert np.array_equal(fixed[1], nine[1])
        assert np.abs(fixed[0] - nine[0]).max() <= 5e-7 + 1e-6
    builds = [read_bench.Build(label, sys.executable) for label in ("one", "two")]
    try:
        rows = read_bench.compare_builds(builds, "sample-surface", tmp_path / "t.off", 3, 2)
    finally:
        for build in builds:
            build.close()
    assert [row.split(" | ")[2] for row in rows] == ["one", "two"]
    assert rows[0].endswith("| 1.000 (1.000–1.000) |")
    assert all(re.search(r"\| \d+\.\d \(\d+\.\d–\d+\.\d\) \| \d+ \(\d+–\d+\) \|", row) for row in rows)


def cube(half: float, first: int) -> tuple[np.ndarray, np.ndarray]:
    """The 8 corners of an axis-aligned cube about the origin and its 12 triangles, numbered
    from `first`."""
    corners = np.array([[x, y, z] for x in (-half, half) for y in (-half, half)
                        for z in (-half, half)], np.float32)
    faces = np.array([[0, 1, 3], [0, 3, 2], [4, 6, 7], [4, 7, 5], [0, 4, 5], [0, 5, 1],
                      [2, 3, 7], [2, 7, 6], [0, 2, 6], [0, 6, 4], [1, 5, 7], [1, 7, 3]])
    return corners, faces + first


@pytest.mark.parametrize("inner, removed", [(True, 24 / 120), (False, 0.0)])
def test_removed_share_is_the_area_no_direction_sees(tmp_path, inner, removed):
    import ray_bench

    # A cube of side 4 around one of side 2: the inner one (24 of the 120 units of area) is
    # hidden from every direction; the outer one is seen from outside all over. Both are
    # turned off the axes, so that points drawn on a face lie off its plane by rounding, as on
    # real models, and only the near distance keeps a ray from hitting its own face.
    vertices, faces = cube(2.0, 0)
    if inner:
        inside, inside_faces = cube(1.0, len(vertices))
        vertices, faces = np.vstack([vertices, inside]), np.vstack([faces, inside_faces])
    c, s = np.cos(0.5), np.sin(0.5)
    turn = np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]]) @ np.array([[1, 0, 0], [0, c, -s], [0, s, c]])
    vertices = (vertices.astype(np.float64) @ turn.T).astype(np.float32)
    path = tmp_path / "boxes.stl"
    meshes.write_binary(path, vertices, faces, meshes.face_normals(vertices, faces))
    figures = ray_bench.removed_share(path, 20_000)
    assert figures["faces"] == len(faces)
    assert figures["removed"] == pytest.approx(removed, abs=0.015)
    assert figures["visible_seen"] == 1.0
