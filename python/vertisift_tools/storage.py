"""Files behind fsspec URLs ("s3://bucket/models", "gs://...", "https://...", "memory://...",
"file://..."): whether a text is a URL, the file system that serves it, and the few
operations the batches need of a place they read from or write to.

fsspec and its protocol packages (s3fs, gcsfs, aiohttp for http) are optional: the first use
of a URL without them raises ImportError naming what to install. Endpoints and credentials
come from the environment, as each protocol package reads them (AWS_ENDPOINT_URL,
AWS_ACCESS_KEY_ID, ... for S3); nothing here puts them in a message, and messages name an
object by its URL alone.

Writes are whole or absent: an object store (S3, GCS) shows an upload only once it is
complete, and every other file system gets the file under a temporary name first, then moved
over the target.
"""

from __future__ import annotations

import os
import posixpath
import re
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from pathlib import Path
from tempfile import TemporaryDirectory
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from fsspec import AbstractFileSystem

# "scheme://", the scheme as RFC 3986 spells it; a Windows drive ("C:\\") has no "//".
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")
# Protocols whose uploads appear whole or not at all.
_OBJECT_STORES = frozenset({"s3", "s3a", "gs", "gcs", "az", "abfs", "abfss", "adl"})
# The package that serves a protocol, for the message when it is missing.
_PACKAGES = {"s3": "s3fs", "s3a": "s3fs", "gs": "gcsfs", "gcs": "gcsfs"}
INSTALL_HINT = "pip install 'vertisift[storage]' (and the protocol's own package, e.g. s3fs)"


def is_url(text: str) -> bool:
    """`text` starts with a URL scheme and "://" (as fsspec takes it), "file://" included."""
    return _URL.match(text) is not None


def local_path(text: str) -> str:
    """The local path of a "file://" URL (its path part), else `text` itself."""
    return text[len("file://") :] if text.startswith("file://") else text


def filesystem(url: str) -> tuple[AbstractFileSystem, str]:
    """The file system of `url` and the path on it. ImportError, naming what to install, when
    fsspec or the protocol's package is missing."""
    try:
        import fsspec.core
    except ImportError:
        raise ImportError(
            f"{scheme(url)}:// URLs need fsspec: {INSTALL_HINT}", name="fsspec"
        ) from None
    try:
        fs, path = fsspec.core.url_to_fs(url)
    except ImportError as error:
        package = _PACKAGES.get(scheme(url), "fsspec")
        raise ImportError(f"{scheme(url)}:// URLs: {error}", name=package) from None
    return fs, path


def scheme(url: str) -> str:
    """The URL's scheme in lower case ("" for a path)."""
    return url.partition("://")[0].lower() if is_url(url) else ""


# Protocols whose files live in one process's memory, out of its workers' sight.
PROCESS_ONLY = frozenset({"memory"})


def join(url: str, relative: str) -> str:
    """`relative` ("/"-separated) under the folder URL `url`."""
    return url.rstrip("/") + "/" + relative if relative else url


def read_bytes(url: str) -> bytes:
    """The whole object; FileNotFoundError (its filename the URL) when there is none."""
    fs, path = filesystem(url)
    try:
        return bytes(fs.cat_file(path))
    except FileNotFoundError:
        raise FileNotFoundError(2, "No such file or directory", url) from None


def list_files(url: str) -> dict[str, int]:
    """Every file under the folder URL, recursively: its "/"-separated path relative to
    `url` -> its size in bytes. Empty when there is no such folder."""
    fs, path = filesystem(url)
    root = path.rstrip("/")
    fs.invalidate_cache()  # what others wrote since the last listing counts
    try:
        found: dict[str, Any] = fs.find(root, detail=True)
    except FileNotFoundError:
        return {}
    files: dict[str, int] = {}
    for name, info in found.items():
        if info.get("type", "file") != "file":
            continue
        relative = posixpath.relpath(name, root) if root else name
        if not relative.startswith("../"):
            files[relative] = int(info.get("size") or 0)
    return files


def is_folder(url: str) -> bool:
    """There is a folder (a prefix with objects under it, on an object store) at `url`."""
    fs, path = filesystem(url)
    try:
        return bool(fs.isdir(path))
    except OSError:
        return False


def put_file(local: str | os.PathLike[str], url: str) -> None:
    """Uploads the local file to `url`, whole or not at all: an object store shows the
    object once its upload completes; elsewhere it goes under a temporary name beside the
    target and is moved over it."""
    fs, path = filesystem(url)
    parent = posixpath.dirname(path)
    if scheme(url) in _OBJECT_STORES:
        fs.put_file(os.fspath(local), path)
        return
    if parent:
        fs.makedirs(parent, exist_ok=True)
    temporary = posixpath.join(parent, f".{posixpath.basename(path)}.{os.getpid()}.part")
    fs.put_file(os.fspath(local), temporary)
    try:
        fs.mv(temporary, path)
    except BaseException:
        fs.rm(temporary)
        raise


def write_bytes(url: str, data: bytes) -> None:
    """Writes `data` to `url`, whole or not at all (as `put_file`)."""
    with staged(posixpath.basename(url) or "file") as local:
        local.write_bytes(data)
        put_file(local, url)


def remove(url: str) -> None:
    """Removes the object at `url`, if there is one."""
    fs, path = filesystem(url)
    with suppress(FileNotFoundError):
        fs.rm_file(path)


@contextmanager
def staged(name: str) -> Iterator[Path]:
    """A local path called `name` in a new temporary folder, removed with it at the end: where
    a file is made before it is uploaded."""
    with TemporaryDirectory(prefix="vertisift-") as folder:
        yield Path(folder) / name


# A file of a batch's output: a local path, or a URL.
Target = str | Path


def child(folder: str | os.PathLike[str], name: str) -> Target:
    """The file `name` ("/"-separated) in `folder`: a URL under a folder URL, else a path."""
    text = os.fspath(folder)
    return join(text, name) if is_url(text) else Path(text) / name


def remote(target: str | os.PathLike[str]) -> bool:
    """`target` is a URL (file:// too), so written through fsspec."""
    return isinstance(target, str) and is_url(target)


def read_target(target: Target) -> bytes:
    """The file's bytes (FileNotFoundError when there is none)."""
    if remote(target):
        return read_bytes(str(target))
    return Path(target).read_bytes()


def remove_target(target: Target) -> None:
    """Removes the file, if it is there."""
    if remote(target):
        remove(str(target))
    else:
        Path(target).unlink(missing_ok=True)
