"""The dynamic symbol table of an ELF64 little-endian shared object (what ``nm -D`` lists),
read with the standard library alone so that the tests need no binutils."""
import struct
from typing import NamedTuple

SHT_DYNSYM = 11
STB_LOCAL = 0
SHN_UNDEF = 0


class DynamicSymbol(NamedTuple):
    name: str
    defined: bool
    binding: int  # STB_LOCAL 0, STB_GLOBAL 1, STB_WEAK 2, STB_GNU_UNIQUE 10


def dynamic_symbols(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise ValueError(f"{path} is not a little-endian ELF64 file")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    symbols = []
    for _name, kind, _flags, _addr, offset, size, link, _info, _align, entsize in sections:
        if kind != SHT_DYNSYM:
            continue
        strings_offset = sections[link][4]
        for pos in range(offset + entsize, offset + size, entsize):  # entry 0 is the null symbol
            st_name, st_info, _other, st_shndx = struct.unpack_from("<IBBH", data, pos)
            end = data.index(b"\0", strings_offset + st_name)
            name = data[strings_offset + st_name:end].decode("ascii")
            symbols.append(DynamicSymbol(name, st_shndx != SHN_UNDEF, st_info >> 4))
    return symbols
