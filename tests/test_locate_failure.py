"""examples/locate_failure.py: for a file that quorel cannot read, it must name the same kind of
failure as quorel's message, and a line that really holds the fault.

"Holds the fault" is checked against quorel itself: the file cut after that line fails with the
same message, the file cut before it does not (for a missing line: the file ends right before
it). The script runs on every fuzzing seed, on files broken in known places (where line, block,
field and byte range must be exactly those of the break), and its rules module runs on random
files against quorel.
"""
import re
import string
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorel
from conftest import EXAMPLES, SEEDS, readme_text, run_example, seed_width

# quorel's messages by the kind of fault the script must name for them.
KIND_OF_MESSAGE = [
    (r"Plot file not found!: .+", "cannot-open"),
    (r"Failed to read line!: Error \{ kind: InvalidData, .+", "invalid-utf8"),
    (r"Failed to read line!: Os \{ .+", "read-error"),
    (r"Failed to read line!", "missing-name-line"),
    (r"Failed ot read line!", "empty-file"),
    (r"The first line should end with the number of parameters:\n'.*'", "bad-count"),
    (r"capacity overflow", "zero-count"),
    (r"Error reading line", "missing-data-line"),
    (r"end byte index \d+ is out of bounds for string of length \d+", "field-past-line-end"),
    (r"end byte index \d+ is not a char boundary; .+", "field-splits-character"),
    (r"Could not parse line: ParseFloatError \{ kind: Empty \}", "empty-field"),
    (r"Could not parse line: ParseFloatError \{ kind: Invalid \}", "not-a-number"),
]
OUT_OF_BOUNDS = re.compile(r"end byte index (\d+) is out of bounds for string of length (\d+)")
SPLIT = re.compile(r"end byte index (\d+) is not a char boundary; it is inside .+ \(bytes (\d+)\.\.(\d+) of string\)",
                   re.S)


def kind_of(message):
    kinds = [kind for pattern, kind in KIND_OF_MESSAGE if re.fullmatch(pattern, message, re.S)]
    assert kinds, f"not a message of quorel: {message!r}"
    return kinds[0]


def quorel_message(path, width):
    """None if quorel reads the file, else its message."""
    try:
        quorel.rust_read_tolvane(str(path), width)
    except BaseException as exc:  # noqa: BLE001 - PanicException is not an Exception
        assert type(exc).__name__ == "PanicException", exc
        return str(exc)
    return None


def pieces(data):
    """The file's lines with their terminators, as quorel cuts them (at line feeds only)."""
    parts = [part + b"\n" for part in data.split(b"\n")]
    parts[-1] = parts[-1][:-1]
    return parts if parts[-1] else parts[:-1]


def assert_line_holds_fault(folder, data, width, message, line, missing):
    lines = pieces(data)
    if missing:
        assert line == len(lines) + 1, "a missing line must be the one after the last"
        return
    assert 1 <= line <= len(lines)
    cut = folder / "cut.plt"
    cut.write_bytes(b"".join(lines[:line]))
    assert quorel_message(cut, width) == message, f"the file up to line {line} reads otherwise"
    cut.write_bytes(b"".join(lines[:line - 1]))
    assert quorel_message(cut, width) != message, f"the fault lies before line {line}"


def assert_numbers_agree(message, end, line_length, character_range):
    """The byte positions in quorel's message are the ones the script found."""
    if match := OUT_OF_BOUNDS.fullmatch(message):
        assert (int(match[1]), int(match[2])) == (end, line_length)
    if match := SPLIT.fullmatch(message):
        assert (int(match[1]), (int(match[2]), int(match[3]))) == (end, character_range)


def located(tmp_path, path, width):
    """Run the script; return its exit status and its rows (key -> value, lines joined)."""
    proc = run_example(tmp_path, "locate_failure.py", path, width)
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    rows = {}
    key = ""
    for text in proc.stdout.splitlines():  # "key:    value", values from column 9 on
        if text.startswith(" "):
            rows[key] += "\n" + text[9:]
        else:
            key = text.partition(":")[0]
            rows[key] = text[9:]
    return proc.returncode, rows, proc.stdout


def parsed(rows):
    """(line, missing, block, field, (start, end, length), char range) from the rows."""
    line = re.fullmatch(r"(\d+)( \(missing: .+\))?", rows["line"]) if "line" in rows else None
    spans = re.fullmatch(r"(\d+)\.\.(\d+) of (\d+)", rows.get("bytes", ""))
    char = re.search(r" at bytes (\d+)\.\.(\d+)$", rows.get("char", ""))
    return (int(line[1]) if line else None, bool(line and line[2]),
            int(rows["block"]) if "block" in rows else None,
            int(rows["field"].split()[0]) if "field" in rows else None,
            tuple(map(int, spans.groups())) if spans else None,
            tuple(map(int, char.groups())) if char else None)


def check_cli(tmp_path, path, width):
    """Run the script on a file quorel cannot read and check it against quorel; return the
    parsed rows."""
    message = quorel_message(path, width)
    assert message is not None, "quorel reads this file"
    status, rows, out = located(tmp_path, path, width)
    assert status == 1, out
    assert rows["quorel"] == message, out
    assert rows["fault"] == kind_of(message), out
    where = parsed(rows)
    line, missing, _, _, spans, char = where
    if spans:
        assert_numbers_agree(message, spans[1], spans[2], char)
    if line is not None and rows["fault"] != "read-error":
        assert_line_holds_fault(tmp_path, path.read_bytes(), width, message, line, missing)
    return where


SEED_NAMES = sorted(p.name for p in SEEDS.iterdir()) if SEEDS.is_dir() else []


@pytest.mark.parametrize("name", SEED_NAMES)
def test_every_seed(tmp_path, name):
    data = (SEEDS / name).read_bytes()
    width = seed_width(data[0]) if data else 0
    path = tmp_path / "seed.plt"
    path.write_bytes(data[1:])
    try:
        time, columns = quorel.rust_read_tolvane(str(path), width)
    except BaseException:  # noqa: BLE001
        check_cli(tmp_path, path, width)
        return
    status, _, out = located(tmp_path, path, width)
    assert status == 0
    assert out == f"{path}: reads with width {width}: {len(time)} blocks, {len(columns)} signals besides time\n"


def test_a_folder_and_a_missing_file(tmp_path):
    assert check_cli(tmp_path, tmp_path, 12)[0] == 1  # reading a folder fails on line 1
    assert check_cli(tmp_path, tmp_path / "missing.plt", 12)[0] is None


def test_the_readme_example(tmp_path):
    text = readme_text()
    assert "sed '21s/E+02/D+02/' examples/sample_w12.plt > /tmp/broken.plt\n" in text
    shown = re.search(r"```\n(quorel: .+?)```", text, re.S)[1]
    lines = (EXAMPLES / "sample_w12.plt").read_text().split("\n")
    lines[20] = lines[20].replace("E+02", "D+02", 1)
    path = tmp_path / "broken.plt"
    path.write_text("\n".join(lines))
    assert located(tmp_path, path, 12)[2] == shown


def test_a_width_out_of_range_is_a_usage_error(tmp_path):
    proc = run_example(tmp_path, "locate_failure.py", EXAMPLES / "sample_w12.plt", -1)
    assert proc.returncode == 2 and "not a width" in proc.stderr


# Files broken in one known place.

def field_text(value, width):
    text = f"{value:.{max(0, width - 8)}E}"  # at most width - 1 characters for width >= 8
    return text.rjust(width).encode()


@st.composite
def good_files(draw):
    """(count, width, lines, data line index by (block, data line of the block))."""
    count = draw(st.integers(1, 23))
    width = draw(st.integers(8, 16))
    blocks = draw(st.lists(st.lists(st.floats(width=32), min_size=count, max_size=count),
                           min_size=1, max_size=3))
    lines = [f" TOLVANE TEST {count}".encode()] + [f" {i + 1:4d}  P{i}".encode() for i in range(count)]
    where = {}
    for b, values in enumerate(blocks):
        lines.append(f" STEP {b + 1}".encode())
        fields = [field_text(v, width) for v in values]
        for j in range(0, count, 10):
            where[b, j // 10] = len(lines)
            lines.append(b"".join(fields[j:j + 10]))
    return count, width, lines, where


def field_place(draw, count, width, lines, where):
    b = draw(st.integers(0, max(blk for blk, _ in where)))
    i = draw(st.integers(0, count - 1))
    return b, i, where[b, i // 10], (i % 10) * width


def break_field(draw, good, replacement):
    count, width, lines, where = good
    b, i, index, start = field_place(draw, count, width, lines, where)
    line = lines[index]
    lines[index] = line[:start] + replacement.rjust(width) + line[start + width:]
    return lines, dict(line=index + 1, block=b, field=i, span=(start, start + width, len(lines[index])))


def not_a_number(draw, good):
    bad = draw(st.sampled_from(["1.0D+00", "***", "1,5", "1 .5", "e5", "--1", "0x1p3", "1.0-100",
                                "nan(1)", "\u200b1", "\u0131nf", "1\x1c"]))
    return break_field(draw, good, bad.encode())


def empty_field(draw, good):
    return break_field(draw, good, draw(st.sampled_from(["", "\t", "\u3000\u00a0"])).encode())


def field_past_line_end(draw, good):
    count, width, lines, where = good
    b, i, index, start = field_place(draw, count, width, lines, where)
    lines[index] = lines[index][:start + draw(st.integers(0, width - 1))]
    return lines, dict(line=index + 1, block=b, field=i, span=(start, start + width, len(lines[index])))


def field_splits_character(draw, good):
    count, width, lines, where = good
    b, i, index, start = field_place(draw, count, width, lines, where)
    end = start + width
    line = lines[index][:start] + b"1".rjust(width - 1) + b"\xc3\xa9" + lines[index][end + 1:]
    lines[index] = line
    return lines, dict(line=index + 1, block=b, field=i, span=(start, end, len(line)),
                       char=(end - 1, end + 1))


def invalid_utf8(draw, good):
    _, _, lines, _ = good
    index = draw(st.integers(0, len(lines) - 1))
    at = draw(st.integers(0, len(lines[index])))
    lines[index] = lines[index][:at] + draw(st.sampled_from([b"\xff", b"\xe9", b"\xed\xa0\x80", b"\xc0\xaf"])) \
        + lines[index][at:]
    return lines, dict(line=index + 1)


def missing_data_line(draw, good):
    count, _, lines, where = good
    if draw(st.booleans()):  # a trailing empty line: the header of one more block
        blocks = max(b for b, _ in where) + 1
        return lines + [b""], dict(line=len(lines) + 2, missing=True, block=blocks, field=0)
    b, j = draw(st.sampled_from(sorted(where)))
    return lines[:where[b, j]], dict(line=where[b, j] + 1, missing=True, block=b, field=10 * j)


def missing_name_line(draw, good):
    count, _, lines, _ = good
    names = draw(st.integers(0, count - 1))
    return lines[:1 + names], dict(line=names + 2, missing=True)


def bad_count(draw, good):
    _, _, lines, _ = good
    token = draw(st.sampled_from(["3.0", "-3", "+", "-0", "0x3", "1_000", "\u0661\u0662", "++3",
                                  "3\u200b", "18446744073709551616"])).encode()
    lines[0] = b" TOLVANE TEST " + token
    return lines, dict(line=1, span=(14, 14 + len(token), len(lines[0])))


def zero_count(draw, good):
    _, _, lines, _ = good
    lines[0] = draw(st.sampled_from([b" TOLVANE TEST 0", b" TOLVANE TEST +000", b"", b" \t\x0b "]))
    return lines, dict(line=1)


BREAKS = {
    "not-a-number": not_a_number,
    "empty-field": empty_field,
    "field-past-line-end": field_past_line_end,
    "field-splits-character": field_splits_character,
    "invalid-utf8": invalid_utf8,
    "missing-data-line": missing_data_line,
    "missing-name-line": missing_name_line,
    "bad-count": bad_count,
    "zero-count": zero_count,
}


@pytest.mark.parametrize("kind", sorted(BREAKS))
@settings(max_examples=5, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_a_file_broken_in_a_known_place(tmp_path, kind, data):
    good = data.draw(good_files())
    lines, expected = BREAKS[kind](data.draw, good)
    newline = data.draw(st.sampled_from([b"\n", b"\r\n"]))
    path = tmp_path / "broken.plt"
    path.write_bytes(newline.join(lines) + newline)
    width = good[1]
    assert kind_of(quorel_message(path, width)) == kind, "the break is not the one intended"
    line, missing, block, field, spans, char = check_cli(tmp_path, path, width)
    assert (line, missing) == (expected["line"], expected.get("missing", False))
    assert (block, field) == (expected.get("block"), expected.get("field"))
    if "span" in expected:
        assert spans == expected["span"]
    assert char == expected.get("char")


def test_an_empty_file(tmp_path):
    path = tmp_path / "empty.plt"
    path.write_bytes(b"")
    assert check_cli(tmp_path, path, 12)[:2] == (1, True)


# The rules module against quorel on random files.

@pytest.fixture(scope="module")
def finder():
    if not (EXAMPLES / "helpers" / "fault_finder.py").is_file():
        pytest.skip(f"{EXAMPLES} is not there: these tests run in a clone of the project")
    sys.path.insert(0, str(EXAMPLES))
    from helpers import fault_finder

    yield fault_finder
    sys.path.remove(str(EXAMPLES))


# Digits, signs, exponent letters, whitespace of both sets, lookalikes and letters of the words.
ALPHABET = (string.digits + ".eE+-  \t\r\x0b\x85\xa0\u2009\u3000\u2028" + "\x1c\u200b\ufeff\xad"
            + "infatyINFAdD*,\u0131\u212a\xe9\u0301\u0661")


# Whitespace to quorel, and characters that Python alone takes for whitespace or that are easily
# taken for it.
PADDING = st.text("  \t\x0b\r\x85\xa0\u3000\u2028" + "\x1c\x1f\u200b\ufeff\xad", max_size=2)


def padded(texts):
    return st.tuples(PADDING, texts, PADDING).map("".join)


@st.composite
def random_files(draw):
    """(bytes, width): mostly the shape of a plot file, with faults of every kind here and there."""
    width = draw(st.integers(0, 9))
    text = st.text(ALPHABET, max_size=14)
    # Numbers, and texts one step away from being one.
    number = st.sampled_from(["1", "-2", ".5", "7.", "1e3", "-1.5E-07", "inf", "NaN", "-0", "+1",
                              ".", "-.", "+", "1e", "e5", "1e+", "--1", "infin", "nan1", "1.0D0",
                              "\u0131nf", "\u0130NF", "-\u0131nfinity"])
    junk = st.sampled_from([False] * 7 + [True])
    field = junk.flatmap(lambda j: text if j else padded(number)).map(lambda t: t.rjust(width)[:max(width, 1)])
    one_in = lambda n: draw(st.sampled_from([False] * (n - 1) + [True]))  # noqa: E731
    count = 0 if one_in(10) else draw(st.integers(1, 13))
    count_text = st.sampled_from([f"T {count}", f"T +{count:03d}"])
    first = draw(text if one_in(8) else padded(count_text) if one_in(4) else count_text)
    lines = [first] + draw(st.lists(text, min_size=max(0, count - 1) if one_in(6) else count, max_size=count))
    for _ in range(draw(st.integers(0, 3))):
        lines.append(draw(text))  # the block's header
        for j in range(0, count, 10):
            fields = min(10, count - j)
            line = "".join(draw(st.lists(field, min_size=fields, max_size=fields)))
            lines.append(line[:draw(st.integers(0, len(line)))] if one_in(6) else line)
    if one_in(5):
        lines = lines[:draw(st.integers(0, len(lines)))]
    raw = bytearray((draw(st.sampled_from(["\n", "\r\n"])).join(lines)
                     + draw(st.sampled_from(["\n", "", "\n\n"]))).encode())
    if one_in(6):  # a byte that is not UTF-8 where it stands
        at = draw(st.integers(0, len(raw)))
        raw[at:at] = draw(st.sampled_from([b"\xff", b"\xc3", b"\xa9"]))
    return bytes(raw), width


# Fields at the edges of the number grammar and of the whitespace set.
EDGE_FIELDS = [
    "1", "+1", "-1", ".5", "5.", "-0", "00012.50e-0007", "1e5", "1E+05", "inf", "INF", "Infinity",
    "+iNfInItY", "-nan", "nan", "", ".", "-.", "+", "-", "1e", "1e+", "e5", ".e5", "infin",
    "infinite", "nan(1)", "nanq", "\u0131nf", "\u0130NF", "1.0D+00", "1.0d0", "1.0Q+00", "1.0-100",
    "1 .5", "1,5", "0x1p3", "1_000", "+-1", "--1", "***", "\u0661", "\uff11", "1\u200b", "\ufeff1",
    "\x1c1", "1\x1f", "\xad1", "\u00a01\u3000", "\u20281\u2029", "\x851\x0b", "\t1\x0c",
    "\u16801\u205f", "\u180e1",
]


@pytest.mark.parametrize("text", EDGE_FIELDS)
def test_the_rules_agree_with_quorel_on_a_field(finder, tmp_path, text):
    path = tmp_path / "field.plt"
    path.write_bytes(f"T 1\nA\nH\n{text}\n".encode())
    width = len(text.encode())
    message = quorel_message(path, width)
    fault = finder.first_fault(str(path), width)
    assert (fault and fault.kind) == (message and kind_of(message))


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return tmp_path_factory.mktemp("random")


@settings(max_examples=400, deadline=None, derandomize=True)
@given(case=random_files())
def test_the_rules_agree_with_quorel(finder, folder, case):
    data, width = case
    path = folder / "random.plt"
    path.write_bytes(data)
    message = quorel_message(path, width)
    fault = finder.first_fault(str(path), width)
    if message is None:
        assert fault is None
        return
    assert fault is not None and fault.kind == kind_of(message)
    assert_numbers_agree(message, fault.end, fault.line_length,
                         (fault.character_start, fault.character_end))
    assert_line_holds_fault(folder, data, width, message, fault.line, fault.missing)
