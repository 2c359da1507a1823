"""tolvane.compare_many: a sweep of runs checked against a sweep of references, the files of
two folders (or folders of URLs) paired by their path inside each, compared on a pool of threads."""

from __future__ import annotations

import errno
import os
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

from ._compare import DEFAULT_TOLERANCES, Comparison, Settings, compare_plots
from ._compare_report import COLUMNS
from ._read import _threads_argument, read
from ._source import _fsspec, is_url, storage_options_argument

if TYPE_CHECKING:
    import pandas

SWEEP_COLUMNS = ("path",) + COLUMNS


class PairResult:
    """One pair of a sweep: its relative path, rows and extra signals, the Comparison where it
    was made here (not on a Dask worker), or why the pair could not be compared."""

    __slots__ = ("path", "rows", "extra", "comparison", "error")

    def __init__(self, path: str, rows: List[Dict[str, Any]], extra: List[str],
                 comparison: Optional[Comparison] = None, error: str = "") -> None:
        self.path = path
        self.rows = rows
        self.extra = extra
        self.comparison = comparison
        self.error = error

    @property
    def ok(self) -> bool:
        return not self.error and all(row["ok"] for row in self.rows)


def failed_pair(path: str, message: str, missing: bool = False) -> PairResult:
    nan = float("nan")
    row = {"signal": "", "ok": False, "max_error": nan, "outside": nan, "first_outside": nan,
           "worst_time": nan, "missing": missing, "message": message}
    return PairResult(path, [row], [], None, message)


class SweepComparison:
    """What :func:`tolvane.compare_many` found: a report per pair of files, as a Comparison
    gives one (``ok``, ``to_pandas()`` with a first column ``path``, ``to_json()``,
    ``to_junit()``, ``to_html()``); ``missing`` and ``extra`` are the relative paths found in
    the reference's folder only (each fails) and in the actual's only."""

    def __init__(self, reference: str, actual: str, settings: Settings, pairs: List[PairResult],
                 missing: List[str], extra: List[str]) -> None:
        self._reference = reference
        self._actual = actual
        self._settings = settings
        self._pairs = pairs
        self.missing = missing
        self.extra = extra

    @property
    def ok(self) -> bool:
        return all(pair.ok for pair in self._pairs)

    @property
    def comparisons(self) -> Dict[str, Comparison]:
        """The Comparison of each pair compared here, by relative path."""
        return {pair.path: pair.comparison for pair in self._pairs if pair.comparison is not None}

    def __bool__(self) -> bool:
        raise TypeError("the truth of a SweepComparison is ambiguous: use .ok")

    def rows(self) -> List[Dict[str, Any]]:
        return [{"path": pair.path, **row} for pair in self._pairs for row in pair.rows]

    def to_pandas(self) -> "pandas.DataFrame":
        """The rows of every pair's Comparison.to_pandas, a first column ``path`` (the relative
        path); a file missing from the actual's folder, or one that could not be read, is one
        row with ``signal`` "" and its message."""
        from ._compare_report import rows_frame

        return rows_frame(self.rows(), SWEEP_COLUMNS)

    def __str__(self) -> str:
        from ._compare_report import TABLE_COLUMNS, summary

        extra = [f"{pair.path}: {name}" for pair in self._pairs for name in pair.extra] + [
            f"{path} (file)" for path in self.extra]
        return summary(f"{self._reference} vs {self._actual}", self.rows(), extra, ("path",) + TABLE_COLUMNS)

    def __repr__(self) -> str:
        return (f"<tolvane.SweepComparison {self._reference!r} vs {self._actual!r}: "
                f"{'ok' if self.ok else 'failed'}, {len(self._pairs)} files>")

    def to_json(self) -> str:
        from ._compare_report import json_text

        return json_text({"ok": self.ok, "reference": self._reference, "actual": self._actual,
                          "tolerances": self._settings.as_dict(), "signals": self.rows(),
                          "missing": self.missing, "extra": self.extra,
                          "extra_signals": {pair.path: pair.extra for pair in self._pairs if pair.extra}})

    def to_junit(self, dest: Any) -> None:
        """JUnit XML: a test case per signal of every pair (its class name the relative path),
        one per file missing or unreadable."""
        from ._compare_report import junit_case, write_junit

        cases = [junit_case(pair.path, row) for pair in self._pairs for row in pair.rows]
        write_junit(dest, "tolvane.compare_many", cases)

    def to_html(self, dest: Any, *, all: bool = False, max_points: int = 2000) -> None:
        """One self-contained HTML file: the table of every pair, and the drawings of the failed
        signals of the pairs compared here (on Dask's workers: the tables only)."""
        from ._compare_report import write_html

        head = [{"path": pair.path, "ok": pair.ok, "message": pair.error} for pair in self._pairs]
        write_html(dest, [(pair.path, pair.comparison) for pair in self._pairs if pair.comparison is not None],
                   all=all, max_points=max_points, head_rows=head)


def listing(folder: str, options: Dict[str, Any]) -> List[str]:
    """Every file under a folder (or a URL of one), by its path relative to it, '/'-separated."""
    if is_url(folder):
        fs, root = _fsspec().core.url_to_fs(folder, **options)
        root = root.rstrip("/")
        if not fs.isdir(root):
            raise NotADirectoryError(errno.ENOTDIR, "not a folder", folder)
        return sorted(found[len(root) + 1:] for found in fs.find(root))
    if not os.path.isdir(folder):
        raise NotADirectoryError(errno.ENOTDIR, "not a folder", folder) if os.path.exists(folder) else \
            FileNotFoundError(errno.ENOENT, "no such folder", folder)
    found = []
    for top, dirs, files in os.walk(folder):
        dirs.sort()
        for name in files:
            found.append(os.path.relpath(os.path.join(top, name), folder).replace(os.sep, "/"))
    return sorted(found)


def joined(folder: str, relative: str) -> str:
    if is_url(folder):
        return folder.rstrip("/") + "/" + relative
    return os.path.join(folder, *relative.split("/"))


def pairs_of(reference: str, actual: str, options: Dict[str, Any]) -> Tuple[List[str], List[str], List[str]]:
    """The relative paths in both folders, in the reference's only, in the actual's only."""
    ours = listing(reference, options)
    theirs = set(listing(actual, options))
    return ([path for path in ours if path in theirs], [path for path in ours if path not in theirs],
            sorted(theirs.difference(ours)))


def compare_pair(reference: str, actual: str, relative: str, settings: Settings, options: Dict[str, Any],
                 keep: bool) -> PairResult:
    """One pair compared, on one thread; an error of either file is the pair's failure."""
    try:
        plots = [read(joined(folder, relative), threads=1,
                      storage_options=options if is_url(folder) else None) for folder in (reference, actual)]
        comparison = compare_plots(plots[0], plots[1], settings, threads=1)
    except (OSError, ValueError) as error:
        return failed_pair(relative, f"{type(error).__name__}: {error}")
    return PairResult(relative, comparison.rows(), comparison.extra, comparison if keep else None)


def sweep_arguments(reference: Any, actual: Any, storage_options: Optional[Mapping[str, Any]]
                    ) -> Tuple[str, str, Dict[str, Any]]:
    folders = []
    for folder in (reference, actual):
        if not isinstance(folder, (str, os.PathLike)):
            raise TypeError(f"compare_many takes two folders (paths or URLs), not {type(folder).__name__}")
        folders.append(os.fsdecode(os.fspath(folder)))
    return folders[0], folders[1], storage_options_argument(storage_options)


def compare_many(reference: Union[str, "os.PathLike[str]"], actual: Union[str, "os.PathLike[str]"], *,
                 atol: float = DEFAULT_TOLERANCES["atol"], rtol: float = DEFAULT_TOLERANCES["rtol"],
                 range_rtol: float = DEFAULT_TOLERANCES["range_rtol"], time_atol: float = 0.0,
                 time_rtol: float = 0.0, time_range: str = "reference", interpolation: str = "linear",
                 signals: Optional[Iterable[str]] = None, tolerances: Optional[Mapping[str, Mapping[str, Any]]] = None,
                 threads: Optional[int] = None, storage_options: Optional[Mapping[str, Any]] = None
                 ) -> SweepComparison:
    """Compares every file under the folder ``actual`` with the file of the same relative path
    under ``reference`` (folders, or URLs of folders through fsspec with ``storage_options``),
    with the tolerances of :func:`tolvane.compare`, on a pool of ``threads`` threads (``None``:
    as many as the cores the process may run on). A file found under ``reference`` only fails;
    one under ``actual`` only is listed in ``extra``. A file that cannot be read (or breaks the
    format) fails its pair, with the error as its message."""
    ref, act, options = sweep_arguments(reference, actual, storage_options)
    settings = Settings.checked(atol, rtol, range_rtol, time_atol, time_rtol, time_range, interpolation,
                                signals, tolerances)
    workers = len(os.sched_getaffinity(0)) if threads is None else _threads_argument(threads)
    both, missing, extra = pairs_of(ref, act, options)

    def one(relative: str) -> PairResult:
        return compare_pair(ref, act, relative, settings, options, True)

    with ThreadPoolExecutor(max_workers=max(1, workers)) as pool:
        results = list(pool.map(one, both))
    return assemble(ref, act, settings, results, missing, extra)


def assemble(ref: str, act: str, settings: Settings, results: List[PairResult], missing: Sequence[str],
             extra: Sequence[str]) -> SweepComparison:
    results = results + [failed_pair(path, "missing from the actual's folder", True) for path in missing]
    results.sort(key=lambda pair: pair.path)
    return SweepComparison(ref, act, settings, results, list(missing), list(extra))

