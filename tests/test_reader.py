"""Plot file format, line rules, whitespace rules and reader failure messages."""
import errno
import os
import struct

import pytest

import quorel
from conftest import bits_list, f32bits, panic_message, plot_text, write_plot

read = quorel.rust_read_tolvane

INVALID = "Could not parse line: ParseFloatError { kind: Invalid }"
EMPTY = "Could not parse line: ParseFloatError { kind: Empty }"

# The reader takes the file in reads of this many bytes; lines and characters cut by a read
# boundary are put back together.
READ_SIZE = 65536
BAD_UTF8 = ('Failed to read line!: Error { kind: InvalidData, '
            'message: "stream did not contain valid UTF-8" }')

# The 25 White_Space code points.
WHITESPACE = [chr(c) for c in (
    0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680,
    *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F, 0x205F, 0x3000)]
assert len(WHITESPACE) == 25
# Characters that look like blanks or formatting but are not White_Space.
NOT_WHITESPACE = [chr(c) for c in (
    0x1C, 0x1D, 0x1E, 0x1F, 0xAD, 0x180E, 0x200B, 0x200C, 0x200D, 0x2060, 0xFEFF)]


def f32(x):
    """Bits of a Python float that is exactly representable in binary32."""
    return struct.unpack("<I", struct.pack("<f", x))[0]


def panic(path, width):
    name, message = panic_message(read, path, width)
    assert name == "PanicException", message
    return message


def result_bits(path, width):
    result = read(path, width)
    assert type(result) is tuple and len(result) == 2
    times, cols = result
    assert type(times) is list and type(cols) is list
    assert all(type(c) is list for c in cols)
    return bits_list(times), [bits_list(c) for c in cols]


def data_line(fields, width):
    """Fields (str) right-aligned by bytes in fields of ``width`` bytes."""
    out = b""
    for f in fields:
        raw = f.encode("utf-8")
        assert len(raw) <= width
        out += b" " * (width - len(raw)) + raw
    return out


# ---------------------------------------------------------------- the exception


def test_failure_raises_panic_exception(tmp_path):
    path = str(tmp_path / "missing.dat")
    with pytest.raises(BaseException) as info:
        read(path, 12)
    exc = info.value
    cls = type(exc)
    assert cls.__name__ == "PanicException"
    assert cls.__qualname__ == "PanicException"
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    message = ('Plot file not found!: Os { code: 2, kind: NotFound, '
               'message: "No such file or directory" }')
    assert exc.args == (message,)
    assert str(exc) == message


def test_exception_handler_does_not_catch(tmp_path):
    path = str(tmp_path / "missing.dat")
    caught = None
    try:
        try:
            read(path, 12)
        except Exception:  # noqa: BLE001
            caught = "Exception"
    except BaseException:
        caught = "BaseException"
    assert caught == "BaseException"


# ---------------------------------------------------------------- layouts


def value_text(b, i):
    return repr(b * 64 + i + 0.25 * (i % 4) - 100.0)


@pytest.mark.parametrize("count", [1, 2, 9, 10, 11, 12, 19, 20, 21, 25, 31])
@pytest.mark.parametrize("width", [12, 15])
def test_layout(tmp_path, count, width):
    nblocks = 3
    blocks = [[value_text(b, i) for i in range(count)] for b in range(nblocks)]
    path = write_plot(tmp_path, plot_text(count, blocks, width))
    times, cols = result_bits(path, width)
    assert times == [f32(float(blocks[b][0])) for b in range(nblocks)]
    assert len(cols) == count - 1
    for j, col in enumerate(cols):
        assert col == [f32(float(blocks[b][j + 1])) for b in range(nblocks)]


@pytest.mark.parametrize("count, lines_per_block", [(10, 1), (11, 2), (20, 2), (21, 3)])
def test_data_lines_per_block(tmp_path, count, lines_per_block):
    """One data line fewer than needed fails; the last needed line is field 10k."""
    block = [str(i) for i in range(count)]
    text = plot_text(count, [block], 12)
    lines = text.split("\n")[:-1]
    assert len(lines) == 1 + count + 1 + lines_per_block
    short = "\n".join(lines[:-1]) + "\n"
    assert panic(write_plot(tmp_path, short), 12) == "Error reading line"
    times, cols = result_bits(write_plot(tmp_path, text, name="full"), 12)
    assert times == [0]
    assert cols == [[f32(float(i))] for i in range(1, count)]


def test_field_ten_is_first_field_of_second_line_and_excess_ignored(tmp_path):
    line0 = data_line([str(i) + ".5" for i in range(10)], 12) + b"   trailing junk 1.0D+00"
    line1 = data_line(["10.5"], 12) + b"xx not a number \xc3\xa9"
    path = write_plot(tmp_path, "T 11\n" + "name\n" * 11, "head\n", line0, b"\n",
                      line1, b"\n")
    times, cols = result_bits(path, 12)
    assert times == [f32(0.5)]
    assert cols == [[f32(i + 0.5)] for i in range(1, 11)]


def test_garbage_token_then_count(tmp_path):
    blocks = [["0.0", "1.5", "-2.25"], ["1.0", "3.5", "4.75"], ["2.0", "0.5", "8.0"]]
    path = write_plot(tmp_path, plot_text(3, blocks, 12, first_line="GARBAGE 3"))
    assert result_bits(path, 12) == (
        [f32(0.0), f32(1.0), f32(2.0)],
        [[f32(1.5), f32(3.5), f32(0.5)], [f32(-2.25), f32(4.75), f32(8.0)]])


def test_parameter_count_one(tmp_path):
    path = write_plot(tmp_path, plot_text(1, [["1.0"], ["2.0"], ["3.0"]], 12))
    assert result_bits(path, 12) == ([f32(1.0), f32(2.0), f32(3.0)], [])


def test_worked_example_twelve_parameters(tmp_path):
    # 12-byte fields in the E format fill their fields without blanks between
    values = [[(b * 16 + i) / 4 for i in range(12)] for b in range(1, 3)]
    blocks = [[f"{v:.6E}" for v in row] for row in values]
    assert all(len(t) == 12 for row in blocks for t in row)
    path = write_plot(tmp_path, plot_text(12, blocks, 12))
    times, cols = result_bits(path, 12)
    assert times == [f32(values[0][0]), f32(values[1][0])]
    assert cols == [[f32(values[0][j]), f32(values[1][j])] for j in range(1, 12)]


@pytest.mark.parametrize("names", [
    ["", "", ""],
    ["   ", "\t", " \u3000 "],
    ["1.0D+00", "***", "é€😀"],
    ["a b c d e f", "x" * 10000, "\x00\x01\x7f"],
])
def test_name_lines_may_hold_anything(tmp_path, names):
    path = write_plot(tmp_path, plot_text(3, [["1", "2", "3"]], 12, names=names))
    assert result_bits(path, 12) == ([f32(1.0)], [[f32(2.0)], [f32(3.0)]])


@pytest.mark.parametrize("header", [
    "", "   ", "not a number", "1.0D+00", "é€😀\u2028", "\t\x0b\x0c\x00",
    "x" * 20000, "3", "-1e999", "\r",
])
def test_header_line_may_hold_anything(tmp_path, header):
    blocks = [["1.5", "-2.0"], ["2.5", "-4.0"]]
    path = write_plot(tmp_path, plot_text(2, blocks, 12, header=header))
    assert result_bits(path, 12) == ([f32(1.5), f32(2.5)], [[f32(-2.0), f32(-4.0)]])


# ---------------------------------------------------------------- the count


@pytest.mark.parametrize("first_line, count", [
    ("3", 3),
    ("+3", 3),
    ("0007", 7),
    ("TOLVANE\t  2   ", 2),
    ("  a \t b  3  ", 3),
    ("1 2 3 4 1", 1),
    ("GARBAGE -x 3", 3),
    ("+00000000000000000000000000012", 12),
])
def test_count_accepted(tmp_path, capfd, first_line, count):
    blocks = [[str(i) for i in range(count)]]
    path = write_plot(tmp_path, plot_text(count, blocks, 12, first_line=first_line))
    times, cols = result_bits(path, 12)
    assert times == [f32(0.0)]
    assert cols == [[f32(float(i))] for i in range(1, count)]
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("first_line, token", [
    ("TOLVANE -3", "-3"),
    ("TOLVANE -0", "-0"),
    ("TOLVANE +", "+"),
    ("TOLVANE -", "-"),
    ("TOLVANE 3.0", "3.0"),
    ("TOLVANE 0x3", "0x3"),
    ("TOLVANE 3e2", "3e2"),
    ("TOLVANE 1_000", "1_000"),
    ("TOLVANE ++3", "++3"),
    ("TOLVANE +-3", "+-3"),
    ("TOLVANE \uff13", "\uff13"),
    ("TOLVANE \u0663", "\u0663"),
    ("TOLVANE 18446744073709551616", "18446744073709551616"),
    ("TOLVANE 99999999999999999999999", "99999999999999999999999"),
    ("TOLVANE 3 parameters", "parameters"),
    ("TOLVANE 3a", "3a"),
    ("3  TOLVANE   ", "TOLVANE"),
    ("TOLVANE\u200b3", "TOLVANE\u200b3"),
    ("TOLVANE 3\u200b", "3\u200b"),
    ("\ufeff3", "\ufeff3"),
    ("a\x1c3", "a\x1c3"),
])
def test_count_rejected(tmp_path, capfd, first_line, token):
    blocks = [["1", "2", "3"]]
    path = write_plot(tmp_path, plot_text(3, blocks, 12, first_line=first_line))
    capfd.readouterr()
    message = panic(path, 12)
    assert message == ("The first line should end with the number of parameters:\n"
                       f"'{first_line}'")
    out = capfd.readouterr().out
    assert out == f"Error: '{token}' is not a valid number of parameters!\n"


def test_count_rejected_line_is_whole_first_line_without_terminator(tmp_path, capfd):
    path = write_plot(tmp_path, b"  TOLVANE  x y \t 3.5 \r\nA\n")
    capfd.readouterr()
    assert panic(path, 12) == ("The first line should end with the number of "
                               "parameters:\n'  TOLVANE  x y \t 3.5 '")
    assert capfd.readouterr().out == "Error: '3.5' is not a valid number of parameters!\n"


def test_largest_count_is_accepted(tmp_path, capfd):
    path = write_plot(tmp_path, "T 18446744073709551615\nA\nB\n")
    capfd.readouterr()
    assert panic(path, 12) == "Failed to read line!"
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("content", [
    "\n",
    "\nA\nH\n           1\n",
    "   \t  \n",
    "\r\n",
    "\u3000\u00a0\n",
    "TOLVANE 0\n",
    "TOLVANE 0\nH\n1\n",
    "000\n",
    "+0\n",
    "TOLVANE 00\n",
])
def test_zero_count_is_capacity_overflow(tmp_path, capfd, content):
    path = write_plot(tmp_path, content)
    capfd.readouterr()
    assert panic(path, 12) == "capacity overflow"
    assert capfd.readouterr().out == ""


# ---------------------------------------------------------------- file ends


@pytest.mark.parametrize("count", [1, 2, 12, 25])
def test_file_ending_after_names(tmp_path, count):
    path = write_plot(tmp_path, plot_text(count, [], 12))
    assert result_bits(path, 12) == ([], [[] for _ in range(count - 1)])


def test_file_ending_after_names_without_final_newline(tmp_path):
    path = write_plot(tmp_path, "T 3\nA\nB\nC")
    assert result_bits(path, 12) == ([], [[], []])


@pytest.mark.parametrize("count", [1, 3])
def test_missing_name_line(tmp_path, count):
    text = f"T {count}\n" + "N\n" * (count - 1)
    assert panic(write_plot(tmp_path, text), 12) == "Failed to read line!"


def test_missing_name_line_without_newline(tmp_path):
    assert panic(write_plot(tmp_path, "T 3\nA\nB"), 12) == "Failed to read line!"


@pytest.mark.parametrize("tail", ["\n", "   \n", "H", "H\n", "\r\n"])
def test_trailing_line_is_a_header_without_data(tmp_path, tail):
    text = plot_text(2, [["1", "2"], ["3", "4"]], 12) + tail
    assert panic(write_plot(tmp_path, text), 12) == "Error reading line"


@pytest.mark.parametrize("count, keep", [(11, 1), (21, 1), (21, 2)])
def test_file_ending_inside_block_data(tmp_path, count, keep):
    text = plot_text(count, [[str(i) for i in range(count)]] * 2, 12)
    lines = text.split("\n")[:-1]
    per_block = 1 + (count + 9) // 10
    cut = lines[:1 + count + per_block + 1 + keep]
    assert panic(write_plot(tmp_path, "\n".join(cut) + "\n"), 12) == "Error reading line"


def test_empty_file(tmp_path):
    assert panic(write_plot(tmp_path, b""), 12) == "Failed ot read line!"


# ---------------------------------------------------------------- field slices


@pytest.mark.parametrize("count, width, line, end, length", [
    (3, 12, b"         1.0         2.0" + b"   3.0", 36, 30),
    (3, 12, b"         1.0         2.0" + b"        3.0", 36, 35),
    (1, 12, b"        1.0", 12, 11),
    (1, 12, b"", 12, 0),
    (2, 12, b"           1", 24, 12),
    (1, 4, "é".encode(), 4, 2),
    (1, 100, b" " * 35 + b"1", 100, 36),
    (1, 2**63, b"1", 2**63, 1),
])
def test_short_data_line(tmp_path, count, width, line, end, length):
    path = write_plot(tmp_path, f"T {count}\n" + "N\n" * count + "H\n", line, b"\n")
    assert panic(path, width) == (
        f"end byte index {end} is out of bounds for string of length {length}")


def test_short_second_data_line(tmp_path):
    line0 = data_line([str(i) for i in range(10)], 12)
    path = write_plot(tmp_path, "T 12\n" + "N\n" * 12 + "H\n", line0, b"\n",
                      data_line(["10"], 12), b"\n")
    assert panic(path, 12) == "end byte index 24 is out of bounds for string of length 12"
    path = write_plot(tmp_path, "T 11\n" + "N\n" * 11 + "H\n", line0, b"\n",
                      b"  10\n", name="b")
    assert panic(path, 12) == "end byte index 12 is out of bounds for string of length 4"


def test_short_line_in_later_block(tmp_path):
    good = data_line(["1", "2", "3"], 12)
    path = write_plot(tmp_path, "T 3\nA\nB\nC\n", b"H\n", good, b"\nH\n", good, b"\nH\n",
                      good[:-1], b"\n")
    assert panic(path, 12) == "end byte index 36 is out of bounds for string of length 35"


@pytest.mark.parametrize("count, width, line, end, char, start, stop", [
    (1, 3, "12é", 3, "'é'", 2, 4),
    (1, 3, "12é   ", 3, "'é'", 2, 4),
    (1, 2, "1€", 2, "'€'", 1, 4),
    (1, 3, "1€", 3, "'€'", 1, 4),
    (1, 1, "€", 1, "'€'", 0, 3),
    (1, 1, "😀", 1, "'😀'", 0, 4),
    (1, 2, "😀", 2, "'😀'", 0, 4),
    (1, 3, "😀", 3, "'😀'", 0, 4),
    (1, 2, " ß", 2, "'ß'", 1, 3),
    (1, 2, " Ω", 2, "'Ω'", 1, 3),
    (1, 2, " 中", 2, "'中'", 1, 4),
    (1, 2, " \U0001d518", 2, "'\U0001d518'", 1, 5),
    (2, 4, "   1  2é", 8, "'é'", 7, 9),
    (1, 2, " \u00a0", 2, "'\\u{a0}'", 1, 3),
    (1, 2, " \u0085", 2, "'\\u{85}'", 1, 3),
    (1, 2, " \u0301", 2, "'\\u{301}'", 1, 3),
    (1, 2, " \u0300", 2, "'\\u{300}'", 1, 3),
    (1, 2, " \u20dd", 2, "'\\u{20dd}'", 1, 4),
    (1, 2, " \ue000", 2, "'\\u{e000}'", 1, 4),
    (1, 2, " \uf8ff", 2, "'\\u{f8ff}'", 1, 4),
    (1, 2, " \u3000", 2, "'\\u{3000}'", 1, 4),
    (1, 2, " \u2028", 2, "'\\u{2028}'", 1, 4),
    (1, 2, " \u1680", 2, "'\\u{1680}'", 1, 4),
    (1, 2, " \u0378", 2, "'\\u{378}'", 1, 3),
    (1, 2, " \U000f0000", 2, "'\\u{f0000}'", 1, 5),
    (1, 2, " \U0010ffff", 2, "'\\u{10ffff}'", 1, 5),
])
def test_field_end_inside_character(tmp_path, count, width, line, end, char, start, stop):
    raw = line.encode("utf-8")
    assert len(raw) >= end
    path = write_plot(tmp_path, f"T {count}\n" + "N\n" * count + "H\n", raw, b"\n")
    assert panic(path, width) == (
        f"end byte index {end} is not a char boundary; it is inside {char} "
        f"(bytes {start}..{stop} of string)")


def test_multibyte_characters_at_field_boundaries_are_fine(tmp_path):
    # byte widths: fields of 6 bytes, whitespace padding made of multibyte blanks
    f0 = "\u3000 1.5"   # 3 + 1 + 3 bytes = 7
    f1 = "\u00a0-2.5"   # 2 + 4 bytes = 6
    raw0, raw1 = f0.encode(), f1.encode()
    width = 7
    line = raw0 + b" " * (width - len(raw1)) + raw1
    path = write_plot(tmp_path, "T 2\nA\nB\nH\n", line, b"\n")
    assert result_bits(path, width) == ([f32(1.5)], [[f32(-2.5)]])


# ---------------------------------------------------------------- field contents


@pytest.mark.parametrize("width, line", [
    (12, b" " * 36),
    (12, b" " * 12 + b"         1.0         2.0"),
    (12, b"         1.0" + b"\t" * 12 + b"         2.0"),
    (6, "   1.0\u3000\u3000   1.0".encode()),
    (0, b""),
    (0, b"         1.0         2.0         3.0"),
])
def test_empty_field(tmp_path, width, line):
    path = write_plot(tmp_path, "T 3\nA\nB\nC\nH\n", line, b"\n")
    assert panic(path, width) == EMPTY


@pytest.mark.parametrize("text", [
    "1.0D+00", "1.0d0", "***********", "1.0 2.0", "1,5", "0x1p3", "1.0-100",
    "- 1", "abc", "1.0E+",
])
def test_invalid_field(tmp_path, text):
    path = write_plot(tmp_path, plot_text(2, [["1.0", text]], 12))
    assert panic(path, 12) == INVALID


def test_later_invalid_field_fails_whole_call(tmp_path):
    blocks = [["1", "2"], ["3", "4"], ["5", "x"]]
    path = write_plot(tmp_path, plot_text(2, blocks, 12))
    assert panic(path, 12) == INVALID


def test_point_one_is_exact_binary32(tmp_path):
    path = write_plot(tmp_path, plot_text(2, [["0.1", "-0.1"]], 12))
    times, cols = read(path, 12)
    assert struct.pack("<d", times[0]) == struct.pack("<d", 0.10000000149011612)
    assert f32bits(times[0]) == 0x3DCCCCCD
    assert f32bits(cols[0][0]) == 0xBDCCCCCD


def test_values_are_distinct_float_objects(tmp_path):
    path = write_plot(tmp_path, plot_text(2, [["1.0", "1.0"], ["1.0", "1.0"]], 12))
    times, cols = read(path, 12)
    assert all(type(v) is float for v in times + cols[0])
    assert times[0] is not times[1]


# ---------------------------------------------------------------- opening


def test_missing_file(tmp_path):
    assert panic(str(tmp_path / "nope.dat"), 12) == (
        'Plot file not found!: Os { code: 2, kind: NotFound, '
        'message: "No such file or directory" }')


def test_relative_missing_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert panic("nope.dat", 12) == (
        'Plot file not found!: Os { code: 2, kind: NotFound, '
        'message: "No such file or directory" }')
    assert panic("", 12) == (
        'Plot file not found!: Os { code: 2, kind: NotFound, '
        'message: "No such file or directory" }')


def test_relative_path_resolved_against_cwd(tmp_path, monkeypatch):
    write_plot(tmp_path, plot_text(1, [["4.5"]], 12), name="rel.dat")
    monkeypatch.chdir(tmp_path)
    assert result_bits("rel.dat", 12) == ([f32(4.5)], [])


def test_directory(tmp_path):
    assert panic(str(tmp_path), 12) == (
        'Failed to read line!: Os { code: 21, kind: IsADirectory, '
        'message: "Is a directory" }')


@pytest.mark.parametrize("suffix", ["\x00", "/a\x00b", "/plot.dat\x00.txt"])
def test_nul_in_path(tmp_path, suffix):
    write_plot(tmp_path, plot_text(1, [["1"]], 12), name="plot.dat")
    assert panic(str(tmp_path) + suffix, 12) == (
        'Plot file not found!: Error { kind: InvalidInput, '
        'message: "file name contained an unexpected NUL byte" }')


def os_error(code, kind):
    return f'Os {{ code: {code}, kind: {kind}, message: "{os.strerror(code)}" }}'


def test_not_a_directory(tmp_path):
    path = write_plot(tmp_path, "T 1\n")
    assert panic(path + "/x", 12) == (
        "Plot file not found!: " + os_error(errno.ENOTDIR, "NotADirectory"))


def test_name_too_long(tmp_path):
    assert panic(str(tmp_path / ("x" * 300)), 12) == (
        "Plot file not found!: " + os_error(errno.ENAMETOOLONG, "InvalidFilename"))


def test_symlink_loop(tmp_path):
    os.symlink(tmp_path / "b", tmp_path / "a")
    os.symlink(tmp_path / "a", tmp_path / "b")
    assert panic(str(tmp_path / "a"), 12) == (
        "Plot file not found!: " + os_error(errno.ELOOP, "FilesystemLoop"))


def test_dangling_symlink(tmp_path):
    os.symlink(tmp_path / "missing", tmp_path / "link")
    assert panic(str(tmp_path / "link"), 12) == (
        "Plot file not found!: " + os_error(errno.ENOENT, "NotFound"))


@pytest.mark.skipif(os.geteuid() == 0, reason="root ignores file permissions")
def test_permission_denied(tmp_path):
    path = write_plot(tmp_path, "T 1\n")
    os.chmod(path, 0)
    assert panic(path, 12) == (
        "Plot file not found!: " + os_error(errno.EACCES, "PermissionDenied"))


def test_path_is_used_unnormalised(tmp_path):
    write_plot(tmp_path, plot_text(1, [["2.5"]], 12), name="p.dat")
    assert result_bits(str(tmp_path) + "//./p.dat", 12) == ([f32(2.5)], [])
    # NFC and NFD spellings of a name are different files
    write_plot(tmp_path, plot_text(1, [["3.5"]], 12), name="\u00e9.dat")
    assert result_bits(str(tmp_path / "\u00e9.dat"), 12) == ([f32(3.5)], [])
    assert panic(str(tmp_path / "e\u0301.dat"), 12).startswith(
        "Plot file not found!: Os { code: 2,")


# ---------------------------------------------------------------- UTF-8


BAD_SEQUENCES = [
    b"\xe9", b"\xff", b"\xfe", b"\x80", b"\xbf", b"\xc3\x28", b"\xc0\x80", b"\xc1\xbf",
    b"\xe0\x80\x80", b"\xe0\x9f\xbf", b"\xf0\x80\x80\x80", b"\xf0\x8f\xbf\xbf",
    b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xed\xb2\x80", b"\xf4\x90\x80\x80",
    b"\xf5\x80\x80\x80", b"\xf8\x88\x80\x80\x80", b"\xe2\x82", b"\xf0\x9f\x98",
]


@pytest.mark.parametrize("bad", BAD_SEQUENCES)
@pytest.mark.parametrize("where", ["first", "name", "header", "field", "beyond",
                                   "last-header"])
def test_invalid_utf8(tmp_path, bad, where):
    first, name, header, = b"T 2", b"N", b"H"
    field = data_line(["1", "2"], 12)
    beyond = b""
    if where == "first":
        first = b"T" + bad + b" 2"
    elif where == "name":
        name = b"N" + bad
    elif where == "header":
        header = b"H" + bad
    elif where == "field":
        field = b" " * 10 + b"1" + bad + data_line(["2"], 12)
    elif where == "beyond":
        beyond = b"  " + bad
    parts = [first, b"\n", name, b"\n", name, b"\n", header, b"\n", field, beyond, b"\n"]
    if where == "last-header":
        parts += [b"H", bad]
    path = write_plot(tmp_path, *parts)
    assert panic(path, 12) == BAD_UTF8


@pytest.mark.parametrize("tail", [b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98", b"\xe2"])
def test_file_ending_inside_multibyte_character(tmp_path, tail):
    good = data_line(["1", "2"], 12)
    path = write_plot(tmp_path, b"T 2\nA\nB\nH\n", good, b"\nH\n", good[:-1], tail)
    assert panic(path, 12) == BAD_UTF8


def test_valid_multibyte_everywhere(tmp_path):
    text = ("\u00e9T\u20ac 2\n\U0001f600 A\n\u4e2d B\n\u00e9\u20ac\U0001f600\n"
            "         1.0         2.0 \u00e9\u20ac\U0001f600\n")
    assert result_bits(write_plot(tmp_path, text), 12) == ([f32(1.0)], [[f32(2.0)]])


# ---------------------------------------------------------------- line ends


def test_crlf_file(tmp_path):
    blocks = [["1.5", "2.5", "-3.5"], ["4.5", "5.5", "6.5"]]
    path = write_plot(tmp_path, plot_text(3, blocks, 12, newline="\r\n"))
    assert result_bits(path, 12) == ([f32(1.5), f32(4.5)],
                                     [[f32(2.5), f32(5.5)], [f32(-3.5), f32(6.5)]])


def test_crlf_removes_exactly_one_cr(tmp_path):
    head = "T 1\r\r\nA\r\r\nH\r\r\n"
    path = write_plot(tmp_path, head + "         1.0\r\r\n")
    assert result_bits(path, 13) == ([f32(1.0)], [])
    path = write_plot(tmp_path, head + "         1.0\r\n", name="b")
    assert panic(path, 13) == "end byte index 13 is out of bounds for string of length 12"
    path = write_plot(tmp_path, head + "         1.0\r\r\r\n", name="c")
    assert result_bits(path, 14) == ([f32(1.0)], [])
    assert panic(path, 15) == "end byte index 15 is out of bounds for string of length 14"


def test_cr_kept_inside_field_is_trimmed(tmp_path):
    path = write_plot(tmp_path, "T 2\nA\nB\nH\n  1.0\r   2.0\n")
    assert result_bits(path, 6) == ([f32(1.0)], [[f32(2.0)]])


def test_final_line_ending_in_cr(tmp_path):
    path = write_plot(tmp_path, "T 1\nA\nH\n         1.0\r")
    assert result_bits(path, 13) == ([f32(1.0)], [])
    path = write_plot(tmp_path, "T 1\nA\nH\n         1.0", name="b")
    assert result_bits(path, 12) == ([f32(1.0)], [])
    assert panic(path, 13) == "end byte index 13 is out of bounds for string of length 12"


def test_lone_cr_does_not_end_a_line(tmp_path, capfd):
    path = write_plot(tmp_path, "T 1\rA\rH\r1.0\r")
    capfd.readouterr()
    assert panic(path, 12) == ("The first line should end with the number of "
                               "parameters:\n'T 1\rA\rH\r1.0\r'")
    assert capfd.readouterr().out == "Error: '1.0' is not a valid number of parameters!\n"


def test_lone_cr_file_is_one_line(tmp_path):
    # the whole file is one first line whose last token is the count
    path = write_plot(tmp_path, "NAME\rX\r2\r")
    assert panic(path, 12) == "Failed to read line!"


@pytest.mark.parametrize("sep", ["\x0c", "\u2028", "\u0085", "\x0b"])
def test_other_separators_do_not_end_lines(tmp_path, sep):
    path = write_plot(tmp_path, f"T 1\nA\nH{sep}X\n         1.0{sep}2\n")
    assert result_bits(path, 12) == ([f32(1.0)], [])


def test_empty_lines_are_lines(tmp_path):
    # names and headers may be empty lines; LF LF yields one empty line
    path = write_plot(tmp_path, "T 2\n\n\n\n         1.0         2.0\n\n"
                                "         3.0         4.0\n")
    assert result_bits(path, 12) == ([f32(1.0), f32(3.0)], [[f32(2.0), f32(4.0)]])


# ---------------------------------------------------------------- long lines


def test_long_first_line(tmp_path):
    first = "x" * 20000 + " y" * 5000 + " 2"
    path = write_plot(tmp_path, plot_text(2, [["1", "2"]], 12, first_line=first))
    assert result_bits(path, 12) == ([f32(1.0)], [[f32(2.0)]])


def test_long_header_and_name_lines(tmp_path):
    names = ["n" * 9000, "m" * 30000]
    text = plot_text(2, [["1", "2"], ["3", "4"]], 12, names=names, header="h" * 50000)
    assert result_bits(write_plot(tmp_path, text), 12) == (
        [f32(1.0), f32(3.0)], [[f32(2.0), f32(4.0)]])


def test_fields_wider_than_buffer(tmp_path):
    width = 9000
    blocks = [["1.5", "0.1" + "0" * 8000], ["-2.5", "7" + "0" * 20 + "e-20"]]
    path = write_plot(tmp_path, plot_text(2, blocks, width))
    assert result_bits(path, width) == ([f32(1.5), f32(-2.5)],
                                        [[0x3DCCCCCD, f32(7.0)]])


def test_value_with_many_digits_across_buffer(tmp_path):
    width = 20000
    text = "1." + "0" * 19990 + "1"
    path = write_plot(tmp_path, plot_text(1, [[text]], width))
    assert result_bits(path, width) == ([f32(1.0)], [])


@pytest.mark.parametrize("boundary", [READ_SIZE, 2 * READ_SIZE])
def test_data_lines_around_buffer_boundary(tmp_path, boundary):
    line = data_line(["1.25", "-2.5", "3e1"], 12)
    for shift in range(-40, 3):
        head = b"T 3\nA\nB\nC\n"
        # header padded so that the data line starts at boundary + shift
        pad = boundary + shift - len(head) - 1
        content = head + b"h" * pad + b"\n" + line + b"\n"
        path = write_plot(tmp_path, content, name=f"s{shift}")
        assert result_bits(path, 12) == ([f32(1.25)], [[f32(-2.5)], [f32(30.0)]]), shift


@pytest.mark.parametrize("char", ["\u00e9", "\u20ac", "\U0001f600"])
def test_multibyte_character_split_by_buffer(tmp_path, char):
    raw = char.encode()
    for start in range(READ_SIZE - len(raw) + 1, READ_SIZE):
        head = b"T 1\nA\n"
        pad = start - len(head)
        content = head + b"h" * pad + raw + b"\n" + b"         1.0\n"
        assert content[start:start + len(raw)] == raw
        path = write_plot(tmp_path, content, name=f"s{start}")
        assert result_bits(path, 12) == ([f32(1.0)], []), start


def test_whitespace_in_field_split_by_buffer(tmp_path):
    raw = "\u3000".encode()
    for start in range(READ_SIZE - 2, READ_SIZE):
        head = b"T 1\nA\nH\n"
        prefix = b" " * (start - len(head))
        line = prefix + raw + b"2.5" + raw
        content = head + line + b"\n"
        path = write_plot(tmp_path, content, name=f"s{start}")
        assert result_bits(path, len(line)) == ([f32(2.5)], []), start


def test_invalid_sequence_split_by_buffer(tmp_path):
    for bad in (b"\xe0\x80\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80"):
        for start in range(READ_SIZE - len(bad) + 1, READ_SIZE):
            head = b"T 1\nA\n"
            content = head + b"h" * (start - len(head)) + bad + b"\n         1.0\n"
            path = write_plot(tmp_path, content, name=f"s{start}")
            assert panic(path, 12) == BAD_UTF8, (bad, start)


# ---------------------------------------------------------------- BOM and whitespace


def test_bom_joins_first_token(tmp_path, capfd):
    path = write_plot(tmp_path, "\ufeff3\nA\nB\nC\n")
    capfd.readouterr()
    assert panic(path, 12) == ("The first line should end with the number of "
                               "parameters:\n'\ufeff3'")
    assert capfd.readouterr().out == "Error: '\ufeff3' is not a valid number of parameters!\n"
    path = write_plot(tmp_path, "\ufeffTOLVANE 1\nA\nH\n         1.0\n", name="b")
    assert result_bits(path, 12) == ([f32(1.0)], [])


@pytest.mark.parametrize("ws", [c for c in WHITESPACE if c != "\n"],
                         ids=lambda c: f"U+{ord(c):04X}")
def test_whitespace_separates_first_line_tokens(tmp_path, capfd, ws):
    first = f"{ws}TOLVANE{ws}{ws}x{ws}2{ws}"
    path = write_plot(tmp_path, plot_text(2, [["1", "2"]], 12, first_line=first))
    assert result_bits(path, 12) == ([f32(1.0)], [[f32(2.0)]])
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("ws", [c for c in WHITESPACE if c != "\n"],
                         ids=lambda c: f"U+{ord(c):04X}")
def test_whitespace_trimmed_from_fields(tmp_path, ws):
    fields = [f"{ws}{ws}1.5", f"-2.5{ws}", f"{ws}0.75{ws}{ws}", f"{ws}4.0"]
    raws = [f.encode() for f in fields]
    width = max(len(r) for r in raws) + 1
    line = b"".join(r + b" " * (width - len(r)) for r in raws)
    path = write_plot(tmp_path, "T 4\nA\nB\nC\nD\nH\n", line, b"\n")
    assert result_bits(path, width) == (
        [f32(1.5)], [[f32(-2.5)], [f32(0.75)], [f32(4.0)]])


@pytest.mark.parametrize("ws", [c for c in WHITESPACE if c != "\n"],
                         ids=lambda c: f"U+{ord(c):04X}")
def test_whitespace_only_field_is_empty(tmp_path, ws):
    raw = (ws * 3).encode()
    # a character after the field keeps a carriage return off the line's end
    path = write_plot(tmp_path, "T 1\nA\nH\n", raw, b"|\n")
    assert panic(path, len(raw)) == EMPTY


@pytest.mark.parametrize("ws", [c for c in WHITESPACE if c != "\n"],
                         ids=lambda c: f"U+{ord(c):04X}")
def test_whitespace_inside_field_is_invalid(tmp_path, ws):
    raw = f"1{ws}5".encode()
    path = write_plot(tmp_path, "T 1\nA\nH\n", raw, b"|\n")
    assert panic(path, len(raw)) == INVALID


@pytest.mark.parametrize("ch", NOT_WHITESPACE, ids=lambda c: f"U+{ord(c):04X}")
def test_non_whitespace_is_not_trimmed(tmp_path, capfd, ch):
    for i, field in enumerate([f"{ch}1.5", f"1.5{ch}", ch, f"{ch} 1.5"]):
        raw = field.encode()
        path = write_plot(tmp_path, "T 1\nA\nH\n", raw, b"\n", name=f"f{i}")
        assert panic(path, len(raw)) == INVALID, field
    first = f"TOLVANE {ch}2"
    path = write_plot(tmp_path, plot_text(2, [["1", "2"]], 12, first_line=first),
                      name="first")
    capfd.readouterr()
    assert panic(path, 12) == ("The first line should end with the number of "
                               f"parameters:\n'{first}'")
    assert capfd.readouterr().out == f"Error: '{ch}2' is not a valid number of parameters!\n"


# ---------------------------------------------------------------- descriptors


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


def test_descriptors_unchanged_after_failures(tmp_path, capfd):
    good = write_plot(tmp_path, plot_text(2, [["1", "2"]], 12), name="good")
    cases = [
        (str(tmp_path / "missing"), 12),
        (str(tmp_path), 12),
        (str(tmp_path) + "\x00", 12),
        (write_plot(tmp_path, b"", name="empty"), 12),
        (write_plot(tmp_path, "T x\n", name="count"), 12),
        (write_plot(tmp_path, "T 0\n", name="zero"), 12),
        (write_plot(tmp_path, "T 3\nA\n", name="names"), 12),
        (write_plot(tmp_path, b"T 1\nA\nH\n\xe9\n", name="utf8"), 12),
        (write_plot(tmp_path, "T 1\nA\nH\n", name="data"), 12),
        (write_plot(tmp_path, "T 1\nA\nH\n 1\n", name="short"), 12),
        (write_plot(tmp_path, "T 2\nA\nB\nH\n12é\n", name="bound"), 3),
        (write_plot(tmp_path, "T 1\nA\nH\n   x\n", name="parse"), 4),
        (good, 0),
    ]
    before = open_fds()
    for path, width in cases:
        panic(path, width)
        assert open_fds() == before, path
    assert result_bits(good, 12) == ([f32(1.0)], [[f32(2.0)]])
    assert open_fds() == before


@pytest.mark.parametrize("first_header, later_header", [
    ("H" * 5000, "H"),     # the first block's size makes the file look much shorter than it is
    ("H", "H" * 5000),     # ... or much longer
    ("H", "H"),
], ids=["first-block-long", "first-block-short", "alike"])
def test_every_block_kept_whatever_the_first_block_suggests(tmp_path, first_header, later_header):
    # The series are sized from the first block's length; later blocks of another length must
    # neither be lost nor leave stale values.
    blocks = 700
    parts = [b"T 12\n" + b"".join(b"P%d\n" % i for i in range(12))]
    for b in range(blocks):
        parts.append(((first_header if b == 0 else later_header) + "\n").encode())
        values = [float(b) + k / 16 for k in range(12)]
        texts = [repr(v) for v in values]
        parts.append(data_line(texts[:10], 12) + b"\n" + data_line(texts[10:], 12) + b"\n")
    path = write_plot(tmp_path, *parts)
    times, cols = result_bits(path, 12)
    assert times == [f32(float(b)) for b in range(blocks)]
    assert cols == [[f32(b + k / 16) for b in range(blocks)] for k in range(1, 12)]
