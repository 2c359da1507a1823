"""The xarray engine "tolvane": ``xarray.open_dataset(path, engine="tolvane")``, and
``xarray.open_dataset(path)`` for a file that looks like a plot file.

Opening reads the names and indexes the blocks (tolvane.open), which also gives every block's
time, the Dataset's coordinate; no value is read. Each variable is read lazily, from the blocks
asked for and that one field (the times are the index's): ``ds["SPEED"].isel(TIME=
slice(a, b)).values`` reads blocks a to b - 1 of field SPEED. With ``chunks=``, the variables are
dask arrays whose tasks read their own blocks, each opening the file where it runs (they hold no
open file, and pickle). The values are those of tolvane.read, bit for bit; the Dataset is the
one Plot.to_xarray() makes of the whole file.
"""

from __future__ import annotations

import codecs
import os
import re
import stat
from typing import Any, Iterable, Optional, Sequence, Tuple

import numpy as np
from xarray import Dataset, Variable
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from ._errors import cut_error
from ._names import dedup_names
from ._open import BlockLocator, PlotFile
from ._read import DETECTED_WIDTHS, incomplete_argument
from ._tables import dataset_attrs

# What guess_can_open reads of a file, at most: the head and block 0 of files of thousands of
# parameters.
GUESS_BYTES = 1 << 20
# A field's text as the reader takes it (after trimming): a decimal number or a special word.
_NUMBER = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|(?i:inf|infinity|nan))")


class TolvaneBackendEntrypoint(BackendEntrypoint):
    """xarray's entry to TOLVANE plot files, lazily indexed."""

    description = "TOLVANE plot files (tolvane): one float32 variable per parameter over the time"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "n_digits", "incomplete", "time_dtype")

    def open_dataset(self, filename_or_obj: Any, *, drop_variables: Optional[Iterable[str]] = None,
                     n_digits: Optional[int] = None, incomplete: str = "raise",
                     time_dtype: Any = np.float64) -> Dataset:
        """The plot file as a Dataset of lazily read variables over its time coordinate.

        ``n_digits`` and ``time_dtype`` as tolvane.read takes them (the coordinate is the time
        as ``time_dtype`` reads it); ``incomplete="raise"`` raises the FormatError of
        a last block that the end of the file cuts, ``"keep"`` gives the blocks before it (the
        Dataset's attribute ``incomplete`` then says where the file is cut); ``drop_variables``
        are names (as the Dataset has them) not to make variables of."""
        keep = incomplete_argument(incomplete)
        if not isinstance(filename_or_obj, (str, bytes, os.PathLike)):
            raise TypeError("the tolvane engine opens a local file by its path (str, bytes or "
                            f"os.PathLike), not {type(filename_or_obj).__name__}: a file object or "
                            "stream is read front to back only, by tolvane.read")
        dropped = set([drop_variables] if isinstance(drop_variables, str) else drop_variables or ())
        with PlotFile(filename_or_obj, n_digits, time_dtype=time_dtype) as plot_file:
            head_cut = plot_file._head_cut
            if head_cut is not None:
                # A head still being written: no variable, and no name it cannot know.
                if not keep:
                    raise head_cut
                attrs = dataset_attrs(plot_file.path, plot_file.n_digits, "")
                attrs["incomplete"] = str(head_cut)
                return Dataset(attrs=attrs)
            len(plot_file)
            cut = plot_file._cut_after_index() if plot_file.n_digits is not None else None
            if cut is not None and not keep:
                raise cut_error(cut)
            blocks = plot_file._indexed
            times = plot_file._times()
            names = dedup_names(plot_file.names)
            locator = plot_file._locator() if plot_file.n_digits is not None else None
            attrs = dataset_attrs(plot_file.path, plot_file.n_digits, plot_file.title)
            if cut is not None:
                attrs["incomplete"] = str(cut)
        time = names[0]
        variables = {}
        for field, name in enumerate(names[1:], start=1):
            if name in dropped:
                continue
            if locator is None:
                data: Any = np.empty(0, dtype=np.float32)
            else:
                data = LazyField(FieldArray(locator, field, blocks))
            variables[name] = Variable((time,), data)
        coords = {} if time in dropped else {time: Variable((time,), times)}
        dataset = Dataset(variables, coords=coords, attrs=attrs)
        dataset.set_close(_close_nothing)
        return dataset

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        """Whether a path names a file that looks like a plot file: from its first lines (a
        count, that many name lines, then block 0 reading at width 12 or 15), not its suffix."""
        try:
            path = os.fspath(filename_or_obj)
        except TypeError:
            return False
        try:
            # Opened without waiting, so that a FIFO without a writer does not hold the guess;
            # what is not a regular file (a FIFO, a device) is not read at all: its bytes would
            # be taken from whoever reads it next.
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
        except (OSError, ValueError):
            return False
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                return False
            start = os.pread(fd, GUESS_BYTES, 0)
        except OSError:
            return False
        finally:
            os.close(fd)
        return looks_like_a_plot_file(start, len(start) < GUESS_BYTES)


def _close_nothing() -> None:
    """The closer of the engine's Datasets (xarray calls it on close, and open_mfdataset calls
    every file's): the engine holds no open file once a Dataset is made (each read opens the
    file where it runs), so there is nothing to release, and a variable still reads after it."""


class FieldArray(BackendArray):
    """One field of a plot file over its blocks, read when indexed."""

    def __init__(self, locator: BlockLocator, field: int, blocks: int) -> None:
        self.locator = locator
        self.field = field
        self.shape = (blocks,)
        self.dtype = np.dtype(np.float32)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.OUTER,
                                                  self._read)

    def read_run(self, start: int, stop: int) -> "np.ndarray[Any, np.dtype[np.float32]]":
        """Blocks start to stop - 1 (within the blocks): a chunk's blocks, made of its own bounds."""
        if stop <= start:
            return np.empty(0, dtype=np.float32)
        return self.locator.read_field(self.field, np.arange(start, stop, dtype=np.uint64))

    def _read(self, key: Tuple[Any, ...]) -> "np.ndarray[Any, np.dtype[np.float32]]":
        (which,) = key
        count = self.shape[0]
        if isinstance(which, slice):
            start, stop, step = which.indices(count)
            if step == 1:
                return self.read_run(start, stop)
            return self._read_blocks(np.arange(start, stop, step, dtype=np.int64))
        chosen = np.asarray(which)
        if chosen.dtype.kind not in "iu":
            raise IndexError(f"blocks are chosen by integers, not {chosen.dtype}")
        chosen = chosen.astype(np.int64)
        if chosen.size and (chosen.min() < -count or chosen.max() >= count):
            raise IndexError(f"a block number out of range for {count} blocks")
        chosen = np.where(chosen < 0, chosen + count, chosen)
        if chosen.ndim == 0:
            return self._read_blocks(chosen.reshape(1))[0]
        return self._read_blocks(chosen)

    def _read_blocks(self, chosen: "np.ndarray[Any, np.dtype[np.int64]]") -> "np.ndarray[Any, np.dtype[np.float32]]":
        if len(chosen) == 0:
            return np.empty(0, dtype=np.float32)
        if bool(np.all(chosen[1:] > chosen[:-1])):  # ascending, each once: read as it is
            return self.locator.read_field(self.field, chosen.astype(np.uint64))
        unique, order = np.unique(chosen, return_inverse=True)
        values = self.locator.read_field(self.field, unique.astype(np.uint64))
        return np.array(values[order.reshape(-1)])


class LazyField(indexing.LazilyIndexedArray):
    """xarray's lazy indexing of a FieldArray, with a short way for what each of Dask's tasks
    asks for: a run of blocks (a slice of a slice, step 1), composed and read straight from
    its bounds. xarray's general way (keys expanded, checked and decomposed, layer by layer)
    costs about as much as reading the run itself on a file of few parameters. Every other key
    takes xarray's way."""

    __slots__ = ()
    array: FieldArray

    def _run(self, indexer: indexing.ExplicitIndexer) -> Optional["LazyField"]:
        """The run of blocks `indexer` picks out of this one's, where it is a run."""
        key = indexer.tuple
        own = self.key.tuple
        if len(key) != 1 or type(key[0]) is not slice or type(own[0]) is not slice:
            return None
        chosen = range(self.array.shape[0])[own[0]][key[0]]
        if chosen.step != 1:
            return None
        run = object.__new__(LazyField)
        run.array = self.array
        run.key = indexing.BasicIndexer((slice(chosen.start, chosen.stop),))
        run._shape = (len(chosen),)
        return run

    def _oindex_get(self, indexer: indexing.OuterIndexer) -> Any:
        run = self._run(indexer)
        return super()._oindex_get(indexer) if run is None else run

    def __getitem__(self, indexer: indexing.ExplicitIndexer) -> Any:
        run = self._run(indexer) if type(indexer) is indexing.BasicIndexer else None
        return super().__getitem__(indexer) if run is None else run

    def get_duck_array(self) -> Any:
        (own,) = self.key.tuple
        if type(own) is slice:
            start, stop, step = own.indices(self.array.shape[0])
            if step == 1:
                return self.array.read_run(start, stop)
        general: Any = super().get_duck_array  # xarray's own, untyped
        return general()


def looks_like_a_plot_file(start: bytes, ended: bool) -> bool:
    """Whether the first bytes of a file (all of it where `ended`) are a plot file's head and
    block 0 at width 12 or 15, or a head with nothing after it."""
    lines = start.split(b"\n")
    if not ended:
        lines.pop()  # cut by the read
    try:
        texts = [codecs.decode(line, "utf-8") for line in lines]
    except UnicodeDecodeError:
        return False
    if not texts:
        return False
    tokens = texts[0].split()
    if not tokens or not re.fullmatch(r"\+?\d+", tokens[-1]):
        return False
    count = int(tokens[-1])
    if count == 0 or len(texts) < 1 + count:
        return False
    block = texts[1 + count:2 + count + -(-count // 10)]
    if ended and all(not line for line in block):
        return len(block) <= 1  # the head alone (a file that ends in a line feed has one "")
    if len(block) < 1 + -(-count // 10):
        return False
    return any(block_reads(block[1:], count, width) for width in DETECTED_WIDTHS)


def block_reads(data_lines: Sequence[str], count: int, width: int) -> bool:
    """Whether a block's data lines hold `count` fields of `width` that are numbers."""
    for j, line in enumerate(data_lines):
        raw = line.rstrip("\r").encode()
        fields = min(10, count - 10 * j)
        if len(raw) < fields * width:
            return False
        for k in range(fields):
            try:
                text = raw[k * width:(k + 1) * width].decode().strip()
            except UnicodeDecodeError:
                return False
            if not _NUMBER.fullmatch(text):
                return False
    return True
