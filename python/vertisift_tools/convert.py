"""One model to one cloud: the arrays, the file, and the one-line text of a failure, as the
command's `reduce` and every batch's task use them."""

from __future__ import annotations

import os
import struct
from typing import NamedTuple, cast

import numpy as np
import numpy.typing as npt

from vertisift_tools.choices import SURFACE_METHODS, Normalize, Normals
from vertisift_tools.clouds import Array, write_cloud
from vertisift_tools.options import SampleOptions
from vertisift_tools.sampling import StlReadError, sample_reporting_colors
from vertisift_tools.sources import is_remote, read_model

BINARY_HEADER_SIZE = 84  # 80 bytes of header, then the 32-bit face count
BINARY_FACE_SIZE = 50
# What the reader takes for ASCII STL: a first line that begins with this word, in any letter
# case and after any blanks.
ASCII_KEYWORD = b"solid"

NO_FACES_MESSAGE = "the model has no faces, so it gives no points"
# What the command says of a model drawn with colours that stores none.
COLORLESS_WARNING = "the model stores no colours: its points are white (1, 1, 1)"
# Why points have the zero normal, by the normals they were drawn with, and what gives them
# one: with "file", the model's own normals are missing or unusable.
STORED_NORMALS_MISSING = (
    "the model stores no usable normals (none at all, or only zero, NaN or infinite ones); "
    "--normals auto computes them from the faces"
)
STORED_NORMALS_ZERO = (
    "the model stores none there, or the normal (0, 0, 0), a NaN or infinite one, or normals "
    "that cancel out; --normals auto computes them from the faces"
)
COMPUTED_NORMALS_ZERO = (
    "they lie on faces without area, which have no direction, or where the faces' normals "
    "cancel out"
)

# Leading bytes of files that are often mistaken for models, and what they are.
_OTHER_FORMATS = (
    (b"\x89PNG", "a PNG picture"),
    (b"\xff\xd8\xff", "a JPEG picture"),
    (b"GIF8", "a GIF picture"),
    (b"PK\x03\x04", "a ZIP archive (such as a 3MF model)"),
    (b"%PDF", "a PDF document"),
    (b"glTF", "a binary glTF model"),
    (b"ply", "a PLY file"),
)


class EmptyMeshError(ValueError):
    """The model has no faces, so it gives no points at all."""


class Drawn(NamedTuple):
    """One model's points as a shard row takes them: positions and normals, float32 (n, 3),
    for the surface methods each point's face, int32 (n,) (None for vertices), and when the
    options ask for them the colours, float32 (n, 3) (else None), with whether the model
    stores any (`colorless`: it does not, and they are white) and the textures it could not
    use (`unused_textures`, a line each)."""

    positions: Array
    normals: Array
    faces: npt.NDArray[np.int32] | None
    colors: Array | None = None
    colorless: bool = False
    unused_textures: tuple[str, ...] = ()


class Converted(NamedTuple):
    """What writing one model's cloud found: how many points have the normal (0, 0, 0),
    whether the model, drawn with colours, stores none, and the textures it could not use."""

    zero_normals: int
    colorless: bool
    unused_textures: tuple[str, ...] = ()


def reduce_to_arrays(
    model: str | os.PathLike[str], count: int, options: SampleOptions | None = None
) -> tuple[Array, Array]:
    """Draws exactly `count` points of the model (STL, OFF, OBJ, PLY or glTF by its suffix, as
    `sample()` reads it) with `options` (by default `SampleOptions()`: the reduction to
    vertices with "auto" normals), and normalises the positions if they ask: float32 arrays
    (positions, normals), each of shape (count, 3), made in native code. Raises what
    `sample()` raises when the model cannot be read (StlReadError, or the system's OSError
    such as FileNotFoundError), EmptyMeshError when it has no faces, ValueError for a
    surface sample of a model without area, a visible draw of a model with no visible
    surface, or candidates or view directions that `sample()` refuses, and
    MemoryError (saying how many points) when they do not fit."""
    drawn = _draw(model, count, options, with_faces=False)
    return drawn.positions, drawn.normals


def draw_points(
    model: str | os.PathLike[str], count: int, options: SampleOptions | None = None
) -> Drawn:
    """`reduce_to_arrays`, with each point's face for the surface methods: the same points
    and normals, bit for bit, and the same errors."""
    chosen = options or SampleOptions()
    return _draw(model, count, chosen, with_faces=chosen.method in SURFACE_METHODS)


def _draw(
    model: str | os.PathLike[str],
    count: int,
    options: SampleOptions | None,
    *,
    with_faces: bool,
) -> Drawn:
    if count < 1:
        raise ValueError(f"the point count must be 1 or more, not {count}")
    chosen = options or SampleOptions()
    faces = colors = None
    try:
        drawn, found = sample_reporting_colors(
            model,
            count,
            method=chosen.method,
            seed=chosen.seed,
            normals=chosen.normals,
            distinct=chosen.distinct,
            candidates=chosen.candidates,
            visible=chosen.visible,
            view_directions=chosen.view_directions,
            colors=chosen.colors,
            return_faces=with_faces,
        )
        positions, normals, *rest = drawn
        if chosen.colors:
            colors = cast(Array, rest.pop(0))
        if rest:
            # read_mesh numbers faces with int32, so every index fits.
            faces = np.asarray(rest[0]).astype(np.int32)
    except MemoryError:
        # Candidates given are at least `count`, so they are what did not fit.
        source = "" if chosen.candidates is None else f" from {chosen.candidates} candidates"
        raise MemoryError(f"not enough memory for {count} points{source}") from None
    if len(positions) != count:
        raise EmptyMeshError(NO_FACES_MESSAGE)
    return Drawn(
        normalized(positions, chosen.normalize),
        normals,
        faces,
        colors,
        not found.stored,
        found.unused_textures,
    )


def normalized(positions: Array, normalize: Normalize | None) -> Array:
    """The positions as `normalize` asks: as they are for None; for "unit_sphere" centred at
    their mean and scaled so that the farthest is at distance 1, worked out in double
    precision (points that all coincide are only centred)."""
    if normalize is None or not len(positions):
        return positions
    centred = positions.astype(np.float64)
    centred -= centred.mean(axis=0)
    radius = float(np.sqrt(np.einsum("ij,ij->i", centred, centred)).max())
    if radius > 0:
        centred /= radius
    return centred.astype(np.float32)


def zero_normal_warning(zero_normals: int, count: int, normals: Normals) -> str:
    """What the command says of a cloud with `zero_normals` of its `count` points drawn with
    `normals` without a normal: how many, why, and what gives them one."""
    if normals != "file":
        reason = COMPUTED_NORMALS_ZERO
    elif zero_normals == count:
        reason = STORED_NORMALS_MISSING
    else:
        reason = STORED_NORMALS_ZERO
    return f"{zero_normals} of {count} points have the zero normal (0, 0, 0): {reason}"


def convert_file(
    model: str | os.PathLike[str],
    cloud: str | os.PathLike[str],
    count: int,
    options: SampleOptions | None = None,
) -> int:
    """Draws the model's points and writes the cloud; the cloud's suffix picks the format.
    Returns how many points have the normal (0, 0, 0). ValueError, before anything is read,
    when the cloud is the model's own file, which writing it would destroy."""
    return write_model_cloud(model, cloud, count, options).zero_normals


def write_model_cloud(
    model: str | os.PathLike[str],
    cloud: str | os.PathLike[str],
    count: int,
    options: SampleOptions | None = None,
) -> Converted:
    """`convert_file`, saying also whether the model, drawn with colours, stores none."""
    if _same_file(model, cloud):
        raise ValueError(
            f"the cloud {os.fspath(cloud)} is the model itself, which it would overwrite"
        )
    drawn = _draw(model, count, options, with_faces=False)
    write_cloud(cloud, drawn.positions, drawn.normals, drawn.colors)
    zero_normals = int(np.count_nonzero(~drawn.normals.any(axis=1)))
    return Converted(zero_normals, drawn.colorless, drawn.unused_textures)


def _same_file(first: str | os.PathLike[str], second: str | os.PathLike[str]) -> bool:
    try:
        return os.path.samefile(first, second)
    except OSError:
        return False  # one of them is not there


def describe(error: BaseException, model: str | os.PathLike[str] | None = None) -> str:
    """The one-line text a failure report shows for `error`, in the user's terms; with the
    model's path, a model that the reader refuses as binary STL gets a hint of what the file
    is."""
    if isinstance(error, StlReadError):
        hint = not_stl_hint(model) if model is not None else None
        return f"{error.strerror} ({hint})" if hint else str(error.strerror)
    if isinstance(error, OSError) and error.strerror:
        # The model's own path is already named wherever the report is shown.
        other_file = error.filename is not None and (
            model is None or os.fspath(error.filename) != os.fspath(model)
        )
        return f"{error.filename}: {error.strerror}" if other_file else error.strerror
    if isinstance(error, (ValueError, MemoryError, RuntimeError)):  # worded for users
        return str(error)
    return f"unexpected failure: {error}"


def not_stl_hint(model: str | os.PathLike[str]) -> str | None:
    """What a model that the reader refused seems to be, when it was read as binary STL (it
    does not begin with "solid"): another kind of file, a text file, or a binary STL cut
    short. None when the reader's own text says enough: an ASCII model, whose message says
    which line is wrong, or a file that cannot be read here either."""
    try:
        if is_remote(os.fspath(model)):  # read again: this is a failure's report alone
            data = read_model(os.fspath(model))[0]
            head, size = data[:BINARY_HEADER_SIZE], len(data)
        else:
            with open(model, "rb") as stream:
                head = stream.read(BINARY_HEADER_SIZE)
                size = os.fstat(stream.fileno()).st_size
    except (OSError, ValueError):
        return None
    if size == 0:
        return "the file is empty"
    if head.lstrip().lower().startswith(ASCII_KEYWORD):
        return None  # read as ASCII, whose message says which line is wrong
    for magic, kind in _OTHER_FORMATS:
        if head.startswith(magic):
            return f"this is {kind}, not an STL model"
    if _is_text(head):
        return 'this is a text file that does not begin with "solid", so not an STL model'
    if size < BINARY_HEADER_SIZE:
        return f"the file has {size} bytes, fewer than a binary STL header's {BINARY_HEADER_SIZE}"
    (faces,) = struct.unpack_from("<I", head, BINARY_HEADER_SIZE - 4)
    needed = BINARY_HEADER_SIZE + BINARY_FACE_SIZE * faces
    if size >= needed:
        return None
    return (
        f"as binary STL its header announces {faces} faces, which take {needed} bytes; "
        f"the file has {size}"
    )


def _is_text(head: bytes) -> bool:
    """The bytes look like text: no NUL and few control characters (an OBJ or other text
    model, which the reader then takes for a binary STL)."""
    if b"\0" in head:
        return False
    controls = sum(1 for byte in head if byte < 32 and byte not in b"\t\n\r")
    return controls <= len(head) // 20
