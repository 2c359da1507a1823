"""The view as one self-contained HTML file that zooms offline: plotly.js, the page's own
script and style, and each signal's min/max pyramid inlined; the page re-aggregates the level
that fits each zoom, per pixel column. Its size is bounded whatever the file's length: the
levels share DATA_BYTES; a file that fits whole there is inlined sample by sample."""

from __future__ import annotations

import base64
import html
import json
from typing import TYPE_CHECKING, Any, Dict, List, Sequence

import numpy as np

from .decimate import BIN, Pyramid
from .page import asset, body_html

if TYPE_CHECKING:
    import numpy.typing as npt

# The bytes of samples and bins inlined, before base64: with plotly.js (under 5 MB), the file
# stays under 10 MB.
DATA_BYTES = 3_300_000
# Each level has this many times fewer bins than the one below; the coarsest has at most TOP.
FACTOR = 4
TOP = 512
# Per bin and signal: the minimum and maximum (float32 each) and their times (float64 each).
BIN_BYTES = 24


def _b64(array: "npt.NDArray[Any]", dtype: str) -> str:
    return base64.b64encode(np.ascontiguousarray(array, dtype=dtype).tobytes()).decode("ascii")


def _level_zero(pyramid: Pyramid) -> Dict[str, "npt.NDArray[Any]"]:
    """Level 0 as entries: per bin (and per sample of the raw tail), the minimum, the maximum
    and their times, one row per signal."""
    p = pyramid
    rows = len(p.source.fields)
    bins = p._first_time.size
    block_min = np.arange(bins)[None, :] * BIN + p._argmin.view.astype(np.int64)
    block_max = np.arange(bins)[None, :] * BIN + p._argmax.view.astype(np.int64)
    tail_times = np.broadcast_to(p._tail_times, (rows, len(p._tail_times)))
    query = _Placer(p)
    return {"min": np.concatenate([p._min.view, p._tail_values], axis=1),
            "max": np.concatenate([p._max.view, p._tail_values], axis=1),
            "tmin": np.concatenate([query.time_of(block_min), tail_times], axis=1),
            "tmax": np.concatenate([query.time_of(block_max), tail_times], axis=1)}


class _Placer:
    """The time of a block inside a whole bin (the decimation's rule)."""

    def __init__(self, pyramid: Pyramid) -> None:
        self.p = pyramid

    def time_of(self, blocks: "npt.NDArray[np.int64]") -> "npt.NDArray[np.float64]":
        p = self.p
        if not p.rising:
            return blocks.astype(np.float64)
        if blocks.size == 0:
            return np.empty(blocks.shape)
        bins = blocks // BIN
        first, last = p._first_time.view[bins], p._last_time.view[bins]
        placed: "npt.NDArray[np.float64]" = np.minimum(first + (last - first) * ((blocks - bins * BIN) / (BIN - 1)), last)
        return placed


def _coarser(level: Dict[str, "npt.NDArray[Any]"], k: int) -> Dict[str, "npt.NDArray[Any]"]:
    """The next level: every k entries as one."""
    rows, n = level["min"].shape
    groups = -(-n // k)
    pad = groups * k - n
    out: Dict[str, "npt.NDArray[Any]"] = {}
    for value, time, pick, fill in (("min", "tmin", np.argmin, np.inf), ("max", "tmax", np.argmax, -np.inf)):
        values = np.pad(level[value], ((0, 0), (0, pad)), constant_values=fill).reshape(rows, groups, k)
        times = np.pad(level[time], ((0, 0), (0, pad)), mode="edge").reshape(rows, groups, k)
        at = pick(values, axis=2)[..., None]
        out[value] = np.take_along_axis(values, at, axis=2)[..., 0]
        out[time] = np.take_along_axis(times, at, axis=2)[..., 0]
    return out


def source_data(pyramid: Pyramid, budget: int) -> Dict[str, Any]:
    """One source's part of the page's data, in at most about `budget` bytes."""
    source = pyramid.source
    rows = len(source.fields)
    start, end = pyramid.span()
    data: Dict[str, Any] = {"label": source.label, "names": list(source.names), "time": source.time_name,
                            "blocks": pyramid.count, "start": start, "end": end, "rising": pyramid.rising}
    if rows == 0 or pyramid.count == 0:
        data["raw"] = {"times": "", "values": []}
        return data
    if pyramid.count * (8 + 4 * rows) <= budget:
        times, values = source.blocks(np.arange(pyramid.count, dtype=np.int64), source.fields)
        if not pyramid.rising:
            times = np.arange(pyramid.count, dtype=np.float64)
        data["raw"] = {"times": _b64(times, "<f8"), "values": [_b64(v, "<f4") for v in values]}
        return data
    level = _level_zero(pyramid)
    finest = max(TOP, budget * (FACTOR - 1) // FACTOR // (BIN_BYTES * rows))
    entries = level["min"].shape[1]
    if entries > finest:
        level = _coarser(level, -(-entries // finest))
    levels: List[Dict[str, Any]] = []
    while True:
        levels.append({"count": int(level["min"].shape[1]),
                       "min": [_b64(v, "<f4") for v in level["min"]], "max": [_b64(v, "<f4") for v in level["max"]],
                       "tmin": [_b64(v, "<f8") for v in level["tmin"]], "tmax": [_b64(v, "<f8") for v in level["tmax"]]})
        if level["min"].shape[1] <= TOP:
            break
        level = _coarser(level, FACTOR)
    data["levels"] = levels
    return data


def offline_html(pyramids: Sequence[Pyramid], title: str) -> bytes:
    """The whole page, one file, nothing outside it."""
    signals = sum(max(1, len(p.source.fields)) for p in pyramids)
    sources = [source_data(p, DATA_BYTES * max(1, len(p.source.fields)) // signals) for p in pyramids]
    data = json.dumps({"title": title, "follow": False, "generation": 0, "sources": sources})
    # Nothing in the inlined text may close its element early.
    data = data.replace("</", "<\\/")
    script = asset("view.js").decode().replace("</script", "<\\/script")
    plotly = asset("plotly.min.js").decode().replace("</script", "<\\/script")
    style = asset("view.css").decode()
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>
<link rel="icon" href="data:,">
<style>{style}</style>
<script>{plotly}</script>
<script id="tolvane-data" type="application/json">{data}</script>
</head><body><div id="view" data-offline="1">
{body_html(False)}</div>
<script>{script}</script></body></html>
""".encode()
