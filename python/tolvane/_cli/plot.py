"""tolvane plot: every parameter against time, drawn as a PNG."""

from __future__ import annotations

import argparse
import io
import math
import pathlib
from typing import Any

from .._tables import library
from .common import (Failed, check_storage_options, input_path, read_or_fail, refuse_to_overwrite,
                     written)

NAME = "plot"


def add_parser(commands: Any, reading: argparse.ArgumentParser,
               cutting: argparse.ArgumentParser) -> argparse.ArgumentParser:
    plot = commands.add_parser(
        NAME, parents=[reading, cutting], help="draw every parameter against time as PNG",
        description="Draws each parameter read against time, one small plot each, into a PNG "
                    "(off-screen: no display needed). Needs matplotlib: pip install "
                    "'quorel[plot]'.")
    plot.add_argument("file", type=input_path, metavar="FILE",
                      help="TOLVANE plot file: a path, a URL, or - for standard input")
    plot.add_argument("-o", "--output", type=pathlib.Path, metavar="PNG",
                      help="the picture to write (default: FILE's name with .png, here)")
    return plot


def check(args: argparse.Namespace) -> None:
    check_storage_options(args, [args.file])
    if args.output is None:
        args.output = default_picture(args.file)
    refuse_to_overwrite(args.parser, args.file, args.output, "the picture")


def default_picture(path: str) -> pathlib.Path:
    """FILE's name with .png, in the current folder (stdin.png for standard input)."""
    return pathlib.Path(pathlib.Path(path).with_suffix(".png").name)


def run(args: argparse.Namespace) -> int:
    library("matplotlib", "plot", "tolvane plot")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    plot = read_or_fail(args.file, args)
    names = list(plot)
    count = len(names) - 1
    if count == 0:
        raise Failed(f"{args.file}: there is no parameter besides the time to draw")
    ncols = math.ceil(math.sqrt(count))
    nrows = math.ceil(count / ncols)
    fig = Figure(figsize=(3.6 * ncols, 2.3 * nrows + 0.7), layout="constrained")
    FigureCanvasAgg(fig)
    axes = fig.subplots(nrows, ncols, sharex=True, squeeze=False).ravel()
    for index, ax in enumerate(axes):
        if index >= count:
            ax.set_visible(False)
            continue
        ax.plot(plot.time, plot[plot._fields[index + 1]], linewidth=1.2, color=f"C{index % 10}")
        ax.set_title(names[index + 1], fontsize=10)
        ax.tick_params(labelsize=8)
        ax.grid(True, linewidth=0.4, alpha=0.6)
        # Only the lowest visible axes of each column get the time label.
        if index + ncols >= count:
            ax.set_xlabel(names[0], fontsize=9)
            ax.xaxis.set_tick_params(labelbottom=True)
    heading = (f"{pathlib.Path(args.file).name} (width {plot.n_digits}): {len(plot)} time steps, "
               f"{count} signals besides time")
    # The title from the read itself: a pipe or FIFO cannot be read a second time.
    fig.suptitle(f"{plot.title}\n{heading}" if plot.title else heading, fontsize=12)
    # Drawn in memory first: the PNG writer seeks, which a pipe cannot.
    picture = io.BytesIO()
    fig.savefig(picture, dpi=100, format="png")
    with written(args.output) as out:
        out.write_bytes(picture.getbuffer())
    return 0


