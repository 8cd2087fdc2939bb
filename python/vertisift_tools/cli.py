"""The `vertisift` command: reduce one model, convert a folder tree, or draw a cloud.

Mistakes in the command (missing paths, an unknown suffix, a count that is not a count, an
output that cannot be written, an OUT_DIR that holds another batch's clouds, an unreachable
scheduler) end with a one-line message and exit status 2 before anything is made; a model
that cannot be converted ends `reduce` with status 1; `batch` exits 0 only when every model
was converted; an interrupted batch exits with 130.
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, NoReturn

from vertisift_tools.choices import DISTINCT_METHOD, METHODS, NORMALS
from vertisift_tools.formats import FORMATS, CloudError, format_of
from vertisift_tools.options import SampleOptions, package_version

if TYPE_CHECKING:
    import distributed

    from vertisift_tools.batching.plan import BatchReport

USAGE_ERROR = 2
FAILED = 1
INTERRUPTED = 130
MAX_COUNT = 2**64 - 1
# How long `batch --dask` waits for the scheduler to answer: a scheduler that is up answers
# within a fraction of a second, so more only delays the message about a wrong address.
DASK_CONNECT_SECONDS = 5
_EXTRAS = {
    "numpy": "cli",
    "tqdm": "cli",
    "matplotlib": "preview",
    "dask": "dask",
    "distributed": "dask",
}

POINTS_TEXT = (
    "The points are vertices of the mesh: one picked at random in each occupied cell of a "
    "uniform grid over the model's bounding box, then cut at random, or topped up with "
    "vertices drawn at random (so points can repeat), to exactly N. A point's normal is the "
    "normalised sum of the normals that the model's faces at that vertex store; it is "
    "(0, 0, 0) where they are zero or cancel out, and the command then says how many points "
    "have no normal."
)
FORMATS_TEXT = (
    ".ply (binary PLY: x y z nx ny nz), .npz (arrays 'positions' and 'normals'), .xyzn (text, "
    "x y z nx ny nz a line) or .xyz (text, x y z a line: positions only)"
)


class UsageError(Exception):
    """A mistake in the command line, reported without a traceback."""


class CommandParser(argparse.ArgumentParser):
    """An argument parser whose mistakes are one line, "vertisift batch: error: ...", like
    the command's own, instead of a usage block and then the message; --help still prints
    the whole usage."""

    def error(self, message: str) -> NoReturn:
        self.exit(USAGE_ERROR, f"{self.prog}: error: {message}\n")


def whole_number(name: str, low: int, high: int | None, meaning: str) -> Callable[[str], int]:
    """An argument type for a whole number in decimal digits from `low` to `high` (None: no
    upper bound), with blanks around it allowed; anything else is refused as "'<text>' is
    not <meaning>". `name` is what argparse calls the type in the one error it words itself,
    a number too long for int()."""

    def convert(text: str) -> int:
        value = int(text) if re.fullmatch(r"[0-9]+", text.strip()) else None
        if value is None or value < low or (high is not None and value > high):
            raise argparse.ArgumentTypeError(f"{text!r} is not {meaning}")
        return value

    convert.__name__ = name
    return convert


point_count = whole_number(
    "point_count", 1, MAX_COUNT, f"a point count (a whole number from 1 to {MAX_COUNT})"
)
seed_value = whole_number(
    "seed_value", 0, MAX_COUNT, f"a seed (a whole number from 0 to {MAX_COUNT})"
)
job_count = whole_number("job_count", 1, None, "a number of processes (1 or more)")


def add_sample_options(parser: argparse.ArgumentParser, *, batch: bool) -> None:
    """--method, --seed, --normals and --distinct, shared by reduce and batch."""
    parser.add_argument(
        "--method",
        choices=tuple(METHODS),
        default=SampleOptions.method,
        help="vertices: mesh vertices picked by the grid, as described above (the default); "
        "surface: points drawn uniformly over the surface area, each with its face's normal",
    )
    seed_help = (
        "draw the same points on every run: each model's seed is derived from SEED and the "
        "model's path under IN_DIR, so reruns, resumed runs and any --jobs or --dask give the "
        "same clouds"
        if batch
        else "draw the same points on every run (the default draws afresh each time)"
    )
    parser.add_argument("--seed", metavar="SEED", type=seed_value, help=seed_help)
    parser.add_argument(
        "--normals",
        choices=tuple(NORMALS),
        default=SampleOptions.normals,
        help="file: the normals the model stores (the default); geometry: computed from each "
        "face's corners by the right-hand rule; auto: the stored normal where it is usable, "
        "the computed one where it is zero or not finite",
    )
    parser.add_argument(
        "--distinct",
        action="store_true",
        help="with --method vertices: top up with vertices not chosen yet, so points repeat "
        "only when N exceeds the model's vertices",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = CommandParser(
        prog="vertisift",
        description="Turn STL models into point clouds of an exact size, with normals.",
    )
    parser.add_argument("--version", action="version", version=f"vertisift {package_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    reduce = commands.add_parser(
        "reduce",
        help="reduce one STL model to a point cloud file",
        description=f"Reduce one STL model to N points with normals. {POINTS_TEXT} The output "
        f"format follows OUT's suffix, in any letter case: {FORMATS_TEXT}.",
    )
    reduce.add_argument("model", metavar="MODEL.stl", type=Path)
    reduce.add_argument("count", metavar="N", type=point_count, help="number of points")
    reduce.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        type=Path,
        required=True,
        help="the cloud file to write (.ply, .npz, .xyzn or .xyz)",
    )
    add_sample_options(reduce, batch=False)

    batch = commands.add_parser(
        "batch",
        help="convert every STL model under a folder",
        description="Convert every .stl file (any letter case) under IN_DIR into N points "
        f"with normals, at the same relative path under OUT_DIR. {POINTS_TEXT} Clouds that "
        "already exist with N points are kept, so running the same command again resumes an "
        "interrupted batch. OUT_DIR/vertisift-batch.json records N, the format and the "
        "sampling options; a batch with others is refused unless --overwrite is given. "
        "Failures are listed at the end and in OUT_DIR/failures.csv; the exit status is 0 "
        "only when every model was converted.",
    )
    batch.add_argument("in_dir", metavar="IN_DIR", type=Path)
    batch.add_argument("out_dir", metavar="OUT_DIR", type=Path)
    batch.add_argument("count", metavar="N", type=point_count, help="number of points per model")
    batch.add_argument(
        "--format",
        type=str.lower,
        choices=FORMATS,
        default="npz",
        help=f"output format, in any letter case (default: npz): {FORMATS_TEXT}",
    )
    where = batch.add_mutually_exclusive_group()
    where.add_argument(
        "--jobs",
        "-j",
        metavar="K",
        type=job_count,
        help="worker processes (default: the number of processors)",
    )
    where.add_argument(
        "--dask",
        metavar="SCHEDULER_ADDRESS",
        help="run on the Dask cluster of this scheduler (e.g. tcp://host:8786), which must "
        f"answer within {DASK_CONNECT_SECONDS} s; the workers must see IN_DIR and OUT_DIR "
        "under the same paths",
    )
    batch.add_argument("--quiet", "-q", action="store_true", help="no progress bar")
    batch.add_argument(
        "--overwrite",
        action="store_true",
        help="make every cloud again, also when OUT_DIR holds the clouds of a batch with "
        "another N, format or sampling options (which is otherwise refused)",
    )
    add_sample_options(batch, batch=True)

    preview = commands.add_parser(
        "preview",
        help="draw a point cloud file from three sides",
        description="Draw a cloud file (.ply, .npz, .xyzn or .xyz) from the top, front and "
        "side, each point coloured by its normal (x red, y green, z blue; a point without a "
        "normal, as in .xyz files, is grey). The clouds of reduce and batch are vertices of "
        "the model, one per occupied grid cell, topped up at random, with the normalised sum "
        "of the face normals at each vertex.",
    )
    preview.add_argument("cloud", metavar="CLOUD", type=Path)
    preview.add_argument(
        "-o",
        "--output",
        metavar="PICTURE",
        type=Path,
        required=True,
        help="the picture to write, e.g. preview.png",
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    arguments = parser.parse_args(argv)
    commands = {"reduce": reduce_command, "batch": batch_command, "preview": preview_command}
    command = commands[arguments.command]
    try:
        return command(arguments)
    except KeyboardInterrupt:
        _say(f"{arguments.command}: interrupted")
        return INTERRUPTED
    except UsageError as error:
        _say(f"{arguments.command}: error: {error}")
        return USAGE_ERROR
    except ImportError as error:
        extra = _EXTRAS.get((error.name or "").split(".")[0])
        if extra is None:
            raise
        _say(
            f"{arguments.command}: error: this needs the package {error.name!r}, which is not "
            f"installed: pip install 'vertisift[{extra}]'"
        )
        return FAILED


def reduce_command(arguments: argparse.Namespace) -> int:
    output, model = arguments.output, arguments.model
    _need_output_file(output, "OUT")
    _need_cloud_format(output)
    _need_file(model, "MODEL")
    options = _sample_options(arguments)
    from vertisift_tools.convert import ZERO_NORMAL_REASON, convert_file, describe

    try:
        zero_normals = convert_file(model, output, arguments.count, options)
    except (OSError, ValueError, MemoryError) as error:
        _say(f"reduce: cannot convert {model}: {describe(error, model)}")
        return FAILED
    print(f"wrote {arguments.count} points to {output}")
    if zero_normals:
        _say(f"reduce: warning: {_no_normal(zero_normals, arguments.count)}: {ZERO_NORMAL_REASON}")
    return 0


def batch_command(arguments: argparse.Namespace) -> int:
    in_dir, out_dir = arguments.in_dir, arguments.out_dir
    _need_folder(in_dir, "IN_DIR")
    if out_dir.exists() and not out_dir.is_dir():
        raise UsageError(f"OUT_DIR {out_dir} exists and is not a folder")
    _need_writable(out_dir, "OUT_DIR")
    options = _sample_options(arguments)
    from vertisift_tools.batching.plan import BatchMismatchError, BatchRecord, check_record

    try:
        if not arguments.overwrite:
            # Also checked by the batch itself, but here before a Dask scheduler is sought.
            check_record(out_dir, BatchRecord.of(arguments.count, arguments.format, options))
        return _convert_and_summarise(arguments, options)
    except BatchMismatchError as error:
        raise UsageError(
            f"OUT_DIR {out_dir} {error.reason}; use --overwrite to make every cloud again"
        ) from None


def _convert_and_summarise(arguments: argparse.Namespace, options: SampleOptions) -> int:
    in_dir, out_dir = arguments.in_dir, arguments.out_dir
    # A termination request stops the batch as Ctrl-C does: workers stopped, partial
    # files removed, the failure report written.
    signal.signal(signal.SIGTERM, _interrupt)
    progress = not arguments.quiet
    if arguments.dask:
        from vertisift_tools.batching.dask_runner import batch_dask

        with _connect(arguments.dask) as client:
            report = batch_dask(
                in_dir,
                out_dir,
                arguments.count,
                client,
                fmt=arguments.format,
                progress=progress,
                options=options,
                overwrite=arguments.overwrite,
            )
    else:
        from vertisift_tools.batching.local import batch

        report = batch(
            in_dir,
            out_dir,
            arguments.count,
            fmt=arguments.format,
            jobs=arguments.jobs,
            progress=progress,
            options=options,
            overwrite=arguments.overwrite,
        )
    if report.found == 0 and not report.failures:
        _say(f"batch: error: no .stl files under {in_dir}; nothing to do")
        return FAILED
    _summarise(report, arguments.count, out_dir)
    if report.interrupted:
        _say("batch: interrupted; run the same command again to resume")
        return INTERRUPTED
    return 0 if report.ok else FAILED


def _summarise(report: BatchReport, count: int, out_dir: Path) -> None:
    from vertisift_tools.convert import ZERO_NORMAL_REASON

    rate = report.converted / report.seconds if report.seconds else 0.0
    _say(
        f"batch: {report.found} models found: {report.converted} converted, "
        f"{report.skipped} already done, {len(report.failures)} failed "
        f"({report.seconds:.1f} s, {rate:.1f} files/s)"
    )
    for path, zero_normals in sorted(report.zero_normals.items()):
        _say(f"batch: warning: {path}: {_no_normal(zero_normals, count)}: {ZERO_NORMAL_REASON}")
    if report.failures:
        lines = [
            f"  {failure.path}: {failure.message}"
            for failure in sorted(report.failures, key=lambda f: f.path)
        ]
        print("failed:", *lines, sep="\n", file=sys.stderr)
        _say(f"batch: the failures are listed in {out_dir / 'failures.csv'}")


def preview_command(arguments: argparse.Namespace) -> int:
    output = arguments.output
    _need_cloud_format(arguments.cloud)
    _need_file(arguments.cloud, "CLOUD")
    _need_output_file(output, "PICTURE")
    from vertisift_tools.preview import picture_formats, render_preview

    suffix = output.suffix.lower()[1:]
    formats = picture_formats()
    if suffix not in formats:
        raise UsageError(
            f"{output}: cannot write a picture with suffix {output.suffix!r}; use one of "
            f"{', '.join('.' + name for name in sorted(formats))}"
        )
    try:
        render_preview(arguments.cloud, output)
    except CloudError as error:
        _say(f"preview: error: {error}")
        return FAILED
    except OSError as error:
        _say(f"preview: error: cannot write {output}: {error.strerror or error}")
        return FAILED
    print(f"wrote {output}")
    return 0


def _sample_options(arguments: argparse.Namespace) -> SampleOptions:
    if arguments.distinct and arguments.method != DISTINCT_METHOD:
        raise UsageError(f"--distinct applies only to --method {DISTINCT_METHOD}")
    return SampleOptions(
        method=arguments.method,
        seed=arguments.seed,
        normals=arguments.normals,
        distinct=arguments.distinct,
    )


def _connect(address: str) -> distributed.Client:
    """A client of the scheduler at `address`, or a UsageError within DASK_CONNECT_SECONDS."""
    import distributed
    from distributed.comm.addressing import get_address_host_port

    try:
        # Checked first: a client made with an address it cannot parse fails at once, but
        # then hangs in its finaliser.
        get_address_host_port(address)
    except ValueError as error:
        raise UsageError(
            f"--dask {address!r} is not a scheduler address such as tcp://host:8786 ({error})"
        ) from None
    try:
        return distributed.Client(  # type: ignore[no-untyped-call]
            address, timeout=DASK_CONNECT_SECONDS, set_as_default=False
        )
    except (OSError, TimeoutError, ValueError):
        raise UsageError(
            f"cannot reach the Dask scheduler at {address} (waited {DASK_CONNECT_SECONDS} s)"
        ) from None


def _need_cloud_format(path: Path) -> None:
    try:
        format_of(path)
    except CloudError as error:
        raise UsageError(error) from None


def _need_file(path: Path, role: str) -> None:
    if not path.exists():
        raise UsageError(f"{role} {path} does not exist")
    if path.is_dir():
        raise UsageError(f"{role} {path} is a folder, not a file")


def _need_folder(path: Path, role: str) -> None:
    folder = path if str(path) else Path(".")
    if not folder.exists():
        raise UsageError(f"{role} {folder} does not exist")
    if not folder.is_dir():
        raise UsageError(f"{role} {folder} is not a folder")


def _need_output_file(path: Path, role: str) -> None:
    """A file can be written at `path`: its folder exists and may be written in, and no
    folder has its name."""
    if path.is_dir():
        raise UsageError(f"{role} {path} is a folder, not a file")
    _need_folder(path.parent, f"the folder of {role}")
    _need_writable(path, role)


def _need_writable(path: Path, role: str) -> None:
    """`path` can be made: the nearest folder that exists on its way may be written in."""
    folder = path if path.is_dir() else path.parent
    while not folder.exists() and folder != folder.parent:
        folder = folder.parent
    if folder.exists() and not folder.is_dir():
        raise UsageError(f"{role} {path} cannot be made: {folder} is not a folder")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise UsageError(f"cannot write {role} {path}: the folder {folder} is not writable")


def _no_normal(zero_normals: int, count: int) -> str:
    return f"{zero_normals} of {count} points have the zero normal (0, 0, 0)"


def _interrupt(signum: int, frame: object) -> NoReturn:
    raise KeyboardInterrupt


def _say(text: str) -> None:
    print(f"vertisift {text}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
