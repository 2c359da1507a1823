"""tolvane.write: a Plot, a mapping of arrays or a table written as a TOLVANE plot file.

Every argument and every column is checked, and every column made float32 (the time float64),
before anything is written; the fields are then formatted in C++ without the GIL, a path's file into a temporary
file beside it that is renamed into place once it is whole (tolvane._replace).
"""

from __future__ import annotations

import collections.abc
import io
import operator
import os
import sys
from typing import Any, Callable, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _native
from ._compression import SUFFIXES, compressor
from ._plot import Plot
from ._read import _threads_argument
from ._replace import is_stream, replacing

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

SMALLEST_WIDTH = 8  # "-1.2E+38": two significant digits
# Far past the 118 bytes that hold every binary32 value's exact decimal, whose digits end there:
# wider fields only add zeros (and a width of millions, gigabytes of them).
LARGEST_WIDTH = 1024
# What a file object is handed at a time.
CHUNK_BYTES = 4 << 20
# What the reader splits a name line into tokens at, and trims a title of: the 25 code points
# of Unicode's White_Space (not str.isspace(), which also takes U+001C to U+001F).
WHITESPACE = frozenset("\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006"
                       "\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")


def write(dest: Union[PathArg, Any], data: Any, n_digits: int = 15, *, title: Optional[str] = None,
          names: Optional[Iterable[str]] = None, threads: Optional[int] = None,
          compression: Optional[str] = "infer") -> None:
    """Write a TOLVANE plot file.

    Args:
        dest: a path (``str``, ``bytes`` or any ``os.PathLike``), written to a temporary file
            beside it that replaces it once the file is whole (a failed write leaves no partial
            file, and an earlier file whole; through a symbolic link, the file it points to is
            replaced); a path of something that is not a regular file (a FIFO, a device) is
            written in place, as a stream; or a binary file object, written as it goes.
        data: a :class:`Plot`; a mapping of names to 1-D arrays, the time first; a pandas
            ``DataFrame`` (its index is the time where it is named or not the default
            RangeIndex, else the first column is); a polars ``DataFrame`` or a pyarrow
            ``Table`` (the first column is the time); or an xarray ``Dataset`` of one dimension,
            whose coordinate is the time.
        n_digits: the width of a field in bytes, from 8 to 1024: each value is written right-aligned
            in E notation with two exponent digits and ``n_digits - 6`` significant digits, the
            decimal of that many digits nearest to its binary32 value (a tie to the even digit).
            15 (9 digits) reads back bit for bit; 12 (6 digits) is the simulator's own width.
        title: the text of line 1, before the parameter count: no line feed (whitespace at
            either end does not read back). ``None`` (the
            default): the data's own title, where it has one (a Plot's; a pyarrow Table's
            schema metadata ``title``; an xarray Dataset's or a pandas DataFrame's attribute
            ``title``, as to_arrow and to_xarray give them), else none.
        names: the parameters' names, the time's first, in place of the data's own; a name is
            one token as the reader splits a name line: not empty, none of Unicode's 25
            whitespace characters (control characters such as U+001F are not among them).
        threads: how many threads may format a path's file at once: ``None`` for the cores the
            process may run on, where the file takes 8 MiB or more (else one), ``1`` for the
            calling thread only.
        compression: ``"infer"`` (the default) compresses a path that ends in ``.gz`` as
            gzip, ``.zst`` as zstd, ``.bz2`` as bzip2 and ``.xz`` as xz, and nothing else;
            ``"gzip"``, ``"zstd"``, ``"bz2"`` or ``"xz"`` compresses the file or the stream
            so, whatever its name; ``None`` writes plain text. Each at its library's default
            level, as its command-line tool does.

    Values are float32: other floats are rounded to the nearest binary32 first (numpy's
    ``astype(float32)``, ties to even; beyond the largest, to infinity), and so are integers.
    The time is float64 (float32 and float16 times widen exactly; other times are rounded as
    ``astype(float64)`` rounds them), never rounded to float32: each is written as the decimal
    of the field's digits nearest to it (ties to even), so that a time read from a width-15
    field at ``numpy.float64`` writes that field's text back. A time of 1E+100 or more, or
    below 1E-99, takes three exponent digits and one significant digit fewer.
    NaN is written ``nan`` or ``-nan`` (by its sign; the payload is not kept), the infinities
    ``inf`` and ``-inf``.

    Raises:
        TypeError: data that is not one of the kinds above, a column that is not of real
            numbers (strings, booleans, complex numbers, dates, a null, a numpy masked array
            with a masked value), a name that is not a ``str``.
        ValueError: columns of different lengths, a column that is not 1-D, no column, a bad
            name (empty, whitespace inside) or title (a line feed), ``n_digits`` below 8 or
            above 1024, a compression other than those above.
        ImportError: zstd without zstandard (before Python 3.14).
        OSError: the file cannot be written (``FileNotFoundError``, a full disk, a file size
            limit, ...).
    """
    width = _width_argument(n_digits)
    head_title = _title_argument(title_of(data) if title is None else title)
    thread_count = _threads_argument(threads)
    path = _path_argument(dest) if _is_path(dest) else None
    stream = None if path is not None else _binary_stream(dest)
    compress = _compression_argument(compression, path)
    given_names, columns = columns_of(data)
    if names is not None:
        given_names = _names_argument(names, len(columns))
    checked = [_name(name) for name in given_names]
    values = _float32_columns(checked, columns)
    head = _head(head_title, checked)
    text = _native.plot_text(values[1:], width, values[0])
    if path is None:
        _write_to_stream(stream, compress, head, text)
    elif is_stream(path):
        _write_in_place(path, compress, head, text, thread_count)
    elif compress is not None:
        _write_compressed(path, compress, head, text)
    else:
        _write_path(path, head, text, thread_count)


# ---------------------------------------------------------------- arguments


def _width_argument(n_digits: int) -> int:
    if isinstance(n_digits, bool):
        raise TypeError("n_digits must be an int, not bool")
    width = operator.index(n_digits)
    if not SMALLEST_WIDTH <= width <= LARGEST_WIDTH:
        raise ValueError(f"n_digits must be from {SMALLEST_WIDTH} to {LARGEST_WIDTH}, not {width} "
                         f'(a field holds at least "-1.2E+38")')
    return width


def _title_argument(title: str) -> str:
    if not isinstance(title, str):
        raise TypeError(f"title must be a str, not {type(title).__name__}")
    # Only a line feed ends a line of a plot file: any other character reads back.
    if "\n" in title:
        raise ValueError(f"title must be one line, not {title!r}")
    title.encode("utf-8")  # UnicodeEncodeError (a ValueError) for a lone surrogate
    return title


def _names_argument(names: Iterable[str], count: int) -> List[Any]:
    if isinstance(names, (str, bytes)):
        raise TypeError(f"names must be an iterable of str, not a single {type(names).__name__}")
    given = list(names)
    if len(given) != count:
        raise ValueError(f"names has {len(given)} names for {count} columns")
    return given


def _name(name: Any) -> str:
    if name is None:
        raise ValueError("a parameter has no name (None), as an unnamed index has none: pass "
                         "names= to name the columns")
    if not isinstance(name, str):
        raise TypeError(f"a parameter's name must be a str, not {type(name).__name__} ({name!r}); "
                        "pass names= to name the columns")
    if not name or WHITESPACE.intersection(name):
        raise ValueError(f"a parameter's name must be one token, without whitespace, not {name!r}: "
                         "a name line's last token is the name")
    name.encode("utf-8")  # UnicodeEncodeError (a ValueError) for a lone surrogate
    return name


def _head(title: str, names: Sequence[str]) -> bytes:
    """Line 1 and the name lines, as the simulator writes them."""
    lines = [f" {title}   {len(names)}"] + [f" {i:4d}  {name}" for i, name in enumerate(names, 1)]
    return ("\n".join(lines) + "\n").encode("utf-8")


# ---------------------------------------------------------------- the columns


def title_of(data: Any) -> str:
    """The title the data carries: a Plot's; a pyarrow Table's schema metadata ``title`` (as
    to_arrow writes it, and Parquet and Feather keep it); an xarray Dataset's or a pandas
    DataFrame's attribute ``title`` (as to_xarray writes it, and NetCDF keeps it as a global
    attribute); else none."""
    if isinstance(data, Plot):
        return data.title
    title: Any = None
    arrow = sys.modules.get("pyarrow")
    if arrow is not None and isinstance(data, arrow.Table):
        stored = (data.schema.metadata or {}).get(b"title")
        title = None if stored is None else stored.decode("utf-8", "replace")
    elif hasattr(data, "attrs") and isinstance(getattr(data, "attrs"), collections.abc.Mapping):
        title = data.attrs.get("title")  # an xarray Dataset, a pandas DataFrame
    return title if isinstance(title, str) else ""



def columns_of(data: Any) -> Tuple[List[Any], List[Any]]:
    """The names and the columns (anything numpy can take) of the kinds of data write takes."""
    if isinstance(data, Plot):
        return [data.names[field] for field in data._fields], list(data._arrays)
    # Tables first: an xarray Dataset is a mapping too, of its data variables only.
    for kind, table_columns in _TABLES:
        module = sys.modules.get(kind[0])
        table_type = _attribute(module, kind[1]) if module is not None else None
        if table_type is not None and isinstance(data, table_type):
            return table_columns(data)
    if isinstance(data, collections.abc.Mapping):
        return list(data.keys()), list(data.values())
    raise TypeError("data must be a tolvane.Plot, a mapping of names to arrays, a pandas or polars "
                    f"DataFrame, a pyarrow Table or an xarray Dataset, not {type(data).__name__}")


def _attribute(module: Any, dotted: str) -> Any:
    for part in dotted.split("."):
        module = getattr(module, part, None)
        if module is None:
            return None
    return module


def _pandas_columns(frame: Any) -> Tuple[List[Any], List[Any]]:
    import pandas as pd

    index = frame.index
    default = (isinstance(index, pd.RangeIndex) and index.start == 0 and index.step == 1
               and index.name is None)
    names: List[Any] = []
    columns: List[Any] = []
    if not default:
        if isinstance(index, pd.MultiIndex):
            raise TypeError("a DataFrame indexed by a MultiIndex has no one time column")
        names.append(index.name)
        columns.append(index)
    names += list(frame.columns)
    columns += [frame.iloc[:, i] for i in range(frame.shape[1])]
    for name, column in zip(names, columns):
        # A column of pandas' own dtypes (Float64, Int64, ...) may hold NA, which numpy would
        # make a NaN: a missing value is not a number. (In numpy's dtypes NaN is a value.)
        if pd.api.types.is_extension_array_dtype(column.dtype) and column.isna().any():
            raise TypeError(f"column {name!r} holds missing values (NA), which are not numbers")
    return names, columns


def _polars_columns(frame: Any) -> Tuple[List[Any], List[Any]]:
    for series in frame.get_columns():
        if series.null_count():
            raise TypeError(f"column {series.name!r} holds nulls, which are not numbers")
    return list(frame.columns), [series.to_numpy() for series in frame.get_columns()]


def _arrow_columns(table: Any) -> Tuple[List[Any], List[Any]]:
    for name, column in zip(table.column_names, table.columns):
        if column.null_count:
            raise TypeError(f"column {name!r} holds nulls, which are not numbers")
    return list(table.column_names), [column.to_numpy() for column in table.columns]


def _xarray_columns(dataset: Any) -> Tuple[List[Any], List[Any]]:
    dims = list(dataset.sizes)
    if len(dims) != 1:
        raise ValueError(f"a Dataset to write has one dimension, the time, not {len(dims)} ({dims!r})")
    dim = dims[0]
    if dim not in dataset.coords:
        raise ValueError(f"the Dataset has no coordinate for its dimension {dim!r}, the time")
    names = [dim]
    columns = [dataset.coords[dim].values]
    for name, variable in dataset.data_vars.items():
        if variable.dims != (dim,):
            raise ValueError(f"variable {name!r} lies along {variable.dims!r}, not along the time ({dim!r},)")
        names.append(name)
        columns.append(variable.values)
    return names, columns


_TABLES = (
    (("pandas", "DataFrame"), _pandas_columns),
    (("polars", "DataFrame"), _polars_columns),
    (("pyarrow", "Table"), _arrow_columns),
    (("xarray", "Dataset"), _xarray_columns),
)


def _float32_columns(names: Sequence[str], columns: Sequence[Any]) -> List["np.ndarray[Any, Any]"]:
    if not columns:
        raise ValueError("data has no column: a plot file has at least the time")
    values = [_float32(name, column, np.float64 if i == 0 else np.float32)
              for i, (name, column) in enumerate(zip(names, columns))]
    for name, array in zip(names, values):
        if len(array) != len(values[0]):
            raise ValueError(f"column {name!r} has {len(array)} values, the time {names[0]!r} "
                             f"{len(values[0])}: every column has as many")
    return values


def _float32(name: str, column: Any, dtype: Any = np.float32) -> "np.ndarray[Any, Any]":
    """The column as `dtype` (float32; the time float64), checked."""
    # np.asarray would give a masked array's values, masked ones too: a missing value is not a
    # number, as pandas' NA and Arrow's nulls are not.
    if isinstance(column, np.ma.MaskedArray) and np.ma.getmaskarray(column).any():
        raise TypeError(f"column {name!r} holds masked values, which are not numbers "
                        "(column.filled(np.nan) makes them NaN)")
    try:
        array = np.asarray(column)
    except (TypeError, ValueError) as error:
        raise TypeError(f"column {name!r} is not an array of numbers: {error}") from None
    if array.dtype.kind not in "fiu":
        raise TypeError(f"column {name!r} holds {array.dtype} values, which are not real numbers")
    if array.ndim != 1:
        raise ValueError(f"column {name!r} has {array.ndim} dimensions; a column has one")
    # Values beyond binary32's range become infinities: that is the rounding, not an error; a
    # signalling NaN widened for the time is a NaN still (written "nan" either way), not an error.
    with np.errstate(over="ignore", invalid="ignore"):
        return np.ascontiguousarray(array, dtype=dtype)


# ---------------------------------------------------------------- the destination


def _is_path(dest: Any) -> bool:
    return isinstance(dest, (str, bytes, os.PathLike))


def _binary_stream(dest: Any) -> Any:
    if isinstance(dest, io.TextIOBase):
        raise TypeError("dest is a text stream; write opens it as a binary file object ('wb')")
    if not callable(getattr(dest, "write", None)):
        raise TypeError(f"dest must be a path or a binary file object, not {type(dest).__name__}")
    return dest


def _compression_argument(compression: Optional[str],
                          path: Optional[str]) -> "Optional[Callable[[Union[bytes, memoryview]], bytes]]":
    """The compressor that compression= asks for (None: plain text)."""
    if compression == "infer":
        name = SUFFIXES.get(os.path.splitext(path)[1].lower()) if path is not None else None
    elif compression is None or compression in SUFFIXES.values():
        name = compression
    else:
        raise ValueError("compression must be 'infer', 'gzip', 'zstd', 'bz2', 'xz' or None, "
                         f"not {compression!r}")
    return None if name is None else compressor(name)


def _path_argument(dest: PathArg) -> str:
    path = os.fsdecode(os.fspath(dest))
    if "\0" in path:
        raise ValueError("embedded null byte")
    return path


def _write_path(path: str, head: bytes, text: Any, threads: int) -> None:
    try:
        with replacing(path) as temporary:
            fd = os.open(temporary, os.O_WRONLY | os.O_CLOEXEC)
            try:
                text.write(fd, head, threads, True)
            finally:
                os.close(fd)
    except OSError as error:
        if error.errno is None:
            raise
        # The file asked for, not the temporary one beside it that failed.
        raise OSError(error.errno, error.strerror, path) from None


def _write_in_place(path: str, compress: "Optional[Callable[[Union[bytes, memoryview]], bytes]]",
                    head: bytes, text: Any, threads: int) -> None:
    """A FIFO, a device or a socket written as it is, as a stream (a FIFO's open waits for its
    reader, as a shell's redirection does): replaced, it would no longer be what it was."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC | os.O_NOCTTY)
        with open(fd, "wb", buffering=0) as raw:
            if compress is None:
                text.write(fd, head, threads, False)
            else:
                _write_to_stream(raw, compress, head, text)
    except OSError as error:
        if error.errno is None:
            raise
        raise OSError(error.errno, error.strerror, path) from None


def _write_to_stream(stream: Any, compress: "Optional[Callable[[Union[bytes, memoryview]], bytes]]",
                     head: bytes, text: Any) -> None:
    if compress is None:
        _write_stream(stream, head, text)
    else:
        _write_stream(_Compressing(stream, compress), head, text)
        _write_all(stream, compress(b""))


def _write_compressed(path: str, compress: "Callable[[Union[bytes, memoryview]], bytes]", head: bytes,
                      text: Any) -> None:
    """The text compressed as it is made, into a file written whole or not at all."""
    try:
        with replacing(path) as temporary, open(temporary, "wb") as raw:
            _write_to_stream(raw, compress, head, text)
    except OSError as error:
        if error.errno is None:
            raise
        raise OSError(error.errno, error.strerror, path) from None


class _Compressing:
    """A binary stream that compresses what it is given into another, all of it written there
    (a raw stream may take part of a write)."""

    def __init__(self, raw: Any, compress: "Callable[[Union[bytes, memoryview]], bytes]") -> None:
        self._raw = raw
        self._compress = compress

    def write(self, data: Any) -> int:
        view = memoryview(data)
        if view.nbytes:
            _write_all(self._raw, self._compress(view))
        return view.nbytes


def _write_stream(stream: Any, head: bytes, text: Any) -> None:
    _write_all(stream, head)
    blocks = text.blocks
    if not blocks:
        return
    step = max(1, CHUNK_BYTES // max(1, text.size(0, 1)))
    for first in range(0, blocks, step):
        _write_all(stream, text.format(first, min(blocks, first + step)))


def _write_all(stream: Any, data: Any) -> None:
    view = memoryview(data)
    while view.nbytes:
        written = stream.write(view)
        if written is None:
            if isinstance(stream, io.RawIOBase):  # a non-blocking stream that would block
                raise BlockingIOError("the stream would block: write takes a blocking one")
            return
        if written >= view.nbytes:
            return
        view = view[written:]
