"""Stored inputs read through the module: the plot-file seeds of the fuzzer
(fuzz/corpus/plot_reader) and any input the fuzzer once found a fault with (tests/regressions).

Each input is one width byte followed by the bytes of a plot file: bytes below 0xF8 give the
width modulo 41, 0xF8 and above select the huge widths below. All inputs are read in one child
interpreter, so that a crash or an abort is seen as such and the reports on descriptors 1 and 2
stay out of this process. Every read must either return a well-formed result or raise
PanicException with a message of a documented form; for the seeds named in EXPECTED the exact
message is known.
"""

import json
import os
import re
import subprocess
import sys

import pytest

from conftest import ROOT, SEEDS, seed_width

REGRESSIONS = ROOT / "tests" / "regressions"

UTF8 = 'Failed to read line!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'
FIRST_LINE = "The first line should end with the number of parameters:\n'{}'"
EMPTY = "Could not parse line: ParseFloatError { kind: Empty }"
INVALID = "Could not parse line: ParseFloatError { kind: Invalid }"

DOCUMENTED = [re.compile(p, re.S) for p in (
    r"Plot file not found!: .+",
    r"Failed to read line!",
    re.escape(UTF8),
    r'Failed to read line!: Os \{ code: \d+, kind: \w+, message: ".*" \}',
    r"Failed ot read line!",
    r"The first line should end with the number of parameters:\n'.*'",
    r"capacity overflow",
    r"Error reading line",
    r"end byte index \d+ is out of bounds for string of length \d+",
    r"end byte index \d+ is not a char boundary; it is inside '.+' \(bytes \d+\.\.\d+ of string\)",
    re.escape(EMPTY),
    re.escape(INVALID),
    r"memory allocation of \d+ bytes failed",
)]

EXPECTED = {
    "empty_file": "Failed ot read line!",
    "invalid_utf8_first": UTF8,
    "invalid_utf8_data": UTF8,
    "truncated_utf8_at_eof": UTF8,
    "surrogate_utf8": UTF8,
    "bad_count": FIRST_LINE.format("T 3.0"),
    "negative_count": FIRST_LINE.format("T -3"),
    "lone_plus_count": FIRST_LINE.format("T +"),
    "count_too_big": FIRST_LINE.format("T 18446744073709551616"),
    "count_max": "Failed to read line!",
    "empty_first_line": "capacity overflow",
    "zero_count": "capacity overflow",
    "missing_name": "Failed to read line!",
    "cr_only_lines": "Failed to read line!",
    "ends_after_header": "Error reading line",
    "ends_inside_block": "Error reading line",
    "field_out_of_bounds": "end byte index 36 is out of bounds for string of length 30",
    "char_boundary": "end byte index 3 is not a char boundary; it is inside '\u00e9' (bytes 2..4 of string)",
    "char_boundary_4byte": "end byte index 2 is not a char boundary; it is inside '\U0001F600' (bytes 0..4 of string)",
    "char_boundary_escaped": "end byte index 3 is not a char boundary; it is inside '\\u{301}' (bytes 2..4 of string)",
    "empty_field": EMPTY,
    "width_zero": EMPTY,
    "invalid_field_d": INVALID,
    "zero_width_space_field": INVALID,
    "asterisks": INVALID,
    "huge_width": "end byte index 18446744073709551615 is out of bounds for string of length 3",
    "huge_width_2": "end byte index 4294967296 is out of bounds for string of length 3",
}

# Seeds that must read, with the number of columns and blocks they hold.
SHAPES = {
    "sample_w12_head": (11, 6),
    "sample_w15_head": (11, 6),
    "three_params": (2, 2),
    "one_param": (0, 3),
    "ten_params": (9, 1),
    "eleven_params": (10, 2),
    "twenty_one_params": (20, 1),
    "crlf": (1, 2),
    "plus_count": (1, 1),
    "names_only": (3, 0),
    "no_final_newline": (1, 1),
    "excess_ignored": (1, 1),
    "unicode_blanks": (2, 1),
    "tab_tokens": (1, 1),
    "bom_first_line": (0, 1),
}

CHILD = r'''
import json, os, struct, sys
import quorel
out = []
for path, width in json.loads(sys.argv[1]):
    try:
        time, columns = quorel.rust_read_tolvane(path, width)
    except BaseException as exc:
        out.append(["raised", type(exc).__module__ + "." + type(exc).__qualname__, str(exc)])
        continue
    values = list(time) + [v for c in columns for v in c]
    exact = all(type(v) is float and (v != v or struct.unpack("<f", struct.pack("<f", v))[0] == v)
                for v in values)
    out.append(["read", len(time), [len(c) for c in columns], exact])
os.write(1, ("@@" + json.dumps(out)).encode())
'''


def inputs():
    files = sorted(SEEDS.iterdir()) if SEEDS.is_dir() else []
    if REGRESSIONS.is_dir():
        files += sorted(p for p in REGRESSIONS.iterdir() if p.is_file())
    return files


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    files = inputs()
    assert files, "no stored inputs found"
    work = tmp_path_factory.mktemp("regressions")
    jobs = []
    for i, src in enumerate(files):
        data = src.read_bytes()
        plot = work / f"{i:04d}.plt"
        plot.write_bytes(data[1:])
        jobs.append([str(plot), seed_width(data[0]) if data else 0])
    env = os.environ.copy()
    env.pop("QUOREL_BACKTRACE", None)
    proc = subprocess.run([sys.executable, "-c", CHILD, json.dumps(jobs)], capture_output=True,
                          env=env, cwd=work, timeout=120)
    assert proc.returncode == 0, proc.stderr.decode("utf-8", "replace")[-4000:]
    results = json.loads(proc.stdout.decode().rpartition("@@")[2])
    assert len(results) == len(files)
    return {src: res for src, res in zip(files, results)}


def test_every_input_reads_or_fails_with_a_documented_message(outcomes):
    for src, res in outcomes.items():
        if res[0] == "read":
            _, blocks, column_lengths, exact = res
            assert all(n == blocks for n in column_lengths), (src.name, res)
            assert exact, (src.name, "a value is not a binary32 value")
        else:
            _, kind, message = res
            assert kind == "pyo3_runtime.PanicException", (src.name, res)
            assert any(p.fullmatch(message) for p in DOCUMENTED), (src.name, message)


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_seed_failure_message(outcomes, name):
    res = outcomes[SEEDS / name]
    assert res == ["raised", "pyo3_runtime.PanicException", EXPECTED[name]]


@pytest.mark.parametrize("name", sorted(SHAPES))
def test_seed_shape(outcomes, name):
    columns, blocks = SHAPES[name]
    res = outcomes[SEEDS / name]
    assert res == ["read", blocks, [blocks] * columns, True]
