"""The records of a batch: what it makes (`BatchRecord`, kept in OUT_DIR), what there is to do
(`plan_batch`), how each file ended, and the report of the run, with its failure list on disk
(`write_failures`).

Planning only looks: it reads OUT_DIR's record, lists the models and checks which clouds a
previous run already finished, and creates nothing, so a batch that is refused before it
starts leaves no trace.
"""

from __future__ import annotations

import csv
import dataclasses
import io
import json
import os
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING

from vertisift_tools.choices import RECORD_NORMALS, VISIBLE_NORMALS
from vertisift_tools.clouds import cloud_size, replacing
from vertisift_tools.formats import COLOR_ONLY, FORMATS, WITH_COLORS
from vertisift_tools.models import SkipFolder, list_models, model_suffix
from vertisift_tools.options import SEED_SCHEME, SampleOptions, package_version
from vertisift_tools.sources import is_folder_source, list_source
from vertisift_tools.storage import Target, child, list_files, read_target, remote, write_bytes

if TYPE_CHECKING:
    from vertisift_tools.convert import Drawn

FAILURES_FILE = "failures.csv"
RECORD_FILE = "vertisift-batch.json"
# Fields of the record that came after its first version, each with the value that its
# absence stands for: a record without one was made before the choice existed, that is with
# this value. A record holds such a field only when it differs, so that the record of a batch
# that does not use the choice is the one earlier versions wrote.
_LATER_FIELDS: dict[str, object] = {
    "candidates": None,
    "seeds": None,
    "shard_size": None,
    "labels": None,
    "split": None,
    "normalize": None,
    "colors": False,
    "visible": False,
    "view_directions": None,
}
# What a record without the field stands for, for the fields that every version wrote but
# the first: the first batches took the normals the files store.
_FIRST_FIELDS: dict[str, object] = {"normals": RECORD_NORMALS}
# The seeds of a seeded batch whose record names none: each model's seed hashed from the text
# "vertisift-batch/{seed}/{relative path}", as the versions before `model_seed` drew them.
EARLIER_SEEDS = "vertisift-batch"


@dataclass(frozen=True)
class Task:
    model: str  # the model file
    cloud: str  # the output file: its cloud, or the shard that gets its row
    relative: str  # the model's path under the input folder, as reports show it
    options: SampleOptions = field(default_factory=SampleOptions)  # with its own seed, if any


@dataclass(frozen=True)
class Failure:
    path: str  # under the input folder, "/"-separated
    message: str


@dataclass(frozen=True)
class Outcome:
    """How the conversion of one file ended: `failure` is None when the cloud was written,
    else the reason; `zero_normals` counts the points written with the normal (0, 0, 0), and
    `colorless` says that the model, drawn with colours, stores none (its points are white),
    and `unused_textures` lists the textures it could not use (a line each).
    `drawn` holds the points themselves when they go back to the batch (into a shard)
    rather than into a cloud file of their own."""

    failure: str | None = None
    zero_normals: int = 0
    colorless: bool = False
    unused_textures: tuple[str, ...] = ()
    drawn: Drawn | None = field(default=None, compare=False)


# How a runner reports each file that ends.
Record = Callable[[Task, Outcome], None]


@dataclass(frozen=True)
class BatchRecord:
    """What a batch makes, kept in OUT_DIR/vertisift-batch.json from the moment it starts, so
    that a rerun which asks for other clouds is refused instead of keeping these. The version
    and `seeds`, the scheme that gives each model its seed (None when unseeded), count only
    for a seeded batch, whose clouds depend on them bit for bit. `shard_size`, `labels` and
    `split` are the choices of a batch into HDF5 shards (format "h5"), None for the others.
    `visible` says whether the points come from the visible surface alone, whether asked
    for as such or by normals="outward", which draws so too."""

    count: int
    format: str
    method: str
    normals: str
    distinct: bool
    candidates: int | None
    seed: int | None
    seeds: str | None
    version: str
    shard_size: int | None = None
    labels: str | None = None
    split: str | None = None
    normalize: str | None = None
    colors: bool = False
    visible: bool = False
    view_directions: int | None = None

    @classmethod
    def of(
        cls,
        count: int,
        fmt: str,
        options: SampleOptions | None,
        *,
        shard_size: int | None = None,
        labels: str | None = None,
        split: str | None = None,
    ) -> BatchRecord:
        chosen = options or SampleOptions()
        return cls(
            count=count,
            format=fmt,
            method=chosen.method,
            normals=chosen.normals,
            distinct=chosen.distinct,
            candidates=chosen.candidates,
            seed=chosen.seed,
            seeds=None if chosen.seed is None else SEED_SCHEME,
            version=package_version(),
            shard_size=shard_size,
            labels=labels,
            split=split,
            normalize=chosen.normalize,
            colors=chosen.colors,
            visible=chosen.visible or chosen.normals == VISIBLE_NORMALS,
            view_directions=chosen.view_directions,
        )

    def differences(self, earlier: BatchRecord) -> list[str]:
        """What `earlier` made otherwise than this batch would, e.g. "seed 1 before, 2 now"."""
        names = [item.name for item in dataclasses.fields(self)]
        if self.seed is None:
            names.remove("version")
        if self.seed is None or earlier.seed is None:
            names.remove("seeds")  # only one is seeded, and the seeds say so
        return [
            f"{name} {_shown(getattr(earlier, name))} before, {_shown(getattr(self, name))} now"
            for name in names
            if getattr(earlier, name) != getattr(self, name)
        ]


class BatchMismatchError(ValueError):
    """OUT_DIR holds the clouds of a batch with other settings, or a record that cannot be
    read. `reason` says which (it follows OUT_DIR in the message)."""

    def __init__(self, out_dir: str | os.PathLike[str], reason: str) -> None:
        super().__init__(
            f"{os.fspath(out_dir)} {reason}; pass overwrite=True to make every cloud again"
        )
        self.out_dir = out_dir
        self.reason = reason


class OverwritesModelsError(ValueError):
    """The batch would write a cloud over one of the models it reads: OUT_DIR is IN_DIR (or
    holds part of it) and the models include files of the clouds' format. `reason` says
    which (it follows OUT_DIR in the message)."""

    def __init__(self, out_dir: str | os.PathLike[str], reason: str) -> None:
        super().__init__(f"{os.fspath(out_dir)} {reason}; choose another out_dir or format")
        self.out_dir = out_dir
        self.reason = reason


def check_record(out_dir: str | os.PathLike[str], record: BatchRecord) -> None:
    """Raises BatchMismatchError unless the batch recorded in OUT_DIR made what `record`
    asks for. A folder without a record (new, or written by a version that kept none) passes:
    its clouds of the right size are kept, as they always were."""
    path = child(out_dir, RECORD_FILE)
    try:
        text = read_target(path)
    except (FileNotFoundError, NotADirectoryError):
        return
    except OSError as error:
        reason = f"has a batch record {RECORD_FILE} that cannot be read ({error.strerror})"
        raise BatchMismatchError(out_dir, reason) from None
    earlier = _parse_record(text)
    if earlier is None:
        raise BatchMismatchError(out_dir, f"has a damaged batch record {RECORD_FILE}")
    differences = record.differences(earlier)
    if differences:
        raise BatchMismatchError(
            out_dir, f"holds the clouds of another batch ({'; '.join(differences)})"
        )


def write_record(out_dir: str | os.PathLike[str], record: BatchRecord) -> Target:
    """Writes OUT_DIR/vertisift-batch.json, replacing an earlier one."""
    fields = {
        name: value
        for name, value in dataclasses.asdict(record).items()
        if name not in _LATER_FIELDS or value != _LATER_FIELDS[name]
    }
    text = json.dumps(fields, indent=2) + "\n"
    return replace_text(child(out_dir, RECORD_FILE), text)


@dataclass
class Plan:
    tasks: list[Task]
    found: int  # model files found
    skipped: int  # finished in an earlier run
    record: BatchRecord  # what the batch makes, to be kept in OUT_DIR
    failures: list[Failure] = field(default_factory=list)  # known before any conversion
    kept: list[str] = field(default_factory=list)  # the clouds of those skipped

    @property
    def models(self) -> int:
        """The models to convert."""
        return len(self.tasks)

    @property
    def outputs(self) -> list[str]:
        """The paths of the batch's clouds: those to make and those kept."""
        return [*(task.cloud for task in self.tasks), *self.kept]


@dataclass
class BatchReport:
    found: int = 0
    skipped: int = 0
    converted: int = 0
    failures: list[Failure] = field(default_factory=list)
    interrupted: bool = False
    # The Dask scheduler went away before the end: the models it had not reported are
    # neither converted nor failed, and a rerun resumes the batch.
    scheduler_lost: bool = False
    seconds: float = 0.0
    # Converted models with points of normal (0, 0, 0): path under the input folder -> count.
    zero_normals: dict[str, int] = field(default_factory=dict)
    # Converted models drawn with colours that store none (their points are white), in the
    # order they ended.
    colorless: list[str] = field(default_factory=list)
    # Converted models with textures they could not use (their points keep their materials'
    # colours): path under the input folder -> a line per texture.
    unused_textures: dict[str, tuple[str, ...]] = field(default_factory=dict)
    # Why OUT_DIR/failures.csv could not be written (a full disk); None when it was.
    failures_file_error: str | None = None

    @property
    def ok(self) -> bool:
        """Every model has its cloud: nothing failed and the run was not cut short."""
        return not self.failures and not self.interrupted and not self.scheduler_lost

    def record(self, task: Task, outcome: Outcome) -> None:
        """Counts one finished file, converted or failed."""
        if outcome.failure is not None:
            self.failures.append(Failure(task.relative, outcome.failure))
            return
        self.converted += 1
        if outcome.zero_normals:
            self.zero_normals[task.relative] = outcome.zero_normals
        if outcome.colorless:
            self.colorless.append(task.relative)
        if outcome.unused_textures:
            self.unused_textures[task.relative] = outcome.unused_textures


def plan_batch(
    in_dir: str | os.PathLike[str],
    out_dir: str | os.PathLike[str],
    count: int,
    fmt: str = "npz",
    options: SampleOptions | None = None,
    *,
    overwrite: bool = False,
) -> Plan:
    """The conversions still to do. A model whose cloud already exists with `count` points is
    skipped; a cloud of another size, or one that cannot be read, is made again. A .npz or
    .ply cloud of the same size in bytes as one found complete is taken as complete without
    being opened. Each task carries `options` made for its file (its own seed, if one is
    given).

    Raises BatchMismatchError, before the models are listed, when OUT_DIR's record says its
    clouds were made with other settings. With `overwrite`, the record is not consulted and
    every cloud is made again."""
    if fmt not in FORMATS:
        raise ValueError(f"unknown format {fmt!r}; use one of {', '.join(FORMATS)}")
    colors = (options or SampleOptions()).colors
    if colors and fmt not in WITH_COLORS:
        raise ValueError(f"a .{fmt} cloud holds no colours; use {', '.join(WITH_COLORS)} or h5")
    if not colors and fmt in COLOR_ONLY:
        raise ValueError(f"a .{fmt} cloud holds colours: draw them (SampleOptions(colors=True))")
    root, out_root = Path(in_dir), Path(out_dir)
    out_remote = remote(os.fspath(out_dir))
    check_source(in_dir)
    record = BatchRecord.of(count, fmt, options)
    if not overwrite:
        check_record(out_dir, record)
    failures: list[Failure] = []
    # Plain "/"-separated strings throughout: path objects cost more than the rest of the
    # planning together for a tree of 100,000 models.
    models, address = source_models(in_dir, failures, None if out_remote else out_root)
    clouds = cloud_names(models, fmt)
    if is_folder_source(os.fspath(in_dir)) and not out_remote:
        models, clouds = _models_not_overwritten(root, out_root, models, clouds)
    # Models that would write the same cloud (part.stl and part.obj, or part.STL, in one
    # folder) are all refused: none of them is the one the cloud should hold.
    owners: dict[str, list[str]] = {}
    for relative, cloud in zip(models, clouds, strict=True):
        owners.setdefault(cloud, []).append(relative)
    alone = (cloud for cloud, sharing in owners.items() if len(sharing) == 1)
    if overwrite:
        finished: set[str] = set()
    elif out_remote:
        # Uploads are whole or absent, and the record says with what they were made.
        finished = set(alone) & set(list_files(os.fspath(out_dir)))
    else:
        finished = _finished_clouds(out_root, fmt, count, alone)
    chosen = options or SampleOptions()
    # What str(out_root / relative) gives: the folder and a separator, or nothing for ".".
    out_prefix = (
        os.fspath(out_dir).rstrip("/") + "/"
        if out_remote
        else ""
        if out_root == Path(".")
        else os.path.join(out_root, "")
    )
    tasks: list[Task] = []
    skipped = 0
    kept: list[str] = []
    for relative, cloud in zip(models, clouds, strict=True):
        sharing = owners[cloud]
        if len(sharing) > 1:
            others = ", ".join(name for name in sharing if name != relative)
            name = cloud.rpartition("/")[2]
            message = f"its output {name} would also be the output of {others}"
            failures.append(Failure(relative, message))
        elif cloud in finished:
            skipped += 1
            kept.append(out_prefix + cloud)
        else:
            model_path, cloud_path = address(relative), out_prefix + cloud
            tasks.append(Task(model_path, cloud_path, relative, chosen.for_file(relative)))
    return Plan(tasks, len(models), skipped, record, failures, kept)


def cloud_names(models: Sequence[str], fmt: str) -> list[str]:
    """The cloud of each model: its relative path with the format's suffix for its own."""
    suffix = "." + fmt
    return [relative[: len(relative) - len(model_suffix(relative))] + suffix for relative in models]


def _models_not_overwritten(
    root: Path, out_root: Path, models: list[str], clouds: list[str]
) -> tuple[list[str], list[str]]:
    """The models and their clouds; OverwritesModelsError when a cloud would replace a model
    (OUT_DIR and IN_DIR overlap, in a format of the models)."""
    in_real, out_real = os.path.realpath(root), os.path.realpath(out_root)
    if not _overlap(in_real, out_real):
        return models, clouds
    position = {os.path.join(in_real, relative): index for index, relative in enumerate(models)}
    overwritten = [
        (index, target)
        for index, target in enumerate(position.get(os.path.join(out_real, c)) for c in clouds)
        if target is not None
    ]
    if overwritten:
        index, target = overwritten[0]
        over = f"{models[index]} itself" if index == target else f"the model {models[target]}"
        more = f" (and {len(overwritten) - 1} more)" if len(overwritten) > 1 else ""
        reason = f"would get the cloud of {models[index]} written over {over}{more}"
        raise OverwritesModelsError(out_root, reason)
    return models, clouds


def _overlap(first: str, second: str) -> bool:
    """One of the two real paths is the other or a folder above it."""
    return first == second or any(
        inner.startswith(os.path.join(outer, ""))
        for inner, outer in ((first, second), (second, first))
    )


def check_source(in_dir: str | os.PathLike[str]) -> None:
    """NotADirectoryError unless IN_DIR is a folder, or names an archive or a URL (which its
    listing checks)."""
    location = os.fspath(in_dir)
    if is_folder_source(location) and not Path(location).is_dir():
        raise NotADirectoryError(f"{location} is not a folder")


def source_models(
    in_dir: str | os.PathLike[str], failures: list[Failure], out_root: Path | None = None
) -> tuple[list[str], Callable[[str], str]]:
    """The models of IN_DIR, a folder (`listed_models`), an archive or a URL
    (`sources.list_source`), as "/"-separated relative paths in order, and what reads each:
    its path, or its address. Members that an archive refuses by their names are added to
    `failures`."""
    location = os.fspath(in_dir)
    if is_folder_source(location):
        root = Path(location)
        relative = listed_models(root, failures, out_root)
        # What str(root / relative) gives: the folder and a separator, or nothing for ".".
        in_prefix = "" if root == Path(".") else os.path.join(root, "")
        return relative, lambda where: in_prefix + where
    listing = list_source(location)
    failures.extend(Failure(name, why) for name, why in listing.refused.items())
    addresses = dict(zip(listing.relative, listing.addresses, strict=True))
    return listing.relative, addresses.__getitem__


def listed_models(root: Path, failures: list[Failure], out_root: Path | None = None) -> list[str]:
    """The models under `root` as "/"-separated relative paths (`list_models`); each folder
    that cannot be listed is added to `failures`. The batch's OUT_DIR, when it lies under
    `root`, is left out: what a batch wrote there are clouds, not models."""

    def unlisted(error: OSError) -> None:
        where = Path(error.filename or root)
        failures.append(
            Failure(_relative(where, root), f"cannot list this folder: {error.strerror}")
        )

    found = list_models(root, unlisted, None if out_root is None else _is_folder(out_root))
    return _without_batch_clouds(root, found)


# The one suffix that is a model's and a cloud's alike.
_CLOUD_MODEL_SUFFIX = ".ply"


def _without_batch_clouds(root: Path, models: list[str]) -> list[str]:
    """`models` less the clouds that batches wrote: a .ply file that is a complete cloud in a
    folder of a batch's output (one that holds a batch record, or lies in one under `root`,
    `root` included). A cloud has no faces, so it is no model either way."""
    recorded: dict[str, bool] = {}

    def in_batch_output(folder: str) -> bool:
        if folder not in recorded:
            parent = folder.rpartition("/")[0] if folder else None
            here = (root / folder / RECORD_FILE).is_file()
            recorded[folder] = here or (parent is not None and in_batch_output(parent))
        return recorded[folder]

    return [
        relative
        for relative in models
        if model_suffix(relative).lower() != _CLOUD_MODEL_SUFFIX
        or not in_batch_output(relative.rpartition("/")[0])
        or cloud_size(root / relative) is None
    ]


def _is_folder(folder: Path) -> SkipFolder:
    """Whether an entry of a listing is `folder` (the same file, whatever its path)."""
    try:
        found = os.stat(folder)
    except OSError:
        return lambda entry: False  # not made yet, so nothing is in it

    def same(entry: os.DirEntry[str]) -> bool:
        # The listing's inode costs no call; the full check only for a match.
        try:
            return entry.inode() == found.st_ino and os.path.samestat(entry.stat(), found)
        except OSError:
            return False

    return same


# Formats whose clouds of one point count all have the same size in bytes.
_FIXED_SIZE_FORMATS = frozenset({"npz", "ply"})


def _finished_clouds(out_root: Path, fmt: str, count: int, clouds: Iterable[str]) -> set[str]:
    """Which of `clouds` (paths under OUT_DIR) a previous run finished with `count` points.

    Each output folder is listed once, so a missing cloud costs no call of its own. A cloud
    that is there is checked by `cloud_size`, except in a format of _FIXED_SIZE_FORMATS when
    a cloud of the same size in bytes has already passed that check: a file cut short, or one
    with another point count, has another size. Checking every .npz would take 0.2 ms each,
    20 s for a tree of 100,000 models."""
    by_folder: dict[str, list[str]] = {}
    for cloud in clouds:
        folder, _, name = cloud.rpartition("/")
        by_folder.setdefault(folder, []).append(name)
    fixed_size = fmt in _FIXED_SIZE_FORMATS
    whole_sizes: set[int] = set()  # sizes in bytes of clouds read whole and found finished
    finished: set[str] = set()
    for folder, names in by_folder.items():
        try:
            with os.scandir(out_root / folder if folder else out_root) as listing:
                present = {entry.name: entry for entry in listing}
        except OSError:
            continue  # not made yet; an unreadable folder's clouds are made again
        prefix = folder + "/" if folder else ""
        for name in names:
            entry = present.get(name)
            if entry is None or not entry.is_file():
                continue
            try:
                size = entry.stat().st_size if fixed_size else -1
            except OSError:
                continue  # gone since the listing
            if size in whole_sizes:
                finished.add(prefix + name)
            elif cloud_size(entry.path) == count:
                finished.add(prefix + name)
                if fixed_size:
                    whole_sizes.add(size)
    return finished


def write_failures(out_dir: str | os.PathLike[str], failures: Iterable[Failure]) -> Target:
    """Writes OUT_DIR/failures.csv (columns path, error) for the latest run, replacing the one
    of an earlier run; with no failures it holds only the header."""
    target = child(out_dir, FAILURES_FILE)
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(["path", "error"])
    for failure in sorted(failures, key=lambda f: f.path):
        writer.writerow([failure.path, failure.message])
    return replace_text(target, text.getvalue())


def replace_text(target: Target, text: str) -> Target:
    """Writes `text` under a temporary name and renames it over `target`, as the clouds are
    (an OSError as `replacing` raises it: naming `target`, the temporary file removed); a
    URL is uploaded whole (`storage.write_bytes`)."""
    if remote(target):
        write_bytes(str(target), text.encode("utf-8", errors="surrogateescape"))
        return target
    with replacing(Path(target)) as temp:
        # surrogateescape writes undecodable file names back as their original bytes.
        temp.write_text(text, encoding="utf-8", errors="surrogateescape")
    return target


def _parse_record(text: bytes) -> BatchRecord | None:
    """The record in `text`, or None when it is not one. A field of _LATER_FIELDS that the
    record lacks takes the value its absence stands for."""
    try:
        data = {**_LATER_FIELDS, **_FIRST_FIELDS, **json.loads(text)}
        if data["seed"] is not None and data["seeds"] is None:
            data["seeds"] = EARLIER_SEEDS
        return BatchRecord(
            **{item.name: data[item.name] for item in dataclasses.fields(BatchRecord)}
        )
    except (ValueError, TypeError, KeyError):
        return None


def _shown(value: object) -> str:
    if value is None:
        return "none"
    if isinstance(value, bool):
        return "yes" if value else "no"
    return str(value)


def _relative(path: Path, root: Path) -> str:
    """`path` under `root`, "/"-separated, as reports show it (the whole path if outside)."""
    try:
        return path.relative_to(root).as_posix()
    except ValueError:
        return path.as_posix()
