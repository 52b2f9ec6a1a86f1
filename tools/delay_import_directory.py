#!/usr/bin/env python3
"""Records the delay-import table of a linked program in its data directory.

GNU ld links the delay-import descriptors of dlltool's delay-import libraries
but leaves the "Delay Import Descriptor" entry of the data directory empty,
so neither the system nor a tool that lists a program's imports sees them.
cmake/delay_import_bounds.c puts a mark before the descriptors and a zero
descriptor after them; this finds the mark, checks the descriptors, points
the entry at them and mends the image checksum. Running it again changes
nothing.

The build says which DLLs the program delay-loads (--expect, names between
commas); a table that names any other set (fewer, more, or none) fails, so
that no layout change ships programs whose delay imports no tool can see.

    delay_import_directory.py PROGRAM --expect wininet.dll,bcrypt.dll,...
"""
import argparse
import struct
import sys

MARK = b"ZanSetupDelayImp"
DESCRIPTOR_SIZE = 32
DELAY_IMPORT_ENTRY = 13
# grAttrs of a descriptor whose fields are RVAs (dlltool writes no other kind).
RVA_BASED = 1


class ImageError(Exception):
    pass


def checksum(data, field):
    """The PE image checksum: 16-bit one's-complement-style sum of the file
    without its checksum field, plus the file's length."""
    padded = bytes(data[:field]) + b"\0\0\0\0" + bytes(data[field + 4:])
    if len(padded) % 2:
        padded += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total & 0xFFFF) + len(data)


def sections(data, pe):
    """(virtual size, RVA, raw size, file offset) of each section."""
    count = struct.unpack_from("<H", data, pe + 6)[0]
    table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
    return [struct.unpack_from("<IIII", data, table + 40 * i + 8) for i in range(count)]


def rva_of(data, pe, offset):
    """The RVA at which the loader maps the file offset `offset`."""
    for size, rva, raw_size, raw in sections(data, pe):
        if raw <= offset < raw + min(size or raw_size, raw_size):
            return rva + offset - raw
    raise ImageError("the mark lies in no section")


def dll_name(data, pe, rva):
    """The zero-ended name at `rva`, lower-cased."""
    for size, start, raw_size, raw in sections(data, pe):
        if start <= rva < start + min(size or raw_size, raw_size):
            at = raw + rva - start
            end = data.find(b"\0", at)
            if end > at:
                return data[at:end].decode("ascii", "replace").lower()
    raise ImageError("a descriptor names its DLL outside the file")


def set_delay_import_directory(data):
    """Updates `data` (a bytearray holding the image) in place; returns the
    names of the DLLs its descriptors name, in table order."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        raise ImageError("not a PE image")
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    if struct.unpack_from("<I", data, directories - 4)[0] <= DELAY_IMPORT_ENTRY:
        raise ImageError("the data directory has no delay-import entry")
    at = data.find(MARK)
    if at < 0 or data.find(MARK, at + 1) >= 0:
        raise ImageError("expected one mark before the delay-import descriptors, found %s"
                         % ("none" if at < 0 else "more"))
    first = at + len(MARK)
    names = []
    while any(data[first + len(names) * DESCRIPTOR_SIZE:first + (len(names) + 1) * DESCRIPTOR_SIZE]):
        attributes, name = struct.unpack_from("<II", data, first + len(names) * DESCRIPTOR_SIZE)
        if attributes != RVA_BASED or name == 0:
            raise ImageError("descriptor %d after the mark is not one of a delay-import library" % len(names))
        names.append(dll_name(data, pe, name))
    count = len(names)
    entry = directories + 8 * DELAY_IMPORT_ENTRY
    if count:
        struct.pack_into("<II", data, entry, rva_of(data, pe, first), (count + 1) * DESCRIPTOR_SIZE)
    else:
        struct.pack_into("<II", data, entry, 0, 0)
    field = optional + 64
    struct.pack_into("<I", data, field, checksum(data, field))
    return names


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("program")
    parser.add_argument("--expect", required=True, help="the DLLs the program delay-loads, between commas")
    args = parser.parse_args(argv[1:])
    expected = sorted(name.strip().lower() for name in args.expect.split(",") if name.strip())
    with open(args.program, "rb") as f:
        data = bytearray(f.read())
    try:
        found = set_delay_import_directory(data)
        if sorted(found) != expected:
            raise ImageError("expected %d delay-loaded DLLs (%s), found %d in the table (%s)"
                             % (len(expected), ", ".join(expected), len(found), ", ".join(sorted(found)) or "none"))
    except ImageError as error:
        sys.stderr.write("%s: %s\n" % (args.program, error))
        return 1
    with open(args.program, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
