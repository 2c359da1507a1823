"""Typed use of tolvane, checked with ``mypy --strict`` by tools/check_types.sh.

Nothing here runs at import; the file exists so that mypy proves the installed type
information says what callers rely on.  Each annotated assignment fails the check if the
declared result type drifts, and each ``# type: ignore[...]`` fails it (as an unused ignore,
which --strict reports) if a wrong call stops being an error.
"""

from __future__ import annotations

import gzip
import io
import pathlib
from typing import Iterator, List, Optional, Tuple

import numpy as np
import numpy.typing as npt
import pandas as pd

import tolvane

Floats = npt.NDArray[np.float32]


def read_all(path: str) -> None:
    plot: tolvane.Plot = tolvane.read(path)
    file: str = plot.path
    width: int = plot.n_digits
    names: Tuple[str, ...] = plot.names
    title: str = plot.title
    name_lines: Tuple[str, ...] = plot.name_lines
    time: Floats = plot.time
    speed: Floats = plot["SPEED"]
    second: Floats = plot[1]
    field: int = plot.field_of("SPEED")
    blocks: int = len(plot)
    has_speed: bool = "SPEED" in plot
    keys: Iterator[str] = iter(plot)
    read_names: List[str] = list(plot)
    table: Floats = plot.to_numpy()
    frame: pd.DataFrame = plot.to_pandas()
    last: Floats = plot[-1]
    page: str = plot._repr_html_()
    completions: List[str] = plot._ipython_key_completions_()
    print(file, width, names, title, name_lines, time, speed, second, field, blocks, has_speed, keys, read_names,
          table, frame, last, page, completions)

    # Paths as str, bytes or path objects; the width by keyword; columns by name and index;
    # a thread count or None.
    tolvane.read(path.encode(), 12)
    tolvane.read(pathlib.Path(path), n_digits=15)
    tolvane.read(path, None, columns=["SPEED", 2], threads=4)
    tolvane.read(path, threads=None)
    tolvane.read(path, columns=(name for name in ("SPEED", "TORQUE")))
    # Sources besides local paths: binary file objects and URLs, compressed or not.
    with open(path, "rb") as stream:
        tolvane.read(stream)
    tolvane.read(io.BytesIO(b""), compression=None)
    tolvane.read(gzip.open(path), 12)
    tolvane.read("s3://bucket/run42.plt.zst", compression="zstd", storage_options={"anon": True})
    damaged: tolvane.CompressionError = tolvane.CompressionError("run.plt.gz", 9, "gzip", True)
    cut: bool = damaged.cut
    print(cut)

    exported: List[str] = tolvane.__all__
    version: str = tolvane.__version__
    print(exported, version)


def read_cut_and_windows(path: str) -> None:
    # A file cut short, kept; a Plot's slices; a handle's windows and updates.
    kept: tolvane.Plot = tolvane.read(path, incomplete="keep")
    cut: Optional[tolvane.FormatError] = kept.incomplete
    part: tolvane.Plot = kept[10:20:2]
    with tolvane.open(path, columns=["SPEED"]) as f:
        handle: tolvane.PlotFile = f
        count: int = len(f)
        width: Optional[int] = f.n_digits
        last: tolvane.Plot = f.read(blocks=slice(-100, None))
        by_time: tolvane.Plot = f.read(time=(4.9, 5.1), columns=["TORQUE", 3])
        chosen: tolvane.Plot = f.read(blocks=[1, 2, 3])
        new: tolvane.Plot = f.update()
        for more in f.follow(interval=0.5, timeout=1.0):
            following: tolvane.Plot = more
            print(following)
        print(handle, count, width, last, by_time, chosen, new)
    print(cut, part)
    tolvane.read(path, incomplete=True)  # type: ignore[arg-type]
    tolvane.open(path).read(blocks=3)  # type: ignore[arg-type]


def read_sweeps(path: str) -> None:
    # A list of paths, or one path: a file, or a glob pattern.
    sweep: pd.DataFrame = tolvane.read_many([path, path.encode(), pathlib.Path(path)])
    pattern: pd.DataFrame = tolvane.read_many("sweep/*.plt", 12, columns=["SPEED", 2], threads=2,
                                              on_error="skip", progress=False)
    tolvane.read_many(pathlib.Path("sweep") / "*.plt")
    tolvane.read_many(name for name in (path,))
    print(sweep, pattern)


def compare_runs(path: str, plot: tolvane.Plot) -> bool:
    # A path or a Plot on either side; the tolerances, per signal too; the reports.
    result: tolvane.Comparison = tolvane.compare(path, plot, rtol=1e-3, time_atol=1e-4, interpolation="previous",
                                                 signals=["SPEED"], tolerances={"TORQUE*": {"atol": 0.5}})
    rows: pd.DataFrame = result.to_pandas()
    band: pd.DataFrame = result.bands("SPEED")
    extra: List[str] = result.extra
    report: str = result.to_json()
    result.to_junit(pathlib.Path("compare.xml"))
    result.to_html("compare.html", all=True)
    sweep: tolvane.SweepComparison = tolvane.compare_many("reference", pathlib.Path("today"), threads=2)
    print(rows, band, extra, report, sweep.to_pandas())
    tolvane.compare(path, path, rtol="0.1")  # type: ignore[arg-type]
    return result.ok and sweep.ok


def read_or_report(path: str) -> Optional[tolvane.Plot]:
    # FormatError is a ValueError that says where; OSError comes as open() raises it.
    try:
        return tolvane.read(path)
    except tolvane.FormatError as error:
        as_value_error: ValueError = error
        where: Tuple[str, int] = (error.path, error.line)
        reason: str = error.reason
        block: Optional[int] = error.block
        field: Optional[int] = error.field
        name: Optional[str] = error.name
        span: Optional[Tuple[int, int]] = error.span
        print(as_value_error, where, reason, block, field, name, span)
        return None
    except OSError:
        return None


def write_all(path: str, plot: tolvane.Plot) -> None:
    # Paths of every kind or a binary file object; a Plot, a mapping of arrays or a table; the
    # width, the title, the names, the threads and the compression.
    tolvane.write(path, plot)
    tolvane.write(pathlib.Path(path), {"TIME": np.zeros(3, np.float32)}, 12, title="RUN 7")
    tolvane.write(path.encode(), plot.to_pandas(), n_digits=15, names=["T", "A"], threads=2)
    with open(path, "wb") as stream:
        tolvane.write(stream, plot, threads=None, compression="gzip")


def made_error() -> tolvane.FormatError:
    return tolvane.FormatError("run42.plt", 21, "the field is blank", block=2, field=4,
                               name="VOLTAGE", span=(48, 60))


def wrong_calls(path: str) -> None:
    tolvane.read(42)  # type: ignore[arg-type]
    tolvane.read(path, 12.0)  # type: ignore[arg-type]
    tolvane.read(path, "12")  # type: ignore[arg-type]
    tolvane.read(path, 12, ["SPEED"])  # type: ignore[call-arg]
    tolvane.read(path, width=12)  # type: ignore[call-arg]
    tolvane.read(path, columns=[1.5])  # type: ignore[list-item]
    tolvane.read(path, threads="4")  # type: ignore[arg-type]
    tolvane.read(path, 12, None, 4)  # type: ignore[call-arg]
    tolvane.read_many(42)  # type: ignore[arg-type]
    tolvane.read(path, compression=6)  # type: ignore[arg-type]
    tolvane.read(path, storage_options=["anon"])  # type: ignore[arg-type]
    with open(path) as text_file:
        tolvane.read(text_file)  # type: ignore[arg-type]
    tolvane.read_many([path], on_error=False)  # type: ignore[arg-type]
    plot = tolvane.read(path)
    plot[1.5]  # type: ignore[call-overload]
    plot.names = ()  # type: ignore[misc]
    plot.title = ""  # type: ignore[misc]
    text: str = plot["SPEED"]  # type: ignore[assignment]
    ints: npt.NDArray[np.int32] = plot.to_numpy()  # type: ignore[assignment]
    rows: List[List[float]] = plot.to_pandas()  # type: ignore[assignment]
    tolvane.FormatError("run42.plt", "21", "the field is blank")  # type: ignore[arg-type]
    tolvane.write(path, plot, "12")  # type: ignore[arg-type]
    tolvane.write(path, plot, 12, "RUN 7")  # type: ignore[call-arg]
    tolvane.write(path, plot, title=7)  # type: ignore[arg-type]
    tolvane.write(path, plot, threads="2")  # type: ignore[arg-type]
    print(text, ints, rows)
