"""Signing in the build: with a key and a certificate given to CMake, programs are signed after their link and
installers after they are made; without them nothing is signed; a key that cannot sign fails the build and
leaves no unsigned file that a later build would take for done. And the other settings the configure is given
stay as given."""
import glob
import os
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import signing  # noqa: E402
from harness import ARCH, BUILD, SOURCE, flavour_free  # noqa: E402

OUT = os.path.join(BUILD, "signing-test")
# The flavour of the build under test: its toolchain builds the probe.
TOOLCHAIN = {"x86": "toolchain-mingw-i686.cmake", "x64": "toolchain-mingw-x86_64.cmake"}[ARCH]


@flavour_free
class BuildSigning(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(OUT, ignore_errors=True)
        keys = os.path.join(OUT, "keys")
        cls.publisher = signing.Identity(keys, "ZanSetup build publisher")
        cls.stranger = signing.Identity(keys, "Another publisher")

    @staticmethod
    def cmake(*args):
        return subprocess.run(["cmake"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True)

    def configure(self, name, *options):
        folder = os.path.join(OUT, name)
        result = self.cmake("-S", os.path.join(HERE, "probe"), "-B", folder,
                            "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(SOURCE, "cmake", TOOLCHAIN),
                            "-DZANSETUP_SOURCE_DIR=" + SOURCE, *options)
        return folder, result

    def signing_options(self, key, cert):
        return ["-DZANSETUP_SIGN_KEY=" + key, "-DZANSETUP_SIGN_CERT=" + cert]

    def test_a_given_key_signs_the_program_and_the_package(self):
        # Time-stamped by a time-stamping key of our own: no network.
        authority = signing.Identity(os.path.join(OUT, "keys"), "time stamps", usage="timeStamping")
        both = os.path.join(OUT, "keys", "time-stamps.pem")
        with open(both, "wb") as out:
            for part in (authority.cert, authority.key):
                with open(part, "rb") as f:
                    out.write(f.read())
        folder, result = self.configure("signed", *self.signing_options(self.publisher.key, self.publisher.cert),
                                        "-DZANSETUP_SIGN_TIMESTAMP=" + both)
        self.assertEqual(0, result.returncode, result.stdout)
        # Without pins of its own, the build pins the signing certificate's key.
        self.assertIn("Pinned publisher keys: " + self.publisher.pin, result.stdout)
        result = self.cmake("--build", folder)
        self.assertEqual(0, result.returncode, result.stdout)
        for name in ("probe.exe", "probe-package.exe", "probe-uninstall.exe"):
            path = os.path.join(folder, name)
            passed, report = signing.verify(path, self.publisher.cert, authority.cert)
            self.assertTrue(passed, "%s: %s" % (name, report))
            self.assertIn("Timestamp Server Signature verification: ok", report, name)
            self.assertFalse(signing.verify(path, self.stranger.cert)[0], name)
        self.assertFalse(signing.carries_signature(os.path.join(folder, "probe_content.exe")))

    def test_pins_are_checked_an_unsigned_build_pins_nothing_and_half_a_signing_configuration_is_refused(self):
        pin = "AB" * 32
        rows = [((), "No publisher keys pinned", True),
                (("-DZANSETUP_PUBLISHER_PINS=%s;%s" % (pin, self.publisher.pin),),
                 "Pinned publisher keys: %s,%s" % (pin.lower(), self.publisher.pin), True),
                (("-DZANSETUP_PUBLISHER_PINS=" + pin[:-1],), "a publisher pin is 64 hexadecimal digits", False),
                (("-DZANSETUP_SIGN_KEY=" + self.publisher.key,), "ZANSETUP_SIGN_CERT is no file", False),
                (("-DZANSETUP_SIGN_CERT=" + self.publisher.cert,), "ZANSETUP_SIGN_KEY is no file", False)]
        for options, line, configures in rows:
            with self.subTest(options=options):
                folder, result = self.configure("pins", *options)
                self.assertEqual(configures, result.returncode == 0, result.stdout)
                self.assertIn(line, result.stdout)
                shutil.rmtree(folder)

    def test_a_key_that_cannot_sign_fails_the_build_and_leaves_no_unsigned_program(self):
        folder, result = self.configure("mismatched", *self.signing_options(self.stranger.key, self.publisher.cert))
        self.assertEqual(0, result.returncode, result.stdout)
        result = self.cmake("--build", folder, "--target", "probe")
        self.assertNotEqual(0, result.returncode, result.stdout)
        self.assertIn("signing", result.stdout)
        self.assertFalse(os.path.exists(os.path.join(folder, "probe.exe")))
        # Fixed, the next build signs.
        result = self.configure("mismatched", *self.signing_options(self.publisher.key, self.publisher.cert))[1]
        self.assertEqual(0, result.returncode, result.stdout)
        result = self.cmake("--build", folder, "--target", "probe")
        self.assertEqual(0, result.returncode, result.stdout)
        self.assertTrue(signing.verify(os.path.join(folder, "probe.exe"), self.publisher.cert)[0])

    def test_a_release_is_pinned_and_a_server_base_given_is_kept(self):
        base = "http://127.0.0.1:8780"
        folder = os.path.join(OUT, "server-base")
        deps = [line.split("=", 1)[1].strip() for line in open(os.path.join(BUILD, "CMakeCache.txt"))
                if line.startswith("ZANSETUP_DEPS_DIR:")][0]
        given = ["-S", SOURCE, "-B", folder, "-DZANSETUP_ARCH=" + ARCH, "-DZANSETUP_BUILD_TESTS=OFF",
                 "-DZANSETUP_DEPS_DIR=" + deps, "-DZANSETUP_SERVER_BASE=" + base, "-DCMAKE_BUILD_TYPE=Release"]
        # A release without pins would take whatever the server sends.
        result = self.cmake(*given)
        self.assertNotEqual(0, result.returncode, result.stdout)
        self.assertIn("-DZANSETUP_DEVELOPMENT_BUILD=ON", result.stdout)
        # Once an old default, this base must stay what the person asked for.
        for args in (given + ["-DZANSETUP_DEVELOPMENT_BUILD=ON"], [folder]):
            result = self.cmake(*args)
            self.assertEqual(0, result.returncode, result.stdout)
            self.assertIn("Server base: " + base + "\n", result.stdout)
        with open(os.path.join(folder, "CMakeCache.txt")) as f:
            self.assertIn("ZANSETUP_SERVER_BASE:STRING=" + base + "\n", f.read())


class ThisBuild(unittest.TestCase):
    def test_this_build_is_signed_as_configured(self):
        cert = os.environ.get("ZANSETUP_SIGN_CERT", "")
        files = [os.path.join(BUILD, "bin", name)
                 for name in ("ZanSetup.exe", "ZanSetupSH.exe", "npZanSetupOneClick.dll")]
        files += [os.path.join(BUILD, "tests-bin", "next", name) for name in ("ZanSetup.exe", "ZanSetupSH.exe")]
        installers = glob.glob(os.path.join(BUILD, "bin", "ZanSetup-*-setup.exe"))
        installers += glob.glob(os.path.join(BUILD, "tests-bin", "ZanSetup-*-setup.exe"))
        self.assertEqual(2, len(installers), installers)
        for path in files + installers:
            with self.subTest(file=os.path.relpath(path, BUILD)):
                if cert:
                    passed, report = signing.verify(path, cert)
                    self.assertTrue(passed, report)
                else:
                    self.assertFalse(signing.carries_signature(path))
