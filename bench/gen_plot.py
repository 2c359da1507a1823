#!/usr/bin/env python3
"""Generate realistic TOLVANE plot files for benchmarking.

Layout written:

    line 1            " TOLVANE PLOT FILE   500"   (last token: parameter count)
    one line per parameter, time first: "  1 TIME", "  2 SIG_0001", ...
    per time step:
        header line   " TIME STEP 123"
        data lines    10 right-aligned E-notation fields per line; the last
                      data line of a block holds the remaining fields.

Fields are printed the way simulators print them: width 12 holds 6
significant digits (" 1.23457E+01", "-1.23457E+01"), width 15 holds 9
(" 1.23456789E+01"); a negative value fills the whole field.

The signals are a deterministic (seeded) mix of sines, ramps, noise,
exponentials spanning many decades, steps, decays and all-zero columns.
With numpy the generator is vectorised (about 100 MB in a few seconds);
without it a pure Python path writes the same layout, more slowly.

CLI:
    python bench/gen_plot.py OUT --params N --width {12,15} --size-mb X [--seed S]
"""

from __future__ import annotations

import argparse
import math
import os
import random
import sys
import tempfile
import time

try:
    import numpy as np
except ImportError:  # pure Python fallback
    np = None

WIDTHS = (12, 15)
FIELDS_PER_LINE = 10
DT = 1.0e-3          # time step of the generated signals
SIGNAL_KINDS = 8     # number of distinct signal shapes, cycled over columns
MAX_ABS = 9.0e99     # keep exponents at two digits (E+99 at most)
MIN_ABS = 1.0e-99    # smaller magnitudes are printed as zero


def header_text(n_params: int) -> str:
    return " TOLVANE PLOT FILE %5d\n" % n_params


def name_lines(n_params: int) -> str:
    out = []
    for i in range(1, n_params + 1):
        name = "TIME" if i == 1 else "SIG_%04d" % (i - 1)
        out.append("%3d %s\n" % (i, name))
    return "".join(out)


def block_header(step: int) -> str:
    return " TIME STEP %d\n" % step


def _lines_per_block(n_params: int) -> int:
    return -(-n_params // FIELDS_PER_LINE)


def block_body_bytes(n_params: int, width: int) -> int:
    """Bytes of one block's data lines (newlines included)."""
    return n_params * width + _lines_per_block(n_params)


def estimate_blocks(n_params: int, width: int, size_bytes: float) -> int:
    prefix = len(header_text(n_params)) + len(name_lines(n_params))
    per_block = block_body_bytes(n_params, width) + len(block_header(10 ** 5))
    return max(1, int(round((size_bytes - prefix) / per_block)))


# --------------------------------------------------------------------------
# Signal parameters (shared by both back ends, drawn from a seeded stdlib RNG)
# --------------------------------------------------------------------------

def _column_params(n_params: int, seed: int):
    """One parameter tuple per non-time column."""
    rng = random.Random(seed)
    cols = []
    for j in range(n_params - 1):
        kind = j % SIGNAL_KINDS
        amp = 10.0 ** rng.uniform(-6.0, 6.0)
        freq = 10.0 ** rng.uniform(-1.0, 2.0)
        phase = rng.uniform(0.0, 2.0 * math.pi)
        lo = rng.uniform(-40.0, -5.0)
        hi = rng.uniform(5.0, 40.0)
        period = 10.0 ** rng.uniform(0.0, 1.5)
        tau = 10.0 ** rng.uniform(-1.0, 1.0)
        sign = rng.choice((-1.0, 1.0))
        cols.append((kind, amp, freq, phase, lo, hi, period, tau, sign))
    return cols


def _clamp_scalar(v: float) -> float:
    a = abs(v)
    if a < MIN_ABS or v != v:
        return 0.0
    if a > MAX_ABS:
        return math.copysign(MAX_ABS, v)
    return v


# --------------------------------------------------------------------------
# numpy back end
# --------------------------------------------------------------------------

def _np_signal(p, t, rng):
    kind, amp, freq, phase, lo, hi, period, tau, sign = p
    n = t.shape[0]
    if kind == 0:    # sine
        return amp * np.sin(2.0 * np.pi * freq * t + phase)
    if kind == 1:    # ramp
        return sign * amp * (t - 0.25 * period)
    if kind == 2:    # noise
        return amp * rng.standard_normal(n)
    if kind == 3:    # exponential sweep over many decades (sawtooth in log space)
        frac = np.mod(t / period, 1.0)
        return sign * 10.0 ** (lo + (hi - lo) * frac)
    if kind == 4:    # all zeros
        return np.zeros(n)
    if kind == 5:    # decay to underflow, restarted every period
        return sign * amp * np.exp(-np.mod(t, period) / tau * 30.0)
    if kind == 6:    # square wave
        return sign * amp * np.where(np.mod(t * freq, 1.0) < 0.5, 1.0, -1.0)
    # damped oscillation with noise
    return amp * (np.exp(-np.mod(t, period) / tau) * np.cos(freq * t + phase)
                  + 1e-3 * rng.standard_normal(n))


def _np_format_fields(x, width):
    """Right-aligned E-notation fields: uint8 array of shape (len(x), width)."""
    sig = width - 6            # significant digits
    prec = sig - 1             # digits after the point
    x = np.asarray(x, dtype=np.float64)
    a = np.abs(x)
    a = np.where((a < MIN_ABS) | ~np.isfinite(a), 0.0, np.minimum(a, MAX_ABS))
    neg = (x < 0) & (a > 0)
    nz = a > 0
    safe = np.where(nz, a, 1.0)
    e = np.floor(np.log10(safe)).astype(np.int64)
    m = np.rint(safe * 10.0 ** (prec - e)).astype(np.int64)
    top = 10 ** sig
    bottom = 10 ** prec
    hi = m >= top
    if hi.any():
        e[hi] += 1
        m[hi] = np.rint(safe[hi] * 10.0 ** (prec - e[hi])).astype(np.int64)
    lo = m < bottom
    if lo.any():
        e[lo] -= 1
        m[lo] = np.rint(safe[lo] * 10.0 ** (prec - e[lo])).astype(np.int64)
    # A value rounding up to 1.0E+100 is printed as the largest two-digit one.
    big = e > 99
    if big.any():
        e[big] = 99
        m[big] = top - 1
    m[~nz] = 0
    e[~nz] = 0

    out = np.empty((x.shape[0], width), dtype=np.uint8)
    out[:, 0] = np.where(neg, ord("-"), ord(" "))
    out[:, 2] = ord(".")
    out[:, 3 + prec] = ord("E")
    out[:, 4 + prec] = np.where(e < 0, ord("-"), ord("+"))
    ae = np.abs(e)
    out[:, 5 + prec] = ae // 10 + 48
    out[:, 6 + prec] = ae % 10 + 48
    mm = m
    for k in range(sig - 1, -1, -1):   # digit k of the significand
        q = mm // 10
        col = 1 if k == 0 else 2 + k
        out[:, col] = (mm - q * 10) + 48
        mm = q
    return out


def _np_int_text(values):
    """Decimal text of equal-length non-negative ints: uint8 (n, ndigits)."""
    values = np.asarray(values, dtype=np.int64)
    nd = len(str(int(values.max())))
    out = np.empty((values.shape[0], nd), dtype=np.uint8)
    v = values
    for k in range(nd - 1, -1, -1):
        out[:, k] = v % 10 + 48
        v = v // 10
    return out


def _np_write_blocks(fh, n_params, width, n_blocks, seed):
    cols = _column_params(n_params, seed)
    rng = np.random.default_rng(seed)
    chunk = max(1, 2_000_000 // n_params)
    nfull, rem = divmod(n_params, FIELDS_PER_LINE)
    line_w = FIELDS_PER_LINE * width
    nl = ord("\n")
    prefix = np.frombuffer(b" TIME STEP ", dtype=np.uint8)

    b0 = 0
    while b0 < n_blocks:
        b1 = min(n_blocks, b0 + chunk)
        # Split at powers of ten so that every header in a piece has the same length.
        step0 = b0 + 1
        next_pow = 10 ** len(str(step0))
        b1 = min(b1, next_pow - 1)
        nb = b1 - b0
        t = (np.arange(b0, b1, dtype=np.float64)) * DT
        vals = np.empty((nb, n_params), dtype=np.float64)
        vals[:, 0] = t
        for j, p in enumerate(cols):
            vals[:, j + 1] = _np_signal(p, t, rng)
        fields = _np_format_fields(vals.reshape(-1), width).reshape(nb, n_params, width)

        steps = _np_int_text(np.arange(b0 + 1, b1 + 1))
        hlen = prefix.shape[0] + steps.shape[1] + 1
        row_len = hlen + block_body_bytes(n_params, width)
        rows = np.empty((nb, row_len), dtype=np.uint8)
        rows[:, : prefix.shape[0]] = prefix
        rows[:, prefix.shape[0]: hlen - 1] = steps
        rows[:, hlen - 1] = nl
        pos = hlen
        if nfull:
            full = rows[:, pos: pos + nfull * (line_w + 1)].reshape(nb, nfull, line_w + 1)
            full[:, :, :line_w] = fields[:, : nfull * FIELDS_PER_LINE, :].reshape(nb, nfull, line_w)
            full[:, :, line_w] = nl
            pos += nfull * (line_w + 1)
        if rem:
            rows[:, pos: pos + rem * width] = fields[:, nfull * FIELDS_PER_LINE:, :].reshape(nb, rem * width)
            rows[:, pos + rem * width] = nl
        fh.write(rows.tobytes())
        b0 = b1


# --------------------------------------------------------------------------
# pure Python back end
# --------------------------------------------------------------------------

def _py_signal(p, t, rng):
    kind, amp, freq, phase, lo, hi, period, tau, sign = p
    if kind == 0:
        return amp * math.sin(2.0 * math.pi * freq * t + phase)
    if kind == 1:
        return sign * amp * (t - 0.25 * period)
    if kind == 2:
        return amp * rng.gauss(0.0, 1.0)
    if kind == 3:
        frac = math.fmod(t / period, 1.0)
        return sign * 10.0 ** (lo + (hi - lo) * frac)
    if kind == 4:
        return 0.0
    if kind == 5:
        return sign * amp * math.exp(-math.fmod(t, period) / tau * 30.0)
    if kind == 6:
        return sign * amp * (1.0 if math.fmod(t * freq, 1.0) < 0.5 else -1.0)
    return amp * (math.exp(-math.fmod(t, period) / tau) * math.cos(freq * t + phase)
                  + 1e-3 * rng.gauss(0.0, 1.0))


def _py_write_blocks(fh, n_params, width, n_blocks, seed):
    cols = _column_params(n_params, seed)
    rng = random.Random(seed + 1)
    prec = width - 7
    field = "%%%d.%dE" % (width, prec)
    nfull, rem = divmod(n_params, FIELDS_PER_LINE)
    fmt_full = field * FIELDS_PER_LINE + "\n"
    fmt_rem = field * rem + "\n"
    out = []
    size = 0
    for b in range(n_blocks):
        t = b * DT
        vals = [t] + [_clamp_scalar(_py_signal(p, t, rng)) for p in cols]
        parts = [block_header(b + 1)]
        for k in range(nfull):
            parts.append(fmt_full % tuple(vals[k * 10: k * 10 + 10]))
        if rem:
            parts.append(fmt_rem % tuple(vals[nfull * 10:]))
        s = "".join(parts)
        out.append(s)
        size += len(s)
        if size > 1 << 22:
            fh.write("".join(out).encode("ascii"))
            out.clear()
            size = 0
    fh.write("".join(out).encode("ascii"))


# --------------------------------------------------------------------------
# public API
# --------------------------------------------------------------------------

def write_plot(path, n_params: int, width: int, size_mb: float = None, *,
               n_blocks: int = None, seed: int = 0, use_numpy: bool = None):
    """Write a plot file; give either size_mb (approximate) or n_blocks.

    Returns a dict with n_params, width, n_blocks, bytes and backend.
    """
    if n_params < 1:
        raise ValueError("n_params must be >= 1")
    if width not in WIDTHS:
        raise ValueError("width must be 12 or 15")
    if n_blocks is None:
        if size_mb is None:
            raise ValueError("give size_mb or n_blocks")
        n_blocks = estimate_blocks(n_params, width, size_mb * 1e6)
    if use_numpy is None:
        use_numpy = np is not None
    if use_numpy and np is None:
        raise RuntimeError("numpy is not installed")
    with open(path, "wb") as fh:
        fh.write(header_text(n_params).encode("ascii"))
        fh.write(name_lines(n_params).encode("ascii"))
        if use_numpy:
            _np_write_blocks(fh, n_params, width, n_blocks, seed)
        else:
            _py_write_blocks(fh, n_params, width, n_blocks, seed)
    return {"n_params": n_params, "width": width, "n_blocks": n_blocks,
            "bytes": os.path.getsize(path), "backend": "numpy" if use_numpy else "python"}


def default_cache_dir() -> str:
    here = os.path.dirname(os.path.abspath(__file__))
    d = os.path.join(here, ".cache")
    try:
        os.makedirs(d, exist_ok=True)
        probe = os.path.join(d, ".probe")
        with open(probe, "w"):
            pass
        os.remove(probe)
        return d
    except OSError:
        d = os.path.join(tempfile.gettempdir(), "quorel-bench-cache")
        os.makedirs(d, exist_ok=True)
        return d


def cached_plot(n_params: int, width: int, size_mb: float, *, seed: int = 0,
                cache_dir: str = None) -> str:
    """Path of a generated plot file, generating it on first use."""
    cache_dir = cache_dir or default_cache_dir()
    backend = "np" if np is not None else "py"
    name = "plot_p%d_w%d_%gMB_s%d_%s.txt" % (n_params, width, size_mb, seed, backend)
    path = os.path.join(cache_dir, name)
    if not os.path.exists(path):
        tmp = path + ".tmp%d" % os.getpid()
        try:
            write_plot(tmp, n_params, width, size_mb, seed=seed)
            os.replace(tmp, path)
        finally:
            if os.path.exists(tmp):
                os.remove(tmp)
    return path


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("out")
    ap.add_argument("--params", type=int, required=True, help="parameter count, time included")
    ap.add_argument("--width", type=int, choices=WIDTHS, required=True)
    ap.add_argument("--size-mb", type=float, required=True, help="approximate file size in MB (1e6 bytes)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--pure-python", action="store_true", help="do not use numpy even if installed")
    args = ap.parse_args(argv)
    t0 = time.perf_counter()
    info = write_plot(args.out, args.params, args.width, args.size_mb, seed=args.seed,
                      use_numpy=False if args.pure_python else None)
    dt = time.perf_counter() - t0
    print("%s: %d params, width %d, %d blocks, %.1f MB in %.2f s (%s)"
          % (args.out, info["n_params"], info["width"], info["n_blocks"],
             info["bytes"] / 1e6, dt, info["backend"]), file=sys.stderr)


if __name__ == "__main__":
    main()
