"""ZanSetupSH starts the setup program beside it, by its full path, again
with "Uac=yes", and loads nothing a user could plant."""
import os
import re
import shutil
import subprocess
import time
import unittest

from harness import BIN, DRIVER, WINE_RUN, E2ETestCase, Sandbox, Wine, stand_in, wait_exit, windows_path


class Launcher(E2ETestCase):
    def run_launcher(self, box, wine, args):
        stand_in = os.path.join(box.program_dir, "ZanSetup.exe")
        shutil.copy2(DRIVER, stand_in)
        record = stand_in + ".cmdline"
        if os.path.exists(record):
            os.remove(record)
        launcher = windows_path(os.path.join(box.program_dir, "ZanSetupSH.exe"))
        self.assertEqual(0, wait_exit(self.start(wine, launcher + args)))
        for _ in range(100):
            if os.path.exists(record) and os.path.getsize(record) > 0:
                break
            time.sleep(0.1)
        with open(record, encoding="utf-8") as f:
            return f.read()

    def test_arguments_pass_on_each_followed_by_a_blank_then_the_marker(self):
        box = Sandbox("launcher-args")
        wine = Wine()
        program = '"%s"' % windows_path(os.path.join(box.program_dir, "ZanSetup.exe"))
        self.assertEqual(program + " App=Foo Ver=2.0 Uac=yes", self.run_launcher(box, wine, " App=Foo Ver=2.0"))
        self.assertEqual(program + " Uac=yes", self.run_launcher(box, wine, ""))
        # A quoted argument reaches the setup program split at its blank.
        self.assertEqual(program + " App=My Product Uac=yes", self.run_launcher(box, wine, ' "App=My Product"'))

    def test_without_a_setup_program_beside_it_none_elsewhere_starts_and_it_ends_with_0(self):
        box = Sandbox("launcher-alone")
        os.remove(os.path.join(box.program_dir, "ZanSetup.exe"))
        # One in the current folder, where a bare name would find it.
        planted = stand_in(os.path.join(box.root, "current"))
        launcher = windows_path(os.path.join(box.program_dir, "ZanSetupSH.exe"))
        process = subprocess.Popen([WINE_RUN, DRIVER, "run", launcher + " App=Foo"], cwd=os.path.dirname(planted),
                                   env=Wine().env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(process)
        self.assertEqual(0, wait_exit(process))
        time.sleep(1)
        self.assertFalse(os.path.exists(planted + ".cmdline"), "the planted program was started")

    def test_it_imports_only_system_dlls(self):
        # Imports are loaded before the program can restrict the DLL search.
        out = subprocess.run(["i686-w64-mingw32-objdump", "-p", os.path.join(BIN, "ZanSetupSH.exe")],
                             stdout=subprocess.PIPE, text=True, check=True).stdout
        names = {name.lower() for name in re.findall(r"DLL Name: (\S+)", out)}
        self.assertTrue(names)
        self.assertLessEqual(names, {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "user32.dll", "shell32.dll"})


if __name__ == "__main__":
    unittest.main()
