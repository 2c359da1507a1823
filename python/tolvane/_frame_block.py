"""FrameBlock: columns (float32; float64 for a float64 time) that grow at their ends, for a frame whose length is known only
once every file is read, holding no more memory than the rows written."""

from __future__ import annotations

import mmap
from typing import TYPE_CHECKING, Any, Optional

import numpy as np

if TYPE_CHECKING:
    import numpy.typing as npt

# Room for this many more rows than asked when growing, at the least: the estimate of the rows
# still to come may fall short, and growing again moves every row once more.
GROWTH_FACTOR = 2
# Each column is written up to a moving end, whose page is partly written. Huge pages (2 MiB)
# are mapped in several times faster than pages of 4 KiB, but hold up to 2 MiB a column
# beyond the rows: they are asked for only where that is at most this much in all.
HUGE_PAGE = 2 << 20
HUGE_PAGES_SLACK = 32 << 20


class FrameBlock:
    """Columns of rows of one dtype (float32 by default) in one anonymous mapping, column i at
    i * stride values.

    Pages are backed only once written: the rows reserved beyond those written cost address
    space, not memory, so the stride may be a generous estimate. Growing copies one column at a
    time into a new mapping and frees each old column's pages right after, so that it holds at
    most one column more than the rows written. The values are the frame's own: a pandas
    DataFrame takes ``values()`` as its block without copying it.
    """

    def __init__(self, columns: int, dtype: "type[np.floating[Any]]" = np.float32) -> None:
        self.columns = columns
        self._dtype = np.dtype(dtype)
        self._itemsize = self._dtype.itemsize
        self.rows = 0
        self._stride = 0
        self._map: Optional[mmap.mmap] = None
        self._values: Optional["npt.NDArray[Any]"] = None

    def append(self, table: "npt.NDArray[Any]", rows_to_come: int = 0) -> None:
        """Copy ``table`` (one row per column, one column per frame row) after the rows written;
        ``rows_to_come`` estimates the rows that later calls will add, to reserve them now."""
        count = table.shape[1]
        needed = self.rows + count
        if needed > self._stride:
            wanted = max(needed + rows_to_come, GROWTH_FACTOR * self._stride)
            try:
                self._grow(wanted)
            except MemoryError:
                # The room reserved for rows to come may be more address space than the system
                # grants (its overcommit rules): room for these rows alone, then.
                if wanted == needed:
                    raise
                self._grow(needed)
        if count:
            assert self._values is not None
            self._values[:, self.rows:self.rows + count] = table  # numpy copies without the GIL
            self.rows += count

    def values(self) -> "npt.NDArray[Any]":
        """The rows written: a (columns, rows) view of the mapping, which it keeps alive. The
        pages past each column's rows are given back (a huge page there holds up to 2 MiB)."""
        if self._map is None or self._values is None:
            return np.empty((self.columns, 0), dtype=self._dtype)
        column_bytes = self._stride * self._itemsize
        used = -(-self.rows * self._itemsize // mmap.PAGESIZE) * mmap.PAGESIZE
        if used < column_bytes:
            for column in range(self.columns):
                self._map.madvise(mmap.MADV_DONTNEED, column * column_bytes + used, column_bytes - used)
        return self._values[:, :self.rows]

    def _grow(self, rows: int) -> None:
        # Whole pages a column, so that each old column's pages can be freed on their own.
        per_page = mmap.PAGESIZE // self._itemsize
        stride = -(-rows // per_page) * per_page
        try:
            # Private: pages given back with MADV_DONTNEED are freed (a shared mapping's stay).
            new_map = mmap.mmap(-1, self.columns * stride * self._itemsize, flags=mmap.MAP_PRIVATE)
        except OSError as error:
            raise MemoryError(f"cannot map {self.columns * stride * self._itemsize} bytes for the frame: "
                              f"{error.strerror}") from None
        huge = self.columns * HUGE_PAGE <= HUGE_PAGES_SLACK
        # Without huge pages asked for, none either where the system gives them unasked.
        advice = getattr(mmap, "MADV_HUGEPAGE" if huge else "MADV_NOHUGEPAGE", None)
        if advice is not None:
            new_map.madvise(advice)
        new_values = np.frombuffer(new_map, dtype=self._dtype).reshape(self.columns, stride)
        if self._map is not None and self._values is not None:
            old_bytes = self._stride * self._itemsize
            for column in range(self.columns):
                new_values[column, :self.rows] = self._values[column, :self.rows]
                self._map.madvise(mmap.MADV_DONTNEED, column * old_bytes, old_bytes)
            self._values = None
            self._map.close()
        self._map, self._values, self._stride = new_map, new_values, stride
