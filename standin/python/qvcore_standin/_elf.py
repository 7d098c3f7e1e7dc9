"""The library search path an ELF shared object asks the loader for: its
DT_RUNPATH (or DT_RPATH) entries, read from the file without loading it."""

import struct
from typing import List

_SHT_DYNAMIC = 6
_DT_NULL, _DT_RPATH, _DT_RUNPATH = 0, 15, 29


def runpath(path: str) -> List[str]:
    """The entries of DT_RUNPATH (else DT_RPATH) of a 64-bit little-endian
    ELF file, ``$ORIGIN`` left as it is; [] when it has none."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise ValueError(f"{path}: not a 64-bit little-endian ELF file")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    for _, kind, _, _, offset, size, link, _, _, entsize in sections:
        if kind != _SHT_DYNAMIC:
            continue
        strtab = sections[link][4]
        found = {}
        for at in range(offset, offset + size, entsize or 16):
            tag, value = struct.unpack_from("<qQ", data, at)
            if tag == _DT_NULL:
                break
            if tag in (_DT_RPATH, _DT_RUNPATH):
                end = data.index(b"\0", strtab + value)
                found[tag] = data[strtab + value:end].decode()
        text = found.get(_DT_RUNPATH, found.get(_DT_RPATH, ""))
        return [p for p in text.split(":") if p]
    return []
