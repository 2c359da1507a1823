"""A line too large for the memory the process may use.

The line buffer is one of the module's own allocations. When it cannot be obtained the read
fails like any other: a report on descriptor 2, everything released, the file closed, and
PanicException("memory allocation of N bytes failed"). The caller's process lives on and can
read a good file afterwards.

The child caps its address space (RLIMIT_AS) at its current size plus 200 MiB after importing
the module, then reads a file whose only line is 600 MiB of NUL bytes (valid UTF-8, no line
feed). The file is sparse, so it costs no real disk space, but is skipped where little space
is free.
"""

import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import skip_under_sanitizer

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


@skip_under_sanitizer
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
