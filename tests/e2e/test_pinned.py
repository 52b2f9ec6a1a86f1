"""The setup program pinned to a publisher key (tests-bin/pinned, pinned to
the test publisher that the build made when it was configured). It takes
only documents signed with that key, until the time they name, and soft.info
only for the product and version asked for; it needs the package's SHA-256; and it starts only an
update that the key signed, whose version block is newer than its own.

The pinned program itself carries no signature: nothing it checks depends
on its own. Updates are zsdriver copies (started, they record their command
line beside themselves), signed, unsigned or broken for each case."""
import os
import shutil
import subprocess
import sys
import unittest

import signing
from harness import (ARCH, BUILD, DEMO_PRODUCT, DEVELOPMENT_LINE, DRIVER, MACHINES, OLD_DRIVER, OUTPUT, SOURCE,
                     UPDATE_DOCUMENT, WINE_RUN, E2ETestCase, ProductServer, Sandbox, read_log_lines, record_delete,
                     record_reset, set_document_text, stand_in, started_command_line, wait_for_command_line,
                     windows_path)
from installed import VERSION

PUBLISHER = signing.test_publisher(BUILD)
INFO_ERROR = "language.downloadinfoerror"
INSTALL_ERROR = "language.installprodcueerror"
NOT_STARTED = "the update is not started: "
TRUST_E_BAD_DIGEST = "0x80096010"
BUILD_VERSION = ".".join((VERSION.split(".") + ["0"] * 4)[:4])
# The processor of the other flavour: an update for it never starts.
OTHER_MACHINE = [m for a, m in MACHINES.items() if a != ARCH][0]
PAST = "2001-01-01T00:00:00Z"
EXPIRED = "the document %s expired on %s"


def signed_by(identity):
    return {"sign_key": identity.key, "sign_cert": identity.cert} if identity else {}


class PinnedCase(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls.stranger = signing.Identity(os.path.join(OUTPUT, "pinned-keys"), "Another publisher")

    def setUp(self):
        super().setUp()
        self.addCleanup(record_reset)


class PinnedDocuments(PinnedCase):
    @staticmethod
    def publish(server, name, identity=PUBLISHER, version="1.0", **options):
        return server.publish(name, version=version, dir_opt_show=0, **signed_by(identity), **options)

    def test_signed_documents_install_until_they_expire_and_again_once_signed_anew(self):
        box = Sandbox("pinned-install", variant="pinned")
        with ProductServer(box) as server:
            published = self.publish(server, "Signed", expires_days=-1)
            lines = self.run_setup(box, "Signed", INFO_ERROR)
            self.assertIn(EXPIRED % (published.info_url, published.expires), lines)
            resigned = subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "publish.py"), "--resign",
                                       server.root, "--sign-key", PUBLISHER.key, "--sign-cert", PUBLISHER.cert],
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
                                      timeout=60)
            self.assertEqual(0, resigned.returncode, resigned.stdout)
            box.reset_log()
            lines = self.run_setup(box, "Signed")
            requests = [e.request for e in server.access_log()]
        for document in (published.info_url, published.lang_urls["en-us"]):
            self.assertTrue([r for r in requests if document[len(server.base_url):] + ".p7s" in r], requests)
        self.assertFalse([line for line in lines if line.startswith(("the signature of", "the document"))], lines)
        self.assertNotIn(DEVELOPMENT_LINE, read_log_lines(box.log_path, with_development_line=True))

    def test_what_the_key_did_not_sign_for_this_run_is_refused_before_the_package(self):
        box = Sandbox("pinned-refused", variant="pinned")
        with ProductServer(box) as server:
            def changed():
                published = self.publish(server, "Changed")
                set_document_text(published.info_path, "package/url", server.base_url + "/evil.exe")
                return "the signature of %s is not valid" % published.info_url

            def missing():
                published = self.publish(server, "Missing")
                os.remove(published.signatures[published.info_path])
                return "the signature of %s is missing" % published.info_url

            def stranger():
                published = self.publish(server, "Stranger", identity=self.stranger)
                return "the signature of %s is not by our publisher" % published.info_url

            def other_product():
                other = self.publish(server, "Other")
                published = self.publish(server, "Victim")
                for source, target in ((other.info_path, published.info_path),
                                       (other.signatures[other.info_path], published.signatures[published.info_path])):
                    shutil.copyfile(source, target)
                return "the document %s is not for this product and version" % published.info_url

            def other_version():
                older = self.publish(server, "Replay")
                published = self.publish(server, "Replay", version="2.0")
                for name in ("soft.info", "soft.info.p7s"):
                    shutil.copyfile(os.path.join(older.folder, name), os.path.join(published.folder, name))
                return "the document %s is not for this product and version" % published.info_url

            def language():
                published = self.publish(server, "Language")
                with open(published.lang_paths["en-us"], "ab") as f:
                    f.write(b"<!-- -->")
                return "the signature of %s is not valid" % published.lang_urls["en-us"]

            def expired():
                published = self.publish(server, "Expired", expires_at=PAST)
                return EXPIRED % (published.info_url, PAST)

            def expired_language():
                published = self.publish(server, "OldLanguage")
                signing.sign_document_expiring(published.lang_paths["en-us"], PAST, PUBLISHER)
                return EXPIRED % (published.lang_urls["en-us"], PAST)

            def no_expiry():
                published = self.publish(server, "Timeless", expires_days=None)
                return "the document %s gives no expiry time" % published.info_url

            def unreadable_expiry():
                published = self.publish(server, "BadTime", expires_at="2027-01-31")
                return "the document %s gives an unreadable expiry time: 2027-01-31" % published.info_url

            def no_sha256():
                self.publish(server, "NoSha", omit=["soft_info.package.sha256"])
                return "the install information gives no sha256 for the package"

            rows = [("Changed", changed, INFO_ERROR, "1.0"), ("Missing", missing, INFO_ERROR, "1.0"),
                    ("Stranger", stranger, INFO_ERROR, "1.0"), ("Victim", other_product, INFO_ERROR, "1.0"),
                    ("Replay", other_version, INFO_ERROR, "2.0"), ("Language", language, INFO_ERROR, "1.0"),
                    ("Expired", expired, INFO_ERROR, "1.0"), ("OldLanguage", expired_language, INFO_ERROR, "1.0"),
                    ("Timeless", no_expiry, INFO_ERROR, "1.0"), ("BadTime", unreadable_expiry, INFO_ERROR, "1.0"),
                    ("NoSha", no_sha256, INSTALL_ERROR, "1.0")]
            for name, make, error, version in rows:
                with self.subTest(name):
                    box.reset_log()
                    refusal = make()
                    lines = self.run_setup(box, name, error, version=version)
                    self.assertIn(refusal, lines)
                    packages = [e.request for e in server.access_log()
                                if "/%s/" % name in e.request and ("DemoSetup" in e.request or "evil" in e.request)]
                    self.assertEqual([], packages, "the package was requested")
                    if error == INFO_ERROR:
                        self.assertFalse(os.path.exists(os.path.join(box.download_dir(), name, "en-us.locale")))


class PinnedUpdate(PinnedCase):
    @staticmethod
    def target(box):
        return os.path.join(box.download_dir(), "Zansetup", "ZanSetup.exe")

    @staticmethod
    def update(box, case, identity=None, tampered=False, driver=DRIVER, machine=None):
        """A new setup program of its own folder, for `machine` (none: this
        flavour's), signed by `identity` (none: unsigned) and then, if asked,
        with one signed byte changed."""
        path = stand_in(os.path.join(box.root, "updates", case), driver=driver, machine=machine)
        if identity:
            signing.sign(path, identity)
        if tampered:
            signing.tamper(path)
        return path

    def install_with_update(self, box, server, update, document):
        """Publishes `update` as version 2.0 (new.xml with the publish_update
        options `document`), makes a check due and runs a whole install of
        the demo product. The run's log and the update's command line
        (None: not started)."""
        for stale in (self.target(box), self.target(box) + ".cmdline"):
            if os.path.exists(stale):
                os.remove(stale)
        box.reset_log()
        record_delete()
        server.publish_update(update, "2.0", **document)
        lines = self.run_setup(box, "Demo")
        # The worker dies with the run: an update not started by now never
        # is, and one started records its command line before it ends.
        return lines, started_command_line(self.target(box))

    def test_only_a_newer_update_signed_with_a_pinned_key_starts(self):
        box = Sandbox("pinned-update", variant="pinned")
        stranger = self.stranger
        signed = signed_by(PUBLISHER)
        # A refusal of new.xml itself names it: {document}.
        cases = [
            ("pinned", self.update(box, "pinned", PUBLISHER), signed,
             "the update is signed by our publisher, key " + PUBLISHER.pin),
            ("stranger", self.update(box, "stranger", stranger), signed,
             NOT_STARTED + "it is not signed by our publisher, key " + stranger.pin),
            ("unsigned", self.update(box, "unsigned"), signed, NOT_STARTED + "it has no signature"),
            ("tampered", self.update(box, "tampered", PUBLISHER, tampered=True), signed,
             NOT_STARTED + "its signature is not valid, error code: " + TRUST_E_BAD_DIGEST),
            ("older", self.update(box, "older", PUBLISHER, driver=OLD_DRIVER), signed,
             NOT_STARTED + "its version 0.0.0.1 is not newer than this program's " + BUILD_VERSION),
            ("other flavour", self.update(box, "other-flavour", PUBLISHER, machine=OTHER_MACHINE), signed,
             NOT_STARTED + "it is built for machine 0x%04x, this program for 0x%04x" % (OTHER_MACHINE,
                                                                                       MACHINES[ARCH])),
            ("unsigned new.xml", self.update(box, "unsigned-document", PUBLISHER), {},
             "the signature of {document} is missing"),
            ("expired new.xml", self.update(box, "expired-document", PUBLISHER), dict(signed, expires_at=PAST),
             EXPIRED % ("{document}", PAST)),
        ]
        with ProductServer(box) as server:
            # The installer waits for the update's end: the run lives until the
            # check is over.
            server.publish("Demo", version="1.0", dir_opt_show=0,
                           installer=os.path.join(DEMO_PRODUCT, "DemoSetup-update-wait.exe"), **signed)
            document = server.base_url + UPDATE_DOCUMENT
            for case, update, options, line in cases:
                with self.subTest(update=case):
                    starts = case == "pinned"
                    lines, command_line = self.install_with_update(box, server, update, options)
                    self.assertNotIn("update zansetup check md5 failed", lines)
                    if "{document}" in line:
                        self.assertIn(line.format(document=document), lines)
                        self.assertFalse([l for l in lines if l.startswith("download zansetup")], lines)
                    else:
                        self.assertEqual(1, lines.count(line), lines)
                        self.assertIn("download zansetup to: " + windows_path(self.target(box)), lines)
                    if starts:
                        self.assertEqual('"%s" /Inst=0' % windows_path(self.target(box)), command_line)
                    else:
                        self.assertIsNone(command_line, "a refused update was started")

        # The tampered program still runs when started by hand: it was the
        # check that kept it from running.
        tampered = cases[3][1]
        subprocess.run([WINE_RUN, tampered, "/Inst=0"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        self.assertIsNotNone(wait_for_command_line(tampered, timeout=10))


if __name__ == "__main__":
    unittest.main()
