"""An independent model of the plot file format, in plain Python: what reading a file must give,
the values bit for bit or the failure, with the line, block and field the failure concerns.
The tests of both faces compare the module with it."""

import functools
import re
import unicodedata
from fractions import Fraction

BAD_UTF8 = ('Failed to read line!: Error { kind: InvalidData, '
            'message: "stream did not contain valid UTF-8" }')
U64_MAX = 2**64 - 1

WHITESPACE = frozenset(chr(c) for c in (
    0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680,
    *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F, 0x205F, 0x3000))
assert len(WHITESPACE) == 25


def tokens(text):
    out, run = [], []
    for ch in text:
        if ch in WHITESPACE:
            if run:
                out.append("".join(run))
                run = []
        else:
            run.append(ch)
    if run:
        out.append("".join(run))
    return out


def trim(text):
    start, end = 0, len(text)
    while start < end and text[start] in WHITESPACE:
        start += 1
    while end > start and text[end - 1] in WHITESPACE:
        end -= 1
    return text[start:end]


def parse_count(token):
    if token in ("+", "-"):
        return None
    if token.startswith("+"):
        token = token[1:]
    if not token or any(ch not in "0123456789" for ch in token):
        return None
    value = int(token)
    return value if value <= U64_MAX else None


def nearest_binary32(q):
    """Bits of the positive Fraction q rounded to nearest binary32, ties to even."""
    e = q.numerator.bit_length() - q.denominator.bit_length()
    if q < Fraction(2) ** e:
        e -= 1
    elif q >= Fraction(2) ** (e + 1):
        e += 1
    s = max(e, -126) - 23                   # weight of the last significand bit
    n = round(q / Fraction(2) ** s)         # Fraction rounds half to even
    if n == 0:
        return 0
    if n < 1 << 23:                         # subnormal
        return n
    if n == 1 << 24:
        n, s = n >> 1, s + 1
    biased = s + 23 + 127
    if biased >= 255:
        return 0x7F800000
    return (biased << 23) | (n - (1 << 23))


NUMBER = re.compile(r"([0-9]*)(?:\.([0-9]*))?(?:[eE]([+-]?)([0-9]+))?")


@functools.lru_cache(maxsize=1 << 16)
def parse_binary32(text):
    """(bits, None) or (None, 'Empty' | 'Invalid'). Cached: the tests ask for the same texts
    again and again."""
    if text == "":
        return None, "Empty"
    negative = text[0] == "-"
    rest = text[1:] if text[0] in "+-" else text
    if rest == "":
        return None, "Invalid"
    m = NUMBER.fullmatch(rest)
    if m and (m[1] or m[2]):
        digits = m[1] + (m[2] or "")
        v = 0
        for d in m[4] or "":
            if v < 65536:
                v = 10 * v + int(d)
        exponent = (-v if m[3] == "-" else v) - len(m[2] or "")
        mant = int(digits)
        if mant == 0:
            bits = 0
        elif len(str(mant)) + exponent > 40:      # at least 1e40: beyond the largest finite
            bits = 0x7F800000
        elif len(str(mant)) + exponent < -50:     # below 1e-50: under half the least subnormal
            bits = 0
        else:
            bits = nearest_binary32(Fraction(mant) * Fraction(10) ** exponent)
    elif rest.isascii() and rest.lower() in ("inf", "infinity"):
        bits = 0x7F800000
    elif rest.isascii() and rest.lower() == "nan":
        bits = 0x7FC00000
    else:
        return None, "Invalid"
    return (bits | 0x80000000 if negative else bits), None


def char_debug(ch):
    # Combining marks count as printable for str.isprintable, but would attach to the quote.
    printable = (ch.isprintable() and unicodedata.category(ch)[0] != "M"
                 and (ch == " " or ch not in WHITESPACE))
    return f"'{ch}'" if printable else "'\\u{%x}'" % ord(ch)


class Failure(Exception):
    """A read that fails: quorel's message, and where (line from 1; block and field from 0, or
    None), and tolvane's name for the fault."""

    def __init__(self, message, kind, line, block=None, field=None):
        super().__init__(message)
        self.kind, self.line, self.block, self.field = kind, line, block, field


def model(data, width):
    """Expected (kind, payload) and stdout text of reading ``data`` with ``width``."""
    outcome, stdout, _ = model_with_place(data, width)
    return outcome, stdout


# A head that the end of the file cuts: tolvane's incomplete head.
HEAD_CUT = ("empty_file", "names_cut_short", "head_unended")


def model_with_place(data, width, selected=None, keep=False, head=False):
    """model()'s outcome and stdout, and the Failure (with its place) or None.

    With ``selected`` (a set of field indices), only those fields are checked and converted,
    each on its own: its end must lie within the line, and neither end inside a character; the
    values are then those of the selected fields, in field order (the time first).

    With ``keep`` (tolvane's incomplete="keep"), a block that the end of the file cuts ends the
    read before it: the outcome holds the blocks before it, and the Failure is that block's.
    Only the end of the file cuts a block: the file ends inside it, or the failure is on the
    file's last line and that line has no line feed. A last line without a line feed whose
    fields all read ends a complete block.

    With ``head`` (tolvane's reads; implied by ``keep``), a line of the head without a line
    feed is a head still being written (kind "head_unended", on that line), whatever it holds;
    with ``keep``, a head that the end of the file cuts (that, an empty file, or fewer name
    lines than the count) gives no block, and the arrays of the names read whole (None for the
    time where there is no name)."""
    pos = 0
    number = 0  # of the line last read
    block = None  # the block being read, once the blocks begin
    unended = False  # the line last read has no line feed
    EOF = object()

    def next_line():
        nonlocal pos, number, unended
        number += 1
        if pos >= len(data):
            return EOF
        nl = data.find(b"\n", pos)
        piece, ended = (data[pos:], False) if nl < 0 else (data[pos:nl], True)
        unended = not ended
        pos = len(data) if nl < 0 else nl + 1
        try:
            text = piece.decode("utf-8")
        except UnicodeDecodeError:
            raise Failure(BAD_UTF8, "not_utf8", number, block) from None
        if ended and text.endswith("\r"):
            text = text[:-1]
        return text

    stdout = ""
    head = head or keep
    names = []  # those of the name lines read whole
    try:
        try:
            first = next_line()
            if first is EOF:
                raise Failure("Failed ot read line!", "empty_file", 1)
            toks = tokens(first)
            count = 0
            if toks:
                count = parse_count(toks[-1])
                if count is None:
                    stdout = f"Error: '{toks[-1]}' is not a valid number of parameters!\n"
                    raise Failure(
                        f"The first line should end with the number of parameters:\n'{first}'",
                        "count_not_a_number", 1)
        except Failure:
            if head and unended:
                raise Failure("", "head_unended", 1) from None
            raise
        if head and unended:
            raise Failure("", "head_unended", 1)
        for _ in range(count):
            try:
                line = next_line()
            except Failure:
                if head and unended:
                    raise Failure("", "head_unended", number) from None
                raise
            if line is EOF:
                raise Failure("Failed to read line!", "names_cut_short", number)
            if head and unended:
                raise Failure("", "head_unended", number)
            names.append((tokens(line) or [""])[-1])
        if count == 0:
            raise Failure("capacity overflow", "count_zero", 1)
        times, cols = [], [[] for _ in range(count - 1)]
        block = 0

        def inside_char(raw, at):
            return at < len(raw) and raw[at] & 0xC0 == 0x80

        while next_line() is not EOF:
            for i in range(count):
                k = i % 10
                if k == 0:
                    line = next_line()
                    if line is EOF:
                        raise Failure("Error reading line", "block_cut_short", number, block, i)
                    raw = line.encode("utf-8")
                if selected is not None and i not in selected:
                    continue
                end = (k + 1) * width
                if end > len(raw):
                    raise Failure(
                        f"end byte index {end} is out of bounds for string of length {len(raw)}",
                        "field_past_line_end", number, block, i)
                edge = k * width if selected is not None and inside_char(raw, k * width) else end
                if inside_char(raw, edge):
                    start = edge
                    while raw[start] & 0xC0 == 0x80:
                        start -= 1
                    stop = edge
                    while stop < len(raw) and raw[stop] & 0xC0 == 0x80:
                        stop += 1
                    ch = raw[start:stop].decode("utf-8")
                    raise Failure(
                        f"end byte index {end} is not a char boundary; it is inside "
                        f"{char_debug(ch)} (bytes {start}..{stop} of string)",
                        "field_splits_char", number, block, i)
                bits, err = parse_binary32(trim(raw[k * width:end].decode("utf-8")))
                if err:
                    raise Failure(f"Could not parse line: ParseFloatError {{ kind: {err} }}",
                                  "field_empty" if err == "Empty" else "field_not_a_number",
                                  number, block, i)
                (times if i == 0 else cols[i - 1]).append(bits)
            block += 1
    except Failure as failure:
        if keep and failure.kind in HEAD_CUT:
            # No block, and the names of the name lines read whole: the time's array where
            # there is one.
            return ("ok", (None if not names else [], [[] for _ in names[1:]])), stdout, failure
        cut = failure.kind == "block_cut_short" or (
            unended and failure.kind in ("not_utf8", "field_past_line_end", "field_splits_char",
                                         "field_empty", "field_not_a_number"))
        if not (keep and block is not None and cut):
            return ("PanicException", str(failure)), stdout, failure
        del times[block:]
        for column in cols:
            del column[block:]
        if selected is not None:
            cols = [c for j, c in enumerate(cols) if j + 1 in selected]
        return ("ok", (times, cols)), stdout, failure
    if selected is not None:
        cols = [c for j, c in enumerate(cols) if j + 1 in selected]
    return ("ok", (times, cols)), stdout, None


def head_texts(data):
    """(title, name lines) of a file whose head reads: line 1 before its count token and each
    name line whole, both trimmed of whitespace."""
    lines = data.decode("utf-8").split("\n")
    first = trim(lines[0])
    title = trim(first[:len(first) - len(tokens(first)[-1])])
    return title, tuple(trim(line) for line in lines[1:1 + parse_count(tokens(first)[-1])])
