"""The programs that may run as administrator load no DLL that a user could plant beside them: at start only
Known DLLs, the rest only once the program has restricted the search to the system folder. Wine searches for a
DLL set to "native, then builtin" as Windows does for one that is not a Known DLL, so a planted copy is loaded
here where Windows would load it (with one difference of Wine's own, below)."""
import contextlib
import os
import shutil

import signing
from harness import (BUILD, SECOND_PORT, E2ETestCase, ProductServer, ProtectedLog, Sandbox, Wine, stand_in,
                     windows_path)

# Copies of this DLL mark their own loading ("NAME.dll.loaded" beside them).
MARKER = os.path.join(BUILD, "tests-bin", "zsmarker.dll")
# Delay-loads crypt32 with our programs' hook, the DLL search left as it starts.
PROBE = os.path.join(BUILD, "tests-bin", "zsdelayprobe.exe")
PLANTED = ("wintrust", "crypt32", "bcrypt", "wininet", "comctl32", "version")
# Wine's own user32 imports version.dll, which Windows' does not: beside a program that imports user32 a
# planted version.dll would be loaded by Wine's doing, so there Wine keeps its own.
BESIDE_USER32 = tuple(name for name in PLANTED if name != "version")


class PlantedDlls(E2ETestCase):
    @contextlib.contextmanager
    def planted_beside(self, folder, names=PLANTED, expected=()):
        """Plants copies under `names` in `folder` and yields a Wine that searches for those DLLs as Windows
        does; after the block, exactly the `expected` ones must have been loaded, whether it passed or not."""
        for name in names:
            shutil.copy2(MARKER, os.path.join(folder, name + ".dll"))
        try:
            yield Wine("en-us", dll_overrides="mscoree,mshtml=;winemenubuilder.exe=d;%s=n,b" % ",".join(names))
        finally:
            # A copy's marker takes the name the loader asked for ("CRYPT32.dll").
            marks = {name.lower() for name in os.listdir(folder)}
            loaded = [name for name in PLANTED if name + ".dll.loaded" in marks]
            self.assertEqual(sorted(expected), sorted(loaded), "planted DLLs that were loaded")

    def test_planted_dlls_are_loaded_by_neither_program(self):
        # The plant shows: the stand-in imports crypt32 and version at load time.
        folder = os.path.join(Sandbox("dll-search-control").root, "control")
        program = stand_in(folder, "Control.exe")
        with self.planted_beside(folder, expected=("crypt32", "version")) as wine:
            self.assertEqual(0, self.start(wine, '"%s"' % program).wait(timeout=60))
            self.assertTrue(os.path.exists(program + ".cmdline"), "the stand-in did not run")

        with self.subTest(program="ZanSetup.exe"):
            # It asks for its install information over WinINet from a server that has none (a 404, which is
            # not tried again; plain http, as Wine's TLS would load crypt32 by name) and shows the error box,
            # having set up the common controls.
            box = Sandbox("dll-search-setup", variant="http")
            base = "http://127.0.0.1:%d" % SECOND_PORT
            with ProductServer(box, base=base), self.planted_beside(box.program_dir, BESIDE_USER32) as wine:
                lines = self.run_setup(box, "Missing", error_key="language.downloadinfoerror", wine=wine)
                self.assertIn("Download soft.xml failed, url: %s/zansetup/soft/Missing/1.0/soft.info, "
                              "error code: 404" % base, lines)

        with self.subTest(program="ZanSetupSH.exe"):
            # Pinned, so that it checks the copy's signature (wintrust,
            # crypt32) besides naming the copy's folder at random (bcrypt).
            box = Sandbox("dll-search-launcher", variant="pinned")
            with self.planted_beside(box.program_dir) as wine:
                log = ProtectedLog()
                record = self.run_launcher(box, " App=Foo", signer=signing.test_publisher(BUILD), wine=wine)
                self.assertIsNotNone(record, "the signed copy was not started; log: %r" % log.lines())
                self.assertIn("App=Foo Uac=yes", record[0])
                # Its refusals: test_launcher.
                self.assertEqual([], [l for l in log.lines() if l.startswith("ZanSetupSH:")])
                self.assertEqual([], box.log_lines())

    def test_a_delay_loaded_dll_comes_from_the_system_folder_whatever_the_search(self):
        # Where SetDefaultDllDirectories is missing the search stays as the
        # probe's: the program's folder first. The delay-load helper's own
        # load (the hook cleared) takes the planted copy; the hook does not.
        sandbox = Sandbox("dll-search-hook")
        for hook, expected, code in ((True, (), 0), (False, ("crypt32",), 1)):
            with self.subTest(hook=hook):
                folder = os.path.join(sandbox.root, "hook" if hook else "no-hook")
                os.makedirs(folder)
                probe = windows_path(shutil.copy2(PROBE, folder))
                with self.planted_beside(folder, ("crypt32",), expected) as wine:
                    process = self.start(wine, '"%s"%s' % (probe, "" if hook else " --no-hook"))
                    self.assertEqual(code, process.wait(timeout=60))
