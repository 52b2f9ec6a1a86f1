"""A "zansetup:" link under Wine, as today's browsers hand it on: the
installer registers the scheme per user, ShellExecuteExW of the link starts
the installed ZanSetup, and a good link installs the product while a hostile
one ends the run at once with its log line, having fetched and made nothing.

Wine 8 resolves a scheme registered under HKEY_CLASSES_ROOT but not one under
HKEY_CURRENT_USER\\Software\\Classes, which Windows merges into it: the
installer's per-user key is checked by the installer's tests, and copied
under HKLM\\Software\\Classes here for the launch."""
import html
import os
import re
import unittest

from harness import (SOURCE, ProductServer, Sandbox, Wine, flavour_free, read_locale_text, read_log_lines,
                     wait_exit, wait_until, windows_path)
from installed import FreshPrefix, InstalledTestCase, file_tree, running_from
from resource_ids import IDC_NEXT

CAPTION = read_locale_text("en-us", "language.caption")
PREFIX = FreshPrefix("link")
PRODUCT_FOLDER = "C:\\ZanTest\\by link"


def setUpModule():
    PREFIX.start()


def tearDownModule():
    PREFIX.stop()


def sample_page():
    with open(os.path.join(SOURCE, "tools", "oneclick-sample.html"), encoding="utf-8") as f:
        return f.read()


class Link(InstalledTestCase):
    def setUp(self):
        super().setUp()
        self.install()
        self.merge_classes(["zansetup"])
        self.log = os.path.join(self.folder, "zansetup.log")
        self.server = ProductServer(Sandbox("link-" + self.id().rsplit(".", 1)[1]))
        self.server.publish("Demo", version="1.0", default_dir=PRODUCT_FOLDER)
        self.server.__enter__()
        self.addCleanup(self.server.__exit__)

    def open_link(self, link):
        process = Wine().open_link(link)
        self.processes.append(process)
        return process

    @flavour_free
    def test_the_sample_page_s_link_installs_the_product_as_its_arguments_would(self):
        link = html.unescape(re.search(r'<a id="zanLink" href="([^"]+)"', sample_page()).group(1))
        process = self.open_link(link)
        dialog = Wine().find(title=CAPTION, control=IDC_NEXT, timeout_ms=60000)
        self.assertIsNotNone(dialog, "no install path dialog; log: %r" % read_log_lines(self.log))
        Wine().click(dialog, IDC_NEXT)
        self.assertEqual(2, wait_exit(process, timeout=120))
        lines = read_log_lines(self.log)
        self.assertIn("the Produce name:Demo, version: 1.0", lines)
        self.assertIn("end install", lines)
        self.assertTrue(os.path.exists(PREFIX.drive_path(PRODUCT_FOLDER + "\\installed.txt")))
        # Its exit code is out before its Unix process has gone.
        self.assertTrue(wait_until(lambda: not running_from(self.folder), timeout=30), running_from(self.folder))

    def test_hostile_links_end_the_run_with_their_line_and_make_nothing(self):
        links = {
            "zansetup://install?app=Demo&ver=1.0&uac=yes": "the key \"uac\" is not allowed",
            # Would split into a second argument if decoded into the command line.
            "zansetup://install?app=Demo%22%20Uac%3Dyes&ver=1.0": "the product name is not usable",
            "zansetup://install?app=..%5C..%5CWindows&ver=1.0": "the product name is not usable",
        }
        corvela = os.path.dirname(self.folder)
        for link, reason in links.items():
            with self.subTest(link=link):
                drive_before = PREFIX.tree()
                ours_before = set(file_tree(corvela))
                lines_before = len(read_log_lines(self.log)) if os.path.exists(self.log) else 0
                self.assertEqual(0, wait_exit(self.open_link(link), timeout=60))
                self.assertEqual(["the link is not usable, setup ends: " + reason],
                                 read_log_lines(self.log)[lines_before:])
                self.assertEqual(set(), set(file_tree(corvela)) - ours_before - {"ZanSetup/zansetup.log"})
                # The program folder lies on drive C too: its log is the one change.
                log = os.path.relpath(self.log, PREFIX.drive_path("C:\\"))
                self.assertEqual({k: v for k, v in drive_before.items() if k != log},
                                 {k: v for k, v in PREFIX.tree().items() if k != log}, "nothing was made on drive C")
        self.assertEqual([], self.server.access_log(), "nothing was fetched")


if __name__ == "__main__":
    unittest.main()
