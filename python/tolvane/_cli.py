"""The tolvane command: info, convert and plot, on plot files read by tolvane.read (and
convert into a plot file from the tables it writes, with tolvane.write); tail, on a file being
written, through tolvane.open.

Exit status: 0 when every file read and every output was written; 1 when a file does not read
(``path:line: message`` on standard error, as FormatError says it), an output cannot be
written, or standard output is a pipe closed early (which ends the command quietly); 2 for a
bad argument (with the usage); 130 after Ctrl-C.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import errno
import io
import json
import math
import os
import pathlib
import re
import stat
import sys
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Union

import numpy as np

from ._compression import SUFFIXES
from ._netcdf_names import netcdf_names
from ._plot import Plot
from ._read import read
from ._replace import replacing
from ._source import is_url
from ._tables import library, named_columns
from ._version import __version__
from . import _write
from ._write import columns_of, write

PROG = "tolvane"
# What FILE "-" reads: standard input, by a path, since tolvane.read takes one.
STANDARD_INPUT = "/dev/stdin"
LARGEST_WIDTH = 2**64 - 1


class Failed(Exception):
    """A file that does not read, or an output that cannot be written: the message is shown
    and the command exits 1."""


# ---------------------------------------------------------------- arguments


def width(text: str) -> int:
    # ASCII digits only: int() would also take "1_2", " 12", "+12" and other scripts' digits
    # (and refuse more than 4300 digits with a message of its own).
    digits = text.lstrip("0") if re.fullmatch(r"[0-9]+", text) else ""
    value = int(digits) if 0 < len(digits) <= len(str(LARGEST_WIDTH)) else 0
    if not 1 <= value <= LARGEST_WIDTH:
        raise argparse.ArgumentTypeError(f"{text!r} is not a field width (ASCII digits, a whole "
                                         f"number from 1 to {LARGEST_WIDTH})")
    return value


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds above 0")
    return value


def block_count(text: str) -> int:
    if not re.fullmatch(r"[0-9]+", text):
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of blocks (ASCII digits)")
    return int(text)


def input_path(text: str) -> str:
    """FILE as tolvane.read takes it: "-" is standard input."""
    return STANDARD_INPUT if text == "-" else text


def out_width(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not _write.SMALLEST_WIDTH <= value <= _write.LARGEST_WIDTH:
        raise argparse.ArgumentTypeError(f"{text!r} is not a field width to write (a whole number "
                                         f"from {_write.SMALLEST_WIDTH} to {_write.LARGEST_WIDTH})")
    return value


def storage_option(text: str) -> "tuple[str, Any]":
    """KEY=VALUE, the VALUE read as JSON where it is JSON (true, 10, {"a": 1}), else as text, so
    that a file system's options that are not text can be given (s3fs's anon=true)."""
    key, equals, value = text.partition("=")
    if not equals or not key:
        raise argparse.ArgumentTypeError(f"{text!r} is not KEY=VALUE")
    try:
        return key, json.loads(value)
    except ValueError:
        return key, value


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
    reading.add_argument("--storage-option", type=storage_option, action="append", default=[],
                         metavar="KEY=VALUE", dest="storage_options",
                         help="an option of a URL's file system, for fsspec (s3fs's "
                              "endpoint_url=http://..., anon=true; VALUE is JSON where it is "
                              "JSON, else text); repeatable")
    cutting = argparse.ArgumentParser(add_help=False)
    cutting.add_argument("--incomplete", choices=("raise", "keep"), default="raise",
                         help="a file whose end falls inside its last block (a simulation that "
                              "stopped or is still running): raise fails, keep reads the complete "
                              "blocks before it and says where the file is cut (default: raise)")
    top = argparse.ArgumentParser(
        prog=PROG, description="Reads TOLVANE plot files: what they hold, other formats, a "
                               "picture. FILE is a local path, a URL (s3://..., https://..., "
                               "through fsspec) or - for standard input; gzip, bzip2, xz and "
                               "zstd files are decompressed.",
        epilog="A file that does not read prints path:line: message on standard error and exits "
               "1; a bad argument exits 2; Ctrl-C exits 130.")
    top.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    info = commands.add_parser(
        "info", parents=[reading], help="the width, parameters, blocks and time range of files",
        description="For each file: its width, parameter count, block count and time range, "
                    "then each parameter's name, minimum and maximum (NaN skipped). A file cut "
                    "inside its last block gives the complete blocks before it, and a line that "
                    "says where it is cut.")
    info.add_argument("files", nargs="+", type=input_path, metavar="FILE",
                      help="TOLVANE plot file: a path, a URL, or - for standard input")
    info.set_defaults(parser=info)
    convert = commands.add_parser(
        "convert", parents=[reading, cutting], help="write a file as Parquet, Feather, CSV, NetCDF or a plot file",
        description="Writes the time and the parameters read as a table, in the format that "
                    "OUT's suffix names: " + ", ".join(f"{suffix} {name}" for suffix, (name, _)
                                                         in WRITERS.items()) + " (.plt.gz and .plt.zst "
                    "compressed); a plot file also from a file of those tables.")
    convert.add_argument("file", type=input_path, metavar="FILE",
                         help="TOLVANE plot file: a path, a URL, or - for standard input; for "
                              f"OUT.plt also a file that convert writes ({', '.join(TABLE_READERS)})")
    convert.add_argument("out", type=pathlib.Path, metavar="OUT", help="the file to write")
    convert.add_argument("--out-digits", type=out_width, metavar="W",
                         help="for OUT.plt: the field width to write (default 15: 9 significant "
                              "digits, every value bit for bit; 12: 6 digits)")
    convert.add_argument("--title", metavar="TEXT",
                         help="for OUT.plt: line 1's text (default: FILE's own, for a plot file)")
    convert.set_defaults(parser=convert)
    plot = commands.add_parser(
        "plot", parents=[reading, cutting], help="draw every parameter against time as PNG",
        description="Draws each parameter read against time, one small plot each, into a PNG "
                    "(off-screen: no display needed). Needs matplotlib: pip install "
                    "'quorel[plot]'.")
    plot.add_argument("file", type=input_path, metavar="FILE",
                      help="TOLVANE plot file: a path, a URL, or - for standard input")
    plot.add_argument("-o", "--output", type=pathlib.Path, metavar="PNG",
                      help="the picture to write (default: FILE's name with .png, here)")
    plot.set_defaults(parser=plot)
    tail = commands.add_parser(
        "tail", parents=[reading], help="follow a growing file, a line per block completed",
        description="Follows a plot file that a simulation is writing, as tail -f follows a text "
                    "file: one line per block completed (the time and the values, tab-separated), "
                    "until Ctrl-C.")
    tail.add_argument("file", metavar="FILE", help="TOLVANE plot file (a regular file)")
    tail.add_argument("--interval", type=seconds, default=0.5, metavar="S",
                      help="seconds between looks at the file (default 0.5)")
    tail.add_argument("-n", "--lines", type=block_count, default=0, metavar="N",
                      help="first the last N complete blocks (default 0)")
    return top


# ---------------------------------------------------------------- reading


def read_or_fail(path: str, args: argparse.Namespace, incomplete: Optional[str] = None) -> Plot:
    """The file read as the arguments ask (``incomplete``: the command's own, over theirs); a
    file cut inside its last block, read with incomplete="keep", says so on standard error,
    except to info, which tells it with the rest."""
    if incomplete is None:
        incomplete = args.incomplete
    try:
        plot = read(path, args.n_digits, columns=args.columns, incomplete=incomplete,
                    storage_options=dict(args.storage_options) if is_url(path) else None)
        if plot.incomplete is not None and args.command != "info":
            print(cut_note(path, plot), file=sys.stderr)
        return plot
    except (OSError, KeyError, ValueError, MemoryError) as error:
        raise failure_of(path, error) from None


def failure_of(path: str, error: Exception) -> Failed:
    """A file's error as the one line the command shows: FormatError starts with path:line:,
    a missing column's KeyError names the file."""
    if isinstance(error, OSError):
        return Failed(f"{path}: {error.strerror or error}")
    if isinstance(error, KeyError):
        return Failed(str(error.args[0]))
    text = str(error)
    return Failed(text if text.startswith(path) else f"{path}: {text}")


def cut_note(path: str, plot: Plot) -> str:
    """Where a file read with incomplete="keep" is cut, as editors take a place."""
    cut = plot.incomplete
    assert cut is not None
    return f"{path}:{cut.line}: cut inside block {cut.block}"


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
            plot = read_or_fail(path, args, "keep")
        except Failed as failure:
            print(failure, file=sys.stderr)
            status = 1
            continue
        blocks = len(plot)
        span = f"time {text32(plot.time[0])} .. {text32(plot.time[-1])}" if blocks else "no block"
        print(f"{path}: width {plot.n_digits}, {len(plot.names)} parameters, {blocks} blocks, {span}")
        if plot.incomplete is not None:
            print(cut_note(path, plot))
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
    with arrow_file(out) as stream:
        parquet.write_table(plot.to_arrow(), stream)


def write_feather(plot: Plot, out: pathlib.Path) -> None:
    feather = library("pyarrow.feather", "arrow", "tolvane convert to Feather")
    with arrow_file(out) as stream:
        feather.write_feather(plot.to_arrow(), stream)


def arrow_file(out: pathlib.Path) -> Any:
    """``out`` opened for pyarrow's writers. Given a path instead, they remove the file when a
    write fails, and that may be a link or a device written in place, not a temporary file;
    pyarrow's own files cannot be pipes (they seek)."""
    return open(out, "wb")


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
    if not out.is_file():  # HDF5 seeks, and given a FIFO, opens it again and waits for a writer
        raise Failed(f"{out}: cannot write: NetCDF needs a regular file, not a pipe or a device")
    dataset = plot.to_xarray()
    # Names NetCDF cannot hold get names it can (_netcdf_names.py); each such variable keeps the
    # name of the plot file in its attribute long_name.
    renamed = netcdf_names(map(str, dataset.variables))
    dataset = dataset.rename(renamed)
    for old, new in renamed.items():
        dataset.variables[new].attrs["long_name"] = old
    # A NaN in a plot file is a value, not a missing one: no fill value is declared, so that no
    # reader masks them.
    encoding = {name: {"_FillValue": None} for name in dataset.variables}
    dataset.to_netcdf(out, engine="netcdf4", format="NETCDF4", encoding=encoding)


def write_plot_file(data: Any, out: pathlib.Path, n_digits: int = 15, title: str = "",
                    names: Optional[Sequence[str]] = None, compression: Optional[str] = None) -> None:
    write(out, data, n_digits, title=title, names=names, compression=compression)


PLOT_SUFFIX = ".plt"
WRITERS: Dict[str, "tuple[str, Callable[..., None]]"] = {
    ".parquet": ("Parquet", write_parquet),
    ".feather": ("Feather", write_feather),
    ".arrow": ("Feather", write_feather),
    ".csv": ("CSV", write_csv),
    ".nc": ("NetCDF", write_netcdf),
    PLOT_SUFFIX: ("TOLVANE plot file", write_plot_file),
}
# A plot file compressed as it is written: OUT.plt.gz, OUT.plt.zst.
COMPRESSED_PLOT_SUFFIXES = {PLOT_SUFFIX + suffix: name for suffix, name in SUFFIXES.items()}


def out_format(out: pathlib.Path) -> "tuple[str, Optional[str]]":
    """The suffix of WRITERS that OUT's name asks for ("" for none), and the compression of a
    plot file (OUT.plt.gz, OUT.plt.zst)."""
    name = out.name.lower()
    for suffix, compression in COMPRESSED_PLOT_SUFFIXES.items():
        if name.endswith(suffix) and len(name) > len(suffix):
            return PLOT_SUFFIX, compression
    suffix = out.suffix.lower()
    return (suffix if suffix in WRITERS else ""), None


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


def convert(args: argparse.Namespace) -> int:
    suffix, compression = out_format(args.out)
    _, write_out = WRITERS[suffix]
    options: Dict[str, Any] = {}
    data: Any
    if pathlib.Path(args.file).suffix.lower() in TABLE_READERS:  # for OUT.plt only
        data, options["names"] = read_table_or_fail(args.file, args)
        title = ""
    else:
        data = read_or_fail(args.file, args)
        title = data.title  # from the read itself: a pipe or FIFO cannot be read again
    if suffix == PLOT_SUFFIX:
        options["n_digits"] = 15 if args.out_digits is None else args.out_digits
        options["title"] = title if args.title is None else args.title
        options["compression"] = compression
    with written(args.out) as out:
        write_out(data, out, **options)
    return 0


@contextlib.contextmanager
def written(out: pathlib.Path) -> Iterator[pathlib.Path]:
    """The path to write ``out`` to. For a regular file (or none yet), a temporary file beside
    it, renamed over it once the block ends without an error, so that a failure (a full disk,
    the file size limit, an error of the writer's library, Ctrl-C) leaves an earlier file whole
    and no partial one; through a symbolic link, the file it points to. Anything else that is
    there (a pipe, a terminal, /dev/stdout) is written in place, as a stream. Every failure of
    the writing is Failed, said in one line."""
    try:
        kind = os.stat(out).st_mode
    except OSError:  # not there yet (or not to be seen: replacing() says why)
        kind = stat.S_IFREG
    if stat.S_ISDIR(kind):
        raise Failed(f"{out}: cannot write: {os.strerror(errno.EISDIR)}")
    try:
        if stat.S_ISREG(kind):
            # The file at the end of the links (realpath() of /dev/stdout, a pipe's magic link,
            # names nothing, but that is not a regular file).
            with replacing(os.path.realpath(out)) as temporary:
                yield pathlib.Path(temporary)
        else:
            yield out
    except (Failed, ImportError, BrokenPipeError):  # each said where main says it
        raise
    except OSError as error:
        raise Failed(f"{out}: cannot write: {error.strerror or one_line(error)}") from None
    except Exception as error:  # the writers' libraries: netCDF4's RuntimeError, pyarrow's, ...
        raise Failed(f"{out}: cannot write: {one_line(error)}") from None


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def same_file(first: Union[str, pathlib.Path], second: Union[str, pathlib.Path]) -> bool:
    """Whether both paths name one file that exists (through links, /dev/stdin included)."""
    try:
        return os.path.samefile(first, second)
    except OSError:
        return False


# ---------------------------------------------------------------- plot


def default_picture(path: str) -> pathlib.Path:
    """FILE's name with .png, in the current folder (stdin.png for standard input)."""
    return pathlib.Path(pathlib.Path(path).with_suffix(".png").name)


def draw(args: argparse.Namespace) -> int:
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


# ---------------------------------------------------------------- tail


def tail(args: argparse.Namespace) -> int:
    from ._open import PlotFile
    from ._tail import follow

    try:
        with PlotFile(args.file, args.n_digits, args.columns) as plot_file:
            follow(plot_file, args.lines, args.interval)
    except KeyboardInterrupt:  # the way to end it, as with tail -f
        return 0
    except (OSError, KeyError, ValueError, MemoryError) as error:
        raise failure_of(args.file, error) from None
    return 0


# ---------------------------------------------------------------- main


def convert_arguments_check(args: argparse.Namespace) -> None:
    """The options that only some inputs and outputs have."""
    to_plot = out_format(args.out)[0] == PLOT_SUFFIX
    if not to_plot and (args.out_digits is not None or args.title is not None):
        args.parser.error(f"--out-digits and --title are for OUT{PLOT_SUFFIX}, not {args.out.name!r}")
    from_table = pathlib.Path(args.file).suffix.lower() in TABLE_READERS
    if from_table and not to_plot:
        args.parser.error(f"FILE {args.file!r} is a table: convert writes it as OUT{PLOT_SUFFIX} only")
    if from_table and args.n_digits is not None:
        args.parser.error(f"--n-digits is the width of a plot file FILE, not of {args.file!r}")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The command: its exit status. A closed output pipe ends it quietly with status 1, as
    Python's documentation advises for SIGPIPE (which Python ignores: a write gets EPIPE);
    Ctrl-C with 130, the shells' status for a command that SIGINT ended; neither shows a
    traceback."""
    try:
        try:
            return run(argv)
        finally:
            # Here, so that a pipe closed early shows while it can be caught.
            sys.stdout.flush()
    except BrokenPipeError:
        # Nothing more can be said: the streams go to /dev/null, where Python's own flush at
        # exit cannot fail again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(OSError, ValueError):
                os.dup2(devnull, stream.fileno())
        os.close(devnull)
        return 1
    except KeyboardInterrupt:
        return 130


def run(argv: Optional[Sequence[str]]) -> int:
    top = parser()
    args = top.parse_args(argv)
    files = args.files if args.command == "info" else [args.file]
    if args.storage_options and not any(is_url(path) for path in files):
        args.parser.error("--storage-option is for URLs (s3://..., https://...), and no FILE is one")
    if args.command == "convert":
        if not out_format(args.out)[0]:
            endings = ", ".join([*WRITERS, *COMPRESSED_PLOT_SUFFIXES])
            args.parser.error(f"OUT must end in {endings} (for the format), not "
                              f"{args.out.name!r}")
        refuse_to_overwrite(args.parser, args.file, args.out, "OUT")
        convert_arguments_check(args)
    if args.command == "plot":
        if args.output is None:
            args.output = default_picture(args.file)
        refuse_to_overwrite(args.parser, args.file, args.output, "the picture")
    command = {"info": info, "convert": convert, "plot": draw, "tail": tail}[args.command]
    try:
        return command(args)
    except Failed as failure:
        print(failure, file=sys.stderr)
        return 1
    except ImportError as error:  # a library of an extra not installed; the message names it
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1


def refuse_to_overwrite(usage: argparse.ArgumentParser, path: str, out: pathlib.Path,
                        what: str) -> None:
    """A usage error (exit 2) where the output is the input file itself."""
    if same_file(path, out):
        usage.error(f"{what} {str(out)!r} is FILE itself: no command writes over its input")


if __name__ == "__main__":
    sys.exit(main())
