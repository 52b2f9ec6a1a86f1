"""What the configure refuses before it builds anything: a build that pins no publisher key, unless it says it
is for development or tests, whatever its build type (any spelling) or generator; and, on a fresh clone, a
build without what tools/install-deps.sh brings, which it is told to run. The cases run through the gate's own
script (cmake -P), not a configure each."""
import os
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
GATE = os.path.join(SOURCE, "cmake", "ConfigureGate.cmake")
DEPS = os.environ.get("ZANSETUP_DEPS_DIR", os.path.join(SOURCE, ".deps"))
PREFIX = os.environ.get("ZANSETUP_MINGW_PREFIX", "x86_64-w64-mingw32")
DEVELOPMENT = "-DZANSETUP_DEVELOPMENT_BUILD=ON"
INSTALL_DEPS = "Run tools/install-deps.sh first"


def cmake(*args):
    """The result, its output with CMake's line wrapping undone."""
    result = subprocess.run(["cmake"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    result.stdout = " ".join(result.stdout.split())
    return result


def gate(*options, deps=DEPS, prefix=PREFIX):
    return cmake("-DZANSETUP_MINGW_PREFIX=" + prefix, "-DZANSETUP_DEPS_DIR=" + deps, *options, "-P", GATE)


class ConfigureGate(unittest.TestCase):
    def test_only_a_pinned_or_a_development_build_configures_whatever_its_build_type(self):
        pin = "-DZANSETUP_BUILD_PINS=" + "ab" * 32
        rows = []
        for kind in ("Release", "release", "RELEASE", "RelWithDebInfo", "relwithdebinfo", "MinSizeRel", "Debug", ""):
            build = "-DCMAKE_BUILD_TYPE=" + kind
            rows += [((build,), False), ((build, pin), True), ((build, DEVELOPMENT), True),
                     ((build, "-DZANSETUP_DEVELOPMENT_BUILD=OFF"), False)]
        # A multi-config generator chooses the build type only when it builds.
        for types in ("Debug;Release;RelWithDebInfo;MinSizeRel", "Release"):
            multi = "-DCMAKE_CONFIGURATION_TYPES=" + types
            rows += [((multi,), False), ((multi, pin), True), ((multi, DEVELOPMENT), True)]
        for options, configures in rows:
            with self.subTest(options=options):
                result = gate(*options)
                self.assertEqual(configures, result.returncode == 0, result.stdout)
                if not configures:
                    self.assertIn("pins no publisher key", result.stdout)
                    self.assertIn(DEVELOPMENT, result.stdout)

    def test_a_fresh_clone_is_told_to_run_the_dependency_script(self):
        with tempfile.TemporaryDirectory() as empty:
            rows = [((), {"deps": empty}, "TinyXML's source under " + empty),
                    ((DEVELOPMENT,), {"prefix": "no-such-mingw"}, "no-such-mingw-g++-posix")]
            for options, where, missing in rows:
                with self.subTest(missing=missing):
                    result = gate(*options, **where)
                    self.assertNotEqual(0, result.returncode, result.stdout)
                    self.assertIn(missing, result.stdout)
                    self.assertIn(INSTALL_DEPS, result.stdout)
            # The configure itself stops there, before it looks for a
            # compiler: not at a list of TinyXML's folders that is empty.
            result = cmake("-S", SOURCE, "-B", os.path.join(empty, "build"), "-DZANSETUP_DEPS_DIR=" + empty)
            self.assertNotEqual(0, result.returncode, result.stdout)
            self.assertIn(INSTALL_DEPS, result.stdout)
            self.assertNotIn("list GET", result.stdout)
            self.assertNotIn("compiler", result.stdout.lower())
