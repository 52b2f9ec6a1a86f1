"""ZanSetupSH runs the setup program beside it again with "Uac=yes": as a copy in a folder of its own below
the system's temporary folder, which only administrators may change (Wine keeps no DACL: only the copy, the
folder's place and its removal can be seen here), waiting for it and removing the folder after; a run with
administrator rights runs such a copy too. The copy logs into the protected log and takes from the user no
file, no text of the language files, no install folder from a key or folder the user may write; the run that
asked for the rights takes in no log but an administrator's."""
import glob
import os
import re
import shutil
import xml.etree.ElementTree as ET

import signing
from pathlib import Path
from harness import (DRIVER, IDOK, OLD_DRIVER, E2ETestCase, ProductServer, ProtectedLog, Sandbox, Wine,
                     prefix_path, read_locale_text, registry, stand_in, wait_exit, windows_processes, windows_path)
from installed import VERSION
from resource_ids import IDC_NEXT, IDC_PATH_EDIT

CAPTION = read_locale_text("en-us", "language.caption")
COPIES = r"C:\windows\temp"
COPY = re.compile(r"^C:\\windows\\temp\\ZanSetup-elevated-[0-9a-f]{32}\\ZanSetup\\ZanSetup\.exe$", re.I)


PLANTED = "Planted by the user"


def launcher(box):
    return windows_path(os.path.join(box.program_dir, "ZanSetupSH.exe"))


def plant_language_files(box):
    """Every text of the user's language files in the program's folder becomes PLANTED."""
    folder = os.path.join(box.program_dir, "language")
    for name in os.listdir(folder):
        tree = ET.parse(os.path.join(folder, name))
        for element in tree.getroot().iter():
            if element.text and element.text.strip():
                element.text = PLANTED
        tree.write(os.path.join(folder, name), encoding="utf-8", xml_declaration=True)


class Launcher(E2ETestCase):
    def test_it_runs_a_copy_in_a_folder_of_its_own_and_removes_it_and_only_copies_of_ours_left_behind(self):
        box = Sandbox("launcher-args")
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
            Path(path).write_text("x")
        # A junction inside a copy: Wine shows a link as a reparse point.
        os.symlink(victim, os.path.join(linked, "junction"))
        lock = os.path.join(running, "running.lock")
        open(lock, "w").close()
        self.hold("lock", lock, 60)
        log = ProtectedLog()
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

    def test_a_pinned_launcher_refuses_an_older_copy_and_one_not_signed_with_a_pinned_key(self):
        # The signed copy that it starts: test_dll_search.
        box = Sandbox("launcher-pinned", variant="pinned")
        stranger = signing.Identity(os.path.join(box.root, "keys"), "Another publisher")
        refusal = "ZanSetupSH: the setup program is not started elevated: "
        unsigned = refusal + "it is not signed by our publisher, error code: "
        older = refusal + "its version 0.0.0.1 is older than this launcher's %s" % ".".join(
            (VERSION.split(".") + ["0"] * 4)[:4])
        # signer, program, whether everybody may write into the log folder
        # (Wine keeps a folder's rules as its mode), the line logged
        rows = [(None, DRIVER, False, unsigned + "0x800b0100, key: "),
                (stranger, DRIVER, False, unsigned + "0x00000000, key: " + stranger.pin),
                # An older program is refused before its signature is looked at.
                (None, OLD_DRIVER, True, None), (None, OLD_DRIVER, False, older)]
        folder = prefix_path(ProtectedLog.FOLDER)
        for signer, driver, open_to_all, line in rows:
            with self.subTest(signer=signer and signer.name, driver=driver, open_to_all=open_to_all):
                if open_to_all:  # the earlier rows' lines made the folder
                    mode = os.stat(folder).st_mode & 0o777
                    os.chmod(folder, 0o777)
                    self.addCleanup(os.chmod, folder, mode)
                log = ProtectedLog()
                self.assertIsNone(self.run_launcher(box, " App=Foo", signer=signer, driver=driver), log.lines())
                if open_to_all:
                    os.chmod(folder, mode)
                self.assertEqual([line] if line else [], [l for l in log.lines() if l.startswith("ZanSetupSH:")])
                self.assertEqual([], box.log_lines())

    def run_missing_product(self, box, wine, command_line, code, log, rights=None):
        """A run for a product the server has not (a 404, which is not tried again), its error box answered
        while its protected copy runs. The information fails before any language file of the product arrives:
        the progress dialog and the error box show the program's own texts, none of the language files the
        user planted."""
        plant_language_files(box)
        process = self.start(wine, command_line + " App=Missing Ver=1.0", rights=rights)
        error = wine.find_message(CAPTION, read_locale_text("en-us", "language.downloadinfoerror"), timeout_ms=30000)
        self.assertIsNotNone(error, "no information error box with the program's own texts; log: %r" % log.lines())
        texts = []
        for hwnd in wine.find_all(visible=True):
            title, controls = wine.texts(hwnd)
            texts += [title] + [control[3] for control in controls.values()]
        self.assertIn(read_locale_text("en-us", "language.progresstext"), texts)
        self.assertEqual([], [text for text in texts if PLANTED in text])
        copies = [line for line in windows_processes("ZanSetup.exe") if "Uac=yes" in line]
        self.assertEqual(1, len(copies), windows_processes("ZanSetup.exe"))
        self.assertRegex(copies[0].split(" App=")[0].strip('"'), COPY)
        # Its download folder lies inside the protected folder.
        downloads = glob.glob(os.path.join(prefix_path(COPIES), "ZanSetup-elevated-*", "download", "Missing"))
        self.assertEqual(1, len(downloads), downloads)
        wine.click(error, 1)
        self.assertEqual(code, wait_exit(process))
        self.assertIn("the Produce name:Missing, version: 1.0", log.lines())

    def test_the_launchers_and_an_administrators_run_run_the_protected_copy_and_write_nothing_for_the_user(self):
        box = Sandbox("launcher-log")
        user_log = os.path.join(box.program_dir, "zansetup.log")
        open(user_log, "wb").close()
        before = sorted(os.listdir(box.program_dir))
        # Whatever opened the user's log for writing now fails.
        self.hold("lock", user_log, 60)
        wine = Wine()
        with ProductServer(box):
            log = ProtectedLog()
            self.run_missing_product(box, wine, launcher(box), 0, log)
            self.assertIn("the elevated run leaves the update check to the run before it", log.lines())
            log = ProtectedLog()
            self.run_missing_product(box, wine, box.program, 2, log, rights="--elevated")
            self.assertIn("the setup program runs with administrator rights from %s\\: it runs its protected copy "
                          "instead" % windows_path(box.program_dir), log.lines())
        self.assertEqual(before, sorted(os.listdir(box.program_dir)))
        self.assertFalse(os.path.exists(os.path.join(box.root, "download")))
        self.assertEqual(0, os.path.getsize(user_log))

        # A run with the rights that claims to be the copy is refused, not copied again.
        log = ProtectedLog()
        process = self.start(wine, box.program + " App=Missing Ver=1.0 Uac=yes", rights="--elevated")
        refusal = wine.message_box("ZanSetup", timeout_ms=30000)
        self.assertIsNotNone(refusal, "no refusal; log: %r" % log.lines())
        wine.click(refusal, 1)
        self.assertEqual(0, wait_exit(process))
        self.assertEqual(["the setup program does not run with administrator rights from %s\\: it was started as "
                          "the protected copy but is none" % windows_path(box.program_dir)],
                         [line for line in log.lines() if line.startswith("the setup program")])

    def test_the_run_that_asked_for_the_rights_takes_the_elevated_runs_log_but_none_through_a_link(self):
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

            # The log folder swapped for a link to a folder of the user's, which holds a log of the account's
            # name that grows while the elevated run lasts. (Wine shows a link to a folder as one; a link to a
            # file it follows.)
            box.reset_log()
            planted = os.path.join(box.root, "logs")
            os.makedirs(planted)
            planted_log = os.path.join(planted, os.path.basename(ProtectedLog().path))
            open(planted_log, "wb").close()
            folder = prefix_path(ProtectedLog.FOLDER)
            os.rename(folder, folder + ".kept")
            self.addCleanup(os.rename, folder + ".kept", folder)
            os.symlink(planted, folder)
            self.addCleanup(os.remove, folder)

            def plant():
                with open(planted_log, "ab") as f:
                    f.write(b"2024-01-01 00:00:00\t" + PLANTED.encode() + b"\r\n")
            self.run_refused_for_want_of_rights(box, server, wine, while_open=plant)
        lines = box.log_lines()
        self.assertEqual(["the elevated run wrote nothing to " + ProtectedLog.FOLDER], [
            line.split("\\zansetup-")[0] for line in lines if line.startswith("the elevated run")])
        self.assertNotIn(PLANTED, lines)

    def test_its_folder_comes_from_the_machines_keys_and_never_lies_where_users_may_write(self):
        box = Sandbox("elevated-folder")
        key = r"HKCU\Software\ZanSetupTest\ElevatedFolder"
        self.assertEqual(0, registry("set", key, "InstallDir", "sz", r"C:\users\Public\Product")[0])
        self.addCleanup(registry, "delete", key)
        # Wine keeps a folder's rules as its mode: everybody may write here.
        open_folder = os.path.join(box.root, "open")
        os.makedirs(open_folder)
        os.chmod(open_folder, 0o777)
        target = windows_path(open_folder) + "\\Product"
        log = ProtectedLog()
        with ProductServer(box) as server:
            server.publish("Folder", version="1.0", dir_opt_show=1, default_dir=target,
                           read_key=r"HKEY_CURRENT_USER\Software\ZanSetupTest\ElevatedFolder\InstallDir")
            wine = Wine()
            process = self.start(wine, launcher(box) + " App=Folder Ver=1.0")
            dialog = wine.find(title=CAPTION, control=IDC_NEXT, timeout_ms=30000)
            self.assertIsNotNone(dialog, "no install path dialog; log: %r" % log.lines())
            # The user's key is not read: the document's default is offered.
            self.assertEqual(target, wine.texts(dialog)[1][IDC_PATH_EDIT][3])
            wine.click(dialog, IDC_NEXT)
            error = wine.find_message(CAPTION, read_locale_text("en-us", "language.installprodcueerror"),
                                      timeout_ms=30000)
            self.assertIsNotNone(error, "no install error; log: %r" % log.lines())
            wine.click(error, IDOK)
            self.assertEqual(0, wait_exit(process))
            requests = [entry.request for entry in server.access_log()]
        lines = log.lines()
        self.assertIn("the elevated run reads install folders from HKEY_LOCAL_MACHINE only, not from: "
                      r"HKEY_CURRENT_USER\Software\ZanSetupTest\ElevatedFolder\InstallDir", lines)
        self.assertIn("the elevated run does not install into a folder that users may change: " + target, lines)
        self.assertFalse([request for request in requests if "DemoSetup" in request], "the package was fetched")
        self.assertFalse(os.path.exists(os.path.join(open_folder, "Product")))

    def test_without_a_setup_program_beside_it_none_elsewhere_starts_and_it_ends_with_0(self):
        box = Sandbox("launcher-alone")
        os.remove(os.path.join(box.program_dir, "ZanSetup.exe"))
        # One in the current folder, where a bare name would find it.
        planted = stand_in(os.path.join(box.root, "current"))
        process = self.start(Wine(), launcher(box) + " App=Foo", cwd=os.path.dirname(planted))
        self.assertEqual(0, wait_exit(process))
        self.assertFalse(os.path.exists(planted + ".cmdline"), "the planted program was started")
