"""Decimal text to binary32 conversion of data fields, checked bit for bit.

The reference below is an exact model written with integer arithmetic: it
accepts the field grammar, evaluates m * 10**(x - f) exactly and rounds half to
even into binary32. Many texts are packed into one plot file per call.
"""
import random
import re
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorel
from conftest import f32bits, panic_message, write_plot

read = quorel.rust_read_tolvane

INVALID = "Could not parse line: ParseFloatError { kind: Invalid }"
EMPTY = "Could not parse line: ParseFloatError { kind: Empty }"

# ---------------------------------------------------------------- reference model

DECIMAL = re.compile(r"([0-9]*)(?:\.([0-9]*))?(?:[eE]([+-]?)([0-9]+))?\Z")
SPECIAL = {"inf": 0x7F800000, "infinity": 0x7F800000, "nan": 0x7FC00000}
EXP_CAP = 65536
# Digits kept exactly; the rest only matter as "nonzero or not". A binary32
# halfway point has far fewer significant decimal digits than this.
KEEP_DIGITS = 800


def round_to_binary32(a, b):
    """Bits of the positive rational a/b rounded half to even into binary32."""
    e = a.bit_length() - b.bit_length()
    if (a << max(-e, 0)) < (b << max(e, 0)):
        e -= 1
    # now 2**e <= a/b < 2**(e+1)
    s = max(e, -126) - 23          # weight of the last significand bit
    num = a << max(-s, 0)
    den = b << max(s, 0)
    n, r = divmod(num, den)
    if 2 * r > den or (2 * r == den and n & 1):
        n += 1
    if n == 0:
        return 0
    if n == 1 << 24:
        n >>= 1
        s += 1
    if n < 1 << 23:                # subnormal (s == -149)
        return n
    if s + 23 > 127:
        return 0x7F800000
    return ((s + 23 + 127) << 23) | (n - (1 << 23))


def decimal_bits(int_digits, frac_digits, exp_sign, exp_digits):
    digits = int_digits + frac_digits
    v = 0
    for ch in exp_digits.lstrip("0"):
        if v >= EXP_CAP:
            break
        v = 10 * v + ord(ch) - 48
    exp = (-v if exp_sign == "-" else v) - len(frac_digits)
    sig = digits.lstrip("0")
    if not sig:
        return 0
    trimmed = sig.rstrip("0")
    exp += len(sig) - len(trimmed)
    if len(trimmed) > KEEP_DIGITS:
        # trimmed ends in a nonzero digit: keep a sticky nonzero digit instead
        exp += len(trimmed) - KEEP_DIGITS - 1
        trimmed = trimmed[:KEEP_DIGITS] + "1"
    length = len(trimmed)
    # value lies in [10**(length - 1 + exp), 10**(length + exp))
    if length - 1 + exp >= 39:          # >= 1e39, beyond the overflow threshold
        return 0x7F800000
    if length + exp <= -46:             # < 1e-46, below 2**-150
        return 0
    m = int(trimmed)
    if exp >= 0:
        return round_to_binary32(m * 10 ** exp, 1)
    return round_to_binary32(m, 10 ** -exp)


def reference(text):
    """(bits, None) for an accepted text, (None, 'Empty' or 'Invalid') otherwise."""
    if text == "":
        return None, "Empty"
    rest, negative = text, False
    if rest[0] in "+-":
        negative = rest[0] == "-"
        rest = rest[1:]
        if not rest:
            return None, "Invalid"
    match = DECIMAL.match(rest)
    if match and (match.group(1) or match.group(2)):
        bits = decimal_bits(match.group(1), match.group(2) or "",
                            match.group(3), match.group(4) or "")
    elif rest.isascii() and rest.lower() in SPECIAL:
        bits = SPECIAL[rest.lower()]
    else:
        return None, "Invalid"
    return (bits ^ 0x80000000 if negative else bits), None


# ---------------------------------------------------------------- running texts


def read_many(tmp_path, texts, name="bulk"):
    """Bits that the reader gives for each text, all texts in one file per width class."""
    results = [None] * len(texts)
    classes = {}
    for idx, text in enumerate(texts):
        n = len(text.encode())
        limit = next((c for c in (16, 32, 64, 256, 1024) if n <= c), None)
        classes.setdefault(limit, []).append(idx)
    for limit, idxs in classes.items():
        width = max(len(texts[i].encode()) for i in idxs)
        if limit is not None:
            width = max(width, limit // 2)
        fields = [texts[i].encode().rjust(width) for i in idxs]
        fields += [b"0".rjust(width)] * (-len(fields) % 10)
        lines = [b"TEXTS 10", *[b"P%d" % k for k in range(10)]]
        for start in range(0, len(fields), 10):
            lines.append(b"BLOCK")
            lines.append(b"".join(fields[start:start + 10]))
        path = write_plot(tmp_path, b"\n".join(lines) + b"\n",
                          name=f"{name}-{limit}")
        times, cols = read(path, width)
        assert len(times) == len(fields) // 10
        for k, i in enumerate(idxs):
            block, pos = divmod(k, 10)
            value = times[block] if pos == 0 else cols[pos - 1][block]
            results[i] = f32bits(value)
    return results


def read_one_failure(tmp_path, text, name="one"):
    raw = text.encode()
    path = write_plot(tmp_path, b"T 2\nA\nB\nH\n", b"0".rjust(len(raw) + 3),
                      b"   " + raw, b"\n", name=name)
    kind, message = panic_message(read, path, len(raw) + 3)
    assert kind == "PanicException", message
    return message


def compare_valid(tmp_path, texts):
    expected = []
    for t in texts:
        bits, err = reference(t)
        assert err is None, t
        expected.append(bits)
    got = read_many(tmp_path, texts)
    bad = [(t if len(t) < 80 else t[:40] + "..." + t[-30:], f"{e:08X}", f"{g:08X}")
           for t, e, g in zip(texts, expected, got) if e != g]
    assert not bad, f"{len(bad)} of {len(texts)} texts differ, first: {bad[:10]}"


# ---------------------------------------------------------------- the table


TABLE = [
    ("1.234567E+05", 0x47F1205A),
    ("-9.87654E-01", 0xBF7CD6E4),
    ("2.5E-03", 0x3B23D70A),
    ("1.000000E+00", 0x3F800000),
    ("1.", 0x3F800000),
    ("1", 0x3F800000),
    ("+1", 0x3F800000),
    ("1e0", 0x3F800000),
    ("10E-1", 0x3F800000),
    (".1e1", 0x3F800000),
    ("0.1", 0x3DCCCCCD),
    ("16777217", 0x4B800000),
    ("16777219", 0x4B800002),
    ("16777217.000000000000000000001", 0x4B800001),
    ("3.4028235E+38", 0x7F7FFFFF),
    ("3.4028236E+38", 0x7F800000),
    ("1.0E+100", 0x7F800000),
    ("1e-45", 0x00000001),
    ("7.00649232E-46", 0x00000000),
    ("1.0E-100", 0x00000000),
    ("-0", 0x80000000),
    ("-0.0E+00", 0x80000000),
    ("-1.0E-100", 0x80000000),
    ("inf", 0x7F800000),
    ("INF", 0x7F800000),
    ("Infinity", 0x7F800000),
    ("+iNfInItY", 0x7F800000),
    ("-inf", 0xFF800000),
    ("-Infinity", 0xFF800000),
    ("nan", 0x7FC00000),
    ("NaN", 0x7FC00000),
    ("+nan", 0x7FC00000),
    ("-nan", 0xFFC00000),
]

TABLE_INVALID = [
    "+", "-", ".", "e5", "1e", "1e+", "1.0E+", "1.0D+00", "1.0d0", "1.0Q+00",
    "1.0-100", "1.234567+105", "1 .5", "1. 5", "0x1p3", "1_000", "1,5", "+-1",
    "--1", "************", "infin", "infinite", "nan(1)", "nanq",
]


def test_reference_agrees_with_table():
    for text, bits in TABLE:
        assert reference(text) == (bits, None), text
    for text in TABLE_INVALID:
        assert reference(text) == (None, "Invalid"), text
    assert reference("") == (None, "Empty")


@pytest.mark.parametrize("text, bits", TABLE, ids=[t for t, _ in TABLE])
def test_table_value(tmp_path, text, bits):
    assert read_many(tmp_path, [text]) == [bits]


def test_table_values_together(tmp_path):
    texts = [t for t, _ in TABLE]
    assert read_many(tmp_path, texts) == [b for _, b in TABLE]


def test_value_with_blanks_before_it(tmp_path):
    path = write_plot(tmp_path, "T 2\nA\nB\nH\n   1.234567E+05\t \t1.234567E+05\n")
    times, cols = read(path, 15)
    assert f32bits(times[0]) == 0x47F1205A
    assert f32bits(cols[0][0]) == 0x47F1205A


@pytest.mark.parametrize("text", TABLE_INVALID)
def test_table_invalid(tmp_path, text):
    assert read_one_failure(tmp_path, text) == INVALID


@pytest.mark.parametrize("line, width", [(b"T 1\nA\nH\n            \n", 12),
                                         (b"T 1\nA\nH\n\n", 0)])
def test_table_empty(tmp_path, line, width):
    assert panic_message(read, write_plot(tmp_path, line), width) == ("PanicException", EMPTY)


# ---------------------------------------------------------------- generated texts


def plain_or_scientific(rng, n, p):
    """A text for the exact value n / 10**p (n >= 0), in a random spelling."""
    s = str(n)
    style = rng.random()
    if style < 0.5:
        if p <= 0:
            text = s + "0" * -p
            if rng.random() < 0.5:
                text += "." + "0" * rng.randint(0, 3)
        else:
            s = s.rjust(p + 1, "0")
            text = s[:-p] + "." + s[-p:]
            if rng.random() < 0.2 and text.startswith("0."):
                text = text[1:]
        if rng.random() < 0.2:
            text = "0" * rng.randint(1, 5) + text
        return text
    exp = len(s) - 1 - p
    frac = s[1:]
    if rng.random() < 0.3:
        frac += "0" * rng.randint(1, 5)
    mant = s[0] + ("." + frac if frac or rng.random() < 0.5 else "")
    sign = "-" if exp < 0 else rng.choice(["", "+"])
    return f"{mant}{rng.choice('eE')}{sign}{abs(exp):0{rng.randint(1, 3)}d}"


def binary32_fraction(bits):
    exp = (bits >> 23) & 0xFF
    frac = bits & 0x7FFFFF
    if exp == 0:
        return Fraction(frac, 1 << 149)
    return Fraction((1 << 23) | frac) * Fraction(2) ** (exp - 150)


def exact_decimal(q):
    """(n, p) with q == n / 10**p, for q whose denominator is a power of two."""
    den = q.denominator
    p = den.bit_length() - 1
    assert den == 1 << p
    return q.numerator * 5 ** p, p


def random_short(rng):
    nd = rng.randint(1, 9)
    n = rng.randrange(10 ** nd)
    return plain_or_scientific(rng, n, rng.randint(-40, 55))


def random_long(rng):
    nd = rng.randint(40, 700)
    n = rng.randrange(10 ** (nd - 1), 10 ** nd)
    return plain_or_scientific(rng, n, nd + rng.randint(-40, 50))


def random_binary32_text(rng):
    bits = rng.randrange(1, 0x7F800000)
    value = binary32_fraction(bits)
    digits = rng.randint(1, 12)
    # a correctly rounded double-based spelling of the value with few digits
    return f"{float(value):.{digits}e}"


def halfway_texts(rng, bits):
    """Texts at, just above and just below the midpoint above binary32 ``bits``."""
    mid = (binary32_fraction(bits) + binary32_fraction(bits + 1)) / 2
    n, p = exact_decimal(mid)
    far = rng.randint(5, 60)
    return [
        plain_or_scientific(rng, n, p),
        plain_or_scientific(rng, n * 10 ** far + 1, p + far),
        plain_or_scientific(rng, n * 10 ** far - 1, p + far),
    ]


def random_subnormal(rng):
    nd = rng.randint(1, 20)
    n = rng.randrange(1, 10 ** nd)
    return plain_or_scientific(rng, n, nd - 1 + rng.randint(38, 46))


def random_near_overflow(rng):
    base = "3402823" + "".join(rng.choice("0123456789") for _ in range(rng.randint(0, 40)))
    return base[0] + "." + base[1:] + "E+38"


def random_special(rng):
    word = rng.choice(["inf", "infinity", "nan"])
    word = "".join(c.upper() if rng.random() < 0.5 else c for c in word)
    return rng.choice(["", "+", "-"]) + word


def generated_valid_texts():
    rng = random.Random(20240607)
    texts = []
    texts += [random_short(rng) for _ in range(12000)]
    texts += [random_binary32_text(rng) for _ in range(8000)]
    texts += [random_long(rng) for _ in range(1500)]
    texts += [random_subnormal(rng) for _ in range(3000)]
    texts += [random_near_overflow(rng) for _ in range(1500)]
    texts += [random_special(rng) for _ in range(600)]
    for _ in range(1500):
        bits = rng.choice([rng.randrange(0, 0x7F7FFFFF),
                           rng.randrange(0, 0x00800000),
                           rng.randrange(0x4B000000, 0x4C000000)])
        texts += halfway_texts(rng, bits)
    for bits in (0, 1, 2, 0x007FFFFE, 0x007FFFFF, 0x00800000, 0x3F7FFFFF,
                 0x3F800000, 0x7F7FFFFE, 0x7F7FFFFF):
        texts += halfway_texts(rng, bits)
    signed = []
    for t in texts:
        r = rng.random()
        if t[0] in "+-" or r >= 0.4:
            signed.append(t)
        else:
            signed.append(("-" + t) if r < 0.3 else ("+" + t))
    return signed


def test_generated_texts_match_reference(tmp_path):
    texts = generated_valid_texts()
    assert len(texts) > 30000
    compare_valid(tmp_path, texts)


def exact_plain(q):
    n, p = exact_decimal(q)
    s = str(n).rjust(p + 1, "0")
    return s[:-p] + "." + s[-p:] if p else s


def test_thresholds(tmp_path):
    top = 2 ** 128 - 2 ** 103
    n_tiny, p_tiny = exact_decimal(Fraction(1, 2 ** 150))
    texts = [
        str(top), str(top - 1), str(top + 1), str(top) + ".000000000000000000001",
        str(top - 1) + ".99999999999999999999", "340282356779733661637539395458142568447.5",
        f"0.{str(n_tiny).rjust(p_tiny, '0')}",                      # exactly 2**-150
        f"0.{str(n_tiny).rjust(p_tiny, '0')}0000000000000000000001",  # just above
        f"0.{str(n_tiny - 1).rjust(p_tiny, '0')}9",                  # just below
        "7.006492321624085354618647916449580656401e-46",
        "1.401298464324817070923729583289916131280e-45",
        exact_plain(Fraction(3, 2 ** 150)),                           # 1.5 ulp: tie to 2
        exact_plain(Fraction(5, 2 ** 150)),                           # 2.5 ulp: tie to 2
        exact_plain(Fraction(7, 2 ** 150)),                           # 3.5 ulp: tie to 4
        "1.1754942e-38", "1.17549435e-38", "1.175494350822287507968736537222245677819e-38",
        "3.4028234663852886e38", "3.40282356779733661637539395458142568448e38",
        "340282356779733661637539395458142568448e-0000",
        "-" + str(top), "-" + str(top - 1),
    ]
    expected = [reference(t)[0] for t in texts]
    assert expected[:4] == [0x7F800000, 0x7F7FFFFF, 0x7F800000, 0x7F800000]
    assert expected[6:9] == [0, 1, 0]
    assert expected[11:14] == [2, 2, 4]
    compare_valid(tmp_path, texts)


def test_exponent_digit_cap(tmp_path):
    zeros = 65535
    small = "0." + "0" * zeros + "1"            # 10**-65536
    big = "1" + "0" * zeros                     # 10**65535
    texts = [
        small + "e65536",       # exponent 65536 exactly: 1
        small + "e655361",      # digits after 65536 are dropped: 1
        small + "e65537",       # 10
        small + "E+0065536999",
        big + "e-65535",        # 1
        big + "e-655361",       # exponent read as -65536: 0.1
        big + "e-65536",        # 0.1
        "1e0000000000000000000000000000000000000000005",
        "1e-0000000000000000000000000000000000000000045",
        "1e6553599999999999",
        "1e-6553599999999999",
        "-1e99999999999999999999999999999999",
        "0e99999999999999999999999999999999",
        "-0e-99999999999999999999999999999999",
    ]
    expected = [reference(t)[0] for t in texts]
    assert expected[:7] == [0x3F800000, 0x3F800000, 0x41200000, 0x3F800000,
                            0x3F800000, 0x3DCCCCCD, 0x3DCCCCCD]
    compare_valid(tmp_path, texts)


def test_many_digits_ties(tmp_path):
    # exact ties written with thousands of trailing zeros, and then a final 1
    rng = random.Random(99)
    texts = []
    for _ in range(40):
        bits = rng.randrange(0x00800000, 0x7F000000)
        mid = (binary32_fraction(bits) + binary32_fraction(bits + 1)) / 2
        n, p = exact_decimal(mid)
        pad = rng.randint(1000, 5000)
        s = str(n).rjust(p + 1, "0")
        plain = s[:-p] + "." + s[-p:] if p else s + "."
        texts += [plain + "0" * pad, plain + "0" * pad + "1", "0" * pad + plain]
    compare_valid(tmp_path, texts)


# ---------------------------------------------------------------- invalid texts


def generated_grammar_texts():
    rng = random.Random(4242)
    alphabet = "0123456789" * 3 + ".eE+-" * 4 + "xXdDpP_,iInNfFaAtTyY" + " "
    exotic = ["\u0663", "\uff45", "\u00e9", "\u200b", "\ufeff", "\u00b7", "\u2212"]
    texts = set()
    while len(texts) < 6000:
        n = rng.randint(1, 10)
        chars = [rng.choice(alphabet) for _ in range(n)]
        if rng.random() < 0.03:
            chars[rng.randrange(n)] = rng.choice(exotic)
        text = "".join(chars)
        if text.strip(" ") != text or not text:
            continue
        texts.add(text)
    words = ["inf", "infinity", "nan"]
    for w in words:
        for bad in (w[:-1], w + "x", w + w, " " + w, w + "(1)", w + "q", "+-" + w,
                    "++" + w, "--" + w, w.replace("n", "\u0144"), "1" + w, w + "1",
                    w + ".", "." + w, w + "e1"):
            bad = bad.strip(" ")
            if bad:
                texts.add(bad)
    texts |= {"infin", "infinite", "infinitY1", "infinityinf", "nanq", "nan(1)",
              "-", "+", ".", "+.", "-.", ".e1", "e", "E1", "1e", "1E-", "1e+-1",
              "1.2.3", "1..2", "1e1.5", "1e1e1", "\u0661", "\uff11", "1\u200b",
              "+ 1", "1e 1", "0x10", "1d5", "1f", "1.0f", "1L", "++1", "-+1"}
    return sorted(texts)


def test_generated_grammar_texts(tmp_path):
    texts = generated_grammar_texts()
    valid = [t for t in texts if reference(t)[1] is None]
    invalid = [t for t in texts if reference(t)[1] is not None]
    assert len(valid) > 300 and len(invalid) > 300
    compare_valid(tmp_path, valid)
    rng = random.Random(7)
    sample = rng.sample(invalid, 400) + [t for t in invalid if len(t) <= 2
                                         or not t.isascii()]
    wrong = []
    for i, text in enumerate(dict.fromkeys(sample)):
        message = read_one_failure(tmp_path, text, name=f"inv{i}")
        if message != INVALID:
            wrong.append((text, message))
    assert not wrong, f"{len(wrong)} invalid texts gave other results: {wrong[:10]}"


DECIMAL_TEXT = st.from_regex(
    re.compile(r"[+-]?([0-9]{1,30}(\.[0-9]{0,30})?|\.[0-9]{1,30})([eE][+-]?[0-9]{1,4})?",
               re.ASCII),
    fullmatch=True)


@settings(derandomize=True, max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(DECIMAL_TEXT, min_size=1, max_size=40))
def test_decimal_grammar_property(tmp_path, texts):
    compare_valid(tmp_path, texts)


# ---------------------------------------------------------------- the exact route

# Texts whose value the fast double route cannot prove: more than 19 digits, or a short text
# so close to a halfway point that a double's error could put it on the wrong side. The module
# rounds these with its own integer arithmetic, so the answers hold whatever runtime it loads.
RUNTIME_SENSITIVE = [
    ("2.1019477E-45", 0x00000002),
    ("3.5032462E-45", 0x00000003),
    ("0." + "0" * 44 + "21019476964872256063855943749348741969203929128147736576356024258346866240",
     0x00000001),
]


@pytest.mark.parametrize("text, bits", RUNTIME_SENSITIVE, ids=["subnormal 2", "subnormal 3", "long 1.5 ulp"])
def test_subnormals_do_not_vanish(tmp_path, text, bits):
    assert reference(text) == (bits, None)
    assert read_many(tmp_path, [text]) == [bits]


def rounded_decimal(q, digits, up):
    """q rounded to ``digits`` significant digits, downwards or upwards, in E notation."""
    exponent = 0
    while q >= 10:
        q /= 10
        exponent += 1
    while q < 1:
        q *= 10
        exponent -= 1
    scaled = q * 10 ** (digits - 1)
    n = scaled.numerator // scaled.denominator
    if up and n != scaled:
        n += 1
    s = str(n)
    if len(s) > digits:  # 9.99... rounded up to 10.0...
        s, exponent = s[:-1], exponent + 1
    return f"{s[0]}.{s[1:]}E{exponent:+03d}"


def near_tie_texts(bits):
    """Short and long texts on both sides of, and at, the halfway point above ``bits``."""
    mid = (binary32_fraction(bits) + binary32_fraction(bits + 1)) / 2
    texts = [exact_plain(mid)]
    for digits in (8, 9, 10, 12, 15, 17, 19, 20, 25, 40):
        texts += [rounded_decimal(mid, digits, up=False), rounded_decimal(mid, digits, up=True)]
    return texts


TIE_PATTERNS = [0x00000000, 0x00000001, 0x00000002, 0x00000003, 0x00000004, 0x0000FFFF, 0x00012345,
                0x003FFFFF, 0x00400000, 0x007FFFFE, 0x007FFFFF, 0x00800000, 0x00800001, 0x00FFFFFF,
                0x01000000, 0x0D7FFFFF, 0x3F7FFFFF, 0x3F800000, 0x4B7FFFFF, 0x7F7FFFFE]


@pytest.mark.parametrize("bits", TIE_PATTERNS, ids=[f"{b:08X}" for b in TIE_PATTERNS])
def test_near_ties(tmp_path, bits):
    texts = near_tie_texts(bits)
    results = {reference(t)[0] for t in texts}
    assert results == {bits, bits + 1}  # the texts straddle the tie
    compare_valid(tmp_path, texts)


def test_near_ties_random_subnormals(tmp_path):
    rng = random.Random(1145)
    texts = []
    for _ in range(150):
        texts += near_tie_texts(rng.randrange(0, 0x00800000))
    compare_valid(tmp_path, texts)


@pytest.mark.parametrize("threshold, below, above", [
    (Fraction(1, 2 ** 150), 0x00000000, 0x00000001),                # underflow to zero
    (Fraction(2 ** 128 - 2 ** 103), 0x7F7FFFFF, 0x7F800000),        # overflow to infinity
    (Fraction(2 ** 24 - 1, 2 ** 150), 0x007FFFFF, 0x00800000),      # largest subnormal to normal
], ids=["underflow", "overflow", "normal range"])
def test_threshold_neighbourhood(tmp_path, threshold, below, above):
    texts = []
    for digits in range(9, 45):
        texts += [rounded_decimal(threshold, digits, up=False), rounded_decimal(threshold, digits, up=True)]
    n, p = exact_decimal(threshold)
    for far in (1, 30, 120, 400):
        texts += [plain_or_scientific(random.Random(far), n * 10 ** far + step, p + far) for step in (-1, 1)]
    expected = [reference(t)[0] for t in texts]
    assert set(expected) == {below, above}
    compare_valid(tmp_path, texts + ["-" + t for t in texts])
