"""Reliability of rust_read_tolvane over many calls and unusual file objects.

* Thousands of mixed successful and failing calls leave the interpreter's
  allocated blocks, the open descriptors and the resident memory flat.
* A file that changes between calls is read as it is at each call.
* FIFOs, /dev/null, an unreadable file and concurrent threads.
* A sparse file of about 2 GiB is streamed with bounded extra memory.

Anything that depends on descriptors 1 and 2, on process-wide figures or on a
call that might block runs in a child interpreter, which hands its
observations back as JSON through a file.
"""

import json
import os
import shutil
import tempfile
import threading
import time

import pytest

import quorel
from conftest import (LEAK_MEASURE, MEASURED_READ_CHILD, assert_flat, bits_list, f32bits, interpreter_encode_error,
                      interpreter_index_error, interpreter_ull_error, plot_text, run_child,
                      skip_without_memory_limits, write_plot)

read = quorel.rust_read_tolvane

NOT_FOUND = ('Plot file not found!: Os { code: 2, kind: NotFound, '
             'message: "No such file or directory" }')
PERMISSION = ('Plot file not found!: Os { code: 13, kind: PermissionDenied, '
              'message: "Permission denied" }')
IS_DIR = ('Failed to read line!: Os { code: 21, kind: IsADirectory, '
          'message: "Is a directory" }')
NUL_PATH = ('Plot file not found!: Error { kind: InvalidInput, '
            'message: "file name contained an unexpected NUL byte" }')
BAD_UTF8 = ('Failed to read line!: Error { kind: InvalidData, '
            'message: "stream did not contain valid UTF-8" }')
INVALID = "Could not parse line: ParseFloatError { kind: Invalid }"
EMPTY = "Could not parse line: ParseFloatError { kind: Empty }"
NO_FIRST_LINE = "Failed ot read line!"


def result_bits(result):
    times, cols = result
    assert type(times) is list and type(cols) is list
    return bits_list(times), [bits_list(c) for c in cols]


def outcome(path, width):
    """('ok', bits) or (exception type name, message) of one call."""
    try:
        result = read(path, width)
    except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
        return type(exc).__name__, str(exc)
    return "ok", result_bits(result)


def f32(x):
    return f32bits(float(x))


# ---------------------------------------------------------------- many calls

LEAK_CHILD = r'''
import json, os, sys
import quorel
read = quorel.rust_read_tolvane
out, d = sys.argv[1], sys.argv[2]
p = lambda name: os.path.join(d, name)

CASES = [
    ((p("good"), 6), {}),
    ((p("missing"), 6), {}),
    ((p("badfield"), 6), {}),
    ((p("short"), 6), {}),
    ((p("shortline"), 6), {}),
    ((p("badcount"), 6), {}),
    ((d, 6), {}),
    ((p("empty"), 6), {}),
    ((p("utf8"), 6), {}),
    ((p("zero"), 6), {}),
    ((p("good"), 0), {}),
    ((p("good") + "\0", 6), {}),
    ((123, 6), {}),
    ((p("good"), -1), {}),
    ((p("good"), 2**64), {}),
    ((p("good"), "6"), {}),
    (("\ud800", 6), {}),
    ((p("good"),), {}),
    ((), {"file_path": p("good"), "n_digits": 6}),
    ((), {"file_path": p("good"), "n_digits": 6, "x": 1}),
]

def bits(values):
    import struct
    return [struct.unpack("<I", struct.pack("<f", v))[0] for v in values]

seen = [set() for _ in CASES]

def call(k):
    args, kwargs = CASES[k]
    try:
        times, cols = read(*args, **kwargs)
    except BaseException as exc:
        seen[k].add((type(exc).__name__, str(exc)))
    else:
        seen[k].add(("ok", json.dumps([bits(times), [bits(c) for c in cols]])))

'''


def leak_expectations(d):
    good_bits = [[f32(1.5), f32(-0.25)], [[f32(2), f32(3)], [f32(-0.125), f32(4e5)]]]
    return [
        ("ok", json.dumps(good_bits)),
        ("PanicException", NOT_FOUND),
        ("PanicException", INVALID),
        ("PanicException", "Error reading line"),
        ("PanicException", "end byte index 18 is out of bounds for string of length 15"),
        ("PanicException",
         "The first line should end with the number of parameters:\n'T 3x'"),
        ("PanicException", IS_DIR),
        ("PanicException", NO_FIRST_LINE),
        ("PanicException", BAD_UTF8),
        ("PanicException", "capacity overflow"),
        ("PanicException", EMPTY),
        ("PanicException", NUL_PATH),
        ("TypeError", "argument 'file_path': 'int' object is not an instance of 'str'"),
        ("OverflowError", interpreter_ull_error(-1)),
        ("OverflowError", interpreter_ull_error(2**64)),
        ("TypeError", "argument 'n_digits': " + interpreter_index_error("6")),
        ("UnicodeEncodeError", interpreter_encode_error("\ud800")),
        ("TypeError", "rust_read_tolvane() missing 1 required positional argument: 'n_digits'"),
        ("ok", json.dumps(good_bits)),
        ("TypeError", "rust_read_tolvane() got an unexpected keyword argument 'x'"),
    ]


@skip_without_memory_limits
def test_many_calls_leave_memory_and_descriptors_flat(tmp_path):
    d = tmp_path / "files"
    d.mkdir()
    good = plot_text(3, [["1.5", "2", "-.125"], ["-0.25", "3", "4e5"]], 6)
    write_plot(d, good, name="good")
    write_plot(d, plot_text(3, [["1.5", "2", "x"]], 6), name="badfield")
    write_plot(d, plot_text(3, [], 6), "H\n", name="short")
    write_plot(d, "T 3\nA\nB\nC\nH\n     1     2  3\n", name="shortline")
    write_plot(d, "T 3x\nA\nB\nC\n", name="badcount")
    write_plot(d, b"", name="empty")
    write_plot(d, b"T 3\nA\n\xc0\xafB\nC\n", name="utf8")
    write_plot(d, "T 0\n", name="zero")

    res, _, _ = run_child(tmp_path, LEAK_CHILD + LEAK_MEASURE, d, 1000, 10000, quiet=True)
    # every case gave one and the same outcome on all of its calls
    expected = leak_expectations(d)
    for k, (want, got) in enumerate(zip(expected, res["outcomes"])):
        assert [list(want)] == got, f"case {k}"
    assert_flat(res, 1000, 10000)


# ---------------------------------------------------------------- changing files


def test_replaced_and_truncated_file_is_read_as_it_is_now(tmp_path, capfd):
    path = tmp_path / "plot.dat"
    first = plot_text(2, [["1", "2"], ["3", "4"]], 8)
    path.write_text(first)
    assert outcome(str(path), 8) == ("ok", ([f32(1), f32(3)], [[f32(2), f32(4)]]))

    # a new file put in place under the same name
    other = tmp_path / "other.dat"
    other.write_text(plot_text(3, [["5", "6", "7"]] * 3, 8))
    os.replace(other, path)
    assert outcome(str(path), 8) == ("ok", ([f32(5)] * 3, [[f32(6)] * 3, [f32(7)] * 3]))

    text = path.read_bytes()
    names_end = len(b"".join(text.splitlines(keepends=True)[:4]))
    data_start = names_end + len(b"  BLOCK\n")
    # cut inside the first data line: 20 of its 24 bytes remain
    os.truncate(path, data_start + 20)
    assert outcome(str(path), 8) == (
        "PanicException", "end byte index 24 is out of bounds for string of length 20")
    # cut after the first header line
    os.truncate(path, data_start)
    assert outcome(str(path), 8) == ("PanicException", "Error reading line")
    # cut after the name lines: no blocks
    os.truncate(path, names_end)
    assert outcome(str(path), 8) == ("ok", ([], [[], []]))
    # grown again by appending the rest
    with open(path, "ab") as f:
        f.write(text[names_end:])
    assert outcome(str(path), 8) == ("ok", ([f32(5)] * 3, [[f32(6)] * 3, [f32(7)] * 3]))
    os.truncate(path, 0)
    assert outcome(str(path), 8) == ("PanicException", NO_FIRST_LINE)

    # many replacements in a row, each with other values and another block count
    for n in range(1, 40):
        blocks = [[f"{n + b / 4}", f"-{b}e{n % 7}"] for b in range(n % 5)]
        tmp = tmp_path / f"next{n}.dat"
        tmp.write_text(plot_text(2, blocks, 10))
        os.replace(tmp, path)
        want = ([f32(n + b / 4) for b in range(n % 5)],
                [[f32(f"-{b}e{n % 7}") for b in range(n % 5)]])
        assert outcome(str(path), 10) == ("ok", want), n
    capfd.readouterr()


# ---------------------------------------------------------------- FIFOs

def fifo_writer(fifo, data, chunk, pause):
    """Thread body: open the FIFO for writing (waits for the reader) and feed it."""
    fd = os.open(fifo, os.O_WRONLY)
    try:
        for start in range(0, len(data), chunk):
            os.write(fd, data[start:start + chunk])
            if pause:
                time.sleep(pause)
    finally:
        os.close(fd)


def read_fifo_in_child(tmp_path, fifo, data, width, chunk=997, pause=0.0):
    """The child reads the FIFO while a thread of this process writes ``data``."""
    writer = threading.Thread(target=fifo_writer, args=(fifo, data, chunk, pause),
                              daemon=True)
    writer.start()
    try:
        res = run_child(tmp_path, MEASURED_READ_CHILD, fifo, width, timeout=60, quiet=True)[0]["result"]
    finally:
        if writer.is_alive():
            # the child never opened the FIFO: release the writer's open
            try:
                fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
                writer.join(5)
                os.close(fd)
            except OSError:
                pass
    writer.join(10)
    return res


def test_fifo_with_writer(tmp_path):
    fifo = str(tmp_path / "plot.fifo")
    os.mkfifo(fifo)
    # more than a pipe holds, written in odd-sized pieces so lines arrive split
    blocks = [[f"{b}.5", f"{-b}e2", "7"] for b in range(2500)]
    data = plot_text(3, blocks, 12).encode()
    assert len(data) > 65536
    res = read_fifo_in_child(tmp_path, fifo, data, 12)
    assert res == ["ok", [[f32(f"{b}.5") for b in range(2500)],
                          [[f32(f"{-b}e2") for b in range(2500)], [f32(7)] * 2500]]]


def test_fifo_fed_in_small_pieces(tmp_path):
    fifo = str(tmp_path / "plot.fifo")
    os.mkfifo(fifo)
    # pieces of 7 bytes with pauses: reads return parts of lines and of fields
    blocks = [[f"{b}.75", f"-{b}e3"] for b in range(6)]
    data = plot_text(2, blocks, 11, newline="\r\n").encode()
    res = read_fifo_in_child(tmp_path, fifo, data, 11, chunk=7, pause=0.002)
    assert res == ["ok", [[f32(f"{b}.75") for b in range(6)],
                          [[f32(f"-{b}e3") for b in range(6)]]]]


def test_fifo_closed_at_once(tmp_path):
    fifo = str(tmp_path / "plot.fifo")
    os.mkfifo(fifo)
    res = read_fifo_in_child(tmp_path, fifo, b"", 12)
    assert res == ["PanicException", NO_FIRST_LINE]


def test_dev_null(capfd):
    assert outcome("/dev/null", 12) == ("PanicException", NO_FIRST_LINE)
    capfd.readouterr()


# ---------------------------------------------------------------- permission

PERMISSION_CHILD = r'''
import json, os, sys
import quorel
out, path = sys.argv[1], sys.argv[2]
result = open(out, "w")
if os.geteuid() == 0:
    try:
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    except OSError as exc:
        json.dump(["skip", f"cannot drop root privileges: {exc}"], result)
        sys.exit(0)
try:
    os.open(path, os.O_RDONLY)
except PermissionError:
    pass
else:
    json.dump(["skip", "the file is readable despite mode 000"], result)
    sys.exit(0)
try:
    quorel.rust_read_tolvane(path, 12)
except BaseException as exc:
    json.dump([type(exc).__name__, str(exc)], result)
else:
    json.dump(["returned"], result)
'''


def test_unreadable_file(tmp_path):
    # pytest's own temporary directories are private to their owner; the
    # unprivileged child needs a directory it may traverse
    with tempfile.TemporaryDirectory(prefix="quorel-perm-") as d:
        os.chmod(d, 0o755)
        path = os.path.join(d, "plot.dat")
        with open(path, "w") as f:
            f.write(plot_text(1, [["1"]], 12))
        os.chmod(path, 0)
        res, _, stderr = run_child(tmp_path, PERMISSION_CHILD, path, quiet=False)
    if res[0] == "skip":
        pytest.skip(res[1])
    assert res == ["PanicException", PERMISSION]
    assert "\n" + PERMISSION + "\n" in stderr


# ---------------------------------------------------------------- threads


def test_threads_get_serial_results(tmp_path, capfd):
    paths = []
    for t in range(6):
        count = 1 + 4 * t
        blocks = [[f"{t}.{b}e{i % 3}" for i in range(count)] for b in range(30 * t + 1)]
        paths.append(write_plot(tmp_path, plot_text(count, blocks, 13), name=f"p{t}"))
    paths.append(str(tmp_path / "missing"))
    paths.append(write_plot(tmp_path, plot_text(2, [["1", "2"], ["3", "?"]], 4), name="bad"))

    serial = [outcome(p, 13 if i < 6 else 4) for i, p in enumerate(paths)]
    assert [s[0] for s in serial] == ["ok"] * 6 + ["PanicException"] * 2
    assert serial[6][1] == NOT_FOUND and serial[7][1] == INVALID

    barrier = threading.Barrier(len(paths))
    results = [[] for _ in paths]

    def worker(i):
        barrier.wait()
        for _ in range(20):
            results[i].append(outcome(paths[i], 13 if i < 6 else 4))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(paths))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    for i, got in enumerate(results):
        assert got == [serial[i]] * 20, paths[i]
    capfd.readouterr()


# ---------------------------------------------------------------- huge file

HEADER_BYTES = 16 * 2**20
BLOCKS = 128


def test_two_gigabyte_file_is_streamed(tmp_path):
    if shutil.disk_usage(tmp_path).free < 3 * 2**30:
        pytest.skip("less than 3 GB free disk space")
    path = tmp_path / "huge.plt"
    # header lines are holes in a sparse file: NUL bytes on reading, no line feeds
    with open(path, "wb") as f:
        f.write(b"TOLVANE 2\nTIME\nX\n")
        for b in range(BLOCKS):
            f.seek(HEADER_BYTES, os.SEEK_CUR)
            f.write(b"\n" + f"{b}.25".rjust(9).encode() + f"-{b}.5".rjust(9).encode() + b"\n")
    size = path.stat().st_size
    assert size > 2 * 2**30
    try:
        res, _, _ = run_child(tmp_path, MEASURED_READ_CHILD, path, 9, timeout=300, quiet=True)
    finally:
        path.unlink()
    delta = res["hwm_delta_kib"] * 1024
    print(f"\n{size} byte file, longest line {HEADER_BYTES} bytes: "
          f"peak resident memory grew by {delta} bytes")
    assert delta < 4 * HEADER_BYTES + 32 * 2**20, (delta, size)
    assert res["result"] == ["ok", [[f32(f"{b}.25") for b in range(BLOCKS)],
                                    [[f32(f"-{b}.5") for b in range(BLOCKS)]]]]
