"""What an elevated run (the launcher's protected copy) takes from the user:
no text of the user's language files, no install folder from a key the
user may write, no folder the user may change to install into, and, for the
run that asked for the rights, no log but the one an administrator's process
wrote."""
import os
import unittest
import xml.etree.ElementTree as ET

from harness import (IDOK, E2ETestCase, ProductServer, ProtectedLog, Sandbox, Wine, prefix_path, read_locale_text,
                     registry, wait_exit, windows_path)
from resource_ids import IDC_NEXT, IDC_PATH_EDIT

CAPTION = read_locale_text("en-us", "language.caption")
PLANTED = "Planted by the user"


def plant_language_files(box):
    """Every text of the user's language files in the program's folder
    becomes PLANTED."""
    folder = os.path.join(box.program_dir, "language")
    for name in os.listdir(folder):
        tree = ET.parse(os.path.join(folder, name))
        for element in tree.getroot().iter():
            if element.text and element.text.strip():
                element.text = PLANTED
        tree.write(os.path.join(folder, name), encoding="utf-8", xml_declaration=True)


class ElevatedRun(E2ETestCase):
    def start_launcher(self, box, wine, args, rights=None):
        launcher = windows_path(os.path.join(box.program_dir, "ZanSetupSH.exe"))
        return self.start(wine, launcher + args, rights)

    def shown_texts(self, wine):
        """The title and control texts of every visible dialog and box."""
        texts = []
        for hwnd in wine.find_all(visible=True):
            title, controls = wine.texts(hwnd)
            texts += [title] + [control[3] for control in controls.values()]
        return texts

    def test_no_window_shows_a_language_file_the_user_planted(self):
        box = Sandbox("elevated-planted-language")
        plant_language_files(box)
        wine = Wine("en-us")
        # The information fails (a 404, which is not tried again) before any
        # language file of the product arrives: the progress dialog and the
        # error box show the program's own texts.
        with ProductServer(box):
            process = self.start_launcher(box, wine, " App=Missing Ver=1.0")
            error = wine.find_message(CAPTION, read_locale_text("en-us", "language.downloadinfoerror"),
                                      timeout_ms=30000)
            self.assertIsNotNone(error, "no information error box with the program's own texts")
            texts = self.shown_texts(wine)
            self.assertIn(read_locale_text("en-us", "language.progresstext"), texts)
            self.assertEqual([], [text for text in texts if PLANTED in text])
            wine.click(error, IDOK)
            self.assertEqual(0, wait_exit(process))

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
            wine = Wine("en-us")
            process = self.start_launcher(box, wine, " App=Folder Ver=1.0")
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

    def test_the_run_that_asked_for_the_rights_copies_no_log_that_is_a_link(self):
        box = Sandbox("elevated-log-link")
        log = ProtectedLog()
        self.assertIsNotNone(log.path, "no protected log yet")
        # The log folder swapped for a link to a folder of the user's, which
        # holds a log of the account's name that grows while the elevated run
        # lasts. (Wine shows a link to a folder as one; a link to a file it
        # follows.)
        planted = os.path.join(box.root, "logs")
        os.makedirs(planted)
        planted_log = os.path.join(planted, os.path.basename(log.path))
        open(planted_log, "wb").close()
        folder = prefix_path(ProtectedLog.FOLDER)
        os.rename(folder, folder + ".kept")
        self.addCleanup(os.rename, folder + ".kept", folder)
        os.symlink(planted, folder)
        self.addCleanup(os.remove, folder)
        wine = Wine("en-us")
        def plant():
            with open(planted_log, "ab") as f:
                f.write(b"2024-01-01 00:00:00\t" + PLANTED.encode() + b"\r\n")
        with ProductServer(box) as server:
            self.run_refused_for_want_of_rights(box, server, wine, while_open=plant)
        lines = box.log_lines()
        self.assertEqual(["the elevated run wrote nothing to " + ProtectedLog.FOLDER], [
            line.split("\\zansetup-")[0] for line in lines if line.startswith("the elevated run")])
        self.assertNotIn(PLANTED, lines)


if __name__ == "__main__":
    unittest.main()
