"""The view's bands around a reference: tolvane.compare's band of each signal of a source,
decimated for a window like the signals themselves, and the points outside it."""

from __future__ import annotations

import threading
from collections import OrderedDict
from typing import TYPE_CHECKING, Any, Dict, List, Tuple

import numpy as np

if TYPE_CHECKING:
    import numpy.typing as npt

    from .._compare import Comparison

# The bands kept computed (each a few arrays of the actual's length), the latest asked for.
KEPT = 4
# The points outside a band marked in a window, at most.
MARKS = 200


class Bands:
    """One source's comparison with the reference: which signals were compared, and each one's
    band, computed when first asked for."""

    def __init__(self, comparison: "Comparison") -> None:
        self._comparison = comparison
        rows = comparison.to_pandas().to_dict("records")
        self.compared: Dict[str, Dict[str, Any]] = {
            str(row["signal"]): {"ok": bool(row["ok"]), "max_error": float(row["max_error"])}
            for row in rows if not row["missing"]}
        self._kept: "OrderedDict[str, Tuple[npt.NDArray[Any], ...]]" = OrderedDict()
        self._lock = threading.Lock()

    def _band(self, name: str) -> "Tuple[npt.NDArray[Any], ...]":
        with self._lock:
            if name in self._kept:
                self._kept.move_to_end(name)
                return self._kept[name]
            frame = self._comparison.bands(name)
            band = (np.asarray(frame.index, dtype=np.float64), frame["lower"].to_numpy(np.float64),
                    frame["upper"].to_numpy(np.float64), frame["error"].to_numpy(np.float64),
                    frame["actual"].to_numpy(np.float32))
            self._kept[name] = band
            while len(self._kept) > KEPT:
                self._kept.popitem(last=False)
            return band

    def window(self, name: str, t0: float, t1: float, width: int
               ) -> Tuple[List["npt.NDArray[np.float64]"], List["npt.NDArray[Any]"]]:
        """The band's lower and upper edges for the window (each column's lowest lower edge
        and highest upper edge, at the column's first time; every point of a short window),
        and the points outside the band (every one, or the worst of each of MARKS stretches of
        the window where there are more): x and y of each."""
        times, lower, upper, error, actual = self._band(name)
        first = int(np.searchsorted(times, t0, side="left"))
        end = int(np.searchsorted(times, t1, side="right"))
        outside = first + np.flatnonzero(error[first:end] > 0)
        if end - first <= 4 * width:
            lo, hi = max(first - 1, 0), min(end + 1, len(times))
            edges_x, low, high = times[lo:hi], lower[lo:hi], upper[lo:hi]
        else:
            edges = t0 + (t1 - t0) * (np.arange(width + 1) / width)
            starts = np.searchsorted(times, edges[:-1], side="left")
            starts = np.unique(starts[starts < end])
            edges_x = times[starts]
            low = np.fmin.reduceat(lower[first:end], starts - first)
            high = np.fmax.reduceat(upper[first:end], starts - first)
        if len(outside) > MARKS:
            # The worst point of each of MARKS stretches of the window: marks, not a second line.
            stretches = np.searchsorted(times, t0 + (t1 - t0) * (np.arange(MARKS) / MARKS), side="left")
            group = np.searchsorted(stretches, outside, side="right") - 1
            order = np.lexsort((-error[outside], group))
            keep = order[np.flatnonzero(np.diff(group[order], prepend=-1))]
            outside = np.sort(outside[keep])
        return ([edges_x, edges_x, times[outside]],
                [low.astype(np.float32), high.astype(np.float32), actual[outside]])
