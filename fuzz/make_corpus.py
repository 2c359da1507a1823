"""Writes the fuzz seed corpora: fuzz/corpus/plot_reader/, fuzz/corpus/binary32/,
fuzz/corpus/binary64/ and fuzz/corpus/format_binary32/.

A plot_reader seed is one width byte (the field width for bytes 0..0xF7, taken modulo 41;
0xF8.. select huge widths, 0xF8 being 2^64 - 1) followed by the bytes of a plot file.
A binary32 seed is the text of one field; the binary64 seeds are the same texts.
A format_binary32 seed is a binary32 bit pattern (four bytes, little-endian) and a width byte
(8 + byte % 33 below 0xF0; 110 + byte - 0xF0 from it).

Run from anywhere: python3 fuzz/make_corpus.py
"""

import pathlib
import shutil
import struct

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
WIDTH_MAX = 0xF8  # first huge-width selector: 2^64 - 1


def plot(count, blocks, width, first=None, names=None, header=" STEP", nl="\n"):
    lines = [first if first is not None else f" TOLVANE PLOT FILE {count}"]
    lines += names if names is not None else [f" {i + 1:4d}  P{i}" for i in range(count)]
    for block in blocks:
        lines.append(header)
        fields = [str(f).rjust(width) for f in block]
        for start in range(0, count, 10):
            lines.append("".join(fields[start:start + 10]))
    return (nl.join(lines) + nl).encode()


def head_lines(path, n):
    with open(path, "rb") as f:
        return b"".join(f.readline() for _ in range(n))


def plot_seeds():
    w12 = ROOT / "examples" / "sample_w12.plt"
    w15 = ROOT / "examples" / "sample_w15.plt"
    seeds = {
        # The project's samples: a few blocks, and (w12) a few hundred lines.
        "sample_w12_head": bytes([12]) + head_lines(w12, 13 + 3 * 6),
        "sample_w15_head": bytes([15]) + head_lines(w15, 13 + 3 * 6),
        "sample_w12_10k": bytes([12]) + head_lines(w12, 13 + 3 * 75),
        "sample_w12_as_w15": bytes([15]) + head_lines(w12, 13 + 3 * 2),
        # Shapes that read.
        # The harness stretches the first DEL byte to reach the 64 KiB read boundary: a header
        # line that ends near it, then a data line with a multi-byte blank split by it.
        "across_read_boundary": bytes([12]) + "T 2\nA\nB\nH\x7f\x90\n\u3000   1.5E+00      -2.5\n".encode(),
        "three_params": bytes([12]) + plot(3, [["0.0", "1.5", "-2.25E+01"], ["1.0E-02", "inf", "-nan"]], 12,
                                          first="GARBAGE 3"),
        "one_param": bytes([8]) + plot(1, [["1"], ["2"], ["3"]], 8),
        "ten_params": bytes([6]) + plot(10, [[str(i) for i in range(10)]], 6),
        "eleven_params": bytes([6]) + plot(11, [[f"{i}.5" for i in range(11)]] * 2, 6),
        "twenty_one_params": bytes([5]) + plot(21, [[f"{i}" for i in range(21)]], 5),
        "crlf": bytes([12]) + plot(2, [["1.5", "-2.0"], ["3", "4"]], 12, nl="\r\n"),
        "plus_count": bytes([10]) + plot(2, [["1", "2"]], 10, first="X +0002"),
        "names_only": bytes([12]) + plot(4, [], 12),
        "no_final_newline": bytes([4]) + plot(2, [["1", "2"]], 4)[:-1],
        "excess_ignored": bytes([5]) + b"T 2\nA\nB\nH\n    1    2 trailing junk \xc3\xa9\n",
        "unicode_blanks": bytes([12]) + "T 3\nA\nB\nC\n\u00a0\n\u30001.0E+00\u00a0\u0085 -2.5\u2009  \u20283e0   \u3000\n".encode(),
        "tab_tokens": bytes([3]) + b"  a \t b\t2\nx\ny\n\n1.02.0\n",
        "long_digits": bytes([40]) + plot(2, [["0." + "0" * 30 + "1", "16777217." + "0" * 20 + "1"]], 40),
        "ties_and_limits": bytes([24]) + plot(4, [["16777217", "3.4028235E+38", "7.00649232E-46", "1e-45"],
                                                 ["3.4028236E+38", "-0.0E+00", "Infinity", "NaN"]], 24),
        "e_notation_widths": bytes([15]) + plot(3, [[" 1.23456789E-03", "-9.99999999E+37", "1.17549435E-38"]], 15),
        "width_zero": bytes([0]) + b"T 1\nA\nH\nwhatever\n",
        "huge_width": bytes([WIDTH_MAX]) + b"T 1\nA\nH\n1.0\n",
        "huge_width_2": bytes([WIDTH_MAX + 4]) + b"T 1\nA\nH\n1.0\n",
        # One seed per failure.
        "empty_file": bytes([12]),
        "invalid_utf8_first": bytes([12]) + b"T \xe9 2\nA\nB\n",
        "invalid_utf8_data": bytes([4]) + b"T 1\nA\nH\n  1\xe9\n",
        "truncated_utf8_at_eof": bytes([4]) + b"T 1\nA\nH\n   1\n\xe2\x82",
        "surrogate_utf8": bytes([4]) + b"T 1\nA\n\xed\xa0\x80\n   1\n",
        "bad_count": bytes([12]) + b"T 3.0\nA\n",
        "negative_count": bytes([12]) + b"T -3\nA\n",
        "lone_plus_count": bytes([12]) + b"T +\n",
        "count_too_big": bytes([12]) + b"T 18446744073709551616\n",
        "count_max": bytes([12]) + b"T 18446744073709551615\nA\n",
        "empty_first_line": bytes([12]) + b"\nA\n",
        "zero_count": bytes([12]) + b"T 0\nH\n1\n",
        "missing_name": bytes([12]) + b"T 3\nA\nB\n",
        "ends_after_header": bytes([12]) + plot(2, [["1", "2"]], 12) + b"\n",
        "ends_inside_block": bytes([6]) + b"T 11\n" + b"N\n" * 11 + b"H\n" + b"     1" * 10 + b"\n",
        "field_out_of_bounds": bytes([12]) + b"T 3\nA\nB\nC\nH\n" + b"         1.0" * 2 + b"      \n",
        "char_boundary": bytes([3]) + "T 1\nA\nH\n12\u00e9\n".encode(),
        "char_boundary_4byte": bytes([2]) + "T 1\nA\nH\n\U0001F600\n".encode(),
        "char_boundary_escaped": bytes([3]) + "T 1\nA\nH\n\u0301\u0301\n".encode(),
        "empty_field": bytes([12]) + b"T 1\nA\nH\n            \n",
        "invalid_field_d": bytes([12]) + b"T 1\nA\nH\n     1.0D+00\n",
        "zero_width_space_field": bytes([6]) + "T 1\nA\nH\n  1\u200b\n".encode(),
        "bom_first_line": bytes([4]) + "\ufeffT 1\nA\nH\n   1\n".encode(),
        "cr_only_lines": bytes([4]) + b"T 1\rA\rH\r   1\r",
        "asterisks": bytes([8]) + b"T 2\nA\nB\nH\n********     1.0\n",
    }
    return seeds


def binary32_seeds():
    texts = [
        "1.234567E+05", "-9.87654E-01", "2.5E-03", "1.000000E+00", "1.", "1", "+1", "1e0", "10E-1", ".1e1",
        "0.1", "16777217", "16777219", "16777217.000000000000000000001", "3.4028235E+38", "3.4028236E+38",
        "1.0E+100", "1e-45", "7.00649232E-46", "1.0E-100", "-0", "-0.0E+00", "-1.0E-100", "inf", "INF",
        "Infinity", "+iNfInItY", "-inf", "-Infinity", "nan", "NaN", "+nan", "-nan", "", "+", "-", ".", "e5",
        "1e", "1e+", "1.0E+", "1.0D+00", "1.0d0", "1.0Q+00", "1.0-100", "1.234567+105", "1 .5", "1. 5",
        "0x1p3", "1_000", "1,5", "+-1", "--1", "************", "infin", "infinite", "nan(1)", "nanq",
        # Shapes of the reader's fields, with their blanks.
        " 1.23457E+01", "-1.23457E+01", " 1.23456789E-03", "   -4.71000E+01", "  0.00000E+00", "9.99999999E+37",
        # Exactly 2^128 - 2^103 (rounds to infinity) and one below it.
        str(2**128 - 2**103), str(2**128 - 2**103 - 1),
        # 2^-150 exactly (a tie that goes to zero) and a hair above it.
        format_exact(1, 150), format_exact(1, 150) + "1",
        # The largest subnormal and the smallest normal, and the tie between them.
        "1.1754942E-38", "1.17549435E-38", format_exact(2**24 - 1, 150),
        # Ties at 2^24 with many digits after them.
        "16777217." + "0" * 150, "16777217." + "0" * 150 + "1", "0." + "0" * 130 + "16777217e138",
        # Long texts beyond the 19-digit fast route and the kept digits.
        "1" * 40, "9" * 200 + "e-200", "0." + "3" * 140, "4" * 39, "3" * 39 + "e-1",
        # Exponent digits beyond the cap.
        "1e65536", "1e655359999", "0e99999999999", "1e-65536", "1" + "0" * 60 + "e-65535",
        "0.000000000000000000000000000000000000000000001401298464324817070923729583289916131280",
    ]
    return {f"t{i:03d}": t.encode() for i, t in enumerate(texts)}


def format_seeds():
    values = [
        0x00000000, 0x80000000, 0x00000001, 0x007FFFFF, 0x00800000, 0x7F7FFFFF, 0xFF7FFFFF,
        0x7F800000, 0xFF800000, 0x7FC00000, 0xFFC00001,
        0x3F800000, 0x3DCCCCCD, 0x42A8C49C, 0xC0843646,  # 1, 0.1, 84.38, -4.13
        0x3E000000, 0x42FA0000, 0x4996B438, 0x497423FE, 0x501502F9,  # ties: 0.125, 125, 1234567, 999999.9, 1E10
    ]
    # Widths 8, 12, 15 and 16 (the routes' ends) and 125 (all the digits and zeros after them).
    widths = {8: 0, 12: 4, 15: 7, 16: 8, 125: 0xFF}
    return {f"v{value:08X}_w{width}": struct.pack("<IB", value, byte)
            for value in values for width, byte in widths.items()}


def format_exact(numerator, power_of_two):
    """numerator / 2^power_of_two as an exact decimal text."""
    digits = str(numerator * 5**power_of_two)
    digits = digits.rjust(power_of_two + 1, "0")
    return digits[:-power_of_two] + "." + digits[-power_of_two:]


def write(directory, seeds):
    if directory.exists():
        shutil.rmtree(directory)
    directory.mkdir(parents=True)
    for name, data in seeds.items():
        (directory / name).write_bytes(data)


def main():
    write(HERE / "corpus" / "plot_reader", plot_seeds())
    write(HERE / "corpus" / "binary32", binary32_seeds())
    write(HERE / "corpus" / "binary64", binary32_seeds())
    write(HERE / "corpus" / "format_binary32", format_seeds())


if __name__ == "__main__":
    main()
