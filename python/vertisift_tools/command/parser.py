"""The `vertisift` command's arguments: the parser of its three subcommands, whose mistakes are
one line (`CommandParser`), and the argument types and help texts they share."""

from __future__ import annotations

import argparse
import re
from collections.abc import Callable
from pathlib import Path
from typing import NoReturn

from vertisift_tools.choices import (
    CANDIDATE_METHODS,
    METHOD_NAMES,
    NORMALIZE_NAMES,
    NORMALS_NAMES,
    VISIBLE_NORMALS,
)
from vertisift_tools.formats import BATCH_FORMATS
from vertisift_tools.options import SampleOptions, package_version
from vertisift_tools.storage import is_url

# The exit status of a mistake in the command line, as argparse's own.
USAGE_ERROR = 2

MAX_COUNT = 2**64 - 1
# The most directions that a visible draw casts its rays along, as sample() takes them.
MAX_VIEW_DIRECTIONS = 4096
# How long `batch --dask` waits for the scheduler to answer: a scheduler that is up answers
# within a fraction of a second, so more only delays the message about a wrong address.
DASK_CONNECT_SECONDS = 5

MODELS_TEXT = (
    "MODEL is STL, OFF, OBJ, PLY or glTF (.glb, .gltf) by its suffix, in any letter case (STL "
    "for any other); STL "
    'is read as other tools write it (keywords in any case, blanks before "solid", ...).'
)
POINTS_TEXT = (
    "With --method vertices (the default), the points are vertices of the mesh: one picked at "
    "random in each occupied cell of a uniform grid over the model's bounding box, then cut at "
    "random, or topped up with vertices drawn at random (so points can repeat), to exactly N. "
    "With --method surface, they are drawn uniformly over the surface area; with --method fps "
    "or poisson, they are picked from points drawn uniformly over the surface so as to spread "
    "evenly over it. With --normals auto (the default), a face's normal is the one the model "
    "stores where that lies within 30° of the normal computed from the face's corners, and "
    "the computed one elsewhere (where the stored one is zero, not finite, flipped, or "
    "missing: most OFF, OBJ and PLY files store none); a vertex's normal is the normalised "
    "sum of its faces' normals, and a surface point's normal is its face's. It is (0, 0, 0) "
    "where they are zero or cancel out, and the command then says how many points have no "
    "normal. --normals file takes the normals the model stores as they are, --normals "
    "geometry computes every face's from its corners, and --normals smooth blends the vertex "
    "normals of a point's face. With --visible, the points are drawn from the surface seen "
    "from outside the model alone, and --normals outward also turns each point's face normal "
    "to the side it is seen from."
)
VISIBLE_TEXT = (
    "draw from the surface seen from outside the model alone: a point is visible when a ray "
    "from it along at least one of a fixed, well-spread set of directions leaves the model "
    "without hitting it (the inside of a closed cavity, or faces covered by others, give no "
    "point); still exactly N points, over the visible part by area, or among the visible "
    "vertices with --method vertices. A model with no visible surface fails"
)
FORMATS_TEXT = (
    ".ply (binary PLY: x y z nx ny nz, and uchar red green blue with --colors), .npz (arrays "
    "'positions' and 'normals', and 'colors'), .xyzn (text, x y z nx ny nz a line), .xyz "
    "(text, x y z a line: positions only) or .xyzrgb (text, x y z r g b a line: positions and "
    "colours, with --colors)"
)


class CommandParser(argparse.ArgumentParser):
    """An argument parser whose mistakes are one line, "vertisift batch: error: ...", like
    the command's own, instead of a usage block and then the message; --help still prints
    the whole usage."""

    def error(self, message: str) -> NoReturn:
        self.exit(USAGE_ERROR, f"{self.prog}: error: {message}\n")


def location(text: str) -> Path | str:
    """A path, or as given a URL or a member of an archive ("s3://bucket/models",
    "zip://chair/0001.off::ModelNet40.zip"), which a path object would spoil ("s3:/...")."""
    return text if is_url(text) else Path(text)


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
shard_size = whole_number("shard_size", 1, None, "a number of models per shard (1 or more)")
model_count = whole_number("model_count", 1, None, "a number of models (1 or more)")
candidate_count = whole_number(
    "candidate_count",
    1,
    MAX_COUNT,
    f"a number of candidates (a whole number from 1 to {MAX_COUNT})",
)
direction_count = whole_number(
    "direction_count",
    1,
    MAX_VIEW_DIRECTIONS,
    f"a number of view directions (a whole number from 1 to {MAX_VIEW_DIRECTIONS})",
)


def add_visible_options(parser: argparse.ArgumentParser, *, normals: bool) -> None:
    """--visible and --view-directions, shared by reduce, batch and the preview of a model;
    `normals` says that the subcommand takes --normals as well, whose "outward" draws from
    the visible surface too."""
    parser.add_argument(
        "--visible",
        action="store_true",
        help=VISIBLE_TEXT + (f" (--normals {VISIBLE_NORMALS} draws so too)" if normals else ""),
    )
    visible = f"--visible or --normals {VISIBLE_NORMALS}" if normals else "--visible"
    parser.add_argument(
        "--view-directions",
        metavar="K",
        type=direction_count,
        help=f"with {visible}: how many directions the rays are cast along, 1 to "
        f"{MAX_VIEW_DIRECTIONS} (default: 64)",
    )


def add_sample_options(parser: argparse.ArgumentParser, *, batch: bool) -> None:
    """--method, --seed, --normals, --normalize, --distinct, --candidates, --colors, --visible
    and --view-directions, shared by reduce and batch."""
    parser.add_argument(
        "--method",
        choices=METHOD_NAMES,
        default=SampleOptions.method,
        help="vertices: mesh vertices picked by the grid, as described above (the default); "
        "surface: points drawn uniformly over the surface area, each with its face's normal; "
        "fps: farthest-point sampling: N points spread as far apart as possible, from "
        "CANDIDATES uniform surface points, by default 10,000 or 4·N if more; poisson: "
        "blue-noise points, exactly N, by weighted sample elimination from CANDIDATES uniform "
        "surface points, by default 5·N",
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
        choices=NORMALS_NAMES,
        default=SampleOptions.normals,
        help="auto: the stored normal where it lies within 30° of the one computed from the "
        "face's corners, the computed one where the stored one is zero, not finite, flipped "
        "or missing (the default); file: the normals the model stores, as they are (zero "
        "where it stores none); geometry: computed from each face's corners by the "
        "right-hand rule; smooth: the blend of the face's vertex normals at each point; "
        f"{VISIBLE_NORMALS}: the face's computed normal turned to the side from which the point "
        "is seen from outside the model (implies --visible)",
    )
    parser.add_argument(
        "--normalize",
        choices=NORMALIZE_NAMES,
        help="unit_sphere: centre each cloud's positions at their mean and scale them so that "
        "the farthest is at distance 1, as PointCloudDataset(normalize='unit_sphere') does; "
        "the normals stay as they are" + (" (part of the batch record)" if batch else ""),
    )
    parser.add_argument(
        "--distinct",
        action="store_true",
        help="with --method vertices: top up with vertices not chosen yet, so points repeat "
        "only when N exceeds the model's vertices",
    )
    parser.add_argument(
        "--candidates",
        metavar="CANDIDATES",
        type=candidate_count,
        help=f"with --method {' or '.join(CANDIDATE_METHODS)}: how many uniform surface points "
        "the N points are picked from, N or more (the defaults are under --method)",
    )
    parser.add_argument(
        "--colors",
        action="store_true",
        help="also give each point the model's colour there (RGB in [0, 1]: a vertex's own, "
        "or the blend of its face's corner colours), white where the model stores none; "
        "kept by .ply (uchar red green blue), .npz ('colors'), .xyzrgb"
        + (" and h5 ('rgb'; part of the batch record)" if batch else ""),
    )
    add_visible_options(parser, normals=True)


def build_parser() -> argparse.ArgumentParser:
    parser = CommandParser(
        prog="vertisift",
        description="Turn mesh models (STL, OFF, OBJ, PLY, glTF) into point clouds of an exact "
        "size, with normals.",
    )
    parser.add_argument("--version", action="version", version=f"vertisift {package_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    reduce = commands.add_parser(
        "reduce",
        help="reduce one model to a point cloud file",
        description=f"Reduce one model to N points with normals. {MODELS_TEXT} {POINTS_TEXT} The "
        f"output format follows OUT's suffix, in any letter case: {FORMATS_TEXT}.",
    )
    reduce.add_argument(
        "model",
        metavar="MODEL",
        type=location,
        help="the model file, a member of an archive (zip://MEMBER::ARCHIVE, "
        "tar://MEMBER::ARCHIVE) or a URL",
    )
    reduce.add_argument("count", metavar="N", type=point_count, help="number of points")
    reduce.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        type=Path,
        required=True,
        help="the cloud file to write (.ply, .npz, .xyzn, .xyz or .xyzrgb)",
    )
    add_sample_options(reduce, batch=False)

    batch = commands.add_parser(
        "batch",
        help="convert every model under a folder",
        description="Convert every model file (.stl, .off, .obj, .ply, .glb or .gltf, in any "
        "letter case) "
        "under IN_DIR into N points with normals, at the same relative path under OUT_DIR "
        "(models that would write the same cloud, such as a.stl and a.obj, are refused). "
        f"{POINTS_TEXT} Clouds that "
        "already exist with N points are kept, so running the same command again resumes an "
        "interrupted batch. OUT_DIR/vertisift-batch.json records N, the format and the "
        "sampling options; a batch with others is refused unless --overwrite is given. "
        "Failures are listed at the end and in OUT_DIR/failures.csv; the exit status is 0 "
        "only when every model was converted. With --format h5, the models go into HDF5 "
        "shards of --shard-size models each (ply_data_all0.h5, ...; with --split-folders "
        "ply_data_train0.h5 ... and ply_data_test0.h5 ...) with the datasets data, normal, "
        "label and, for points on the surface, faceId, beside shape_names.txt, "
        "{split}_files.txt and each shard's ply_data_{split}_{k}_id2file.json. No cloud is "
        "written over a model: an OUT_DIR that would do so (IN_DIR itself, for a format of "
        "its models) is refused, and an OUT_DIR inside IN_DIR is not searched for models. "
        "IN_DIR may also be an archive (.zip, .tar, .tar.gz, .tar.xz, .tar.zst), read member "
        "by member and never extracted, under its one top folder if it has one, or a folder "
        "URL such as s3://bucket/models; OUT_DIR may be a URL too (vertisift[storage]).",
    )
    batch.add_argument("in_dir", metavar="IN_DIR", type=location)
    batch.add_argument("out_dir", metavar="OUT_DIR", type=location)
    batch.add_argument("count", metavar="N", type=point_count, help="number of points per model")
    batch.add_argument(
        "--format",
        type=str.lower,
        choices=BATCH_FORMATS,
        default="npz",
        help=f"output format, in any letter case (default: npz): {FORMATS_TEXT}, or h5 "
        "(HDF5 shards of many models each, for training; needs h5py)",
    )
    batch.add_argument(
        "--shard-size",
        metavar="S",
        type=shard_size,
        help="with --format h5: models per shard file (default: 2048)",
    )
    batch.add_argument(
        "--labels",
        choices=("folders",),
        help="with --format h5: label each model by its first folder under IN_DIR (the "
        "folders' names sorted, in shape_names.txt); without it every label is 0",
    )
    batch.add_argument(
        "--split-folders",
        action="store_true",
        help="with --format h5: models with a folder named train or test in their path go "
        "to the shards of that split; the others are listed as failures. Without it, one "
        "split, all",
    )
    batch.add_argument(
        "--files-prefix",
        metavar="PREFIX",
        help="with --format h5: what each line of {split}_files.txt puts before the shard's "
        "name (default: data/<OUT_DIR's name>/, as the training releases list their shards "
        "for code that opens those lines from its project's folder; '' for names relative "
        "to OUT_DIR)",
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
    batch.add_argument(
        "--models-per-task",
        metavar="M",
        type=model_count,
        help="with --dask: how many models each Dask task converts (default: as many as "
        "make 64 tasks for each thread of the cluster's workers, within 10,000 tasks; with "
        "--format h5 each task makes a shard)",
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
        help="draw a point cloud file, or a model, from three sides",
        description="Draw a cloud file (.ply, .npz, .xyzn, .xyz or .xyzrgb) from the top, "
        "front and side, each point in its stored colour, or where the cloud stores none "
        "coloured by its normal (x red, y green, z blue; a point without a normal, as in .xyz "
        "files, is grey); a model file (.stl, .off, .obj, .glb, .gltf, or a .ply that is "
        "not a cloud) is drawn by 4000 points over its surface. By default the clouds of "
        "reduce and batch are "
        "vertices of the model, one per occupied grid cell, topped up at random, with the "
        "normalised sum of the face normals at each vertex; with --method surface they are "
        "points on the faces, each with its face's normal. With --visible, a model is drawn "
        "by points of the surface seen from outside it alone.",
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
    add_visible_options(preview, normals=False)
    return parser
