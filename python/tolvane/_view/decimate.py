"""The view's decimation: a min/max pyramid of a plot's signals, and the points to draw for a
window of time at a width in pixels.

Level 0 keeps, for every bin of BIN blocks and every signal, the minimum and the maximum and
where in the bin each lies; the bins' first and last times place them. A window is answered
per pixel column (M4): its first, minimum, maximum and last sample, so that the line drawn is
the line of every sample. Whole bins inside a column give their extremes; the bins a column
edge cuts are read from the source, so that each column's extremes, first and last are
exactly its own samples'. A window of fewer samples than 4 x pixels gets its raw samples.

Times are taken to never decrease (as simulators write them); where they do decrease, the
block number stands in for the time (``rising`` is False)."""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Any, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from .sources import BIN, Source

if TYPE_CHECKING:
    import numpy.typing as npt

# A window of at most this many blocks is read whole, its columns reduced from its samples.
READ_WHOLE = 1 << 16


def _unique(numbers: "npt.NDArray[np.int64]") -> "npt.NDArray[np.int64]":
    """The distinct numbers, ascending: np.unique's answer, without the import of numpy.ma that
    np.unique makes on its first call (numpy 2.4), which the first picture would wait for."""
    ordered = np.sort(numbers)
    return ordered[np.append(True, ordered[1:] != ordered[:-1])] if len(ordered) else ordered


class Drawn(NamedTuple):
    """What a window's query gives: per signal asked for, the times and values to draw; `raw`
    when they are every sample of the window (with the one before and the one after)."""
    x: List["npt.NDArray[np.float64]"]
    y: List["npt.NDArray[np.float32]"]
    raw: bool
    first: int  # the window's first block and the block after its last
    end: int


class _Growing:
    """An array grown along its last axis, in place while it has room."""

    def __init__(self, rows: Optional[int], dtype: Any) -> None:
        self._rows = rows
        self._data = np.empty(self._shape(0), dtype=dtype)
        self.size = 0

    def _shape(self, columns: int) -> Tuple[int, ...]:
        return (columns,) if self._rows is None else (self._rows, columns)

    def append(self, more: "npt.NDArray[Any]") -> None:
        need = self.size + more.shape[-1]
        if need > self._data.shape[-1]:
            grown = np.empty(self._shape(max(need, self._data.shape[-1] * 3 // 2, 256)),
                             dtype=self._data.dtype)
            grown[..., :self.size] = self._data[..., :self.size]
            self._data = grown
        self._data[..., self.size:need] = more
        self.size = need

    def reserve(self, columns: int) -> None:
        """Room for `columns` in all, so that growing to them copies nothing."""
        if columns > self._data.shape[-1]:
            grown = np.empty(self._shape(columns), dtype=self._data.dtype)
            grown[..., :self.size] = self._data[..., :self.size]
            self._data = grown

    @property
    def view(self) -> "npt.NDArray[Any]":
        return self._data[..., :self.size]


class Pyramid:
    """The min/max bins of one source's signals, folded in a window of blocks at a time (and
    again as a followed file grows); the blocks after the last whole bin are kept raw."""

    def __init__(self, source: Source) -> None:
        self.source = source
        rows = len(source.fields)
        self._first_time = _Growing(None, np.float64)
        self._last_time = _Growing(None, np.float64)
        self._min = _Growing(rows, np.float32)
        self._max = _Growing(rows, np.float32)
        self._argmin = _Growing(rows, np.uint8)
        self._argmax = _Growing(rows, np.uint8)
        self._tail_times: "npt.NDArray[np.float64]" = np.empty(0)
        self._tail_values: "npt.NDArray[np.float32]" = np.empty((rows, 0), dtype=np.float32)
        self.rising = True
        self.count = 0
        self.lock = threading.Lock()

    # ------------------------------------------------------------ building

    def extend(self) -> int:
        """Folds in the blocks the source has completed since; how many there were."""
        added = 0
        bins = (self.count + self.source.pending()) // BIN
        with self.lock:
            for array in (self._first_time, self._last_time, self._min, self._max, self._argmin, self._argmax):
                array.reserve(bins)
        for times, values in self.source.new_blocks():
            with self.lock:
                self._fold(times, values)
            added += len(times)
        return added

    def _fold(self, times: "npt.NDArray[np.float64]", values: "npt.NDArray[np.float32]") -> None:
        if len(times) == 0:
            return
        if self.rising:
            before = self._tail_times[-1:] if len(self._tail_times) else self._last_time.view[-1:]
            self.rising = bool(np.all(times[1:] >= times[:-1])) and (len(before) == 0 or bool(before[0] <= times[0]))
        if len(self._tail_times):  # else the window's own arrays, not a copy
            times = np.concatenate([self._tail_times, times])
            values = np.concatenate([self._tail_values, values], axis=1)
        whole = len(times) // BIN * BIN
        rows = values.shape[0]
        bins = values[:, :whole].reshape(-1, BIN)  # a copy only where the rows are not contiguous
        # Each extreme taken from where argmin/argmax found it (the first of equal values, NaN
        # first of all), by its place in the bins laid end to end.
        starts = np.arange(0, bins.size, BIN)
        flat = bins.reshape(-1)
        for extremes, places, find in ((self._min, self._argmin, bins.argmin),
                                       (self._max, self._argmax, bins.argmax)):
            at = find(axis=1)
            extremes.append(flat[at + starts].reshape(rows, -1))
            places.append(at.astype(np.uint8).reshape(rows, -1))
        self._first_time.append(times[0:whole:BIN])
        self._last_time.append(times[BIN - 1:whole:BIN])
        self._tail_times = times[whole:].copy()
        self._tail_values = values[:, whole:].copy()
        self.count = self._first_time.size * BIN + len(self._tail_times)

    def span(self) -> Tuple[float, float]:
        """The first and the last time (block numbers where times decrease); (0, 0) with no block."""
        with self.lock:
            if self.count == 0:
                return 0.0, 0.0
            if not self.rising:
                return 0.0, float(self.count - 1)
            first = self._first_time.view[0] if self._first_time.size else self._tail_times[0]
            last = self._tail_times[-1] if len(self._tail_times) else self._last_time.view[-1]
            return float(first), float(last)

    def nbytes(self) -> int:
        """The memory the bins take (the arrays' room, grown or not)."""
        arrays = (self._first_time, self._last_time, self._min, self._max, self._argmin, self._argmax)
        return sum(a._data.nbytes for a in arrays) + self._tail_values.nbytes + self._tail_times.nbytes

    # ------------------------------------------------------------ answering

    def window(self, t0: float, t1: float, width: int, rows: Sequence[int]) -> Drawn:
        """The points to draw of the signals ``rows`` (indices into the source's fields) for the
        blocks whose time t has t0 <= t <= t1, at ``width`` pixel columns of equal time: column
        k holds the times from t0 + k (t1 - t0) / width up to the next column's."""
        with self.lock:
            return _Query(self, t0, t1, max(1, int(width)), list(rows)).answer()


class _Query:
    """One window's answer, under the pyramid's lock."""

    def __init__(self, pyramid: Pyramid, t0: float, t1: float, width: int, rows: List[int]) -> None:
        self.p = pyramid
        self.rows = rows
        self.fields = [pyramid.source.fields[r] for r in rows]
        self.width = width
        self.t0, self.t1 = float(t0), float(t1)
        self.bins = pyramid._first_time.size

    def answer(self) -> Drawn:
        p = self.p
        if p.count == 0 or not self.t1 >= self.t0:
            return self._empty(0, 0)
        edges = self.t0 + (self.t1 - self.t0) * (np.arange(self.width + 1) / self.width)
        edges[-1] = self.t1
        if not p.rising:
            # Block numbers stand in for the times: each column's first block is known at once.
            blocks = np.clip(np.ceil(edges[:-1]), 0, p.count)
            blocks = np.append(blocks, np.clip(np.floor(self.t1) + 1, 0, p.count)).astype(np.int64)
            bins = _unique(blocks // BIN)
            raw = self._read_bins(bins[bins <= self.bins])
            raw = (raw[0], raw[0].astype(np.float64), raw[2])
        else:
            # Each edge's first block: the bins whose last time is below the edge come before
            # it, and the next bin holds it; reading that bin finds it.
            last_times = p._last_time.view
            holding = np.searchsorted(last_times, edges[:-1], side="left")
            holding = np.append(holding, np.searchsorted(last_times, self.t1, side="right"))
            raw = self._read_bins(_unique(holding))
            if len(raw[0]) == 0:
                return self._empty(p.count, p.count)
            at = np.searchsorted(raw[1], edges[:-1], side="left")
            at = np.append(at, np.searchsorted(raw[1], self.t1, side="right"))
            blocks = np.where(at < len(raw[0]), raw[0][np.minimum(at, len(raw[0]) - 1)], p.count)
        # The block before each edge: the last of the column before (and the point before the
        # window), where its bin was not read.
        before = _unique(blocks[blocks > 0] - 1)
        found = np.searchsorted(raw[0], before)
        before = before[(found == len(raw[0])) | (raw[0][np.minimum(found, len(raw[0]) - 1)] != before)]
        if len(before):
            more = self._read_span_at(before)
            raw = tuple(np.concatenate([a, b], axis=-1) for a, b in zip(raw, more))  # type: ignore[assignment]
            order = np.argsort(raw[0], kind="stable")
            raw = (raw[0][order], raw[1][order], raw[2][:, order])
        return self._from_edges(blocks.astype(np.int64), *raw)

    def _read_bins(self, bins: "npt.NDArray[np.int64]") -> Tuple["npt.NDArray[np.int64]",
                                                                  "npt.NDArray[np.float64]",
                                                                  "npt.NDArray[np.float32]"]:
        """The samples of whole bins `bins` (ascending; self.bins stands for the raw tail)."""
        p = self.p
        whole = bins[bins < self.bins]
        blocks = (whole[:, None] * BIN + np.arange(BIN)).ravel()
        times, values = p.source.blocks(blocks, self.fields)
        if len(bins) and bins[-1] == self.bins and len(p._tail_times):
            tail = np.arange(self.bins * BIN, p.count)
            blocks = np.concatenate([blocks, tail])
            times = np.concatenate([times, p._tail_times])
            values = np.concatenate([values, p._tail_values[self.rows]], axis=1)
        return blocks, times, values

    def _read_span_at(self, blocks: "npt.NDArray[np.int64]") -> Tuple["npt.NDArray[np.int64]",
                                                                      "npt.NDArray[np.float64]",
                                                                      "npt.NDArray[np.float32]"]:
        """The samples of blocks `blocks` (ascending, each once)."""
        p = self.p
        folded = self.bins * BIN
        inside = blocks[blocks < folded]
        times, values = p.source.blocks(inside, self.fields)
        tail = blocks[blocks >= folded] - folded
        times = np.concatenate([times, p._tail_times[tail]])
        values = np.concatenate([values, p._tail_values[np.array(self.rows)[:, None], tail]], axis=1)
        if not p.rising:
            times = blocks.astype(np.float64)
        return blocks, times, values

    def _read_span(self, first: int, end: int) -> Tuple["npt.NDArray[np.int64]", "npt.NDArray[np.float64]",
                                                        "npt.NDArray[np.float32]"]:
        """The samples of blocks first .. end - 1."""
        p = self.p
        folded = min(end, self.bins * BIN)
        blocks = np.arange(first, end, dtype=np.int64)
        times, values = p.source.blocks(np.arange(first, max(first, folded), dtype=np.int64), self.fields)
        if end > folded:
            start = max(first, folded) - folded
            times = np.concatenate([times, p._tail_times[start:end - folded]])
            values = np.concatenate([values, p._tail_values[self.rows, start:end - folded]], axis=1)
        if not p.rising:
            times = blocks.astype(np.float64)
        return blocks, times, values

    def _empty(self, first: int, end: int) -> Drawn:
        return Drawn([np.empty(0) for _ in self.rows], [np.empty(0, dtype=np.float32) for _ in self.rows],
                     True, first, end)

    def _from_edges(self, edges: "npt.NDArray[np.int64]", raw_blocks: "npt.NDArray[np.int64]",
                    raw_times: "npt.NDArray[np.float64]", raw_values: "npt.NDArray[np.float32]") -> Drawn:
        """The answer, once each column's first block is known (edges[k] for column k, and
        edges[-1] the block after the window)."""
        first, end = int(edges[0]), int(edges[-1])
        if end <= first:
            return self._empty(first, end)
        before, after = max(first - 1, 0), min(end + 1, self.p.count)
        if end - first <= 4 * self.width:
            _, times, values = self._read_span(before, after)
            return Drawn([times] * len(self.rows), list(values), True, first, end)
        interior = None
        if end - first <= READ_WHOLE:
            raw_blocks, raw_times, raw_values = self._read_span(before, after)
        elif self.p.count:
            interior = self._interior(edges)
        # The sample before the window and the one after, so that the line runs to the edges.
        beside = np.flatnonzero((raw_blocks == first - 1) | (raw_blocks == end))
        outside = (raw_times[beside], raw_values[:, beside])
        inside = (raw_blocks >= first) & (raw_blocks < end)
        raw_blocks, raw_times, raw_values = raw_blocks[inside], raw_times[inside], raw_values[:, inside]
        return self._columns(edges, raw_blocks, raw_times, raw_values, interior, outside)

    def _interior(self, edges: "npt.NDArray[np.int64]") -> "Optional[Tuple[Any, ...]]":
        """Each column's extremes over the whole bins inside it: (columns, min, block of min,
        max, block of max), the blocks (S, n) per row."""
        p = self.p
        low = -(-edges[:-1] // BIN)
        high = np.minimum(edges[1:] // BIN, self.bins)
        columns = np.flatnonzero(high > low)
        if len(columns) == 0:
            return None
        low, high = low[columns], high[columns]
        lo, hi = int(low[0]), int(high[-1])
        # reduceat over [low, high) pairs: the odd pieces (the cut bins between) are dropped;
        # one extra bin at the end, for the last pair's end.
        cuts = np.empty(2 * len(low), dtype=np.int64)
        cuts[0::2], cuts[1::2] = low - lo, high - lo
        lengths = np.diff(np.append(cuts, hi + 1 - lo))
        positions = np.arange(hi + 1 - lo, dtype=np.int32)
        found = []
        for values, offsets, reduce in ((p._min.view, p._argmin.view, np.minimum),
                                        (p._max.view, p._argmax.view, np.maximum)):
            extremes = np.empty((len(self.rows), len(columns)), dtype=np.float32)
            blocks = np.empty((len(self.rows), len(columns)), dtype=np.int64)
            # A row at a time: the temporaries are one row of bins long.
            for i, row in enumerate(self.rows):
                if hi < self.bins:
                    part = values[row, lo:hi + 1]  # the bin after: real, and left out
                else:
                    part = np.concatenate([values[row, lo:hi], values[row, lo:lo + 1]])
                extreme = reduce.reduceat(part, cuts)
                spread = np.repeat(extreme, lengths)
                hit = part == spread
                if np.isnan(extreme).any():  # NaN is the extreme where a bin holds one
                    hit |= np.isnan(part) & np.isnan(spread)
                at = np.minimum.reduceat(np.where(hit, positions, np.int32(len(part))), cuts)[0::2]
                bins = at.astype(np.int64) + lo
                extremes[i] = extreme[0::2]
                blocks[i] = bins * BIN + offsets[row, bins]
            found += [extremes, blocks]
        return (columns, *found)

    def _time_of(self, blocks: "npt.NDArray[np.int64]") -> "npt.NDArray[np.float64]":
        """Times of blocks inside whole bins: between the bin's first and last time, in
        proportion (exact for a constant step)."""
        p = self.p
        if not p.rising:
            return blocks.astype(np.float64)
        bins = blocks // BIN
        first, last = p._first_time.view[bins], p._last_time.view[bins]
        placed: "npt.NDArray[np.float64]" = np.minimum(first + (last - first) * ((blocks - bins * BIN) / (BIN - 1)), last)
        return placed

    def _columns(self, edges: "npt.NDArray[np.int64]", raw_blocks: "npt.NDArray[np.int64]",
                 raw_times: "npt.NDArray[np.float64]", raw_values: "npt.NDArray[np.float32]",
                 interior: "Optional[Tuple[Any, ...]]",
                 outside: Tuple["npt.NDArray[np.float64]", "npt.NDArray[np.float32]"]) -> Drawn:
        rows, width = len(self.rows), self.width
        # Per column: first, min, max, last, as block numbers and values; -1: none.
        block = np.full((rows, width, 4), -1, dtype=np.int64)
        value = np.zeros((rows, width, 4), dtype=np.float32)
        time = np.zeros((rows, width, 4), dtype=np.float64)
        column = np.searchsorted(edges, raw_blocks, side="right") - 1
        starts = np.flatnonzero(np.diff(column, prepend=-1))
        present = column[starts]
        ends = np.append(starts[1:], len(column))
        spots = np.arange(len(column), dtype=np.int32)
        for slot, position in ((0, starts), (3, ends - 1)):
            block[:, present, slot] = raw_blocks[position]
            value[:, present, slot] = raw_values[:, position]
            time[:, present, slot] = raw_times[position]
        for slot, reduce in ((1, np.minimum), (2, np.maximum)):
            for row in range(rows):  # a row at a time: the temporaries are one row long
                extreme = reduce.reduceat(raw_values[row], starts)
                spread = np.repeat(extreme, ends - starts)
                hit = raw_values[row] == spread
                if np.isnan(extreme).any():
                    hit |= np.isnan(raw_values[row]) & np.isnan(spread)
                at = np.minimum.reduceat(np.where(hit, spots, np.int32(len(spots))), starts)
                block[row, present, slot] = raw_blocks[at]
                value[row, present, slot] = extreme
                time[row, present, slot] = raw_times[at]
        if interior is not None:
            columns = interior[0]
            for slot, (extreme, blocks), better in ((1, interior[1:3], np.less), (2, interior[3:5], np.greater)):
                held = block[:, columns, slot]
                # The whole bins' extreme wins where the cut bins have none, or a worse one.
                take = (held < 0) | better(extreme, value[:, columns, slot]) | (
                    np.isnan(extreme) & ~np.isnan(value[:, columns, slot]))
                r, c = np.nonzero(take)
                block[r, columns[c], slot] = blocks[r, c]
                value[r, columns[c], slot] = extreme[r, c]
                time[r, columns[c], slot] = self._time_of(blocks[r, c])
        # Each row's points in block order, each block once, with the block before the window
        # and the one after, so that the line runs to the edges.
        order = np.argsort(block, axis=2, kind="stable")
        blocks_in_order = np.take_along_axis(block, order, axis=2).reshape(rows, -1)
        values_in_order = np.take_along_axis(value, order, axis=2).reshape(rows, -1)
        times_in_order = np.take_along_axis(time, order, axis=2).reshape(rows, -1)
        xs, ys = [], []
        head = int(edges[0] > 0)  # outside: the block before the window first, where there is one
        for row in range(rows):
            keep = blocks_in_order[row] >= 0
            keep[1:] &= blocks_in_order[row, 1:] != blocks_in_order[row, :-1]
            x, y = times_in_order[row, keep], values_in_order[row, keep]
            xs.append(np.concatenate([outside[0][:head], x, outside[0][head:]]))
            ys.append(np.concatenate([outside[1][row, :head], y, outside[1][row, head:]]))
        return Drawn(xs, ys, False, int(edges[0]), int(edges[-1]))
