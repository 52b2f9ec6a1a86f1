"""ZanSetupSH runs the setup program beside it again with "Uac=yes": as a
copy in a folder of its own below the system's temporary folder, which only
administrators may change (Wine keeps no DACL: only the copy, the folder's
place and its removal can be seen here), waiting for it and removing the
folder after."""
import glob
import os
import re
import shutil
import subprocess
import time
import unittest

import signing
from harness import (BUILD, DRIVER, OLD_DRIVER, WINE_RUN, E2ETestCase, Sandbox, Wine, prefix_path,
                     read_locale_text, stand_in, wait_exit, windows_path)
from installed import VERSION

CAPTION = read_locale_text("en-us", "language.caption")
COPIES = r"C:\windows\temp"
COPY = re.compile(r"^C:\\windows\\temp\\ZanSetup-elevated-[0-9a-f]{32}\\ZanSetup\\ZanSetup\.exe$", re.I)


class Launcher(E2ETestCase):
    def test_it_runs_a_copy_in_a_folder_of_its_own_and_removes_it(self):
        box = Sandbox("launcher-args")
        rows = [(" App=Foo Ver=2.0", "App=Foo Ver=2.0 Uac=yes"), ("", "Uac=yes"),
                # A quoted argument reaches the setup program split at its blank.
                (' "App=My Product"', "App=My Product Uac=yes")]
        for args, passed in rows:
            with self.subTest(args=args):
                line, program, current, log_folder, language, temp, tmp = self.run_launcher(box, args)
                self.assertRegex(program, COPY)
                # The product's installer unpacks inside the protected folder.
                self.assertEqual((program.rsplit("\\", 2)[0] + "\\temp").lower(), temp.lower())
                self.assertEqual(temp, tmp)
                self.assertEqual(('"%s" %s' % (program, passed)).lower(), line.lower())
                self.assertEqual(program.rsplit("\\", 1)[0].lower(), current.rstrip("\\").lower())
                self.assertEqual(windows_path(box.program_dir) + "\\", log_folder)
                self.assertEqual("language", language)
                copy_root = prefix_path(program.rsplit("\\", 2)[0])
                self.assertFalse(os.path.exists(copy_root), "the copy's folder stays")

    def test_only_copies_of_ours_left_behind_go_and_nothing_they_lead_to(self):
        box = Sandbox("launcher-leftovers")
        parent = prefix_path(COPIES)
        # Wine keeps a folder's rules as its mode: 0750 reads back as the
        # launcher's own folders do, 0755 lets everybody read: other rules.
        left = os.path.join(parent, "ZanSetup-elevated-left", "ZanSetup")
        running = os.path.join(parent, "ZanSetup-elevated-running")
        theirs = os.path.join(parent, "ZanSetup-elevated-theirs")
        linked = os.path.join(parent, "ZanSetup-elevated-linked")
        victim = os.path.join(box.root, "victim")
        for folder, mode in ((os.path.dirname(left), 0o750), (running, 0o750), (theirs, 0o755), (linked, 0o750),
                             (victim, 0o755)):
            shutil.rmtree(folder, True)
            os.makedirs(folder, mode=mode)
            self.addCleanup(shutil.rmtree, folder, True)
        os.makedirs(os.path.join(left, "language"))
        for path in (os.path.join(left, "language", "en-us.locale"), os.path.join(theirs, "keep.txt"),
                     os.path.join(victim, "keep.txt")):
            with open(path, "w") as f:
                f.write("x")
        # A junction inside a copy: Wine shows a link as a reparse point.
        os.symlink(victim, os.path.join(linked, "junction"))
        lock = os.path.join(running, "running.lock")
        open(lock, "w").close()
        locker = Wine().start('"%s" lock "%s" 20 "%s"' % (windows_path(DRIVER), windows_path(lock),
                                                          windows_path(os.path.join(box.root, "locked"))))
        self.processes.append(locker)
        for _ in range(100):
            if os.path.exists(os.path.join(box.root, "locked")):
                break
            time.sleep(0.1)
        self.assertTrue(os.path.exists(os.path.join(box.root, "locked")), "the lock was not taken")
        self.assertIsNotNone(self.run_launcher(box, " App=Foo"))
        self.assertFalse(os.path.exists(os.path.dirname(left)), "a copy left behind stays")
        self.assertTrue(os.path.exists(lock), "the copy of a launcher still running went")
        self.assertTrue(os.path.exists(os.path.join(theirs, "keep.txt")), "a folder with other rules went")
        self.assertTrue(os.path.exists(os.path.join(victim, "keep.txt")), "the junction was followed")
        self.assertTrue(os.path.islink(os.path.join(linked, "junction")))
        # The system's temporary folder as the platform spells it.
        lines = [line.lower() for line in box.log_lines()]
        self.assertIn(("ZanSetupSH: left alone: %s\\ZanSetup-elevated-theirs is no copy of ours (a link, or another "
                       "owner or access rules)" % COPIES).lower(), lines)
        self.assertIn(("ZanSetupSH: left alone: %s\\ZanSetup-elevated-linked\\junction is a link or cannot be "
                       "opened" % COPIES).lower(), lines)

    def test_a_pinned_launcher_runs_only_a_copy_signed_with_a_pinned_key(self):
        box = Sandbox("launcher-pinned", variant="pinned")
        stranger = signing.Identity(os.path.join(box.root, "keys"), "Another publisher")
        refusal = "ZanSetupSH: the setup program is not started elevated: it is not signed by our publisher, "
        for signer, line in ((None, refusal + "error code: 0x800b0100, key: "),
                             (stranger, refusal + "error code: 0x00000000, key: " + stranger.pin),
                             (signing.test_publisher(BUILD), None)):
            with self.subTest(signer=signer and signer.name):
                box.reset_log()
                record = self.run_launcher(box, " App=Foo", signer=signer)
                self.assertEqual(line is None, record is not None, box.log_lines())
                self.assertEqual([line] if line else [], box.log_lines())

    def test_an_older_program_than_the_launcher_is_not_started(self):
        box = Sandbox("launcher-older")
        self.assertIsNone(self.run_launcher(box, " App=Foo", driver=OLD_DRIVER))
        self.assertIn("ZanSetupSH: the setup program is not started elevated: its version 0.0.0.1 is older than "
                      "this launcher's " + ".".join((VERSION.split(".") + ["0"] * 4)[:4]), box.log_lines())

    def test_the_elevated_copy_logs_beside_the_installed_program(self):
        box = Sandbox("launcher-log")
        launcher = windows_path(os.path.join(box.program_dir, "ZanSetupSH.exe"))
        wine = Wine()
        process = self.start(wine, launcher + " App=Missing Ver=1.0")
        error = wine.message_box(CAPTION, timeout_ms=30000)
        self.assertIsNotNone(error, "no information error box; log: %r" % box.log_lines())
        # While it runs, its download folder lies inside the protected folder.
        downloads = glob.glob(os.path.join(prefix_path(COPIES), "ZanSetup-elevated-*", "download", "Missing"))
        self.assertEqual(1, len(downloads), downloads)
        self.assertFalse(os.path.exists(os.path.join(box.root, "download")))
        wine.click(error, 1)
        self.assertEqual(0, wait_exit(process))
        lines = box.log_lines()
        self.assertIn("the Produce name:Missing, version: 1.0", lines)
        self.assertIn("the elevated run leaves the update check to the run before it", lines)

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
        self.assertFalse(os.path.exists(planted + ".cmdline"), "the planted program was started")


if __name__ == "__main__":
    unittest.main()
