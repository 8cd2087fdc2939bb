"""glTF and GLB: the scene a viewer shows, in scene coordinates, with its colours; every
length checked, every refusal in one line, compressed geometry decoded or refused, never
zeros."""

import io
import json
import sys
from pathlib import Path

import numpy as np
import pytest

vertisift_tools = pytest.importorskip("vertisift_tools")
Image = pytest.importorskip("PIL.Image")
from gltf_writer import CLAMP, MIRROR, REPEAT, Gltf, trs_matrix  # noqa: E402
from vertisift_tools import MeshReadError  # noqa: E402
from vertisift_tools.models import find_models  # noqa: E402

COLOUR = Path(__file__).resolve().parents[2] / "shared" / "data" / "colour"
needs_colour = pytest.mark.skipif(not COLOUR.is_dir(), reason=f"no real files in {COLOUR}")

IMAGE = np.stack(np.broadcast_arrays(
    np.arange(8)[None, :] * 255 // 7, np.arange(4)[:, None] * 255 // 3,
    (np.arange(8)[None, :] + np.arange(4)[:, None]) % 2 * 255), axis=-1).astype(np.uint8)


def png(image):
    out = io.BytesIO()
    Image.fromarray(image).save(out, format="PNG")
    return out.getvalue()


def wrap(i, size, mode):
    if mode == CLAMP:
        return np.clip(i, 0, size - 1)
    if mode == MIRROR:
        folded = np.mod(i, 2 * size)
        return np.where(folded < size, folded, 2 * size - 1 - folded)
    return np.mod(i, size)


def texture_at(image, u, v, modes):
    """The image bilinear at glTF's (u, v): texel centres at (i + 1/2) / size, v down."""
    height, width = image.shape[:2]
    x, y = u * width - 0.5, v * height - 0.5
    left, top = np.floor(x).astype(int), np.floor(y).astype(int)
    fx, fy = (x - left)[:, None], (y - top)[:, None]
    at = lambda i, j: image[wrap(j, height, modes[1]), wrap(i, width, modes[0])] / 255  # noqa: E731
    return ((1 - fy) * ((1 - fx) * at(left, top) + fx * at(left + 1, top))
            + fy * ((1 - fx) * at(left, top + 1) + fx * at(left + 1, top + 1)))


TRANSFORM = {"offset": [0.25, -0.5], "rotation": 0.3, "scale": [1.5, 2.0]}


def transformed(uv):
    c, s = np.cos(TRANSFORM["rotation"]), np.sin(TRANSFORM["rotation"])
    u, v = uv[:, 0] * TRANSFORM["scale"][0], uv[:, 1] * TRANSFORM["scale"][1]
    return c * u + s * v + TRANSFORM["offset"][0], -s * u + c * v + TRANSFORM["offset"][1]


def build_scene():
    """Three meshes over four nodes (nested TRS, a mirroring matrix, one mesh instanced
    twice): an indexed quad of quantised positions with u8 colours and a clamped and mirrored,
    transformed texture; a strided, sparse strip with float colours; an indexed fan on a
    repeated texture of its second coordinate set. Returns the file's writer and, per
    primitive instance, its world matrix, local vertices, triangles (before any mirroring),
    RGBA colours, the uvs its material looks up, and its material's index."""
    g = Gltf()
    image = g.image(png(IMAGE))
    clamped = g.textured_material(image, (0.5, 1, 0.75, 1), (CLAMP, MIRROR), 0, TRANSFORM)
    plain = g.add("materials", {"pbrMetallicRoughness": {"baseColorFactor": [0.2, 0.4, 0.6, 1]}})
    repeated = g.textured_material(image, (1, 1, 1, 1), (REPEAT, REPEAT), 1)

    quad = np.array([[-1, -1, 0], [1, -1, 0], [1, 1, 0.5], [-1, 1, 0]])
    quantised = np.round(quad * 32767).astype(np.int16)
    quad_uv = np.array([[-0.5, -0.25], [1.5, -0.25], [1.5, 1.25], [-0.5, 1.25]], np.float32)
    quad_rgba = np.array([[255, 128, 0, 255], [0, 255, 64, 0], [128, 128, 255, 255],
                          [255, 255, 255, 255]], np.uint8)
    quad_faces = np.array([[0, 1, 2], [0, 2, 3]])
    mesh0 = g.add("meshes", {"primitives": [{"attributes": {
        "POSITION": g.accessor(quantised, normalized=True),
        "TEXCOORD_0": g.accessor(quad_uv),
        "COLOR_0": g.accessor(quad_rgba, normalized=True)},
        "indices": g.accessor(quad_faces.reshape(-1).astype(np.uint16)), "material": clamped}]})

    strip = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0.25], [0, 2, 0]], np.float32)
    moved = np.array([[0.1, 1.2, -0.3]], np.float32)
    strip_rgb = np.linspace(0, 1, 15, dtype=np.float32).reshape(5, 3)
    mesh1 = g.add("meshes", {"primitives": [{"attributes": {
        "POSITION": g.accessor(strip, stride=16, sparse=(np.array([2]), moved)),
        "COLOR_0": g.accessor(strip_rgb)}, "mode": 5, "material": plain}]})
    strip[2] = moved[0]
    strip_faces = np.array([[0, 1, 2], [2, 1, 3], [2, 3, 4]])

    fan = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1.5, 0], [-1, 1, 0]], np.float32)
    fan_uv1 = np.array([[0.5, 0.5], [1.7, 0.2], [1.2, 1.9], [-0.4, 1.1], [-1.3, -0.2]], np.float32)
    mesh2 = g.add("meshes", {"primitives": [{"attributes": {
        "POSITION": g.accessor(fan), "TEXCOORD_0": g.accessor(np.zeros((5, 2), np.float32)),
        "TEXCOORD_1": g.accessor(fan_uv1)},
        "indices": g.accessor(np.arange(5, dtype=np.uint32)), "mode": 6, "material": repeated}]})
    fan_faces = np.array([[0, 1, 2], [0, 2, 3], [0, 3, 4]])

    turn = (0, 0, np.sin(np.pi / 4), np.cos(np.pi / 4))
    mirror = np.diag([-1.0, 1, 1, 1])
    mirror[:3, 3] = (0, 0, 5)
    g.add("nodes", {"mesh": mesh0, "translation": [1, 2, 3], "rotation": list(turn),
                    "scale": [2, 2, 2], "children": [1]})
    g.add("nodes", {"mesh": mesh1, "matrix": mirror.T.reshape(-1).tolist()})
    g.add("nodes", {"mesh": mesh2, "translation": [10, 0, 0]})
    g.add("nodes", {"mesh": mesh2, "scale": [1, 1, 3]})
    g.scene([0, 2, 3])
    root = trs_matrix((1, 2, 3), turn, (2, 2, 2))
    white = np.ones((5, 4))
    instances = [
        (root, quantised / 32767, quad_faces, quad_rgba / 255, transformed(quad_uv), clamped),
        (root @ mirror, strip, strip_faces, np.c_[strip_rgb, np.ones(5)], None, plain),
        (trs_matrix((10, 0, 0)), fan, fan_faces, white, fan_uv1.T, repeated),
        (trs_matrix(scale=(1, 1, 3)), fan, fan_faces, white, fan_uv1.T, repeated),
    ]
    return g, instances


FACTORS = {0: (0.5, 1, 0.75), 1: (0.2, 0.4, 0.6), 2: (1, 1, 1)}
MODES = {0: (CLAMP, MIRROR), 2: (REPEAT, REPEAT)}


@pytest.mark.parametrize("container", ["glb", "gltf", "embedded"])
def test_a_written_scene_reads_back_as_its_triangles_and_colours(tmp_path, container):
    g, instances = build_scene()
    path = (g.write_glb(tmp_path / "s.glb") if container == "glb"
            else g.write_gltf(tmp_path / "s.gltf", embedded=container == "embedded"))
    # The .bin beside a .gltf is its buffer, never a model of a folder.
    assert find_models(tmp_path) == [path]
    vertices, faces = vertisift_tools.read_mesh(path)
    expected, colours, uvs, materials = [], [], [], []
    for world, local, triangles, rgba, uv, material in instances:
        placed = (np.c_[local, np.ones(len(local))] @ world.T)[:, :3]
        if np.linalg.det(world[:3, :3]) < 0:
            triangles = triangles[:, [0, 2, 1]]  # a mirrored node keeps its faces outward
        expected.append(placed[triangles])
        colours.append(rgba[:, :3])
        uvs.append(np.zeros((len(local), 2)) if uv is None else np.c_[uv[0], uv[1]])
        materials += [material] * len(triangles)
    np.testing.assert_allclose(vertices[faces], np.concatenate(expected), atol=2e-5)

    _, _, got, face, weights = vertisift_tools.sample(
        path, 4000, method="surface", seed=3, colors=True, return_faces=True,
        return_barycentric=True)
    corners = faces[face]
    rgb = np.einsum("pk,pkc->pc", weights, np.concatenate(colours)[corners])
    uv = np.einsum("pk,pkc->pc", weights, np.concatenate(uvs)[corners])
    material = np.array(materials)[face]
    want = rgb * np.array([FACTORS[m] for m in material])
    for m, modes in MODES.items():
        on = material == m
        want[on] *= texture_at(IMAGE, uv[on, 0], uv[on, 1], modes)
    assert set(material) == {0, 1, 2}
    np.testing.assert_allclose(got, want, atol=1e-4)


def small(tmp_path, change=None, uri=None):
    """A one-triangle model, `change(doc)` applied, as a .gltf beside its .bin (or `uri`)."""
    g = Gltf()
    g.add("meshes", {"primitives": [{"attributes": {"POSITION": g.accessor(
        np.eye(3, dtype=np.float32))}, "indices": g.accessor(np.array([0, 1, 2], np.uint16))}]})
    g.add("nodes", {"mesh": 0})
    g.scene([0])
    path = g.write_gltf(tmp_path / "m.gltf")
    doc = json.loads(path.read_text())
    if uri is not None:
        doc["buffers"][0]["uri"] = uri
    if change is not None:
        change(doc)
    path.write_text(json.dumps(doc))
    return path


def set_in(*keys, value):
    def change(doc):
        node = doc
        for key in keys[:-1]:
            node = node[key]
        node[keys[-1]] = value
    return change


@pytest.mark.parametrize("uri, change, says", [
    ("http://example.com/m.bin", None, "http://example.com/m.bin"),
    ("/etc/hostname", None, "/etc/hostname"),
    ("../m.bin", None, "../m.bin"),
    ("data:application/octet-stream;base64,AAA*", None, "not base64"),
    (None, set_in("bufferViews", 0, "byteLength", value=4096), "buffer view 0 spans bytes"),
    (None, set_in("accessors", 0, "count", value=4), "accessor 0 (POSITION): 4 elements"),
    (None, set_in("buffers", 0, "byteLength", value=1 << 40), "fewer than its byteLength"),
    (None, set_in("accessors", 1, "componentType", value=5126), "not a SCALAR of unsigned"),
    (None, set_in("nodes", 0, "children", value=[0]), "two parents, or is its own"),
    (None, set_in("extensionsRequired", value=["EXT_mesh_gpu_instancing"]),
     "requires the extension \"EXT_mesh_gpu_instancing\""),
    (None, set_in("meshes", 0, "primitives", 0, "attributes", "POSITION", value=7),
     "names no item of \"accessors\""),
    (None, set_in("nodes", 0, "scale", value=["2", 1, 1]), "\"scale\" is not an array of numbers"),
])
def test_a_broken_or_unsafe_file_is_refused_in_one_line(tmp_path, uri, change, says):
    (tmp_path / "m.bin").write_bytes(b"\0" * 64)  # what "../m.bin" would reach
    (tmp_path / "in").mkdir()
    path = small(tmp_path / "in", change, uri)
    with pytest.raises(MeshReadError) as raised:
        vertisift_tools.read_mesh(path)
    message = str(raised.value)
    assert says in message and "\n" not in message


def test_an_index_past_the_vertices_and_a_cut_glb_are_refused(tmp_path):
    g = Gltf()
    g.add("meshes", {"primitives": [{"attributes": {"POSITION": g.accessor(
        np.eye(3, dtype=np.float32))}, "indices": g.accessor(np.array([0, 1, 3], np.uint16))}]})
    path = g.write_glb(tmp_path / "m.glb")
    with pytest.raises(MeshReadError, match="index 3 is past its 3 vertices"):
        vertisift_tools.read_mesh(path)
    data = path.read_bytes()
    for cut in (10, 30, len(data) - 4):
        (tmp_path / "cut.glb").write_bytes(data[:cut])
        with pytest.raises(MeshReadError, match="glTF: .*(GLB|JSON)"):
            vertisift_tools.read_mesh(tmp_path / "cut.glb")
    # A file of a few kilobytes cannot make a scene of gigabytes: a million zero vertices,
    # which cost it nothing, on a hundred nodes.
    many = Gltf()
    zeros = many.add("accessors", {"componentType": 5126, "count": 1 << 20, "type": "VEC3"})
    many.add("meshes", {"primitives": [{"attributes": {"POSITION": zeros}}]})
    many.scene([many.add("nodes", {"mesh": 0}) for _ in range(100)])
    with pytest.raises(MeshReadError, match="more than its file's bytes allow"):
        vertisift_tools.read_mesh(many.write_glb(tmp_path / "many.glb"))
    many.scene([0])  # on one node, within what any file may have
    assert len(vertisift_tools.read_mesh(many.write_glb(tmp_path / "one.glb"))[0]) == 1 << 20
    # Points and lines have no surface: counted, not read as triangles.
    g.doc["meshes"][0]["primitives"][0]["mode"] = 1
    assert len(vertisift_tools.read_mesh(g.write_glb(tmp_path / "lines.glb"))[1]) == 0


@needs_colour
def test_draco_is_decoded_or_refused_naming_the_extra_never_zeros(monkeypatch):
    pytest.importorskip("DracoPy")
    path = COLOUR / "google+draco/testdata/Box/glTF_Binary/Box_Draco.glb"
    vertices, faces = vertisift_tools.read_mesh(path)
    assert len(faces) == 12 and np.ptp(vertices, axis=0).tolist() == [1, 1, 1]
    monkeypatch.setitem(sys.modules, "DracoPy", None)  # as if it were not installed
    with pytest.raises(MeshReadError, match=r"KHR_draco_mesh_compression, which needs DracoPy: "
                                            r"pip install 'vertisift\[gltf\]'"):
        vertisift_tools.read_mesh(path)


def test_a_ktx2_only_texture_is_warned_about_and_its_factor_kept(tmp_path):
    g = Gltf()
    image = g.image(b"\xabKTX 20\xbb\r\n\x1a\n" + b"\0" * 64, "image/ktx2")
    material = g.textured_material(image, (0.5, 0.25, 1, 1))
    g.doc["textures"][0] = {"extensions": {"KHR_texture_basisu": {"source": image}}}
    g.add("meshes", {"primitives": [{"attributes": {
        "POSITION": g.accessor(np.eye(3, dtype=np.float32)),
        "TEXCOORD_0": g.accessor(np.zeros((3, 2), np.float32))}, "material": material}]})
    path = g.write_glb(tmp_path / "k.glb")
    with pytest.warns(UserWarning, match="KTX2 texture"):
        colours = vertisift_tools.sample(path, 50, method="surface", colors=True)[2]
    np.testing.assert_allclose(colours, np.tile([0.5, 0.25, 1], (50, 1)))


def peer_records():
    if not (COLOUR / "peers.json").is_file():
        return []
    files = json.loads((COLOUR / "peers.json").read_text())["files"]
    return [f for f in files if f["path"].endswith((".glb", ".gltf"))]


# Where the scene differs from the reference reading (the node transforms applied, nothing
# else): its morph target at the mesh's default weight 0.5, which a viewer shows.
MORPHED = {"MorphPrimitivesTest.gltf"}


@needs_colour
@pytest.mark.parametrize("record", peer_records(), ids=lambda r: r["path"].split("/")[-1])
def test_every_real_gltf_reads_to_its_reference_extent(record):
    pytest.importorskip("DracoPy")
    vertices, faces = vertisift_tools.read_mesh(COLOUR / record["path"])
    reference = record["reference"]
    modes = reference.get("modes", {})
    if not set(modes) & {"TRIANGLES", "TRIANGLE_STRIP", "TRIANGLE_FAN"}:
        assert len(faces) == 0  # points and lines alone
        return
    undecoded = "undecoded: meshopt" in reference.get("notes", ())  # the reference's, not ours
    if reference.get("instances") == 1 and set(modes) <= {"TRIANGLES"} and not undecoded:
        assert len(faces) == reference["triangles"]
    used = vertices[np.unique(faces)]
    extent = np.ptp(used, axis=0)
    if undecoded:
        assert len(faces) and np.isfinite(used).all()
    elif Path(record["path"]).name in MORPHED:
        assert extent[1] > reference["bbox_extent"][1]
    elif "POINTS" not in modes:
        np.testing.assert_allclose(extent, reference["bbox_extent"], rtol=2e-3, atol=2e-3)
