"""The deliverables as files, in the flavour of this build: each is a program or DLL for that flavour's
processor, with the subsystem its hosts expect. A 64-bit browser or script host loads only a 64-bit control,
and a 64-bit ZanSetup must never ship or start a 32-bit program, nor the other way round. The programs that
may run as administrator import only Known DLLs at load time."""
import glob
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from harness import ARCH, BIN, MACHINES, MINGW_PREFIX, SOURCE
from installed import INSTALLER

GUI, CONSOLE = 2, 3
IMAGE_FILE_DLL = 0x2000
# The optional header's magic: PE32 for x86, PE32+ for x64.
MAGIC = {"x86": 0x10B, "x64": 0x20B}
IMAGE_SCN_MEM_EXECUTE = 0x20000000
DELAY_IMPORT_ENTRY = 13

# Windows 10's Known DLLs, and ntdll, which every process has: the loader
# maps them from the system folder whatever lies beside a program.
KNOWN_DLLS = {name + ".dll" for name in (
    "ntdll kernel32 advapi32 msvcrt user32 gdi32 shell32 shlwapi ole32 oleaut32 comdlg32 imm32 psapi ws2_32 "
    "setupapi rpcrt4 combase sechost shcore normaliz nsi wldap32 clbcatq coml2 difxapi gdiplus imagehlp "
    "msctf").split()}
# What each program loads only once it has limited the search to the system folder.
DELAY_LOADED = {"ZanSetup.exe": {"bcrypt.dll", "comctl32.dll", "crypt32.dll", "wininet.dll", "wintrust.dll"},
                "ZanSetupSH.exe": {"bcrypt.dll", "crypt32.dll", "wintrust.dll"}}


def read_image(path):
    """(machine, characteristics, optional header magic, subsystem) of a PE file; its delay-import table as
    {DLL name in lower case: what its address table holds before the first call, a slot for each named
    function (RVAs)}; and the RVA ranges of its executable sections."""
    data = Path(path).read_bytes()
    assert data[:2] == b"MZ", path
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", path
    optional = pe + 24
    machine, characteristics = struct.unpack_from("<H16xH", data, pe + 4)
    header = (machine, characteristics) + struct.unpack_from("<H66xH", data, optional)
    wide = header[2] == MAGIC["x64"]
    pointer = "<Q" if wide else "<I"
    image_base = struct.unpack_from(pointer, data, optional + (24 if wide else 28))[0]
    headers = optional + struct.unpack_from("<H", data, pe + 20)[0]
    sections = [struct.unpack_from("<IIII12xI", data, headers + 40 * i + 8)
                for i in range(struct.unpack_from("<H", data, pe + 6)[0])]

    def offset(rva):
        for size, start, _, raw, _ in sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise AssertionError("RVA %#x lies in no section of %s" % (rva, path))

    def slots(rva):
        """The pointer-sized entries from `rva` to the zero that ends them."""
        width = struct.calcsize(pointer)
        while True:
            (value,) = struct.unpack_from(pointer, data, offset(rva))
            if not value:
                return
            yield value
            rva += width

    dlls = {}
    entry, _ = struct.unpack_from("<II", data, optional + (112 if wide else 96) + 8 * DELAY_IMPORT_ENTRY)
    while entry:
        _, name, _, iat, names = struct.unpack_from("<IIIII", data, offset(entry))
        if not name:
            break
        dll = data[offset(name):data.index(b"\0", offset(name))].decode("ascii").lower()
        count = sum(1 for _ in slots(names))
        held = list(slots(iat))
        # A slot left empty would end the address table early.
        dlls[dll] = [address - image_base for address in held] + [None] * (count - len(held))
        entry += 32
    executable = [(start, start + size) for size, start, _, _, flags in sections if flags & IMAGE_SCN_MEM_EXECUTE]
    return header, dlls, executable


class Images(unittest.TestCase):
    def test_each_deliverable_is_built_for_this_flavour_with_its_subsystem_and_safe_imports(self):
        installers = [os.path.basename(p) for p in glob.glob(os.path.join(BIN, "ZanSetup-*-setup.exe"))]
        self.assertEqual([os.path.basename(INSTALLER)], installers, "one installer, named for the flavour")
        for name, subsystem, is_dll in (("ZanSetup.exe", GUI, False), ("ZanSetupSH.exe", CONSOLE, False),
                                        ("npZanSetupOneClick.dll", GUI, True), (installers[0], GUI, False)):
            with self.subTest(name=name):
                path = os.path.join(BIN, name)
                (machine, characteristics, magic, found), dlls, executable = read_image(path)
                self.assertEqual(MACHINES[ARCH], machine)
                self.assertEqual(MAGIC[ARCH], magic)
                self.assertEqual(subsystem, found)
                self.assertEqual(is_dll, bool(characteristics & IMAGE_FILE_DLL))
                if name not in DELAY_LOADED:
                    continue
                # A DLL imported at load time is looked for beside the program before its first line can limit
                # the search: only Known DLLs are safe there.
                out = subprocess.run([MINGW_PREFIX + "-objdump", "-p", path], stdout=subprocess.PIPE, text=True,
                                     check=True).stdout
                imports = {dll.lower() for dll in re.findall(r"DLL Name: (\S+)", out)}
                self.assertIn("kernel32.dll", imports)
                self.assertEqual(set(), imports - KNOWN_DLLS, "DLLs imported at load time")
                self.assertEqual(DELAY_LOADED[name], set(dlls))
                # Until the first call each slot holds the thunk that loads
                # the DLL; a slot the linker left empty would crash the call.
                for dll, held in dlls.items():
                    self.assertTrue(held, dll)
                    stray = [slot for slot in held
                             if slot is None or not any(start <= slot < end for start, end in executable)]
                    self.assertEqual([], stray, "%s: slots that hold no thunk" % dll)

    def test_the_post_link_tool_fails_a_table_of_any_other_dlls(self):
        # The build names what each program delay-loads; a table that holds
        # fewer, more, others or none (a layout change) fails the build.
        tool = os.path.join(SOURCE, "tools", "delay_import_directory.py")
        delayed = sorted(DELAY_LOADED["ZanSetup.exe"])
        built = Path(os.path.join(BIN, "ZanSetup.exe")).read_bytes()
        with tempfile.TemporaryDirectory() as folder:
            program = os.path.join(folder, "ZanSetup.exe")
            emptied = bytearray(built)
            first = emptied.index(b"ZanSetupDelayImp") + 16
            emptied[first:first + 32 * len(delayed)] = bytes(32 * len(delayed))
            rows = [(built, delayed, True), (built, delayed[1:], False), (built, delayed + ["version.dll"], False),
                    (built, ["version.dll"] * len(delayed), False), (bytes(emptied), delayed, False)]
            for image, expected, passes in rows:
                with self.subTest(expected=expected, emptied=image is not built):
                    Path(program).write_bytes(image)
                    result = subprocess.run([sys.executable, tool, program, "--expect", ",".join(expected)],
                                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                    self.assertEqual(passes, result.returncode == 0, result.stdout)
                    with open(program, "rb") as f:
                        self.assertEqual(image, f.read(), "the program changed")
                    if not passes:
                        self.assertIn("expected %d delay-loaded DLLs" % len(expected), result.stdout)
