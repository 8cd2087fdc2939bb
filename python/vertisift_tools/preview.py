"""A picture of a point cloud, or of a model's surface: three axis views, each point in its
stored colour, or coloured by its normal where the cloud or model stores no colours."""

from __future__ import annotations

import os
from pathlib import Path
from typing import cast

import numpy as np

from vertisift_tools.clouds import Array, read_cloud, read_colored_cloud, temp_path
from vertisift_tools.formats import CloudError
from vertisift_tools.models import MODEL_SUFFIXES

# (title, horizontal axis, vertical axis, depth axis, depth sign): points nearer the viewer
# are drawn last, so they cover the ones behind them.
_VIEWS = (
    ("top (looking down z)", 0, 1, 2, +1),
    ("front (looking along +y)", 0, 2, 1, -1),
    ("side (looking along -x)", 1, 2, 0, +1),
)
_AXES = "xyz"

# Points drawn over the surface of a model to picture it.
MODEL_POINTS = 4000
MODEL_SEED = 0


def picture_formats() -> dict[str, str]:
    """The picture suffixes that can be written (without the dot), with their descriptions."""
    from matplotlib.backend_bases import FigureCanvasBase

    return dict(FigureCanvasBase.get_supported_filetypes())


def normal_colours(normals: Array) -> Array:
    """RGB in 0..1 from unit normals: x to red, y to green, z to blue, each mapped from
    -1..1; a zero normal is mid grey."""
    colours: Array = np.clip(normals * np.float32(0.5) + np.float32(0.5), 0.0, 1.0)
    return colours


def is_model(path: str | os.PathLike[str]) -> bool:
    """The path names a model file rather than a cloud: a model suffix other than .ply, or a
    .ply file that is not a cloud (a mesh, with faces or without normals)."""
    suffix = Path(path).suffix.lower()
    if suffix not in MODEL_SUFFIXES:
        return False
    if suffix != ".ply":
        return True
    try:
        read_cloud(path)
    except CloudError:
        return True
    except OSError:
        return False  # the reading of the cloud says why
    return False


def points_to_draw(
    source: str | os.PathLike[str], *, visible: bool = False, view_directions: int | None = None
) -> tuple[Array, Array, Array | None]:
    """The points of a cloud file, or MODEL_POINTS points drawn over a model's surface (the
    same ones on every run; with `visible`, over the part seen from outside alone, along
    `view_directions` directions, as `sample()` draws them), each with its normal, and their
    colours (None when the file stores none). ValueError for `visible` with a cloud file."""
    if not is_model(source):
        if visible:
            raise ValueError("visible applies only to a model, not to a cloud file")
        return read_colored_cloud(source)
    from vertisift_tools.sampling import sample_reporting_colors, warn_unused_textures

    drawn, found = sample_reporting_colors(
        source,
        MODEL_POINTS,
        method="surface",
        seed=MODEL_SEED,
        colors=True,
        visible=visible,
        view_directions=view_directions,
    )
    warn_unused_textures(found)
    positions, normals, colors = cast(tuple[Array, Array, Array], drawn)
    return positions, normals, colors if found.stored else None


def render_preview(
    cloud: str | os.PathLike[str],
    picture: str | os.PathLike[str],
    *,
    dpi: int = 100,
    visible: bool = False,
    view_directions: int | None = None,
) -> None:
    """Draws the cloud file `cloud` (or a model file, by MODEL_POINTS points of its surface,
    with `visible` of the surface seen from outside alone: see `points_to_draw`) from three
    sides into `picture` (its suffix picks the format: .png, .svg, .pdf and whatever else
    the plotting library writes)."""
    from matplotlib.figure import Figure

    positions, normals, stored = points_to_draw(
        cloud, visible=visible, view_directions=view_directions
    )
    colours = normal_colours(normals) if stored is None else stored
    meaning = "normal (x red, y green, z blue)" if stored is None else "the stored colour"
    low = positions.min(axis=0) if len(positions) else np.zeros(3, np.float32)
    high = positions.max(axis=0) if len(positions) else np.ones(3, np.float32)
    margin = float(max(high - low)) * 0.04 or 1.0
    marker_size = float(np.clip(6000 / max(len(positions), 1), 0.5, 12))

    figure = Figure(figsize=(10.5, 3.8), dpi=dpi, layout="constrained")
    figure.suptitle(
        f"{Path(cloud).name}: {len(positions)} points, colour = {meaning}",
        fontsize=10,
    )
    for index, (title, across, up, depth, sign) in enumerate(_VIEWS):
        axes = figure.add_subplot(1, 3, index + 1)
        order = np.argsort(sign * positions[:, depth], kind="stable")
        axes.scatter(
            positions[order, across],
            positions[order, up],
            c=colours[order],
            s=marker_size,
            linewidths=0,
        )
        axes.set_xlim(low[across] - margin, high[across] + margin)
        axes.set_ylim(low[up] - margin, high[up] + margin)
        axes.set_aspect("equal", adjustable="box")
        axes.set_title(title, fontsize=9)
        axes.set_xlabel(_AXES[across])
        axes.set_ylabel(_AXES[up])
        axes.tick_params(labelsize=7)
    # Drawn under a temporary name and renamed, so that a failure leaves no half picture.
    target = Path(picture)
    temp = temp_path(target, os.getpid())
    try:
        figure.savefig(temp, format=target.suffix.lower()[1:])
        os.replace(temp, target)
    finally:
        temp.unlink(missing_ok=True)
