"""The shortcuts of the reader against the reference model, at their edges.

Most fields of a real plot file have a fixed shape: a blank or sign, one digit, a point, five
(width 12) or eight (width 15) digits, an exponent letter, a sign and two digits. Such fields
take a shortcut that checks every byte's role at once, and a data line made of them only is
read without a search for its end. Every byte of such a field is replaced here by the
characters just beside each accepted one; whatever the shortcut decides, the result must be
the one the grammar gives (a value, or the reader's message). Files of either width read at
other widths must give what the format's model gives for the width asked for, whichever route
that width, or the file's line lengths, would otherwise suggest.
"""
import pytest

import quorel
from conftest import bits_list, panic_message, write_plot
from test_binary32 import reference
from plot_model import model
from test_hostile_inputs import outcome
from test_reader import BAD_UTF8

read = quorel.rust_read_tolvane

FIELDS = {12: " 1.23457E+01", 15: "-9.87654321E-03"}

# Each accepted character with its neighbours in the code table.
NEIGHBOURS = {
    "digit": "/0:9",
    "point": "-./",
    "letter": "DEFdefQ",
    "sign": " *+,-.",  # the blank too: valid first, not as an exponent sign
    "first": "\x1f !*+,-.",
}


def roles(width):
    """The role of every byte of a fixed-shape field."""
    fraction = width - 7
    return ["first", "digit", "point"] + ["digit"] * fraction + ["letter", "sign", "digit", "digit"]


def variants(width):
    field = FIELDS[width]
    out = set()
    for pos, role in enumerate(roles(width)):
        for ch in NEIGHBOURS[role]:
            out.add(field[:pos] + ch + field[pos + 1:])
    return sorted(out)


def read_field_line(tmp_path, fields, width, name, *, terminator=b"\n", count=None):
    """Outcome of a file with one block whose data lines hold ``fields``."""
    count = count or len(fields)
    lines = [b"T %d" % count] + [b"P%d" % i for i in range(count)] + [b"H"]
    for start in range(0, count, 10):
        lines.append("".join(fields[start:start + 10]).encode("latin-1"))
    path = write_plot(tmp_path, terminator.join(lines) + terminator, name=name)
    try:
        times, cols = read(path, width)
    except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
        return type(exc).__name__, str(exc)
    return bits_list(times) + [b for col in cols for b in bits_list(col)]


@pytest.mark.parametrize("width", [12, 15])
def test_every_byte_at_its_role_boundaries(tmp_path, width):
    texts = variants(width)
    assert len(texts) > 40
    wrong = []
    for i, text in enumerate(texts):
        # The field twice: alone on its line, and among fixed-shape neighbours.
        plain = FIELDS[width]
        for fields in ([text], [plain, text, plain]):
            got = read_field_line(tmp_path, fields, width, f"v{i}-{len(fields)}")
            # The reader trims whitespace; of these characters only the blank is.
            bits, error = reference(text.strip(" "))
            if error is not None:
                expected = ("PanicException", f"Could not parse line: ParseFloatError {{ kind: {error} }}")
            else:
                plain_bits = reference(plain.strip(" "))[0]
                expected = [bits] if len(fields) == 1 else [plain_bits, bits, plain_bits]
            if got != expected:
                wrong.append((text, got, expected))
    assert not wrong, wrong[:5]


@pytest.mark.parametrize("width", [12, 15])
def test_valid_shapes_of_every_sign_and_letter(tmp_path, width):
    fraction = width - 7
    texts = []
    for first in " +-":
        for letter in "Ee":
            for sign in "+-":
                for exponent in ("00", "01", "09", "10", "37", "38", "39", "45", "46", "99"):
                    digits = "1" + "".join(str((i * 7 + 3) % 10) for i in range(fraction))
                    texts.append(f"{first}{digits[0]}.{digits[1:]}{letter}{sign}{exponent}")
    texts += [f" 0.{'0' * fraction}E+00", f"-0.{'0' * fraction}E-99", f" 9.{'9' * fraction}E+38",
              f" 9.{'9' * fraction}E-46", f" 1.{'0' * fraction}E-45", f" 3.{'4' * fraction}E+38"]
    assert all(len(t) == width for t in texts)
    got = read_field_line(tmp_path, texts, width, "shapes")
    assert got == [reference(t.strip(" "))[0] for t in texts]


# Exact binary32 ties in the fixed shape: a double lands on them, and only a route that knows the
# double is the value itself (a whole number) may round it, or else the exact route. Their
# neighbours one unit away in the last digit are not ties.
TIES = {
    12: ["2.15000E+09", "4.30000E+09", "1.07500E+09"],
    15: ["1.67772170E+07", "1.67772190E+07", "8.38860850E+06", "3.35544340E+07", "2.15000000E+09"],
}


@pytest.mark.parametrize("width", [12, 15])
def test_ties_and_their_neighbours(tmp_path, width):
    texts = []
    for tie in TIES[width]:
        mantissa, exponent = tie.split("E")
        digits = mantissa.replace(".", "")
        for step in (-1, 0, 1):
            n = str(int(digits) + step).rjust(len(digits), "0")
            for sign in " -":
                texts.append(f"{sign}{n[0]}.{n[1:]}E{exponent}")
    assert all(len(t) == width for t in texts)
    got = read_field_line(tmp_path, texts, width, "ties")
    expected = [reference(t.strip(" "))[0] for t in texts]
    assert got == expected
    # The ties themselves round to the even neighbour, which a double's own rounding may miss.
    assert all(b % 2 == 0 for t, b in zip(texts, expected) if t[1:] in TIES[width])


@pytest.mark.parametrize("width", [12, 15])
@pytest.mark.parametrize("terminator, ending, outcome", [
    (b"\n", b"", "ok"),
    (b"\r\n", b"", "ok"),
    (b"\n", b"\r", "ok"),                    # the carriage return goes with the line feed
    (b"\n", b"\r\r", "trailing"),            # one carriage return stays, past the fields
    (b"\n", b" ", "trailing"),               # past the fields: ignored
    (b"\n", b"x", "trailing"),
    (b"\n", "\u00e9".encode(), "trailing"),
    (b"\n", b"\xe9", "utf8"),                # not UTF-8, even past the fields
], ids=["lf", "crlf", "cr-lf", "cr-cr-lf", "blank", "letter", "two-byte", "bad-utf8"])
def test_line_endings_after_fixed_shape_fields(tmp_path, width, terminator, ending, outcome):
    fields = [FIELDS[width]] * 10 + [FIELDS[width]] * 3
    lines = [b"T 13"] + [b"P%d" % i for i in range(13)]
    data = [("".join(fields[:10])).encode() + ending, ("".join(fields[10:])).encode() + ending]
    content = terminator.join(lines + [b"H", *data]) + terminator
    path = write_plot(tmp_path, content)
    if outcome == "utf8":
        assert panic_message(read, path, width) == (
            "PanicException",
            'Failed to read line!: Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }')
        return
    times, cols = read(path, width)
    value = reference(FIELDS[width].strip(" "))[0]
    assert bits_list(times) == [value] and all(bits_list(c) == [value] for c in cols)


@pytest.mark.parametrize("width", [12, 15])
def test_line_one_byte_short_of_its_fields(tmp_path, width):
    field = FIELDS[width]
    content = f"T 3\nA\nB\nC\nH\n{field}{field}{field[:-1]}\n".encode()
    path = write_plot(tmp_path, content)
    assert panic_message(read, path, width) == (
        "PanicException", f"end byte index {3 * width} is out of bounds for string of length {3 * width - 1}")


@pytest.mark.parametrize("width", [12, 15])
def test_blocks_across_every_read_boundary_offset(tmp_path, width):
    # Enough fixed-shape blocks that lines end at every offset around the read buffer's edges.
    field = FIELDS[width]
    block = f"H\n{field * 10}\n{field * 3}\n".encode()
    head = b"T 13\n" + b"".join(b"P%d\n" % i for i in range(13))
    blocks = 65536 * 2 // len(block) + 2
    path = write_plot(tmp_path, head + block * blocks)
    times, cols = read(path, width)
    value = reference(field.strip(" "))[0]
    assert len(times) == blocks and len(cols) == 12
    assert set(bits_list(times)) == {value} and all(set(bits_list(c)) == {value} and len(c) == blocks for c in cols)


READ_SIZE = 65536


@pytest.mark.parametrize("width", [12, 15])
@pytest.mark.parametrize("tail", [b"", b"\r"], ids=["fields", "fields-cr"])
def test_last_line_ending_with_the_data_read(tmp_path, width, tail):
    # The file ends in a data line without a line feed, in a read shorter than the buffer, and
    # the buffer still holds a line feed of the read before just after it: that stale byte must
    # not be taken for the line's end.
    field = FIELDS[width].encode()
    block = b"H\n" + field + b"\n"
    start = b"T 1\nP0\n" + block * ((READ_SIZE + 200) // len(block))
    # The last block's header grows until the byte of the first read that lies where the
    # second read ends is a line feed.
    for pad in range(READ_SIZE):
        content = start + b"H" + b"x" * pad + b"\n" + field + tail
        second_read = len(content) - READ_SIZE
        if content[second_read:second_read + 1] == b"\n":
            break
    assert 0 < second_read < READ_SIZE and content[second_read:second_read + 1] == b"\n"
    path = write_plot(tmp_path, content)
    times, cols = read(path, width)
    value = reference(FIELDS[width].strip(" "))[0]
    assert set(bits_list(times)) == {value} and cols == []
    assert len(times) == content.count(b"\nH")


@pytest.mark.parametrize("width", [12, 15])
@pytest.mark.parametrize("position", [0, 1, 5, 9])
@pytest.mark.parametrize("odd", ["1.5", "\u00a0-2.5E+3", "nan", "1.0D+00"],
                         ids=["short", "no-break-space", "word", "invalid"])
def test_general_way_takes_over_where_the_shortcut_stops(tmp_path, width, position, odd):
    # One field of a full data line is not of the fixed shape; the fields after it are again.
    fields = [FIELDS[width]] * 10
    raw = odd.encode()
    fields[position] = (" " * (width - len(raw))).encode() + raw
    fields = [f if isinstance(f, bytes) else f.encode() for f in fields]
    path = write_plot(tmp_path, b"T 10\n" + b"".join(b"P%d\n" % i for i in range(10)),
                      b"H\n", b"".join(fields), b"\n", b"H\n", b"".join(fields), b"\n")
    bits, error = reference(odd.replace("\u00a0", " ").strip(" "))
    if error is not None:
        assert panic_message(read, path, width) == (
            "PanicException", f"Could not parse line: ParseFloatError {{ kind: {error} }}")
        return
    times, cols = read(path, width)
    plain = reference(FIELDS[width].strip(" "))[0]
    expected = [plain] * 10
    expected[position] = bits
    assert [bits_list(times)] + [bits_list(c) for c in cols] == [[b, b] for b in expected]


@pytest.mark.parametrize("width", [12, 15])
def test_short_line_whose_end_the_next_line_imitates(tmp_path, width):
    # A data line two fields long where three are due, followed by a line that puts a line feed
    # exactly where the three fields would end: the shortcut reads two fields and stops at the
    # third, and the line is then found to be too short.
    field = FIELDS[width].encode()
    short = field * 2 + b"\n"
    filler = b"h" * (3 * width - len(short)) + b"\n"
    assert (short + filler)[3 * width:3 * width + 1] == b"\n"
    path = write_plot(tmp_path, b"T 3\nA\nB\nC\nH\n", short, filler, b"H\n", field * 3, b"\n")
    assert panic_message(read, path, width) == (
        "PanicException", f"end byte index {3 * width} is out of bounds for string of length {2 * width}")


def header_cases():
    """(line length, where the odd bytes start, the odd bytes) around the 16-byte halves of the
    32-byte window in which block headers are searched."""
    for length in (15, 16, 30, 31, 32, 33):
        for odd in (b"\xff", "\u00e9".encode(), "\u20ac".encode()):
            starts = {0, 15, 16, 30, length - len(odd)}
            for start in sorted(s for s in starts if s + len(odd) <= length):
                yield pytest.param(length, start, odd, id=f"{length}-{start}-{odd.hex()}")


@pytest.mark.parametrize("length, start, odd", list(header_cases()))
def test_block_header_bytes_at_the_edges_of_its_search(tmp_path, length, start, odd):
    # Block headers are found within their first 32 bytes, in vectors where that many are
    # buffered; a byte that is not ASCII anywhere before the line feed sends the line to the
    # UTF-8 check, wherever it stands in the window and whatever the line's length.
    header = bytearray(b"H" * length)
    header[start:start + len(odd)] = odd
    field = FIELDS[12].encode()
    block = b"\n" + field + b"\n"
    path = write_plot(tmp_path, b"T 1\nP0\nH", block, bytes(header), block, b"H", block)
    if odd == b"\xff":
        assert panic_message(read, path, 12) == ("PanicException", BAD_UTF8)
    else:
        times, cols = read(path, 12)
        assert bits_list(times) == [reference(FIELDS[12].strip(" "))[0]] * 3 and cols == []


@pytest.mark.parametrize("length", [30, 31, 32])
def test_last_header_ending_with_the_data_read(tmp_path, length):
    # The file ends in a block header without a line feed, in a read shorter than the buffer, and
    # the buffer still holds a line feed of the read before right where the header ends: the
    # header's search must not take that stale byte for its end. The block then has no data line.
    field = FIELDS[12].encode()
    prefix = b"T 1\nP0\n"
    # The first header's line feed lands at the offset where the last header will end.
    first = prefix + b"H" + b"x" * (length - len(prefix) - 1) + b"\n" + field + b"\n"
    assert first[length:length + 1] == b"\n"
    block = b"H\n" + field + b"\n"
    body = first + block * ((READ_SIZE - len(first)) // len(block) - 1)
    # The last full block's header takes up the rest, so that the first read ends with it.
    last_header = b"H" * (READ_SIZE - len(body) - len(field) - 2)
    body += last_header + b"\n" + field + b"\n"
    assert len(body) == READ_SIZE and body[length:length + 1] == b"\n"
    path = write_plot(tmp_path, body + b"H" * length)
    assert panic_message(read, path, 12) == ("PanicException", "Error reading line")


def mismatch_fields(kind, width, b):
    """The 13 field texts of block b of a width-``width`` file: E notation of the fixed shape,
    of values that binary32 holds exactly (so that the shortcut takes every one), or digits only
    (a number however the line is cut)."""
    fields = []
    for i in range(13):
        if kind == "e-notation":
            value = (-1) ** i * (i + 1 + 13 * b) * 2.0 ** (i % 11 - 4)
            fields.append(f"{value: .{width - 7}E}")
        else:
            n = (i * 7919 + b * 104729 + 12345) % 10**(width - 4)
            fields.append(str(n * 97 + 10**(width - 1))[-width:])
    assert all(len(f) == width for f in fields)
    return fields


# What follows the last field of a data line of n fields: nothing, two bytes, or digits up to
# the length of a line of fields three bytes wider (a width-12 line as long as a width-15 one),
# on every line or on the full ones only.
MISMATCH_TAILS = {
    "none": lambda n: b"",
    "two-bytes": lambda n: b" 1",
    "wider": lambda n: b"7" * (3 * n),
    "wider-full-lines": lambda n: b"7" * (3 * n) if n == 10 else b"",
}


@pytest.mark.parametrize("kind", ["e-notation", "digits"])
@pytest.mark.parametrize("tail", MISMATCH_TAILS)
@pytest.mark.parametrize("file_width", [12, 15])
def test_reads_at_widths_other_than_the_files(tmp_path, file_width, tail, kind):
    # A file written at one width and read at another is cut where the width asked for says,
    # whatever route the width would take for a file of its own: values where the cuts make
    # numbers, else the error they give. Two blocks of 13 parameters: a full data line and one
    # of three fields.
    parts = [b"T 13\n" + b"".join(b"P%d\n" % i for i in range(13))]
    for b in range(2):
        fields = mismatch_fields(kind, file_width, b)
        parts.append(b"H\n")
        for start, n in ((0, 10), (10, 3)):
            parts.append("".join(fields[start:start + n]).encode() + MISMATCH_TAILS[tail](n) + b"\n")
    data = b"".join(parts)
    path = write_plot(tmp_path, data)
    wrong = []
    for width in range(1, 25):
        expected, stdout = model(data, width)
        assert stdout == ""
        got = outcome(path, width)
        if got != expected:
            wrong.append((width, got, expected))
    assert not wrong, wrong[:3]
    # At its own width the file reads.
    assert outcome(path, file_width)[0] == "ok"
