"""tolvane.compare: every signal of a run checked against a reference run, within tolerances in
value and in time; the result, a Comparison."""

from __future__ import annotations

import math
import os
from concurrent.futures import ThreadPoolExecutor
from fnmatch import fnmatchcase
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union, cast

import numpy as np

from . import _native
from ._compare_report import COLUMNS
from ._names import dedup_names
from ._plot import Plot
from ._read import read
from ._source import Source

if TYPE_CHECKING:
    import numpy.typing as npt
    import pandas

# The defaults, each a documented promise: a value within 0.1 % of itself or of the reference
# signal's range (its max - min) passes, so that a signal that is zero for most of a run is
# held to 0.1 % of the values it takes elsewhere, not to 0; no tolerance in time.
DEFAULT_TOLERANCES: Dict[str, float] = {"atol": 0.0, "rtol": 1e-3, "range_rtol": 1e-3,
                                        "time_atol": 0.0, "time_rtol": 0.0}
TOLERANCE_KEYS = tuple(DEFAULT_TOLERANCES)
TIME_RANGES = ("reference", "common")
INTERPOLATIONS = ("linear", "previous")

PlotSource = Union[Plot, Source]
# Runs of this many blocks or more have their signals checked on every core at once.
PARALLEL_POINTS = 1 << 16


def tolerance_value(key: str, value: Any) -> float:
    """A tolerance checked: a real number, finite and not negative."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{key} must be a number, not {type(value).__name__}")
    number = float(value)
    if not (math.isfinite(number) and number >= 0.0):
        raise ValueError(f"{key} must be finite and not negative, not {value!r}")
    return number


def tolerances_argument(tolerances: Optional[Mapping[str, Mapping[str, Any]]]) -> Dict[str, Dict[str, float]]:
    """The per-signal tolerances checked: names or shell-style patterns to dicts of tolerances."""
    if tolerances is None:
        return {}
    if not isinstance(tolerances, Mapping):
        raise TypeError(f"tolerances must be a mapping of names to dicts, not {type(tolerances).__name__}")
    checked: Dict[str, Dict[str, float]] = {}
    for pattern, values in tolerances.items():
        if not isinstance(pattern, str) or not isinstance(values, Mapping):
            raise TypeError(f"tolerances maps names (str) to dicts of tolerances, not {pattern!r}: {values!r}")
        unknown = [key for key in values if key not in TOLERANCE_KEYS]
        if unknown:
            raise ValueError(f"tolerances[{pattern!r}] has {unknown[0]!r}: the tolerances are "
                             f"{', '.join(TOLERANCE_KEYS)}")
        checked[pattern] = {key: tolerance_value(f"tolerances[{pattern!r}][{key!r}]", value)
                            for key, value in values.items()}
    return checked


def tolerance_of(name: str, defaults: Mapping[str, float], overrides: Mapping[str, Mapping[str, float]]) -> Dict[str, float]:
    """A signal's tolerances: the defaults, then every pattern that matches its name in the
    mapping's order, then its own name's entry."""
    chosen = dict(defaults)
    for pattern, values in overrides.items():
        if pattern != name and fnmatchcase(name, pattern):
            chosen.update(values)
    chosen.update(overrides.get(name, {}))
    return chosen


class Settings:
    """What a comparison was asked: the default tolerances, the per-signal ones, and how the
    grids are aligned."""

    __slots__ = ("defaults", "overrides", "time_range", "interpolation", "signals")

    def __init__(self, defaults: Dict[str, float], overrides: Dict[str, Dict[str, float]], time_range: str,
                 interpolation: str, signals: Optional[List[str]]) -> None:
        self.defaults = defaults
        self.overrides = overrides
        self.time_range = time_range
        self.interpolation = interpolation
        self.signals = signals

    @classmethod
    def checked(cls, atol: float, rtol: float, range_rtol: float, time_atol: float, time_rtol: float,
                time_range: str, interpolation: str, signals: Optional[Iterable[str]],
                tolerances: Optional[Mapping[str, Mapping[str, Any]]]) -> "Settings":
        given = {"atol": atol, "rtol": rtol, "range_rtol": range_rtol, "time_atol": time_atol, "time_rtol": time_rtol}
        defaults = {key: tolerance_value(key, value) for key, value in given.items()}
        if time_range not in TIME_RANGES:
            raise ValueError(f"time_range must be 'reference' or 'common', not {time_range!r}")
        if interpolation not in INTERPOLATIONS:
            raise ValueError(f"interpolation must be 'linear' or 'previous', not {interpolation!r}")
        if isinstance(signals, (str, bytes)):
            raise TypeError("signals must be a list of names, not one string")
        chosen = None if signals is None else [str(name) for name in signals]
        return cls(defaults, tolerances_argument(tolerances), time_range, interpolation, chosen)

    def as_dict(self) -> Dict[str, Any]:
        return {**self.defaults, "time_range": self.time_range, "interpolation": self.interpolation,
                "tolerances": self.overrides}


class Series:
    """One plot's time as float64 (once, for every signal) and its signals by unique name."""

    def __init__(self, plot: Plot) -> None:
        self.plot = plot
        self.time: "npt.NDArray[np.float64]" = np.ascontiguousarray(plot.time, dtype=np.float64)
        if len(self.time) > 1:
            steps = np.diff(self.time)
            if not (steps >= 0).all():
                block = int(np.flatnonzero(~(steps >= 0))[0]) + 1
                raise ValueError(f"{plot.path}: the time decreases at block {block} "
                                 f"({self.time[block - 1]:.9g} then {self.time[block]:.9g}); "
                                 "a comparison needs times that do not decrease")
        labels = dedup_names(list(plot))
        self.time_name = labels[0]
        self.column = {label: column for column, label in enumerate(labels) if column > 0}

    def values(self, name: str) -> "npt.NDArray[np.float32]":
        return np.ascontiguousarray(self.plot._arrays[self.column[name]], dtype=np.float32)


def load(source: PlotSource, threads: Optional[int] = None) -> Plot:
    return source if isinstance(source, Plot) else read(source, threads=threads)


class SignalCheck:
    """How one signal is checked: its tolerances, window in time and the actual's points checked."""

    __slots__ = ("name", "tolerance", "half_width", "begin", "end", "message")

    def __init__(self, name: str, tolerance: Dict[str, float], reference: Series, actual: Series,
                 time_range: str) -> None:
        self.name = name
        self.tolerance = tolerance
        rt, at = reference.time, actual.time
        span = float(rt[-1] - rt[0]) if len(rt) else 0.0
        self.half_width = max(tolerance["time_atol"], tolerance["time_rtol"] * span)
        self.message = ""
        self.begin = self.end = 0
        if not len(rt) or not len(at):
            if len(rt) != len(at):
                self.message = "the reference has no blocks" if not len(rt) else "the actual has no blocks"
            return
        w = self.half_width
        self.begin = int(np.searchsorted(at, rt[0] - w, "left"))
        self.end = int(np.searchsorted(at, rt[-1] + w, "right"))
        if time_range == "reference":
            if at[0] > rt[0] + w or at[-1] < rt[-1] - w:
                self.message = (f"the actual's times {at[0]:.9g} .. {at[-1]:.9g} do not cover the "
                                f"reference's {rt[0]:.9g} .. {rt[-1]:.9g}")
        elif max(rt[0], at[0]) > min(rt[-1], at[-1]) + w:
            self.message = "no common time range"
        if not self.message and self.begin == self.end:
            self.message = "no point of the actual within the reference's time range"

    def run(self, reference: Series, actual: Series, interpolation: str,
            out: "Optional[Tuple[npt.NDArray[np.float64], ...]]" = None) -> Tuple[float, int, int, int]:
        t = self.tolerance
        lower, upper, error = out if out is not None else (None, None, None)
        return _native.check_band(reference.time, reference.values(self.name), actual.time,
                                  actual.values(self.name), self.begin, self.end, t["atol"], t["rtol"],
                                  t["range_rtol"], self.half_width, interpolation == "previous",
                                  lower, upper, error)


def check_row(check: SignalCheck, reference: Series, actual: Series, interpolation: str) -> Dict[str, Any]:
    """One signal's row of the report."""
    nan = float("nan")
    max_error, outside, first, worst = check.run(reference, actual, interpolation)
    checked = check.end - check.begin
    at = actual.time
    message = check.message
    if outside and not message:
        message = (f"{outside} of {checked} points outside the band, the largest error {max_error:.6g} "
                   f"at time {at[worst]:.9g}")
    return {"signal": check.name, "ok": not message, "max_error": float(max_error),
            "outside": outside / checked if checked else (1.0 if message else 0.0),
            "first_outside": float(at[first]) if first >= 0 else nan,
            "worst_time": float(at[worst]) if worst >= 0 else nan, "missing": False, "message": message}


def missing_row(name: str) -> Dict[str, Any]:
    nan = float("nan")
    return {"signal": name, "ok": False, "max_error": nan, "outside": nan, "first_outside": nan,
            "worst_time": nan, "missing": True, "message": "missing from the actual"}


class Comparison:
    """What :func:`tolvane.compare` found: one row per signal of the reference.

    ``ok`` is True when every signal is within its tolerance; ``extra`` lists the signals found
    in the actual only; ``to_pandas()`` gives the rows; ``bands(name)`` one signal's band."""

    def __init__(self, reference: Plot, actual: Plot, settings: Settings, checks: Dict[str, SignalCheck],
                 rows: List[Dict[str, Any]], extra: List[str], series: Tuple[Series, Series]) -> None:
        self._reference = reference
        self._actual = actual
        self._settings = settings
        self._checks = checks
        self._rows = rows
        self._extra = extra
        self._series = series

    @property
    def ok(self) -> bool:
        """Whether every signal compared is within its tolerance (and none is missing)."""
        return all(row["ok"] for row in self._rows)

    @property
    def reference(self) -> Plot:
        return self._reference

    @property
    def actual(self) -> Plot:
        return self._actual

    @property
    def extra(self) -> List[str]:
        """The names of the signals found in the actual only."""
        return list(self._extra)

    @property
    def settings(self) -> Dict[str, Any]:
        """The tolerances used (the defaults, and the per-signal ones as given), the time range
        and the interpolation."""
        return self._settings.as_dict()

    def rows(self) -> List[Dict[str, Any]]:
        """The rows of to_pandas, as dicts."""
        return [dict(row) for row in self._rows]

    def __bool__(self) -> bool:
        raise TypeError("the truth of a Comparison is ambiguous: use .ok")

    def to_pandas(self) -> "pandas.DataFrame":
        """One row per signal of the reference: ``signal``, ``ok``, ``max_error`` (the largest
        error of a point of the actual, 0 inside the band), ``outside`` (the share of the
        actual's points checked that lie outside the band), ``first_outside`` and
        ``worst_time`` (the actual's times of the first point outside and of the largest error,
        NaN where none is), ``missing`` (the signal is not in the actual) and ``message``
        (why the signal failed, "" where it passed). Needs pandas."""
        from ._compare_report import rows_frame

        return rows_frame(self._rows, COLUMNS)

    def bands(self, name: str) -> "pandas.DataFrame":
        """One signal's band: a DataFrame indexed by the actual's times, with the columns
        ``actual`` (its float32 values), ``lower`` and ``upper`` (the band at each time) and
        ``error`` (0 inside the band); NaN at the points not checked (outside the time range
        compared). KeyError for a signal not compared or missing from the actual."""
        from ._tables import library

        pd = library("pandas", "pandas", "Comparison.bands()")
        check = self._checks.get(name)
        if check is None:
            raise KeyError(f"{name!r} is not a signal compared in both runs")
        reference, actual = self._series
        count = len(actual.time)
        out = tuple(np.full(count, np.nan) for _ in range(3))
        check.run(reference, actual, self._settings.interpolation, out)
        index = pd.Index(actual.time, name=actual.time_name)
        return cast("pandas.DataFrame", pd.DataFrame({"actual": actual.values(name), "lower": out[0],
                                                      "upper": out[1], "error": out[2]}, index=index))

    def failed(self) -> List[Dict[str, Any]]:
        return [dict(row) for row in self._rows if not row["ok"]]

    def __str__(self) -> str:
        from ._compare_report import summary

        head = f"{self._reference.path} vs {self._actual.path}"
        return summary(head, self._rows, self._extra)

    def __repr__(self) -> str:
        failed = sum(not row["ok"] for row in self._rows)
        return (f"<tolvane.Comparison {self._reference.path!r} vs {self._actual.path!r}: "
                f"{'ok' if self.ok else 'failed'}, {failed} of {len(self._rows)} signals outside>")

    def to_json(self) -> str:
        """The report as JSON text: ``ok``, ``reference``, ``actual``, ``tolerances`` (as used),
        ``signals`` (the rows of to_pandas; NaN as null, infinities as the strings "inf" and
        "-inf") and ``extra``."""
        from ._compare_report import json_text

        return json_text({"ok": self.ok, "reference": self._reference.path, "actual": self._actual.path,
                          "tolerances": self.settings, "signals": self._rows, "extra": self._extra})

    def to_junit(self, dest: "Union[str, os.PathLike[str], Any]") -> None:
        """Writes a JUnit XML report to ``dest`` (a path or a text file object): one test case per
        signal of the reference, with a ``failure`` element saying why where it failed."""
        from ._compare_report import junit_case, write_junit

        cases = [junit_case(self._reference.path, row) for row in self._rows]
        write_junit(dest, "tolvane.compare", cases)

    def to_html(self, dest: "Union[str, os.PathLike[str], Any]", *, all: bool = False,
                max_points: int = 2000) -> None:
        """Writes one self-contained HTML file to ``dest`` (a path or a text file object): the
        table of signals, and a drawing of each failed signal (of every signal with
        ``all=True``) against its band, at most ``max_points`` points across each, so that the
        file's size is bounded whatever the runs' length. It loads nothing from outside."""
        from ._compare_report import write_html

        write_html(dest, [("", self)], all=all, max_points=max_points)


def compare(reference: PlotSource, actual: PlotSource, *, atol: float = DEFAULT_TOLERANCES["atol"],
            rtol: float = DEFAULT_TOLERANCES["rtol"], range_rtol: float = DEFAULT_TOLERANCES["range_rtol"],
            time_atol: float = 0.0, time_rtol: float = 0.0, time_range: str = "reference",
            interpolation: str = "linear", signals: Optional[Iterable[str]] = None,
            tolerances: Optional[Mapping[str, Mapping[str, Any]]] = None) -> Comparison:
    """Checks every signal of ``actual`` against ``reference``; see :class:`Comparison`.

    Around every reference point stands a rectangle: half-width in time
    ``max(time_atol, time_rtol * (the reference's last time - its first))``, half-height
    ``max(atol, rtol * |value|, range_rtol * (max - min of that reference signal))``. The lower
    and upper envelopes of those rectangles, the reference running from point to point
    (``interpolation="linear"``, or held to the next point: ``"previous"``), are the band; each
    point of the actual is checked against the band at its time, its error
    ``max(0, y - upper) - min(0, y - lower)``. Blocks of the same time are an event: the band does
    not run across it, and the actual's points at that time meet the reference's on the same side.

    Args:
        reference, actual: Plots, or anything :func:`tolvane.read` takes.
        atol, rtol, range_rtol, time_atol, time_rtol: the default tolerances (see above).
        time_range: ``"reference"``: a signal fails where the actual does not cover the
            reference's time range (within the time tolerance); ``"common"``: only the range
            both cover is compared.
        interpolation: ``"linear"`` or ``"previous"`` (zero-order hold), the band between points.
        signals: the names (or shell-style patterns) of the reference's signals to compare;
            ``None`` for every one. One that matches no signal of the reference raises KeyError.
        tolerances: names or shell-style patterns of signals to dicts of tolerances
            (``{"TORQUE*": {"atol": 0.5}}``) over the defaults: every pattern that matches in the
            mapping's order, then the signal's own name.
    """
    settings = Settings.checked(atol, rtol, range_rtol, time_atol, time_rtol, time_range, interpolation,
                                signals, tolerances)
    return compare_plots(load(reference), load(actual), settings)


def chosen_signals(names: Sequence[str], patterns: Optional[List[str]]) -> List[str]:
    if patterns is None:
        return list(names)
    chosen = []
    for pattern in patterns:
        matched = [name for name in names if name == pattern or fnmatchcase(name, pattern)]
        if not matched:
            raise KeyError(f"{pattern!r} names no signal of the reference")
        chosen.extend(matched)
    return list(dict.fromkeys(chosen))


def compare_plots(reference_plot: Plot, actual_plot: Plot, settings: Settings,
                  threads: Optional[int] = None) -> Comparison:
    """The comparison of two Plots; the signals checked on up to `threads` threads at once (the
    check runs without the GIL; None: the cores the process may run on, for runs of
    PARALLEL_POINTS points or more)."""
    reference = Series(reference_plot)
    actual = Series(actual_plot)
    if len(reference.time) == len(actual.time) and np.array_equal(reference.time, actual.time):
        actual.time = reference.time  # one grid: the check then goes block by block, nothing searched
    names = chosen_signals(list(reference.column), settings.signals)
    checks: Dict[str, SignalCheck] = {}
    for name in names:
        if name in actual.column:
            tolerance = tolerance_of(name, settings.defaults, settings.overrides)
            checks[name] = SignalCheck(name, tolerance, reference, actual, settings.time_range)

    def row(name: str) -> Dict[str, Any]:
        check = checks.get(name)
        return missing_row(name) if check is None else check_row(check, reference, actual, settings.interpolation)

    if threads is None:
        threads = len(os.sched_getaffinity(0)) if len(actual.time) >= PARALLEL_POINTS else 1
    if threads > 1 and len(checks) > 1:
        with ThreadPoolExecutor(max_workers=min(threads, len(checks))) as pool:
            rows = list(pool.map(row, names))
    else:
        rows = [row(name) for name in names]
    extra = [name for name in actual.column if name not in reference.column]
    return Comparison(reference_plot, actual_plot, settings, checks, rows, extra, (reference, actual))
