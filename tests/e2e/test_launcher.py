"""ZanSetupSH runs the setup program beside it again with "Uac=yes": as a
copy in a folder of its own below the system's temporary folder, which only
administrators may change (Wine keeps no DACL: only the copy, the folder's
place and its removal can be seen here), waiting for it and removing the
folder after. It and the copy log into the protected log, never into the
user's folder; a run with administrator rights runs such a copy too."""
import glob
import os
import re
import shutil
import unittest

import signing
from harness import (BUILD, OLD_DRIVER, E2ETestCase, ProductServer, ProtectedLog, Sandbox, Wine,
                     prefix_path, read_locale_text, stand_in, wait_exit, windows_processes, windows_path)
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
                line, program, current, _elevated, language, temp, tmp = self.run_launcher(box, args)
                self.assertRegex(program, COPY)
                # The product's installer unpacks inside the protected folder.
                self.assertEqual((program.rsplit("\\", 2)[0] + "\\temp").lower(), temp.lower())
                self.assertEqual(temp, tmp)
                self.assertEqual(('"%s" %s' % (program, passed)).lower(), line.lower())
                self.assertEqual(program.rsplit("\\", 1)[0].lower(), current.rstrip("\\").lower())
                # The user's language files decide no text of an elevated run.
                self.assertEqual("", language, "language files were copied")
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
        self.hold("lock", lock, 20)
        log = ProtectedLog()
        self.assertIsNotNone(self.run_launcher(box, " App=Foo"))
        self.assertFalse(os.path.exists(os.path.dirname(left)), "a copy left behind stays")
        self.assertTrue(os.path.exists(lock), "the copy of a launcher still running went")
        self.assertTrue(os.path.exists(os.path.join(theirs, "keep.txt")), "a folder with other rules went")
        self.assertTrue(os.path.exists(os.path.join(victim, "keep.txt")), "the junction was followed")
        self.assertTrue(os.path.islink(os.path.join(linked, "junction")))
        # The system's temporary folder as the platform spells it.
        lines = [line.lower() for line in log.lines()]
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
                log = ProtectedLog()
                record = self.run_launcher(box, " App=Foo", signer=signer)
                own = [entry for entry in log.lines() if entry.startswith("ZanSetupSH:")]
                self.assertEqual(line is None, record is not None, log.lines())
                self.assertEqual([line] if line else [], own)
                self.assertEqual([], box.log_lines())

    def test_an_older_program_is_not_started_and_a_log_folder_with_other_rules_gets_no_line(self):
        box = Sandbox("launcher-squatted")
        self.run_launcher(box, " App=Foo")  # the folder exists from here on
        folder = prefix_path(ProtectedLog.FOLDER)
        mode = os.stat(folder).st_mode & 0o777
        # Wine keeps a folder's rules as its mode: everybody may write now.
        os.chmod(folder, 0o777)
        self.addCleanup(os.chmod, folder, mode)
        log = ProtectedLog()
        self.assertIsNone(self.run_launcher(box, " App=Foo", driver=OLD_DRIVER))
        self.assertEqual([], [line for line in log.lines() if line.startswith("ZanSetupSH:")])
        self.assertEqual([], box.log_lines())
        # With the folder's rules back, the refusal of the older program is logged.
        os.chmod(folder, mode)
        self.assertIsNone(self.run_launcher(box, " App=Foo", driver=OLD_DRIVER))
        self.assertIn("ZanSetupSH: the setup program is not started elevated: its version 0.0.0.1 is older than "
                      "this launcher's " + ".".join((VERSION.split(".") + ["0"] * 4)[:4]), log.lines())

    def test_the_elevated_copy_logs_into_the_protected_log_and_writes_nothing_into_the_users_folder(self):
        box = Sandbox("launcher-log")
        user_log = os.path.join(box.program_dir, "zansetup.log")
        open(user_log, "wb").close()
        before = sorted(os.listdir(box.program_dir))
        # Whatever opened the user's log for writing now fails.
        self.hold("lock", user_log, 40)
        log = ProtectedLog()
        launcher = windows_path(os.path.join(box.program_dir, "ZanSetupSH.exe"))
        wine = Wine()
        # The server has no such product: a 404, which is not tried again.
        with ProductServer(box):
            process = self.start(wine, launcher + " App=Missing Ver=1.0")
            error = wine.message_box(CAPTION, timeout_ms=30000)
            self.assertIsNotNone(error, "no information error box; log: %r" % log.lines())
            # While it runs, its download folder lies inside the protected folder.
            downloads = glob.glob(os.path.join(prefix_path(COPIES), "ZanSetup-elevated-*", "download", "Missing"))
            self.assertEqual(1, len(downloads), downloads)
            wine.click(error, 1)
            self.assertEqual(0, wait_exit(process))
        lines = log.lines()
        self.assertIn("the Produce name:Missing, version: 1.0", lines)
        self.assertIn("the elevated run leaves the update check to the run before it", lines)
        self.assertEqual(before, sorted(os.listdir(box.program_dir)))
        self.assertEqual(0, os.path.getsize(user_log))

    def test_the_run_that_asked_for_the_rights_takes_the_elevated_runs_log_into_its_own(self):
        box = Sandbox("launcher-asked")
        wine = Wine()
        with ProductServer(box) as server:
            # The copy's refusal is logged elevated.
            self.run_refused_for_want_of_rights(box, server, wine)
        lines = box.log_lines()
        follows = [n for n, line in enumerate(lines) if line.startswith("the elevated run's log follows, from ")]
        self.assertEqual(1, len(follows), lines)
        self.assertEqual("the elevated run's log follows, from %s\\zansetup-" % ProtectedLog.FOLDER,
                         lines[follows[0]].split("S-")[0])
        elevated = lines[follows[0] + 1:lines.index("the elevated run's log ends")]
        self.assertIn("the elevated run leaves the update check to the run before it", elevated)
        self.assertNotIn("the elevated run leaves the update check to the run before it", lines[:follows[0]])

    def test_a_run_with_administrator_rights_runs_its_protected_copy_and_nothing_from_the_users_folder(self):
        box = Sandbox("elevated-run")
        log = ProtectedLog()
        wine = Wine()
        # The server has no such product: a 404, which is not tried again.
        server = ProductServer(box).__enter__()
        self.addCleanup(server.__exit__, None, None, None)
        process = self.start(wine, box.program + " App=Missing Ver=1.0", rights="--elevated")
        error = wine.message_box(CAPTION, timeout_ms=30000)
        self.assertIsNotNone(error, "no information error box; log: %r" % log.lines())
        copies = [line for line in windows_processes("ZanSetup.exe") if "Uac=yes" in line]
        self.assertEqual(1, len(copies), windows_processes("ZanSetup.exe"))
        self.assertRegex(copies[0].split(" App=")[0].strip('"'), COPY)
        downloads = glob.glob(os.path.join(prefix_path(COPIES), "ZanSetup-elevated-*", "download", "Missing"))
        self.assertEqual(1, len(downloads), downloads)
        wine.click(error, 1)
        self.assertEqual(2, wait_exit(process))
        self.assertEqual(["ZanSetup.exe", "ZanSetupSH.exe", "language"], sorted(os.listdir(box.program_dir)))
        self.assertFalse(os.path.exists(os.path.join(box.root, "download")))
        lines = log.lines()
        self.assertIn("the setup program runs with administrator rights from %s\\: it runs its protected copy "
                      "instead" % windows_path(box.program_dir), lines)
        self.assertIn("the Produce name:Missing, version: 1.0", lines)

        # A run with the rights that claims to be the copy is refused, not
        # copied again.
        log = ProtectedLog()
        process = self.start(wine, box.program + " App=Missing Ver=1.0 Uac=yes", rights="--elevated")
        refusal = wine.message_box("ZanSetup", timeout_ms=30000)
        self.assertIsNotNone(refusal, "no refusal; log: %r" % log.lines())
        wine.click(refusal, 1)
        self.assertEqual(0, wait_exit(process))
        self.assertEqual(["the setup program does not run with administrator rights from %s\\: it was started as "
                          "the protected copy but is none" % windows_path(box.program_dir)],
                         [line for line in log.lines() if line.startswith("the setup program")])

    def test_without_a_setup_program_beside_it_none_elsewhere_starts_and_it_ends_with_0(self):
        box = Sandbox("launcher-alone")
        os.remove(os.path.join(box.program_dir, "ZanSetup.exe"))
        # One in the current folder, where a bare name would find it.
        planted = stand_in(os.path.join(box.root, "current"))
        launcher = windows_path(os.path.join(box.program_dir, "ZanSetupSH.exe"))
        process = self.start(Wine(), launcher + " App=Foo", cwd=os.path.dirname(planted))
        self.assertEqual(0, wait_exit(process))
        self.assertFalse(os.path.exists(planted + ".cmdline"), "the planted program was started")


if __name__ == "__main__":
    unittest.main()
