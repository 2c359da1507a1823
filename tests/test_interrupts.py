"""Ctrl-C during a read of tolvane's: KeyboardInterrupt in the caller within a quarter of a
second, whatever the file is (a file object fed by a thread of tolvane's, compressed or not,
too) and on however many threads it is read, with every thread of the read stopped and the file
closed; the command exits 130."""

import os
import pty
import select
import signal
import subprocess
import sys
import time

import pytest

from conftest import child_env, plot_text, write_plot

tolvane = pytest.importorskip("tolvane")  # built for CPython 3.10 and newer
np = pytest.importorskip("numpy")

PROMPT = 0.25  # seconds from SIGINT to KeyboardInterrupt

# Reads the file of argv[2] as argv[1] says, and tells when it starts and how it ended, with the
# descriptors left open and the CPU time taken over the next 0.3 s, idle but for reads that
# would not have stopped.
CHILD = r'''
import io, os, sys, time, zlib
import tolvane
kind, path = sys.argv[1], sys.argv[2]
# What the reads import on first use, imported here: Ctrl-C is for the read, not for an import
# of pandas or Dask.
if kind == "read_many":
    tolvane.read_many([sys.argv[3]], 12)
if kind == "dask":
    import tolvane.dask
    tolvane.dask.read_many([sys.argv[3]], 12).compute(scheduler="threads")
if kind == "gzip stream":
    import tolvane._compression
    tolvane._compression.library_of("gzip")  # the decompressor imported before the read

class Endless(io.RawIOBase):
    """A plot file that never ends, a few blocks at a time: fed by tolvane's thread of its own.
    Gzip-compressed, as it goes, where asked."""
    def __init__(self, packed):
        self.packer = zlib.compressobj(wbits=31) if packed else None
        self.bytes = b"T 1\nTIME\n"
    def readable(self):
        return True
    def readinto(self, buffer):
        time.sleep(0.001)
        data, self.bytes = self.bytes, b"H\n   1.0\n" * 100
        if self.packer is not None:
            data = self.packer.compress(data) + self.packer.flush(zlib.Z_SYNC_FLUSH)
        buffer[:len(data)] = data
        return len(data)

before = sorted(os.listdir("/proc/self/fd"))
print("reading", flush=True)
try:
    if kind == "one thread":
        tolvane.read(path, 12, threads=1)
    elif kind in ("split", "fifo"):
        tolvane.read(path)
    elif kind in ("stream", "gzip stream"):
        tolvane.read(Endless(kind == "gzip stream"), 6)
    elif kind == "read_many":
        tolvane.read_many([path] * 4, 12, threads=2)
    elif kind == "dask":
        tolvane.dask.read_many([path] * 2, 12).compute(scheduler="threads")
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "interrupted"
print(outcome, flush=True)
# Dask's scheduler raises at once and leaves its threads to end their tasks: within a moment.
deadline = time.monotonic() + 0.25
while (left := sorted(set(os.listdir("/proc/self/fd")) - set(before))) and time.monotonic() < deadline:
    time.sleep(0.01)
print("left open:", [os.readlink(f"/proc/self/fd/{fd}") for fd in left if os.path.exists(f"/proc/self/fd/{fd}")],
      flush=True)
cpu = time.process_time()
time.sleep(0.3)
print("idle" if time.process_time() - cpu < 0.03 else "busy", flush=True)
'''


@pytest.fixture(scope="module")
def huge_sparse_file(tmp_path_factory):
    """A plot file of 16 GiB that takes a few blocks of disk: one parameter, and blocks of 1 MiB
    whose header lines are NUL bytes (a hole of the file, UTF-8 all the same), each ending in
    its one data line. Reading it takes seconds, whatever reads it."""
    path = tmp_path_factory.mktemp("sparse") / "huge.plt"
    mib = 1 << 20
    with open(path, "wb") as f:
        f.write(b"SPARSE 1\nTIME\n")
        for block in range(16 << 10):
            f.seek((block + 1) * mib - 14)
            f.write(b"\n%12.5E\n" % block)
    yield str(path)
    path.unlink()


def line_within(stream, seconds):
    ready, _, _ = select.select([stream], [], [], seconds)
    return stream.readline().decode().strip() if ready else None


@pytest.mark.parametrize("kind", ["one thread", "split", "fifo", "stream", "gzip stream", "read_many", "dask"])
def test_ctrl_c_interrupts_a_read(tmp_path, huge_sparse_file, kind):
    if kind == "dask":
        if os.environ.get("QUOREL_SANITIZED"):
            pytest.skip("Dask's own objects left at exit are reported by LeakSanitizer")
        pytest.importorskip("dask.dataframe")
    if kind in ("read_many", "dask"):
        pytest.importorskip("pandas")
    path = huge_sparse_file
    if kind == "fifo":  # one that never gets a writer: the open itself would wait for one
        path = str(tmp_path / "fifo")
        os.mkfifo(path)
    sample = write_plot(tmp_path, plot_text(2, [["0", "1"]], 12), name="small.plt")
    child = subprocess.Popen([sys.executable, "-c", CHILD, kind, path, sample], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=child_env())
    try:
        assert line_within(child.stdout, 60) == "reading"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        outcome = line_within(child.stdout, 10)
        took = time.monotonic() - sent
        left = line_within(child.stdout, 10)
        idle = line_within(child.stdout, 10)
        child.wait(timeout=5)
    finally:
        child.kill()
        child.wait()
    stderr = child.stderr.read().decode()
    assert (outcome, left, idle, child.returncode, stderr) == ("interrupted", "left open: []", "idle", 0, "")
    assert took < PROMPT


def wait_until_idle(child, seconds=60):
    """Until the child has taken no CPU time for 0.3 s: its imports done (slow under emulation
    or a sanitizer), it waits on its input."""
    def cpu_ticks():
        with open(f"/proc/{child.pid}/stat") as stat:
            return sum(map(int, stat.read().rsplit(")", 1)[1].split()[11:13]))  # utime, stime
    deadline = time.monotonic() + seconds
    ticks = cpu_ticks()
    while time.monotonic() < deadline:
        time.sleep(0.3)
        assert child.poll() is None
        ticks, before = cpu_ticks(), ticks
        if ticks == before:
            return
    raise AssertionError(f"the child was still busy after {seconds} s")


def test_ctrl_c_ends_the_command_reading_a_terminal(tmp_path):
    env = child_env()
    if "ASAN_OPTIONS" in env:
        # The time to the command's exit is timed, and LeakSanitizer's scan at exit takes up to
        # half a second of it; the command's exits are checked for leaks by the other tests.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    controller, terminal = pty.openpty()
    try:
        child = subprocess.Popen([sys.executable, "-m", "tolvane", "info", "/dev/stdin"], stdin=terminal,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        wait_until_idle(child)  # started, and waiting for the terminal
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        child.wait(timeout=10)
        took = time.monotonic() - sent
    finally:
        os.close(controller)
        os.close(terminal)
    assert (child.returncode, child.stdout.read(), child.stderr.read()) == (130, b"", b"")
    assert took < PROMPT


# Writes a gigabyte of text to argv[2] from a megabyte of values (a million zeros in fields of
# 1024 bytes), as argv[1] says, and tells when it starts and how it ended.
WRITE_CHILD = r'''
import sys
import numpy as np
import tolvane
kind, path = sys.argv[1], sys.argv[2]
data = {"T": np.zeros(1_000_000, dtype=np.float32)}
print("writing", flush=True)
try:
    tolvane.write(path, data, 1024, threads=1 if kind == "one thread" else None)
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "interrupted"
print(outcome, flush=True)
'''


def part_files(folder):
    return [name for name in os.listdir(folder) if name.endswith(".part")]


def wait_for_writing(child, folder, fifo_reader):
    """Until the child writes: its temporary file has bytes, or the FIFO holds most of the 64 KiB
    it takes (the child writes a piece of 1 MiB, and waits for the reader to take it)."""
    import fcntl
    import termios

    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        assert child.poll() is None
        if fifo_reader is not None:
            pending = bytearray(4)
            fcntl.ioctl(fifo_reader, termios.FIONREAD, pending)
            if int.from_bytes(pending, sys.byteorder) >= 1 << 15:
                return
        elif any(os.stat(folder / name).st_size for name in part_files(folder)):
            return
        time.sleep(0.01)
    raise AssertionError("the child never wrote")


# Ctrl-C within a quarter of a second of a write of a path, whatever the threads, or of a FIFO
# that its reader does not read, and of the command's convert to a plot file: no temporary file
# is left, and the file that was there is whole.
@pytest.mark.parametrize("kind", ["one thread", "threads", "fifo", "convert"])
def test_ctrl_c_interrupts_a_write(tmp_path, kind):
    out = tmp_path / "out.plt"
    fifo_reader = None
    if kind == "fifo":
        os.mkfifo(out)
        fifo_reader = os.open(out, os.O_RDONLY | os.O_NONBLOCK)
    else:
        out.write_bytes(b"an earlier file\n")
    if kind == "convert":
        source = tmp_path / "in.plt"  # 10 parameters, 100,000 blocks: 1 GB at width 1024
        tolvane.write(source, {f"P{i}": np.zeros(100_000, np.float32) for i in range(10)}, 12)
        args = [sys.executable, "-m", "tolvane", "convert", source, out, "--out-digits", "1024"]
    else:
        args = [sys.executable, "-c", WRITE_CHILD, kind, out]
    env = child_env()
    if "ASAN_OPTIONS" in env:  # the time to the command's exit is timed (see above)
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    child = subprocess.Popen(list(map(str, args)), stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        if kind != "convert":
            assert line_within(child.stdout, 60) == "writing"
        wait_for_writing(child, tmp_path, fifo_reader)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        if kind == "convert":
            child.wait(timeout=10)
            outcome = "interrupted" if child.returncode == 130 else child.returncode
        else:
            outcome = line_within(child.stdout, 10)
        took = time.monotonic() - sent
        child.wait(timeout=10)
    finally:
        child.kill()
        child.wait()
        if fifo_reader is not None:
            os.close(fifo_reader)
    assert (outcome, child.stderr.read()) == ("interrupted", b"")
    assert part_files(tmp_path) == []
    assert kind == "fifo" or out.read_bytes() == b"an earlier file\n"
    assert took < PROMPT
