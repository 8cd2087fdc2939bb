"""Texture colours: a point on a textured material takes its diffuse colour times the texture
at its texture coordinates, filtered as a GPU filters; a texture that cannot be used is said,
never silently wrong."""

import sys
import warnings

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")
vertisift_tools = pytest.importorskip("vertisift_tools")
from vertisift_tools.textures import TextureError, TextureWarning  # noqa: E402

sample = vertisift_tools.sample

# A quad of two triangles on textured materials, and a triangle beside it on a plain one.
QUAD_UVS = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], np.float64)
FAN = np.array([[0, 1, 2], [0, 2, 3]])
PLAIN_KD = (0.5, 0.75, 1.0)


def gradient_and_checkerboard(width=16, height=8):
    """R rises across, G down the rows, B a checkerboard of single texels."""
    i, j = np.meshgrid(np.arange(width), np.arange(height))
    return np.stack([i * 255 // (width - 1), j * 255 // (height - 1), (i + j) % 2 * 255],
                    axis=-1).astype(np.uint8)


def write_model(folder, map_kd="tex.png", options="", kd="1 1 1", uvs=QUAD_UVS, image=None,
                vertex_rgb=None):
    """q.obj: the quad on material "a" (map_Kd with `options`) for its first triangle and
    "a2" (the same file, no options) for its second, and a triangle on "plain"; the quad's
    vertices coloured `vertex_rgb` when given, the triangle's as the first of them."""
    folder.mkdir(parents=True, exist_ok=True)
    if image is not None:
        Image.fromarray(image).save(folder / "tex.png")
    (folder / "q.mtl").write_text(
        f"newmtl a\nKd {kd}\nmap_Kd {options} {map_kd}\nnewmtl a2\nKd {kd}\nmap_Kd {map_kd}\n"
        f"newmtl plain\nKd {' '.join(map(str, PLAIN_KD))}\n")
    vt = "".join(f"vt {u} {v}\n" for u, v in uvs)
    rgb = [" ".join(map(str, c)) for c in vertex_rgb] if vertex_rgb is not None else [""] * 4
    other = " " + rgb[0] if vertex_rgb is not None else ""
    (folder / "q.obj").write_text(
        "mtllib q.mtl\n" + "".join(f"v {x} {y} 0 {c}\n" for (x, y), c in zip(QUAD_UVS, rgb))
        + f"v 2 0 0{other}\nv 3 0 0{other}\nv 2 1 0{other}\n" + vt
        + "usemtl a\nf 1/1 2/2 3/3\nusemtl a2\nf 1/1 3/3 4/4\nusemtl plain\nf 5 6 7\n")
    return folder / "q.obj"


def looked_up(image, u, v):
    """The image at (u, v), one point at a time: the four texel centres around it, wrapping
    around, v up from the bottom row."""
    height, width = image.shape[:2]
    x, y = u * width - 0.5, (1 - v) * height - 0.5
    left, top = int(np.floor(x)), int(np.floor(y))
    fx, fy = x - left, y - top
    texel = lambda i, j: image[j % height, i % width].astype(np.float64) / 255  # noqa: E731
    return ((1 - fy) * ((1 - fx) * texel(left, top) + fx * texel(left + 1, top))
            + fy * ((1 - fx) * texel(left, top + 1) + fx * texel(left + 1, top + 1)))


VARIED = np.array([[1, 0.5, 0.25], [0.5, 1, 1], [0.25, 0.25, 1], [1, 1, 0.5]])


@pytest.mark.parametrize("uvs, options, scale, offset, kd, vertex_rgb", [
    (QUAD_UVS, "", (1, 1), (0, 0), (1, 1, 1), None),
    # Coordinates past [0, 1] wrap around; -s scales, then -o moves; Kd multiplies. Vertex
    # colours all of one colour beside a texture are a writer's default, and ignored.
    (QUAD_UVS * 1.7 - 0.3, "-s 2 3 1 -blendu off -o 0.25 0.5", (2, 3), (0.25, 0.5), PLAIN_KD,
     np.full((4, 3), 0.2)),
    # Vertex colours that vary multiply too, blended.
    (QUAD_UVS, "", (1, 1), (0, 0), PLAIN_KD, VARIED),
], ids=["plain", "wrapped-scaled-tinted", "vertex-coloured"])
def test_a_textured_point_is_kd_times_the_bilinear_texel_at_its_uv(
        tmp_path, monkeypatch, uvs, options, scale, offset, kd, vertex_rgb):
    image = gradient_and_checkerboard()
    model = write_model(tmp_path, options=options, kd=" ".join(map(str, kd)), uvs=uvs,
                        image=image, vertex_rgb=vertex_rgb)
    tint = VARIED if vertex_rgb is VARIED else np.ones((4, 3))
    opened = []
    monkeypatch.setattr(Image, "open", lambda *a, **k: opened.append(1) or real_open(*a, **k))
    _, _, colors, faces, weights = sample(model, 3000, method="surface", seed=4, colors=True,
                                          return_faces=True, return_barycentric=True)
    assert len(opened) == 1  # two materials, one file: decoded once
    for color, face, w in zip(colors, faces, weights):
        if face == 2:
            np.testing.assert_allclose(color, tint[0] * PLAIN_KD, atol=1e-6)
            continue
        u, v = w @ uvs[FAN[face]]
        if face == 0:
            u, v = u * scale[0] + offset[0], v * scale[1] + offset[1]
        expected = w @ tint[FAN[face]] * kd * looked_up(image, u, v)
        np.testing.assert_allclose(color, expected, atol=2e-5)
    # A vertex takes its first corner's: vertex 1 is first a corner of the triangle on "a".
    positions, _, corner_colors = sample(model, 7, seed=1, colors=True)
    u, v = uvs[0] * scale + offset
    np.testing.assert_allclose(corner_colors[np.all(positions == 0, axis=1)][0],
                               tint[0] * kd * looked_up(image, u, v), atol=2e-5)


real_open = Image.open


@pytest.mark.parametrize("mode, value, expected", [
    ("RGB", (200, 100, 50), (200 / 255, 100 / 255, 50 / 255)),
    ("RGBA", (200, 100, 50, 0), (200 / 255, 100 / 255, 50 / 255)),  # alpha is no colour
    ("L", 128, (128 / 255,) * 3),
    ("LA", (64, 255), (64 / 255,) * 3),
    ("P", None, (0, 1, 0)),
    ("I;16", 32768, (32768 / 65535,) * 3),
    ("F", -0.5, (0, 0, 0)),  # floats as they are, clamped to [0, 1]
    ("JPEG", (200, 100, 50), (200 / 255, 100 / 255, 50 / 255)),
])
def test_every_image_mode_gives_its_colours(tmp_path, mode, value, expected):
    name = {"JPEG": "tex.jpg", "F": "tex.tiff"}.get(mode, "tex.png")
    model = write_model(tmp_path, map_kd=name)
    if mode == "P":
        image = Image.new("P", (4, 4), 1)
        image.putpalette([255, 0, 0, 0, 255, 0])
    else:
        image = Image.new("RGB" if mode == "JPEG" else mode, (4, 4), value)
    image.save(tmp_path / name)
    _, _, colors, faces = sample(model, 200, method="surface", seed=2, colors=True,
                                 return_faces=True)
    tolerance = 2 / 255 if mode == "JPEG" else 1e-6
    np.testing.assert_allclose(colors[faces < 2],
                               np.broadcast_to(expected, colors[faces < 2].shape), atol=tolerance)


@pytest.mark.parametrize("map_kd, why", [
    ("sub\\tex.png", None),  # a Windows writer's path
    ("C:\\Users\\someone\\tex.png", None),  # a writer's absolute path, the file beside the model
    ("/elsewhere/tex.png", None),
    ("gone.png", "No such file or directory"),
    # Outside the model's folder: refused, not looked for beside it.
    ("../tex.png", "which leaves the model's folder"),
    ("http://example.com/tex.png", "a URL, not a file in the model's folder"),
    ("broken.png", "cannot be decoded: not an image that Pillow reads"),
])
def test_a_texture_is_found_as_writers_spell_it_or_warned_about(tmp_path, map_kd, why):
    found = why is None
    image = np.full((2, 2, 3), (255, 0, 0), np.uint8)
    model = write_model(tmp_path / "model", map_kd=map_kd, kd=" ".join(map(str, PLAIN_KD)))
    for folder in (tmp_path, tmp_path / "model", tmp_path / "model" / "sub"):
        folder.mkdir(exist_ok=True)
        Image.fromarray(image).save(folder / "tex.png")
    (tmp_path / "model" / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n not an image")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _, _, colors, faces = sample(model, 100, method="surface", seed=1, colors=True,
                                     return_faces=True)
    said = [str(w.message) for w in caught if w.category is TextureWarning]
    assert len(said) == (0 if found else 1)
    if not found:
        assert said[0].startswith(f"texture {map_kd!r} of materials 'a', 'a2' in ")
        assert why in said[0] and said[0].endswith("; its points keep the material's colour")
    expected = (0.5, 0, 0) if found else PLAIN_KD
    np.testing.assert_allclose(colors[faces < 2],
                               np.broadcast_to(expected, colors[faces < 2].shape), atol=1e-6)


def test_a_decompression_bomb_and_a_missing_decoder_are_refused_in_one_line(tmp_path,
                                                                           monkeypatch):
    model = write_model(tmp_path, image=gradient_and_checkerboard())  # 128 pixels
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 100)  # a warning to Pillow, not its error
    warnings.simplefilter("ignore", Image.DecompressionBombWarning)
    with pytest.raises(TextureError, match=r"^the texture 'tex.png' has more than 100 pixels, "
                       r"the limit of a decoded image \(a decompression bomb\?\): '.*q.obj'$"):
        sample(model, 10, method="surface", colors=True)
    monkeypatch.setitem(sys.modules, "PIL.Image", None)
    with pytest.raises(TextureError, match=r"need Pillow to decode them: pip install "):
        sample(model, 10, method="surface", colors=True)
