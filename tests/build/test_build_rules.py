"""Rules of the build that the README promises: a floor of the setup code sees only the floors below it, and
tools/runs_i386.py tells whether this host runs 32-bit x86 programs."""
import errno
import glob
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.abspath(os.environ.get("ZANSETUP_BUILD", os.path.join(SOURCE, "build")))
COMPILER = os.environ.get("ZANSETUP_MINGW_PREFIX", "i686-w64-mingw32") + "-g++"
# Which floors each floor may include, as the README gives them.
SEES = {"common": {"common"}, "http": {"http", "common"}, "ui": {"ui", "common"},
        "driver": {"driver", "ui", "http", "common"}}


class Floors(unittest.TestCase):
    def include_error(self, floor, header):
        """The compiler's complaint when a source of `floor` includes `header` through that floor's include
        root, or None. No system headers: the preprocessor stops at the first include it cannot find."""
        with tempfile.TemporaryDirectory() as folder:
            source = os.path.join(folder, "probe.cpp")
            Path(source).write_text('#include "%s"\n' % header)
            result = subprocess.run([COMPILER, "-E", "-nostdinc", "-o", os.devnull, "-I", os.path.join(BUILD, "floors", floor),
                                     "-I", os.path.join(BUILD, "generated"), source],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=120)
        missing = "%s: No such file or directory" % header
        return missing if result.returncode != 0 and missing in result.stderr else None

    def test_a_floor_includes_those_below_it_and_an_upward_include_does_not_compile(self):
        for floor, seen in SEES.items():
            for other in SEES:
                header = os.path.relpath(sorted(glob.glob(os.path.join(SOURCE, "setup", other, "*.h")))[0], SOURCE)
                with self.subTest(floor=floor, includes=header):
                    error = self.include_error(floor, header)
                    self.assertEqual(other not in seen, error is not None, error)


class RunsI386(unittest.TestCase):
    def host_runs_i386(self):
        """The kernel's own answer, from an i386 program of Wine's 32-bit
        package: it starts, or its start fails with "Exec format error"."""
        program = "/usr/lib/wine/wine"
        if not os.path.exists(program):
            self.skipTest("no i386 program to ask the kernel with")
        try:
            subprocess.run([program, "--version"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        except OSError as error:
            self.assertEqual(errno.ENOEXEC, error.errno, error)
            return False
        return True

    def test_its_answer_and_reason_line_are_the_host_s(self):
        result = subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "runs_i386.py")],
                                stdout=subprocess.PIPE, text=True, timeout=60)
        if self.host_runs_i386():
            self.assertEqual((0, "a tiny i386 program runs\n"), (result.returncode, result.stdout))
        else:
            self.assertEqual((1, "a tiny i386 program does not start: Exec format error\n"),
                             (result.returncode, result.stdout))
