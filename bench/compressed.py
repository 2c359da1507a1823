"""The benchmark's rows of compressed files: tolvane.read of a gzip and a zstd copy of each file,
beside the decompressor alone on the same copy and beside the plain file.

The copies are made once, beside the plain file, at the tools' default levels: gzip's 6 (as
`gzip FILE` makes it) and zstd's 3 with its content size and checksum (as `zstd FILE` makes
it). Rows:

| row | what it times |
|---|---|
| gz-tolvane | `tolvane.read(copy.gz, width)` |
| gz-gzip | `gzip.decompress(open(copy.gz, "rb").read())`: the standard library alone |
| gz-isal | `isal.igzip.decompress(open(copy.gz, "rb").read())`: ISA-L alone, which tolvane uses |
| zst-tolvane | `tolvane.read(copy.zst, width)` |
| zst-zstandard | `zstandard.ZstdDecompressor().decompress(open(copy.zst, "rb").read())`: zstandard alone |
"""

from __future__ import annotations

import gzip
import importlib.util
import os
import statistics

GZ_TOLVANE = "gz-tolvane"
GZ_GZIP = "gz-gzip"
GZ_ISAL = "gz-isal"
ZST_TOLVANE = "zst-tolvane"
ZST_ZSTANDARD = "zst-zstandard"
ROWS = (GZ_TOLVANE, GZ_GZIP, GZ_ISAL, ZST_TOLVANE, ZST_ZSTANDARD)
# Rows whose result is a Plot; the others give the decompressed bytes.
VALUE_ROWS = (GZ_TOLVANE, ZST_TOLVANE)
_NEEDS = {GZ_ISAL: "isal", ZST_TOLVANE: "zstandard", ZST_ZSTANDARD: "zstandard"}
SUFFIX = {GZ_TOLVANE: ".gz", GZ_GZIP: ".gz", GZ_ISAL: ".gz", ZST_TOLVANE: ".zst", ZST_ZSTANDARD: ".zst"}

# The goals, on the 100 MB files: reading the gzip copy costs less than the standard library's
# decompressing it alone; reading the zstd copy about what zstandard's decompressing it costs
# (the parsing hidden behind it); the peak memory of either read at most the result's bytes
# and this much.
GOAL_GZ_VS_GZIP = 0.75
GOAL_ZST_VS_ZSTANDARD = 1.15
GOAL_MEMORY_SLACK = 64 * 2**20

GZIP_LEVEL = 6
ZSTD_LEVEL = 3


def available_rows():
    """The rows whose libraries import here."""
    return [row for row in ROWS if row not in _NEEDS or importlib.util.find_spec(_NEEDS[row]) is not None]


def copy_of(path, suffix):
    """The compressed copy of `path` (made if missing or older than the file)."""
    out = path + suffix
    if os.path.exists(out) and os.path.getmtime(out) >= os.path.getmtime(path):
        return out
    tmp = out + ".tmp%d" % os.getpid()
    with open(path, "rb") as source:
        if suffix == ".gz":
            with open(tmp, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=GZIP_LEVEL,
                                                       mtime=0) as packed:
                while chunk := source.read(1 << 22):
                    packed.write(chunk)
        else:
            import zstandard

            packer = zstandard.ZstdCompressor(level=ZSTD_LEVEL, write_checksum=True, write_content_size=True)
            with open(tmp, "wb") as raw:
                packer.copy_stream(source, raw, size=os.path.getsize(path))
    os.replace(tmp, out)
    return out


def row_fn(row, path, width):
    """One call that does the row's work once, on the compressed copy of `path`."""
    copy = copy_of(path, SUFFIX[row])
    if row in VALUE_ROWS:
        import tolvane

        return lambda: tolvane.read(copy, width)
    if row == GZ_GZIP:
        return lambda: gzip.decompress(_bytes_of(copy))
    if row == GZ_ISAL:
        from isal import igzip

        return lambda: igzip.decompress(_bytes_of(copy))
    import zstandard

    return lambda: zstandard.ZstdDecompressor().decompress(_bytes_of(copy))


def _bytes_of(path):
    with open(path, "rb") as f:
        return f.read()


def _median(r, row):
    ts = r["times"].get(row)
    return statistics.median(ts) if ts else None


def table(results, file_label, fmt_s, fmt_x, paired_ratio):
    """Each file: its copies' sizes, the rows' medians, and the ratios the goals judge."""
    try:
        from tolvane import _compression

        library = _compression.library_of("gzip")
    except ImportError:
        library = "?"
    out = ["Medians of the turns, in seconds; the ratios are the medians over the turns of the two "
           "rows' ratio within one turn. `tolvane-t1` is `tolvane.read(plain, threads=1)`. tolvane "
           "decompressed gzip with %s here (the default install brings isal where it has a wheel)."
           % library, "",
           "| file | .gz MB | gz-tolvane | gz-gzip | gz-isal | gz-tolvane / gz-gzip (goal <= %g) | "
           "gz-tolvane / gz-isal | .zst MB | zst-tolvane | zst-zstandard | zst-tolvane / zst-zstandard "
           "(goal <= %g) | tolvane-t1 | zst-tolvane / tolvane-t1 |" % (GOAL_GZ_VS_GZIP, GOAL_ZST_VS_ZSTANDARD),
           "|---|" + "---:|" * 13]

    def shown(r, row):
        value = _median(r, row)
        return "-" if value is None else fmt_s(value)

    def ratio(r, a, b):
        value = paired_ratio(r, a, b)
        return "-" if value is None else fmt_x(value)

    for key, r in results:
        if _median(r, GZ_TOLVANE) is None and _median(r, ZST_TOLVANE) is None:
            continue
        sizes = r.get("copies", {})
        out.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            file_label(key), "%.1f" % (sizes[".gz"] / 1e6) if ".gz" in sizes else "-",
            shown(r, GZ_TOLVANE), shown(r, GZ_GZIP), shown(r, GZ_ISAL),
            ratio(r, GZ_TOLVANE, GZ_GZIP), ratio(r, GZ_TOLVANE, GZ_ISAL),
            "%.1f" % (sizes[".zst"] / 1e6) if ".zst" in sizes else "-",
            shown(r, ZST_TOLVANE), shown(r, ZST_ZSTANDARD), ratio(r, ZST_TOLVANE, ZST_ZSTANDARD),
            shown(r, "tolvane-t1"), ratio(r, ZST_TOLVANE, "tolvane-t1")))
    return "\n".join(out)


def goals(results, memory, goal_size, add, ratio, peak_delta):
    """The compressed files' goals on every file of `goal_size` MB, through the caller's `add`
    and `ratio` (run_bench.goal_rows')."""
    for key, r in results:
        if key[0] != goal_size:
            continue
        if GZ_TOLVANE in r["times"]:
            add(key, "gz-tolvane / gz-gzip", *ratio(r, GZ_TOLVANE, GZ_GZIP), "<= %g" % GOAL_GZ_VS_GZIP,
                lambda v: v <= GOAL_GZ_VS_GZIP)
        if ZST_TOLVANE in r["times"]:
            add(key, "zst-tolvane / zst-zstandard", *ratio(r, ZST_TOLVANE, ZST_ZSTANDARD),
                "<= %g" % GOAL_ZST_VS_ZSTANDARD, lambda v: v <= GOAL_ZST_VS_ZSTANDARD)
        for row in VALUE_ROWS:
            if row not in r["times"]:
                continue
            d = memory.get(key, {}).get(row)
            add(key, "%s peak delta / (result + %d MiB)" % (row, GOAL_MEMORY_SLACK // 2**20),
                None if d is None else peak_delta(d) / (d["result_bytes"] + GOAL_MEMORY_SLACK), None, "<= 1",
                lambda v: v <= 1.0)
