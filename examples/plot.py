"""Draws every parameter of a TOLVANE plot file against time and saves the picture as PNG.

Usage: python examples/plot.py PLOTFILE WIDTH [-o OUT.png]

quorel returns the values only; the parameter names are read here from the file's name lines
(the last token of each of lines 2 .. count+1). Needs matplotlib: pip install 'quorel[plot]'.
The picture is drawn off-screen (Agg), so no display is needed.
"""

import argparse
import itertools
import math
import pathlib
import sys

import quorel


def read_header(path):
    """Return (title, names) from the first line and the name lines of a plot file."""
    with open(path, encoding="utf-8", errors="replace") as f:
        first = f.readline().split()
        if not first:
            raise ValueError(f"{path}: the first line is empty")
        count = int(first[-1])
        title = " ".join(first[:-1])
        names = []
        for number, line in enumerate(itertools.islice(f, count), start=1):
            tokens = line.split()
            names.append(tokens[-1] if tokens else f"parameter {number}")
    names += [f"parameter {n}" for n in range(len(names) + 1, count + 1)]
    return title, names


def draw(path, width, out):
    # Imported here so that --help works without matplotlib.
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    time, columns = quorel.rust_read_tolvane(str(path), width)
    title, names = read_header(path)
    count = len(columns)
    if count == 0:
        raise ValueError(f"{path}: the file has no parameter besides time")

    ncols = math.ceil(math.sqrt(count))
    nrows = math.ceil(count / ncols)
    fig = Figure(figsize=(3.6 * ncols, 2.3 * nrows + 0.7), layout="constrained")
    FigureCanvasAgg(fig)
    axes = fig.subplots(nrows, ncols, sharex=True, squeeze=False).ravel()
    for index, ax in enumerate(axes):
        if index >= count:
            ax.set_visible(False)
            continue
        ax.plot(time, columns[index], linewidth=1.2, color=f"C{index % 10}")
        ax.set_title(names[index + 1], fontsize=10)
        ax.tick_params(labelsize=8)
        ax.grid(True, linewidth=0.4, alpha=0.6)
        # Only the lowest visible axes of each column get the time label.
        if index + ncols >= count:
            ax.set_xlabel(names[0], fontsize=9)
            ax.xaxis.set_tick_params(labelbottom=True)
    heading = f"{path.name} (width {width}): {len(time)} time steps, {count} signals besides time"
    fig.suptitle(f"{title}\n{heading}" if title else heading, fontsize=12)
    fig.savefig(out, dpi=100)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("plotfile", type=pathlib.Path, help="TOLVANE plot file")
    parser.add_argument("width", type=int, help="field width in bytes (12 or 15)")
    parser.add_argument("-o", "--output", type=pathlib.Path,
                        help="PNG file to write (default: PLOTFILE's name with .png, here)")
    args = parser.parse_args(argv)
    out = args.output or pathlib.Path(args.plotfile.with_suffix(".png").name)
    try:
        draw(args.plotfile, args.width, out)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # quorel's PanicException derives from BaseException
        print(f"plot.py: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
