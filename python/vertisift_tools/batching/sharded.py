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
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Literal, Protocol

import numpy as np

from vertisift_tools.batching.plan import (
    BatchRecord,
    BatchReport,
    Failure,
    Outcome,
    Task,
    check_record,
    listed_models,
    replace_text,
    write_record,
)
from vertisift_tools.batching.runner import (
    Execute,
    Progress,
    SchedulerLost,
    note_stop,
    remove_leftovers_of,
    write_failure_list,
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
    name = check_line(Path(out_dir).resolve().name, "OUT_DIR")
    return f"{LIST_FOLDER}/{name}/" if name else ""


@dataclass
class ShardPlan:
    shards: list[Shard]  # every shard of the batch, by split and number
    todo: list[Shard]  # those to make
    splits: tuple[str, ...]
    classes: list[str]  # empty without labels
    found: int
    record: BatchRecord
    failures: list[Failure] = field(default_factory=list)  # known before any drawing


def check_shard_choices(
    fmt: str,
    shard_size: int | None,
    labels: Labels | None,
    split_folders: bool,
    files_prefix: str | None = None,
) -> None:
    """ValueError when shard choices are given for a batch of another format."""
    if fmt == SHARD_FORMAT:
        return
    given = [
        name
        for name, value in (
            ("shard_size", shard_size),
            ("labels", labels),
            ("split_folders", split_folders or None),
            ("files_prefix", files_prefix),
        )
        if value is not None
    ]
    if given:
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
    *,
    shard_size: int,
    labels: Labels | None,
    split_folders: bool,
    overwrite: bool,
) -> ShardPlan:
    """The shards of the batch and those still to make. Models that cannot go in a shard
    (no class folder with labels, no split folder with split_folders) are failures at once.
    Raises BatchMismatchError as `plan_batch` does, and creates nothing."""
    if shard_size < 1:
        raise ValueError(f"shard_size must be 1 or more, not {shard_size}")
    if labels not in (None, "folders"):
        raise ValueError(f"labels must be None or 'folders', not {labels!r}")
    root, out_root = Path(in_dir), Path(out_dir)
    if not root.is_dir():
        raise NotADirectoryError(f"{root} is not a folder")
    record = shard_record(count, options, shard_size, labels, split_folders)
    if not overwrite:
        check_record(out_root, record)
    need_h5py()
    failures: list[Failure] = []
    relative = listed_models(root, failures, out_root)
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
    # What str(root / where) gives, without a path object per model.
    in_prefix = "" if root == Path(".") else os.path.join(root, "")
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
            (split, number), str(out_root / shard_name(split, number))
        )
        task = Task(in_prefix + where, shard, where, chosen.for_file(where))
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
    return ShardPlan(
        shards,
        todo,
        splits,
        classes,
        len(relative),
        record,
        failures,
    )


@dataclass(frozen=True)
class ShardWork:
    """What every shard of a batch is made with: OUT_DIR, the points per row, and the type
    of the labels (by its numpy name)."""

    out_dir: str
    count: int
    label_dtype: str


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


# A runner of shards: makes the shards with the ShardWork, and reports each model and each
# shard as it ends. It returns when all are done, or lets KeyboardInterrupt through once it
# has stopped its work, or raises SchedulerLost.
ExecuteShards = Callable[[Sequence[Shard], ShardWork, ShardEnded], None]


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


def drawn_by(execute: Execute) -> ExecuteShards:
    """A runner of shards from a runner of models whose work is `draw_model`: the models'
    points come back to this process, which writes each shard once its last model ends."""

    def run(shards: Sequence[Shard], work: ShardWork, ended: ShardEnded) -> None:
        shard_of = {task: shard for shard in shards for task in shard.tasks}
        rows = ShardRows(work, ended)

        def record(task: Task, outcome: Outcome) -> None:
            rows.add(shard_of[task], task, outcome)

        execute([task for shard in shards for task in shard.tasks], work.count, record)

    return run


def make_shard(shard: Shard, work: ShardWork) -> ShardResult:
    """Draws the models of a shard one after the other and writes it, as a task of a
    cluster's worker. Never raises for a failure of one model."""
    outcomes = [
        draw_model(task.model, task.cloud, work.count, task.options) for task in shard.tasks
    ]
    write_failure = write_rows(work, shard, outcomes)
    return ShardResult(tuple(replace(outcome, drawn=None) for outcome in outcomes), write_failure)


def run_shard_batch(
    in_dir: str | os.PathLike[str],
    out_dir: str | os.PathLike[str],
    count: int,
    execute: ExecuteShards,
    *,
    shard_size: int,
    labels: Labels | None,
    split_folders: bool,
    progress: bool = False,
    options: SampleOptions | None = None,
    overwrite: bool = False,
    files_prefix: str | None = None,
) -> BatchReport:
    """Plans the shards (`plan_shards`), records the batch in OUT_DIR with its class names
    and lists of shards (each line `files_prefix_of(out_dir, files_prefix)` and the shard's
    name), has `execute` make the shards still to make, and writes OUT_DIR/failures.csv.
    The report's `converted` counts the rows written in shards by this run, `skipped` the
    models of the shards kept."""
    started = time.perf_counter()
    out_root = Path(out_dir)
    prefix = files_prefix_of(out_root, files_prefix)
    plan = plan_shards(
        in_dir,
        out_dir,
        count,
        options,
        shard_size=shard_size,
        labels=labels,
        split_folders=split_folders,
        overwrite=overwrite,
    )
    kept = [shard for shard in plan.shards if shard not in plan.todo]
    report = BatchReport(
        found=plan.found,
        skipped=sum(len(shard.tasks) for shard in kept),
        failures=list(plan.failures),
    )
    if not plan.found and not plan.failures:
        return report
    out_root.mkdir(parents=True, exist_ok=True)
    remove_leftovers_of(out_root, _outputs(out_root, plan))
    write_record(out_root, plan.record)
    _write_listing(out_root, plan, prefix)
    work = ShardWork(str(out_root), count, np.dtype(label_type(len(plan.classes))).name)
    bar = Progress(
        sum(len(shard.tasks) for shard in plan.todo), len(report.failures), enabled=progress
    )
    try:
        execute(plan.todo, work, _Tally(report, bar))
    except (KeyboardInterrupt, SchedulerLost) as stopped:
        note_stop(report, stopped)
    finally:
        bar.close()
    write_failure_list(out_root, report)
    report.seconds = time.perf_counter() - started
    return report


class _Tally:
    """Counts what ends in the report and on the bar."""

    def __init__(self, report: BatchReport, bar: Progress) -> None:
        self.report = report
        self.bar = bar

    def model(self, task: Task, outcome: Outcome) -> None:
        if outcome.failure is not None:
            self.report.failures.append(Failure(task.relative, outcome.failure))
        self.bar.advance(len(self.report.failures), failed=outcome.failure is not None)

    def shard(self, shard: Shard, outcomes: Sequence[Outcome], write_failure: str | None) -> None:
        rows = [
            (task, outcome)
            for task, outcome in zip(shard.tasks, outcomes, strict=True)
            if outcome.failure is None
        ]
        if write_failure is not None:
            self.report.failures.extend(Failure(task.relative, write_failure) for task, _ in rows)
            return
        self.report.converted += len(rows)
        for task, outcome in rows:
            if outcome.zero_normals:
                self.report.zero_normals[task.relative] = outcome.zero_normals


def write_rows(work: ShardWork, shard: Shard, outcomes: Sequence[Outcome]) -> str | None:
    """Writes the shard of the rows drawn, in the plan's order, and then its list of models;
    the reason when it cannot be written."""
    out_root = Path(work.out_dir)
    rows = [
        (task, label, outcome.drawn)
        for task, label, outcome in zip(shard.tasks, shard.labels, outcomes, strict=True)
        if outcome.drawn is not None
    ]
    id_file = out_root / id_file_name(shard.split, shard.index)
    try:
        id_file.unlink(missing_ok=True)
        write_shard(
            out_root / shard.name,
            [drawn for _, _, drawn in rows],
            [label for _, label, _ in rows],
            work.count,
            work.label_dtype,
        )
        replace_text(id_file, id_file_text([task.relative for task, _, _ in rows]))
    except OSError as error:
        # The shard or its list of models, by name: OUT_DIR holds them side by side.
        written = Path(error.filename).name if error.filename else shard.name
        return f"cannot write {written}: {error.strerror or error}"
    return None


def _complete(out_root: Path, shard: Shard, count: int, label_dtype: Any) -> bool:
    """The shard's file holds a row of `count` points for every one of its models, with its
    label of the type that the number of classes asks for: what a finished run of the same
    plan wrote."""
    listed = read_id_file(out_root / id_file_name(shard.split, shard.index))
    if listed != [task.relative for task in shard.tasks]:
        return False
    found = shard_labels(out_root / shard.name, count)
    return found is not None and found.dtype == label_dtype and found.tolist() == list(shard.labels)


def _outputs(out_root: Path, plan: ShardPlan) -> list[str]:
    """The paths of the files that the batch writes in OUT_DIR besides its record and
    failure list: its shards, their lists of models, its splits' lists of shards and its
    class names (with labels)."""
    names = [list_file_name(split) for split in plan.splits]
    if plan.classes:
        names.append(CLASSES_FILE)
    for shard in plan.shards:
        names += [shard.name, id_file_name(shard.split, shard.index)]
    return [str(out_root / name) for name in names]


def _write_listing(out_root: Path, plan: ShardPlan, prefix: str) -> None:
    """The class names (none without labels), each split's list of shards, each line the
    prefix and a shard's name (also of a split without models: an empty list), and no shard
    file that the plan does not hold: those of an earlier run with more shards or other
    splits would be read with these."""
    classes = out_root / CLASSES_FILE
    if plan.classes:
        replace_text(classes, "".join(f"{name}\n" for name in plan.classes))
    else:
        classes.unlink(missing_ok=True)
    for split in plan.splits:
        names = [shard.name for shard in plan.shards if shard.split == split]
        lines = "".join(f"{prefix}{name}\n" for name in names)
        replace_text(out_root / list_file_name(split), lines)
    wanted = {shard.name for shard in plan.shards}
    wanted |= {id_file_name(shard.split, shard.index) for shard in plan.shards}
    every_split = (*SPLIT_FOLDERS, ALL_SPLIT)
    for split in every_split:
        if split not in plan.splits:
            (out_root / list_file_name(split)).unlink(missing_ok=True)
    for entry in out_root.iterdir():
        if entry.name not in wanted and is_shard_file(entry.name, every_split):
            entry.unlink(missing_ok=True)
