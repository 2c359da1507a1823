"""The reports of a comparison: the terminal's summary, JSON, JUnit XML and a self-contained
HTML file; for one pair of runs and for a sweep alike (the rows of a sweep start with `path`)."""

from __future__ import annotations

import html
import json
import math
import os
import xml.etree.ElementTree as ET
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Sequence, TextIO, Tuple, cast

import numpy as np

if TYPE_CHECKING:
    import numpy.typing as npt
    import pandas

    from ._compare import Comparison

# The columns of a comparison's rows (Comparison.to_pandas).
COLUMNS = ("signal", "ok", "max_error", "outside", "first_outside", "worst_time", "missing", "message")
# The columns of the terminal's table of failed signals.
TABLE_COLUMNS = ("signal", "max_error", "outside", "first_outside", "worst_time", "message")
# An HTML report draws at most this many signals; the table lists every one.
HTML_MAX_SIGNALS = 100
SVG_WIDTH = 900
SVG_HEIGHT = 220


def rows_frame(rows: Sequence[Dict[str, Any]], columns: Sequence[str]) -> "pandas.DataFrame":
    from ._tables import library

    pd = library("pandas", "pandas", "Comparison.to_pandas()")
    frame = pd.DataFrame(list(rows), columns=list(columns))
    return cast("pandas.DataFrame", frame.astype({"ok": bool, "missing": bool, "max_error": float,
                                                  "outside": float, "first_outside": float, "worst_time": float}))


def _cell(value: Any) -> str:
    if isinstance(value, float):
        return f"{value:.6g}"
    return str(value)


def table(rows: Sequence[Dict[str, Any]], columns: Sequence[str]) -> str:
    """A plain text table, its columns as wide as their widest cell."""
    cells = [[str(column) for column in columns]] + [[_cell(row[c]) for c in columns] for row in rows]
    widths = [max(len(line[i]) for line in cells) for i in range(len(columns))]
    return "\n".join("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip() for line in cells)


def summary(head: str, rows: Sequence[Dict[str, Any]], extra: Sequence[str],
            columns: Sequence[str] = TABLE_COLUMNS) -> str:
    failed = [row for row in rows if not row["ok"]]
    lines = [f"{head}: {'ok' if not failed else 'FAILED'}, {len(failed)} of {len(rows)} outside tolerance"]
    if failed:
        lines.append(table(failed, columns))
    if extra:
        lines.append("only in the actual: " + ", ".join(extra))
    return "\n".join(lines)


def _plain(value: Any) -> Any:
    """A value of a row as strict JSON takes it: NaN as null, infinities as strings."""
    if isinstance(value, (float, np.floating)):
        number = float(value)
        if math.isnan(number):
            return None
        if math.isinf(number):
            return "inf" if number > 0 else "-inf"
        return number
    if isinstance(value, np.bool_):
        return bool(value)
    if isinstance(value, np.integer):
        return int(value)
    if isinstance(value, dict):
        return {key: _plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    return value


def json_text(report: Dict[str, Any]) -> str:
    return json.dumps(_plain(report), indent=1, allow_nan=False)


@contextmanager
def text_destination(dest: Any) -> Iterator[TextIO]:
    """A path (opened, written, closed) or a text file object (written, left open)."""
    if hasattr(dest, "write"):
        yield dest
        return
    with open(os.fspath(dest), "w", encoding="utf-8") as stream:
        yield stream


def junit_case(classname: str, row: Dict[str, Any]) -> Tuple[str, str, Optional[str]]:
    if row["ok"]:
        return classname, row["signal"], None
    return classname, row["signal"], row["message"] or "outside tolerance"


def write_junit(dest: Any, suite: str, cases: Sequence[Tuple[str, str, Optional[str]]]) -> None:
    """JUnit XML as pytest's --junitxml writes it: testsuites, one testsuite, a testcase per
    signal, a failure element in each that failed."""
    failures = sum(message is not None for _, _, message in cases)
    root = ET.Element("testsuites")
    element = ET.SubElement(root, "testsuite", name=suite, tests=str(len(cases)), failures=str(failures),
                            errors="0", skipped="0")
    for classname, name, message in cases:
        case = ET.SubElement(element, "testcase", classname=classname, name=name, time="0")
        if message is not None:
            failure = ET.SubElement(case, "failure", message=message)
            failure.text = message
    text = ET.tostring(root, encoding="unicode")
    with text_destination(dest) as stream:
        stream.write('<?xml version="1.0" encoding="utf-8"?>\n' + text + "\n")


def _bins(values: "npt.NDArray[Any]", edges: "npt.NDArray[np.intp]", reduce: Any) -> "npt.NDArray[np.float64]":
    return np.asarray(reduce.reduceat(values.astype(np.float64), edges[:-1]), dtype=np.float64)


def decimated(time: "npt.NDArray[np.float64]", actual: "npt.NDArray[Any]", lower: "npt.NDArray[np.float64]",
              upper: "npt.NDArray[np.float64]", error: "npt.NDArray[np.float64]", begin: int, end: int,
              max_points: int) -> Dict[str, "npt.NDArray[np.float64]"]:
    """At most max_points bins of consecutive points: each bin's first time, the actual's least
    and greatest values, the band's lowest lower and highest upper, and its largest error (so that
    no spike and no point outside is lost)."""
    count = end - begin
    bins = max(1, min(max_points, count))
    edges = np.unique(np.linspace(begin, end, bins + 1).astype(np.intp))
    return {"time": time[edges[:-1]], "low": _bins(actual, edges, np.fmin), "high": _bins(actual, edges, np.fmax),
            "lower": _bins(lower, edges, np.fmin), "upper": _bins(upper, edges, np.fmax),
            "error": _bins(error, edges, np.fmax)}


def _path(xs: "npt.NDArray[np.float64]", ys: "npt.NDArray[np.float64]") -> str:
    """An SVG path through the points, broken where a value is not finite."""
    parts = []
    pen_down = False
    for x, y in zip(xs.tolist(), ys.tolist()):
        if not math.isfinite(y):
            pen_down = False
            continue
        parts.append(f"{'L' if pen_down else 'M'}{x:.1f} {y:.1f}")
        pen_down = True
    return "".join(parts)


def svg(points: Dict[str, "npt.NDArray[np.float64]"]) -> str:
    """One signal drawn: the band filled, the actual's range of each bin as a line, the bins
    with points outside marked."""
    time = points["time"]
    every = np.concatenate([points[key] for key in ("low", "high", "lower", "upper")])
    finite = every[np.isfinite(every)]
    if not len(time) or not len(finite):
        return "<p>nothing finite to draw</p>"
    y0, y1 = float(finite.min()), float(finite.max())
    if y1 == y0:
        y0, y1 = y0 - 1.0, y1 + 1.0
    t0, t1 = float(time[0]), float(time[-1])
    span = t1 - t0 if t1 > t0 else 1.0
    pad = 6.0
    x = pad + (time - t0) / span * (SVG_WIDTH - 2 * pad)

    def y(v: "npt.NDArray[np.float64]") -> "npt.NDArray[np.float64]":
        with np.errstate(invalid="ignore", over="ignore"):
            return np.asarray(pad + (y1 - np.clip(v, y0, y1)) / (y1 - y0) * (SVG_HEIGHT - 2 * pad), dtype=np.float64)

    upper, lower = y(points["upper"]), y(points["lower"])
    band = _path(np.concatenate([x, x[::-1]]), np.concatenate([upper, lower[::-1]]))
    line_x = np.repeat(x, 2)
    line_y = np.column_stack([y(points["low"]), y(points["high"])]).ravel()
    bad = points["error"] > 0
    marks = "".join(f'<circle cx="{cx:.1f}" cy="{cy:.1f}" r="2"/>'
                    for cx, cy in zip(x[bad].tolist(), y(points["high"])[bad].tolist()) if math.isfinite(cy))
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{SVG_WIDTH}" height="{SVG_HEIGHT}" '
            f'viewBox="0 0 {SVG_WIDTH} {SVG_HEIGHT}">'
            f'<rect width="100%" height="100%" fill="#fff" stroke="#ccc"/>'
            f'<path d="{band}" fill="#9cc3e6" fill-opacity="0.6" stroke="none"/>'
            f'<path d="{_path(line_x, line_y)}" fill="none" stroke="#222" stroke-width="1"/>'
            f'<g fill="#d00">{marks}</g>'
            f'<text x="{pad}" y="{SVG_HEIGHT - 1}" font-size="10">{html.escape(f"{t0:.6g}")}</text>'
            f'<text x="{SVG_WIDTH - pad}" y="{SVG_HEIGHT - 1}" font-size="10" text-anchor="end">'
            f'{html.escape(f"{t1:.6g}")}</text>'
            f'<text x="{pad}" y="12" font-size="10">{html.escape(f"{y1:.6g}")}</text>'
            f'<text x="{pad}" y="{SVG_HEIGHT - 12}" font-size="10">{html.escape(f"{y0:.6g}")}</text></svg>')


STYLE = ("body{font-family:sans-serif;margin:1em}table{border-collapse:collapse}"
         "td,th{border:1px solid #ccc;padding:2px 6px;text-align:left}.fail{color:#b00}"
         "h2{font-size:1.1em;margin-top:1.5em}")


def _html_table(rows: Sequence[Dict[str, Any]], columns: Sequence[str]) -> str:
    head = "".join(f"<th>{html.escape(c)}</th>" for c in columns)
    body = "".join(
        f'<tr class="{"" if row["ok"] else "fail"}">'
        + "".join(f"<td>{html.escape(_cell(row[c]))}</td>" for c in columns) + "</tr>"
        for row in rows)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def write_html(dest: Any, comparisons: Sequence[Tuple[str, "Comparison"]], *, all: bool, max_points: int,
               head_rows: Optional[Sequence[Dict[str, Any]]] = None) -> None:
    """The HTML report of one or more comparisons (a sweep's, each under its relative path)."""
    if isinstance(max_points, bool) or not isinstance(max_points, int) or max_points < 2:
        raise ValueError(f"max_points must be an int of at least 2, not {max_points!r}")
    parts = [f"<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>tolvane compare</title>"
             f"<style>{STYLE}</style></head><body>"]
    ok = all_ok = True
    for _, comparison in comparisons:
        all_ok = all_ok and comparison.ok
    parts.append(f"<h1>tolvane compare: {'ok' if all_ok else 'FAILED'}</h1>")
    if head_rows is not None:
        parts.append(_html_table(head_rows, list(head_rows[0]) if head_rows else ["path"]))
    drawn = 0
    for label, comparison in comparisons:
        title = f"{comparison.reference.path} vs {comparison.actual.path}"
        parts.append(f"<h2>{html.escape(label + ': ' if label else '')}{html.escape(title)}</h2>")
        rows = comparison.rows()
        parts.append(_html_table(rows, COLUMNS))
        for row in rows:
            ok = row["ok"]
            if row["missing"] or (ok and not all):
                continue
            if drawn >= HTML_MAX_SIGNALS:
                parts.append(f"<p>only the first {HTML_MAX_SIGNALS} signals are drawn</p>")
                break
            drawn += 1
            parts.append(f"<h3>{html.escape(row['signal'])}</h3>" + _signal_svg(comparison, row["signal"], max_points))
    parts.append("</body></html>\n")
    with text_destination(dest) as stream:
        stream.write("".join(parts))


def _signal_svg(comparison: "Comparison", name: str, max_points: int) -> str:
    check = comparison._checks[name]
    reference, actual = comparison._series
    count = len(actual.time)
    out = tuple(np.full(count, np.nan) for _ in range(3))
    check.run(reference, actual, comparison._settings.interpolation, out)
    if check.end <= check.begin:
        return "<p>no point of the actual in the time range compared</p>"
    points = decimated(actual.time, actual.values(name), out[0], out[1], out[2], check.begin, check.end,
                       max_points // 2)
    return svg(points)
