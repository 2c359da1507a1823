"""One plot file reduced to the few numbers that read_many.py collects: for every signal (the
time included) its first, last, smallest and largest value. This runs in read_many.py's worker
processes and on Dask workers, so what it returns is plain dicts, lists, str and float, which
pickle anywhere."""

from __future__ import annotations

import contextlib
from typing import Optional, TypedDict

from .plot_read import ReadFailure, read_plot
from .plot_rules import read_lines, tokens


class SignalSummary(TypedDict):
    name: str
    first: Optional[float]  # None: the file has no block
    last: Optional[float]
    min: Optional[float]  # min and max skip NaN; NaN if every value is NaN
    max: Optional[float]


class FileSummary(TypedDict):
    file: str
    signals: list[SignalSummary]
    error: Optional[str]  # quorel's message if the file does not read; then no signals


def summarize_file(path: str, width: int, keep_report: bool = False) -> FileSummary:
    """Read path with quorel (see plot_read.read_plot for keep_report) and summarise it."""
    try:
        time, columns = read_plot(path, width, keep_report=keep_report)
    except ReadFailure as failure:
        return {"file": path, "signals": [], "error": str(failure)}
    series = [time, *columns]
    names = parameter_names(path, len(series))
    return {"file": path, "signals": [summarize(name, values) for name, values in zip(names, series)],
            "error": None}


def summarize(name: str, values: list[float]) -> SignalSummary:
    if not values:
        return {"name": name, "first": None, "last": None, "min": None, "max": None}
    numbers = values
    # min() and max() pass over a NaN, since it compares false, except a NaN in first place,
    # which they would keep to the end.
    if values[0] != values[0]:
        numbers = [value for value in values if value == value] or values[:1]
    return {"name": name, "first": values[0], "last": values[-1], "min": min(numbers), "max": max(numbers)}


def parameter_names(path: str, count: int) -> list[str]:
    """The names of a file's first count parameters, the time first: the last token of each name
    line, or "P<number>" for a blank one. Only for a file that quorel has read."""
    names = []
    with contextlib.closing(read_lines(path)) as lines:
        next(lines)  # the first line, with the count
        for number in range(1, count + 1):
            words = tokens(next(lines).decode("utf-8"))
            names.append(words[-1] if words else f"P{number}")
    return names
