"""What a user sees in each language, as one table: per language, one run of the setup program (its path
dialog, the already-running box of a second start, the progress dialog and the question closing it asks) and
one of ZanSetup's own installer (its first page and its refusal of a folder outside the profile). Each text is
compared with that language's file: the program's own language files, or the installer's script."""
import os
import re

import servers
from harness import (FAULT_PORT, IDCANCEL, IDNO, IDOK, IDYES, MESSAGE_TEXT_ID, SOURCE, E2ETestCase, ProductServer,
                     Sandbox, Wine, prefix_path, profile_folder, read_locale_text, record_get, record_reset,
                     set_document_text, take_screenshot, wait_exit, wait_until, windows_path)
from installed import INSTALLER
from resource_ids import (IDC_BROWSE, IDC_GROUP, IDC_HEADING, IDC_NEXT, IDC_PERCENT_TEXT, IDC_PROGRESS_TEXT,
                          IDC_STEP_TEXT)

NSIS_LANGUAGES = {"en-us": "LANG_ENGLISH", "zh-cn": "LANG_SIMPCHINESE", "zh-tw": "LANG_TRADCHINESE"}
# The installer's caption (which ends in a blank) and button come from the
# installer tool's own language tables.
INSTALLER_TEXTS = {"en-us": ("ZanSetup Setup ", "&Install"),
                   "zh-cn": ("ZanSetup \u5b89\u88c5 ", "\u5b89\u88c5(&I)"),
                   "zh-tw": ("ZanSetup \u5b89\u88dd ", "\u5b89\u88dd(&I)")}
PATH_DIALOG = {IDC_NEXT: "nextbutton", IDCANCEL: "cancelbutton", IDC_BROWSE: "selectbutton",
               IDC_HEADING: "statictext", IDC_GROUP: "grouptext"}
# The texts of the setup program's own language files that are shown.
LOCALE_KEYS = ["language.selectpath." + key for key in PATH_DIALOG.values()] + [
    "language.isruningmessage", "language.downloadProduce.steptext", "language.downloadProduce.progresstext",
    "language.messagebox"]


def installer_text(language, name):
    """A LangString of the installer's script, $PROFILE filled in."""
    with open(os.path.join(SOURCE, "installer", "zansetup.nsi"), encoding="utf-8") as f:
        text = re.search(r'LangString %s \$\{%s\} "(.*)"' % (name, NSIS_LANGUAGES[language]), f.read()).group(1)
    return text.replace("$PROFILE", windows_path(profile_folder()))


class Languages(E2ETestCase):
    def setUp(self):
        super().setUp()
        # No record: nothing is installed, and no update check is due.
        record_reset()
        self.addCleanup(record_reset)

    def setup_program_texts(self, language, shown):
        """One run to the path dialog, a second start while it is open, then the download, which stalls
        after a quarter, and closing its progress dialog: No keeps the download going, Yes ends the run."""
        box = Sandbox("languages-" + language)
        wine = Wine(language)
        caption = read_locale_text(language, "language.caption")
        with servers.FaultServer(FAULT_PORT) as fault, ProductServer(box) as server:
            published = server.publish("Demo", version="1.0")
            set_document_text(published.info_path, "package/url", fault.base_url + "/stall-body/60/400000")
            process = self.start(wine, box.program + " App=Demo Ver=1.0")
            dialog = wine.find(title=caption, control=IDC_NEXT, timeout_ms=60000)
            self.assertIsNotNone(dialog, "no path dialog; log: %r" % box.log_lines())
            controls = wine.texts(dialog)[1]
            for control, key in PATH_DIALOG.items():
                shown["language.selectpath." + key] = controls[control][3]
            box.screenshot("path-dialog-" + language)

            second = self.start(wine, box.program + " App=Demo")
            running = wine.message_box(caption)
            self.assertIsNotNone(running, "no already-running box")
            shown["language.isruningmessage"] = wine.message_text(running)
            box.screenshot("already-running-" + language)
            wine.click(running, IDOK)
            self.assertEqual(0, wait_exit(second))

            wine.click(dialog, IDC_NEXT)
            progress = wine.find(title=caption, control=IDC_PERCENT_TEXT, timeout_ms=30000)
            self.assertIsNotNone(progress, "no progress dialog")
            # The user's language file came from the server with the information.
            self.assertTrue(os.path.exists(os.path.join(box.download_dir(), "Demo", language + ".locale")))
            # The step texts are set once the download has begun and shows a share. The report trails the
            # stalled quarter by a chunk.
            share = lambda: wine.texts(progress)[1][IDC_PERCENT_TEXT][3]  # noqa: E731
            self.assertTrue(wait_until(lambda: re.match(r"^\((2[0-5])%\)$", share()), timeout=30), share())
            controls = wine.texts(progress)[1]
            shown["language.downloadProduce.steptext"] = controls[IDC_STEP_TEXT][3]
            shown["language.downloadProduce.progresstext"] = controls[IDC_PROGRESS_TEXT][3]
            box.screenshot("progress-" + language)
            wine.close(progress)
            question = wine.message_box(caption)
            self.assertIsNotNone(question, "closing must ask")
            shown["language.messagebox"] = wine.message_text(question)
            wine.click(question, IDNO)
            self.assertTrue(wine.wait_gone(question))
            self.assertIsNone(process.poll(), "No must keep the download going")
            wine.close(progress)
            wine.click(wine.message_box(caption), IDYES)
            self.assertEqual(2, wait_exit(process))

    def installer_texts(self, language, shown):
        """The installer's first page, its refusal of C:\\ZanSetup, and its
        end when cancelled there (1), having installed nothing."""
        wine = Wine(language)
        process = self.start(wine, '"%s" /D=C:\\ZanSetup' % windows_path(INSTALLER))
        window = wine.find(title=INSTALLER_TEXTS[language][0], timeout_ms=30000)
        self.assertIsNotNone(window, "no installer window titled %r" % INSTALLER_TEXTS[language][0])
        title, controls = wine.texts(window)
        shown["installer: title"], shown["installer: Install"] = title, controls[IDOK][3]
        take_screenshot("installer-" + language)
        wine.click(window, IDOK)
        refusal = wine.find(control=MESSAGE_TEXT_ID)
        self.assertIsNotNone(refusal, "no refusal of C:\\ZanSetup")
        shown["installer: outside the profile"] = wine.message_text(refusal)
        take_screenshot("installer-outside-profile-" + language)
        wine.click(refusal, IDOK)
        self.assertTrue(wine.wait_gone(refusal))
        wine.click(window, IDCANCEL)
        self.assertEqual(1, wait_exit(process))
        self.assertFalse(os.path.exists(prefix_path("C:\\ZanSetup")))
        self.assertIsNone(record_get("version"))

    def test_every_text_is_that_of_the_user_s_language(self):
        for language in ("en-us", "zh-cn", "zh-tw"):
            shown = {}
            with self.subTest(language=language):
                self.setup_program_texts(language, shown)
                self.installer_texts(language, shown)
            expected = {key: read_locale_text(language, key) for key in LOCALE_KEYS}
            expected["installer: title"], expected["installer: Install"] = INSTALLER_TEXTS[language]
            expected["installer: outside the profile"] = installer_text(language, "OutsideProfile")
            for what, text in expected.items():
                with self.subTest(language=language, what=what):
                    self.assertEqual(text, shown.get(what))
