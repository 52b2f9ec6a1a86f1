"""The install workflow up to the folder step, worked through its real
dialogs under Wine against nginx: information download, language switch,
the install path dialog and cancelling (test_refusals has the information
errors)."""
import os
import unittest

from harness import (IDCANCEL, IDNO, IDOK, IDYES, UPDATE_DOCUMENT, E2ETestCase, ProductServer, Sandbox, Wine,
                     read_locale_text, record_delete, record_get, record_reset, set_dpi, wait_exit)
from resource_ids import IDC_BROWSE, IDC_GROUP, IDC_HEADING, IDC_NEXT, IDC_PATH_EDIT


def downloaded_languages(folder):
    """Language files whose caption says they came from the server."""
    source = os.path.join(os.path.dirname(__file__), "..", "..", "setup", "ui", "language")
    os.makedirs(folder, exist_ok=True)
    for code in ("zh-cn", "zh-tw", "en-us"):
        with open(os.path.join(source, code + ".locale"), encoding="utf-8") as f:
            text = f.read()
        text = text.replace("<caption>", "<caption>Demo - ", 1)
        with open(os.path.join(folder, code + ".locale"), "w", encoding="utf-8") as f:
            f.write(text)
    return folder


class PathDialog(E2ETestCase):
    def reach_path_dialog(self, language, box, server, omit=()):
        lang_dir = downloaded_languages(os.path.join(box.root, "server-lang"))
        server.publish("Demo", version="1.0", lang_dir=lang_dir,
                       default_dir="%PROGRAMFILES%\\Demo Product", omit=list(omit))
        wine = Wine(language)
        process = self.start(wine, box.program + " App=Demo Ver=1.0")
        caption = "Demo - " + read_locale_text(language, "language.caption")
        dialog = wine.find(title=caption, control=IDC_NEXT)
        self.assertIsNotNone(dialog, "no install path dialog titled %r" % caption)
        return wine, process, dialog

    def check_dialog_in(self, language, omit=()):
        box = Sandbox("workflow-path-" + language)
        # A self-update check is due: its stamp line comes first.
        record_delete()
        self.addCleanup(record_reset)
        with ProductServer(box) as server:
            wine, process, dialog = self.reach_path_dialog(language, box, server, omit)
            title, controls = wine.texts(dialog)
            self.assertEqual("C:\\Program Files\\Demo Product", controls[IDC_PATH_EDIT][3])
            for control, key in ((IDC_NEXT, "nextbutton"), (IDCANCEL, "cancelbutton"),
                                 (IDC_BROWSE, "selectbutton"), (IDC_HEADING, "statictext"),
                                 (IDC_GROUP, "grouptext")):
                self.assertEqual(read_locale_text(language, "language.selectpath." + key),
                                 controls[control][3], key)
            box.screenshot("path-dialog-" + language)

            wine.click(dialog, IDC_NEXT)
            self.assertTrue(wine.wait_gone(dialog))
            box.wait_for_log_line("Produce isnot exist, download")
            # The update worker's line (no update is published) comes when it comes.
            no_update = "download new.xml failed, url: %s%s" % (server.base_url, UPDATE_DOCUMENT)
            box.wait_for_log_line(no_update)
            lines = box.log_lines()
            lines.remove(no_update)
            self.assertEqual(["the Produce name:Demo, version: 1.0",
                              "write the update time " + record_get("updatetime"),
                              "the Produce url:%s/zansetup/soft/Demo/1.0/soft.info" % server.base_url,
                              "Download soft.xml url: %s/zansetup/soft/Demo/1.0/soft.info" % server.base_url],
                             lines[:4])
            self.assertIn("Set instal path: C:\\Program Files\\Demo Product", lines)
            self.assertLess(lines.index("Set instal path: C:\\Program Files\\Demo Product"),
                            lines.index("Produce isnot exist, download"))
            self.assertTrue(os.path.exists(os.path.join(box.download_dir(), "Demo", "%s.locale" % language)))
            # The checksum is read before the download too, logged when missing.
            missing = "get value with tag:soft_info.package.checksum failed"
            if omit:
                self.assertEqual(lines.index("Produce isnot exist, download") - 1, lines.index(missing), lines)
                # The downloaded package then matches no checksum.
                error = wine.message_box("Demo - " + read_locale_text(language, "language.caption"),
                                         timeout_ms=60000)
                self.assertIsNotNone(error, "no install error")
                wine.click(error, IDOK)
            else:
                self.assertNotIn(missing, lines)
            for hwnd in wine.main_dialogs():
                wine.close(hwnd)
            wait_exit(process, timeout=60)

    # The other languages' texts: test_languages.
    def test_the_dialog_and_a_document_without_checksum(self):
        self.check_dialog_in("en-us", ["soft_info.package.checksum"])

    def test_at_144_dpi_the_dialog_grows_by_half_in_english_and_chinese(self):
        # Wine draws every program at the screen's DPI, declared aware or
        # not (the manifests are the unit tests'); what is ours is that the
        # dialog, laid out in dialog units, grows with it. The screenshots
        # are for a person.
        self.addCleanup(set_dpi, 96)
        sizes = {}
        for language, dpi in (("en-us", 96), ("en-us", 144), ("zh-cn", 144)):
            set_dpi(dpi)
            box = Sandbox("workflow-dpi-%d-%s" % (dpi, language))
            with ProductServer(box) as server:
                wine, process, dialog = self.reach_path_dialog(language, box, server)
                sizes[language, dpi] = wine.size(dialog)
                if dpi != 96:
                    box.screenshot("path-dialog-%ddpi-%s" % (dpi, language))
                for hwnd in wine.main_dialogs():
                    wine.close(hwnd)
                wait_exit(process, timeout=60)
        base = sizes["en-us", 96]
        for language in ("en-us", "zh-cn"):
            for grown, small in zip(sizes[language, 144], base):
                self.assertAlmostEqual(1.5, grown / small, delta=0.1, msg=(language, sizes))

    def test_cancel_asks_and_yes_ends_with_2(self):
        box = Sandbox("workflow-path-cancel")
        with ProductServer(box) as server:
            wine, process, dialog = self.reach_path_dialog("en-us", box, server)
            confirm_caption = "Demo - " + read_locale_text("en-us", "language.caption")
            wine.click(dialog, IDCANCEL)
            confirm = wine.message_box(confirm_caption)
            self.assertIsNotNone(confirm, "no confirmation box")
            self.assertEqual(read_locale_text("en-us", "language.messagebox"), wine.message_text(confirm))
            wine.click(confirm, IDNO)
            self.assertTrue(wine.wait_gone(confirm))
            # The click needs the dialog still there.
            self.assertIsNone(process.poll(), "No must keep the setup waiting")
            wine.click(dialog, IDCANCEL)
            confirm = wine.message_box(confirm_caption)
            self.assertIsNotNone(confirm)
            wine.click(confirm, IDYES)
            self.assertEqual(2, wait_exit(process))
            self.assertNotIn("Produce isnot exist, download", box.log_lines())


if __name__ == "__main__":
    unittest.main()
