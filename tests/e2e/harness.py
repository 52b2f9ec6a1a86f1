"""End-to-end harness: runs the real setup program under Wine in a sandbox
folder of its own, works its windows through zsdriver.exe, and collects the
log, files and screenshots for the assertions and for a person to look at.

The build folder comes from ZANSETUP_BUILD (set by ctest).
"""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

BUILD = os.environ.get("ZANSETUP_BUILD", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
BUILD = os.path.abspath(BUILD)
BIN = os.path.join(BUILD, "bin")
WINE_RUN = os.path.join(BUILD, "wine-run")
DRIVER = os.path.join(BUILD, "tests-bin", "zsdriver.exe")
OUTPUT = os.path.join(BUILD, "e2e-output")

LANGUAGES = {"zh-cn": "zh_CN.UTF-8", "zh-tw": "zh_TW.UTF-8", "en-us": "en_US.UTF-8"}


def escape_text(text):
    """Non-ASCII characters as \\uXXXX for zsdriver's arguments."""
    return "".join(c if ord(c) < 128 and c != "\\" else "\\u%04x" % ord(c) for c in text)


def windows_path(path):
    """The Wine drive Z: maps the Unix root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_locale_text(code, key):
    """A text of the program's own language file, by "language." key."""
    import xml.etree.ElementTree as ET
    root = ET.parse(os.path.join(BIN, "language", code + ".locale")).getroot()
    node = root
    for part in key.split(".")[1:]:
        node = node.find(part)
    return node.text or ""


class Wine:
    """Runs Windows programs in the build's prefix with one user language."""

    def __init__(self, language="en-us"):
        self.env = dict(os.environ)
        self.env["LC_ALL"] = LANGUAGES[language]
        self.language = language

    def driver(self, *args, check=True, timeout=60):
        # Output goes to a file, not a pipe: Wine may start its desktop process
        # from ours, and that process would hold a pipe open long after.
        with tempfile.TemporaryFile() as out:
            result = subprocess.run([WINE_RUN, DRIVER] + list(args), env=self.env,
                                    stdout=out, stderr=subprocess.DEVNULL, timeout=timeout)
            out.seek(0)
            text = out.read().decode("utf-8", errors="replace")
        if check and result.returncode != 0:
            raise AssertionError("zsdriver %s failed (%d)" % (" ".join(args), result.returncode))
        return text

    def start(self, command_line):
        """Starts a Windows command line exactly as given; returns the Popen
        whose exit code is the program's."""
        return subprocess.Popen([WINE_RUN, DRIVER, "run", command_line], env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def find(self, title=None, cls="#32770", visible=True, timeout_ms=15000):
        args = ["find", "--class", cls, "--timeout", str(timeout_ms)]
        if title is not None:
            args += ["--title", escape_text(title)]
        if visible:
            args.append("--visible")
        out = self.driver(*args, check=False)
        return out.strip() or None

    def find_all(self, title=None, cls="#32770", visible=False):
        args = ["findall", "--class", cls]
        if title is not None:
            args += ["--title", escape_text(title)]
        if visible:
            args.append("--visible")
        return self.driver(*args).split()

    def texts(self, hwnd):
        """(title, {control id: (class, visible, enabled, text)})"""
        lines = self.driver("texts", hwnd).split("\n")
        controls = {}
        for line in lines[1:]:
            parts = line.split("\t", 4)
            if len(parts) == 5:
                controls[int(parts[0])] = (parts[1], parts[2] == "1", parts[3] == "1", parts[4])
        return lines[0], controls

    def click(self, hwnd, control_id):
        self.driver("click", hwnd, str(control_id))

    def close(self, hwnd):
        self.driver("close", hwnd)

    def wait_gone(self, hwnd, timeout_ms=15000):
        return self.driver("gone", hwnd, "--timeout", str(timeout_ms), check=False) == "" and True


class Sandbox:
    """A copy of the deliverables in a folder of its own, so that the log and
    the download folder of one test never meet another's."""

    def __init__(self, name):
        self.root = os.path.join(OUTPUT, name)
        shutil.rmtree(self.root, ignore_errors=True)
        self.program_dir = os.path.join(self.root, "app")
        os.makedirs(self.program_dir)
        for item in ("ZanSetup.exe", "ZanSetupSH.exe"):
            shutil.copy2(os.path.join(BIN, item), self.program_dir)
        shutil.copytree(os.path.join(BIN, "language"), os.path.join(self.program_dir, "language"))
        self.screenshots = []

    @property
    def program(self):
        return windows_path(os.path.join(self.program_dir, "ZanSetup.exe"))

    @property
    def log_path(self):
        return os.path.join(self.program_dir, "zansetup.log")

    def log_lines(self):
        """Messages of the log (time stamps dropped), decoded from the ANSI page."""
        if not os.path.exists(self.log_path):
            return []
        with open(self.log_path, "rb") as f:
            data = f.read().decode("cp1252", errors="replace")
        assert data.endswith("\r\n") or data == "", "log does not end in CR LF"
        lines = data.split("\r\n")[:-1]
        for line in lines:
            assert len(line) >= 20 and line[19] == "\t", "bad log line: %r" % line
        return [line[20:] for line in lines]

    def download_dir(self):
        return os.path.join(self.root, "download")

    def screenshot(self, label):
        with open(os.path.join(BUILD, "test-env", "display")) as f:
            display = f.read().strip()
        path = os.path.join(self.root, label + ".png")
        subprocess.run(["import", "-display", display, "-window", "root", path],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        if os.path.exists(path):
            self.screenshots.append(path)
        return path


def wait_exit(process, timeout=30):
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        raise AssertionError("the program did not end within %d s" % timeout)


def still_running(process, seconds):
    time.sleep(seconds)
    return process.poll() is None


class E2ETestCase(unittest.TestCase):
    """Ends every program a test left running."""

    def setUp(self):
        self.processes = []

    def start(self, wine, command_line):
        process = wine.start(command_line)
        self.processes.append(process)
        return process

    def tearDown(self):
        leftovers = [p for p in self.processes if p.poll() is None]
        if leftovers:
            # Killing the Unix side leaves the Windows process: end it there.
            subprocess.run([WINE_RUN, "taskkill", "/f", "/im", "ZanSetup.exe"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            for process in leftovers:
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
