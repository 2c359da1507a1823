"""Plot: what tolvane.read gives, the names and one float32 array per parameter read."""

from __future__ import annotations

from collections import defaultdict
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Sequence, Tuple, Union

import numpy as np

if TYPE_CHECKING:
    import numpy.typing as npt
    import pandas
    import polars
    import pyarrow
    import xarray

Key = Union[str, int]


def dedup_names(names: Sequence[str]) -> List[str]:
    """Names made unique as pandas makes a file's repeated column names unique: the second
    'X' becomes 'X.1', the third 'X.2', skipping any that is taken."""
    counts: Dict[str, int] = defaultdict(int)
    unique = []
    for name in names:
        count = counts[name]
        while count > 0:
            counts[name] = count + 1
            name = f"{name}.{count}"
            count = counts[name]
        unique.append(name)
        counts[name] = count + 1
    return unique


class Plot:
    """A TOLVANE plot file's parameters, read by :func:`tolvane.read`.

    ``plot[key]`` is the 1-D ``numpy.float32`` array of one parameter, by name or index (0 and
    the time's name give the time), one value per block; ``len(plot)`` is the number of
    blocks; iterating gives the names of the parameters read, and ``key in plot`` tells
    whether ``plot[key]`` has an array. A Plot does not change; it may be read from many
    threads at once.
    """

    __slots__ = ("_path", "_n_digits", "_names", "_fields", "_table", "_arrays", "_column_of", "_index",
                 "_title", "_name_lines")

    def __init__(self, path: str, n_digits: int, names: Tuple[str, ...], fields: Sequence[int],
                 table: "npt.NDArray[np.float32]", title: str, name_lines: Sequence[str]) -> None:
        # table: one row per field read, one column per block; the arrays are its rows.
        self._path = path
        self._n_digits = n_digits
        self._names = tuple(names)
        self._title = title
        self._name_lines = tuple(name_lines)
        if len(self._name_lines) != len(self._names):
            raise ValueError(f"{len(self._name_lines)} name lines for {len(self._names)} names")
        self._fields = tuple(fields)
        self._table = table
        self._arrays = tuple(table)
        self._column_of = {field: column for column, field in enumerate(self._fields)}
        self._index: Dict[str, List[int]] = {}
        for i, name in enumerate(self._names):
            self._index.setdefault(name, []).append(i)

    @property
    def path(self) -> str:
        """The file, as the path given to read (as a str)."""
        return self._path

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
    def time(self) -> "npt.NDArray[np.float32]":
        """The time of every block."""
        return self._arrays[0]

    def field_of(self, key: Key) -> int:
        """The index of the parameter that a name or an index stands for.

        KeyError for a name that is not in the file or names several parameters, and for an
        index out of range."""
        from ._read import field_of

        if not isinstance(key, str):
            if isinstance(key, bool) or not hasattr(type(key), "__index__"):
                raise KeyError(key)
            key = key.__index__()
        return field_of(key, self._names, self._index, self._path)

    def __getitem__(self, key: Key) -> "npt.NDArray[np.float32]":
        field = self.field_of(key)
        column = self._column_of.get(field)
        if column is None:
            raise KeyError(f"{key!r} (field {field}) was not read: columns= left it out")
        return self._arrays[column]

    def __contains__(self, key: object) -> bool:
        if isinstance(key, str):
            return any(field in self._column_of for field in self._index.get(key, ()))
        if isinstance(key, bool) or not hasattr(type(key), "__index__"):
            return False
        return key.__index__() in self._column_of  # type: ignore[attr-defined]

    def __iter__(self) -> Iterator[str]:
        return (self._names[field] for field in self._fields)

    def __len__(self) -> int:
        return len(self._arrays[0])

    def to_numpy(self) -> "npt.NDArray[np.float32]":
        """A 2-D float32 array: one row per block, one column per parameter read, the time
        first. A view of the plot's own values, as the arrays are; copy it to change it alone."""
        return self._table.T

    def to_pandas(self) -> "pandas.DataFrame":
        """A pandas DataFrame: one float32 column per parameter read after the time, indexed
        by the time (the index named by the time's name). Repeated names are made unique as
        pandas makes them (X, X.1, X.2, ...). Needs pandas: ``pip install 'quorel[pandas]'``."""
        try:
            import pandas as pd
        except ImportError as error:
            raise ImportError("Plot.to_pandas() needs pandas, which the extra 'pandas' installs: "
                              "pip install 'quorel[pandas]'") from error
        columns = dedup_names([self._names[field] for field in self._fields[1:]])
        index = pd.Index(self._arrays[0], name=self._names[0], copy=False)
        return pd.DataFrame(dict(zip(columns, self._arrays[1:])), index=index, copy=False)

    def to_polars(self) -> "polars.DataFrame":
        """A polars DataFrame: one Float32 column per parameter read, the time first (named by
        the time's name). Repeated names are made unique as to_pandas makes them, the time's
        name included. NaN stays NaN, never null. Needs polars: ``pip install 'quorel[polars]'``."""
        from ._tables import to_polars

        return to_polars(self)

    def to_arrow(self) -> "pyarrow.Table":
        """A pyarrow Table of the columns to_polars gives, float32, over this Plot's arrays
        without copying them; the schema's metadata holds ``path`` and ``n_digits``. NaN stays
        NaN, never null. Needs pyarrow: ``pip install 'quorel[arrow]'``."""
        from ._tables import to_arrow

        return to_arrow(self)

    def to_xarray(self) -> "xarray.Dataset":
        """An xarray Dataset: one float32 variable per parameter read after the time, over the
        time as coordinate (named by the time's name), with the attributes ``path`` and
        ``n_digits``. Names are made unique as to_polars makes them. Needs xarray:
        ``pip install 'quorel[xarray]'``."""
        from ._tables import to_xarray

        return to_xarray(self)

    def __repr__(self) -> str:
        count = len(self._names)
        read = "" if len(self._fields) == count else f" ({len(self._fields)} read)"
        blocks = len(self)
        if blocks:
            span = f", time {str(self.time[0])} .. {str(self.time[-1])}"
        else:
            span = ""
        return (f"<tolvane.Plot {self._path!r}: {count} parameters{read}, {blocks} blocks, "
                f"width {self._n_digits}{span}>")

    def __reduce__(self) -> Tuple[Any, ...]:
        return (type(self), (self._path, self._n_digits, self._names, self._fields, self._table,
                             self._title, self._name_lines))
