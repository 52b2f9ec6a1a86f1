#!/usr/bin/env python3
"""Records the delay-import table of a linked program in its data directory.

GNU ld links the delay-import descriptors of dlltool's delay-import libraries
but leaves the "Delay Import Descriptor" entry of the data directory empty,
so neither the system nor a tool that lists a program's imports sees them.
cmake/delay_import_bounds.c puts a mark before the descriptors and a zero
descriptor after them; this finds the mark, checks the descriptors, points
the entry at them and mends the image checksum. Running it again changes
nothing.

    delay_import_directory.py PROGRAM
"""
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


def rva_of(data, pe, offset):
    """The RVA at which the loader maps the file offset `offset`."""
    count = struct.unpack_from("<H", data, pe + 6)[0]
    table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
    for i in range(count):
        size, rva, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        if raw <= offset < raw + min(size or raw_size, raw_size):
            return rva + offset - raw
    raise ImageError("the mark lies in no section")


def set_delay_import_directory(data):
    """Updates `data` (a bytearray holding the image) in place; returns the
    number of descriptors."""
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
    count = 0
    while any(data[first + count * DESCRIPTOR_SIZE:first + (count + 1) * DESCRIPTOR_SIZE]):
        attributes, name = struct.unpack_from("<II", data, first + count * DESCRIPTOR_SIZE)
        if attributes != RVA_BASED or name == 0:
            raise ImageError("descriptor %d after the mark is not one of a delay-import library" % count)
        count += 1
    entry = directories + 8 * DELAY_IMPORT_ENTRY
    if count:
        struct.pack_into("<II", data, entry, rva_of(data, pe, first), (count + 1) * DESCRIPTOR_SIZE)
    else:
        struct.pack_into("<II", data, entry, 0, 0)
    field = optional + 64
    struct.pack_into("<I", data, field, checksum(data, field))
    return count


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "rb") as f:
        data = bytearray(f.read())
    try:
        set_delay_import_directory(data)
    except ImageError as error:
        sys.stderr.write("%s: %s\n" % (argv[1], error))
        return 1
    with open(argv[1], "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
