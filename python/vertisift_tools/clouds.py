"""Point-cloud files: binary PLY, NumPy .npz, text .xyzn, .xyz and .xyzrgb, chosen by suffix.

A cloud is two float32 arrays of shape (n, 3), positions and normals, row i of each belonging
to point i, and optionally a third, the points' RGB colours in [0, 1]. PLY, .npz and .xyzn
keep the normals; .xyz is the plain three-column text that most readers take for positions
alone, so it holds no normals, and reads back with (0, 0, 0) ones. PLY keeps colours as
`red green blue` uchar properties (0-255, as viewers read them), .npz as a float32 array
`colors`, and .xyzrgb, the six-column text of positions and colours in [0, 1], holds
positions and colours alone (its normals read back as zeros); the other formats hold no
colours, and writing colours to them is refused rather than dropped.

Writers put the file together under a temporary name beside the target and rename
it over the target only once it is complete, so the target name never shows half a file,
whatever happens to the writing process.
"""

from __future__ import annotations

import contextlib
import os
import re
import warnings
import zipfile
from collections.abc import Container, Iterator
from pathlib import Path
from typing import BinaryIO

import numpy as np
import numpy.typing as npt

from vertisift_tools.formats import COLOR_ONLY, WITH_COLORS, CloudError, format_of

Array = npt.NDArray[np.float32]

_PLY_FIELDS = ("x", "y", "z", "nx", "ny", "nz")
_PLY_COLORS = ("red", "green", "blue")
_PLY_TYPES = {
    "char": "i1",
    "int8": "i1",
    "uchar": "u1",
    "uint8": "u1",
    "short": "i2",
    "int16": "i2",
    "ushort": "u2",
    "uint16": "u2",
    "int": "i4",
    "int32": "i4",
    "uint": "u4",
    "uint32": "u4",
    "float": "f4",
    "float32": "f4",
    "double": "f8",
    "float64": "f8",
}
_PLY_ORDER = {"binary_little_endian": "<", "binary_big_endian": ">", "ascii": ""}
# A name that temp_path gives.
_TEMP_NAME = re.compile(r"\.(?P<name>.+)\.(?P<pid>[0-9]+)\.part")


def temp_path(target: Path, pid: int) -> Path:
    """Where process `pid` puts `target` together before renaming it (hidden, never a cloud
    suffix, so neither a rerun nor a folder listing takes it for a finished file)."""
    return target.with_name(f".{target.name}.{pid}.part")


def remove_leftovers(folder: Path, names: Container[str]) -> None:
    """Removes from `folder` the temporary files (`temp_path`) of `names` whose process is
    not running on this machine: a process killed as it wrote left them, and no rename will
    ever take them. Those of a running process stay, as it may still be writing them."""
    try:
        with os.scandir(folder) as listing:
            temporary = [entry.name for entry in listing if entry.name.endswith(".part")]
    except OSError:
        return  # not made yet, or not to be read: nothing of ours to remove
    for entry in temporary:
        match = _TEMP_NAME.fullmatch(entry)
        if match and match["name"] in names and not _running(int(match["pid"])):
            with contextlib.suppress(OSError):
                (folder / entry).unlink()


@contextlib.contextmanager
def replacing(target: Path) -> Iterator[Path]:
    """The temporary path (`temp_path`) to write `target` under, renamed over `target` when
    the block ends and removed when it raises. An OSError is raised again with `target` for
    its filename (the temporary name means nothing to the caller) and, for its strerror, one
    line: the system's text for its error number where it has one, since a library's own can
    run over lines (HDF5's names the time and the temporary file)."""
    temp = temp_path(target, os.getpid())
    try:
        yield temp
        os.replace(temp, target)
    except BaseException as error:
        temp.unlink(missing_ok=True)
        if isinstance(error, OSError):
            reason = os.strerror(error.errno) if error.errno else _first_line(error)
            raise OSError(error.errno, reason, os.fspath(target)) from None
        raise


def write_cloud(
    path: str | os.PathLike[str],
    positions: npt.ArrayLike,
    normals: npt.ArrayLike,
    colors: npt.ArrayLike | None = None,
) -> None:
    """Writes the cloud in the format of the path's suffix, replacing the file atomically;
    `colors`, RGB in [0, 1] (clamped), when given. ValueError for colours in a format that
    holds none, and for a .xyzrgb cloud without them."""
    target = Path(path)
    kind = format_of(target)
    writer = _WRITERS[kind]
    positions_f32 = _as_points(positions, "positions")
    normals_f32 = _as_points(normals, "normals")
    if len(positions_f32) != len(normals_f32):
        raise ValueError(f"{len(positions_f32)} positions but {len(normals_f32)} normals")
    colors_f32 = None
    if colors is not None:
        if kind not in WITH_COLORS:
            raise ValueError(
                f"{target}: a .{kind} cloud holds no colours; "
                f"write {', '.join('.' + name for name in WITH_COLORS)}"
            )
        colors_f32 = np.clip(np.nan_to_num(_as_points(colors, "colors"), nan=0.0), 0, 1)
        if len(colors_f32) != len(positions_f32):
            raise ValueError(f"{len(positions_f32)} positions but {len(colors_f32)} colours")
    elif kind in COLOR_ONLY:
        raise ValueError(f"{target}: a .{kind} cloud holds colours, and none were given")
    try:
        # No fsync: it costs as much as the reduction of a small model. The rename alone
        # keeps half-written files from showing under the target name when the process
        # dies; a file cut short by a crash of the whole system fails the completeness check
        # of cloud_size, so a rerun of the batch makes it again.
        with replacing(target) as temp, temp.open("wb") as out:
            writer(out, positions_f32, normals_f32, colors_f32)
    except OSError as error:
        raise OSError(error.errno, f"cannot write {target}: {error.strerror}") from None


def read_cloud(path: str | os.PathLike[str]) -> tuple[Array, Array]:
    """Reads (positions, normals) from a cloud file; CloudError when it holds none."""
    positions, normals, _ = read_colored_cloud(path)
    return positions, normals


def read_colored_cloud(path: str | os.PathLike[str]) -> tuple[Array, Array, Array | None]:
    """Reads (positions, normals, colours) from a cloud file, the colours None when the file
    holds none; CloudError when it holds no cloud."""
    source = Path(path)
    reader = _READERS[format_of(source)]
    try:
        return reader(source)
    except (ValueError, KeyError, EOFError, zipfile.BadZipFile) as error:
        if isinstance(error, CloudError):
            raise
        raise CloudError(f"{source}: not a readable point cloud ({error})") from error


def cloud_size(path: str | os.PathLike[str]) -> int | None:
    """The number of points in a finished cloud file, or None when the file is missing or is
    not a complete cloud. Reads only the header where the format has one."""
    source = Path(path)
    try:
        kind = format_of(source)
        if kind == "ply":
            with source.open("rb") as stream:
                layout = _read_ply_header(stream)
                body = stream.tell()
            if (
                layout.order == ""
                or source.stat().st_size != body + layout.count * layout.dtype.itemsize
            ):
                return None
            return layout.count
        if kind == "npz":
            with zipfile.ZipFile(source) as archive:
                shapes = {}
                for name in ("positions", "normals"):
                    with archive.open(f"{name}.npy") as member:
                        version = np.lib.format.read_magic(member)
                        read_header = (
                            np.lib.format.read_array_header_1_0
                            if version == (1, 0)
                            else np.lib.format.read_array_header_2_0
                        )
                        shapes[name] = read_header(member)[0]
            if shapes["positions"] != shapes["normals"] or len(shapes["positions"]) != 2:
                return None
            return int(shapes["positions"][0])
        positions, _, _ = _READERS[kind](source)
        return len(positions)
    except (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile):
        return None


def _running(pid: int) -> bool:
    try:
        os.kill(pid, 0)  # no signal: only whether the process is there
    except (ProcessLookupError, OverflowError):
        return False
    except PermissionError:
        return True  # another user's
    return True


def _first_line(error: OSError) -> str:
    text = error.strerror or str(error)
    return text.splitlines()[0] if text else type(error).__name__


def _as_points(values: npt.ArrayLike, name: str) -> Array:
    array = np.asarray(values, dtype=np.float32)
    if array.size == 0:
        array = array.reshape(0, 3)
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"{name} must have shape (n, 3), not {array.shape}")
    return array


def _interleaved(positions: Array, others: Array) -> Array:
    rows = np.empty((len(positions), 6), dtype="<f4")
    rows[:, :3] = positions
    rows[:, 3:] = others
    return rows


def _write_ply(out: BinaryIO, positions: Array, normals: Array, colors: Array | None) -> None:
    header = [
        "ply",
        "format binary_little_endian 1.0",
        "comment written by vertisift",
        f"element vertex {len(positions)}",
    ]
    header += [f"property float {field}" for field in _PLY_FIELDS]
    fields = [(field, "<f4") for field in _PLY_FIELDS]
    if colors is not None:
        header += [f"property uchar {field}" for field in _PLY_COLORS]
        fields += [(field, "u1") for field in _PLY_COLORS]
    header.append("end_header")
    out.write(("\n".join(header) + "\n").encode("ascii"))
    rows = np.empty(len(positions), dtype=np.dtype(fields))
    for k, field in enumerate(_PLY_FIELDS):
        rows[field] = positions[:, k] if k < 3 else normals[:, k - 3]
    if colors is not None:
        levels = np.rint(colors * 255).astype(np.uint8)
        for k, field in enumerate(_PLY_COLORS):
            rows[field] = levels[:, k]
    out.write(rows.tobytes())


def _write_npz(out: BinaryIO, positions: Array, normals: Array, colors: Array | None) -> None:
    if colors is None:
        np.savez(out, positions=positions, normals=normals)
    else:
        np.savez(out, positions=positions, normals=normals, colors=colors)


# Nine significant digits bring every float32 back bit for bit.
_TEXT_NUMBER = "%.9g"


def _write_xyzn(out: BinaryIO, positions: Array, normals: Array, _colors: Array | None) -> None:
    np.savetxt(out, _interleaved(positions, normals), fmt=_TEXT_NUMBER)


def _write_xyz(out: BinaryIO, positions: Array, _normals: Array, _colors: Array | None) -> None:
    np.savetxt(out, positions, fmt=_TEXT_NUMBER)


def _write_xyzrgb(out: BinaryIO, positions: Array, _normals: Array, colors: Array | None) -> None:
    assert colors is not None  # write_cloud refuses a .xyzrgb cloud without colours
    np.savetxt(out, _interleaved(positions, colors), fmt=_TEXT_NUMBER)


class _PlyLayout:
    def __init__(self, order: str, count: int, dtype: np.dtype) -> None:
        self.order, self.count, self.dtype = order, count, dtype


def _read_ply_header(stream: BinaryIO) -> _PlyLayout:
    if stream.readline().rstrip(b"\r\n") != b"ply":
        raise CloudError(f"{stream.name}: not a PLY file")
    order: str | None = None
    elements: list[tuple[str, int, list[tuple[str, str]]]] = []
    while True:
        line = stream.readline()
        if not line:
            raise CloudError(f"{stream.name}: PLY header without end_header")
        words = line.decode("ascii", "replace").split()
        if not words or words[0] in ("comment", "obj_info"):
            continue
        if words[0] == "end_header":
            break
        if words[0] == "format" and len(words) >= 2 and words[1] in _PLY_ORDER:
            order = _PLY_ORDER[words[1]]
        elif words[0] == "element" and len(words) == 3 and words[2].isdigit():
            elements.append((words[1], int(words[2]), []))
        elif words[0] == "property" and elements and len(words) == 3 and words[1] in _PLY_TYPES:
            elements[-1][2].append((words[2], _PLY_TYPES[words[1]]))
        elif (
            words[0] == "property"
            and elements
            and len(words) == 5
            and words[1] == "list"
            and words[2] in _PLY_TYPES
            and words[3] in _PLY_TYPES
        ):
            elements[-1][2].append((words[4], "list"))  # faces and the like, not read
        else:
            raise CloudError(f"{stream.name}: unsupported PLY header line {line!r}")
    if order is None:
        raise CloudError(f"{stream.name}: PLY header without a known format line")
    if not elements or elements[0][0] != "vertex":
        raise CloudError(f"{stream.name}: the first PLY element is not 'vertex'")
    _, count, properties = elements[0]
    if any(code == "list" for _, code in properties):
        raise CloudError(f"{stream.name}: PLY vertices with list properties are not supported")
    names = [name for name, _ in properties]
    missing = [field for field in _PLY_FIELDS if field not in names]
    if missing:
        raise CloudError(f"{stream.name}: PLY vertices without {', '.join(missing)}")
    dtype = np.dtype([(name, (order or "<") + code) for name, code in properties])
    return _PlyLayout(order, count, dtype)


def _read_ply(source: Path) -> tuple[Array, Array, Array | None]:
    names: tuple[str, ...] = _PLY_FIELDS
    with source.open("rb") as stream:
        layout = _read_ply_header(stream)
        stored = layout.dtype.names or ()
        if all(field in stored for field in _PLY_COLORS):
            names = _PLY_FIELDS + _PLY_COLORS
        if layout.order:
            size = layout.count * layout.dtype.itemsize
            data = stream.read(size)
            if len(data) != size:
                raise CloudError(f"{source}: PLY file ends before its {layout.count} vertices")
            rows = np.frombuffer(data, dtype=layout.dtype)
            columns = [rows[field].astype(np.float64) for field in names]
        else:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", UserWarning)  # "input contained no data"
                table = np.loadtxt(stream, dtype=np.float64, max_rows=layout.count, ndmin=2)
            if len(table) != layout.count or table.shape[1] != len(stored):
                raise CloudError(f"{source}: the PLY vertex table does not match its header")
            columns = [table[:, stored.index(field)] for field in names]
    stacked = np.stack(columns, axis=1)
    positions = np.ascontiguousarray(stacked[:, :3], dtype=np.float32)
    normals = np.ascontiguousarray(stacked[:, 3:6], dtype=np.float32)
    if len(names) == len(_PLY_FIELDS):
        return positions, normals, None
    # Integer colours are levels up to their type's maximum; float ones are stored in [0, 1].
    scales = [
        np.iinfo(kind).max if np.issubdtype(kind, np.integer) else 1
        for kind in (layout.dtype[field] for field in _PLY_COLORS)
    ]
    colors = np.ascontiguousarray(stacked[:, 6:] / scales, dtype=np.float32)
    return positions, normals, colors


def _read_npz(source: Path) -> tuple[Array, Array, Array | None]:
    with np.load(source) as archive:
        positions = _as_points(archive["positions"], "positions")
        normals = _as_points(archive["normals"], "normals")
        colors = _as_points(archive["colors"], "colors") if "colors" in archive else None
    if len(positions) != len(normals):
        raise CloudError(f"{source}: {len(positions)} positions but {len(normals)} normals")
    if colors is not None and len(colors) != len(positions):
        raise CloudError(f"{source}: {len(positions)} positions but {len(colors)} colours")
    return positions, normals, colors


def _read_text(source: Path, columns: int) -> Array:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # "input contained no data"
        rows = np.loadtxt(source, dtype=np.float32, ndmin=2)
    if rows.size == 0:
        rows = rows.reshape(0, columns)
    if rows.shape[1] != columns:
        raise CloudError(f"{source}: {rows.shape[1]} numbers a line, not {columns}")
    return rows


def _read_xyzn(source: Path) -> tuple[Array, Array, Array | None]:
    rows = _read_text(source, 6)
    return np.ascontiguousarray(rows[:, :3]), np.ascontiguousarray(rows[:, 3:]), None


def _read_xyz(source: Path) -> tuple[Array, Array, Array | None]:
    positions = np.ascontiguousarray(_read_text(source, 3))
    return positions, np.zeros_like(positions), None


def _read_xyzrgb(source: Path) -> tuple[Array, Array, Array | None]:
    rows = _read_text(source, 6)
    positions = np.ascontiguousarray(rows[:, :3])
    return positions, np.zeros_like(positions), np.ascontiguousarray(rows[:, 3:])


_WRITERS = {
    "ply": _write_ply,
    "npz": _write_npz,
    "xyz": _write_xyz,
    "xyzn": _write_xyzn,
    "xyzrgb": _write_xyzrgb,
}
_READERS = {
    "ply": _read_ply,
    "npz": _read_npz,
    "xyz": _read_xyz,
    "xyzn": _read_xyzn,
    "xyzrgb": _read_xyzrgb,
}
