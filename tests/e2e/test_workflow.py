"""The setup program's start and install workflow, run for real under Wine against nginx: command line,
single-instance guard, hidden main dialog and exit codes; information download, language switch, the install
path dialog at two DPIs and cancelling; and programs of the product running from the install folder, which
stop the installer until the user ends them or quits (test_refusals has the information errors, test_languages
each language's texts)."""
import os
import shutil
import tempfile
from pathlib import Path

from harness import (DEMO_PRODUCT, DEVELOPMENT_LINE, IDCANCEL, IDNO, IDOK, IDYES, SOURCE, UPDATE_DOCUMENT,
                     E2ETestCase, ProductServer, Sandbox, Wine, prefix_path, read_locale_text, read_log_lines,
                     record_delete, record_get, record_reset, set_dpi, taskkill, wait_exit, wait_until)
from resource_ids import IDC_NEXT, IDC_PATH_EDIT, IDC_PROCESS_LIST, IDC_TERMINATE
from test_install import agent_running

CAPTION = read_locale_text("en-us", "language.caption")
FOLDER = "C:\\Program Files\\Demo Product"
CHECKSUM = "soft_info.package.checksum"


def downloaded_languages(folder):
    """Language files whose caption says they came from the server."""
    os.makedirs(folder, exist_ok=True)
    for code in ("zh-cn", "zh-tw", "en-us"):
        with open(os.path.join(SOURCE, "setup", "ui", "language", code + ".locale"), encoding="utf-8") as f:
            text = f.read().replace("<caption>", "<caption>Demo - ", 1)
        Path(os.path.join(folder, code + ".locale")).write_text(text, encoding="utf-8")
    return folder


class PathDialog(E2ETestCase):
    def test_the_dialog_grows_at_144_dpi_cancel_asks_and_a_document_without_checksum_installs_nothing(self):
        # Wine draws every program at the screen's DPI, declared aware or not (the manifests are the unit
        # tests'); what is ours is that the dialog, laid out in dialog units, grows with it. The screenshots
        # are for a person.
        self.addCleanup(set_dpi, 96)
        # A self-update check is due in the first run: its stamp line comes first.
        record_delete()
        self.addCleanup(record_reset)
        sizes = {}
        for language, dpi, then in (("en-us", 96, self.next_without_checksum), ("en-us", 144, self.cancel),
                                    ("zh-cn", 144, None)):
            set_dpi(dpi)
            box = Sandbox("workflow-path-%d-%s" % (dpi, language))
            with self.subTest(language=language, dpi=dpi), ProductServer(box) as server:
                lang_dir = downloaded_languages(os.path.join(box.root, "server-lang"))
                server.publish("Demo", version="1.0", lang_dir=lang_dir, default_dir="%PROGRAMFILES%\\Demo Product",
                               omit=[CHECKSUM] if then == self.next_without_checksum else [])
                wine = Wine(language)
                process = self.start(wine, box.program + " App=Demo Ver=1.0")
                caption = "Demo - " + read_locale_text(language, "language.caption")
                dialog = wine.find(title=caption, control=IDC_NEXT)
                self.assertIsNotNone(dialog, "no install path dialog titled %r" % caption)
                sizes[language, dpi] = wine.size(dialog)
                box.screenshot("path-dialog-%ddpi-%s" % (dpi, language))
                if then:
                    then(box, server, wine, caption, dialog, process)
                for hwnd in wine.main_dialogs():
                    wine.close(hwnd)
                wait_exit(process, timeout=60)
        base = sizes["en-us", 96]
        for language in ("en-us", "zh-cn"):
            for grown, small in zip(sizes[language, 144], base):
                self.assertAlmostEqual(1.5, grown / small, delta=0.1, msg=(language, sizes))

    def next_without_checksum(self, box, server, wine, caption, dialog, process):
        self.assertEqual(FOLDER, wine.texts(dialog)[1][IDC_PATH_EDIT][3])
        wine.click(dialog, IDC_NEXT)
        self.assertTrue(wine.wait_gone(dialog))
        box.wait_for_log_line("Produce isnot exist, download")
        # The update worker's line (no update is published) comes when it comes.
        no_update = "download new.xml failed, url: %s%s" % (server.base_url, UPDATE_DOCUMENT)
        box.wait_for_log_line(no_update)
        lines = box.log_lines()
        lines.remove(no_update)
        self.assertEqual(["the Produce name:Demo, version: 1.0", "write the update time " + record_get("updatetime"),
                          "the Produce url:%s/zansetup/soft/Demo/1.0/soft.info" % server.base_url,
                          "Download soft.xml url: %s/zansetup/soft/Demo/1.0/soft.info" % server.base_url],
                         lines[:4])
        self.assertLess(lines.index("Set instal path: " + FOLDER), lines.index("Produce isnot exist, download"))
        self.assertTrue(os.path.exists(os.path.join(box.download_dir(), "Demo", "en-us.locale")))
        # The checksum is read before the download too, logged when missing,
        # and the downloaded package then matches none.
        self.assertEqual(lines.index("Produce isnot exist, download") - 1,
                         lines.index("get value with tag:%s failed" % CHECKSUM), lines)
        error = wine.message_box(caption, timeout_ms=60000)
        self.assertIsNotNone(error, "no install error")
        wine.click(error, IDOK)

    def cancel(self, box, server, wine, caption, dialog, process):
        wine.click(dialog, IDCANCEL)
        confirm = wine.message_box(caption)
        self.assertIsNotNone(confirm, "no confirmation box")
        self.assertEqual(read_locale_text("en-us", "language.messagebox"), wine.message_text(confirm))
        wine.click(confirm, IDNO)
        self.assertTrue(wine.wait_gone(confirm))
        # The click needs the dialog still there.
        self.assertIsNone(process.poll(), "No must keep the setup waiting")
        wine.click(dialog, IDCANCEL)
        confirm = wine.message_box(caption)
        self.assertIsNotNone(confirm)
        wine.click(confirm, IDYES)
        self.assertEqual(2, wait_exit(process))
        self.assertNotIn("Produce isnot exist, download", box.log_lines())


class Start(E2ETestCase):
    def test_without_a_product_or_with_one_that_escapes_its_folder_the_program_ends_with_0(self):
        box = Sandbox("entry-no-product")
        wine = Wine()
        # The parser's cases are the unit tests'; these are the program's.
        for args in ["", "app=Foo", "App=", "Uac=yes"]:
            # The driver watches the program's windows for as long as it runs, and ends with its exit code.
            code, out = wine._act(["run", box.program + " " + args, "--windows"], 60)
            self.assertEqual((0, "windows 0"), (code, out.strip()), args)
        self.assertFalse(os.path.exists(box.log_path), "nothing should be logged")
        # Which names escape is the unit tests' table; here the program ends on one.
        for args in ("App=..\\..\\Windows", "App=Foo Ver=../../x"):
            self.assertEqual(0, wait_exit(self.start(wine, box.program + " " + args)), args)
        # An unpinned build says so first, in each run's lines.
        self.assertEqual([DEVELOPMENT_LINE, "the Produce name is not usable, setup ends: ..\\..\\Windows",
                          DEVELOPMENT_LINE, "the Produce version is not usable, setup ends: ../../x"],
                         read_log_lines(box.log_path, with_development_line=True))
        self.assertFalse(os.path.exists(box.download_dir()))

    # The other languages' texts: test_languages.
    def test_the_same_product_is_refused_another_runs_and_closing_the_hidden_main_dialog_ends_with_2(self):
        box = Sandbox("entry-second-start")
        wine = Wine()
        running_text = read_locale_text("en-us", "language.isruningmessage")
        with tempfile.TemporaryFile() as out:
            # No download server runs: the first start keeps trying it again, and runs on while it does.
            first = wine.start_counting_windows(box.program + "   App=Foo    Ver=1.0  ", out)
            self.processes.append(first)
            hwnd = wine.main_dialog()
            self.assertIsNotNone(hwnd, "no hidden main dialog")
            trying_again = lambda: [l for l in box.log_lines() if l.startswith("trying again in ")]  # noqa: E731
            self.assertTrue(wait_until(trying_again, timeout=30), box.log_lines())
            lines_of_first = len(box.log_lines())

            second = self.start(wine, box.program + " App=Foo")
            message_box = wine.find_message(CAPTION, running_text)
            self.assertIsNotNone(message_box, "no already-running box %r" % running_text)
            box.screenshot("already-running-en-us")
            self.assertIsNone(second.poll(), "ended before the box was answered")
            wine.click(message_box, 1)
            self.assertEqual(0, wait_exit(second))

            # Another product runs beside the first.
            other = self.start(wine, box.program + " App=Bar")
            # Its first line comes after the guard: by then a refusal would be open.
            box.wait_for_log_line("the Produce name:Bar, version: ")
            self.assertIsNone(other.poll(), "a different product must not be refused")
            self.assertIsNone(wine.find_message(CAPTION, running_text, timeout_ms=0))

            # Every main dialog there is, so that a failure shows whose was closed.
            dialogs = wine.main_dialogs()
            self.assertTrue(wine.close(hwnd), "the program ended before its main dialog was closed")
            try:
                code = wait_exit(first)
            except AssertionError as error:
                raise AssertionError("%s; closed %s of the main dialogs %r; log %r"
                                     % (error, hwnd, dialogs, box.log_lines())) from None
            self.assertEqual(2, code)
            for other_dialog in wine.main_dialogs():
                wine.close(other_dialog)
            self.assertEqual(2, wait_exit(other))
            out.seek(0)
            # The same count that sees no window without a product sees these.
            count = int(out.read().decode().split()[1])
        self.assertGreaterEqual(count, 3, "main, progress and path dialogs")
        second_lines = [l for l in box.log_lines()[lines_of_first:] if "Foo" in l and not l.startswith("trying again")]
        self.assertEqual([], second_lines, "the already-running path logs nothing")


class Conflicts(E2ETestCase):
    def start_agent(self, wine, folder):
        """DemoAgent.exe running from `folder` (a C: path in the prefix)."""
        os.makedirs(prefix_path(folder), exist_ok=True)
        shutil.copy2(os.path.join(DEMO_PRODUCT, "DemoAgent.exe"), prefix_path(folder))
        self.start(wine, folder + "\\DemoAgent.exe 120")
        self.assertTrue(wait_until(lambda: agent_running(folder), timeout=5), "the agent did not start")

    def tearDown(self):
        taskkill("DemoAgent.exe")
        super().tearDown()

    def test_the_user_ends_the_conflicting_program_or_quits_and_the_same_program_elsewhere_is_none(self):
        box = Sandbox("conflicts")
        folder = "C:\\ZanTest\\conflict %d" % os.getpid()
        elsewhere = "C:\\ZanTest\\conflict other %d" % os.getpid()
        # name, where the agent runs (by default the install folder), the
        # button and the question it asks (none: no dialog), installed
        rows = [("DemoConflict", None, IDC_TERMINATE, "language.terminatemessage", True),
                ("DemoQuit", None, IDCANCEL, "language.messagebox", False),
                ("DemoElsewhere", elsewhere, None, None, True)]
        wine = Wine("en-us")
        with ProductServer(box) as server:
            for name, agent_folder, button, question, installed in rows:
                with self.subTest(name):
                    box.reset_log()
                    target = "%s %s" % (folder, name)
                    self.start_agent(wine, agent_folder or target)
                    server.publish(name, version="1.0", default_dir=target, conflict_processes=["DemoAgent.exe"])
                    process = self.start(wine, box.program + " App=%s Ver=1.0" % name)
                    dialog = wine.find(title=CAPTION, control=IDC_NEXT, timeout_ms=30000)
                    self.assertIsNotNone(dialog)
                    wine.click(dialog, IDC_NEXT)
                    if button:
                        conflict = wine.find(title=CAPTION, control=IDC_PROCESS_LIST, timeout_ms=60000)
                        self.assertIsNotNone(conflict, "no conflicting process dialog")
                        self.assertEqual(["DemoAgent.exe"], wine.list_items(conflict, IDC_PROCESS_LIST))
                        box.screenshot("conflict-dialog")
                        wine.click(conflict, button)
                        confirm = wine.find_message(CAPTION, read_locale_text("en-us", question))
                        self.assertIsNotNone(confirm, "no question after the button")
                        wine.click(confirm, IDYES)
                    self.assertEqual(2, wait_exit(process, timeout=120))
                    lines = box.log_lines()
                    self.assertEqual(installed, "end install" in lines, lines)
                    self.assertEqual(installed, os.path.exists(os.path.join(prefix_path(target), "installed.txt")))
                    if button == IDC_TERMINATE:
                        found = [l for l in lines if l.startswith("Get conflict process name:DemoAgent.exe, ")]
                        ended = [l for l in lines if l.startswith("Terminate Process:DemoAgent.exe, process id:")]
                        self.assertTrue(found and ended, lines)
                        self.assertLess(lines.index(ended[0]), lines.index("end install"))
                    elif button:
                        self.assertFalse([l for l in lines if l.startswith("begin install:")])
                        self.assertTrue(agent_running(target), "quitting ends nothing")
                    else:
                        self.assertIn("same process name: DemoAgent.exe; but different path: %s; the expected "
                                      "path: %s" % (elsewhere, target), lines)
                    taskkill("DemoAgent.exe")
