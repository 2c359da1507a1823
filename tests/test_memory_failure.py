"""Memory that runs out during a call.

The module's own allocations (the line buffer, the read buffer, the columns, and every text it
builds: failure messages, the diagnostic line, the path handed to open, argument-error messages)
fail the call like any other failure when memory cannot be had: a report on descriptor 2,
everything released, the file closed, and PanicException("memory allocation of N bytes
failed") with the size that was asked for. The caller's process lives on and can read a good
file afterwards. Only memory the read needs may fail it: the size the columns are given from a
guess at the file's length is dropped when it cannot be had, and the read goes on.

For the line buffer, the child caps its address space (RLIMIT_AS) at its current size plus
200 MiB after importing the module, then reads a file whose only line is 600 MiB of NUL bytes
(valid UTF-8, no line feed). The file is sparse, so it costs no real disk space, but is skipped
where little space is free.
"""

import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import MEASURED_READ_CHILD, f32bits, run_child, skip_without_memory_limits

NOTE = "note: run with `QUOREL_BACKTRACE=1` environment variable to display a backtrace\n"
NOT_FOUND = 'Plot file not found!: Os { code: 2, kind: NotFound, message: "No such file or directory" }'
LINE_BYTES = 600 * 2**20

CHILD = r'''
import os, resource, sys
import quorel
big, missing, good, earlier = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "1"
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
if earlier:
    try:
        quorel.rust_read_tolvane(missing, 12)
    except BaseException:
        pass
with open("/proc/self/status") as f:
    vm_kib = next(int(l.split()[1]) for l in f if l.startswith("VmSize:"))
limit = vm_kib * 1024 + 200 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
fds_before = sorted(os.listdir("/proc/self/fd"))
os.write(2, b"@@marker@@\n")
try:
    quorel.rust_read_tolvane(big, 12)
except BaseException as exc:
    os.write(2, ("@@raised@@ %s.%s: %s\n" % (type(exc).__module__, type(exc).__name__, exc)).encode())
else:
    os.write(2, b"@@returned@@\n")
assert sorted(os.listdir("/proc/self/fd")) == fds_before
time, columns = quorel.rust_read_tolvane(good, 12)
os.write(2, ("@@good@@ %r %r\n" % (time, columns)).encode())
'''


@pytest.fixture(scope="module")
def big_line_file(tmp_path_factory):
    d = tmp_path_factory.mktemp("memory")
    if shutil.disk_usage(d).free < 2 * 2**30:
        pytest.skip("less than 2 GB free disk space")
    path = d / "one-huge-line.plt"
    with open(path, "wb") as f:
        f.truncate(LINE_BYTES)
    return path


@skip_without_memory_limits
@pytest.mark.parametrize("earlier_report", [False, True], ids=["first-failure", "after-a-report"])
def test_line_allocation_failure_raises_and_process_survives(big_line_file, tmp_path, earlier_report):
    good = tmp_path / "good.plt"
    good.write_text("T 2\nTIME\nX\nH\n         1.5        -2.0\n")
    env = os.environ.copy()
    env.pop("QUOREL_BACKTRACE", None)
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, str(big_line_file), str(tmp_path / "missing.plt"), str(good),
         "1" if earlier_report else "0"],
        capture_output=True, env=env, cwd=tmp_path, timeout=120)
    err = proc.stderr.decode("utf-8", "replace")
    assert proc.returncode == 0, err
    head, sep, tail = err.partition("@@marker@@\n")
    assert sep, err
    if earlier_report:
        assert head.endswith("\n" + NOT_FOUND + "\n" + NOTE), head
    else:
        assert head == ""

    # The report, with the note only if no earlier report had it, then the exception.
    note = "" if earlier_report else re.escape(NOTE)
    m = re.fullmatch(
        r"\nthread '<unnamed>' \(\d+\) panicked at src/[\w/]+\.(?:cpp|hpp):\d+:\d+:\n"
        r"(memory allocation of (\d+) bytes failed)\n" + note +
        r"@@raised@@ pyo3_runtime\.PanicException: \1\n"
        r"@@good@@ \[1\.5\] \[\[-2\.0\]\]\n",
        tail)
    assert m, tail
    # The request that failed is for more than the 200 MiB the process had left.
    assert int(m[2]) > 200 * 2**20


# Memory running out while a text is built: a failure message, the diagnostic line, the path
# handed to open, an argument-error message. Each child makes its input first, then caps its
# address space at its current size plus HEADROOM MiB, which holds everything the call needs
# except the one text of about TEXT_MIB MiB.
TEXT_MIB = 150

TEXT_CHILD = r'''
import importlib.util, json, os, resource, struct, sys
import quorel
out, case, headroom, text_bytes, plot, good = sys.argv[1:7]
headroom, text_bytes = int(headroom), int(text_bytes)
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

def unnamed_object():
    class Unnamed:
        pass
    Unnamed.__qualname__ = "q" * text_bytes
    return Unnamed()

if case == "first-line":
    call = lambda: quorel.rust_read_tolvane(plot, 12)
elif case == "path":
    path = "p" * text_bytes
    call = lambda: quorel.rust_read_tolvane(path, 12)
elif case == "argument-message":
    obj = unnamed_object()
    call = lambda: quorel.rust_read_tolvane(obj, 12)
elif case == "exec-message":
    spec = importlib.util.find_spec("quorel")
    module = importlib.util.module_from_spec(spec)
    module.__all__ = unnamed_object()
    call = lambda: spec.loader.exec_module(module)

with open("/proc/self/status") as f:
    vm_kib = next(int(l.split()[1]) for l in f if l.startswith("VmSize:"))
limit = vm_kib * 1024 + headroom * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
fds_before = sorted(os.listdir("/proc/self/fd"))
os.write(2, b"@@marker@@\n")
try:
    call()
except BaseException as exc:
    raised = ["%s.%s" % (type(exc).__module__, type(exc).__name__), list(exc.args)]
else:
    raised = None
fds_same = sorted(os.listdir("/proc/self/fd")) == fds_before
time, columns = quorel.rust_read_tolvane(good, 12)
bits = [[struct.unpack("<I", struct.pack("<f", v))[0] for v in series] for series in [time, *columns]]
with open(out, "w") as f:
    json.dump({"raised": raised, "fds_same": fds_same, "good_bits": bits}, f)
'''


@pytest.fixture(scope="module")
def long_first_line_file(tmp_path_factory):
    """A first line of TEXT_MIB MiB of NUL bytes (one token, not a count), then a name line."""
    path = tmp_path_factory.mktemp("memory") / "long-first-line.plt"
    with open(path, "wb") as f:
        f.seek(TEXT_MIB * 2**20)
        f.write(b"\nT\n")
    return path


@skip_without_memory_limits
@pytest.mark.parametrize("case, headroom_mib", [
    # The line (a 256 MiB buffer) fits; the diagnostic line that quotes it does not.
    ("first-line", 300),
    # The path given as file_path, copied to be handed to open.
    ("path", 100),
    # "'<type name>' object is not an instance of 'str'" for file_path.
    ("argument-message", 100),
    # The same for a module whose __all__ is not a list, in the exec step.
    ("exec-message", 100),
])
def test_text_allocation_failure_raises_and_process_survives(long_first_line_file, tmp_path, case,
                                                             headroom_mib):
    good = tmp_path / "good.plt"
    good.write_text("T 2\nTIME\nX\nH\n         1.5        -2.0\n")
    text_bytes = TEXT_MIB * 2**20
    res, stdout, err = run_child(tmp_path, TEXT_CHILD, case, headroom_mib, text_bytes,
                                 long_first_line_file, good)
    head, sep, tail = err.partition("@@marker@@\n")
    assert sep and head == "", err
    assert stdout == ""

    # The report of the allocation, then PanicException with the same message.
    m = re.fullmatch(
        r"\nthread '<unnamed>' \(\d+\) panicked at src/[\w/]+\.(?:cpp|hpp):\d+:\d+:\n"
        r"(memory allocation of (\d+) bytes failed)\n" + re.escape(NOTE), tail)
    assert m, tail
    assert res["raised"] == ["pyo3_runtime.PanicException", [m[1]]]
    # The size asked for is the text's: its content, a little more around it, a terminator.
    assert text_bytes < int(m[2]) <= text_bytes + 128
    assert res["fds_same"] is True
    assert res["good_bits"] == [[0x3FC00000], [0xC0000000]]  # 1.5, -2.0


# After the first block the series are sized for the whole file, guessing that every block is as
# long as the first. Where later blocks are longer, or the file is sparse, the guess asks for far
# more than the values need; it must never fail a read, whether it cannot be had under an
# address-space limit or at all. Later headers here are holes of HOLE bytes (NUL bytes, so
# valid UTF-8), which keeps the files sparse: a few MiB of line buffer read them.
HOLE = 2**20
HOLED_BLOCKS = 256
GUESS_HEADROOM_MIB = 32


def block_values(count, b):
    # Exact in binary32 and in five decimal places: block b, parameter k holds b + k / 8.
    return [b + k / 8 for k in range(count)]


def holed_file(path, count):
    """Block 0 with an empty header, then HOLED_BLOCKS blocks behind headers of HOLE NUL bytes."""
    head = b"T %d\n" % count + b"".join(b"P%d\n" % i for i in range(count))

    def data(b):
        fields = [b"%12.5E" % v for v in block_values(count, b)]
        return b"".join(b"".join(fields[i:i + 10]) + b"\n" for i in range(0, count, 10))

    with open(path, "wb") as f:
        f.write(head + b"\n" + data(0))
        first_block = 1 + len(data(0))
        for b in range(1, HOLED_BLOCKS + 1):
            f.seek(HOLE, os.SEEK_CUR)
            f.write(b"\n" + data(b))
        rest = f.tell() - len(head) - first_block
    # What the guess asks for: room in every series for as many blocks as the first would give.
    return count * 4 * (1 + -(-rest // first_block))


@skip_without_memory_limits
@pytest.mark.parametrize("count", [1, 500], ids=["one-series", "fails-part-way"])
def test_series_guess_that_cannot_be_had_leaves_the_read_going(tmp_path, count):
    # With one series, its one allocation fails; with 500, the allocations fail part way through
    # the series, and what the guess took must be given back, or the limit leaves too little for
    # the blocks' lines and the values.
    path = tmp_path / "long-headers.plt"
    guess = holed_file(path, count)
    assert guess > 2 * GUESS_HEADROOM_MIB * 2**20
    res, out, err = run_child(tmp_path, MEASURED_READ_CHILD, path, 12, GUESS_HEADROOM_MIB)
    blocks = [[f32bits(v) for v in block_values(count, b)] for b in range(HOLED_BLOCKS + 1)]
    series = [list(values) for values in zip(*blocks)]
    assert res["result"] == ["ok", [series[0], series[1:]]]
    assert out == "" and err == ""


@skip_without_memory_limits
def test_sparse_file_gives_its_own_error_not_the_guess(tmp_path):
    # A terabyte file, all hole after its second block: the guess for its one series is some
    # 300 GB, more than the kernel grants by default on any machine of today, but the read fails
    # on the second block. (Skipped under the sanitizer: its allocator ends the process on an
    # allocation it cannot make, where the module's gets null back.)
    path = tmp_path / "sparse.plt"
    path.write_bytes(b"X 1\nt\n\n 1.00000E+00\n\n xxxxxxxxxxx\n")
    try:
        os.truncate(path, 2**40)
    except OSError as exc:
        pytest.skip(f"no sparse file of 1 TiB here: {exc}")
    res, out, err = run_child(tmp_path, MEASURED_READ_CHILD, path, 12)
    assert res["result"] == ["PanicException", "Could not parse line: ParseFloatError { kind: Invalid }"]
    assert out == "" and err.count(" panicked at ") == 1
