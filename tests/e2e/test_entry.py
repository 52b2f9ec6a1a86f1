"""The program's start: command line, single-instance guard, hidden main
dialog and exit codes, run for real under Wine."""
import os
import tempfile
import time
import unittest

from harness import DEVELOPMENT_LINE, E2ETestCase, Sandbox, Wine, read_locale_text, read_log_lines, wait_exit


class NoProduct(E2ETestCase):
    def test_without_a_product_the_program_ends_silently_with_0(self):
        box = Sandbox("entry-no-product")
        wine = Wine()
        # The parser's cases are the unit tests'; these are the program's.
        for args in ["", "app=Foo", "App=", "Uac=yes"]:
            # The driver watches the program's windows for as long as it
            # runs, and ends with its exit code.
            code, out = wine._act(["run", box.program + " " + args, "--windows"], 60)
            self.assertEqual((0, "windows 0"), (code, out.strip()), args)
        self.assertFalse(os.path.exists(box.log_path), "nothing should be logged")

    def test_a_name_or_version_that_escapes_its_folder_ends_the_run_before_anything(self):
        # Which names escape is the unit tests' table; here the program ends on one.
        box = Sandbox("entry-bad-name")
        wine = Wine()
        for args in ("App=..\\..\\Windows", "App=Foo Ver=../../x"):
            self.assertEqual(0, wait_exit(self.start(wine, box.program + " " + args)), args)
        # An unpinned build says so first, in each run's lines.
        self.assertEqual([DEVELOPMENT_LINE, "the Produce name is not usable, setup ends: ..\\..\\Windows",
                          DEVELOPMENT_LINE, "the Produce version is not usable, setup ends: ../../x"],
                         read_log_lines(box.log_path, with_development_line=True))
        self.assertFalse(os.path.exists(box.download_dir()))


class NormalStart(E2ETestCase):
    def test_hidden_main_dialog_closes_with_exit_code_2(self):
        box = Sandbox("entry-normal")
        wine = Wine()
        with tempfile.TemporaryFile() as out:
            process = wine.start_counting_windows(box.program + "   App=Foo    Ver=1.0  ", out)
            self.processes.append(process)
            hwnd = wine.main_dialog()
            self.assertIsNotNone(hwnd, "no hidden main dialog")
            # Every main dialog there is, so that a failure shows whose was closed.
            dialogs = wine.main_dialogs()
            self.assertTrue(wine.close(hwnd), "the program ended before its main dialog was closed")
            try:
                code = wait_exit(process)
            except AssertionError as error:
                raise AssertionError("%s; closed %s of the main dialogs %r; log %r"
                                     % (error, hwnd, dialogs, box.log_lines())) from None
            self.assertEqual(2, code)
            out.seek(0)
            # The same count that sees no window without a product sees these.
            count = int(out.read().decode().split()[1])
        self.assertGreaterEqual(count, 3, "main, progress and path dialogs")


class AlreadyRunning(E2ETestCase):
    def check_box_in(self, language):
        box = Sandbox("entry-already-running-" + language)
        wine = Wine(language)
        # No download server runs: the first start keeps trying it again,
        # and runs on while it does.
        first = self.start(wine, box.program + " App=Foo Ver=1.0")
        self.assertIsNotNone(wine.main_dialog())
        caption = read_locale_text(language, "language.caption")
        running_text = read_locale_text(language, "language.isruningmessage")
        deadline = time.time() + 30
        while not [l for l in box.log_lines() if l.startswith("trying again in ")]:
            self.assertLess(time.time(), deadline, box.log_lines())
            time.sleep(0.1)
        lines_of_first = len(box.log_lines())

        second = self.start(wine, box.program + " App=Foo")
        message_box = wine.find_message(caption, running_text)
        self.assertIsNotNone(message_box, "no already-running box %r" % running_text)
        box.screenshot("already-running-" + language)
        self.assertIsNone(second.poll(), "ended before the box was answered")
        wine.click(message_box, 1)
        self.assertEqual(0, wait_exit(second))

        # Another product runs beside the first.
        other = self.start(wine, box.program + " App=Bar")
        # Its first line comes after the guard: by then a refusal would be open.
        box.wait_for_log_line("the Produce name:Bar, version: ")
        self.assertIsNone(other.poll(), "a different product must not be refused")
        self.assertIsNone(wine.find_message(caption, running_text, timeout_ms=0))
        for hwnd in wine.main_dialogs():
            wine.close(hwnd)
        self.assertEqual(2, wait_exit(first))
        self.assertEqual(2, wait_exit(other))
        second_lines = [l for l in box.log_lines()[lines_of_first:] if "Foo" in l and not l.startswith("trying again")]
        self.assertEqual([], second_lines, "the already-running path logs nothing")

    # The other languages' texts: test_languages.
    def test_a_second_start_for_the_same_product_is_refused(self):
        self.check_box_in("en-us")


if __name__ == "__main__":
    unittest.main()
