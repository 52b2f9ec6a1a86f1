"""The deliverables as files, in the flavour of this build: each is a
program or DLL for that flavour's processor, with the subsystem its hosts
expect. A 64-bit browser or script host loads only a 64-bit control, and a
64-bit ZanSetup must never ship or start a 32-bit program, nor the other
way round."""
import glob
import os
import unittest

from harness import ARCH, BIN, MACHINES
from installed import INSTALLER

GUI, CONSOLE = 2, 3
IMAGE_FILE_DLL = 0x2000
# The optional header's magic: PE32 for x86, PE32+ for x64.
MAGIC = {"x86": 0x10B, "x64": 0x20B}


def image_header(path):
    """(machine, characteristics, optional header magic, subsystem) of a PE file."""
    with open(path, "rb") as f:
        data = f.read(4096)
    assert data[:2] == b"MZ", path
    pe = int.from_bytes(data[0x3C:0x40], "little")
    assert data[pe:pe + 4] == b"PE\0\0", path
    word = lambda at: int.from_bytes(data[at:at + 2], "little")  # noqa: E731
    optional = pe + 24
    return word(pe + 4), word(pe + 22), word(optional), word(optional + 68)


class Images(unittest.TestCase):
    def test_each_deliverable_is_built_for_this_flavour_with_its_subsystem(self):
        installers = [os.path.basename(p) for p in glob.glob(os.path.join(BIN, "ZanSetup-*-setup.exe"))]
        self.assertEqual([os.path.basename(INSTALLER)], installers, "one installer, named for the flavour")
        for name, subsystem, dll in (("ZanSetup.exe", GUI, False), ("ZanSetupSH.exe", CONSOLE, False),
                                     ("npZanSetupOneClick.dll", GUI, True), (installers[0], GUI, False)):
            with self.subTest(name=os.path.basename(name)):
                machine, characteristics, magic, found = image_header(os.path.join(BIN, name))
                self.assertEqual(MACHINES[ARCH], machine)
                self.assertEqual(MAGIC[ARCH], magic)
                self.assertEqual(subsystem, found)
                self.assertEqual(dll, bool(characteristics & IMAGE_FILE_DLL))


if __name__ == "__main__":
    unittest.main()
