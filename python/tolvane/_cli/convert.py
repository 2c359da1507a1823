"""tolvane convert: a plot file as Parquet, Feather, CSV or NetCDF, or as a plot file again
(also from a table of those formats)."""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import os
import pathlib
from typing import Any, BinaryIO, Callable, Dict, Iterator, List, Optional, Sequence, Union

import numpy as np

from .._compression import SUFFIXES
from .._netcdf_names import netcdf_names
from .._plot import Plot
from .._tables import library, named_columns
from .._write import columns_of, title_of, write
from .common import (STANDARD_OUTPUT, Failed, check_storage_options, input_path, out_width, read_or_fail,
                     refuse_to_overwrite, standard_output, written)

NAME = "convert"


def add_parser(commands: Any, reading: argparse.ArgumentParser,
               cutting: argparse.ArgumentParser) -> argparse.ArgumentParser:
    convert = commands.add_parser(
        NAME, parents=[reading, cutting], help="write a file as Parquet, Feather, CSV, NetCDF or a plot file",
        description="Writes the time and the parameters read as a table, in the format that "
                    "OUT's suffix names: " + ", ".join(f"{suffix} {name}" for suffix, (name, _)
                                                         in WRITERS.items()) + " (.plt.gz, .plt.zst, .plt.bz2 "
                    "and .plt.xz compressed); a plot file also from a file of those tables.")
    convert.add_argument("file", type=input_path, metavar="FILE",
                         help="TOLVANE plot file: a path, a URL, or - for standard input; for "
                              f"OUT.plt also a file that convert writes ({', '.join(TABLE_READERS)})")
    convert.add_argument("out", type=output_path, metavar="OUT",
                         help="the file to write, or - for standard output (with --to)")
    convert.add_argument("--to", choices=list(TO_FORMATS), metavar="FORMAT",
                         help="the format to write, in place of OUT's suffix; needed for OUT -: "
                              + ", ".join(TO_FORMATS))
    convert.add_argument("--out-digits", type=out_width, metavar="W",
                         help="for OUT.plt: the field width to write (default 15: 9 significant "
                              "digits, every value bit for bit; 12: 6 digits)")
    convert.add_argument("--title", metavar="TEXT",
                         help="for OUT.plt: line 1's text (default: FILE's own: a plot file's, or "
                              "the title that a Parquet, Feather or NetCDF file that convert wrote "
                              "keeps; a CSV file holds none)")
    return convert


# An output: a path, or a binary stream (standard output) written where it stands.
Out = Union[pathlib.Path, BinaryIO]


def write_parquet(plot: Plot, out: Out) -> None:
    parquet = library("pyarrow.parquet", "arrow", "tolvane convert to Parquet")
    with arrow_file(out) as stream:
        parquet.write_table(plot.to_arrow(), stream)


def write_feather(plot: Plot, out: Out) -> None:
    feather = library("pyarrow.feather", "arrow", "tolvane convert to Feather")
    with arrow_file(out) as stream:
        feather.write_feather(plot.to_arrow(), stream)


@contextlib.contextmanager
def arrow_file(out: Out) -> Iterator[BinaryIO]:
    """``out`` opened for pyarrow's writers. Given a path instead, they remove the file when a
    write fails, and that may be a link or a device written in place, not a temporary file.
    Standard output gets the file made in memory first: it may be a file that pyarrow would
    take for its own, from where it stands, or a pipe, which cannot seek."""
    if isinstance(out, pathlib.Path):
        with open(out, "wb") as stream:
            yield stream
        return
    made = io.BytesIO()
    yield made
    out.write(made.getbuffer())


def write_csv(plot: Plot, out: Out) -> None:
    names, arrays = named_columns(plot)
    texts = []
    for array in arrays:
        text = array.astype(str)  # numpy's shortest text that reads back as the binary32 value
        text[np.isnan(array) & np.signbit(array)] = "-nan"
        texts.append(text.tolist())
    with text_file(out) as stream:
        writer = csv.writer(stream, lineterminator="\n")
        writer.writerow(names)
        writer.writerows(zip(*texts))


@contextlib.contextmanager
def text_file(out: Out) -> Iterator[io.TextIOWrapper]:
    """``out`` as UTF-8 text, its line ends as written; a stream is left open."""
    stream = io.TextIOWrapper(open(out, "wb") if isinstance(out, pathlib.Path) else out,
                              encoding="utf-8", newline="")
    try:
        yield stream
        stream.flush()
    finally:
        if isinstance(out, pathlib.Path):
            stream.close()
        else:
            stream.detach()


def write_netcdf(plot: Plot, out: Out) -> None:
    library("netCDF4", "xarray", "tolvane convert to NetCDF")
    if not isinstance(out, pathlib.Path) or not out.is_file():
        # HDF5 seeks, and given a FIFO, opens it again and waits for a writer.
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


def write_plot_file(data: Any, out: Out, n_digits: int = 15, title: str = "",
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


# --to's names of the formats: the suffixes without their first dot (plt.gz for OUT.plt.gz).
TO_FORMATS = {suffix[1:]: suffix for suffix in [*WRITERS, *COMPRESSED_PLOT_SUFFIXES]}
# OUT "-", standard output: this very object, told apart from a file named "-" ("./-").
STANDARD_OUTPUT_ARGUMENT = pathlib.Path("-")


def output_path(text: str) -> pathlib.Path:
    return STANDARD_OUTPUT_ARGUMENT if text == "-" else pathlib.Path(text)


def out_format(args: argparse.Namespace) -> "tuple[str, Optional[str]]":
    """The suffix of WRITERS that --to or else OUT's name asks for ("" for none), and the
    compression of a plot file (OUT.plt.gz, --to plt.zst, ...)."""
    name = ("x" + TO_FORMATS[args.to]) if args.to is not None else args.out.name.lower()
    for suffix, compression in COMPRESSED_PLOT_SUFFIXES.items():
        if name.endswith(suffix) and len(name) > len(suffix):
            return PLOT_SUFFIX, compression
    suffix = pathlib.Path(name).suffix
    return (suffix if suffix in WRITERS else ""), None


def is_binary(suffix: str, compression: Optional[str]) -> bool:
    """Whether the format is not text: Parquet, Feather, a compressed plot file."""
    return suffix not in (".csv", PLOT_SUFFIX) or compression is not None


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


def read_table_or_fail(path: str, args: argparse.Namespace) -> "tuple[Dict[str, Any], List[Any], str]":
    """A table that convert writes, as columns and names for tolvane.write (the names apart, as
    a table may repeat them), with --columns applied (the first column, the time, always kept),
    and the title it keeps ("" for none)."""
    try:
        table = TABLE_READERS[pathlib.Path(path).suffix.lower()](path)
        names, columns = columns_of(table)
        title = title_of(table)
    except OSError as error:
        raise Failed(f"{path}: {error.strerror or error}") from None
    except (ValueError, TypeError, KeyError) as error:
        raise Failed(f"{path}: {error}") from None
    if args.columns is not None:
        fields = sorted({0, *(table_field(key, names, path) for key in args.columns)})
        names, columns = [names[f] for f in fields], [columns[f] for f in fields]
    return {str(i): column for i, column in enumerate(columns)}, names, title


def table_field(key: Union[str, int], names: Sequence[Any], path: str) -> int:
    if isinstance(key, int):
        if not 0 <= key < len(names):
            raise Failed(f"{path} has no column {key}: its columns are 0 (the time) to {len(names) - 1}")
        return key
    found = [i for i, name in enumerate(names) if name == key]
    if len(found) != 1:
        raise Failed(f"{path} has {'no column' if not found else 'several columns'} named {key!r}")
    return found[0]


def run(args: argparse.Namespace) -> int:
    suffix, compression = out_format(args)
    name, write_out = WRITERS[suffix]
    to_standard_output = args.out is STANDARD_OUTPUT_ARGUMENT
    if to_standard_output and is_binary(suffix, compression) and os.isatty(1):
        # As gzip and zstd refuse to write compressed data to a terminal.
        what = name if compression is None else f"a {compression}-compressed {name}"
        raise Failed(f"{STANDARD_OUTPUT}: cannot write: {what} is not written to a terminal "
                     "(redirect standard output to a file or a pipe)")
    options: Dict[str, Any] = {}
    data: Any
    if pathlib.Path(args.file).suffix.lower() in TABLE_READERS:  # for OUT.plt only
        data, options["names"], title = read_table_or_fail(args.file, args)
    else:
        data = read_or_fail(args.file, args)
        title = data.title  # from the read itself: a pipe or FIFO cannot be read again
    if suffix == PLOT_SUFFIX:
        options["n_digits"] = 15 if args.out_digits is None else args.out_digits
        options["title"] = title if args.title is None else args.title
        options["compression"] = compression
    with (standard_output() if to_standard_output else written(args.out)) as out:
        write_out(data, out, **options)
    return 0


def check(args: argparse.Namespace) -> None:
    """OUT's format, and the options that only some inputs and outputs have."""
    check_storage_options(args, [args.file])
    to_standard_output = args.out is STANDARD_OUTPUT_ARGUMENT
    if to_standard_output and args.to is None:
        args.parser.error("OUT - (standard output) needs --to FORMAT: it has no suffix to tell "
                          "the format by")
    suffix = out_format(args)[0]
    if not suffix:
        endings = ", ".join([*WRITERS, *COMPRESSED_PLOT_SUFFIXES])
        args.parser.error(f"OUT must end in {endings} (for the format), or --to name one, "
                          f"not {args.out.name!r}")
    if to_standard_output and suffix == ".nc":
        args.parser.error("NetCDF needs a regular file (HDF5 seeks in it): it cannot be written "
                          "to standard output")
    if not to_standard_output:
        refuse_to_overwrite(args.parser, args.file, args.out, "OUT")
    to_plot = suffix == PLOT_SUFFIX
    if not to_plot and (args.out_digits is not None or args.title is not None):
        args.parser.error(f"--out-digits and --title are for a plot file ({PLOT_SUFFIX}), "
                          f"not {args.to or args.out.name!r}")
    from_table = pathlib.Path(args.file).suffix.lower() in TABLE_READERS
    if from_table and not to_plot:
        args.parser.error(f"FILE {args.file!r} is a table: convert writes it as OUT{PLOT_SUFFIX} only")
    if from_table and args.n_digits is not None:
        args.parser.error(f"--n-digits is the width of a plot file FILE, not of {args.file!r}")
