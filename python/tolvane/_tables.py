"""A Plot as the table of another library: polars, pyarrow or xarray, each optional.

Each conversion imports its library when called, so that tolvane needs none of them; a missing
one raises ImportError naming the extra that installs it.
"""

from __future__ import annotations

import importlib
from types import ModuleType
from typing import TYPE_CHECKING, List, Sequence, Tuple, cast

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
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
    """The columns of a table, the time first: their names, unique (X, X.1, ...), and arrays."""
    from ._plot import dedup_names

    names = dedup_names([plot.names[field] for field in plot._fields])
    return names, plot._arrays


def to_polars(plot: "Plot") -> "polars.DataFrame":
    pl = library("polars", "polars", "Plot.to_polars()")
    names, arrays = named_columns(plot)
    return cast("polars.DataFrame", pl.DataFrame([
        pl.Series(name, array, dtype=pl.Float32, nan_to_null=False) for name, array in zip(names, arrays)]))


def to_arrow(plot: "Plot") -> "pyarrow.Table":
    pa = library("pyarrow", "arrow", "Plot.to_arrow()")
    names, arrays = named_columns(plot)
    # pa.array wraps a contiguous numpy array's memory; NaN stays a value, never a null.
    columns = [pa.array(array, type=pa.float32()) for array in arrays]
    metadata = {"path": plot.path, "n_digits": str(plot.n_digits)}
    return cast("pyarrow.Table", pa.Table.from_arrays(columns, names=names, metadata=metadata))


def to_xarray(plot: "Plot") -> "xarray.Dataset":
    xr = library("xarray", "xarray", "Plot.to_xarray()")
    names, arrays = named_columns(plot)
    time = names[0]
    variables = {name: ((time,), array) for name, array in zip(names[1:], arrays[1:])}
    return cast("xarray.Dataset", xr.Dataset(variables, coords={time: ((time,), arrays[0])},
                                             attrs={"path": plot.path, "n_digits": plot.n_digits}))
