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

    def test_ending_the_conflicting_program_lets_the_install_go_on(self):
        box = Sandbox("conflict-end")
        folder = "C:\\ZanTest\\conflict %d" % os.getpid()
        with ProductServer(box) as server:
            wine, process = self.run_setup(box, server, "DemoConflict", folder)
            self.answer_conflict(wine, box, IDC_TERMINATE, "language.terminatemessage")
            self.assertEqual(2, wait_exit(process, timeout=120))
            lines = box.log_lines()
            found = [l for l in lines if l.startswith("Get conflict process name:DemoAgent.exe, process id:")]
            ended = [l for l in lines if l.startswith("Terminate Process:DemoAgent.exe, process id:")]
            self.assertTrue(found and ended, lines)
            self.assertLess(lines.index(ended[0]), lines.index("end install"))
            self.assertTrue(os.path.exists(os.path.join(prefix_path(folder), "installed.txt")))

    def test_quitting_in_the_dialog_ends_the_run_without_installing(self):
        box = Sandbox("conflict-quit")
        folder = "C:\\ZanTest\\conflict quit %d" % os.getpid()
        with ProductServer(box) as server:
            wine, process = self.run_setup(box, server, "DemoQuit", folder)
            self.answer_conflict(wine, box, IDCANCEL, "language.messagebox")
            self.assertEqual(2, wait_exit(process))
            self.assertFalse([l for l in box.log_lines() if l.startswith("begin install:")])
            self.assertTrue(agent_running(folder), "quitting ends nothing")

    def test_the_same_program_elsewhere_is_no_conflict(self):
        box = Sandbox("conflict-elsewhere")
        folder = "C:\\ZanTest\\conflict target %d" % os.getpid()
        elsewhere = "C:\\ZanTest\\conflict other %d" % os.getpid()
        with ProductServer(box) as server:
            wine, process = self.run_setup(box, server, "DemoElsewhere", folder, agent_folder=elsewhere)
            self.assertEqual(2, wait_exit(process, timeout=120))
            lines = box.log_lines()
            self.assertIn("same process name: DemoAgent.exe; but different path: %s; the expected path: %s"
                          % (elsewhere, folder), lines)
            self.assertIn("end install", lines)


if __name__ == "__main__":
    unittest.main()
