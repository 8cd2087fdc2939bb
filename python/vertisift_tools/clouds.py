"""Point-cloud files: binary PLY, NumPy .npz, text .xyzn and .xyz, chosen by suffix.

A cloud is two float32 arrays of shape (n, 3), positions and normals, row i of each belonging
to point i. Every format but .xyz keeps both; .xyz is the plain three-column text that most
readers take for positions alone, so it holds no normals, and reads back with (0, 0, 0) ones.

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

from vertisift_tools.formats import CloudError, format_of

Array = npt.NDArray[np.float32]

_PLY_FIELDS = ("x", "y", "z", "nx", "ny", "nz")
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
    path: str | os.PathLike[str], positions: npt.ArrayLike, normals: npt.ArrayLike
) -> None:
    """Writes the cloud in the format of the path's suffix, replacing the file atomically."""
    target = Path(path)
    writer = _WRITERS[format_of(target)]
    positions_f32 = _as_points(positions, "positions")
    normals_f32 = _as_points(normals, "normals")
    if len(positions_f32) != len(normals_f32):
        raise ValueError(f"{len(positions_f32)} positions but {len(normals_f32)} normals")
    try:
        # No fsync: it costs as much as the reduction of a small model. The rename alone
        # keeps half-written files from showing under the target name when the process
        # dies; a file cut short by a crash of the whole system fails the completeness check
        # of cloud_size, so a rerun of the batch makes it again.
        with replacing(target) as temp, temp.open("wb") as out:
            writer(out, positions_f32, normals_f32)
    except OSError as error:
        raise OSError(error.errno, f"cannot write {target}: {error.strerror}") from None


def read_cloud(path: str | os.PathLike[str]) -> tuple[Array, Array]:
    """Reads (positions, normals) from a cloud file; CloudError when it holds none."""
    source = Path(path)
    reader = _READERS[format_of(source)]
    try:
        positions, normals = reader(source)
    except (ValueError, KeyError, EOFError, zipfile.BadZipFile) as error:
        if isinstance(error, CloudError):
            raise
        raise CloudError(f"{source}: not a readable point cloud ({error})") from error
    return positions, normals


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
        positions, _ = _READERS[kind](source)
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


def _interleaved(positions: Array, normals: Array) -> Array:
    rows = np.empty((len(positions), 6), dtype="<f4")
    rows[:, :3] = positions
    rows[:, 3:] = normals
    return rows


def _write_ply(out: BinaryIO, positions: Array, normals: Array) -> None:
    header = [
        "ply",
        "format binary_little_endian 1.0",
        "comment written by vertisift",
        f"element vertex {len(positions)}",
    ]
    header += [f"property float {field}" for field in _PLY_FIELDS]
    header.append("end_header")
    out.write(("\n".join(header) + "\n").encode("ascii"))
    out.write(_interleaved(positions, normals).tobytes())


def _write_npz(out: BinaryIO, positions: Array, normals: Array) -> None:
    np.savez(out, positions=positions, normals=normals)


# Nine significant digits bring every float32 back bit for bit.
_TEXT_NUMBER = "%.9g"


def _write_xyzn(out: BinaryIO, positions: Array, normals: Array) -> None:
    np.savetxt(out, _interleaved(positions, normals), fmt=_TEXT_NUMBER)


def _write_xyz(out: BinaryIO, positions: Array, normals: Array) -> None:
    np.savetxt(out, positions, fmt=_TEXT_NUMBER)


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


def _read_ply(source: Path) -> tuple[Array, Array]:
    with source.open("rb") as stream:
        layout = _read_ply_header(stream)
        if layout.order:
            size = layout.count * layout.dtype.itemsize
            data = stream.read(size)
            if len(data) != size:
                raise CloudError(f"{source}: PLY file ends before its {layout.count} vertices")
            rows = np.frombuffer(data, dtype=layout.dtype)
            columns = [rows[field] for field in _PLY_FIELDS]
        else:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", UserWarning)  # "input contained no data"
                table = np.loadtxt(stream, dtype=np.float64, max_rows=layout.count, ndmin=2)
            if len(table) != layout.count or table.shape[1] != len(layout.dtype.names or ()):
                raise CloudError(f"{source}: the PLY vertex table does not match its header")
            names = list(layout.dtype.names or ())
            columns = [table[:, names.index(field)] for field in _PLY_FIELDS]
    stacked = np.stack(columns, axis=1).astype(np.float32)
    return np.ascontiguousarray(stacked[:, :3]), np.ascontiguousarray(stacked[:, 3:])


def _read_npz(source: Path) -> tuple[Array, Array]:
    with np.load(source) as archive:
        positions = _as_points(archive["positions"], "positions")
        normals = _as_points(archive["normals"], "normals")
    if len(positions) != len(normals):
        raise CloudError(f"{source}: {len(positions)} positions but {len(normals)} normals")
    return positions, normals


def _read_text(source: Path, columns: int) -> Array:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # "input contained no data"
        rows = np.loadtxt(source, dtype=np.float32, ndmin=2)
    if rows.size == 0:
        rows = rows.reshape(0, columns)
    if rows.shape[1] != columns:
        raise CloudError(f"{source}: {rows.shape[1]} numbers a line, not {columns}")
    return rows


def _read_xyzn(source: Path) -> tuple[Array, Array]:
    rows = _read_text(source, 6)
    return np.ascontiguousarray(rows[:, :3]), np.ascontiguousarray(rows[:, 3:])


def _read_xyz(source: Path) -> tuple[Array, Array]:
    positions = np.ascontiguousarray(_read_text(source, 3))
    return positions, np.zeros_like(positions)


_WRITERS = {"ply": _write_ply, "npz": _write_npz, "xyz": _write_xyz, "xyzn": _write_xyzn}
_READERS = {"ply": _read_ply, "npz": _read_npz, "xyz": _read_xyz, "xyzn": _read_xyzn}
