"""A Plot as the table of another library: pandas, polars, pyarrow or xarray, each optional.

Each conversion imports its library when called, so that tolvane needs none of them; a missing
one raises ImportError naming the extra that installs it.

A Plot's arrays are read-only views of its one block of values, and a table made from it must
be free to change without changing the Plot or another table. Where the library never writes
into the memory it is given, the table is made over the Plot's arrays: pyarrow's arrays are
immutable, and polars copies a column before it changes one whose memory it does not own.
pandas and xarray write into their arrays in place (``df.iloc[3, 0] = x``, ``ds["X"][0] = x``),
so their tables get a copy of the values, made once, into one block.
"""

from __future__ import annotations

import importlib
import os
from types import ModuleType
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, cast

from ._names import dedup_names

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas
    import polars
    import pyarrow
    import xarray

    from ._plot import Plot


def library(module: str, extra: str, needed_by: str) -> ModuleType:
    """The module, or ImportError naming the extra that installs it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        top = module.partition(".")[0]
        raise ImportError(f"{needed_by} needs {top}, which the extra '{extra}' installs: "
                          f"pip install 'quorel[{extra}]'") from error


def named_columns(plot: "Plot") -> Tuple[List[str], Sequence["npt.NDArray[np.float32]"]]:
    """The columns of a table, the time first: their names, and the Plot's arrays.

    The names are made unique as pandas makes a file's column names unique, the time's name
    first, so that every table has the same columns: the second 'X' is 'X.1', a parameter named
    as the time 'TIME.1', a second blank name '.1' (a blank one stays '')."""


    names = dedup_names([plot.names[field] for field in plot._fields])
    return names, plot._arrays


def copied_columns(plot: "Plot") -> Tuple[List[str], "npt.NDArray[np.float32]"]:
    """named_columns, the values copied into one writable block: a row per column."""
    import numpy as np

    names, _ = named_columns(plot)
    return names, np.array(plot._table)


def to_pandas(plot: "Plot") -> "pandas.DataFrame":
    pd = library("pandas", "pandas", "Plot.to_pandas()")
    names, block = copied_columns(plot)
    if not names:  # a head cut before its first name
        return cast("pandas.DataFrame", pd.DataFrame(index=pd.Index([], dtype="float32")))
    index = pd.Index(block[0], name=names[0], copy=False)
    # (blocks, columns) over the block's rows: pandas keeps it as its one float32 block.
    return cast("pandas.DataFrame", pd.DataFrame(block[1:].T, index=index, columns=names[1:], copy=False))


def to_polars(plot: "Plot") -> "polars.DataFrame":
    pl = library("polars", "polars", "Plot.to_polars()")
    names, arrays = named_columns(plot)
    # A dict, not a list of Series: polars names a Series named '' in a list 'column_N'.
    return cast("polars.DataFrame", pl.DataFrame({
        name: pl.Series(name, array, dtype=pl.Float32, nan_to_null=False) for name, array in zip(names, arrays)}))


def to_arrow(plot: "Plot") -> "pyarrow.Table":
    pa = library("pyarrow", "arrow", "Plot.to_arrow()")
    names, arrays = named_columns(plot)
    # pa.array wraps a contiguous numpy array's memory; NaN stays a value, never a null.
    columns = [pa.array(array, type=pa.float32()) for array in arrays]
    # The path's own bytes: a file name need not be UTF-8, which Arrow's metadata is.
    metadata = {"path": os.fsencode(plot.path), "n_digits": str(plot.n_digits), "title": plot.title}
    return cast("pyarrow.Table", pa.Table.from_arrays(columns, names=names, metadata=metadata))


def to_xarray(plot: "Plot") -> "xarray.Dataset":
    xr = library("xarray", "xarray", "Plot.to_xarray()")
    names, arrays = copied_columns(plot)
    if not names:  # a head cut before its first name
        return cast("xarray.Dataset", xr.Dataset(attrs=dataset_attrs(plot.path, plot.n_digits, plot.title)))
    time = names[0]
    variables = {name: ((time,), array) for name, array in zip(names[1:], arrays[1:])}
    return cast("xarray.Dataset", xr.Dataset(variables, coords={time: ((time,), arrays[0])},
                                             attrs=dataset_attrs(plot.path, plot.n_digits, plot.title)))


def dataset_attrs(path: str, n_digits: Optional[int], title: str) -> Dict[str, Any]:
    """The attributes of a plot file's xarray Dataset (to_xarray's and the engine's)."""
    return {"path": path, "n_digits": n_digits, "title": title}
