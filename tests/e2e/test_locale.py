"""A user in China, in the Chinese locale (for Wine: ANSI code page 936,
GBK, and UTF-8 file names on the host): ZanSetup installed by its own
installer into a profile folder with Chinese characters in its name, and a
product installed by it into a folder with a Chinese name. The log is kept
in the ANSI code page, so it reads back as GBK text."""
import os
import unittest

from harness import ProductServer, Sandbox, Wine, read_locale_text, read_log_lines, wait_exit, windows_path
from installed import INSTALLER, FreshPrefix, InstalledTestCase
from resource_ids import IDC_NEXT, IDC_PATH_EDIT

LANGUAGE = "zh-cn"
PREFIX = FreshPrefix("locale")
PRODUCT_FOLDER = "C:\\ZanTest\\\u6f14\u793a\u4ea7\u54c1"  # "demo product"


def setUpModule():
    PREFIX.start()


def tearDownModule():
    PREFIX.stop()


class ChineseFolders(InstalledTestCase):
    def setUp(self):
        super().setUp()
        corvela = os.path.join(self.root, "\u672c\u5730\u7a0b\u5e8f", "Corvela")  # "local programs"
        self.folder = os.path.join(corvela, "ZanSetup")
        self.download = os.path.join(corvela, "download")
        os.makedirs(corvela)

    def test_zansetup_and_a_product_go_into_chinese_folders_and_the_log_reads_as_gbk(self):
        wine = Wine(LANGUAGE)
        install = '"%s" /S /D=%s' % (windows_path(INSTALLER), windows_path(self.folder))
        self.assertEqual(0, wait_exit(self.start(wine, install), timeout=120))
        self.addCleanup(self.uninstall_leftovers)
        program = os.path.join(self.folder, "ZanSetup.exe")
        self.assertTrue(os.path.exists(program), os.listdir(os.path.dirname(self.folder)))
        log = os.path.join(self.folder, "zansetup.log")

        with ProductServer(Sandbox("locale-product")) as server:
            server.publish("Demo", version="1.0", default_dir=PRODUCT_FOLDER)
            process = self.start(wine, '"%s" App=Demo Ver=1.0' % windows_path(program))
            dialog = wine.find(title=read_locale_text(LANGUAGE, "language.caption"), control=IDC_NEXT,
                               timeout_ms=60000)
            self.assertIsNotNone(dialog, "no install path dialog; log: %r" % read_log_lines(log, code_page="gbk"))
            self.assertEqual(PRODUCT_FOLDER, wine.texts(dialog)[1][IDC_PATH_EDIT][3])
            wine.click(dialog, IDC_NEXT)
            self.assertEqual(2, wait_exit(process, timeout=120))

        self.assertTrue(os.path.exists(PREFIX.drive_path(PRODUCT_FOLDER + "\\installed.txt")))
        lines = read_log_lines(log, code_page="gbk")
        package = windows_path(os.path.join(self.download, "Demo", "install.exe"))
        expected = ["Set instal path: " + PRODUCT_FOLDER, 'begin install:"%s" /S /D=%s' % (package, PRODUCT_FOLDER),
                    "end install"]
        self.assertEqual(expected, [line for line in lines if line in expected], lines)
        self.uninstall()


if __name__ == "__main__":
    unittest.main()
