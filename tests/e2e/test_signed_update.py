"""The daily self-update of a signed setup program under Wine: it starts only
an update signed with its own certificate, whatever the digest on the server
says, and the product install of the same run completes either way.

The certificates are made afresh for each run; the updates are zsdriver
copies (started, they record their command line beside themselves) signed,
left unsigned or broken for each case."""
import os
import shutil
import subprocess
import unittest

import signing
from harness import (DEMO_PRODUCT, OUTPUT, WINE_RUN, E2ETestCase, ProductServer, Sandbox, Wine,
                     record_delete, record_reset, stand_in, wait_exit, wait_for_command_line,
                     windows_path)

NOT_STARTED = "the update is not started: "
NOT_CHECKED = "the update was not checked for a signature: "
TRUST_E_BAD_DIGEST = "0x80096010"


class SignedUpdate(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls.keys = os.path.join(OUTPUT, "signing-keys")
        shutil.rmtree(cls.keys, ignore_errors=True)
        cls.publisher = signing.Identity(cls.keys, "ZanSetup test publisher")
        cls.stranger = signing.Identity(cls.keys, "Another publisher")

    def setUp(self):
        super().setUp()
        self.addCleanup(record_reset)

    @staticmethod
    def target(box):
        return os.path.join(box.download_dir(), "Zansetup", "ZanSetup.exe")

    def signed_box(self, name):
        box = Sandbox(name)
        signing.sign(os.path.join(box.program_dir, "ZanSetup.exe"), self.publisher)
        return box

    @staticmethod
    def update(box, case, identity=None, tampered=False):
        """A new setup program of its own folder, signed by `identity` (none:
        unsigned) and then, if asked, with one signed byte changed."""
        path = stand_in(os.path.join(box.root, "updates", case))
        if identity:
            signing.sign(path, identity)
        if tampered:
            signing.tamper(path)
        return path

    def install_with_update(self, box, server, update, starts):
        """Publishes `update` (its digest computed from the file as it is),
        makes a check due and runs a whole install of the demo product. The
        run's log and the update's command line (None: not started; waited
        for only when it `starts`)."""
        for stale in (self.target(box), self.target(box) + ".cmdline"):
            if os.path.exists(stale):
                os.remove(stale)
        box.reset_log()
        record_delete()
        server.publish_update(update, "2.0")
        process = self.start(Wine("en-us"), '"%s" App=Demo Ver=1.0' % box.program)
        self.assertEqual(2, wait_exit(process, timeout=120))
        lines = box.log_lines()
        self.assertIn("end install", lines, "the product install did not complete")
        self.assertIn("download zansetup to: " + windows_path(self.target(box)), lines)
        self.assertNotIn("update zansetup check md5 failed", lines)
        # The worker dies with the run: an update not started by now never
        # is, and one started has a moment left to record its command line.
        return lines, wait_for_command_line(self.target(box), timeout=30 if starts else 1)

    @staticmethod
    def serve_slow_product(server):
        # The slow installer keeps the run alive until the check is over.
        server.publish("Demo", version="1.0", dir_opt_show=0,
                       installer=os.path.join(DEMO_PRODUCT, "DemoSetup-slow.exe"))

    def test_only_an_update_signed_with_the_programs_own_certificate_starts(self):
        box = self.signed_box("signed-update")
        publisher, stranger = self.publisher, self.stranger
        cases = [
            ("same", self.update(box, "same", publisher),
             "the update is signed by this program's publisher, certificate " + publisher.thumbprint),
            ("unsigned", self.update(box, "unsigned"), NOT_STARTED + "it has no signature"),
            ("other", self.update(box, "other", stranger),
             NOT_STARTED + "it is signed by another publisher, certificate %s, not %s"
             % (stranger.thumbprint, publisher.thumbprint)),
            ("tampered", self.update(box, "tampered", publisher, tampered=True),
             NOT_STARTED + "its signature is not valid, error code: " + TRUST_E_BAD_DIGEST),
        ]
        with ProductServer(box) as server:
            self.serve_slow_product(server)
            for case, update, line in cases:
                with self.subTest(update=case):
                    lines, command_line = self.install_with_update(box, server, update,
                                                                   starts=case == "same")
                    self.assertEqual(1, lines.count(line), lines)
                    self.assertFalse([l for l in lines if l.startswith(NOT_CHECKED)], lines)
                    self.assertNotIn("run update failed", lines)
                    if case == "same":
                        self.assertEqual('"%s" /Inst=0' % windows_path(self.target(box)), command_line)
                    else:
                        self.assertIsNone(command_line, "a refused update was started")

        # The tampered program still runs when started by hand: it was the
        # check that kept it from running.
        tampered = cases[3][1]
        subprocess.run([WINE_RUN, tampered, "/Inst=0"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        self.assertIsNotNone(wait_for_command_line(tampered, timeout=10))

    def test_a_program_whose_own_signature_is_broken_checks_nothing(self):
        box = self.signed_box("signed-update-broken-self")
        signing.tamper(os.path.join(box.program_dir, "ZanSetup.exe"))
        with ProductServer(box) as server:
            self.serve_slow_product(server)
            lines, command_line = self.install_with_update(box, server, self.update(box, "unsigned"),
                                                           starts=True)
        self.assertEqual(1, lines.count(NOT_CHECKED + "this program's own signature could not be "
                                        "verified, error code: " + TRUST_E_BAD_DIGEST), lines)
        self.assertFalse([l for l in lines if l.startswith(NOT_STARTED)], lines)
        self.assertEqual('"%s" /Inst=0' % windows_path(self.target(box)), command_line)


if __name__ == "__main__":
    unittest.main()
