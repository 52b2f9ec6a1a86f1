"""The daily self-update of an unsigned setup program under Wine: the stamp
in the registry record, the update document, the new program's download,
digest check and start, and that none of it holds up or changes the product
install of the same run. test_pinned has the pinned program's.

The "new setup program" is zsdriver copied as ZanSetup.exe: started, it
records its command line beside itself and ends."""
import hashlib
import os
import time
import unittest

import servers
from harness import (DEMO_PRODUCT, FAULT_PORT, IDOK, OUTPUT, UPDATE_DOCUMENT, UPDATE_MUTEX, E2ETestCase,
                     ProductServer, Sandbox, Wine, read_locale_text, record_delete, record_get, record_reset,
                     record_set, stand_in, update_stamp, wait_exit, wait_for_command_line, windows_path)

CAPTION = read_locale_text("en-us", "language.caption")
HOUR = 3600
NOT_CHECKED = "the update was not checked for a signature: this build pins no publisher key"


class SelfUpdate(E2ETestCase):
    def setUp(self):
        super().setUp()
        # Every test starts without a record: a check is due.
        record_delete()
        self.addCleanup(record_reset)

    @staticmethod
    def stand_in(box):
        return stand_in(os.path.join(box.root, "new"))

    @staticmethod
    def target(box):
        return os.path.join(box.download_dir(), "Zansetup", "ZanSetup.exe")

    def wait_for_start(self, box):
        """The command line the new program was started with."""
        command_line = wait_for_command_line(self.target(box))
        self.assertIsNotNone(command_line, "the new program was not started; log: %r" % box.log_lines())
        return command_line

    def install(self, box, name):
        """A whole silent install of the demo product."""
        process = self.start(Wine("en-us"), '"%s" App=%s Ver=1.0' % (box.program, name))
        self.assertEqual(2, wait_exit(process, timeout=120))
        self.assertIn("end install", box.log_lines())

    def run_to_information_error(self, box, wait_line=None, worker_done=False, while_open=None, extra=""):
        """A run for a product the server does not have: it ends at the
        information error. The box stays open until the update worker has
        logged `wait_line`, has done all it will if `worker_done` (it holds
        the update mutex to its end), and `while_open()` has returned (the
        worker dies with the run); returns what that returned."""
        wine = Wine("en-us")
        process = self.start(wine, '"%s" App=Missing Ver=1.0%s' % (box.program, extra))
        error = wine.message_box(CAPTION, timeout_ms=30000)
        self.assertIsNotNone(error, "no information error box")
        if wait_line:
            box.wait_for_log_line(wait_line, timeout=30)
        if worker_done:
            self.assertTrue(wine.wait_mutex_free(UPDATE_MUTEX, 30000), "the update worker did not end")
        result = while_open() if while_open else None
        wine.click(error, IDOK)
        self.assertEqual(2, wait_exit(process))
        return result

    @staticmethod
    def update_line(line):
        return (line.startswith("write the update time") or "new.xml" in line
                or "zansetup" in line.split(":")[0] or line == "run update failed")

    def content_line(self, published):
        with open(published.document_path, encoding="utf-8") as f:
            return "new.xml content: " + f.read()

    def test_first_run_writes_the_stamp_updates_and_still_installs(self):
        # A blank in the folder: the new program's path must be quoted, or the
        # platform would first try a program named by the path up to the blank.
        box = Sandbox("update first run", unsigned=True)
        # 1.10 is newer than the record's 1.9 as numbers, though not as text.
        record_set("version", "1.9")
        planted = stand_in(OUTPUT, "update.exe")
        self.addCleanup(lambda: [os.remove(p) for p in (planted, planted + ".cmdline") if os.path.exists(p)])
        with ProductServer(box) as server:
            # The installer waits for the worker's end: it dies with the run.
            server.publish("Demo", version="1.0", dir_opt_show=0,
                           installer=os.path.join(DEMO_PRODUCT, "DemoSetup-update-wait.exe"))
            published = server.publish_update(self.stand_in(box), "1.10")
            self.install(box, "Demo")
            command_line = self.wait_for_start(box)
        lines = box.log_lines()
        stamp = record_get("updatetime")
        self.assertRegex(stamp, r"^\d{14}$")
        self.assertEqual(["the Produce name:Demo, version: 1.0",
                          "write the update time " + stamp,
                          "the Produce url:%s/zansetup/soft/Demo/1.0/soft.info" % server.base_url], lines[:3])
        self.assertIn(self.content_line(published), lines)
        target = windows_path(self.target(box))
        self.assertIn("download zansetup to: " + target, lines)
        self.assertEqual('"%s" /Inst=0' % target, command_line)
        self.assertFalse(os.path.exists(planted + ".cmdline"), "the path up to the blank was started")
        self.assertNotIn("update zansetup check md5 failed", lines)
        # An unsigned program asks nothing of its update, and says so once.
        self.assertEqual(1, lines.count(NOT_CHECKED), lines)

    def test_a_stamp_23_hours_old_checks_nothing_and_24_hours_old_checks(self):
        box = Sandbox("update-stamp-age", unsigned=True)
        with ProductServer(box) as server:
            server.publish_update(self.stand_in(box), "2.0")
            young = update_stamp(23 * HOUR)
            record_set("updatetime", young)
            # The check is decided before the information step, and a check
            # made would have its worker.
            self.run_to_information_error(box, worker_done=True)
            self.assertEqual(young, record_get("updatetime"))
            self.assertFalse([l for l in box.log_lines() if self.update_line(l)], box.log_lines())
            self.assertFalse([e for e in server.access_log() if UPDATE_DOCUMENT in e.request])

            box.reset_log()
            record_set("updatetime", update_stamp(24 * HOUR))
            self.run_to_information_error(box, while_open=lambda: self.wait_for_start(box))
            renewed = record_get("updatetime")
            self.assertIn("write the update time " + renewed, box.log_lines())
            self.assertLess(abs(time.mktime(time.strptime(renewed, "%Y%m%d%H%M%S")) - time.time()), 120)

    def test_a_wrong_digest_starts_nothing(self):
        for wrong in ("wrong_checksum", "wrong_sha256"):
            with self.subTest(wrong):
                record_delete()
                box = Sandbox("update-" + wrong, unsigned=True)
                with ProductServer(box) as server:
                    published = server.publish_update(self.stand_in(box), "2.0", **{wrong: True})
                    self.run_to_information_error(box, wait_line="update zansetup check md5 failed")
                self.assertTrue(os.path.exists(self.target(box)), "downloaded, then refused")
                self.assertFalse(os.path.exists(self.target(box) + ".cmdline"))
                self.assertNotIn("run update failed", box.log_lines())
                if wrong == "wrong_sha256":
                    with open(self.target(box), "rb") as f:
                        real = hashlib.sha256(f.read()).hexdigest()
                    self.assertIn("compare sha256 failed, expected: %s, real: %s" % (published.sha256, real),
                                  box.log_lines())

    def test_without_a_document_or_a_newer_version_nothing_is_downloaded(self):
        # 1.9 comes before 1.10 as numbers, though not as text; the rest of
        # the order is the unit tests'.
        for case, installed, published_version in (("no-document", None, None), ("older", "1.10", "1.9")):
            with self.subTest(case):
                record_delete()
                if installed:
                    record_set("version", installed)
                box = Sandbox("update-" + case, unsigned=True)
                with ProductServer(box) as server:
                    if published_version:
                        line = self.content_line(server.publish_update(self.stand_in(box), published_version))
                    else:
                        line = "download new.xml failed, url: %s%s" % (server.base_url, UPDATE_DOCUMENT)
                    # Without an update the worker ends silently after the
                    # document; its end shows that nothing follows.
                    self.run_to_information_error(box, wait_line=line, worker_done=True)
                self.assertFalse([l for l in box.log_lines() if l.startswith("download zansetup")])
                self.assertFalse(os.path.exists(self.target(box)))
                self.assertRegex(record_get("updatetime"), r"^\d{14}$", "the stamp is written before the check")

    def test_uac_typed_by_hand_with_a_limited_token_still_checks_and_removes_leftovers(self):
        # The token, or being the protected copy, makes a run elevated (whose
        # check the launcher's tests see left out), never the argument.
        box = Sandbox("update-uac-typed", unsigned=True)
        leftover = os.path.join(box.program_dir, "ZanSetup.exe.old")
        with open(leftover, "wb") as f:
            f.write(b"old")
        with ProductServer(box) as server:
            server.publish_update(self.stand_in(box), "2.0")
            self.run_to_information_error(box, extra=" Uac=yes", while_open=lambda: self.wait_for_start(box))
            requests = server.access_log()
        self.assertNotIn("the elevated run leaves the update check to the run before it", box.log_lines())
        self.assertTrue([e for e in requests if UPDATE_DOCUMENT in e.request])
        self.assertRegex(record_get("updatetime"), r"^\d{14}$")
        self.assertFalse(os.path.exists(leftover))

    def test_every_placeholder_in_the_address_gets_the_version(self):
        box = Sandbox("update-placeholders", unsigned=True)
        with ProductServer(box) as server:
            published = server.publish_update(self.stand_in(box), "2.0",
                                              path="update/%VER%/ZanSetup-%VER%.exe")
            self.assertEqual(2, published.url.count("%VER%"))
            self.run_to_information_error(box, while_open=lambda: self.wait_for_start(box))
            requests = [e.request for e in server.access_log() if "ZanSetup-" in e.request]
        self.assertEqual(["GET /zansetup/update/2.0/ZanSetup-2.0.exe HTTP/1.1"], requests)

    def test_a_second_run_during_an_update_starts_none_and_leaves_the_leftovers(self):
        # The program comes slowly, so the first run's worker still holds the
        # update while the second run starts; the stamp is gone by then, so
        # only the update mutex keeps the second run from a check of its own.
        box = Sandbox("update-race", unsigned=True)
        slow = "location /zansetup/update/ { limit_rate 40k; }"
        leftover = os.path.join(box.program_dir, "ZanSetup.exe.old")
        with ProductServer(box, locations=slow) as server:
            published = server.publish_update(self.stand_in(box), "2.0")
            wine = Wine("en-us")
            first = self.start(wine, '"%s" App=MissingA Ver=1.0' % box.program)
            box.wait_for_log_line(self.content_line(published), timeout=30)
            record_delete()
            with open(leftover, "wb") as f:
                f.write(b"old")
            second = self.start(wine, '"%s" App=MissingB Ver=1.0' % box.program)
            box.wait_for_log_line("another run holds the update: this run checks nothing", timeout=30)
            self.wait_for_start(box)
            for _ in (first, second):
                error = wine.message_box(CAPTION, timeout_ms=30000)
                self.assertIsNotNone(error, "no information error box")
                wine.click(error, IDOK)
                # Gone before the next is looked for: the click is only posted.
                self.assertTrue(wine.wait_gone(error))
            self.assertEqual([2, 2], [wait_exit(first), wait_exit(second)])
            requests = [e.request for e in server.access_log()]
        lines = box.log_lines()
        self.assertIn("the update leftovers stay: another run holds the update", lines)
        self.assertTrue(os.path.exists(leftover))
        self.assertEqual(1, len([r for r in requests if UPDATE_DOCUMENT in r]), requests)
        self.assertEqual(1, len([r for r in requests if "/zansetup/update/" in r]), requests)
        self.assertEqual(1, len([l for l in lines if l.startswith("write the update time")]), lines)

    def test_a_stalled_update_server_does_not_delay_the_install(self):
        box = Sandbox("update-stalled", unsigned=True)
        # new.xml is handed to the fault server, which answers nothing for
        # two minutes; everything else comes from nginx at once.
        stall = ('location = ' + UPDATE_DOCUMENT + ' { proxy_pass http://127.0.0.1:%d/stall/120; '
                 'proxy_read_timeout 300s; }' % FAULT_PORT)
        with servers.FaultServer(FAULT_PORT) as fault, ProductServer(box, locations=stall) as server:
            # Two products, so that both runs download their package.
            for name in ("DemoCalm", "DemoStall"):
                server.publish(name, version="1.0", dir_opt_show=0)
            record_set("updatetime", update_stamp())
            self.install(box, "DemoCalm")
            self.assertIn("Produce isnot exist, download", box.log_lines())
            self.assertFalse([l for l in box.log_lines() if self.update_line(l)])

            box.reset_log()
            record_delete()
            # The run ends, whole, while the check still waits for its answer
            # (bench/run_update_bench.py measures what the check costs it).
            self.install(box, "DemoStall")
            lines = box.log_lines()
            self.assertIn("Produce isnot exist, download", lines)
            self.assertTrue([l for l in lines if l.startswith("write the update time ")], lines)
            self.assertIn("/stall/120", [path for _, path, _ in fault.requests], "the check was made")
            self.assertFalse([l for l in lines if "new.xml" in l], "the stalled check still waits")


if __name__ == "__main__":
    unittest.main()
