"""Hostile plot files: each gives its defined result or message and nothing else.

Huge lines, extreme counts and widths, NUL bytes, malformed UTF-8, and an
exhaustive sweep that replaces every byte of a small valid file by every byte
value and checks each outcome against an independent model of the format.
"""

import os
import re
import shutil

import pytest

import quorel
from conftest import MEASURED_READ_CHILD, bits_list, panic_message, run_child, skip_without_memory_limits, write_plot
from plot_model import BAD_UTF8, U64_MAX, model, parse_binary32

read = quorel.rust_read_tolvane

INVALID = "Could not parse line: ParseFloatError { kind: Invalid }"
EMPTY = "Could not parse line: ParseFloatError { kind: Empty }"


def outcome(path, width):
    try:
        times, cols = read(path, width)
    except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
        return type(exc).__name__, str(exc)
    return "ok", (bits_list(times), [bits_list(c) for c in cols])


def panic(path, width):
    kind, message = panic_message(read, path, width)
    assert kind == "PanicException", message
    return message


# Every message form a read can end with.
OS_ERROR = r'Os \{ code: -?\d+, kind: [A-Za-z]+, message: "[^"\n]*" \}'
MESSAGE_FORMS = [re.compile(p, re.S) for p in (
    r"Plot file not found!: (?:" + OS_ERROR + r'|Error \{ kind: InvalidInput, message: '
    r'"file name contained an unexpected NUL byte" \})',
    r"Failed to read line!: (?:" + OS_ERROR + r'|Error \{ kind: InvalidData, message: '
    r'"stream did not contain valid UTF-8" \})',
    r"Failed ot read line!",
    r"Failed to read line!",
    r"Error reading line",
    r"The first line should end with the number of parameters:\n'[^\n]*'",
    r"capacity overflow",
    r"end byte index \d+ is out of bounds for string of length \d+",
    r"end byte index \d+ is not a char boundary; it is inside "
    r"'(?:[^\x00-\x7f]|\\u\{[0-9a-f]{1,6}\})' \(bytes \d+\.\.\d+ of string\)",
    r"Could not parse line: ParseFloatError \{ kind: (?:Empty|Invalid) \}",
    r"failed printing to stdout: .+ \(os error \d+\)",
    r"memory allocation of \d+ bytes failed",
)]


def documented(kind, payload):
    if kind == "ok":
        return True
    return kind == "PanicException" and any(f.fullmatch(payload) for f in MESSAGE_FORMS)


@pytest.mark.parametrize("text, bits", [
    ("1.234567E+05", 0x47F1205A), ("16777217", 0x4B800000), ("16777219", 0x4B800002),
    ("3.4028235E+38", 0x7F7FFFFF), ("3.4028236E+38", 0x7F800000), ("1e-45", 0x00000001),
    ("7.00649232E-46", 0), ("-0", 0x80000000), ("-nan", 0xFFC00000), (".1e1", 0x3F800000),
    ("1e99999999999", 0x7F800000), ("-1e-99999999999", 0x80000000),
])
def test_model_conversion_agrees_with_known_values(text, bits):
    assert parse_binary32(text) == (bits, None)


# ---------------------------------------------------------------- byte sweep

SWEEP_BASE = (b"T 4\nA\nB\r\nC\nD\nH\n"
              b"   1.5  -2e1     7   0.1\r\n"
              b"H\n"
              b"    2.   inf  1E-1   -.5\n")
SWEEP_WIDTH = 6


def test_sweep_base_reads_as_modelled(tmp_path):
    path = write_plot(tmp_path, SWEEP_BASE)
    expected, stdout = model(SWEEP_BASE, SWEEP_WIDTH)
    assert stdout == ""
    assert expected == ("ok", ([0x3FC00000, 0x40000000],
                               [[0xC1A00000, 0x7F800000], [0x40E00000, 0x3DCCCCCD],
                                [0x3DCCCCCD, 0xBF000000]]))
    assert outcome(path, SWEEP_WIDTH) == expected


def test_every_single_byte_replacement(tmp_path, capfd):
    path = write_plot(tmp_path, SWEEP_BASE, name="variant.plt")
    capfd.readouterr()
    wrong, undocumented, expected_stdout, panics = [], [], [], 0
    # every variant has the length of the base, so the file is changed in place
    fd = os.open(path, os.O_WRONLY)
    try:
        for at in range(len(SWEEP_BASE)):
            for value in range(256):
                os.pwrite(fd, bytes([value]), at)
                data = SWEEP_BASE[:at] + bytes([value]) + SWEEP_BASE[at + 1:]
                got = outcome(path, SWEEP_WIDTH)
                want, stdout = model(data, SWEEP_WIDTH)
                expected_stdout.append(stdout)
                if got[0] != "ok":
                    panics += 1
                if not documented(*got):
                    undocumented.append((at, value, got))
                if got != want:
                    wrong.append((at, value, got, want))
            os.pwrite(fd, SWEEP_BASE[at:at + 1], at)
    finally:
        os.close(fd)
    out, err = capfd.readouterr()
    assert not undocumented, f"{len(undocumented)} undocumented outcomes, first {undocumented[:5]}"
    assert not wrong, f"{len(wrong)} of {len(SWEEP_BASE) * 256} differ, first {wrong[:5]}"
    assert out == "".join(expected_stdout)
    assert err.count(" panicked at ") == panics


# ---------------------------------------------------------------- huge lines

HUGE_LINE = 300 * 2**20


@skip_without_memory_limits
@pytest.mark.parametrize("where", ["first", "name", "header"])
def test_line_of_hundreds_of_megabytes(tmp_path, where):
    if shutil.disk_usage(tmp_path).free < 2 * 2**30:
        pytest.skip("less than 2 GB free disk space")
    path = tmp_path / "huge-line.plt"
    data_line = b"       2.5     -0.75\n"
    with open(path, "wb") as f:
        # the huge line is a hole in a sparse file: NUL bytes, not whitespace
        if where != "first":
            f.write(b"T 2\n")
        f.seek(HUGE_LINE, os.SEEK_CUR)
        if where == "first":
            f.write(b" 2\nTIME\nX\nBLOCK 1\n")
        elif where == "name":
            f.write(b" TIME\nX\nBLOCK 1\n")
        else:
            f.write(b"TIME\nX\n")
            f.seek(HUGE_LINE, os.SEEK_CUR)
            f.write(b"\n")
        f.write(data_line)
        if where != "header":
            f.write(b"BLOCK 2\n" + data_line)
    try:
        res, out, err = run_child(tmp_path, MEASURED_READ_CHILD, path, 10)
    finally:
        path.unlink()
    blocks = 1 if where == "header" else 2
    assert res["result"] == ["ok", [[0x40200000] * blocks, [[0xBF400000] * blocks]]]
    assert out == "" and err == ""
    assert res["hwm_delta_kib"] * 1024 < 2.5 * HUGE_LINE, res["hwm_delta_kib"]


# ---------------------------------------------------------------- extreme counts

COUNT_CHILD = r'''
import json, resource, sys
import quorel
out, paths = sys.argv[1], sys.argv[2:]
with open("/proc/self/status") as f:
    vm_kib = next(int(l.split()[1]) for l in f if l.startswith("VmSize:"))
# room for the reading itself, none for anything sized by the count
limit = vm_kib * 1024 + 64 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
res = []
for path in paths:
    try:
        quorel.rust_read_tolvane(path, 12)
    except BaseException as exc:
        res.append([type(exc).__name__, str(exc)])
    else:
        res.append(["ok"])
with open(out, "w") as f:
    json.dump(res, f)
'''

NEAR_MAX_COUNTS = [
    ("T 18446744073709551615\n", "Failed to read line!", ""),
    ("T 18446744073709551614\nTIME\nA\nB\n", "Failed to read line!", ""),
    ("T +00018446744073709551615\nTIME\nH\n         1.0\n", "Failed to read line!", ""),
    ("T 9223372036854775808\nTIME\n", "Failed to read line!", ""),
    ("T 18446744073709551616\nTIME\n",
     "The first line should end with the number of parameters:\n'T 18446744073709551616'",
     "Error: '18446744073709551616' is not a valid number of parameters!\n"),
    ("T 99999999999999999999999999999999\n",
     "The first line should end with the number of parameters:\n"
     "'T 99999999999999999999999999999999'",
     "Error: '99999999999999999999999999999999' is not a valid number of parameters!\n"),
]


def test_counts_near_two_to_the_64(tmp_path):
    paths = [write_plot(tmp_path, text, name=f"count{i}")
             for i, (text, _, _) in enumerate(NEAR_MAX_COUNTS)]
    res, out, err = run_child(tmp_path, COUNT_CHILD, *paths)
    assert res == [["PanicException", message] for _, message, _ in NEAR_MAX_COUNTS]
    assert out == "".join(diag for _, _, diag in NEAR_MAX_COUNTS)
    assert err.count(" panicked at ") == len(NEAR_MAX_COUNTS)


# ---------------------------------------------------------------- extreme widths

BLOCKED = b"T 3\nA\nB\nC\nH\n152\n"


@pytest.mark.parametrize("content, width, expected", [
    (BLOCKED, 0, ("PanicException", EMPTY)),
    (b"T 3\nA\nB\nC\n", 0, ("ok", ([], [[], []]))),
    (b"T 1\nA\n", 0, ("ok", ([], []))),
    (BLOCKED, 1, ("ok", ([0x3F800000], [[0x40A00000], [0x40000000]]))),
    (b"T 12\n" + b"N\n" * 12 + b"H\n9876543210\n78 junk\n", 1,
     ("ok", ([0x41100000], [[b] for b in (
         0x41000000, 0x40E00000, 0x40C00000, 0x40A00000, 0x40800000, 0x40400000,
         0x40000000, 0x3F800000, 0x00000000, 0x40E00000, 0x41000000)]))),
    (b"T 3\nA\nB\nC\nH\n1.5\n", 1, ("PanicException", INVALID)),
    (b"T 3\nA\nB\nC\nH\n1 5\n", 1, ("PanicException", EMPTY)),
    (b"T 3\nA\nB\nC\nH\n1\xc3\xa9\n", 1,
     ("PanicException",
      "end byte index 2 is not a char boundary; it is inside '\u00e9' (bytes 1..3 of string)")),
    (BLOCKED, U64_MAX, ("PanicException", f"end byte index {U64_MAX} is out of bounds "
                                          "for string of length 3")),
    (b"T 3\nA\nB\nC\nH\n\n", U64_MAX,
     ("PanicException", f"end byte index {U64_MAX} is out of bounds for string of length 0")),
    (b"T 11\n" + b"N\n" * 11 + b"H\n" + b"7" * 5000 + b"\n", U64_MAX,
     ("PanicException", f"end byte index {U64_MAX} is out of bounds for string of length 5000")),
    (b"T 3\nA\nB\nC\n", U64_MAX, ("ok", ([], [[], []]))),
], ids=["0-block", "0-no-block", "0-count-1", "1", "1-two-lines", "1-point", "1-blank",
        "1-inside-char", "max", "max-empty-line", "max-long-line", "max-no-block"])
def test_extreme_widths(tmp_path, capfd, content, width, expected):
    path = write_plot(tmp_path, content)
    assert outcome(path, width) == expected
    assert model(content, width)[0] == expected
    out, err = capfd.readouterr()
    assert out == ""
    assert (expected[0] == "ok") == (err == "")


# ---------------------------------------------------------------- NUL and UTF-8

NUL_CASES = [
    (b"T\x00X 2\nTIME\nX\nH\n   1   2\n", ("ok", ([0x3F800000], [[0x40000000]]))),
    (b"\x00 2\nTIME\nX\nH\n   1   2\n", ("ok", ([0x3F800000], [[0x40000000]]))),
    (b"T 2\n\x00\nX\x00Y\nH\n   1   2\n", ("ok", ([0x3F800000], [[0x40000000]]))),
    (b"T 2\nTIME\nX\n\x00\x00\x00\n   1   2\n", ("ok", ([0x3F800000], [[0x40000000]]))),
    (b"T 2\nTIME\nX\nH\n   1   2\x00\x00\n", ("ok", ([0x3F800000], [[0x40000000]]))),
    (b"T 2\nTIME\nX\nH\n  \x001   2\n", ("PanicException", INVALID)),
    (b"T 2\nTIME\nX\nH\n   1  2\x00\n", ("PanicException", INVALID)),
    (b"T 2\nTIME\nX\nH\n   1\x00\x00\x00\x00\n", ("PanicException", INVALID)),
    (b"T 2\nTIME\nX\nH\n   1 1\x00e\n", ("PanicException", INVALID)),
]


@pytest.mark.parametrize("content, expected", NUL_CASES)
def test_nul_bytes(tmp_path, capfd, content, expected):
    path = write_plot(tmp_path, content)
    assert outcome(path, 4) == expected
    assert model(content, 4)[0] == expected
    capfd.readouterr()


def test_nul_in_count_token(tmp_path, capfd):
    path = write_plot(tmp_path, b"T 2\x00\nTIME\nX\n")
    capfd.readouterr()
    assert panic(path, 4) == (
        "The first line should end with the number of parameters:\n'T 2\x00'")
    assert capfd.readouterr().out == "Error: '2\x00' is not a valid number of parameters!\n"


MALFORMED = {
    "overlong-slash-2": b"\xc0\xaf",
    "overlong-slash-3": b"\xe0\x80\xaf",
    "surrogate-d800": b"\xed\xa0\x80",
    "surrogate-dfff": b"\xed\xbf\xbf",
    "above-10ffff": b"\xf4\x90\x80\x80",
    "cut-2": b"\xc3",
    "cut-3": b"\xe2\x82",
    "cut-4": b"\xf0\x9f\x98",
}
# the lines of a good file with two blocks; the bad bytes go into one of them
KINDS = {"first": 0, "name": 1, "header": 3, "data": 4, "second-header": 5, "second-data": 6}


def good_lines():
    return [b"TOLVANE 2", b"TIME", b"X", b"BLOCK", b"     1.0     2.0",
            b"BLOCK", b"     3.0     4.0"]


@pytest.mark.parametrize("seq", MALFORMED.values(), ids=MALFORMED.keys())
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("place", ["middle", "end-of-file"])
def test_malformed_utf8(tmp_path, capfd, seq, kind, place):
    lines = good_lines()
    at = KINDS[kind]
    if place == "middle":
        # inside the line, for a data line inside a field
        lines[at] = lines[at][:3] + seq + lines[at][3:]
        content = b"\n".join(lines) + b"\n"
    else:
        # the file stops inside the line, right after the bad bytes
        lines = lines[:at + 1]
        lines[at] += seq
        content = b"\n".join(lines)
    path = write_plot(tmp_path, content)
    assert outcome(path, 8) == ("PanicException", BAD_UTF8)
    assert model(content, 8)[0] == ("PanicException", BAD_UTF8)
    out, _ = capfd.readouterr()
    assert out == ""


def test_malformed_utf8_beyond_the_fields(tmp_path, capfd):
    # the bytes after the last field are never parsed, but the line is still checked
    lines = good_lines()
    lines[6] += b"  \xed\xa0\x80"
    path = write_plot(tmp_path, b"\n".join(lines) + b"\n")
    assert outcome(path, 8) == ("PanicException", BAD_UTF8)
    capfd.readouterr()
