"""Programs of the product running from the install folder stop the
installer until the user ends them or quits."""
import os
import shutil
import time
import unittest

from harness import (DEMO_PRODUCT, IDCANCEL, IDYES, E2ETestCase, ProductServer, Sandbox, Wine,
                     read_locale_text, taskkill, wait_exit)
from resource_ids import IDC_NEXT, IDC_PROCESS_LIST, IDC_TERMINATE
from test_install import CAPTION, agent_running, prefix_path


class Conflicts(E2ETestCase):
    def start_agent(self, wine, folder):
        """DemoAgent.exe running from `folder` (a C: path in the prefix)."""
        os.makedirs(prefix_path(folder), exist_ok=True)
        shutil.copy2(os.path.join(DEMO_PRODUCT, "DemoAgent.exe"), prefix_path(folder))
        agent = self.start(wine, folder + "\\DemoAgent.exe 120")
        for _ in range(50):
            if agent_running(folder):
                return agent
            time.sleep(0.1)
        self.fail("the agent did not start")

    def run_setup(self, box, server, name, folder, agent_folder=None):
        """Starts the agent (in the install folder unless `agent_folder`
        says otherwise), then the setup, and confirms the folder."""
        wine = Wine("en-us")
        self.start_agent(wine, agent_folder or folder)
        server.publish(name, version="1.0", default_dir=folder, conflict_processes=["DemoAgent.exe"])
        process = self.start(wine, box.program + " App=%s Ver=1.0" % name)
        dialog = wine.find(title=CAPTION, control=IDC_NEXT, timeout_ms=30000)
        self.assertIsNotNone(dialog)
        wine.click(dialog, IDC_NEXT)
        return wine, process

    def answer_conflict(self, wine, box, button, confirm_key):
        """Waits for the conflict dialog, presses `button` and answers Yes to
        the question it asks (text of `confirm_key`)."""
        conflict = wine.find(title=CAPTION, control=IDC_PROCESS_LIST, timeout_ms=60000)
        self.assertIsNotNone(conflict, "no conflicting process dialog")
        self.assertEqual(["DemoAgent.exe"], wine.list_items(conflict, IDC_PROCESS_LIST))
        box.screenshot("conflict-dialog")
        wine.click(conflict, button)
        confirm = wine.find_message(CAPTION, read_locale_text("en-us", confirm_key))
        self.assertIsNotNone(confirm, "no question after the button")
        wine.click(confirm, IDYES)

    def tearDown(self):
        taskkill("DemoAgent.exe")
        super().tearDown()

    def test_the_user_ends_the_conflicting_program_or_quits_and_the_same_program_elsewhere_is_none(self):
        box = Sandbox("conflicts")
        folder = "C:\\ZanTest\\conflict %d" % os.getpid()
        elsewhere = "C:\\ZanTest\\conflict other %d" % os.getpid()
        # name, where the agent runs, the button and the question it asks (none: no dialog), installed
        rows = [("DemoConflict", folder, IDC_TERMINATE, "language.terminatemessage", True),
                ("DemoQuit", folder, IDCANCEL, "language.messagebox", False),
                ("DemoElsewhere", elsewhere, None, None, True)]
        with ProductServer(box) as server:
            for name, agent_folder, button, question, installed in rows:
                with self.subTest(name):
                    box.reset_log()
                    target = "%s %s" % (folder, name)
                    wine, process = self.run_setup(box, server, name, target,
                                                   agent_folder if agent_folder != folder else target)
                    if button:
                        self.answer_conflict(wine, box, button, question)
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


if __name__ == "__main__":
    unittest.main()
