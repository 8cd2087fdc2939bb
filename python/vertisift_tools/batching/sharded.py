"""A batch into HDF5 shards (`--format h5`): the models of each split, in the order of their
relative paths, cut into shards of `shard_size` models, each drawn by the local worker
processes and written by this process once all its rows are in.

A shard's models are fixed by the plan alone (its place in the sorted list of its split),
never by what failed elsewhere, so a shard can be kept or made again on its own: a rerun
keeps every shard whose file holds exactly its models, with their labels, and makes the rest.
A model that fails leaves no row, so a shard holds its successful models in order.

The files (`vertisift_tools.shards`) are written in this order: a shard's list of models is
removed, the shard is written under a temporary name and renamed, then the list is written,
so a shard counts as complete only when its list, written after it, names its rows.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Literal, Protocol

import numpy as np

from vertisift_tools.batching.plan import (
    BatchRecord,
    Failure,
    Outcome,
    Task,
    check_record,
    check_source,
    replace_text,
    source_models,
)
from vertisift_tools.batching.task import draw_model
from vertisift_tools.formats import SHARD_FORMAT
from vertisift_tools.options import SampleOptions
from vertisift_tools.shards import (
    CLASSES_FILE,
    id_file_name,
    id_file_text,
    is_shard_file,
    label_type,
    list_file_name,
    need_h5py,
    read_id_file,
    shard_labels,
    shard_name,
    write_shard,
)
from vertisift_tools.sources import preload, read_ahead
from vertisift_tools.storage import (
    child,
    list_files,
    put_file,
    read_target,
    remote,
    remove_target,
    staged,
)

DEFAULT_SHARD_SIZE = 2048
Labels = Literal["folders"]
# The splits of --split-folders, each the models with a folder of that name in their path,
# and the one split of a batch without it.
SPLIT_FOLDERS = ("train", "test")
ALL_SPLIT = "all"
# What each line of a split's list of shards puts before the shard's name by default, after
# "data/": the name of OUT_DIR, as the training releases list their shards, for code that
# opens those lines from its project's folder ("data/<OUT_DIR's name>/ply_data_train0.h5").
LIST_FOLDER = "data"
NO_CLASS_MESSAGE = "it lies in no folder under IN_DIR, so it has no class"
NO_SPLIT_MESSAGE = "it lies in no train or test folder, so it belongs to no split"
BOTH_SPLITS_MESSAGE = "it lies in a train and a test folder, so its split is unclear"


# Compared and hashed by identity: a shard is a key of the runners' tables, and a hash of its
# thousands of tasks for each model that ends would cost more than drawing small models.
@dataclass(frozen=True, eq=False)
class Shard:
    """One shard file: its split and number, and its models' tasks and labels, in order."""

    split: str
    index: int
    tasks: tuple[Task, ...]
    labels: tuple[int, ...]

    @property
    def name(self) -> str:
        return shard_name(self.split, self.index)


class UnlistableNameError(ValueError):
    """A name that a file of one name a line cannot hold: a class folder, or the prefix of
    the lines of a split's list of shards."""


def check_line(name: str, what: str) -> str:
    """`name`, if a file of one name a line holds it so that reading the file's lines (by
    `str.splitlines`, as loaders do) gives it back: no line break of any kind, and text that
    UTF-8 can write. UnlistableNameError otherwise."""
    if name and name.splitlines() != [name]:
        raise UnlistableNameError(
            f"{what} {name!r} has a line break in its name, which a file of one name a line "
            "cannot hold; rename it"
        )
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        raise UnlistableNameError(
            f"{what} {name!r} has a name that is not UTF-8 text, which the loaders of a file "
            "of one name a line cannot read back; rename it"
        ) from None
    return name


def files_prefix_of(out_dir: str | os.PathLike[str], files_prefix: str | None) -> str:
    """What each line of `{split}_files.txt` puts before a shard's name: `files_prefix`, or
    by default "data/<OUT_DIR's name>/". UnlistableNameError when the lines cannot hold it."""
    if files_prefix is not None:
        return check_line(files_prefix, "the prefix of the shard lists")
    text = os.fspath(out_dir)
    folder = text.rstrip("/").rpartition("/")[2] if remote(text) else Path(text).resolve().name
    name = check_line(folder, "OUT_DIR")
    return f"{LIST_FOLDER}/{name}/" if name else ""


@dataclass(frozen=True)
class ShardWork:
    """What every shard of a batch is made with: OUT_DIR, the points per row, and the type
    of the labels (by its numpy name)."""

    out_dir: str
    count: int
    label_dtype: str


@dataclass
class ShardPlan:
    shards: list[Shard]  # every shard of the batch, by split and number
    todo: list[Shard]  # those to make
    splits: tuple[str, ...]
    classes: list[str]  # empty without labels
    found: int
    record: BatchRecord
    work: ShardWork  # what its shards are made with
    prefix: str  # what each line of a split's list of shards puts before the shard's name
    failures: list[Failure] = field(default_factory=list)  # known before any drawing

    @property
    def skipped(self) -> int:
        """The models of the shards kept."""
        return sum(len(shard.tasks) for shard in self.shards if shard not in self.todo)

    @property
    def models(self) -> int:
        """The models of the shards to make."""
        return sum(len(shard.tasks) for shard in self.todo)

    @property
    def outputs(self) -> list[str]:
        """The paths of the files that the batch writes in OUT_DIR besides its record and
        failure list: its shards, their lists of models, its splits' lists of shards and its
        class names (with labels)."""
        names = [list_file_name(split) for split in self.splits]
        if self.classes:
            names.append(CLASSES_FILE)
        for shard in self.shards:
            names += [shard.name, id_file_name(shard.split, shard.index)]
        return [str(Path(self.work.out_dir) / name) for name in names]


@dataclass(frozen=True)
class ShardChoices:
    """The choices of a batch into shards, as `batch` takes them: None or False when not
    given (a default shard size of DEFAULT_SHARD_SIZE)."""

    shard_size: int | None = None
    labels: Labels | None = None
    split_folders: bool = False
    files_prefix: str | None = None

    def check(self, fmt: str) -> None:
        """ValueError when choices are given for a batch of another format."""
        given = [
            name for name, value in vars(self).items() if value is not None and value is not False
        ]
        if given and fmt != SHARD_FORMAT:
            raise ValueError(f"{', '.join(given)} applies only to fmt='h5', not {fmt!r}")


def shard_record(
    count: int,
    options: SampleOptions | None,
    shard_size: int,
    labels: Labels | None,
    split_folders: bool,
) -> BatchRecord:
    return BatchRecord.of(
        count,
        SHARD_FORMAT,
        options,
        shard_size=shard_size,
        labels=labels,
        split="folders" if split_folders else None,
    )


def plan_shards(
    in_dir: str | os.PathLike[str],
    out_dir: str | os.PathLike[str],
    count: int,
    options: SampleOptions | None,
    choices: ShardChoices,
    *,
    overwrite: bool,
) -> ShardPlan:
    """The shards of the batch and those still to make, and the prefix of the lines of its
    lists of shards (`files_prefix_of`). Models that cannot go in a shard (no class folder
    with labels, no split folder with split_folders) are failures at once. Raises
    BatchMismatchError as `plan_batch` does, and creates nothing."""
    prefix = files_prefix_of(out_dir, choices.files_prefix)
    labels, split_folders = choices.labels, choices.split_folders
    shard_size = DEFAULT_SHARD_SIZE if choices.shard_size is None else choices.shard_size
    if shard_size < 1:
        raise ValueError(f"shard_size must be 1 or more, not {shard_size}")
    if labels not in (None, "folders"):
        raise ValueError(f"labels must be None or 'folders', not {labels!r}")
    out_root = os.fspath(out_dir)
    out_remote = remote(out_root)
    check_source(in_dir)
    record = shard_record(count, options, shard_size, labels, split_folders)
    if not overwrite:
        check_record(out_root, record)
    need_h5py()
    failures: list[Failure] = []
    relative, address = source_models(in_dir, failures, None if out_remote else Path(out_root))
    # Classes from every model, as PointCloudDataset takes them, so that the train and test
    # shards number them alike.
    classes = []
    if labels is not None:
        classes = sorted({where.split("/", 1)[0] for where in relative if "/" in where})
        for name in classes:
            check_line(name, "the class folder")
    class_index = {name: index for index, name in enumerate(classes)}
    splits = SPLIT_FOLDERS if split_folders else (ALL_SPLIT,)
    members: dict[str, list[tuple[Task, int]]] = {split: [] for split in splits}
    chosen = options or SampleOptions()
    shard_paths: dict[tuple[str, int], str] = {}
    for where in relative:
        folders = where.split("/")[:-1]
        label = 0
        if labels is not None:
            if not folders:
                failures.append(Failure(where, NO_CLASS_MESSAGE))
                continue
            label = class_index[folders[0]]
        if split_folders:
            named = [split for split in SPLIT_FOLDERS if split in folders]
            if len(named) != 1:
                message = BOTH_SPLITS_MESSAGE if named else NO_SPLIT_MESSAGE
                failures.append(Failure(where, message))
                continue
            split = named[0]
        else:
            split = ALL_SPLIT
        number = len(members[split]) // shard_size
        shard = shard_paths.get((split, number)) or shard_paths.setdefault(
            (split, number), str(child(out_root, shard_name(split, number)))
        )
        task = Task(address(where), shard, where, chosen.for_file(where))
        members[split].append((task, label))
    shards = []
    for split in splits:
        entries = members[split]
        for start in range(0, len(entries), shard_size):
            part = entries[start : start + shard_size]
            shards.append(
                Shard(
                    split,
                    start // shard_size,
                    tuple(task for task, _ in part),
                    tuple(label for _, label in part),
                )
            )
    label_dtype = label_type(len(classes))
    todo = [
        shard for shard in shards if overwrite or not _complete(out_root, shard, count, label_dtype)
    ]
    work = ShardWork(out_root, count, np.dtype(label_dtype).name)
    return ShardPlan(shards, todo, splits, classes, len(relative), record, work, prefix, failures)


@dataclass(frozen=True)
class ShardResult:
    """How a shard made elsewhere ended: the outcome of each of its models, in order,
    without their points, and why the file could not be written (None when it was)."""

    outcomes: tuple[Outcome, ...]
    write_failure: str | None


class ShardEnded(Protocol):
    """How a runner reports the end of each model and then of its whole shard."""

    def model(self, task: Task, outcome: Outcome) -> None: ...

    def shard(
        self, shard: Shard, outcomes: Sequence[Outcome], write_failure: str | None
    ) -> None: ...


class ShardRows:
    """The outcomes of shards' models, which end in any order, each reported as it ends; a
    shard is written here, with the points its models sent back, once its last has ended."""

    def __init__(self, work: ShardWork, ended: ShardEnded) -> None:
        self.work = work
        self.ended = ended
        self._outcomes: dict[Shard, dict[Task, Outcome]] = {}

    def add(self, shard: Shard, task: Task, outcome: Outcome) -> None:
        self.ended.model(task, outcome)
        outcomes = self._outcomes.setdefault(shard, {})
        outcomes[task] = outcome
        if len(outcomes) == len(shard.tasks):
            del self._outcomes[shard]
            in_order = [outcomes[task] for task in shard.tasks]
            self.ended.shard(shard, in_order, write_rows(self.work, shard, in_order))


def make_shard(shard: Shard, work: ShardWork) -> ShardResult:
    """Draws the models of a shard one after the other and writes it, as a task of a
    cluster's worker. Never raises for a failure of one model."""
    outcomes = []
    fetched = read_ahead(task.model for task in shard.tasks)
    for task, (_, data) in zip(shard.tasks, fetched, strict=True):
        if data is not None:
            preload(task.model, data)
        outcomes.append(draw_model(task.model, task.cloud, work.count, task.options))
    write_failure = write_rows(work, shard, outcomes)
    return ShardResult(tuple(replace(outcome, drawn=None) for outcome in outcomes), write_failure)


def write_rows(work: ShardWork, shard: Shard, outcomes: Sequence[Outcome]) -> str | None:
    """Writes the shard of the rows drawn, in the plan's order, and then its list of models;
    the reason when it cannot be written."""
    out_root = work.out_dir
    rows = [
        (task, label, outcome.drawn)
        for task, label, outcome in zip(shard.tasks, shard.labels, outcomes, strict=True)
        if outcome.drawn is not None
    ]
    id_file = child(out_root, id_file_name(shard.split, shard.index))
    target = child(out_root, shard.name)
    arrays = ([drawn for _, _, drawn in rows], [label for _, label, _ in rows])
    try:
        remove_target(id_file)
        if remote(target):
            # Made here, then uploaded whole, before its list of models.
            with staged(shard.name) as local:
                write_shard(local, *arrays, work.count, work.label_dtype)
                put_file(local, str(target))
        else:
            write_shard(Path(target), *arrays, work.count, work.label_dtype)
        replace_text(id_file, id_file_text([task.relative for task, _, _ in rows]))
    except OSError as error:
        # The shard or its list of models, by name: OUT_DIR holds them side by side.
        written = str(error.filename).rpartition("/")[2] if error.filename else shard.name
        return f"cannot write {written}: {error.strerror or error}"
    return None


def _complete(out_root: str, shard: Shard, count: int, label_dtype: Any) -> bool:
    """The shard's file holds a row of `count` points for every one of its models, with its
    label of the type that the number of classes asks for: what a finished run of the same
    plan wrote."""
    listed = read_id_file(child(out_root, id_file_name(shard.split, shard.index)))
    if listed != [task.relative for task in shard.tasks]:
        return False
    target = child(out_root, shard.name)
    if remote(target):
        with staged(shard.name) as local:
            try:
                local.write_bytes(read_target(target))
            except OSError:
                return False
            found = shard_labels(local, count)
    else:
        found = shard_labels(Path(target), count)
    return found is not None and found.dtype == label_dtype and found.tolist() == list(shard.labels)


def write_listing(plan: ShardPlan) -> None:
    """Writes in OUT_DIR the class names (none without labels), each split's list of shards,
    each line the plan's prefix and a shard's name (also of a split without models: an empty
    list), and removes every shard file that the plan does not hold: those of an earlier run
    with more shards or other splits would be read with these."""
    out_root = plan.work.out_dir
    classes = child(out_root, CLASSES_FILE)
    if plan.classes:
        replace_text(classes, "".join(f"{name}\n" for name in plan.classes))
    else:
        remove_target(classes)
    for split in plan.splits:
        names = [shard.name for shard in plan.shards if shard.split == split]
        lines = "".join(f"{plan.prefix}{name}\n" for name in names)
        replace_text(child(out_root, list_file_name(split)), lines)
    wanted = {shard.name for shard in plan.shards}
    wanted |= {id_file_name(shard.split, shard.index) for shard in plan.shards}
    every_split = (*SPLIT_FOLDERS, ALL_SPLIT)
    for split in every_split:
        if split not in plan.splits:
            remove_target(child(out_root, list_file_name(split)))
    present = (
        [name for name in list_files(out_root) if "/" not in name]
        if remote(out_root)
        else [entry.name for entry in Path(out_root).iterdir()]
    )
    for name in present:
        if name not in wanted and is_shard_file(name, every_split):
            remove_target(child(out_root, name))
