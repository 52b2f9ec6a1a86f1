"""ZanSetupSH starts the setup program beside it again with "Uac=yes"."""
import os
import shutil
import unittest

from harness import DRIVER, E2ETestCase, Sandbox, Wine, wait_exit, windows_path


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
            import time
            time.sleep(0.1)
        with open(record, encoding="utf-8") as f:
            return f.read()

    def test_arguments_pass_on_each_followed_by_a_blank_then_the_marker(self):
        box = Sandbox("launcher-args")
        wine = Wine()
        self.assertEqual("ZanSetup.exe App=Foo Ver=2.0 Uac=yes",
                         self.run_launcher(box, wine, " App=Foo Ver=2.0"))
        self.assertEqual("ZanSetup.exe Uac=yes", self.run_launcher(box, wine, ""))
        # A quoted argument reaches the setup program split at its blank.
        self.assertEqual('ZanSetup.exe App=My Product Uac=yes',
                         self.run_launcher(box, wine, ' "App=My Product"'))

    def test_without_a_setup_program_it_still_ends_with_0(self):
        box = Sandbox("launcher-alone")
        os.remove(os.path.join(box.program_dir, "ZanSetup.exe"))
        launcher = windows_path(os.path.join(box.program_dir, "ZanSetupSH.exe"))
        self.assertEqual(0, wait_exit(self.start(Wine(), launcher + " App=Foo")))


if __name__ == "__main__":
    unittest.main()
