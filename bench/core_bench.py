"""The reader core on its own (bench/core_bench.cpp), loaded with ctypes.

``load()`` builds ``build/bench/libcore_bench.so`` with ``bench/build_core_bench.sh`` where it is
missing or older than its sources, and returns a ``CoreLibrary`` whose ``read(path, width,
fields=None)`` runs the steps tolvane.read takes below the Python boundary and returns a
``CoreRead``: the seconds those steps took (timed in C++, around them only) and the values,
which stay in the reader's storage until the object goes.
"""

from __future__ import annotations

import ctypes
import glob
import os
import subprocess
from array import array
from typing import List, Optional, Sequence

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_LIBRARY = os.path.join(ROOT, "build", "bench", "libcore_bench.so")
BUILD_SCRIPT = os.path.join(HERE, "build_core_bench.sh")


def _sources() -> List[str]:
    """What the library is built from: the harness, the build script and the core's folders."""
    found = [os.path.join(HERE, "core_bench.cpp"), BUILD_SCRIPT, os.path.join(ROOT, "CMakeLists.txt")]
    for folder in ("reader", "failure", "text_rules"):
        found += glob.glob(os.path.join(ROOT, "src", folder, "*"))
    return found


def is_stale(library: str) -> bool:
    if not os.path.exists(library):
        return True
    built = os.path.getmtime(library)
    return any(os.path.getmtime(p) > built for p in _sources() if os.path.exists(p))


def build(library: str = DEFAULT_LIBRARY) -> None:
    out_dir = os.path.dirname(os.path.abspath(library))
    subprocess.run(["bash", BUILD_SCRIPT, out_dir], check=True, stdout=subprocess.DEVNULL)


# A Python function that core_collect calls: no arguments, no result.
STEP = ctypes.CFUNCTYPE(None)


class CoreRead:
    """One read by the core: `seconds` it took, `blocks`, `series` (the time's included)."""

    def __init__(self, lib: "CoreLibrary", handle: int, seconds: float) -> None:
        self._lib = lib
        self._handle = handle
        self.seconds = seconds
        self.blocks = lib._dll.core_blocks(handle)
        self.series = lib._dll.core_series(handle)

    def values(self, i: int) -> "array[float]":
        """Series i as an array('f') (a copy)."""
        n = self.blocks
        out = array("f")
        if n:
            pointer = self._lib._dll.core_values(self._handle, i)
            out.frombytes(ctypes.string_at(pointer, 4 * n))
        return out

    def lists(self):
        """(time, columns) as lists of floats, as the peers return them."""
        series = [self.values(i).tolist() for i in range(self.series)]
        return series[0], series[1:]

    def nbytes(self) -> int:
        return 4 * self.blocks * self.series

    def close(self) -> None:
        if self._handle:
            self._lib._dll.core_free(self._handle)
            self._handle = None

    def __del__(self) -> None:
        self.close()


class CoreLibrary:
    def __init__(self, library: str) -> None:
        dll = ctypes.CDLL(library)
        u64 = ctypes.c_uint64
        dll.core_read.argtypes = [ctypes.c_char_p, u64, ctypes.POINTER(u64), u64, ctypes.c_uint,
                                  ctypes.POINTER(u64), ctypes.c_char_p, ctypes.c_size_t]
        dll.core_read.restype = ctypes.c_void_p
        dll.core_blocks.argtypes = [ctypes.c_void_p]
        dll.core_blocks.restype = u64
        dll.core_series.argtypes = [ctypes.c_void_p]
        dll.core_series.restype = u64
        dll.core_values.argtypes = [ctypes.c_void_p, u64]
        dll.core_values.restype = ctypes.c_void_p
        dll.core_free.argtypes = [ctypes.c_void_p]
        dll.core_free.restype = None
        dll.core_collect.argtypes = [STEP]
        dll.core_collect.restype = None
        dll.core_splits.argtypes = []
        dll.core_splits.restype = ctypes.c_int
        self._dll = dll
        self.path = library
        # Whether the core's reads may split a file across threads (where the reader can, as
        # tolvane.read does by default).
        self.splits = bool(dll.core_splits())

    def collect(self, step: "STEP") -> None:
        """Calls `step` (made with STEP(function)) inside core_bench_collect, the function that
        bench/count_instructions.py has callgrind collect in."""
        self._dll.core_collect(step)

    def read(self, path: str, width: int, fields: Optional[Sequence[int]] = None, threads: int = 0) -> CoreRead:
        """The file read by the core: every field, or `fields` (ascending from 0); on at most
        `threads` threads where the reader can split a file (0: as many as pay)."""
        encoded = os.fsencode(path)
        count = 0 if fields is None else len(fields)
        chosen = (ctypes.c_uint64 * max(1, count))(*(fields or ()))
        nanoseconds = ctypes.c_uint64()
        error = ctypes.create_string_buffer(200)
        handle = self._dll.core_read(encoded, width, chosen, count, threads, ctypes.byref(nanoseconds), error,
                                     len(error))
        if not handle:
            raise RuntimeError(f"core_read {path}: {error.value.decode(errors='replace')}")
        return CoreRead(self, handle, nanoseconds.value / 1e9)


def load(library: Optional[str] = None, rebuild: bool = True) -> CoreLibrary:
    """The core library, built first where it is missing or stale (unless `rebuild` is false)."""
    library = library or DEFAULT_LIBRARY
    if rebuild and is_stale(library):
        build(library)
    return CoreLibrary(library)
