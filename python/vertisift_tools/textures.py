"""The texture part of the points' colours: each texture file that a model's materials name,
decoded once per call with Pillow and filtered at the points' texture coordinates.

The native sampler gives each point the colour its mesh stores there (vertex or face colour
times its material's diffuse colour) and, for the points on a textured material, the bytes of
the texture file and the coordinates to look up (the material's scale and offset applied).
Here each image is decoded, and the native lookup (`_native.multiply_texture`, reading the
decoded texels where Pillow holds them when it lends them) multiplies each point's colour by
the texture at those coordinates: bilinear between the four nearest texel centres, texel i's
centre at (i + 1/2) / size as GPU samplers filter, wrapping as the material says (repeat, as
OBJ's textures do; glTF's samplers also clamp or mirror), v counted from the image's bottom row
up (the native side turns glTF's v, which counts from the top).

An image is taken as RGB (palette, grey and 16-bit images as their colours, alpha dropped).
A texture larger than Pillow's `Image.MAX_IMAGE_PIXELS` (about 89 million pixels unless the
caller changes it) is refused as a decompression bomb: TextureError. A texture that cannot be
read or decoded leaves its points the material's colour, and TextureWarning says which.
"""

from __future__ import annotations

import io
import threading
import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

from vertisift_tools import _native
from vertisift_tools.sampling import MeshReadError

if TYPE_CHECKING:
    from PIL import Image as PilImage

# What the native sampler hands over per texture: (name, materials, bytes or None, why the
# bytes are missing, point indices as int64 bytes, (u, v) per point as float32 bytes, and how
# u and v wrap: "repeat", "clamp" or "mirror").
NativeTexture = tuple[str, tuple[str, ...], bytes | None, str, bytearray, bytearray, str, str]
# A decoded texture as the native lookup takes it: (texels, width, height, components a texel,
# float32 texels); the texels a buffer or an image's Arrow capsules.
Texels = tuple[object, int, int, int, bool]

PILLOW_HINT = "pip install 'vertisift[textures]'"
# The first bytes of a KTX 2.0 file.
KTX2_MAGIC = b"\xabKTX 20\xbb\r\n\x1a\n"


class TextureError(MeshReadError):
    """A texture that is refused outright: past the pixel limit (a decompression bomb), or
    one that needs Pillow when Pillow is not installed."""


class TextureWarning(UserWarning):
    """A texture that cannot be read or decoded: its points keep their material's colour."""


def apply_textures(colors: bytearray, textures: Sequence[NativeTexture], model: str) -> list[str]:
    """Multiplies `colors` (float32 RGB triples) in place by each texture at its points, and
    returns one line for each texture that could not be used (its points keep their
    colour)."""
    unused = []
    if any(texture[2] is not None for texture in textures):
        _need_pillow(model)
    for name, materials, data, unreadable, point_bytes, uv_bytes, wrap_u, wrap_v in textures:
        texels, why = _decoded(name, data, unreadable, model)
        if texels is None:
            of = "material" if len(materials) == 1 else "materials"
            unused.append(
                f"texture {name!r} of {of} {', '.join(map(repr, materials))} in {model!r}: "
                f"{why}; its points keep the material's colour"
            )
            continue
        pixels, width, height, channels, floats = texels
        _native.multiply_texture(
            colors,
            point_bytes,
            uv_bytes,
            pixels,
            width=width,
            height=height,
            channels=channels or 3,
            floats=floats,
            wrap_u=wrap_u,
            wrap_v=wrap_v,
        )
    return unused


def _need_pillow(model: str) -> None:
    try:
        import PIL.Image  # noqa: F401
    except ImportError:
        raise TextureError(
            None, f"the textures of this model need Pillow to decode them: {PILLOW_HINT}", model
        ) from None


def _decoded(
    name: str, data: bytes | None, unreadable: str, model: str
) -> tuple[Texels | None, str]:
    """The texture's texels; or None and why not."""
    if data is None:
        return None, unreadable
    from PIL import Image, UnidentifiedImageError

    # The warning filters are the process's: one thread at a time changes them here.
    with _FILTERS, warnings.catch_warnings():
        warnings.simplefilter("error", Image.DecompressionBombWarning)
        try:
            image = Image.open(io.BytesIO(data))
        except (Image.DecompressionBombError, Image.DecompressionBombWarning):
            raise TextureError(
                None,
                f"the texture {name!r} has more than {Image.MAX_IMAGE_PIXELS:,} pixels, the "
                "limit of a decoded image (a decompression bomb?)",
                model,
            ) from None
        except UnidentifiedImageError:
            if data[:12] == KTX2_MAGIC:
                return None, (
                    "is a KTX2 texture (KHR_texture_basisu), which no decoder that installs "
                    "from the package index reads"
                )
            return None, "cannot be decoded: not an image that Pillow reads"
        except (OSError, ValueError) as error:
            return None, f"cannot be decoded ({error})"
    try:
        return _texels(image), ""
    except (OSError, ValueError, SyntaxError) as error:
        return None, f"cannot be decoded ({error})"


def _texels(image: PilImage.Image) -> Texels:
    """The image's colours as the native lookup takes them: its own memory where Pillow lends
    it (the Arrow interface, 8-bit RGB, RGBA and grey images), else a copy; 16-bit and 32-bit
    grey and float images as float32 in [0, 1] by their range; other modes as Pillow's RGB."""
    width, height = image.size
    if image.mode in ("I;16", "I;16L", "I;16B", "I;16N", "I", "F"):
        grey = np.asarray(image, dtype=np.float64)
        if image.mode != "F":
            grey = grey / (255.0 if image.mode == "I" and grey.max(initial=0) <= 255 else 65535.0)
        return np.clip(grey, 0.0, 1.0).astype(np.float32).tobytes(), width, height, 1, True
    if image.mode not in _CHANNELS:
        image = image.convert("L" if image.mode in ("1", "LA", "La") else "RGB")
    try:
        return image.__arrow_c_array__(), width, height, 0, False
    except (AttributeError, ValueError):  # an older Pillow, or rows in several blocks
        return image.tobytes(), width, height, _CHANNELS[image.mode], False


# Held while a decode turns Pillow's decompression-bomb warning into an error (opening an
# image reads its header alone; the decoding comes after).
_FILTERS = threading.Lock()

# The components of a texel of the modes that are read as they are stored.
_CHANNELS = {"RGB": 3, "RGBA": 4, "RGBX": 4, "L": 1}
