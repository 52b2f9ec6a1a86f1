"""The publisher's release controls as installations meet them under Wine:
the rollout bucket in the registry record, the channel's update document,
a withdrawn version taking an older update (signed, in a pinned build), and
a foreign tree that publish.py --resign signs again for a pinned build.
Which installation takes which update is the unit tests' table
(release_control_test.cpp); these runs prove the wiring.

The new program is zsdriver copied as ZanSetup.exe (its version block is
newer than any build's; the old copy's, 0.0.0.1, older): started, it
records its command line beside itself and ends."""
import os
import subprocess
import sys
import tempfile
import unittest

import foreign_tree
import signing
from harness import (BUILD, DEMO_PRODUCT, OLD_DRIVER, OUTPUT, RECORD_KEY, SOURCE, UPDATE_DOCUMENT,
                     WINE_RUN, E2ETestCase, ProductServer, Sandbox, Wine, read_locale_text, record_delete,
                     record_reset, record_set, set_document_text, stand_in, wait_exit, wait_for_command_line)
from installed import VERSION

CAPTION = read_locale_text("en-us", "language.caption")
PUBLISHER = signing.test_publisher(BUILD)
BUILD_VERSION = ".".join((VERSION.split(".") + ["0"] * 4)[:4])
BETA_DOCUMENT = UPDATE_DOCUMENT[:-len(".xml")] + "-beta.xml"
ROLLED_IN = "the update 2.0 is rolled out to %s%% of installations, this one among them (bucket %d)"
ROLLED_OUT = "the update 2.0 is rolled out to %s%% of installations, not to this one (bucket %d)"
WITHDRAWN = "this installation's version %s is withdrawn: it takes the update 0.0.0.1" % VERSION


def reg(*args):
    with tempfile.TemporaryFile() as out:
        code = subprocess.run([WINE_RUN, "reg"] + list(args), stdout=out, stderr=subprocess.DEVNULL,
                              stdin=subprocess.DEVNULL, timeout=60).returncode
        out.seek(0)
        return code, out.read().decode("utf-8", errors="replace")


def set_bucket(value):
    assert reg("add", RECORD_KEY, "/v", "rollout_bucket", "/t", "REG_DWORD", "/d", str(value), "/f")[0] == 0


def stored_bucket():
    """The record's rollout_bucket, or None when it holds no DWORD of that name."""
    code, out = reg("query", RECORD_KEY, "/v", "rollout_bucket")
    for fields in (line.split() for line in out.splitlines() if code == 0):
        if len(fields) == 3 and fields[0] == "rollout_bucket" and fields[1] == "REG_DWORD":
            return int(fields[2], 16)
    return None


class ReleaseCase(E2ETestCase):
    """Daily checks of runs that end at the information error (the server
    has no such product), with the update published anew for each."""

    def setUp(self):
        super().setUp()
        self.addCleanup(record_reset)

    @staticmethod
    def target(box):
        return os.path.join(box.download_dir(), "Zansetup", "ZanSetup.exe")

    def check(self, box, server, record, wait_line, starts):
        """One check due with the record `record` (name: text, and
        "rollout_bucket": a number); the run waits for `wait_line` and, when
        the update `starts`, for its start. Returns the log and the
        requests for update documents."""
        for stale in (self.target(box), self.target(box) + ".cmdline"):
            if os.path.exists(stale):
                os.remove(stale)
        box.reset_log()
        record_delete()
        for name, value in record.items():
            set_bucket(value) if name == "rollout_bucket" else record_set(name, value)
        requests_before = len(server.access_log())
        wine = Wine("en-us")
        process = self.start(wine, '"%s" App=Missing Ver=1.0' % box.program)
        error = wine.message_box(CAPTION, timeout_ms=30000)
        self.assertIsNotNone(error, "no information error box; log: %r" % box.log_lines())
        if wait_line:
            box.wait_for_log_line(wait_line, timeout=30)
        # The worker dies with the run: the start is awaited before it ends.
        command_line = wait_for_command_line(self.target(box), timeout=30) if starts else None
        wine.click(error, 1)
        self.assertEqual(2, wait_exit(process))
        if starts:
            self.assertIsNotNone(command_line, "the update was not started; log: %r" % box.log_lines())
        lines = box.log_lines()
        documents = [e.request.split()[1] for e in server.access_log()[requests_before:] if ".xml" in e.request]
        return lines, documents

    @staticmethod
    def clear_documents(server):
        folder = os.path.join(server.root, "zansetup")
        for name in os.listdir(folder):
            if ".xml" in name:
                os.remove(os.path.join(folder, name))


class Unsigned(ReleaseCase):
    def test_rollout_channels_and_withdrawals_decide_which_installation_starts_the_update(self):
        box = Sandbox("release-controls", unsigned=True)
        newer = stand_in(os.path.join(box.root, "new"))
        older = stand_in(os.path.join(box.root, "old"), driver=OLD_DRIVER)

        def malformed_rollout(published):
            set_document_text(published.document_path, "rollout", "30%")

        not_newer = "the update is not started: its version 0.0.0.1 is not newer than this program's " + BUILD_VERSION
        # name, record, (program, published version, publish options, change), line awaited, starts
        rows = [
            ("rollout 30, bucket 2999", {"rollout_bucket": 2999}, (newer, "2.0", {"rollout": "30"}, None),
             ROLLED_IN % ("30", 2999), True),
            ("rollout 30, bucket 3000", {"rollout_bucket": 3000}, (newer, "2.0", {"rollout": "30"}, None),
             ROLLED_OUT % ("30", 3000), False),
            ("rollout 0 halts", {"rollout_bucket": 0}, (newer, "2.0", {"rollout": "0"}, None),
             ROLLED_OUT % ("0", 0), False),
            ("malformed rollout", {"rollout_bucket": 0}, (newer, "2.0", {"rollout": "30"}, malformed_rollout),
             "the update 2.0 is not taken: its rollout is not usable: 30%", False),
            ("channel beta", {"channel": "beta"}, (newer, "2.0", {"channel": "beta"}, None), None, True),
            ("malformed channel", {"channel": "Beta"}, None,
             'the channel "Beta" is no channel name: the default channel is used', False),
            ("this version withdrawn", {"version": VERSION}, (older, "0.0.0.1", {"withdrawn": [VERSION]}, None),
             WITHDRAWN, True),
            ("another version withdrawn", {"version": VERSION}, (older, "2.0", {"withdrawn": ["0.5"]}, None),
             not_newer, False),
        ]
        with ProductServer(box) as server:
            for name, record, update, line, starts in rows:
                with self.subTest(name):
                    self.clear_documents(server)
                    if update:
                        program, version, options, change = update
                        published = server.publish_update(program, version, **options)
                        if change:
                            change(published)
                    lines, documents = self.check(box, server, record, line, starts)
                    expected = BETA_DOCUMENT if record.get("channel") == "beta" else UPDATE_DOCUMENT
                    self.assertEqual([expected], documents)
                    if name == "malformed channel":
                        self.assertIn("download new.xml failed, url: %s%s" % (server.base_url, UPDATE_DOCUMENT), lines)
                    if "withdrawn" in name:
                        self.assertEqual(starts, WITHDRAWN in lines, lines)
                    # The table for a person, as the runs decided it.
                    verdict = "started" if starts else "not started"
                    sys.stderr.write("\n%-26s %-26s %-11s %s" % (name, documents[0], verdict, line or ""))
        sys.stderr.write("\n")

    def test_a_new_installation_draws_its_bucket_once_and_keeps_it(self):
        box = Sandbox("release-bucket", unsigned=True)
        with ProductServer(box) as server:
            # Rollout 0: the line that closes each check names the bucket,
            # and nothing is downloaded.
            server.publish_update(stand_in(os.path.join(box.root, "new")), "2.0", rollout="0")
            lines, _ = self.check(box, server, {}, None, False)
            drawn = [l for l in lines if l.startswith("drew the rollout bucket ")]
            self.assertEqual(1, len(drawn), lines)
            bucket = int(drawn[0].rsplit(" ", 1)[1])
            self.assertIn(ROLLED_OUT % ("0", bucket), lines)
            self.assertEqual(bucket, stored_bucket())

            # The next day's check (the record is the same but for the stamp).
            record_set("updatetime", "20000101000000")
            box.reset_log()
            wine = Wine("en-us")
            process = self.start(wine, '"%s" App=Missing Ver=1.0' % box.program)
            error = wine.message_box(CAPTION, timeout_ms=30000)
            self.assertIsNotNone(error, "no information error box")
            box.wait_for_log_line(ROLLED_OUT % ("0", bucket), timeout=30)
            wine.click(error, 1)
            self.assertEqual(2, wait_exit(process))
        self.assertFalse([l for l in box.log_lines() if "drew" in l], box.log_lines())
        self.assertEqual(bucket, stored_bucket())


class Pinned(ReleaseCase):
    def test_a_withdrawal_counts_only_in_the_publishers_signed_document(self):
        box = Sandbox("release-pinned", variant="pinned")
        older = stand_in(os.path.join(box.root, "old"), driver=OLD_DRIVER)
        signing.sign(older, PUBLISHER)
        signed = {"sign_key": PUBLISHER.key, "sign_cert": PUBLISHER.cert}
        with ProductServer(box) as server:
            missing = "the signature of %s%s is missing" % (server.base_url, UPDATE_DOCUMENT)
            for name, options, line, starts in (("signed", signed, WITHDRAWN, True),
                                                ("unsigned", {}, missing, False)):
                with self.subTest(name):
                    server.publish_update(older, "0.0.0.1", withdrawn=[VERSION], **options)
                    lines, _ = self.check(box, server, {"version": VERSION}, line, starts)
                    if starts:
                        self.assertIn("the update is signed by our publisher, key " + PUBLISHER.pin, lines)
                    else:
                        self.assertFalse([l for l in lines if "withdrawn" in l or "download zansetup" in l], lines)

    def test_a_foreign_tree_signed_again_installs_in_a_pinned_build(self):
        box = Sandbox("release-foreign", variant="pinned")
        with ProductServer(box) as server:
            foreign_tree.language_files(server.root, PUBLISHER)
            info = foreign_tree.product(server.root, server.base_url, "Foreign", "1.0",
                                        os.path.join(DEMO_PRODUCT, "DemoSetup.exe"), PUBLISHER)
            signatures = {}
            for folder, _, names in os.walk(server.root):
                for name in (n for n in names if n.endswith(".p7s")):
                    with open(os.path.join(folder, name), "rb") as f:
                        signatures[os.path.join(folder, name)] = f.read()
            run = subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "publish.py"), "--resign",
                                  server.root, "--sign-key", PUBLISHER.key, "--sign-cert", PUBLISHER.cert],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, timeout=60)
            self.assertEqual(0, run.returncode, run.stdout)
            sys.stderr.write("\n" + run.stdout)
            self.assertEqual(4, len(signatures))
            self.assertEqual(sorted("signed " + p[:-len(".p7s")] for p in signatures),
                             sorted(line.rsplit(" until ", 1)[0] for line in run.stdout.splitlines()
                                    if line.startswith("signed")))
            for path, old in signatures.items():
                with open(path, "rb") as f:
                    self.assertNotEqual(old, f.read(), path)
            lines = self.run_setup(box, "Foreign")
        self.assertIn("the Produce url:%s/zansetup/soft/Foreign/1.0/soft.info" % server.base_url, lines)
        self.assertFalse([l for l in lines if l.startswith(("the signature of", "the document"))], lines)
        self.assertTrue(os.path.exists(info))


if __name__ == "__main__":
    unittest.main()
