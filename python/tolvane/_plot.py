"""Plot: what tolvane.read gives, the names, the float64 (or float32) time and one float32 array
per other parameter read."""

from __future__ import annotations

import html
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union, overload

import numpy as np

from ._names import Key, field_of

if TYPE_CHECKING:
    import numpy.typing as npt
    import pandas
    import polars
    import pyarrow
    import xarray

    from ._errors import FormatError


# _repr_html_ lists every name up to this many; past it, the first and the last few (as
# pandas' display.max_rows and min_rows do).
HTML_MAX_ROWS = 60
HTML_END_ROWS = 5


class Plot:
    """A TOLVANE plot file's parameters, read by :func:`tolvane.read`.

    ``plot[key]`` is the 1-D ``numpy.float32`` array of one parameter, by name or index (0 and
    the time's name give the time, ``numpy.float64`` unless read with
    ``time_dtype=numpy.float32``; negative indices count from the end), one value per block;
    ``len(plot)`` is the number of blocks; iterating gives the names of the parameters read,
    and ``key in plot`` is True exactly when ``plot[key]`` gives an array. ``plot[a:b]`` and
    ``plot[a:b:s]`` give a Plot of those blocks, over the same values (no copy). A Plot does
    not change: its arrays are read-only (writing to them raises ValueError), and it may be
    read from many threads at once.
    """

    __slots__ = ("_path", "_n_digits", "_names", "_fields", "_table", "_time", "_arrays", "_column_of", "_index",
                 "_title", "_name_lines", "_incomplete")

    def __init__(self, path: str, n_digits: int, names: Tuple[str, ...], fields: Sequence[int],
                 table: "npt.NDArray[np.float32]", title: str, name_lines: Sequence[str],
                 incomplete: "Optional[FormatError]" = None,
                 time: "Optional[npt.NDArray[np.float64]]" = None) -> None:
        # table: one row per field read, one column per block; the arrays are its rows. They
        # are views through a read-only buffer of it: numpy refuses to make writable again an
        # array whose memory comes from a read-only buffer, so no view of them can change the
        # values that every table made from this Plot shares.
        self._path = path
        self._incomplete = incomplete
        self._n_digits = n_digits
        self._names = tuple(names)
        self._title = title
        self._name_lines = tuple(name_lines)
        if len(self._name_lines) != len(self._names):
            raise ValueError(f"{len(self._name_lines)} name lines for {len(self._names)} names")
        self._fields = tuple(fields)
        self._table = np.asarray(table.data.toreadonly())
        # The float64 time comes apart from the table, whose row 0 is then not the time.
        if time is not None:
            self._time: "npt.NDArray[Any]" = np.asarray(time.data.toreadonly())
        elif len(self._table):
            self._time = self._table[0]
        else:  # a Plot of no field at all (a probe of names)
            self._time = np.empty(self._table.shape[1], dtype=np.float32)
        if len(self._time) != self._table.shape[1]:
            raise ValueError(f"{len(self._time)} times for {self._table.shape[1]} blocks")
        self._arrays = (self._time,) + tuple(self._table[1:]) if len(self._table) else ()
        self._column_of = {field: column for column, field in enumerate(self._fields)}
        self._index: Dict[str, List[int]] = {}
        for i, name in enumerate(self._names):
            self._index.setdefault(name, []).append(i)

    @property
    def path(self) -> str:
        """The file, as the path given to read (as a str)."""
        return self._path

    @property
    def incomplete(self) -> "Optional[FormatError]":
        """Where the file read with ``incomplete="keep"`` is cut: the FormatError of its last
        block, which the end of the file cuts (the Plot holds the blocks before it); ``None``
        where the file ends after a complete block."""
        return self._incomplete

    @property
    def n_digits(self) -> int:
        """The field width the file was read with."""
        return self._n_digits

    @property
    def names(self) -> Tuple[str, ...]:
        """Every parameter's name in name-line order, the time's first ("" for a blank line)."""
        return self._names

    @property
    def title(self) -> str:
        """The file's title: line 1 without the parameter count, trimmed of whitespace."""
        return self._title

    @property
    def name_lines(self) -> Tuple[str, ...]:
        """Every name line's whole text, trimmed of whitespace, in name-line order: the name
        (its last token) and whatever comes before it, such as a number or a description."""
        return self._name_lines

    @property
    def time(self) -> "npt.NDArray[Any]":
        """The time of every block: ``numpy.float64``, each the binary64 number nearest to its
        field's text; ``numpy.float32`` (the binary32 nearest) where read with
        ``time_dtype=numpy.float32``. Empty for a file whose head is still being written before
        its first name, read with ``incomplete="keep"``."""
        return self._time

    @property
    def time_dtype(self) -> "np.dtype[Any]":
        """The time's dtype: ``float64``, or ``float32`` where read with ``time_dtype=numpy.float32``."""
        return self._time.dtype

    def field_of(self, key: Key) -> int:
        """The index of the parameter that a name or an index stands for (a negative index
        counts from the end: -1 is the last name line's).

        KeyError for a name that is not in the file or names several parameters, and for an
        index out of range."""
        if not isinstance(key, str):
            if isinstance(key, bool) or not hasattr(type(key), "__index__"):
                raise KeyError(key)
            index = key.__index__()
            count = len(self._names)
            if not -count <= index < count:
                raise KeyError(f"{self._path} has no parameter {index}: its parameters are 0 (the "
                               f"time) to {count - 1}, or -{count} to -1 counted from the end")
            key = index % count
        return field_of(key, self._names, self._index, self._path)

    @overload
    def __getitem__(self, key: Key) -> "npt.NDArray[np.float32]": ...

    @overload
    def __getitem__(self, key: slice) -> "Plot": ...

    def __getitem__(self, key: Union[Key, slice]) -> "Union[npt.NDArray[np.float32], Plot]":
        if isinstance(key, slice):
            return self._blocks(key)
        field = self.field_of(key)
        column = self._column_of.get(field)
        if column is None:
            raise KeyError(f"{key!r} (field {field}) was not read: columns= left it out")
        return self._arrays[column]

    def __contains__(self, key: object) -> bool:
        if isinstance(key, slice):  # a key of blocks, not of an array
            return False
        try:
            self[key]  # type: ignore[call-overload]
        except KeyError:
            return False
        return True

    def _blocks(self, blocks: slice) -> "Plot":
        """The Plot of the blocks a slice selects, over a view of this Plot's values."""
        return Plot(self._path, self._n_digits, self._names, self._fields, self._table[:, blocks],
                    self._title, self._name_lines, self._incomplete, self._apart_time(blocks))

    def _apart_time(self, blocks: slice = slice(None)) -> "Optional[npt.NDArray[np.float64]]":
        """The time where it is kept apart from the table (float64), else None."""
        return None if self._time.dtype == np.float32 else self._time[blocks]

    def __iter__(self) -> Iterator[str]:
        return (self._names[field] for field in self._fields)

    def __len__(self) -> int:
        return int(self._table.shape[1])

    def to_numpy(self) -> "npt.NDArray[np.floating[Any]]":
        """A 2-D array: one row per block, one column per parameter read, the time first. With
        a float32 time (``time_dtype=numpy.float32``), a float32 read-only view of the plot's
        own values, as the arrays are (``.copy()`` it for an array to change); with the float64
        time, one array holds both as numpy does (``numpy.result_type``): a new float64 array,
        the float32 values widened exactly."""
        if self._time.dtype == np.float32:
            return self._table.T
        values = np.empty((len(self), len(self._fields)), dtype=np.float64)
        values[:, 0] = self._time
        values[:, 1:] = self._table[1:].T
        # Read-only as the arrays are, and through a read-only buffer: it cannot be made
        # writable again, so that every to_numpy() is alike.
        return np.asarray(values.data.toreadonly())

    def to_pandas(self) -> "pandas.DataFrame":
        """A pandas DataFrame: one float32 column per parameter read after the time, indexed
        by the time (float64, or float32 where read so; named by the time's name). Names are made unique as pandas
        makes them (X, X.1, X.2, ...), the time's first: a later 'TIME' becomes 'TIME.1'. The
        values are copied, once, into one block that the frame owns (pandas writes into its
        blocks in place). Needs pandas: ``pip install 'quorel[pandas]'``."""
        from ._tables import to_pandas

        return to_pandas(self)

    def to_polars(self) -> "polars.DataFrame":
        """A polars DataFrame: one Float32 column per parameter read, the time first (Float64,
        or Float32 where read so; named by the time's name), over this Plot's arrays without copying them (polars copies a column
        before changing it). Names are made unique as to_pandas makes them. NaN stays NaN,
        never null. Needs polars: ``pip install 'quorel[polars]'``."""
        from ._tables import to_polars

        return to_polars(self)

    def to_arrow(self) -> "pyarrow.Table":
        """A pyarrow Table of the columns to_polars gives, float32 (the time float64 or
        float32), over this Plot's arrays
        without copying them; the schema's metadata holds ``path``, ``n_digits`` and ``title``. NaN stays
        NaN, never null. Needs pyarrow: ``pip install 'quorel[arrow]'``."""
        from ._tables import to_arrow

        return to_arrow(self)

    def to_xarray(self) -> "xarray.Dataset":
        """An xarray Dataset: one float32 variable per parameter read after the time, over the
        time as coordinate (float64, or float32 where read so; named by the time's name), with the attributes ``path``,
        ``n_digits`` and ``title``. Names are made unique as to_pandas makes them. The values are copied,
        once (xarray writes into its variables in place). Needs xarray:
        ``pip install 'quorel[xarray]'``."""
        from ._tables import to_xarray

        return to_xarray(self)

    def _summary(self) -> str:
        """What the repr says after the path: counts, width and the time range."""
        count = len(self._names)
        read = "" if len(self._fields) == count else f" ({len(self._fields)} read)"
        blocks = len(self)
        if blocks:
            span = f", time {str(self.time[0])} .. {str(self.time[-1])}"
        else:
            span = ""
        return f"{count} parameters{read}, {blocks} blocks, width {self._n_digits}{span}"

    def __repr__(self) -> str:
        return f"<tolvane.Plot {self._path!r}: {self._summary()}>"

    def _repr_html_(self) -> str:
        """The repr for Jupyter: the repr's line, then a table of the names read and their
        indices (past HTML_MAX_ROWS, the first and last few); a name that several name lines
        share is marked, since only its index is a key."""
        rows = [self._html_row(field) for field in self._fields]
        if len(rows) > HTML_MAX_ROWS:
            hidden = len(rows) - 2 * HTML_END_ROWS
            rows[HTML_END_ROWS:-HTML_END_ROWS] = [f"<tr><td>&#8230;</td><td>{hidden} more</td></tr>"]
        return (f"<div><p><b>tolvane.Plot</b> <code>{html.escape(self._path)}</code>: "
                f"{html.escape(self._summary())}</p>\n"
                "<table>\n<thead><tr><th>index</th><th>name</th></tr></thead>\n<tbody>\n"
                + "\n".join(rows) + "\n</tbody>\n</table></div>")

    def _html_row(self, field: int) -> str:
        name = self._names[field]
        shown = f"<code>{html.escape(name)}</code>" if name else "<i>blank</i>"
        if len(self._index[name]) > 1:
            shown += " <small>(on several name lines: a key by its index only)</small>"
        return f"<tr><td>{field}</td><td>{shown}</td></tr>"

    def _ipython_key_completions_(self) -> List[str]:
        """The names that IPython offers after ``plot[``: those read that are keys."""
        return [name for name in dict.fromkeys(self) if name in self]

    def __reduce__(self) -> Tuple[Any, ...]:
        return (type(self), (self._path, self._n_digits, self._names, self._fields, self._table,
                             self._title, self._name_lines, self._incomplete, self._apart_time()))
