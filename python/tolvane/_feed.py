"""The bytes of a source that the reader cannot read itself (a file object, a URL, a compressed
file, a pipe whose first bytes must be seen before it is known to be plain), fed by a thread of
their own into the ring (tolvane._native.ByteQueue) that the reader reads them from: one chunk
of at least 1 MiB at a time, decompressed where it is compressed, the GIL held only between the
calls that read, decompress and put, which release it. So decompressing and parsing run side by
side, on two threads, and what is held at any time is a chunk, a decompressed piece and the
ring's few MiB.

The read's end closes the feed: where the read ends early (a fault, Ctrl-C, read_many giving up),
the ring's reading side is closed and the feeder's next put returns False; the feeder also looks
at `stop` between two chunks, and while it waits for a pipe, a FIFO or a terminal.
"""

from __future__ import annotations

import contextlib
import operator
import os
import select
import signal
import threading
from typing import Any, Callable, Iterator, List, Optional

from . import _native
from ._compression import SNIFF_BYTES, decompressed, sniff

# The least a source is asked for at a time.
CHUNK_BYTES = 1 << 20
# The longest a wait for a non-blocking file object that has nothing yet goes without looking at
# `stop`.
WAIT_MILLISECONDS = 20


class LooksCompressed(Exception):
    """compression=None, but the stream starts as `compression`'s does."""

    def __init__(self, compression: str, first: bytes) -> None:
        super().__init__(compression, first)
        self.compression = compression
        self.first = first


class Feeder:
    """Feeds the bytes of `chunks` (a callable giving the source's next chunk, b"" at its end),
    decompressed as `compression` says ("infer", None or a name), into `queue`, on a thread of
    its own once started. After the thread has ended, `failure` is what stopped the feed early:
    None where every byte was fed, or where the read ended first."""

    def __init__(self, chunks: Callable[[], Any], compression: Optional[str], stop: Stop,
                 size_hint: Optional[Callable[[Optional[str], bytes], int]] = None, finite: bool = False) -> None:
        self._chunks = chunks
        self._compression = compression
        self._stop = stop
        # The bytes the feed will hold, from the compression (None: plain) and the first bytes;
        # 0 where unknown.
        self._size_hint = size_hint
        # Whether the source has an end that comes (a file, a URL), so that it may be drained;
        # a pipe's writer may go on for ever.
        self.finite = finite
        self.failure: Optional[BaseException] = None
        # Whether the bytes fed are decompressed (once the first bytes are seen).
        self.decompressing = False
        self._draining = False
        self.queue = _native.ByteQueue()
        self._thread = threading.Thread(target=self._run, name="tolvane-feed", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def join(self, timeout: Optional[float] = None) -> bool:
        """Waits for the thread (at most `timeout` seconds, where given); whether it has ended.
        It ends at its next put once the queue's reading side is closed (unless draining), or
        at its next chunk once `stop` is set."""
        if self._thread.ident is not None:
            self._thread.join(timeout)
        return not self._thread.is_alive()

    def drain(self) -> None:
        """The read has ended: the rest of the stream is decompressed all the same, its bytes
        dropped, to learn whether the stream is corrupt (what the read met may come of it:
        most corruption shows only at a checksum, after bytes that decompressed wrong)."""
        self._draining = True
        self.queue.close_reading()

    def _run(self) -> None:
        # Signals are for the program's own threads, which handle them.
        signal.pthread_sigmask(signal.SIG_BLOCK, signal.valid_signals())
        try:
            put = self.queue.put
            for piece in self._pieces():
                if self._stop.is_set():
                    return
                if not self._draining and not put(piece) and not self._draining:
                    return
        except BaseException as error:
            self.failure = error
        finally:
            self.queue.close_writing()

    def _pieces(self) -> Iterator[Any]:
        first = b""
        while len(first) < SNIFF_BYTES:
            chunk = self._chunks()
            if not chunk:
                break
            first += bytes(chunk)
        kind = sniff(first)
        if self._compression is None:
            if kind is not None:
                raise LooksCompressed(kind, first)
        elif self._compression != "infer":
            kind = self._compression
        if self._size_hint is not None:
            self.queue.expect_size(max(self._size_hint(kind, first), 0))
        chunks = self._following(first)
        if kind is None:
            yield from chunks
        else:
            self.decompressing = True
            yield from decompressed(kind, chunks)

    def _following(self, first: bytes) -> Iterator[Any]:
        if first:
            yield first
        while not self._stop.is_set():
            chunk = self._chunks()
            if not chunk:
                return
            yield chunk


class Stop(threading.Event):
    """Set once the read has ended: the feeder stops at its next chunk, and a wait of its for a
    pipe, a FIFO or a terminal ends at once (each such wait registers how to wake it)."""

    def __init__(self) -> None:
        super().__init__()
        self._wakes: List[Callable[[], None]] = []

    def on_set(self, wake: Callable[[], None]) -> None:
        self._wakes.append(wake)

    def set(self) -> None:
        super().set()
        for wake in self._wakes:
            wake()


def fd_chunks(fd: int, regular: bool, stop: Stop, owned: contextlib.ExitStack) -> Callable[[], bytes]:
    """The chunks of an open descriptor. One that is not a regular file (a pipe, a FIFO, a
    terminal) is open with O_NONBLOCK and waited for beside a pipe of its own, which `stop`
    wakes (both closed by `owned`)."""
    if regular:
        return lambda: os.read(fd, CHUNK_BYTES)
    woken, wake = os.pipe2(os.O_CLOEXEC | os.O_NONBLOCK)
    owned.callback(os.close, woken)
    owned.callback(os.close, wake)
    stop.on_set(lambda: _write_quietly(wake))
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    poller.register(woken, select.POLLIN)

    def chunk() -> bytes:
        while not stop.is_set():
            poller.poll()
            try:
                return os.read(fd, CHUNK_BYTES)
            except BlockingIOError:  # not this one that woke the wait
                continue
        return b""

    return chunk


def _write_quietly(fd: int) -> None:
    with contextlib.suppress(OSError):
        os.write(fd, b"\0")


def file_chunks(stream: Any, stop: Stop) -> Callable[[], Any]:
    """The chunks of a binary file object, read from where it stands: into a buffer of its own
    where it has readinto, else by read. A text file's str is refused. A non-blocking stream
    that has nothing yet (its readinto or read gives None) is asked again after a short wait.
    A stream that breaks the protocol (a length below 0 or above what was asked for, which
    would leave stale bytes among the values or loop for ever) raises OSError, as
    io.BufferedReader does."""
    readinto = getattr(stream, "readinto", None)
    if readinto is not None:
        view = memoryview(bytearray(CHUNK_BYTES))

        def chunk() -> Any:
            while (size := readinto(view)) is None:
                if stop.wait(WAIT_MILLISECONDS / 1000):
                    return b""
            size = operator.index(size)
            if not 0 <= size <= CHUNK_BYTES:
                raise OSError(f"raw readinto() returned invalid length {size} "
                              f"(should have been between 0 and {CHUNK_BYTES})")
            return view[:size]

        return chunk

    def read() -> Any:
        while (data := stream.read(CHUNK_BYTES)) is None:
            if stop.wait(WAIT_MILLISECONDS / 1000):
                return b""
        if isinstance(data, str):
            raise text_mode_error()
        try:
            size = memoryview(data).nbytes
        except TypeError:
            raise OSError(f"read() should have returned a bytes object, not "
                          f"'{type(data).__name__}'") from None
        if size > CHUNK_BYTES:
            raise OSError(f"read() returned invalid length {size} "
                          f"(should have been between 0 and {CHUNK_BYTES})")
        return data

    return read


def text_mode_error() -> TypeError:
    return TypeError("a file object to read must be binary, and this one gives str: open the file "
                     "in binary mode ('rb')")
