"""The names NetCDF can hold, for the variables that tolvane convert writes to a .nc file.

A parameter's name is any token of its name line, but the NetCDF library refuses an empty
name, a '/' or a control character anywhere, a first character that is ASCII punctuation, and
more than 255 bytes (a name of 256 reads back as garbage); it stores every name in Unicode's
NFC form, which may make two names one, and it cuts a name at a NUL without a word.
"""

from __future__ import annotations

import unicodedata
from typing import Dict, Iterable

# The longest name, in bytes of UTF-8, that the NetCDF library writes and reads back whole.
LONGEST = 255


def netcdf_name(name: str) -> str:
    """``name`` made one that NetCDF holds as it is: in NFC form, each '/' and control
    character (U+0000 to U+001F, U+007F) made '_', a '_' put before a first character that is
    ASCII but not a letter, a digit or '_' (and for an empty name), a trailing blank made '_',
    cut to 255 bytes."""
    name = unicodedata.normalize("NFC", name)
    name = "".join("_" if char == "/" or char < " " or char == "\x7f" else char for char in name)
    if not name or (name[0].isascii() and not (name[0].isalnum() or name[0] == "_")):
        name = "_" + name
    if name.endswith(" "):
        name = name[:-1] + "_"
    return cut(name, LONGEST)


def netcdf_names(names: Iterable[str]) -> Dict[str, str]:
    """The new name of each of ``names`` (unique) that NetCDF cannot hold as it is. A name
    that NetCDF holds keeps it; a new name that another already has gets '.1', '.2', ...
    (the first one free), as repeated names do in the tables."""
    names = list(names)
    taken = {name for name in names if netcdf_name(name) == name}
    renamed: Dict[str, str] = {}
    for name in names:
        new = netcdf_name(name)
        if new == name:
            continue
        candidate, count = new, 0
        while candidate in taken:
            count += 1
            suffix = f".{count}"
            candidate = cut(new, LONGEST - len(suffix)) + suffix
        taken.add(candidate)
        renamed[name] = candidate
    return renamed


def cut(name: str, limit: int) -> str:
    """The longest start of ``name`` of whole characters within ``limit`` bytes of UTF-8."""
    encoded = name.encode("utf-8")
    if len(encoded) <= limit:
        return name
    return encoded[:limit].decode("utf-8", "ignore")

