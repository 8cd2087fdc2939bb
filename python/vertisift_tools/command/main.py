"""The `vertisift` command: reduce one model, convert a folder tree, or draw a cloud.

Mistakes in the command (missing paths, an unknown suffix, a count that is not a count, an
output that cannot be written, an OUT_DIR that holds another batch's clouds, an unreachable
scheduler) end with a one-line message and exit status 2 before anything is made; a model
that cannot be converted ends `reduce` with status 1; `batch` exits 0 only when every model
was converted; an interrupted batch exits with 130.
"""

from __future__ import annotations

import argparse
import signal
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

from vertisift_tools.choices import CANDIDATE_METHODS, DISTINCT_METHOD, VISIBLE_NORMALS
from vertisift_tools.command.checks import (
    UsageError,
    need_cloud_format,
    need_color_format,
    need_file,
    need_folder,
    need_other_file,
    need_output_file,
    need_output_folder,
    need_picture_format,
)
from vertisift_tools.command.parser import DASK_CONNECT_SECONDS, USAGE_ERROR, build_parser
from vertisift_tools.formats import SHARD_FORMAT, CloudError, format_of
from vertisift_tools.models import MODEL_SUFFIXES
from vertisift_tools.options import SampleOptions
from vertisift_tools.sources import archive_kind

if TYPE_CHECKING:
    import distributed

    from vertisift_tools.batching.plan import BatchReport

FAILED = 1
INTERRUPTED = 130
_EXTRAS = {
    "numpy": "cli",
    "tqdm": "cli",
    "matplotlib": "preview",
    "dask": "dask",
    "distributed": "dask",
    "h5py": "h5",
    "fsspec": "storage",
    "s3fs": "storage",
    "gcsfs": "storage",
    "zstandard": "storage",
}


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
    need_output_file(output, "OUT")
    need_cloud_format(output)
    if isinstance(model, Path):  # a member of an archive, or a URL, is checked as it is read
        need_file(model, "MODEL")
        need_other_file(output, model, "OUT", "MODEL")
    options = _sample_options(arguments)
    need_color_format(format_of(output), options.colors)
    from vertisift_tools.convert import (
        COLORLESS_WARNING,
        describe,
        write_model_cloud,
        zero_normal_warning,
    )

    try:
        converted = write_model_cloud(model, output, arguments.count, options)
    except (OSError, ValueError, MemoryError) as error:
        _say(f"reduce: cannot convert {model}: {describe(error, model)}")
        return FAILED
    print(f"wrote {arguments.count} points to {output}")
    if converted.zero_normals:
        warning = zero_normal_warning(converted.zero_normals, arguments.count, options.normals)
        _say(f"reduce: warning: {warning}")
    if converted.colorless:
        _say(f"reduce: warning: {COLORLESS_WARNING}")
    for line in converted.unused_textures:
        _say(f"reduce: warning: {line}")
    return 0


def batch_command(arguments: argparse.Namespace) -> int:
    in_dir, out_dir = arguments.in_dir, arguments.out_dir
    if isinstance(in_dir, Path):  # a URL is checked as it is listed
        if archive_kind(in_dir.name) is not None:
            need_file(in_dir, "IN_DIR")
        else:
            need_folder(in_dir, "IN_DIR")
    if isinstance(out_dir, Path):
        need_output_folder(out_dir, "OUT_DIR")
    if arguments.models_per_task is not None and not arguments.dask:
        raise UsageError("--models-per-task applies only to --dask")
    options = _sample_options(arguments)
    need_color_format(arguments.format, options.colors)
    _check_shard_options(arguments)
    from vertisift_tools.batching.plan import (
        BatchMismatchError,
        BatchRecord,
        OverwritesModelsError,
        check_record,
    )
    from vertisift_tools.batching.sharded import UnlistableNameError
    from vertisift_tools.sources import ArchiveError

    if arguments.format == SHARD_FORMAT:
        from vertisift_tools.batching.sharded import shard_record

        record = shard_record(
            arguments.count,
            options,
            arguments.shard_size,
            arguments.labels,
            arguments.split_folders,
        )
    else:
        record = BatchRecord.of(arguments.count, arguments.format, options)
    try:
        if not arguments.overwrite:
            # Also checked by the batch itself, but here before a Dask scheduler is sought.
            check_record(out_dir, record)
        return _convert_and_summarise(arguments, options)
    except BatchMismatchError as error:
        raise UsageError(
            f"OUT_DIR {out_dir} {error.reason}; use --overwrite to make every cloud again"
        ) from None
    except OverwritesModelsError as error:
        raise UsageError(
            f"OUT_DIR {out_dir} {error.reason}; choose another OUT_DIR or --format"
        ) from None
    except (UnlistableNameError, ArchiveError, NotADirectoryError) as error:
        raise UsageError(error) from None
    except OSError as error:
        if error.filename is None:
            raise
        # A file of OUT_DIR that the batch writes before any model (its record), such as on
        # a full disk; each model's own failure is in the report.
        _say(f"batch: error: cannot write {error.filename}: {error.strerror}")
        return FAILED


def _check_shard_options(arguments: argparse.Namespace) -> None:
    """The shard options go with --format h5 alone, which needs h5py and makes one Dask
    task per shard; fills in the default shard size."""
    given = [
        option
        for option, value in (
            ("--shard-size", arguments.shard_size),
            ("--labels", arguments.labels),
            ("--split-folders", arguments.split_folders or None),
            ("--files-prefix", arguments.files_prefix),
        )
        if value is not None
    ]
    if arguments.format != SHARD_FORMAT:
        if given:
            raise UsageError(f"{given[0]} applies only to --format {SHARD_FORMAT}")
        return
    if arguments.models_per_task is not None:
        raise UsageError(
            f"--models-per-task does not apply to --format {SHARD_FORMAT}, "
            "whose Dask tasks are its shards"
        )
    from vertisift_tools.batching.sharded import DEFAULT_SHARD_SIZE
    from vertisift_tools.shards import need_h5py

    try:
        need_h5py()
    except ImportError as error:
        raise UsageError(error) from None
    if arguments.shard_size is None:
        arguments.shard_size = DEFAULT_SHARD_SIZE


def _convert_and_summarise(arguments: argparse.Namespace, options: SampleOptions) -> int:
    in_dir, out_dir = arguments.in_dir, arguments.out_dir
    # A termination request stops the batch as Ctrl-C does: workers stopped, partial
    # files removed, the failure report written.
    signal.signal(signal.SIGTERM, _interrupt)
    progress = not arguments.quiet
    if arguments.dask:
        from vertisift_tools.batching.dask_runner import batch_dask, close_quietly

        client = _connect(arguments.dask)
        try:
            report = batch_dask(
                in_dir,
                out_dir,
                arguments.count,
                client,
                fmt=arguments.format,
                progress=progress,
                options=options,
                overwrite=arguments.overwrite,
                models_per_task=arguments.models_per_task,
                **_shard_arguments(arguments),
            )
        finally:
            close_quietly(client)
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
            **_shard_arguments(arguments),
        )
    if report.found == 0 and not report.failures:
        _say(
            f"batch: error: no model files (.stl, .off, .obj, .ply, .glb, .gltf) under {in_dir}; "
            "nothing to do"
        )
        return FAILED
    _summarise(report, arguments)
    if report.interrupted:
        _say("batch: interrupted; run the same command again to resume")
        return INTERRUPTED
    if report.scheduler_lost:
        _say(
            f"batch: the Dask scheduler at {arguments.dask} went away; "
            "run the same command again to resume"
        )
        return FAILED
    return 0 if report.ok and report.failures_file_error is None else FAILED


def _shard_arguments(arguments: argparse.Namespace) -> dict[str, Any]:
    if arguments.format != SHARD_FORMAT:
        return {}
    return {
        "shard_size": arguments.shard_size,
        "labels": arguments.labels,
        "split_folders": arguments.split_folders,
        "files_prefix": arguments.files_prefix,
    }


def _summarise(report: BatchReport, arguments: argparse.Namespace) -> None:
    from vertisift_tools.convert import zero_normal_warning

    count, out_dir = arguments.count, arguments.out_dir
    rate = report.converted / report.seconds if report.seconds else 0.0
    _say(
        f"batch: {report.found} models found: {report.converted} converted, "
        f"{report.skipped} already done, {len(report.failures)} failed "
        f"({report.seconds:.1f} s, {rate:.1f} files/s)"
    )
    for path, zero_normals in sorted(report.zero_normals.items()):
        warning = zero_normal_warning(zero_normals, count, arguments.normals)
        _say(f"batch: warning: {path}: {warning}")
    if report.colorless:
        lines = [f"  {path}" for path in sorted(report.colorless)]
        shown = f"{len(report.colorless)} models store" if len(lines) > 1 else "1 model stores"
        print(
            f"batch: warning: {shown} no colours, so their points are white (1, 1, 1):",
            *lines,
            sep="\n",
            file=sys.stderr,
        )
    for _, unused in sorted(report.unused_textures.items()):
        for line in unused:
            _say(f"batch: warning: {line}")
    if report.failures:
        lines = [
            f"  {failure.path}: {failure.message}"
            for failure in sorted(report.failures, key=lambda f: f.path)
        ]
        print("failed:", *lines, sep="\n", file=sys.stderr)
        if report.failures_file_error is None:
            _say(f"batch: the failures are listed in {out_dir / 'failures.csv'}")
    if report.failures_file_error is not None:
        above = "; the failures are listed above only" if report.failures else ""
        _say(f"batch: {report.failures_file_error}{above}")


def preview_command(arguments: argparse.Namespace) -> int:
    output = arguments.output
    if arguments.cloud.suffix.lower() not in MODEL_SUFFIXES:
        need_cloud_format(arguments.cloud)
    need_file(arguments.cloud, "CLOUD")
    need_output_file(output, "PICTURE")
    need_picture_format(output)
    if arguments.view_directions is not None and not arguments.visible:
        raise UsageError("--view-directions applies only to --visible")
    from vertisift_tools.convert import describe
    from vertisift_tools.preview import is_model, render_preview
    from vertisift_tools.sampling import MeshReadError

    if arguments.visible and not is_model(arguments.cloud):
        raise UsageError("--visible applies only to a model, not to a cloud file")
    try:
        render_preview(
            arguments.cloud,
            output,
            visible=arguments.visible,
            view_directions=arguments.view_directions,
        )
    except CloudError as error:
        _say(f"preview: error: {error}")
        return FAILED
    except (MeshReadError, ValueError) as error:
        _say(f"preview: cannot draw {arguments.cloud}: {describe(error, arguments.cloud)}")
        return FAILED
    except OSError as error:
        _say(f"preview: error: cannot write {output}: {error.strerror or error}")
        return FAILED
    print(f"wrote {output}")
    return 0


def _sample_options(arguments: argparse.Namespace) -> SampleOptions:
    if arguments.distinct and arguments.method != DISTINCT_METHOD:
        raise UsageError(f"--distinct applies only to --method {DISTINCT_METHOD}")
    candidates = arguments.candidates
    if candidates is not None:
        if arguments.method not in CANDIDATE_METHODS:
            raise UsageError(
                f"--candidates applies only to --method {' or '.join(CANDIDATE_METHODS)}"
            )
        # sample() refuses it too, but a batch would then fail every model one by one.
        if candidates < arguments.count:
            raise UsageError(f"--candidates {candidates} is fewer than N ({arguments.count})")
    if arguments.view_directions is not None and not (
        arguments.visible or arguments.normals == VISIBLE_NORMALS
    ):
        raise UsageError(
            f"--view-directions applies only to --visible or --normals {VISIBLE_NORMALS}"
        )
    return SampleOptions(
        method=arguments.method,
        seed=arguments.seed,
        normals=arguments.normals,
        distinct=arguments.distinct,
        candidates=candidates,
        normalize=arguments.normalize,
        colors=arguments.colors,
        visible=arguments.visible,
        view_directions=arguments.view_directions,
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


def _interrupt(signum: int, frame: object) -> NoReturn:
    raise KeyboardInterrupt


def _say(text: str) -> None:
    print(f"vertisift {text}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
