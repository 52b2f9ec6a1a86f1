"""ZanSetup put in place by its own installer, in a Wine prefix made new for one test module, with its own
display and server: these tests install and uninstall for real and compare the prefix with itself."""
import os
import shutil
from unittest import mock

import testenv
from harness import (ARCH, BIN, BUILD, E2ETestCase, Wine, profile_folder, record_delete, record_reset,
                     registry, wait_exit, wait_until, windows_command_lines, windows_path)
from test_plugin import wine

VERSION = [line.split("=", 1)[1] for line in open(os.path.join(BIN, "..", "CMakeCache.txt"))
           if line.startswith("ZANSETUP_VERSION:")][0].strip()
# Each flavour's installer carries its name, and its installed-programs entry is named after its folder.
SUFFIX = "-x64" if ARCH == "x64" else ""
INSTALLER = os.path.join(BIN, "ZanSetup-%s%s-setup.exe" % (VERSION, SUFFIX))
# The same sources with the next version, packaged the same way (tests/e2e/CMakeLists.txt).
NEXT_VERSION = VERSION + (".1" if VERSION.count(".") < 3 else "1")
NEXT_BIN = os.path.join(BIN, "..", "tests-bin", "next")
NEXT_INSTALLER = os.path.join(BIN, "..", "tests-bin", "ZanSetup-%s%s-setup.exe" % (NEXT_VERSION, SUFFIX))
RECORD = r"Software\Corvela\ZanSetup"
DISPLAY_NAME = "ZanSetup (64-bit)" if ARCH == "x64" else "ZanSetup"
UNINSTALL_ROOT = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
UNINSTALL = UNINSTALL_ROOT + "ZanSetup" + SUFFIX
OTHER_UNINSTALL = UNINSTALL_ROOT + ("ZanSetup" if ARCH == "x64" else "ZanSetup-x64")


class FreshPrefix:
    """build/wineprefix-NAME, made new by start() and pointed to by the environment the harness's Wine runs
    use, until stop(). `screen`: the size of its display, as Xvfb takes it ("2048x768x24")."""

    def __init__(self, name, screen=None):
        self.prefix = os.path.join(BUILD, "wineprefix-" + name)
        self.env_folder = os.path.join(BUILD, "test-env-" + name)
        self.screen = screen
        # What start() sets in the environment, stop() takes back.
        self._environment = mock.patch.dict(os.environ)

    def start(self):
        display = testenv.start_fresh(BUILD, self.prefix, self.env_folder, self.screen or testenv.SCREEN)
        self._environment.start()
        os.environ.update(ZANSETUP_WINEPREFIX=self.prefix, ZANSETUP_TEST_ENV=self.env_folder, DISPLAY=display)

    def stop(self):
        testenv.stop(BUILD, quiet=True, prefix=self.prefix, folder=self.env_folder)
        self._environment.stop()

    def drive_path(self, windows):
        """The host path of a C:\\ path in this prefix."""
        assert windows[:3].upper() == "C:\\", windows
        return os.path.join(self.prefix, "drive_c", *windows[3:].split("\\"))

    def tree(self):
        """{path below the prefix's drive C: file size, -1 for a link, None for a folder}"""
        root = os.path.join(self.prefix, "drive_c")
        tree = {}
        for folder, folders, files in os.walk(root):
            relative = os.path.relpath(folder, root)
            tree[relative] = None
            for name in files:
                path = os.path.join(folder, name)
                tree[os.path.join(relative, name)] = os.path.getsize(path) if not os.path.islink(path) else -1
        return tree


def changed_entries(before, after):
    return sorted(k for k in set(before) | set(after) if before.get(k, "-") != after.get(k, "-"))


def running_from(folder):
    """Windows processes whose program lies in `folder`."""
    return [line for line in windows_command_lines() if line.startswith(windows_path(folder) + "\\")]


class InstalledTestCase(E2ETestCase):
    """Each test has a program folder of its own in the user's profile (the installer takes no other), below
    a folder with a blank in its name."""

    def setUp(self):
        super().setUp()
        record_delete()
        self.addCleanup(record_reset)
        self.root = profile_folder("zansetup-tests", self.id().rsplit(".", 1)[1])
        shutil.rmtree(self.root, ignore_errors=True)
        self.folder = os.path.join(self.root, "Local App", "Corvela", "ZanSetup")
        self.download = os.path.join(self.root, "Local App", "Corvela", "download")
        # There before the test, as a user's own folders are.
        os.makedirs(os.path.dirname(self.folder))

    def install(self, options="", code=0, folder=True):
        """A silent install with `options` before /D= (none unless `folder`) that must end with `code`."""
        # /D= comes last and unquoted, blanks and all: the command line is handed over exactly as written.
        parts = [options] * bool(options) + ["/D=" + windows_path(self.folder)] * folder
        command_line = '"%s" /S %s' % (windows_path(INSTALLER), " ".join(parts))
        self.assertEqual(code, wait_exit(self.start(Wine(), command_line), timeout=120))
        self.addCleanup(self.uninstall_leftovers)

    def uninstall(self):
        # The uninstaller copies itself aside and returns at once; it has finished when its last step, the
        # installed-programs entry's removal, is done.
        code, out = wine(os.path.join(self.folder, "uninstall.exe"), "/S")
        self.assertEqual(0, code, out)
        self.assertTrue(wait_until(lambda: registry("exists", "HKCU\\" + UNINSTALL)[0] != 0),
                        "the uninstaller did not finish")
        if os.path.exists(self.folder):
            self.fail("the uninstaller left %r" % os.listdir(self.folder))

    def uninstall_leftovers(self):
        if os.path.exists(os.path.join(self.folder, "uninstall.exe")):
            wine(os.path.join(self.folder, "uninstall.exe"), "/S")
            wait_until(lambda: not os.path.exists(self.folder))

    def merge_classes(self, keys):
        """Copies per-user class keys under HKLM\\Software\\Classes for the test: Wine 8 does not merge HKCU's
        into HKEY_CLASSES_ROOT as Windows does, so COM and ShellExecuteExW would not see them."""
        for key in keys:
            self.assertEqual(0, wine("reg", "copy", "HKCU\\Software\\Classes\\" + key,
                                     "HKLM\\Software\\Classes\\" + key, "/s", "/f")[0])
            self.addCleanup(wine, "reg", "delete", "HKLM\\Software\\Classes\\" + key, "/f")
