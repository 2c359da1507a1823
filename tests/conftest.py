"""Shared helpers for the quorel tests.

Test modules import these with ``from conftest import ...``.
"""
import math
import os
import struct

import pytest


def f32bits(x):
    """Return the 32-bit pattern of ``x``, which must be an exact binary32 value.

    Every float that quorel returns is a binary32 value widened to a double, so
    this fails loudly (instead of rounding) when a returned float is not one.
    NaNs keep their sign and payload bits.
    """
    if type(x) is not float:
        raise AssertionError(f"expected a float, got {type(x).__name__}: {x!r}")
    d = struct.unpack("<Q", struct.pack("<d", x))[0]
    if math.isnan(x):
        if d & 0x1FFFFFFF:
            raise AssertionError(f"NaN {d:016X} is not a widened binary32 NaN")
        return ((d >> 63) << 31) | 0x7F800000 | ((d >> 29) & 0x7FFFFF)
    try:
        packed = struct.pack("<f", x)
    except OverflowError:
        raise AssertionError(f"{x!r} is outside the binary32 range") from None
    back = struct.unpack("<f", packed)[0]
    if struct.pack("<d", back) != struct.pack("<d", x):
        raise AssertionError(f"{x!r} is not an exact binary32 value")
    return struct.unpack("<I", packed)[0]


def bits_list(values):
    """f32bits of every float in a list."""
    return [f32bits(v) for v in values]


def write_plot(tmp_path, *parts, name="plot.dat"):
    """Write the concatenated parts (bytes, or str encoded as UTF-8) to a file.

    Returns the file's path as a str, ready to pass as ``file_path``.
    """
    data = b"".join(p if isinstance(p, (bytes, bytearray)) else p.encode("utf-8")
                    for p in parts)
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def plot_text(count, blocks, width, *, first_line=None, names=None,
              header="  BLOCK", newline="\n"):
    """Text of a well-formed plot file.

    ``blocks`` is a list of blocks, each a list of ``count`` field texts that are
    right-aligned in fields of ``width`` characters, ten fields per data line.
    """
    if first_line is None:
        first_line = f" TOLVANE PLOT FILE    {count}"
    if names is None:
        names = [f"  {i + 1:4d}  PARAM_{i}" for i in range(count)]
    lines = [first_line, *names]
    for block in blocks:
        assert len(block) == count
        lines.append(header)
        fields = [str(f).rjust(width) for f in block]
        for start in range(0, count, 10):
            lines.append("".join(fields[start:start + 10]))
    return newline.join(lines) + newline


def panic_message(func, *args, **kwargs):
    """Call ``func`` and return (type name, str()) of the BaseException it raises."""
    try:
        func(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - PanicException is not an Exception
        return type(exc).__name__, str(exc)
    pytest.fail("the call did not raise")


# Under AddressSanitizer (tools/sanitize.sh) the process reserves terabytes of shadow memory and
# its allocator keeps freed memory in quarantine: address-space limits and memory figures
# measure the sanitizer, not the module.
skip_under_sanitizer = pytest.mark.skipif(
    bool(os.environ.get("QUOREL_SANITIZED")),
    reason="memory limits and figures are meaningless under AddressSanitizer")
