"""The OFF, OBJ and PLY files written by other tools: each reads as the triangles its polygons
fan into, or fails with a one-line MeshReadError where the file is broken or is not a mesh."""

import numpy as np
import pytest

from conftest import MESH_DATA, needs_mesh_data
from vertisift_tools import MeshReadError, read_mesh, sample

pytestmark = needs_mesh_data

# Triangles after fanning every polygon (tristrips split into their triangles).
TRIANGLES = {
    "assimp/Cube.off": 12, "geomview/br2.off": 36,
    "geomview/pieces/cube1.off": 12,          # no keyword at all
    "geomview/trapezoid.4d.off": 12,          # homogeneous coordinates
    "geomview/unitcube.off": 12, "geomview/vertcube.off": 12,
    "jjcao-orientation/twoplane_500.off": 0,  # a point cloud with normals
    "libigl-data/camelhead.off": 22704,
    "libigl-data/inspired_mesh_quads_Conjugate.off": 3266,  # records over several lines
    "o3dv/rectangle_vertex_colors_int.off": 2, "openscad/far-out-ring.off": 3072,
    "pmp/beetle.off": 9664,                   # binary
    "pmp/fandisk_quads.off": 1528, "pmp/L.off": 4, "trimesh/whitespace.off": 12,
    "assimp/box.obj": 12, "assimp/box_UTF16BE.obj": 12, "assimp/concave_polygon.obj": 64,
    "assimp/point_cloud.obj": 0, "assimp/spider.obj": 1368, "assimp/testmixed.obj": 12,
    "tinyobjloader/cube-vertex-w-component.obj": 12,
    "tinyobjloader/invalid-face-definition.obj": 0,  # faces of one and two corners
    "tinyobjloader/test-nan.obj": 36, "trimesh/jacked.obj": 12,
    "trimesh/negative_indices.obj": 12, "trimesh/notenoughindices.obj": 1,
    "trimesh/quadknot.obj": 2880, "trimesh/wallhole.obj": 66, "vtk-data/cow.obj": 5804,
    "assimp/cube.ply": 12, "assimp/cube_binary.ply": 12,
    "assimp/cube_binary_starts_with_nl.ply": 12, "assimp/points.ply": 0,
    "assimp/Wuson.ply": 3732,                 # a header line without "comment"
    "happly/platonic_shelf.ply": 80,          # faces before vertices
    "happly/platonic_shelf_big_endian.ply": 80, "meshlab/brain.ply": 36752,  # tristrips
    "o3dv/cube.ply": 12, "trimesh/cycloidal.ply": 43368, "trimesh/metadata.ply": 2,
    "trimesh/ply_empty_header.ply": 0, "trimesh/points_ascii_with_lists.ply": 0,
    "vtk-data/horse.ply": 96966, "vtk-data/pepper.ply": 29956,
}

# Broken, or not a mesh at all: the words the message must hold.
REFUSED = {
    "assimp/invalid.off": "OFF line",
    "vtk-data/mni-surface-mesh.obj": "not a Wavefront OBJ file",
    "assimp/issue623.ply": "PLY line",
    "assimp/payload_JVN42386607.ply": "PLY line 2",
}


def test_the_lists_cover_every_file():
    found = {p.relative_to(MESH_DATA).as_posix() for p in MESH_DATA.rglob("*")
             if p.suffix.lower() in {".off", ".obj", ".ply"}}
    assert found == set(TRIANGLES) | set(REFUSED)


@pytest.mark.parametrize("name", TRIANGLES)
def test_file_reads(name):
    vertices, faces = read_mesh(MESH_DATA / name)
    assert len(faces) == TRIANGLES[name]
    assert faces.size == 0 or (faces.min() >= 0 and faces.max() < len(vertices))
    if TRIANGLES[name] and np.isfinite(vertices[faces]).all():
        positions, normals = sample(MESH_DATA / name, 64, method="surface", normals="file",
                                    seed=3)
        assert positions.shape == normals.shape == (64, 3)


def test_the_two_byte_orders_of_one_model_agree():
    little = read_mesh(MESH_DATA / "happly/platonic_shelf.ply")
    big = read_mesh(MESH_DATA / "happly/platonic_shelf_big_endian.ply")
    np.testing.assert_array_equal(little[0][little[1]], big[0][big[1]])


@pytest.mark.parametrize("name", REFUSED)
def test_file_is_refused(name):
    with pytest.raises(MeshReadError) as caught:
        read_mesh(MESH_DATA / name)
    assert REFUSED[name] in caught.value.strerror and "\n" not in caught.value.strerror
