"""tolvane plot: every parameter against time, drawn as a PNG from the view's decimation (each
pixel column's first, minimum, maximum and last sample), or as one HTML file that zooms
offline."""

from __future__ import annotations

import argparse
import io
import math
import pathlib
import sys
from typing import Any, Tuple

from .._source import is_url
from .._tables import library
from .._view.decimate import Pyramid
from .._view.offline import offline_html
from .._view.sources import FileSource, PlotSource
from .common import (Failed, check_storage_options, failure_of, input_path, read_or_fail,
                     refuse_to_overwrite, written)

NAME = "plot"
# The pixel columns each plot's window is decimated to: a plot is 3.6 inches wide at 100 dots
# an inch, its margins included.
WIDTH_PIXELS = 360


def add_parser(commands: Any, reading: argparse.ArgumentParser,
               cutting: argparse.ArgumentParser) -> argparse.ArgumentParser:
    plot = commands.add_parser(
        NAME, parents=[reading, cutting], help="draw every parameter against time as PNG or HTML",
        description="Draws each parameter read against time, one small plot each, into a PNG "
                    "(off-screen: no display needed; needs matplotlib: pip install "
                    "'quorel[plot]'), or, for OUT.html, one self-contained HTML page that zooms "
                    "offline (needs plotly: pip install 'quorel[view]'). Each pixel column "
                    "shows its samples' first, minimum, maximum and last value: a local file's "
                    "values are never all held.")
    plot.add_argument("file", type=input_path, metavar="FILE",
                      help="TOLVANE plot file: a path, a URL, or - for standard input")
    plot.add_argument("-o", "--output", type=pathlib.Path, metavar="OUT",
                      help="the picture to write, OUT.png or OUT.html (default: FILE's name with "
                           ".png, here)")
    plot.add_argument("--time", type=time_window, metavar="T0,T1",
                      help="draw the blocks whose time t has T0 <= t <= T1 (default: all)")
    return plot


def time_window(text: str) -> Tuple[float, float]:
    try:
        t0, t1 = (float(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not two times T0,T1") from None
    if not (math.isfinite(t0) and math.isfinite(t1) and t0 <= t1):
        raise argparse.ArgumentTypeError(f"{text!r}: T0 and T1 must be finite, T0 <= T1")
    return t0, t1


def check(args: argparse.Namespace) -> None:
    check_storage_options(args, [args.file])
    if args.output is None:
        args.output = default_picture(args.file)
    refuse_to_overwrite(args.parser, args.file, args.output, "the picture")


def default_picture(path: str) -> pathlib.Path:
    """FILE's name with .png, in the current folder (stdin.png for standard input)."""
    return pathlib.Path(pathlib.Path(path).with_suffix(".png").name)


def pyramid_of(args: argparse.Namespace) -> Pyramid:
    """The file's min/max pyramid: a local file through its windows, any other source read."""
    if args.file != "-" and not is_url(args.file):
        try:
            source = FileSource(args.file, args.n_digits, args.columns)
        except ValueError as refused:  # a pipe, a device, a compressed file: read front to back
            if "front to back" not in str(refused):
                raise failure_of(args.file, refused) from None
        except (OSError, KeyError, MemoryError) as error:
            raise failure_of(args.file, error) from None
        else:
            try:
                cut = source.cut()
                if cut is not None:
                    if args.incomplete == "raise":
                        raise failure_of(args.file, cut)
                    print(f"{args.file}:{cut.line}: cut inside block {cut.block}", file=sys.stderr)
                pyramid = Pyramid(source)
                pyramid.extend()
                return pyramid
            except (OSError, KeyError, ValueError, MemoryError) as error:
                source.close()
                raise failure_of(args.file, error) from None
    plot = read_or_fail(args.file, args)
    pyramid = Pyramid(PlotSource(plot, label=pathlib.Path(args.file).name))
    pyramid.extend()
    return pyramid


def run(args: argparse.Namespace) -> int:
    html = args.output.suffix.lower() in (".html", ".htm")
    if html:
        library("plotly", "view", "tolvane plot to HTML")
    else:
        library("matplotlib", "plot", "tolvane plot")
    pyramid = pyramid_of(args)
    try:
        if html:
            picture = offline_html([pyramid], f"{pyramid.source.label} - tolvane plot")
        else:
            picture = draw(args, pyramid)
    finally:
        pyramid.source.close()
    with written(args.output) as out:
        out.write_bytes(picture)
    return 0


def draw(args: argparse.Namespace, pyramid: Pyramid) -> bytes:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    source = pyramid.source
    names = [source.time_name, *source.names]
    count = len(names) - 1
    if count == 0:
        raise Failed(f"{args.file}: there is no parameter besides the time to draw")
    ncols = math.ceil(math.sqrt(count))
    nrows = math.ceil(count / ncols)
    fig = Figure(figsize=(3.6 * ncols, 2.3 * nrows + 0.7), layout="constrained")
    FigureCanvasAgg(fig)
    axes = fig.subplots(nrows, ncols, sharex=True, squeeze=False).ravel()
    t0, t1 = args.time if args.time is not None else pyramid.span()
    # Each pixel column of a plot (3.6 inches at 100 dots an inch, less its margins) at most.
    drawn = pyramid.window(t0, t1, WIDTH_PIXELS, list(range(count)))
    for index, ax in enumerate(axes):
        if index >= count:
            ax.set_visible(False)
            continue
        ax.plot(drawn.x[index], drawn.y[index], linewidth=1.2, color=f"C{index % 10}")
        if args.time is not None:
            ax.set_xlim(t0, t1)
        ax.set_title(names[index + 1], fontsize=10)
        ax.tick_params(labelsize=8)
        ax.grid(True, linewidth=0.4, alpha=0.6)
        # Only the lowest visible axes of each column get the time label.
        if index + ncols >= count:
            ax.set_xlabel(names[0], fontsize=9)
            ax.xaxis.set_tick_params(labelbottom=True)
    steps = drawn.end - drawn.first if args.time is not None else pyramid.count
    heading = (f"{pathlib.Path(args.file).name} (width {source.n_digits}): {steps} time steps, "
               f"{count} signals besides time")
    # The title from the read itself: a pipe or FIFO cannot be read a second time.
    fig.suptitle(f"{source.title}\n{heading}" if source.title else heading, fontsize=12)
    # Drawn in memory first: the PNG writer seeks, which a pipe cannot.
    picture = io.BytesIO()
    fig.savefig(picture, dpi=100, format="png")
    return picture.getvalue()


