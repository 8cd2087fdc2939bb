"""The `vertisift` command: reduce one model, convert a folder tree, or draw a cloud.

Mistakes in the command (missing paths, an unknown suffix, a count that is not a count) end
with a one-line message and exit status 2; a model that cannot be converted ends `reduce`
with status 1; `batch` exits 0 only when every model was converted; an interrupted batch
exits with 130.
"""

from __future__ import annotations

import argparse
import re
import signal
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import NoReturn

USAGE_ERROR = 2
FAILED = 1
INTERRUPTED = 130
MAX_COUNT = 2**64 - 1
_EXTRAS = {
    "numpy": "cli",
    "tqdm": "cli",
    "matplotlib": "preview",
    "dask": "dask",
    "distributed": "dask",
}


class UsageError(Exception):
    """A mistake in the command line, reported without a traceback."""


def point_count(text: str) -> int:
    if not re.fullmatch(r"[0-9]+", text.strip()) or not 1 <= int(text) <= MAX_COUNT:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a point count (a whole number from 1 to {MAX_COUNT})"
        )
    return int(text)


def job_count(text: str) -> int:
    if not re.fullmatch(r"[0-9]+", text.strip()) or int(text) < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of processes (1 or more)")
    return int(text)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vertisift",
        description="Turn STL models into point clouds of an exact size, with normals.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    reduce = commands.add_parser(
        "reduce",
        help="reduce one STL model to a point cloud file",
        description="Reduce one STL model to N points with normals. The output format follows "
        "OUT's suffix: .ply (binary PLY), .npz (arrays 'positions' and 'normals') "
        "or .xyz (text, x y z nx ny nz a line).",
    )
    reduce.add_argument("model", metavar="MODEL.stl", type=Path)
    reduce.add_argument("count", metavar="N", type=point_count, help="number of points")
    reduce.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        type=Path,
        required=True,
        help="the cloud file to write (.ply, .npz or .xyz)",
    )

    batch = commands.add_parser(
        "batch",
        help="convert every STL model under a folder",
        description="Convert every .stl file (any letter case) under IN_DIR into the same "
        "relative path under OUT_DIR. Clouds that already exist with N points are "
        "kept, so running the same command again resumes an interrupted batch. "
        "Failures are listed at the end and in OUT_DIR/failures.csv; the exit "
        "status is 0 only when every model was converted.",
    )
    batch.add_argument("in_dir", metavar="IN_DIR", type=Path)
    batch.add_argument("out_dir", metavar="OUT_DIR", type=Path)
    batch.add_argument("count", metavar="N", type=point_count, help="number of points per model")
    batch.add_argument(
        "--format",
        choices=("npz", "ply", "xyz"),
        default="npz",
        help="output format (default: npz)",
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
        help="run on the Dask cluster of this scheduler (e.g. tcp://host:8786); "
        "the workers must see IN_DIR and OUT_DIR under the same paths",
    )
    batch.add_argument("--quiet", "-q", action="store_true", help="no progress bar")

    preview = commands.add_parser(
        "preview",
        help="draw a point cloud file from three sides",
        description="Draw a cloud file (.ply, .npz or .xyz) from the top, front and side, each "
        "point coloured by its normal.",
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
    command = {"reduce": run_reduce, "batch": run_batch, "preview": run_preview}[arguments.command]
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


def _need_cloud_format(path: Path) -> None:
    from vertisift_tools.clouds import CloudError, format_of

    try:
        format_of(path)
    except CloudError as error:
        raise UsageError(error) from None


def run_reduce(arguments: argparse.Namespace) -> int:
    _need_cloud_format(arguments.output)
    _need_file(arguments.model, "MODEL")
    _need_folder(arguments.output.parent, "the folder of OUT")
    from vertisift_tools.convert import convert_file, describe

    try:
        convert_file(arguments.model, arguments.output, arguments.count)
    except (OSError, ValueError) as error:
        _say(f"reduce: cannot convert {arguments.model}: {describe(error)}")
        return FAILED
    print(f"wrote {arguments.count} points to {arguments.output}")
    return 0


def run_batch(arguments: argparse.Namespace) -> int:
    _need_folder(arguments.in_dir, "IN_DIR")
    if arguments.out_dir.exists() and not arguments.out_dir.is_dir():
        raise UsageError(f"OUT_DIR {arguments.out_dir} exists and is not a folder")
    try:
        arguments.out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError(f"cannot make OUT_DIR {arguments.out_dir}: {error.strerror}") from None
    # A termination request stops the batch as Ctrl-C does: workers stopped, partial
    # files removed, the failure report written.
    signal.signal(signal.SIGTERM, _interrupt)
    if arguments.dask:
        import distributed

        from vertisift_tools.dask_batch import batch_dask

        try:
            # The time allowed is Dask's setting distributed.comm.timeouts.connect.
            client = distributed.Client(arguments.dask, set_as_default=False)  # type: ignore[no-untyped-call]
        except (OSError, TimeoutError, ValueError) as error:
            raise UsageError(
                f"cannot reach the Dask scheduler at {arguments.dask}: {error}"
            ) from None
        with client:
            report = batch_dask(
                arguments.in_dir,
                arguments.out_dir,
                arguments.count,
                client,
                fmt=arguments.format,
                progress=not arguments.quiet,
            )
    else:
        from vertisift_tools.batch import batch

        report = batch(
            arguments.in_dir,
            arguments.out_dir,
            arguments.count,
            fmt=arguments.format,
            jobs=arguments.jobs,
            progress=not arguments.quiet,
        )

    rate = report.converted / report.seconds if report.seconds else 0.0
    _say(
        f"batch: {report.found} models found: {report.converted} converted, "
        f"{report.skipped} already done, {len(report.failures)} failed "
        f"({report.seconds:.1f} s, {rate:.1f} files/s)"
    )
    if report.failures:
        lines = [
            f"  {failure.path}: {failure.message}"
            for failure in sorted(report.failures, key=lambda f: f.path)
        ]
        print("failed:", *lines, sep="\n", file=sys.stderr)
        _say(f"batch: the failures are listed in {arguments.out_dir / 'failures.csv'}")
    if report.interrupted:
        _say("batch: interrupted; run the same command again to resume")
        return INTERRUPTED
    if report.found == 0:
        _say(f"batch: no .stl files under {arguments.in_dir}")
    return 0 if report.ok else FAILED


def run_preview(arguments: argparse.Namespace) -> int:
    _need_cloud_format(arguments.cloud)
    _need_file(arguments.cloud, "CLOUD")
    _need_folder(arguments.output.parent, "the folder of PICTURE")
    from vertisift_tools.clouds import CloudError
    from vertisift_tools.preview import picture_formats, render_preview

    suffix = arguments.output.suffix.lower()[1:]
    formats = picture_formats()
    if suffix not in formats:
        raise UsageError(
            f"{arguments.output}: cannot write a picture with suffix "
            f"{arguments.output.suffix!r}; use one of "
            f"{', '.join('.' + name for name in sorted(formats))}"
        )
    try:
        render_preview(arguments.cloud, arguments.output)
    except CloudError as error:
        _say(f"preview: error: {error}")
        return FAILED
    print(f"wrote {arguments.output}")
    return 0


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


def _interrupt(signum: int, frame: object) -> NoReturn:
    raise KeyboardInterrupt


def _say(text: str) -> None:
    print(f"vertisift {text}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
