"""End-to-end harness: runs the real setup program under Wine in a sandbox folder of its own, works its
windows through zsdriver.exe, and collects the log and files for the assertions. The build folder comes from
ZANSETUP_BUILD (set by ctest)."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import xml.etree.ElementTree as ET
from pathlib import Path

import servers
import signing
import testenv
from servers import wait_until
from signing import publish  # tools/publish.py

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.abspath(os.environ.get("ZANSETUP_BUILD", os.path.join(SOURCE, "build")))
# The flavour of this build (x86 or x64): the suite runs once for each.
ARCH = os.environ.get("ZANSETUP_ARCH", "x86")
# Its update document below the server base, and its programs' file header machine.
UPDATE_DOCUMENT = "/zansetup/new-x64.xml" if ARCH == "x64" else "/zansetup/new.xml"
MACHINES = {"x86": 0x014C, "x64": 0x8664}
# Held by a run while it claims the update check, and by its update worker until it has done all it will.
UPDATE_MUTEX = "Local\\ZanSetupUpdate"
MINGW_PREFIX = os.environ.get("ZANSETUP_MINGW_PREFIX", "i686-w64-mingw32")
BIN = os.path.join(BUILD, "bin")
WINE_RUN = os.path.join(BUILD, "wine-run")
DRIVER = os.path.join(BUILD, "tests-bin", "zsdriver.exe")
# The driver again, with a version block older than any build's.
OLD_DRIVER = os.path.join(BUILD, "tests-bin", "old", "zsdriver.exe")
OUTPUT = os.path.join(BUILD, "e2e-output")

MESSAGE_TEXT_ID = 65535
# The platform's own button ids; ours come from resource_ids below.
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
# The dialogs' ids, made from setup/ui/resource.h by the configure: tests import resource_ids after harness.
sys.path.insert(0, os.path.join(BUILD, "generated"))
SERVER_BASE = os.environ.get("ZANSETUP_SERVER_BASE", "https://localhost:8780")
FAULT_PORT = int(os.environ.get("ZANSETUP_E2E_FAULT_PORT", "8785"))
# A second download server, where the plain-http build of the setup program (tests-bin/http) has its base.
SECOND_PORT = int(os.environ.get("ZANSETUP_E2E_SECOND_PORT", "8786"))
DEMO_PRODUCT = os.path.join(BUILD, "demo-product")

LANGUAGES = {"zh-cn": "zh_CN.UTF-8", "zh-tw": "zh_TW.UTF-8", "en-us": "en_US.UTF-8"}

# Cases that check nothing of the flavour: tools/test.sh runs them with the first flavour it tests only.
flavour_free = unittest.skipIf(os.environ.get("ZANSETUP_SKIP_FLAVOUR_FREE") == "1",
                               "the same for both flavours: run with the first")


def escape_text(text):
    """Non-ASCII characters as \\uXXXX for zsdriver's arguments."""
    return "".join(c if ord(c) < 128 and c != "\\" else "\\u%04x" % ord(c) for c in text)


def active_prefix():
    return os.environ.get("ZANSETUP_WINEPREFIX") or os.path.join(BUILD, "wineprefix")


def windows_path(path):
    """C: for what lies on the active prefix's drive C, else Z:, which maps the Unix root."""
    path = os.path.abspath(path)
    drive_c = os.path.join(active_prefix(), "drive_c")
    if path == drive_c or path.startswith(drive_c + os.sep):
        return "C:\\" + os.path.relpath(path, drive_c).replace("/", "\\").lstrip(".")
    return "Z:" + path.replace("/", "\\")


def profile_folder(*parts):
    """A folder in the user's profile of the active prefix (Unix path)."""
    users = os.path.join(active_prefix(), "drive_c", "users")
    user = os.environ.get("USER") or [u for u in os.listdir(users) if u != "Public"][0]
    return os.path.join(users, user, *parts)


def prefix_path(windows_path):
    """The Unix path of a C: path in the active Wine prefix."""
    return os.path.join(active_prefix(), "drive_c", *windows_path[3:].split("\\"))


def read_locale_text(code, key):
    """A text of the program's own language file, by "language." key."""
    root = ET.parse(os.path.join(BIN, "language", code + ".locale")).getroot()
    return root.find("/".join(key.split(".")[1:])).text or ""


# What a development build (unpinned, as the suite's programs are) writes first in each log: read past it.
DEVELOPMENT_LINE = "development build: no publisher key is pinned"


def read_log_lines(path, with_development_line=False, code_page="cp1252", start=0):
    """Messages of a zansetup.log from byte `start` on (time stamps dropped), decoded from the user's ANSI page
    `code_page`, without the development build's line unless asked; none without a log."""
    if not path or not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        f.seek(start)
        data = f.read().decode(code_page, errors="replace")
    assert data.endswith("\r\n") or data == "", "log does not end in CR LF"
    lines = data.split("\r\n")[:-1]
    for line in lines:
        assert len(line) >= 20 and line[19] == "\t", "bad log line: %r" % line
    return [line[20:] for line in lines if with_development_line or line[20:] != DEVELOPMENT_LINE]


class ProtectedLog:
    """The account's log of the runs with administrator rights, read from where it ended when this was made."""

    FOLDER = r"C:\ProgramData\Corvela\ZanSetup\Logs"

    def __init__(self):
        self.start = os.path.getsize(self.path) if self.path else 0

    @property
    def path(self):
        found = glob.glob(os.path.join(prefix_path(self.FOLDER), "zansetup-S-*.log"))
        return found[0] if found else None

    def lines(self):
        return read_log_lines(self.path, start=self.start)


class Wine:
    """Runs Windows programs in one user language; `dll_overrides` replaces wine-run's WINEDLLOVERRIDES."""

    def __init__(self, language="en-us", dll_overrides=None):
        self.env = dict(os.environ, LC_ALL=LANGUAGES[language])
        if dll_overrides is not None:
            self.env["ZANSETUP_WINEDLLOVERRIDES"] = dll_overrides
        self.language = language

    def _server(self):
        """The driver server for runs of this Wine. Wine takes a program's locale and DLL overrides from the
        Unix environment of the process that starts it, so each language and set of overrides has its own; the
        rest of this Wine's environment each run is handed."""
        import driver_server
        key = tuple(self.env.get(name) for name in ("ZANSETUP_WINEPREFIX", "ZANSETUP_TEST_ENV", "DISPLAY", "LC_ALL",
                                                    "ZANSETUP_WINEDLLOVERRIDES"))
        return driver_server.server_for([WINE_RUN, DRIVER], self.env, key)

    def driver(self, *args, check=True, timeout=60):
        code, text = self._act(args, timeout)
        if check and code != 0:
            raise AssertionError("zsdriver %s failed (%d)" % (" ".join(args), code))
        return text

    def _act(self, args, timeout):
        """(exit code, output) of one zsdriver action."""
        if args[0] != "run":
            if "--timeout" in args:
                timeout = max(timeout, int(args[args.index("--timeout") + 1]) / 1000 + 60)
            return self._server().call(args, timeout=timeout)
        # Output goes to a file, not a pipe: Wine may start its desktop process from ours, and that process
        # would hold a pipe open long after.
        with tempfile.TemporaryFile() as out:
            result = subprocess.run([WINE_RUN, DRIVER] + list(args), env=self.env,
                                    stdout=out, stderr=subprocess.DEVNULL, timeout=timeout)
            out.seek(0)
            return result.returncode, out.read().decode("utf-8", errors="replace")

    def start(self, command_line, rights=None, cwd=None):
        """Starts a Windows command line exactly as given, on the limited token of an administrator's programs
        or with `rights` ("--elevated", "--standard-user"), in the folder `cwd` (by default ours); returns a
        Popen (or the like) whose exit code is the program's."""
        folder = windows_path(cwd or os.getcwd())
        return self._server().start("run", command_line, rights and rights[2:], folder, self.env)

    def open_link(self, link):
        """Opens `link` through ShellExecuteExW, as a browser hands it on; the exit code is the program's."""
        return self._server().start("open", link, None, windows_path(os.getcwd()), self.env)

    def exec(self, *args, timeout=60):
        """(exit code, output) of a Windows program run as a user's programs run, its arguments quoted."""
        line = " ".join(a if a and not set(a) & set(' \t"') else '"%s"' % a for a in args)
        os.makedirs(OUTPUT, exist_ok=True)
        with tempfile.TemporaryDirectory(dir=OUTPUT) as folder:
            output = os.path.join(folder, "output.txt")
            run = self._server().start("run", line, None, windows_path(os.getcwd()), self.env, windows_path(output))
            try:
                code = run.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                run.kill()
                raise
            return code, Path(output).read_bytes().decode("utf-8", errors="replace")

    def start_counting_windows(self, command_line, out):
        """As start(); at the program's end the driver writes "windows N" (top-level windows it owned) to `out`."""
        return subprocess.Popen([WINE_RUN, DRIVER, "run", command_line, "--windows"], env=self.env,
                                stdout=out, stderr=subprocess.DEVNULL)

    @staticmethod
    def _window_query(cls, title=None, control=None, text=None, **flags):
        """zsdriver's query: windows of class `cls`, title, control, its text, flags (visible, hidden, ...)."""
        args = ["--class", cls]
        for name, value in (("--title", title), ("--control", control), ("--text", text)):
            if value is not None:
                args += [name, escape_text(str(value))]
        return args + ["--" + flag for flag, wanted in flags.items() if wanted]

    def find(self, title=None, cls="#32770", visible=True, timeout_ms=15000, control=None,
             hidden=False, childless=False, text=None, settled=False):
        """The first matching top-level window; with `text`, its child `control` holds that text."""
        query = self._window_query(cls, title, control, text, visible=visible, hidden=hidden,
                                   childless=childless, settled=settled)
        return self.driver("find", "--timeout", str(timeout_ms), *query, check=False).strip() or None

    def find_all(self, title=None, cls="#32770", visible=False, control=None, hidden=False, childless=False):
        query = self._window_query(cls, title, control, visible=visible, hidden=hidden, childless=childless)
        return self.driver("findall", *query).split()

    def size(self, hwnd):
        """(width, height) of the window in pixels."""
        return tuple(int(n) for n in self.driver("size", hwnd).split())

    def texts(self, hwnd):
        """(title, {control id: (class, visible, enabled, text)})"""
        lines = self.driver("texts", hwnd).split("\n")
        rows = [line.split("\t", 4) for line in lines[1:]]
        return lines[0], {int(r[0]): (r[1], r[2] == "1", r[3] == "1", r[4]) for r in rows if len(r) == 5}

    def list_items(self, hwnd, control_id):
        return [line for line in self.driver("items", hwnd, str(control_id)).split("\n") if line]

    def click(self, hwnd, control_id):
        self.driver("click", hwnd, str(control_id))

    def close(self, hwnd):
        """Posts WM_CLOSE; whether the window was there (one already gone is no error)."""
        return self._act(["close", hwnd], 60)[0] == 0

    def wait_gone(self, hwnd, timeout_ms=15000):
        return self._act(["gone", hwnd, "--timeout", str(timeout_ms)], 60)[0] == 0

    def wait_mutex_free(self, name, timeout_ms=15000):
        """Whether no process holds the named mutex within `timeout_ms`."""
        return self._act(["mutexfree", name, "--timeout", str(timeout_ms)], 60)[0] == 0

    def message_box(self, caption, timeout_ms=15000):
        return self.find(title=caption, control=MESSAGE_TEXT_ID, timeout_ms=timeout_ms)

    def main_dialog(self, timeout_ms=15000):
        """The hidden main dialog of a running setup program. Another dialog is childless too for the moment
        its controls are being made, so only a window still childless once its thread has answered counts."""
        return self.find("ZanSetup", visible=False, timeout_ms=timeout_ms, hidden=True, childless=True,
                         settled=True)

    def main_dialogs(self):
        return self.find_all(title="ZanSetup", hidden=True, childless=True)

    def find_message(self, caption, text, timeout_ms=15000):
        return self.find(title=caption, control=MESSAGE_TEXT_ID, text=text, timeout_ms=timeout_ms)

    def message_text(self, hwnd):
        return self.texts(hwnd)[1].get(MESSAGE_TEXT_ID, ("", False, False, ""))[3]


class Sandbox:
    """A copy of the deliverables in a folder of its own, so that one test's log and download folder never
    meet another's. `unsigned`: a signed build's setup program has its signature taken off. `variant`: the
    programs of tests-bin/VARIANT instead ("pinned": pinned to the test publisher's key, "http": for a
    plain-http server)."""

    def __init__(self, name, unsigned=False, variant=None):
        self.root = os.path.join(OUTPUT, name)
        shutil.rmtree(self.root, ignore_errors=True)
        self.program_dir = os.path.join(self.root, "app")
        os.makedirs(self.program_dir)
        for item in ("ZanSetup.exe", "ZanSetupSH.exe"):
            shutil.copy2(os.path.join(BIN, item), self.program_dir)
        for item in os.listdir(os.path.join(BUILD, "tests-bin", variant)) if variant else ():
            if item.endswith(".exe"):
                shutil.copy2(os.path.join(BUILD, "tests-bin", variant, item), self.program_dir)
        if unsigned:
            copy = os.path.join(self.program_dir, "ZanSetup.exe")
            if signing.carries_signature(copy):
                signing.remove_signature(copy)
        shutil.copytree(os.path.join(BIN, "language"), os.path.join(self.program_dir, "language"))

    @property
    def program(self):
        return windows_path(os.path.join(self.program_dir, "ZanSetup.exe"))

    @property
    def log_path(self):
        return os.path.join(self.program_dir, "zansetup.log")

    def log_lines(self):
        return read_log_lines(self.log_path)

    def wait_for_log_line(self, line, timeout=60):
        if not wait_until(lambda: line in self.log_lines(), timeout):
            raise AssertionError("no log line %r; log: %r" % (line, self.log_lines()))
        return True

    def reset_log(self):
        Path(self.log_path).unlink(missing_ok=True)

    def windows_download_dir(self, name):
        return windows_path(os.path.join(self.root, "download", name)) + "\\"

    def download_dir(self):
        return os.path.join(self.root, "download")

    def screenshot(self, label):
        """The display as a picture for a person: into the folder ZANSETUP_SCREENSHOTS names, else beside the
        sandbox outside the suite (the demo); the suite (ZANSETUP_E2E) takes none without the folder."""
        return take_screenshot(label, None if os.environ.get("ZANSETUP_E2E") else self.root)


def take_screenshot(label, default_folder=None):
    """The path of the picture taken, or None when none is wanted."""
    folder = os.environ.get("ZANSETUP_SCREENSHOTS") or default_folder
    if not folder:
        return None
    env_folder = os.environ.get("ZANSETUP_TEST_ENV") or os.path.join(BUILD, "test-env")
    display = Path(env_folder, "display").read_text().strip()
    os.makedirs(folder, exist_ok=True)
    return testenv.capture_display(display, os.path.join(folder, label + ".png"))


class ProductServer:
    """nginx on the build's download-server address (or on `base`), serving a tree of the sandbox's own into
    which products are published; https with the test CA's `certificate` kind (tls.py)."""

    def __init__(self, box, locations="", certificate="trusted", base=SERVER_BASE):
        self.root = os.path.join(box.root, "server")
        os.makedirs(os.path.join(self.root, "zansetup"), exist_ok=True)
        os.chmod(box.root, 0o755)
        address = urllib.parse.urlsplit(base)
        self.nginx = servers.Nginx(self.root, address.port, locations=locations,
                                   tls=certificate if address.scheme == "https" else None)
        self.base_url = base

    def publish(self, name, installer=None, **options):
        installer = installer or os.path.join(DEMO_PRODUCT, "DemoSetup.exe")
        return publish.publish(self.root, name, installer, base_url=self.base_url, **options)

    def publish_update(self, program, version, **options):
        """Publishes `program` as the new setup program, in this flavour's update document or `flavour`'s."""
        options.setdefault("flavour", ARCH)
        return publish.publish_update(self.root, program, version, base_url=self.base_url, **options)

    def access_log(self):
        return self.nginx.access_log()

    def __enter__(self):
        self.nginx.start()
        return self

    def __exit__(self, *exc):
        self.nginx.stop()


def set_document_text(path, element, text):
    """Sets the text of `element` ("package/url": a path below the root) in a document the server serves."""
    tree = ET.parse(path)
    tree.getroot().find(element).text = text
    tree.write(path, encoding="utf-8", xml_declaration=True)


def stand_in(folder, name="ZanSetup.exe", driver=DRIVER, machine=None):
    """zsdriver copied into `folder` under another program's name: started, it records its command line in
    NAME.cmdline beside itself and ends. Its version block is newer than any build's (OLD_DRIVER: older). With
    `machine`, its file header claims that processor instead."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    shutil.copy2(driver, path)
    if machine is not None:
        with open(path, "r+b") as f:
            f.seek(0x3C)
            f.seek(int.from_bytes(f.read(4), "little") + 4)
            f.write(machine.to_bytes(2, "little"))
    return path


def wait_for_command_line(program, timeout=30):
    """The command line a stand-in was started with, or None if it was not started within `timeout` seconds."""
    record = program + ".cmdline"
    if not wait_until(lambda: os.path.exists(record), timeout):
        return None
    # The stand-in writes it whole (renamed into place), never in parts.
    return Path(record).read_text(encoding="utf-8")


def started_command_line(program, timeout=30):
    """The command line of a stand-in started before now (one still running is waited for), or None."""
    windows = windows_path(program).lower()
    wait_until(lambda: os.path.exists(program + ".cmdline") or not any(
        line.lower().lstrip('"').startswith(windows) for line in windows_command_lines()), timeout)
    return wait_for_command_line(program, timeout=0)


RECORD_KEY = r"HKCU\Software\Corvela\ZanSetup"


def update_stamp(age_seconds=0):
    """An "updatetime" stamp of local time, `age_seconds` ago."""
    return time.strftime("%Y%m%d%H%M%S", time.localtime(time.time() - age_seconds))


def registry(*args, check=True):
    """(exit code, output) of a zsdriver registry action (get, set, delete, exists) in the active prefix, done by
    the driver's server, so the programs and the tests see each other's writes at once."""
    code, out = Wine()._act(("registry",) + args, 60)
    if check and code not in (0, 1):
        raise AssertionError("zsdriver registry %s failed (%d)" % (" ".join(args), code))
    return code, out


def _registry_set(key, name, kind, value):
    code, _ = registry("set", key, name, kind, value)
    assert code == 0, "setting %s failed" % name


def set_dpi(dpi):
    """The screen's DPI for programs started from now on (96 without)."""
    if dpi == 96:
        registry("delete", r"HKCU\Control Panel\Desktop", "LogPixels")
    else:
        _registry_set(r"HKCU\Control Panel\Desktop", "LogPixels", "dword", str(dpi))


def record_set(name, value):
    """A string value of the setup program's registry record (tests that change it hold the desktop lock)."""
    _registry_set(RECORD_KEY, name, "sz", value)


def record_get(name):
    """The value's text, or None when it is not there."""
    code, out = registry("get", RECORD_KEY, name)
    return out[:-1] if code == 0 else None


def record_delete():
    registry("delete", RECORD_KEY)


def record_reset():
    """What the test run starts with: no version, and an update check made just now, so no run makes one."""
    record_delete()
    record_set("updatetime", update_stamp())


def taskkill(image):
    """Ends every Windows process of that image name (killing a Wine process's Unix side leaves it running)."""
    subprocess.run([WINE_RUN, "taskkill", "/f", "/im", image],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def windows_command_lines():
    """Command lines of the running Windows processes of the active prefix."""
    lines = [" ".join(args).strip() for args in testenv.prefix_processes(active_prefix())]
    return [line for line in lines if len(line) > 2 and line[1] == ":"]


def windows_processes(image):
    """Command lines of the running Windows processes of that image name."""
    wanted = "\\" + image.lower()
    return [line for line in windows_command_lines() if wanted in line.lower().split(".exe")[0] + ".exe"]


def wait_exit(process, timeout=30):
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        # Killing the Unix side leaves the Windows process: tearDown ends it.
        process.timed_out = True
        running = windows_processes("ZanSetup.exe")
        process.kill()
        raise AssertionError("the program did not end within %d s; setup programs running: %r"
                             % (timeout, running))


class E2ETestCase(unittest.TestCase):
    """Ends every program a test left running."""

    def setUp(self):
        self.processes = []
        # A setup program left running would answer for this test's (same window titles): report and end it.
        strays = windows_processes("ZanSetup.exe")
        if strays:
            report = "%s: ending setup programs left running: %r\n" % (self.id(), strays)
            sys.stderr.write("\n" + report)
            os.makedirs(OUTPUT, exist_ok=True)
            with open(os.path.join(OUTPUT, "strays.log"), "a") as f:
                f.write(report)
            taskkill("ZanSetup.exe")

    def start(self, wine, command_line, rights=None, cwd=None):
        process = wine.start(command_line, rights, cwd)
        self.processes.append(process)
        return process

    def hold(self, what, name, seconds):
        """zsdriver holding the file ("lock") or mutex ("mutex") `name` for `seconds`, once it holds it."""
        os.makedirs(OUTPUT, exist_ok=True)
        ready = os.path.join(tempfile.mkdtemp(dir=OUTPUT), "held")
        target = windows_path(name) if what == "lock" else name
        holder = self.start(Wine(), '"%s" %s "%s" %d "%s"' % (windows_path(DRIVER), what, target, seconds,
                                                            windows_path(ready)))
        self.assertTrue(wait_until(lambda: os.path.exists(ready), timeout=30), "zsdriver holds no " + what)
        return holder

    def answer_message(self, wine, box, key, while_open=lambda: None):
        """Answers OK, after `while_open`, to the box with the text `key` in `wine`'s language."""
        found = wine.find_message(read_locale_text(wine.language, "language.caption"),
                                  read_locale_text(wine.language, key), timeout_ms=60000)
        self.assertIsNotNone(found, "no box %s; log: %r" % (key, box.log_lines()))
        while_open()
        wine.click(found, IDOK)

    def run_refused_for_want_of_rights(self, box, server, wine, while_open=lambda: None):
        """A standard user's run of a product needing administrator rights, which the protected copy refuses
        (Wine's launcher cannot raise them); `while_open` runs while the refusal shows. Returns at its end."""
        server.publish("AdminOnly", version="1.0", exec_level="Administrator")
        process = self.start(wine, box.program + " App=AdminOnly Ver=1.0", rights="--standard-user")
        self.answer_message(wine, box, "language.authorityerror", while_open)
        wait_exit(process, timeout=60)

    def run_setup(self, box, name, error_key=None, version="1.0", wine=None):
        """Runs the setup for `name` (published without a folder step) to the end of a silent install, or to the
        error box `error_key` ("language.downloadinfoerror"), which it answers; returns the log."""
        wine = wine or Wine("en-us")
        process = self.start(wine, '"%s" App=%s Ver=%s' % (box.program, name, version))
        if error_key:
            self.answer_message(wine, box, error_key)
        self.assertEqual(2, wait_exit(process, timeout=120))
        lines = box.log_lines()
        self.assertEqual(error_key is None, "end install" in lines, lines)
        return lines

    def run_launcher(self, box, args, cwd=None, signer=None, wine=None, driver=DRIVER):
        """Runs the launcher with a stand-in (`driver`) as the setup program beside it (signed by `signer`, if
        given); the stand-in's record: command line, path, current folder, "elevated" when its token is,
        "language" when its language files were copied, TEMP and TMP. None when it was not started."""
        program = shutil.copy2(driver, os.path.join(box.program_dir, "ZanSetup.exe"))
        if signer:
            signing.sign(program, signer)
        record = os.path.join(box.root, "record.txt")
        Path(record).unlink(missing_ok=True)
        wine = wine or Wine()
        wine.env["ZSDRIVER_RECORD"] = windows_path(record)
        launcher = windows_path(os.path.join(box.program_dir, "ZanSetupSH.exe"))
        process = self.start(wine, launcher + args, cwd=cwd)
        self.assertEqual(0, wait_exit(process))
        return Path(record).read_text(encoding="utf-8").split("\n") if os.path.exists(record) else None

    def tearDown(self):
        leftovers = [p for p in self.processes if p.poll() is None or getattr(p, "timed_out", False)]
        if leftovers:
            taskkill("ZanSetup.exe")
            for process in leftovers:
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
