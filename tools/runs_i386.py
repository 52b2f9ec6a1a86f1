#!/usr/bin/env python3
"""Whether this host runs 32-bit x86 programs, found out by running one.

    runs_i386.py        exit code 0 when it does, 1 when it does not, and a
                        line that says why on standard output

The program is the least i386 ELF there is, written here byte by byte: it
only ends with exit code 42. Some kernels run no 32-bit code at all (some
virtual machines and sandboxes, WSL 1, Linux on other processors): there it
fails with "Exec format error", and so would Wine's 32-bit loader and every
32-bit Windows program. Nothing here guesses from uname or the kernel's
configuration."""
import os
import struct
import subprocess
import sys
import tempfile

BASE = 0x08048000
EXIT_CODE = 42
# mov eax, 1 (exit); mov ebx, 42; int 0x80
CODE = b"\xb8\x01\x00\x00\x00" + b"\xbb" + struct.pack("<I", EXIT_CODE) + b"\xcd\x80"
ELF_HEADER_SIZE, PROGRAM_HEADER_SIZE = 52, 32


def tiny_i386_program():
    size = ELF_HEADER_SIZE + PROGRAM_HEADER_SIZE + len(CODE)
    entry = BASE + ELF_HEADER_SIZE + PROGRAM_HEADER_SIZE
    ident = b"\x7fELF" + bytes([1, 1, 1, 0]) + bytes(8)  # 32-bit, little-endian, version 1, System V
    header = ident + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, entry, ELF_HEADER_SIZE, 0, 0,
                                 ELF_HEADER_SIZE, PROGRAM_HEADER_SIZE, 1, 0, 0, 0)
    load = struct.pack("<IIIIIIII", 1, 0, BASE, BASE, size, size, 5, 0x1000)  # PT_LOAD, read and execute
    return header + load + CODE


def runs_i386():
    """(True, why) when the host ran the program to its exit code, else (False, why)."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "i386-probe")
        with open(path, "wb") as f:
            f.write(tiny_i386_program())
        os.chmod(path, 0o755)
        try:
            code = subprocess.run([path], timeout=30).returncode
        except OSError as error:
            return False, "a tiny i386 program does not start: %s" % error.strerror
        except subprocess.TimeoutExpired:
            return False, "a tiny i386 program did not end"
    if code != EXIT_CODE:
        return False, "a tiny i386 program ended with %d, not %d" % (code, EXIT_CODE)
    return True, "a tiny i386 program runs"


if __name__ == "__main__":
    ok, why = runs_i386()
    print(why)
    sys.exit(0 if ok else 1)
