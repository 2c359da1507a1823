"""Shared helpers for the quorel tests.

Test modules import these with ``from conftest import ...``.
"""
import ctypes
import json
import math
import operator
import os
import pathlib
import struct
import subprocess
import sys
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
# The plot-file seeds of the fuzzer: one width byte, then the bytes of a plot file.
SEEDS = ROOT / "fuzz" / "corpus" / "plot_reader"
# Width bytes 0xF8 and above select these widths; lower ones give the width modulo 41.
HUGE_WIDTHS = [2**64 - 1, 2**64 - 2, 2**63, 2**63 - 1, 2**32, 2**32 + 12, 8192, 100000]

# A free-threaded interpreter (3.13t and later) runs without the GIL until a module that does
# not declare it can, such as quorel, is imported: that import turns the GIL on for the whole
# process, with a RuntimeWarning on standard error. The tests compare their child interpreters'
# standard error byte for byte, so the children start with the GIL there, as on any other
# build; the tests of tolvane without the GIL start theirs without it (gil_free_env).
FREE_THREADED = sysconfig.get_config_var("Py_GIL_DISABLED") == 1
if FREE_THREADED:
    os.environ.setdefault("PYTHON_GIL", "1")


def seed_width(byte):
    """The field width that a seed's first byte selects."""
    return HUGE_WIDTHS[byte - 0xF8] if byte >= 0xF8 else byte % 41


def f32bits(x):
    """Return the 32-bit pattern of ``x``, which must be an exact binary32 value.

    Every float that quorel returns is a binary32 value widened to a double, so
    this fails loudly (instead of rounding) when a returned float is not one.
    NaNs keep their sign and payload bits.
    """
    if type(x) is not float:
        raise AssertionError(f"expected a float, got {type(x).__name__}: {x!r}")
    d = struct.unpack("<Q", struct.pack("<d", x))[0]
    if math.isnan(x):
        if d & 0x1FFFFFFF:
            raise AssertionError(f"NaN {d:016X} is not a widened binary32 NaN")
        return ((d >> 63) << 31) | 0x7F800000 | ((d >> 29) & 0x7FFFFF)
    try:
        packed = struct.pack("<f", x)
    except OverflowError:
        raise AssertionError(f"{x!r} is outside the binary32 range") from None
    back = struct.unpack("<f", packed)[0]
    if struct.pack("<d", back) != struct.pack("<d", x):
        raise AssertionError(f"{x!r} is not an exact binary32 value")
    return struct.unpack("<I", packed)[0]


def bits_list(values):
    """f32bits of every float in a list."""
    return [f32bits(v) for v in values]


def write_plot(tmp_path, *parts, name="plot.dat"):
    """Write the concatenated parts (bytes, or str encoded as UTF-8) to a file.

    Returns the file's path as a str, ready to pass as ``file_path``.
    """
    data = b"".join(p if isinstance(p, (bytes, bytearray)) else p.encode("utf-8")
                    for p in parts)
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def plot_text(count, blocks, width, *, first_line=None, names=None,
              header="  BLOCK", newline="\n"):
    """Text of a well-formed plot file.

    ``blocks`` is a list of blocks, each a list of ``count`` field texts that are
    right-aligned in fields of ``width`` characters, ten fields per data line.
    """
    if first_line is None:
        first_line = f" TOLVANE PLOT FILE    {count}"
    if names is None:
        names = [f"  {i + 1:4d}  PARAM_{i}" for i in range(count)]
    lines = [first_line, *names]
    for block in blocks:
        assert len(block) == count
        lines.append(header)
        fields = [str(f).rjust(width) for f in block]
        for start in range(0, count, 10):
            lines.append("".join(fields[start:start + 10]))
    return newline.join(lines) + newline


def panic_message(func, *args, **kwargs):
    """Call ``func`` and return (type name, str()) of the BaseException it raises."""
    try:
        func(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - PanicException is not an Exception
        return type(exc).__name__, str(exc)
    pytest.fail("the call did not raise")


def interpreter_index_error(value):
    """The running interpreter's own text for a failed PyNumber_Index of ``value``.

    CPython words these differently from one version to the next."""
    try:
        operator.index(value)
    except TypeError as exc:
        return str(exc)
    raise AssertionError("expected a TypeError")


def interpreter_ull_error(value):
    """The interpreter's own PyLong_AsUnsignedLongLong failure for ``value``."""
    func = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    func.argtypes = [ctypes.py_object]
    func.restype = ctypes.c_ulonglong
    try:
        func(value)
    except OverflowError as exc:
        return str(exc)
    raise AssertionError("expected an OverflowError")


def interpreter_encode_error(text):
    """The interpreter's own text for the failed UTF-8 encoding of ``text``."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as exc:
        return str(exc)
    raise AssertionError("expected a UnicodeEncodeError")


def address_space_limits_hold():
    """Whether a child whose address space is capped (RLIMIT_AS) is refused memory past the cap.

    Not under AddressSanitizer (tools/sanitize.sh), whose process reserves terabytes of shadow
    memory and whose allocator keeps freed memory in quarantine; nor under QEMU's user-mode
    emulation, which keeps such limits from itself and so from the program it runs. There,
    address-space limits and memory figures measure the sanitizer or the emulator, not the
    module."""
    if os.environ.get("QUOREL_SANITIZED"):
        return False
    probe = ("import resource\n"
             "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
             "try:\n    bytearray(1 << 31)\nexcept MemoryError:\n    raise SystemExit(7)\n")
    return subprocess.run([sys.executable, "-c", probe]).returncode == 7


skip_without_memory_limits = pytest.mark.skipif(
    not address_space_limits_hold(),
    reason="memory limits and figures are meaningless under AddressSanitizer or emulation")


def child_env():
    """The environment for a child interpreter that imports the very build this one imported."""
    import quorel

    env = os.environ.copy()
    env.pop("QUOREL_BACKTRACE", None)
    here = os.path.dirname(os.path.abspath(quorel.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH", "")) if p)
    return env


def gil_free_env():
    """child_env() for a child that is to run without the GIL on a free-threaded interpreter:
    without the PYTHON_GIL that the other children get there."""
    env = child_env()
    env.pop("PYTHON_GIL", None)
    return env


skip_unless_free_threaded = pytest.mark.skipif(
    not FREE_THREADED, reason="the interpreter is not a free-threaded build (--disable-gil)")


def run_child(tmp_path, code, *args, timeout=120, quiet=False, env=None):
    """Run ``code`` in a child interpreter; return (json result, stdout, stderr) as text.

    The child receives the result file's path as argv[1] and ``args`` after it, and must exit 0.
    With ``quiet`` its descriptors 1 and 2 go to /dev/null.
    """
    out = tmp_path / "child-result.json"
    if out.exists():
        out.unlink()
    sink = subprocess.DEVNULL if quiet else subprocess.PIPE
    proc = subprocess.run([sys.executable, "-c", code, str(out), *map(str, args)],
                          stdout=sink, stderr=sink, env=child_env() if env is None else env, cwd=tmp_path,
                          timeout=timeout)
    stdout = (proc.stdout or b"").decode("utf-8", "replace")
    stderr = (proc.stderr or b"").decode("utf-8", "replace")
    assert proc.returncode == 0, f"child exit {proc.returncode}\n{stderr}"
    return json.loads(out.read_text()), stdout, stderr


# The end of a child that defines CASES, call(k) and seen (one set of outcomes per case): it
# makes the calls in turn, argv[3] to warm up then argv[4] measured in SPANS equal spans, and
# reports the process's figures before, between and after the spans, and each case's outcomes.
LEAK_MEASURE = r'''
import gc, json, os, sys
SPANS = 3

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])

try:
    import ctypes
    class MallInfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
            "fsmblks", "uordblks", "fordblks", "keepcost")]
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2
except (ImportError, OSError, AttributeError):
    mallinfo2 = None

def malloc_in_use():
    if mallinfo2 is None:
        return None
    info = mallinfo2()
    return info.uordblks + info.hblkhd

def snapshot():
    gc.collect()
    return {"blocks": sys.getallocatedblocks(),
            "fds": sorted(os.listdir("/proc/self/fd")),
            "rss_kib": status("VmRSS:"),
            "malloc": malloc_in_use()}

WARMUP, CALLS = int(sys.argv[3]), int(sys.argv[4])
for i in range(WARMUP):
    call(i % len(CASES))
snapshots = [snapshot()]
for span in range(SPANS):
    for i in range(span * CALLS // SPANS, (span + 1) * CALLS // SPANS):
        call(i % len(CASES))
    snapshots.append(snapshot())
with open(out, "w") as f:
    json.dump({"before": snapshots[0], "after": snapshots[-1], "snapshots": snapshots,
               "outcomes": [sorted(map(list, s)) for s in seen]}, f)
'''


def assert_flat(res, warmup, calls):
    """The figures of a LEAK_MEASURE child stayed flat over its measured calls."""
    snapshots = res["snapshots"]
    before, after = snapshots[0], snapshots[-1]
    growth = {key: [b[key] - a[key] for a, b in zip(snapshots, snapshots[1:])]
              for key in ("blocks", "malloc") if before[key] is not None}
    figures = (f"{calls} calls after {warmup} warm-up calls: "
               f"allocated blocks {before['blocks']} -> {after['blocks']} "
               f"(by span {growth['blocks']}), "
               f"open descriptors {len(before['fds'])} -> {len(after['fds'])}, "
               f"VmRSS {before['rss_kib']} KiB -> {after['rss_kib']} KiB "
               f"({after['rss_kib'] - before['rss_kib']:+d} KiB)")
    if "malloc" in growth:
        figures += f", C heap in use {before['malloc']} -> {after['malloc']} bytes (by span {growth['malloc']})"
    print("\n" + figures)
    # A leak grows every span alike; the interpreter's own growth comes in steps that end: its
    # dicts and sets resize at points that move with the hash seed, its free lists fill up (CPython
    # 3.10 adds 40 to 80 kB that way over the first 20000 calls of a mix), and a free-threaded
    # interpreter defers freeing until its threads pass a quiescent point. So the span that grew
    # least is the one judged: one leaked object a call would add one block a call, and one leaked
    # allocation at least 32 bytes a call, to every span.
    span_calls = calls // len(growth["blocks"])
    assert min(growth["blocks"]) < span_calls // 10, figures
    assert after["fds"] == before["fds"], figures
    assert after["rss_kib"] - before["rss_kib"] < 5 * 1024, figures
    if "malloc" in growth:
        assert min(growth["malloc"]) < span_calls * 32 // 5, figures


# A child that reads one file and reports the result (value bits, or the exception's type name
# and message) and how much its peak resident memory grew during the read. With a fourth
# argument it reads with its address space capped (RLIMIT_AS) at its size before the read plus
# that many MiB.
MEASURED_READ_CHILD = r'''
import json, resource, struct, sys
import quorel
out, path, width = sys.argv[1], sys.argv[2], int(sys.argv[3])

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])

bits = lambda vs: [struct.unpack("<I", struct.pack("<f", v))[0] for v in vs]
if len(sys.argv) > 4:
    limit = status("VmSize:") * 1024 + int(sys.argv[4]) * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
hwm = status("VmHWM:")
try:
    times, cols = quorel.rust_read_tolvane(path, width)
except BaseException as exc:
    res = [type(exc).__name__, str(exc)]
else:
    res = ["ok", [bits(times), [bits(c) for c in cols]]]
with open(out, "w") as f:
    json.dump({"hwm_delta_kib": status("VmHWM:") - hwm, "result": res}, f)
'''


def readme_text():
    """The project's README.md; skips where it is not beside tests/ (a copy of tests/ alone)."""
    readme = ROOT / "README.md"
    if not readme.is_file():
        pytest.skip(f"{readme} is not there: these tests run in a clone of the project")
    return readme.read_text(encoding="utf-8")


def run_example(tmp_path, script, *args, env=None, timeout=120):
    """Run examples/``script`` with ``args`` as a user would, in ``tmp_path``; return the
    completed process with its output as text.

    Skips where the examples are not beside the tests (the wheel check runs a copy of tests/).
    """
    path = EXAMPLES / script
    if not path.is_file():
        pytest.skip(f"{path} is not there: these tests run in a clone of the project")
    return subprocess.run([sys.executable, str(path), *map(str, args)], capture_output=True,
                          text=True, cwd=tmp_path, env=env or child_env(), timeout=timeout)


@pytest.fixture(scope="session")
def s3_server():
    """An S3 API on 127.0.0.1 (moto's standalone server, on a free port), for the whole session:
    the storage_options that point s3fs at it, with a bucket "sweeps" made. Stopped at the end."""
    pytest.importorskip("s3fs")
    moto_server = pytest.importorskip("moto.server")
    import logging

    import s3fs

    # werkzeug logs every request on standard error.
    logging.getLogger("werkzeug").setLevel(logging.ERROR)
    server = moto_server.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    try:
        host, port = server.get_host_and_port()
        options = {"endpoint_url": f"http://{host}:{port}", "key": "testing", "secret": "testing"}
        s3fs.S3FileSystem(**options).mkdir("sweeps")
        yield options
    finally:
        server.stop()


# ---------------------------------------------------------------- outputs that are not files

EARLIER = b"an earlier file\n"


def make_node(folder, kind, name):
    """folder/name as an output that is not a regular file of its own: a FIFO; a character
    device that is a twin of /dev/full (every write fails with ENOSPC), which only root may
    make (the test skips elsewhere); or a symbolic link to the regular file target-NAME beside
    it, which holds EARLIER. Never one of the system's own nodes."""
    import stat

    path = pathlib.Path(folder) / name
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "device":
        try:
            os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 7))
            os.close(os.open(path, os.O_WRONLY))  # a file system mounted nodev refuses it
        except OSError as error:
            pytest.skip(f"cannot make a device node here: {error}")
    else:
        (path.parent / f"target-{name}").write_bytes(EARLIER)
        path.symlink_to(f"target-{name}")
    return path


def node_stays(path, kind):
    """Whether what make_node made at path is still what it was."""
    import stat

    mode = os.lstat(path).st_mode
    if kind == "fifo":
        return stat.S_ISFIFO(mode)
    if kind == "device":
        return stat.S_ISCHR(mode) and os.lstat(path).st_rdev == os.makedev(1, 7)
    return stat.S_ISLNK(mode) and os.readlink(path) == f"target-{path.name}"


def through_fifo(path, write):
    """The bytes a reader of the FIFO at path gets while write() runs on another thread, and
    what write() returned. The reader is there first (its open does not wait), so that a write
    that never opens the FIFO gives b"" rather than a test that waits for ever."""
    import concurrent.futures
    import select

    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    got = bytearray()
    try:
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            done = pool.submit(write)
            while True:
                ready, _, _ = select.select([fd], [], [], 0.05)
                chunk = os.read(fd, 1 << 16) if ready else b""
                if chunk:
                    got += chunk
                elif done.done():
                    break
                else:
                    # No writer yet, or none any more: the end of the FIFO is seen at once.
                    select.select([], [], [], 0.005)
    finally:
        os.close(fd)
    return bytes(got), done.result()
