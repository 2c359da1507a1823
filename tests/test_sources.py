"""Sources besides a local file: compressed files told by their first bytes, binary file objects,
and URLs through fsspec (memory://, file://, an HTTP server and an S3 API on 127.0.0.1, started
and stopped here). Each gives the values and the errors of the same bytes in a plain local file,
bit for bit; a stream that fails says so and names its source; memory stays bounded."""

import bz2
import functools
import gzip
import http.server
import importlib.util
import io
import lzma
import os
import re
import shutil
import subprocess
import sys
import threading
import zlib

import pytest
from hypothesis import HealthCheck, given, settings

from conftest import child_env, plot_text, run_child, skip_without_memory_limits, write_plot
from test_tolvane_read import bits, plot_files

tolvane = pytest.importorskip("tolvane")
np = pytest.importorskip("numpy")

from tolvane import _compression  # noqa: E402


def zstd_library():
    """The standard library's compression.zstd (3.14 and later), else zstandard, for making the
    zstd files tolvane reads; the test skips without either."""
    try:
        from compression import zstd
    except ImportError:
        return "zstandard", pytest.importorskip("zstandard")
    return "compression.zstd", zstd


def zstd_compress(data):
    name, zstd = zstd_library()
    if name == "zstandard":
        return zstd.ZstdCompressor(write_checksum=True).compress(data)
    return zstd.compress(data, options={zstd.CompressionParameter.checksum_flag: 1})


def zstd_decompressor():
    name, zstd = zstd_library()
    return zstd.ZstdDecompressor().decompressobj() if name == "zstandard" else zstd.ZstdDecompressor()


COMPRESS = {
    "gzip": gzip.compress,
    "bz2": lambda data: bz2.compress(data, 1),
    "xz": lambda data: lzma.compress(data, preset=0),
    "zstd": zstd_compress,
}
HEAD = "T 3\nTIME\nA\nB\n"
ROW = "H\n   1.5   2.5   3.5\n"


def outcome(source, width, threads=1, **options):
    """What a read gives, all of it: the values' bits, names and head texts; or the error's
    class, place and text (the path replaced by {path})."""
    try:
        plot = tolvane.read(source, width, threads=threads, **options)
    except tolvane.FormatError as error:
        return (type(error).__name__, error.line, error.block, error.field, error.span,
                str(error).replace(error.path, "{path}", 1))
    return ("ok", [bits(plot[i]) for i in range(len(plot.names))], plot.names, plot.title, plot.name_lines)


def memory_url(data, name):
    memory = pytest.importorskip("fsspec").filesystem("memory")
    memory.pipe(f"/sources/{name}", data)
    return f"memory://sources/{name}"


def have(*modules):
    return all(importlib.util.find_spec(module) is not None for module in modules)


def zstd_at_hand():
    try:
        zstd_library()
    except pytest.skip.Exception:
        return False
    return True


HAVE_ZSTD = zstd_at_hand()
HAVE_FSSPEC = have("fsspec")

# Every kind of source that can be had here, made of the plain bytes.
SOURCES = {
    **{kind: functools.partial(lambda kind, tmp, data: write_plot(tmp, COMPRESS[kind](data), name=f"run.{kind}"), kind)
       for kind in COMPRESS if kind != "zstd" or HAVE_ZSTD},
    "file object": lambda tmp, data: io.BytesIO(data),
    "gzip file object": lambda tmp, data: gzip.GzipFile(fileobj=io.BytesIO(gzip.compress(data))),
    **({"memory:// xz": lambda tmp, data: memory_url(COMPRESS["xz"](data), "run.xz"),
        "file://": lambda tmp, data: "file://" + write_plot(tmp, data, name="url.plt")} if HAVE_FSSPEC else {}),
}


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(plot_files())
def test_every_source_gives_the_plain_files_values_and_errors(tmp_path, case):
    data, width, _, _ = case
    plain = outcome(write_plot(tmp_path, data), width)
    found = outcome(write_plot(tmp_path, data), None)
    for kind, make in SOURCES.items():
        for threads in (1, 2):
            assert outcome(make(tmp_path, data), width, threads) == plain, (kind, threads)
        assert outcome(make(tmp_path, data), None) == found, kind


@pytest.mark.parametrize("kind", sorted(COMPRESS))
def test_a_compression_is_told_by_its_bytes_not_the_name(tmp_path, kind):
    data = (HEAD + ROW * 3).encode()
    packed = write_plot(tmp_path, COMPRESS[kind](data), name="run42.plt")
    plain = write_plot(tmp_path, data, name=f"plain.{kind}")
    expected = outcome(plain, 6)
    assert expected[0] == "ok" and outcome(packed, 6) == expected
    assert outcome(packed, 6, compression=kind) == expected
    with pytest.raises(tolvane.FormatError) as raised:
        tolvane.read(packed, 6, compression=None)
    assert raised.value.line == 1 and f"looks {kind}-compressed" in str(raised.value)
    assert f"compression='infer' (the default) or '{kind}'" in str(raised.value)
    with pytest.raises(tolvane.FormatError, match=f"looks {kind}-compressed"):  # a stream too
        tolvane.read(io.BytesIO(COMPRESS[kind](data)), 6, compression=None)
    # Forced on bytes of another kind: corrupt, said at line 1.
    with pytest.raises(tolvane.CompressionError, match=rf"^{plain}:1: the {kind} stream is corrupt \(.+\)$"):
        tolvane.read(plain, 6, compression=kind)


@pytest.mark.parametrize("kind", sorted(COMPRESS))
def test_concatenated_streams_read_as_one(tmp_path, kind):
    data = (HEAD + ROW * 4000).encode()
    cut = len(data) // 3  # inside a line: the second stream goes on with it
    joined = COMPRESS[kind](data[:cut]) + COMPRESS[kind](data[cut:])
    assert outcome(io.BytesIO(joined), 6) == outcome(write_plot(tmp_path, data), 6)


def other_tools(kind, stream):
    """What the tools that read `kind` make of the bytes: the data, or None where they refuse
    them. Python's gzip for gzip; the xz tool for xz (Python's lzma reads no stream padding)."""
    if kind == "gzip":
        try:
            return gzip.decompress(stream)
        except (OSError, EOFError):
            return None
    if kind == "xz":
        if shutil.which("xz") is None:
            pytest.skip("no xz tool")
        done = subprocess.run(["xz", "-dc"], input=stream, capture_output=True, check=False)
        return done.stdout if done.returncode == 0 else None
    pytest.fail(f"no tool for {kind}")


@pytest.mark.parametrize("kind, make, expected", [
    # Zero padding after gzip (tape and block devices write it), between members too; xz's
    # stream padding, whole words of four bytes; each across the feed's 1 MiB chunks too.
    ("gzip", lambda whole, first, second: whole + bytes(1), "read"),
    ("gzip", lambda whole, first, second: whole + bytes(3 << 19), "read"),
    ("gzip", lambda whole, first, second: first + bytes(7) + second, "read"),
    ("xz", lambda whole, first, second: whole + bytes(4), "read"),
    ("xz", lambda whole, first, second: whole + bytes(3 << 19), "read"),
    ("xz", lambda whole, first, second: first + bytes(8) + second, "read"),
    ("xz", lambda whole, first, second: whole + bytes(3), "corrupt"),
    # What begins no stream after a whole one.
    ("gzip", lambda whole, first, second: whole + b"junk", "trailing"),
    ("gzip", lambda whole, first, second: whole + bytes(9) + b"\x1f\x9d", "trailing"),
    ("xz", lambda whole, first, second: whole + b"junk", "trailing"),
    ("bz2", lambda whole, first, second: whole + bytes(4), "trailing"),
    ("bz2", lambda whole, first, second: whole + b"\nthe log:\n", "trailing"),
    ("zstd", lambda whole, first, second: whole + b"junk", "trailing"),
    # A next stream cut within its first bytes.
    ("gzip", lambda whole, first, second: whole + b"\x1f", "cut"),
    ("xz", lambda whole, first, second: whole + b"\xfd7z", "cut"),
])
def test_what_follows_a_whole_stream(tmp_path, kind, make, expected):
    if kind == "zstd" and not HAVE_ZSTD:
        pytest.skip("no zstd library")
    data = (HEAD + ROW * 4000).encode()
    cut = len(data) // 3
    stream = make(COMPRESS[kind](data), COMPRESS[kind](data[:cut]), COMPRESS[kind](data[cut:]))
    if kind in ("gzip", "xz"):
        assert other_tools(kind, stream) == (data if expected == "read" else None)
    path = write_plot(tmp_path, stream, name="run")
    if expected == "read":
        plain = outcome(write_plot(tmp_path, data), 6)
        assert outcome(path, 6) == plain and outcome(io.BytesIO(stream), 6) == plain
        return
    with pytest.raises(tolvane.CompressionError) as raised:
        tolvane.read(path, 6)
    error = raised.value
    assert (error.compression, error.cut, error.trailing) == (kind, expected == "cut", expected == "trailing")
    assert error.line == data.count(b"\n") + 1
    if expected == "trailing":
        assert re.fullmatch(rf"{re.escape(path)}:\d+: trailing garbage after the compressed data: the {kind} "
                            rf"stream ends whole, and the bytes after it \(([0-9A-F]{{2}} )*[0-9A-F]{{2}}( \.\.\.)?\) "
                            rf"begin no {kind} stream", str(error))
        assert pickle_round_trip(error) == (type(error), str(error), False, kind)
    with pytest.raises(tolvane.CompressionError) as again:  # the same from a file object
        tolvane.read(io.BytesIO(stream), 6)
    assert str(again.value) == str(error).replace(path, "<stream>", 1)


@pytest.mark.parametrize("kind", sorted(COMPRESS))
@pytest.mark.parametrize("where", ["between blocks", "inside a block", "inside the names"])
def test_a_cut_stream_says_so_and_where(tmp_path, kind, where):
    """A stream cut short is a cut file: the bytes before the cut are read, and the error says
    the stream is cut, at the line it stopped on, in place of what the reader met there."""
    data = (HEAD + ROW * 3000).encode()
    stop = {"between blocks": len(HEAD) + 2000 * len(ROW), "inside a block": len(HEAD) + 2000 * len(ROW) + 7,
            "inside the names": 6}[where]
    stream = cut_stream(kind, COMPRESS[kind](data), stop)
    with pytest.raises(tolvane.CompressionError) as raised:
        tolvane.read(io.BytesIO(stream), 6)
    error = raised.value
    assert (error.cut, error.compression, error.block, error.field) == (True, kind, None, None)
    assert str(error) == f"<stream>:{error.line}: the {kind} stream is cut short: it ends before its end-of-stream mark"
    # The line the decompressed bytes stopped on: the one after their last line feed.
    assert error.line == decompressed_prefix(kind, stream).count(b"\n") + 1
    assert pickle_round_trip(error) == (type(error), str(error), error.cut, error.compression)
    if where == "inside the names":
        return
    # With incomplete="keep", the complete blocks before the cut, and the error as incomplete.
    kept = tolvane.read(io.BytesIO(stream), 6, incomplete="keep")
    whole = tolvane.read(write_plot(tmp_path, data), 6)
    prefix = decompressed_prefix(kind, stream)
    complete = (prefix.count(b"\n") - HEAD.count("\n")) // ROW.count("\n")
    # A last data line whose fields are all there, only its line feed cut off, ends its block.
    complete += prefix.endswith(ROW[:-1].encode()) and prefix.count(b"\n") % 2 == 1
    assert len(kept) == complete
    assert kept.to_numpy().view(np.uint32).tolist() == whole.to_numpy()[:complete].view(np.uint32).tolist()
    assert type(kept.incomplete) is tolvane.CompressionError and str(kept.incomplete) == str(error)


def decompressor_of(kind):
    return {"gzip": lambda: zlib.decompressobj(31), "bz2": bz2.BZ2Decompressor,
            "xz": lzma.LZMADecompressor, "zstd": zstd_decompressor}[kind]()


def decompressed_prefix(kind, stream):
    """What a stream cut short decompresses to."""
    return decompressor_of(kind).decompress(stream)


def cut_stream(kind, whole, at):
    """`whole` cut where it has decompressed to just past `at` bytes of the data, as a copy that
    stopped there leaves it; short of its end in any case."""
    decompressor = decompressor_of(kind)
    out = 0
    for size in range(1, len(whole)):
        out += len(decompressor.decompress(whole[size - 1:size]))
        if out > at:
            return whole[:size]
    return whole[:-1]


def pickle_round_trip(error):
    import pickle

    back = pickle.loads(pickle.dumps(error))
    return type(back), str(back), back.cut, back.compression


def test_a_fault_before_a_cut_is_the_files_own(tmp_path):
    """A fault of the file before the stream ends is raised as the plain file raises it; the
    cut stream is its cause."""
    data = (HEAD + ROW * 10 + "H\n   1.5   2.x   3.5\n" + ROW * 3000).encode()
    plain = outcome(write_plot(tmp_path, data), 6)
    stream = cut_stream("gzip", gzip.compress(data), len(data) - 100)
    with pytest.raises(tolvane.FormatError) as raised:
        tolvane.read(io.BytesIO(stream), 6)
    assert type(raised.value) is tolvane.FormatError
    assert outcome(io.BytesIO(stream), 6) == plain
    assert isinstance(raised.value.__cause__, tolvane.CompressionError) and raised.value.__cause__.cut


def flip_in_checksum(kind, stream):
    """A bit of the checksum at the stream's end: gzip's CRC-32, zstd's content checksum, the
    combined CRC of bzip2's blocks."""
    stream[{"gzip": -5, "zstd": -2, "bz2": -5}[kind]] ^= 0x40
    return stream


@pytest.mark.parametrize("kind, damage", [("gzip", "checksum"), ("zstd", "checksum"), ("bz2", "checksum"),
                                          ("gzip", "data")])
def test_a_corrupt_stream_says_so_whatever_the_reader_met(tmp_path, kind, damage):
    if damage == "checksum":
        data = (HEAD + ROW * 150000).encode()  # 3 MB: the stream's end is not in its first chunk
        stream = flip_in_checksum(kind, bytearray(COMPRESS[kind](data)))
    else:
        # Stored deflate blocks, 17 MB: a byte of the data comes out wrong early on, and the
        # reader stops there, far before the feed's bytes run out; only the CRC-32 at the end
        # of the stream tells.
        data = (HEAD + ROW * 800000).encode()
        stream = bytearray(gzip.compress(data, 0))
        stream[stream.index(b"2.5", len(stream) // 8)] ^= 0x40
        wrong = zlib.decompressobj(-15).decompress(bytes(stream[10:-8]))  # without the CRC check
        line = outcome(write_plot(tmp_path, wrong), 6)[1]
    path = write_plot(tmp_path, bytes(stream), name="run.plt")
    with pytest.raises(tolvane.CompressionError) as raised:
        tolvane.read(path, 6)
    assert (raised.value.cut, raised.value.compression) == (False, kind)
    assert re.fullmatch(rf"{re.escape(path)}:(\d+): the {kind} stream is corrupt \(.+\)", str(raised.value))
    if damage == "data":  # where the reader met the bytes that came out wrong
        assert raised.value.line == line


def test_a_fault_in_a_stream_that_goes_on_is_raised_at_once(tmp_path):
    """A compressed stream whose writer goes on (a pipe kept open) is not drained for a checksum
    after a fault: the fault is raised as soon as it is met."""
    packer = zlib.compressobj(wbits=31)
    data = (HEAD + ROW * 10 + "H\n   1.5   2.x   3.5\n").encode()
    reading, writing = os.pipe()
    try:
        os.write(writing, packer.compress(data) + packer.flush(zlib.Z_SYNC_FLUSH))
        raised = {}
        reader = threading.Thread(target=lambda: raised.update(error=pytest.raises(
            tolvane.FormatError, tolvane.read, f"/dev/fd/{reading}", 6)))
        reader.start()
        reader.join(5)
        assert not reader.is_alive()
        assert (raised["error"].value.line, raised["error"].value.block, raised["error"].value.field) == (26, 10, 1)
    finally:
        os.close(writing)
        os.close(reading)
    assert feeds_left() == []


def test_without_isal_gzip_is_read_by_zlib(tmp_path, monkeypatch):
    data = (HEAD + ROW * 3000).encode()
    path = write_plot(tmp_path, gzip.compress(data), name="run.gz")
    expected = outcome(write_plot(tmp_path, data), 6)
    pytest.importorskip("isal")
    assert _compression.library_of("gzip") == "isal"
    for module in ("isal", "isal.igzip_lib"):
        monkeypatch.setitem(sys.modules, module, None)
    assert _compression.library_of("gzip") == "zlib"
    assert outcome(path, 6) == expected


@pytest.mark.parametrize("python, machine, brought", [
    # isal has wheels for x86-64 and aarch64, CPython 3.10 to 3.15 and 3.14t, 3.15t; none for
    # 3.13t, which no environment marker tells from 3.13; none for other machines.
    *[(version, machine, True) for version in ("3.10", "3.11", "3.12", "3.14", "3.15")
      for machine in ("x86_64", "aarch64")],
    ("3.13", "x86_64", False), ("3.13", "aarch64", False), ("3.12", "ppc64le", False), ("3.9", "x86_64", False),
])
def test_the_default_install_brings_isal_where_it_has_a_wheel(python, machine, brought):
    tomllib = pytest.importorskip("tomllib")
    markers = pytest.importorskip("packaging.requirements")
    pyproject = os.path.join(os.path.dirname(__file__), "..", "pyproject.toml")
    if not os.path.isfile(pyproject):
        pytest.skip("pyproject.toml is not there: these tests run in a clone of the project")
    with open(pyproject, "rb") as f:
        dependencies = [markers.Requirement(text) for text in tomllib.load(f)["project"]["dependencies"]]
    environment = {"python_version": python, "python_full_version": python + ".0", "platform_machine": machine,
                   "sys_platform": "linux"}
    installed = {dependency.name for dependency in dependencies
                 if dependency.marker is None or dependency.marker.evaluate(environment)}
    assert ("isal" in installed) == brought


def test_without_a_zstd_library_zstd_raises_naming_the_extra(tmp_path, monkeypatch):
    path = write_plot(tmp_path, COMPRESS["zstd"]((HEAD + ROW).encode()), name="run.zst")
    monkeypatch.setitem(sys.modules, "compression.zstd", None)
    monkeypatch.setitem(sys.modules, "zstandard", None)
    with pytest.raises(ImportError, match=r"pip install 'quorel\[zstd\]'"):
        tolvane.read(path, 6)
    assert feeds_left() == []


def feeds_left():
    return [thread for thread in threading.enumerate() if thread.name == "tolvane-feed"]


class OnlyRead:
    """A binary stream with read alone, in small pieces, and no name."""

    def __init__(self, data, piece=7):
        self._data, self._piece = data, piece

    def read(self, size):
        out, self._data = self._data[:self._piece], self._data[self._piece:]
        return out


class FailingStream(io.RawIOBase):
    """A stream whose read fails, as a connection reset part way does, after `good` bytes."""

    name = "sensor://run42"

    def __init__(self, data, good):
        self._data, self._good = data, good

    def readable(self):
        return True

    def readinto(self, buffer):
        if not self._good:
            raise ConnectionResetError("peer reset")
        size = min(len(buffer), self._good)
        buffer[:size] = self._data[:size]
        self._data, self._good = self._data[size:], self._good - size
        return size


def test_a_file_object_is_read_from_where_it_stands_and_left_open(tmp_path):
    data = (HEAD + ROW * 5).encode()
    path = write_plot(tmp_path, b"#junk#" + data)
    with open(path, "rb") as stream:
        stream.seek(6)
        plot = tolvane.read(stream, 6)
        assert not stream.closed and stream.read() == b"" and plot.path == path
    assert outcome(OnlyRead(data), 6) == outcome(write_plot(tmp_path, data), 6)
    assert tolvane.read(OnlyRead(data), 6).path == "<stream>"


class Lying(io.RawIOBase):
    """A raw stream that gives `data` honestly, then the length that `lie` makes of the size
    of the buffer, once (what it left in the buffer is stale), then its end."""

    def __init__(self, data, lie):
        self._data, self._lie = data, lie

    def readable(self):
        return True

    def readinto(self, buffer):
        if self._lie is None or self._data:
            size = min(len(buffer), len(self._data))
            buffer[:size], self._data = self._data[:size], self._data[size:]
            return size
        lie, self._lie = self._lie, None
        return lie(len(buffer))


class LyingRead:
    """A stream with read alone that gives `data`, then what `lie` makes of the size asked
    for, then its end."""

    def __init__(self, data, lie):
        self._pieces = [data, lie]

    def read(self, size):
        piece = self._pieces.pop(0) if self._pieces else b""
        return piece(size) if callable(piece) else piece


def buffered_reader_error(lie):
    """What io.BufferedReader raises for the raw stream that lies so, reading as tolvane does."""
    from tolvane._feed import CHUNK_BYTES

    with pytest.raises(OSError) as raised:
        io.BufferedReader(Lying(b"", lie), CHUNK_BYTES).read(10)
    return str(raised.value)


@pytest.mark.parametrize("given, error, message", [
    (lambda path: open(path, encoding="utf-8"), TypeError, r"must be binary.*open the file in binary mode \('rb'\)"),
    (lambda path: io.StringIO("T 1\n"), TypeError, "must be binary"),
    (lambda path: type("Texts", (), {"read": lambda self, n: "T 1\n"})(), TypeError, "must be binary"),
    (lambda path: 3.5, TypeError, r"expected a path .* not float"),
    # A file object that breaks the protocol: a length below 0 or beyond the buffer.
    (lambda path: Lying((HEAD + ROW).encode(), lambda size: -1), OSError, lambda: buffered_reader_error(lambda size: -1)),
    (lambda path: Lying((HEAD + ROW).encode(), lambda size: size + 1), OSError,
     lambda: buffered_reader_error(lambda size: size + 1)),
    (lambda path: LyingRead((HEAD + ROW).encode(), lambda size: b"H\n   1.5   2.5   3.5\n" * size), OSError,
     r"^read\(\) returned invalid length \d+ \(should have been between 0 and 1048576\)$"),
    (lambda path: LyingRead((HEAD + ROW).encode(), lambda size: -1), OSError,
     r"^read\(\) should have returned a bytes object, not 'int'$"),
], ids=["text file", "StringIO", "read gives str", "float", "readinto gives -1", "readinto beyond the buffer",
        "read beyond the size", "read gives int"])
def test_what_is_no_binary_source_or_breaks_the_protocol_raises(tmp_path, given, error, message):
    source = given(write_plot(tmp_path, HEAD + ROW))
    with pytest.raises(error) as raised:
        tolvane.read(source, 6)
    if error is OSError:  # as the reader's other sources' errors, naming the stream
        assert raised.value.filename == "<stream>"
        if callable(message):
            assert raised.value.strerror == message()
        else:
            assert re.match(message, raised.value.strerror)
    else:
        assert re.search(message, str(raised.value))
    getattr(source, "close", lambda: None)()
    assert feeds_left() == []


@pytest.mark.parametrize("good", [0, 100, len(HEAD) + 2 * len(ROW)])
def test_a_stream_that_fails_raises_its_error_naming_it(good):
    data = (HEAD + ROW * 100).encode()
    with pytest.raises(ConnectionResetError) as raised:
        tolvane.read(FailingStream(data, good), 6)
    assert raised.value.filename == "sensor://run42" and raised.value.errno == 104
    assert isinstance(raised.value.__cause__, ConnectionResetError)


def test_a_read_stopped_ends_its_feed(tmp_path):
    """A StopFlag (read_many's, when it is interrupted) ends a read whose source feeds slowly,
    within a quarter of a second, and the feeding thread with it."""
    from tolvane import _native
    from tolvane._read import read_in_pieces

    class Endless(io.RawIOBase):
        def readable(self):
            return True

        def readinto(self, buffer):
            threading.Event().wait(0.005)
            piece = b"T 1\nTIME\n" if not getattr(self, "started", False) else b"H\n   1.0\n" * 100
            self.started = True
            buffer[:len(piece)] = piece
            return len(piece)

    flag = _native.StopFlag()
    outcome = {}

    def reading():
        try:
            read_in_pieces(Endless(), 6, stop=flag)
        except BaseException as error:  # noqa: BLE001 - ReadInterrupted is a KeyboardInterrupt
            outcome["raised"] = type(error)

    reader = threading.Thread(target=reading)
    reader.start()
    threading.Event().wait(0.2)
    flag.set()
    reader.join(0.25)
    assert not reader.is_alive() and outcome == {"raised": tolvane.ReadInterrupted}
    assert feeds_left() == []


# Reads a file of long header lines that compresses to almost nothing, and reports how much its
# peak resident memory grew, the values' bytes, and the threads left.
MEMORY_CHILD = r"""
import io, json, sys, threading
import tolvane

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))

out, path, width, given = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
source = io.BytesIO(open(path, "rb").read()) if given == "file object" else path
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmHWM:")
plot = tolvane.read(source, width)
json.dump({"peak": status("VmHWM:") - before, "blocks": len(plot), "values": plot.to_numpy().nbytes,
           "threads": threading.active_count()}, open(out, "w"))
"""


def packer(kind):
    """A compressor of one stream, fed piece by piece: (compress, flush)."""
    if kind == "gzip":
        packing = zlib.compressobj(1, wbits=31)
        return packing.compress, packing.flush
    name, zstd = zstd_library()
    packing = zstd.ZstdCompressor(level=1).compressobj() if name == "zstandard" else zstd.ZstdCompressor(level=1)
    return packing.compress, packing.flush


@skip_without_memory_limits
@pytest.mark.parametrize("kind", ["gzip", "zstd"])
def test_a_compressed_file_is_never_held_whole(tmp_path, kind):
    """A plot file of 384 MB in one stream of a few hundred KB (header lines of 64 KiB of one
    letter): read within the values' bytes and 64 MiB, whatever the ratio of the stream."""
    block = b"H" * 65536 + b"\n   1.5\n"
    compress, flush = packer(kind)
    path = tmp_path / f"runs.{kind}"
    with open(path, "wb") as f:
        f.write(compress(b"T 1\nTIME\n"))
        for _ in range(96):
            f.write(compress(block * 64))
        f.write(flush())
    got, out, err = run_child(tmp_path, MEMORY_CHILD, path, 6, "path", timeout=120)
    assert (out, err) == ("", "") and got["blocks"] == 96 * 64 and got["threads"] == 1
    assert got["peak"] <= got["values"] + 64 * 2**20, got


@skip_without_memory_limits
@pytest.mark.parametrize("kind", ["gzip", "zstd", "file object"])
def test_the_values_are_stored_once_at_the_size_the_stream_states(tmp_path, kind):
    """40 MB of values of 500 parameters: sized from the decompressed size that the stream
    states (gzip's last four bytes, zstd's frame header) or from the size of a plain stream,
    they are stored once, not grown step by step, which holds about two and a half times their
    bytes at its peak."""
    block = "H\n" + ("  1.5" * 10 + "\n") * 50
    data = ("T 500\n" + "".join(f"P{i}\n" for i in range(500)) + block * 20_000).encode()
    packed = {"gzip": lambda: gzip.compress(data, 1), "zstd": lambda: COMPRESS["zstd"](data)}
    path = write_plot(tmp_path, packed[kind]() if kind in packed else data, name="run")
    got, out, err = run_child(tmp_path, MEMORY_CHILD, path, 5, kind, timeout=120)
    assert (out, err) == ("", "") and got["blocks"] == 20_000
    assert got["peak"] <= got["values"] + 16 * 2**20, got


# ---------------------------------------------------------------- URLs


# fsspec's thread of its own (the event loop of s3fs and HTTP) and the libraries under it leave
# their allocations behind at exit, which LeakSanitizer reports from every process that used them.
network_file_systems = pytest.mark.skipif(bool(os.environ.get("QUOREL_SANITIZED")),
                                          reason="fsspec's event loop leaves its allocations at exit")


@pytest.fixture(scope="module")
def http_files(tmp_path_factory):
    """An HTTP server of the standard library on 127.0.0.1 serving a folder: (its URL, the
    folder). Stopped at the end."""
    folder = tmp_path_factory.mktemp("http")
    handler = functools.partial(Quiet, directory=str(folder))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    serving = threading.Thread(target=server.serve_forever, daemon=True)
    serving.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}", folder
    finally:
        server.shutdown()
        server.server_close()
        serving.join()


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):  # not on standard error
        pass


def sweep_data(runs):
    """Small plot files of the same names, each its own values."""
    return [plot_text(3, [[f"{step}", f"{run}.5", f"-{step}.25"] for step in range(40)], 12).encode()
            for run in range(runs)]


@network_file_systems
def test_http_urls_read_as_the_local_files(tmp_path, http_files):
    pytest.importorskip("aiohttp")
    url, folder = http_files
    files = sweep_data(3)
    for index, data in enumerate(files):
        (folder / f"run{index}.plt.zst").write_bytes(COMPRESS["zstd"](data))
    local = [write_plot(tmp_path, data, name=f"run{index}.plt") for index, data in enumerate(files)]
    urls = [f"{url}/run{index}.plt.zst" for index in range(3)]
    assert outcome(urls[1], None) == outcome(local[1], None)
    assert tolvane.read(urls[1]).path == urls[1]
    pd = pytest.importorskip("pandas")
    frame = tolvane.read_many(urls)
    expected = tolvane.read_many(local)
    assert list(frame["path"].cat.categories) == urls
    pd.testing.assert_frame_equal(frame.drop(columns="path"), expected.drop(columns="path"))
    with pytest.raises(FileNotFoundError) as raised:
        tolvane.read(f"{url}/missing.plt")
    assert raised.value.filename == f"{url}/missing.plt"


def put_sweep(s3_server, prefix, files):
    import s3fs

    s3 = s3fs.S3FileSystem(**s3_server)
    for index, data in enumerate(files):
        s3.pipe(f"sweeps/{prefix}/run{index}.plt.gz", gzip.compress(data))
    s3.invalidate_cache()
    return [f"s3://sweeps/{prefix}/run{index}.plt.gz" for index in range(len(files))]


@network_file_systems
def test_s3_urls_and_patterns_read_as_the_local_files(tmp_path, s3_server):
    pd = pytest.importorskip("pandas")
    files = sweep_data(3)
    urls = put_sweep(s3_server, "read", files)
    local = [write_plot(tmp_path, data, name=f"run{index}.plt") for index, data in enumerate(files)]
    assert outcome(urls[0], None, storage_options=s3_server) == outcome(local[0], None)
    frame = tolvane.read_many("s3://sweeps/read/run*.plt.gz", storage_options=s3_server)
    assert list(frame["path"].cat.categories) == urls
    pd.testing.assert_frame_equal(frame.drop(columns="path"), tolvane.read_many(local).drop(columns="path"))
    with pytest.raises(FileNotFoundError) as raised:
        tolvane.read("s3://sweeps/read/missing.plt", storage_options=s3_server)
    assert raised.value.filename == "s3://sweeps/read/missing.plt"
    with pytest.raises(FileNotFoundError, match="no file matches the pattern"):
        tolvane.read_many("s3://sweeps/read/*.csv", storage_options=s3_server)


@pytest.mark.parametrize("storage_options, error, message", [
    ({"anon": True}, ValueError, "storage_options are for URLs"),
    ("anon=true", TypeError, "storage_options must be a mapping"),
])
def test_storage_options_are_for_urls(tmp_path, storage_options, error, message):
    path = write_plot(tmp_path, HEAD + ROW)
    with pytest.raises(error, match=message):
        tolvane.read(path, storage_options=storage_options)
    pytest.importorskip("pandas")  # read_many's table
    with pytest.raises(error, match=message):
        tolvane.read_many([path], storage_options=storage_options)


# ---------------------------------------------------------------- the command


def command(*args, **options):
    proc = subprocess.run([sys.executable, "-m", "tolvane", *map(str, args)], capture_output=True,
                          env=child_env(), timeout=120, **options)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


@pytest.fixture(scope="module")
def command_data(tmp_path_factory):
    """A small plot file, and what `tolvane info` says of it (after its name)."""
    data = sweep_data(1)[0]
    plain = write_plot(tmp_path_factory.mktemp("command"), data, name="run.plt")
    status, out, err = command("info", plain)
    assert (status, err) == (0, "")
    return data, plain, out.split(": ", 1)[1]


@pytest.mark.parametrize("kind", ["zstd file", "gzip on standard input",
                                  pytest.param("s3", marks=network_file_systems)])
def test_the_command_reads_every_kind_of_source(tmp_path, command_data, request, kind):
    data, plain, said = command_data
    stdin = None
    if kind == "zstd file":
        name = write_plot(tmp_path, COMPRESS["zstd"](data), name="run.plt.zst")
        args = [name]
    elif kind == "gzip on standard input":
        name, args, stdin = "/dev/stdin", ["-"], gzip.compress(data)
    else:
        s3_server = request.getfixturevalue("s3_server")
        name = put_sweep(s3_server, "command", [data])[0]
        args = [name] + [f"--storage-option={key}={value}" for key, value in
                         [("endpoint_url", s3_server["endpoint_url"]), ("key", "testing"),
                          ("secret", '"testing"')]]  # JSON text, or text
    assert command("info", *args, input=stdin) == (0, f"{name}: {said}", "")
    if kind == "zstd file" and have("pyarrow"):
        assert command("convert", name, tmp_path / "out.parquet") == (0, "", "")
        import pyarrow.parquet

        table = pyarrow.parquet.read_table(tmp_path / "out.parquet")
        assert bits(table.column(1).to_numpy()) == bits(tolvane.read(plain)[1])


@pytest.mark.parametrize("args, message", [
    (["info", "{plain}", "--storage-option", "anon"], "'anon' is not KEY=VALUE"),
    (["info", "{plain}", "--storage-option", "anon=true"], "--storage-option is for URLs"),
])
def test_a_bad_storage_option_is_a_bad_argument(tmp_path, args, message):
    plain = write_plot(tmp_path, HEAD + ROW)
    status, out, err = command(*(arg.format(plain=plain) for arg in args))
    assert (status, out) == (2, "") and message in err
