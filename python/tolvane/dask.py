"""tolvane.dask.read_many: many plot files as a Dask DataFrame, one partition per file, read
wherever the cluster's workers run; tolvane.dask.read: one large file, in partitions of
consecutive blocks.

    >>> from dask.distributed import Client
    >>> import tolvane.dask
    >>> client = Client("tcp://scheduler:8786")      # or none: Dask's threads, here
    >>> frame = tolvane.dask.read_many("/shared/sweep/*.plt")
    >>> frame.groupby("path", observed=True)["SPEED"].max().compute()
    >>> tolvane.dask.compare_many("s3://runs/reference/", "s3://runs/today/").ok

Needs dask.dataframe (``pip install 'quorel[dask]'``, which brings dask.distributed too); the
workers need tolvane installed. Each task opens its own file where it runs: a URL
(``s3://bucket/sweep/*.plt.gz``) with the storage_options given, so that a cluster reads
straight from object storage; a local path at the same path, which every worker must see.
"""

from __future__ import annotations

import os
import warnings
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union, cast

import numpy as np

from ._many import ON_ERROR, column_names, names_mismatch, plot_frame, sweep_paths
from ._read import _columns_argument, _fields_of, _threads_argument, _width_argument, incomplete_argument, read_names
from ._read import read as read_file
from ._source import PathArg, compression_argument, is_url, source_name, storage_options_argument
from ._compare import DEFAULT_TOLERANCES, Settings
from ._compare_many import SweepComparison, assemble, compare_pair, pairs_of, sweep_arguments
from ._dask_read import read
from ._tables import library

if TYPE_CHECKING:
    import dask.dataframe
    import pandas

__all__ = ["compare_many", "read", "read_many"]


def read_many(paths: Union[PathArg, Iterable[Any]], n_digits: Optional[int] = None, *,
              columns: Optional[Iterable[Any]] = None, threads: Optional[int] = None,
              on_error: str = "raise", compression: Optional[str] = "infer",
              storage_options: Optional[Mapping[str, Any]] = None,
              incomplete: str = "raise") -> "dask.dataframe.DataFrame":
    """The frame :func:`tolvane.read_many` gives, as a lazy Dask DataFrame of one partition per
    file, in the order of ``paths``.

    Its columns and dtypes are those of :func:`tolvane.read_many`, the categories of ``path``
    every path given. They are known at once: only the name lines of the first file are read
    here, where read_many is called (with ``on_error="skip"``, of the first file that opens);
    the blocks of every file are read when the frame is computed, each file by one task on a
    worker. Each partition's index counts its own rows from 0.

    Args:
        paths, n_digits, columns, compression, storage_options: as :func:`tolvane.read_many`
            takes them (one path or URL or a glob pattern of either, expanded here, or an
            iterable of them). Each task opens its own file on its worker, a URL with the
            storage_options given: the workers need the file system's package (s3fs, ...) and
            whatever credentials these do not carry.
        threads: how many threads read one file on its worker, passed to :func:`tolvane.read`
            (``None``: its default, every core for a file of 8 MiB or more). How many files are
            read at once is the cluster's to say: its workers' threads.
        on_error: ``"raise"``: a failing file's task raises its error (``FormatError``,
            ``OSError``, or ValueError for names that differ from the first file's), and so
            does the computation. ``"skip"``: its partition is empty, and a ``warnings.warn``
            on the worker (in the worker's log) carries the error.
        incomplete: as :func:`tolvane.read` takes it, for every file: with ``"keep"``, a file
            that its end cuts inside its last block gives the blocks before it (a worker does not
            report where; ``tolvane.read_many`` lists the cut files).
    """
    pd = library("pandas", "dask", "tolvane.dask.read_many()")
    dd = library("dask.dataframe", "dask", "tolvane.dask.read_many()")
    how = compression_argument(compression)
    options = storage_options_argument(storage_options)
    path_list = sweep_paths(paths, options)
    if not path_list:
        raise ValueError("tolvane.dask.read_many needs at least one path")
    width = _width_argument(n_digits)
    keys = _columns_argument(columns)
    if threads is not None:
        _threads_argument(threads)
    if on_error not in ON_ERROR:
        raise ValueError(f"on_error must be 'raise' or 'skip', not {on_error!r}")
    incomplete_argument(incomplete)
    texts = [source_name(path) for path in path_list]
    categories = list(dict.fromkeys(texts))
    first, names, fields = _first_names(path_list, keys, on_error, how, options)
    meta = empty_frame(pd, column_names(names, fields), categories)
    frame = dd.from_map(_partition, list(zip(path_list, texts)), meta=meta, label="tolvane-read",
                        enforce_metadata=False, n_digits=width, keys=keys, threads=threads,
                        on_error=on_error, names=names, first=first, categories=categories,
                        compression=how, storage_options=options, incomplete=incomplete)
    return cast("dask.dataframe.DataFrame", frame)


def _first_names(paths: Sequence[Any], keys: Optional[List[Any]], on_error: str, compression: Optional[str],
                 options: Dict[str, Any]) -> Tuple[str, Tuple[str, ...], List[int]]:
    """The path, names and fields read of the first file whose name lines read (the first file
    alone unless skipping)."""
    first_error: Optional[BaseException] = None
    for path in paths:
        try:
            text, names = read_names(path, compression, options if is_url(path) else None)
            fields = _fields_of(keys, names, text)
        except Exception as error:
            if on_error == "raise":
                raise
            first_error = first_error or error
            continue
        return text, tuple(names), list(range(len(names))) if fields is None else fields
    assert first_error is not None
    raise first_error


def empty_frame(pd: Any, names: Sequence[str], categories: Sequence[str]) -> "pandas.DataFrame":
    columns: Dict[str, Any] = {names[0]: pd.Categorical([], categories=list(categories))}
    columns.update((name, np.empty(0, dtype=np.float32)) for name in names[1:])
    return cast("pandas.DataFrame", pd.DataFrame(columns))


def _partition(item: Tuple[Any, str], *, n_digits: Optional[int], keys: Optional[List[Any]],
               threads: Optional[int], on_error: str, names: Tuple[str, ...], first: str,
               categories: List[str], compression: Optional[str],
               storage_options: Dict[str, Any], incomplete: str = "raise") -> "pandas.DataFrame":
    """One file's partition, on a worker. (No parameter is called `columns`: Dask would push
    the frame's column names into it.)"""
    import pandas as pd

    path, text = item
    try:
        plot = read_file(path, n_digits, columns=keys, threads=threads, compression=compression,
                         storage_options=storage_options if is_url(path) else None, incomplete=incomplete)
        mismatch = names_mismatch(plot, names, first)
        if mismatch is not None:
            raise mismatch
    except Exception as error:
        if on_error == "raise":
            raise
        warnings.warn(f"tolvane.dask.read_many skipped {text}: {type(error).__name__}: {error}",
                      RuntimeWarning, stacklevel=1)
        fields = _fields_of(keys, names, first)
        return empty_frame(pd, column_names(names, list(range(len(names))) if fields is None
                                            else fields), categories)
    return plot_frame(pd, plot, text, categories)


def compare_many(reference: Union[str, "os.PathLike[str]"], actual: Union[str, "os.PathLike[str]"], *,
                 atol: float = DEFAULT_TOLERANCES["atol"], rtol: float = DEFAULT_TOLERANCES["rtol"],
                 range_rtol: float = DEFAULT_TOLERANCES["range_rtol"], time_atol: float = 0.0,
                 time_rtol: float = 0.0, time_range: str = "reference", interpolation: str = "linear",
                 signals: Optional[Iterable[str]] = None, tolerances: Optional[Mapping[str, Mapping[str, Any]]] = None,
                 storage_options: Optional[Mapping[str, Any]] = None) -> SweepComparison:
    """:func:`tolvane.compare_many` on a Dask cluster (the current client's, else Dask's own
    scheduler): the two folders are listed here, and each pair of files is read and compared by
    one task where it runs, which sends back its rows alone. The result is the same report,
    but for its HTML, which holds the tables and no drawing (the bands stay on the workers)."""
    dask: Any = library("dask", "dask", "tolvane.dask.compare_many()")
    ref, act, options = sweep_arguments(reference, actual, storage_options)
    settings = Settings.checked(atol, rtol, range_rtol, time_atol, time_rtol, time_range, interpolation,
                                signals, tolerances)
    both, missing, extra = pairs_of(ref, act, options)
    tasks = [dask.delayed(compare_pair, pure=True)(ref, act, relative, settings, options, False)
             for relative in both]
    results = list(dask.compute(*tasks)) if tasks else []
    return assemble(ref, act, settings, results, missing, extra)
