"""Where models are read from: a folder, an archive (.zip, .tar, .tar.gz or .tgz, .tar.xz or
.txz, .tar.zst or .tzst), or a folder behind an fsspec URL; and the one spelling of a model
inside an archive, fsspec's "zip://chair/train/chair_0001.off::ModelNet40.zip" (or
"tar://...::models.tar.gz"), the archive a local path or a URL.

An archive is listed once (a zip's central directory, one pass over a tar) and its members
are read one at a time, whole, into memory: never extracted. A zip and a plain tar are read
at random (a tar through the offsets of its one listing pass); a compressed tar cannot be,
so the batch reads it in one streaming pass (`stream_members`) and the dataset refuses it.
When every member sits under one top folder (ModelNet40.zip holds "ModelNet40/..."), the
archive is that folder: the models' relative paths, and so their seeds and their outputs,
are those of the folder extracted. A "__MACOSX" folder (the resource forks an archiver of
that system adds) is no part of the archive's content.

Members are refused, and listed as failures, when their names would lead out of the
archive's folder ("../", absolute, a drive letter) or when another member has the same name;
a member is refused as it is read when its declared or actual size exceeds MAX_MEMBER_BYTES,
or when it declares a ratio of sizes past MAX_RATIO (decompression bombs). A damaged member
fails alone. Zip names come out as the archive's tools show them: UTF-8 when the member's flag
says so, else code page 437.
"""

from __future__ import annotations

import io
import lzma
import os
import posixpath
import re
import stat
import struct
import tarfile
import threading
import zipfile
import zlib
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field, replace
from typing import IO, Any, Final, Literal, cast

from vertisift_tools import storage
from vertisift_tools.models import MODEL_SUFFIXES, model_suffix

# The most bytes one member may hold, declared or read: it is read whole into memory.
MAX_MEMBER_BYTES: Final = 4 << 30
# The most a zip member may declare to grow by as it is decompressed, once it declares more
# than RATIO_FLOOR bytes: meshes compress tenfold at most, a deflate bomb a thousandfold.
MAX_RATIO: Final = 200
RATIO_FLOOR: Final = 64 << 20
# Archives kept open by a process at once, by their location.
_OPEN_ARCHIVES: Final = 4
# Folders of an archive that hold no content of it.
_IGNORED_TOP: Final = frozenset({"__MACOSX"})

# What a damaged member raises as it is decompressed (a bad CRC, a broken deflate stream,
# the archive's end too soon).
_DAMAGE: Final = (
    zipfile.BadZipFile,
    zipfile.LargeZipFile,
    zlib.error,
    lzma.LZMAError,
    EOFError,
    OSError,
    RuntimeError,
)
Kind = Literal["zip", "tar"]
# By the end of the archive's name, in lower case: its kind and a tar's compression.
_SUFFIXES: Final[tuple[tuple[str, Kind, str], ...]] = (
    (".zip", "zip", ""),
    (".tar", "tar", ""),
    (".tar.gz", "tar", "gz"),
    (".tgz", "tar", "gz"),
    (".tar.xz", "tar", "xz"),
    (".txz", "tar", "xz"),
    (".tar.zst", "tar", "zst"),
    (".tzst", "tar", "zst"),
)
# A zip member's local header: its fixed part, the name's and the extra field's lengths last.
_LOCAL_HEADER: Final = struct.Struct("<4s5H3L2H")
_PLAIN_COMPRESSION: Final = (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED)
_STREAM_MODES: Final[dict[str, Literal["r|", "r|gz", "r|xz"]]] = {
    "": "r|",
    "gz": "r|gz",
    "xz": "r|xz",
}
_MEMBER: Final = re.compile(r"(zip|tar)://(?P<member>.*?)::(?P<archive>.+)", re.DOTALL)
_DRIVE: Final = re.compile(r"[A-Za-z]:")

# A side file's bytes by the name the model writes (OSError when there is none).
SideFiles = Callable[[str], bytes]


class ArchiveError(ValueError):
    """An archive, or one of its members, that cannot be read: damaged, a bomb, a name that
    leads outside it. The message is one line."""


def archive_kind(name: str) -> tuple[Kind, str] | None:
    """The kind of archive that the name's suffix says ("zip" or "tar") and a tar's
    compression ("", "gz", "xz", "zst"), or None for any other name."""
    lower = name.lower().rstrip("/")
    for suffix, kind, compression in _SUFFIXES:
        if lower.endswith(suffix):
            return kind, compression
    return None


def member_address(archive: str, member: str) -> str:
    """The spelling of `member` inside `archive`: "zip://member::archive"."""
    kind = archive_kind(archive)
    if kind is None:
        raise ValueError(f"{archive!r} is no archive (.zip, .tar, .tar.gz, .tar.xz, .tar.zst)")
    return f"{kind[0]}://{member}::{archive}"


def split_address(address: str) -> tuple[str, str] | None:
    """(archive, member) of a member's spelling, or None for anything else."""
    match = _MEMBER.fullmatch(address)
    if match is None:
        return None
    return match["archive"], match["member"]


def model_name(address: str) -> str:
    """What names the model's format and messages: a member's own name, else the address."""
    member = split_address(address)
    return address if member is None else member[1]


def is_remote(address: str) -> bool:
    """The model is read into memory first (a member, or behind a URL other than file://),
    rather than by its path."""
    return split_address(address) is not None or (
        storage.is_url(address) and not address.startswith("file://")
    )


def read_model(address: str) -> tuple[bytes, SideFiles]:
    """The bytes of the model at `address` (a member or a URL) and the reader of its side
    files, from wherever it lies: the archive's member beside it, or the object beside it."""
    preloaded = _PRELOADED.pop(address, None)
    member = split_address(address)
    if member is not None:
        archive = open_archive(member[0])
        data = preloaded if preloaded is not None else archive.read(member[1])
        folder = posixpath.dirname(member[1])
        return data, lambda name: archive.read(posixpath.normpath(posixpath.join(folder, name)))
    data = preloaded if preloaded is not None else storage.read_bytes(address)
    folder_url = address.rpartition("/")[0]
    return data, lambda name: storage.read_bytes(storage.join(folder_url, name))


# Bytes read ahead for a model (a member of a compressed tar, streamed by the batch), taken by
# its one read_model.
_PRELOADED: dict[str, bytes] = {}


def preload(address: str, data: bytes) -> None:
    """Hands the model's bytes, read elsewhere, to the next `read_model` of `address`; those
    of an earlier model that was never read (its task failed first) are let go."""
    _PRELOADED.clear()
    _PRELOADED[address] = data


@dataclass(frozen=True)
class Member:
    name: str  # as the archive stores it, decoded
    size: int  # declared, uncompressed
    packed: int | None = None  # a zip member's compressed size
    regular: bool = True  # a file, not a folder or a link
    folder: bool = False


@dataclass
class Listing:
    """The models of a source: their relative paths (sorted, as a folder's are) with the
    address of each, and the members refused before any reading (name -> why)."""

    relative: list[str] = field(default_factory=list)
    addresses: list[str] = field(default_factory=list)
    refused: dict[str, str] = field(default_factory=dict)


class Archive:
    """An archive, open for reading: its members, listed once, and each member's bytes."""

    def __init__(self, location: str) -> None:
        found = archive_kind(location)
        if found is None:
            raise ArchiveError(f"{location} is no archive")
        self.location = location
        self.kind, self.compression = found
        self._pid = os.getpid()
        self._file: IO[bytes] | None = None
        self._zip: zipfile.ZipFile | None = None
        self._offsets: dict[str, tuple[int, int]] = {}
        self._members: list[Member] | None = None
        self._lock = threading.RLock()

    @property
    def random_access(self) -> bool:
        """Members can be read in any order (a zip, a plain tar)."""
        return self.kind == "zip" or not self.compression

    def members(self) -> list[Member]:
        with self._lock:
            if self._members is None:
                self._members = self._list()
            return self._members

    def read(self, name: str) -> bytes:
        """The member's bytes. FileNotFoundError when there is none of that name (as for a
        missing file, so that a side file missing from the archive reads as one missing from
        a folder), ArchiveError when it is damaged or too large."""
        if self.kind == "zip":
            return self._read_zip(name)
        self.members()
        if name not in self._offsets and "./" + name in self._offsets:
            name = "./" + name  # a tar of ".", whose side files are named without it
        if name not in self._offsets:
            raise FileNotFoundError(2, "No such file or directory", name)
        offset, size = self._offsets[name]
        _check_size(name, size, None)
        if self.random_access:
            with self._lock:  # the seek and the read of one member at a time
                stream = self._open()
                stream.seek(offset)
                data = stream.read(size)
            if len(data) != size:
                raise ArchiveError(f"the archive ends inside member {name}")
            return data
        for _found, data in self.stream_members({name}):
            return data
        raise FileNotFoundError(2, "No such file or directory", name)

    def stream_members(self, wanted: set[str]) -> Iterator[tuple[str, bytes]]:
        """The wanted members of a tar with their bytes, in the archive's order, in one pass."""
        with self._open_tar(streaming=True) as tar:
            for info in tar:
                if info.name in wanted and info.isreg():
                    _check_size(info.name, info.size, None)
                    extracted = tar.extractfile(info)
                    if extracted is not None:
                        try:
                            data = extracted.read()
                        except _DAMAGE as error:
                            raise ArchiveError(f"member {info.name} is damaged: {error}") from None
                        yield info.name, data
                _forget(tar)  # one pass: nothing is kept for later

    def close(self) -> None:
        if self._zip is not None:
            self._zip.close()
        if self._file is not None:
            self._file.close()
        self._zip = self._file = None

    def _open(self) -> IO[bytes]:
        if self._file is None or self._pid != os.getpid():
            # A file object inherited over fork shares its offset with the parent's.
            self._file, self._zip, self._pid = _open_file(self.location), None, os.getpid()
        return self._file

    def _read_range(self, offset: int, size: int) -> bytes:
        """Up to `size` bytes from `offset`: of a local archive by one pread, which moves no
        shared position, else under the lock."""
        with self._lock:
            stream = self._open()
        if isinstance(stream, io.BufferedReader):
            return os.pread(stream.fileno(), size, offset)
        with self._lock:
            stream.seek(offset)
            return stream.read(size)

    def _zip_file(self) -> zipfile.ZipFile:
        # (ZipFile reads its members under a lock of its own.)
        with self._lock:
            stream = self._open()
            if self._zip is None:
                try:
                    self._zip = zipfile.ZipFile(stream)
                except (zipfile.BadZipFile, OSError, ValueError, EOFError) as error:
                    raise ArchiveError(f"{self.location} is no readable zip ({error})") from None
            return self._zip

    def _list(self) -> list[Member]:
        if self.kind == "zip":
            return [
                Member(
                    info.filename,
                    info.file_size,
                    info.compress_size,
                    not info.is_dir() and not stat.S_ISLNK(info.external_attr >> 16),
                    info.is_dir(),
                )
                for info in self._zip_file().infolist()
            ]
        members: list[Member] = []
        try:
            with self._open_tar(streaming=not self.random_access) as tar:
                for info in tar:
                    members.append(Member(info.name, info.size, None, info.isreg(), info.isdir()))
                    if info.isreg():
                        self._offsets[info.name] = (info.offset_data, info.size)
                    _forget(tar)
        except (tarfile.TarError, *_DAMAGE) as error:
            if not members:
                raise ArchiveError(f"{self.location} is no readable tar ({error})") from None
            # The members before the damage stay readable; those after it are lost.
        return members

    def _open_tar(self, *, streaming: bool) -> tarfile.TarFile:
        stream: IO[bytes] = self._open() if not streaming else _open_file(self.location)
        if self.compression == "zst":
            stream = _zstd_reader(stream)
            return tarfile.open(fileobj=stream, mode="r|")
        if streaming:
            mode = _STREAM_MODES[self.compression]
            return tarfile.open(fileobj=stream, mode=mode)
        stream.seek(0)
        return tarfile.open(fileobj=stream, mode="r:")

    def _read_zip(self, name: str) -> bytes:
        archive = self._zip_file()
        try:
            info = archive.getinfo(name)
        except KeyError:
            raise FileNotFoundError(2, "No such file or directory", name) from None
        _check_size(name, info.file_size, info.compress_size)
        try:
            plain = self._read_plain_zip(info)
            if plain is not None:
                return plain
            with archive.open(info) as member:
                data = member.read(MAX_MEMBER_BYTES + 1)
        except _DAMAGE as error:
            raise ArchiveError(f"member {name} is damaged: {error}") from None
        except NotImplementedError as error:
            raise ArchiveError(f"member {name} cannot be read: {error}") from None
        _check_size(name, len(data), None)
        return data

    def _read_plain_zip(self, info: zipfile.ZipInfo) -> bytes | None:
        """A stored or deflated member without encryption, read in one piece and inflated
        in one call, its size and CRC checked as zipfile checks them; None for any other,
        which zipfile reads. A small model costs a third of zipfile's own reading."""
        if info.flag_bits & 1 or info.compress_type not in (
            zipfile.ZIP_STORED,
            zipfile.ZIP_DEFLATED,
        ):
            return None
        # The local header, the name and extra field as the central directory gives them
        # (the local ones are most often the same), and the data, in one read.
        guess = len(info.orig_filename.encode("utf-8")) + len(info.extra)
        start = info.header_offset
        piece = self._read_range(start, _LOCAL_HEADER.size + guess + info.compress_size)
        if len(piece) < _LOCAL_HEADER.size or not piece.startswith(b"PK\x03\x04"):
            raise zipfile.BadZipFile("its local header is missing")
        name_length, extra_length = _LOCAL_HEADER.unpack_from(piece)[-2:]
        begin = _LOCAL_HEADER.size + name_length + extra_length
        packed = piece[begin : begin + info.compress_size]
        if len(packed) < info.compress_size:  # a longer local header, or the archive's end
            packed = self._read_range(start + begin, info.compress_size)
        if len(packed) != info.compress_size:
            raise zipfile.BadZipFile("the archive ends inside it")
        if info.compress_type == zipfile.ZIP_STORED:
            data = packed
        else:
            inflater = zlib.decompressobj(-zlib.MAX_WBITS)
            data = inflater.decompress(packed, MAX_MEMBER_BYTES + 1)
        if len(data) != info.file_size or zlib.crc32(data) != info.CRC:
            raise zipfile.BadZipFile("its size or CRC-32 is not the one it declares")
        return data


def _forget(tar: tarfile.TarFile) -> None:
    """Lets go of the members a pass has read so far, which the tar keeps otherwise."""
    cast(Any, tar).members.clear()


def _check_size(name: str, size: int, packed: int | None) -> None:
    if size > MAX_MEMBER_BYTES:
        raise ArchiveError(
            f"member {name} holds {size} bytes, more than the {MAX_MEMBER_BYTES >> 30} GiB "
            "that one member may"
        )
    if packed is not None and size > RATIO_FLOOR and size > MAX_RATIO * max(packed, 1):
        raise ArchiveError(
            f"member {name} would grow from {packed} to {size} bytes, more than {MAX_RATIO} "
            "times: a decompression bomb"
        )


def _open_file(location: str) -> IO[bytes]:
    if storage.is_url(location) and not location.startswith("file://"):
        fs, path = storage.filesystem(location)
        opened: IO[bytes] = fs.open(path, "rb")
        return opened
    return open(storage.local_path(location), "rb")


def _zstd_reader(stream: IO[bytes]) -> IO[bytes]:
    try:
        import zstandard
    except ImportError:
        raise ImportError(
            "reading .tar.zst archives needs zstandard: pip install 'vertisift[storage]'"
        ) from None
    return cast(IO[bytes], zstandard.ZstdDecompressor().stream_reader(stream, closefd=True))


_ARCHIVES: dict[str, Archive] = {}
_ARCHIVES_LOCK = threading.Lock()


def open_archive(location: str) -> Archive:
    """The archive at `location`, kept open by this process for the next reads of it (the
    few used last)."""
    with _ARCHIVES_LOCK:
        archive = _ARCHIVES.pop(location, None)
        if archive is None:
            archive = Archive(location)
            while len(_ARCHIVES) >= _OPEN_ARCHIVES:
                # Not closed: a thread may still read it; its files close as it goes.
                _ARCHIVES.pop(next(iter(_ARCHIVES)))
        _ARCHIVES[location] = archive  # last in the order: used last
        return archive


def list_archive(location: str) -> Listing:
    """The models of the archive: members with a model suffix, under its one top folder if it
    has one, and those refused for their names."""
    archive = open_archive(location)
    # Names as a tar of "." spells them ("./ModelNet/...") are those without the "./".
    members = [
        replace(member, name=_without_dot(member.name))
        for member in archive.members()
        if _without_dot(member.name).split("/", 1)[0] not in _IGNORED_TOP
        and _without_dot(member.name).strip("/")
    ]
    stored = {_without_dot(member.name): member.name for member in archive.members()}
    top = _top_folder(members)
    listing = Listing()
    seen: dict[str, int] = {}
    models: list[tuple[str, str]] = []
    for member in members:
        if member.folder or model_suffix(member.name).lower() not in MODEL_SUFFIXES:
            continue
        why = _unsafe(member.name)
        if why is None and not member.regular:
            why = "it is a link or a special file inside the archive, which is not read"
        if why is not None:
            listing.refused[member.name] = why
            continue
        relative = member.name[len(top) :].lstrip("/")
        seen[relative] = seen.get(relative, 0) + 1
        models.append((relative, member.name))
    for relative, name in sorted(models):
        if seen[relative] > 1:
            listing.refused[relative] = "the archive holds more than one member of this name"
            continue
        listing.relative.append(relative)
        listing.addresses.append(f"{archive.kind}://{stored[name]}::{location}")
    return listing


def _without_dot(name: str) -> str:
    while name.startswith("./"):
        name = name[2:]
    return "" if name == "." else name


def _top_folder(members: list[Member]) -> str:
    """ "NAME/" when every member lies under the one folder NAME, else ""."""
    paths = [member.name.rstrip("/") + ("/" if member.folder else "") for member in members]
    tops = {path.split("/", 1)[0] for path in paths}
    if len(tops) != 1 or not all("/" in path for path in paths):
        return ""
    return tops.pop() + "/"


def _unsafe(name: str) -> str | None:
    """Why a member's name would lead outside the folder it is read into, or None."""
    parts = re.split(r"[/\\]", name)
    if name.startswith(("/", "\\")) or _DRIVE.match(name):
        return "its name is an absolute path, which leads outside the archive's folder"
    if ".." in parts:
        return 'its name holds "..", which leads outside the archive\'s folder'
    return None


def list_url_folder(url: str) -> Listing:
    """The models under a folder URL, sorted by their relative paths."""
    listing = Listing()
    for relative in sorted(storage.list_files(url)):
        if model_suffix(relative.rpartition("/")[2]).lower() in MODEL_SUFFIXES:
            listing.relative.append(relative)
            listing.addresses.append(storage.join(url, relative))
    return listing


def is_folder_source(location: str) -> bool:
    """`location` is read as a local folder of models (not an archive, not a URL)."""
    return not storage.is_url(location) and archive_kind(location) is None


def list_source(location: str) -> Listing:
    """The models of an archive (a local file, or one behind a URL) or of a folder URL.
    NotADirectoryError when there is none there; ArchiveError when the archive cannot be
    listed. A local folder is listed by `models.list_models` instead."""
    if archive_kind(location) is not None:
        if storage.is_url(location) and not location.startswith("file://"):
            fs, path = storage.filesystem(location)
            if not fs.isfile(path):
                raise NotADirectoryError(f"{location} is no archive file")
        elif not os.path.isfile(storage.local_path(location)):
            raise NotADirectoryError(f"{location} is neither a folder nor an archive file")
        return list_archive(location)
    if not storage.is_folder(location):
        raise NotADirectoryError(f"{location} is not a folder")
    return list_url_folder(location)


def check_random_access(location: str) -> None:
    """ArchiveError unless the models of `location` can be read in any order: a compressed
    tar can only be read from its start, once for every model."""
    kind = archive_kind(location)
    if kind is not None and kind[0] == "tar" and kind[1]:
        raise ArchiveError(
            f"{location} is a compressed tar, which can only be read from its start: "
            "use a .zip or a plain .tar, or make HDF5 shards or clouds of it with the batch"
        )


# Objects fetched at once ahead of the model being drawn: the latency of an object store
# (tens of milliseconds a request) is hidden behind the others.
READ_AHEAD: Final = 16


def read_ahead(addresses: Iterable[str]) -> Generator[tuple[str, bytes | None], None, None]:
    """Each address with its model's bytes, in order, the objects behind URLs fetched up to
    READ_AHEAD at once on threads while the caller draws the models before them; None for a
    model that is not such an object (a path, a member of an archive, read by itself) or
    whose fetch failed (its own reading then says why)."""
    pending: deque[tuple[str, Future[bytes] | None]] = deque()
    remaining = iter(addresses)
    with ThreadPoolExecutor(READ_AHEAD, thread_name_prefix="vertisift-read") as fetcher:

        def top_up() -> None:
            while len(pending) < READ_AHEAD:
                address = next(remaining, None)
                if address is None:
                    return
                fetched = None
                if is_remote(address) and split_address(address) is None:
                    fetched = fetcher.submit(storage.read_bytes, address)
                pending.append((address, fetched))

        top_up()
        while pending:
            address, fetched = pending.popleft()
            top_up()
            data = None
            if fetched is not None:
                try:
                    data = fetched.result()
                except Exception:
                    data = None
            yield address, data
