"""The tolvane command: info, convert and plot, on plot files read by tolvane.read (and
convert into a plot file from the tables it writes, with tolvane.write).

Exit status: 0 when every file read and every output was written; 1 when a file does not read
(``path:line: message`` on standard error, as FormatError says it) or an output cannot be
written; 2 for a bad argument (with the usage).
"""

from __future__ import annotations

import argparse
import csv
import math
import pathlib
import sys
from typing import Any, Callable, Dict, List, Optional, Sequence, Union

import numpy as np

from ._plot import Plot
from ._read import read
from ._tables import library, named_columns
from ._write import LARGEST_WIDTH, SMALLEST_WIDTH, columns_of, write

PROG = "tolvane"


class Failed(Exception):
    """A file that does not read, or an output that cannot be written: the message is shown
    and the command exits 1."""


# ---------------------------------------------------------------- arguments


def width(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a field width (a whole number from 1)")
    return value


def out_width(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not SMALLEST_WIDTH <= value <= LARGEST_WIDTH:
        raise argparse.ArgumentTypeError(f"{text!r} is not a field width to write (a whole number "
                                         f"from {SMALLEST_WIDTH} to {LARGEST_WIDTH})")
    return value


def column_keys(text: str) -> List[Union[str, int]]:
    keys: List[Union[str, int]] = []
    for key in text.split(","):
        if not key:
            raise argparse.ArgumentTypeError(f"{text!r} holds an empty column name")
        keys.append(int(key) if key.isdecimal() and key.isascii() else key)
    return keys


def parser() -> argparse.ArgumentParser:
    reading = argparse.ArgumentParser(add_help=False)
    reading.add_argument("--n-digits", type=width, metavar="W",
                         help="the field width in bytes (default: 12 or 15, found from the file)")
    reading.add_argument("--columns", type=column_keys, metavar="A,B",
                         help="the parameters to read, by name or index (0 is the time, which is "
                              "always read); default: all")
    top = argparse.ArgumentParser(
        prog=PROG, description="Reads TOLVANE plot files: what they hold, other formats, a "
                               "picture.",
        epilog="A file that does not read prints path:line: message on standard error and exits "
               "1; a bad argument exits 2.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    info = commands.add_parser(
        "info", parents=[reading], help="the width, parameters, blocks and time range of files",
        description="For each file: its width, parameter count, block count and time range, "
                    "then each parameter's name, minimum and maximum (NaN skipped).")
    info.add_argument("files", nargs="+", metavar="FILE", help="TOLVANE plot file")
    convert = commands.add_parser(
        "convert", parents=[reading], help="write a file as Parquet, Feather, CSV, NetCDF or a plot file",
        description="Writes the time and the parameters read as a table, in the format that "
                    "OUT's suffix names: " + ", ".join(f"{suffix} {name}" for suffix, (name, _)
                                                         in WRITERS.items()) + "; a plot file "
                    "also from a file of those tables.")
    convert.add_argument("file", metavar="FILE",
                         help="TOLVANE plot file; for OUT.plt also a file that convert writes "
                              f"({', '.join(TABLE_READERS)})")
    convert.add_argument("out", type=pathlib.Path, metavar="OUT", help="the file to write")
    convert.add_argument("--out-digits", type=out_width, metavar="W",
                         help="for OUT.plt: the field width to write (default 15: 9 significant "
                              "digits, every value bit for bit; 12: 6 digits)")
    convert.add_argument("--title", metavar="TEXT",
                         help="for OUT.plt: line 1's text (default: FILE's own, for a plot file)")
    convert.set_defaults(parser=convert)
    plot = commands.add_parser(
        "plot", parents=[reading], help="draw every parameter against time as PNG",
        description="Draws each parameter read against time, one small plot each, into a PNG "
                    "(off-screen: no display needed). Needs matplotlib: pip install "
                    "'quorel[plot]'.")
    plot.add_argument("file", metavar="FILE", help="TOLVANE plot file")
    plot.add_argument("-o", "--output", type=pathlib.Path, metavar="PNG",
                      help="the picture to write (default: FILE's name with .png, here)")
    return top


# ---------------------------------------------------------------- reading


def read_or_fail(path: str, args: argparse.Namespace) -> Plot:
    try:
        return read(path, args.n_digits, columns=args.columns)
    except OSError as error:
        raise Failed(f"{path}: {error.strerror or error}") from None
    except KeyError as error:  # a column not in the file; the message names the file
        raise Failed(str(error.args[0])) from None
    except (ValueError, MemoryError) as error:  # FormatError starts with path:line:
        text = str(error)
        raise Failed(text if text.startswith(path) else f"{path}: {text}") from None


def text32(value: "np.float32") -> str:
    """The shortest text that reads back as the very binary32 value, "-nan" for a NaN whose
    sign bit is set."""
    if math.isnan(value) and np.signbit(value):
        return "-nan"
    return str(np.float32(value))


# ---------------------------------------------------------------- info


def info(args: argparse.Namespace) -> int:
    status = 0
    for path in args.files:
        try:
            plot = read_or_fail(path, args)
        except Failed as failure:
            print(failure, file=sys.stderr)
            status = 1
            continue
        blocks = len(plot)
        span = f"time {text32(plot.time[0])} .. {text32(plot.time[-1])}" if blocks else "no block"
        print(f"{path}: width {plot.n_digits}, {len(plot.names)} parameters, {blocks} blocks, {span}")
        rows = [(name, *extremes(plot[field])) for field, name in zip(plot._fields, plot)]
        name_width = max(len(row[0]) for row in rows)
        value_width = max(len(text) for row in rows for text in row[1:])
        for name, low, high in rows:
            print(f"  {name:<{name_width}}  {low:>{value_width}}  {high:>{value_width}}")
    return status


def extremes(values: "np.ndarray[Any, Any]") -> "tuple[str, str]":
    """The smallest and largest value, NaN skipped: "nan" where every value is NaN, "-" where
    there is none."""
    if not len(values):
        return "-", "-"
    numbers = values[~np.isnan(values)]
    if not len(numbers):
        return "nan", "nan"
    return text32(numbers.min()), text32(numbers.max())


# ---------------------------------------------------------------- convert


def write_parquet(plot: Plot, out: pathlib.Path) -> None:
    parquet = library("pyarrow.parquet", "arrow", "tolvane convert to Parquet")
    parquet.write_table(plot.to_arrow(), out)


def write_feather(plot: Plot, out: pathlib.Path) -> None:
    feather = library("pyarrow.feather", "arrow", "tolvane convert to Feather")
    feather.write_feather(plot.to_arrow(), out)


def write_csv(plot: Plot, out: pathlib.Path) -> None:
    names, arrays = named_columns(plot)
    texts = []
    for array in arrays:
        text = array.astype(str)  # numpy's shortest text that reads back as the binary32 value
        text[np.isnan(array) & np.signbit(array)] = "-nan"
        texts.append(text.tolist())
    with open(out, "w", encoding="utf-8", newline="") as stream:
        writer = csv.writer(stream, lineterminator="\n")
        writer.writerow(names)
        writer.writerows(zip(*texts))


def write_netcdf(plot: Plot, out: pathlib.Path) -> None:
    library("netCDF4", "xarray", "tolvane convert to NetCDF")
    dataset = plot.to_xarray()
    # A NaN in a plot file is a value, not a missing one: no fill value is declared, so that no
    # reader masks them.
    encoding = {name: {"_FillValue": None} for name in dataset.variables}
    dataset.to_netcdf(out, engine="netcdf4", encoding=encoding)


def write_plot_file(data: Any, out: pathlib.Path, n_digits: int = 15, title: str = "",
                    names: Optional[Sequence[str]] = None) -> None:
    write(out, data, n_digits, title=title, names=names)


PLOT_SUFFIX = ".plt"
WRITERS: Dict[str, "tuple[str, Callable[..., None]]"] = {
    ".parquet": ("Parquet", write_parquet),
    ".feather": ("Feather", write_feather),
    ".arrow": ("Feather", write_feather),
    ".csv": ("CSV", write_csv),
    ".nc": ("NetCDF", write_netcdf),
    PLOT_SUFFIX: ("TOLVANE plot file", write_plot_file),
}


def read_parquet(path: str) -> Any:
    return library("pyarrow.parquet", "arrow", "tolvane convert from Parquet").read_table(path)


def read_feather(path: str) -> Any:
    return library("pyarrow.feather", "arrow", "tolvane convert from Feather").read_table(path)


def read_csv(path: str) -> Any:
    """A CSV file of a header of names and rows of numbers, every one the binary32 nearest to
    its text (Arrow's parser rounds once, to binary32; "nan" and "-nan" are NaN of either sign,
    not missing values)."""
    pa = library("pyarrow", "arrow", "tolvane convert from CSV")
    pa_csv = library("pyarrow.csv", "arrow", "tolvane convert from CSV")
    with open(path, newline="", encoding="utf-8") as stream:
        names = next(csv.reader(stream), [])
    types = {name: pa.float32() for name in names}
    options = pa_csv.ConvertOptions(column_types=types, null_values=[], strings_can_be_null=False,
                                    quoted_strings_can_be_null=False)
    return pa_csv.read_csv(path, convert_options=options)


def read_netcdf(path: str) -> Any:
    xarray = library("xarray", "xarray", "tolvane convert from NetCDF")
    library("netCDF4", "xarray", "tolvane convert from NetCDF")
    # Times as the numbers they are stored as, not dates.
    with xarray.open_dataset(path, engine="netcdf4", decode_times=False, decode_timedelta=False) as dataset:
        return dataset.load()


TABLE_READERS: Dict[str, Callable[[str], Any]] = {
    ".parquet": read_parquet,
    ".feather": read_feather,
    ".arrow": read_feather,
    ".csv": read_csv,
    ".nc": read_netcdf,
}


def read_table_or_fail(path: str, args: argparse.Namespace) -> "tuple[Dict[str, Any], List[Any]]":
    """A table that convert writes, as columns and names for tolvane.write (the names apart, as
    a table may repeat them), with --columns applied (the first column, the time, always kept)."""
    try:
        table = TABLE_READERS[pathlib.Path(path).suffix.lower()](path)
        names, columns = columns_of(table)
    except OSError as error:
        raise Failed(f"{path}: {error.strerror or error}") from None
    except (ValueError, TypeError, KeyError) as error:
        raise Failed(f"{path}: {error}") from None
    if args.columns is not None:
        fields = sorted({0, *(table_field(key, names, path) for key in args.columns)})
        names, columns = [names[f] for f in fields], [columns[f] for f in fields]
    return {str(i): column for i, column in enumerate(columns)}, names


def table_field(key: Union[str, int], names: Sequence[Any], path: str) -> int:
    if isinstance(key, int):
        if not 0 <= key < len(names):
            raise Failed(f"{path} has no column {key}: its columns are 0 (the time) to {len(names) - 1}")
        return key
    found = [i for i, name in enumerate(names) if name == key]
    if len(found) != 1:
        raise Failed(f"{path} has {'no column' if not found else 'several columns'} named {key!r}")
    return found[0]


def first_line_text(path: str) -> str:
    """Line 1 without the parameter count and the blanks around the rest, as it was written."""
    with open(path, "rb") as stream:
        line = stream.readline().decode("utf-8", "replace").rstrip("\r\n")
    parts = line.rsplit(None, 1)
    return parts[0].strip() if len(parts) == 2 else ""


def convert(args: argparse.Namespace) -> int:
    suffix = args.out.suffix.lower()
    _, write_out = WRITERS[suffix]
    options: Dict[str, Any] = {}
    data: Any
    if pathlib.Path(args.file).suffix.lower() in TABLE_READERS:  # for OUT.plt only
        data, options["names"] = read_table_or_fail(args.file, args)
        title = ""
    else:
        data = read_or_fail(args.file, args)
        title = first_line_text(args.file) if suffix == PLOT_SUFFIX else ""
    if suffix == PLOT_SUFFIX:
        options["n_digits"] = 15 if args.out_digits is None else args.out_digits
        options["title"] = title if args.title is None else args.title
    try:
        write_out(data, args.out, **options)
    except OSError as error:
        raise Failed(f"{args.out}: cannot write: {error.strerror or error}") from None
    except (TypeError, ValueError) as error:  # what a plot file cannot hold: a name, a title, text
        raise Failed(f"{args.out}: cannot write: {error}") from None
    return 0


# ---------------------------------------------------------------- plot


def title_of(path: str) -> str:
    """Line 1 without the parameter count: the file's own title."""
    with open(path, "rb") as stream:
        tokens = stream.readline().decode("utf-8", "replace").split()
    return " ".join(tokens[:-1])


def draw(args: argparse.Namespace) -> int:
    library("matplotlib", "plot", "tolvane plot")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    plot = read_or_fail(args.file, args)
    out = args.output or pathlib.Path(pathlib.Path(args.file).with_suffix(".png").name)
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
    title = title_of(args.file)
    fig.suptitle(f"{title}\n{heading}" if title else heading, fontsize=12)
    try:
        fig.savefig(out, dpi=100)
    except OSError as error:
        raise Failed(f"{out}: cannot write: {error.strerror or error}") from None
    return 0


# ---------------------------------------------------------------- main


def convert_arguments_check(args: argparse.Namespace) -> None:
    """The options that only some inputs and outputs have."""
    to_plot = args.out.suffix.lower() == PLOT_SUFFIX
    if not to_plot and (args.out_digits is not None or args.title is not None):
        args.parser.error(f"--out-digits and --title are for OUT{PLOT_SUFFIX}, not {args.out.name!r}")
    from_table = pathlib.Path(args.file).suffix.lower() in TABLE_READERS
    if from_table and not to_plot:
        args.parser.error(f"FILE {args.file!r} is a table: convert writes it as OUT{PLOT_SUFFIX} only")
    if from_table and args.n_digits is not None:
        args.parser.error(f"--n-digits is the width of a plot file FILE, not of {args.file!r}")



def main(argv: Optional[Sequence[str]] = None) -> int:
    top = parser()
    args = top.parse_args(argv)
    if args.command == "convert" and args.out.suffix.lower() not in WRITERS:
        args.parser.error(f"OUT must end in {', '.join(WRITERS)} (for the format), not "
                          f"{args.out.name!r}")
    if args.command == "convert":
        convert_arguments_check(args)
    run = {"info": info, "convert": convert, "plot": draw}[args.command]
    try:
        return run(args)
    except Failed as failure:
        print(failure, file=sys.stderr)
        return 1
    except ImportError as error:  # a library of an extra not installed; the message names it
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
