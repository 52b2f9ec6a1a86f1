"""Whether the daily check starts an update, as one table over the registry record, the update document and
the program published, unpinned and pinned. Each row is one run for a product the server lacks, its error box
open until the update worker lets go of the update mutex. The new program is zsdriver (OLD_DRIVER: an older
version block), which records its command line beside itself. release_control_test.cpp has which installation
takes which update; these runs prove the wiring. The sandboxes' names hold a blank, so that an unquoted start
would first try OUTPUT/updates.exe."""
import hashlib
import os
import subprocess
import sys
import time

import servers
import signing
from pathlib import Path
from harness import (ARCH, BUILD, DEMO_PRODUCT, DRIVER, FAULT_PORT, IDOK, MACHINES, OLD_DRIVER, OUTPUT, RECORD_KEY,
                     UPDATE_DOCUMENT, UPDATE_MUTEX, WINE_RUN, E2ETestCase, ProductServer, Sandbox, Wine,
                     read_locale_text, record_delete, record_get, record_reset, record_set, registry,
                     set_document_text, stand_in, started_command_line, update_stamp, wait_exit,
                     wait_for_command_line, windows_path)
from installed import RECORD, VERSION
from test_plugin import export

CAPTION = read_locale_text("en-us", "language.caption")
INFO_ERROR = read_locale_text("en-us", "language.downloadinfoerror")
PUBLISHER = signing.test_publisher(BUILD)
SIGNED = {"sign_key": PUBLISHER.key, "sign_cert": PUBLISHER.cert}
HOUR = 3600
PAST = "2001-01-01T00:00:00Z"
BUILD_VERSION = ".".join((VERSION.split(".") + ["0"] * 4)[:4])
OTHER_MACHINE = [m for a, m in MACHINES.items() if a != ARCH][0]
BETA_DOCUMENT = UPDATE_DOCUMENT[:-len(".xml")] + "-beta.xml"
STALL_DOCUMENT = UPDATE_DOCUMENT[:-len(".xml")] + "-stall.xml"
NOT_STARTED = "the update is not started: "
NOT_NEWER = NOT_STARTED + "its version 0.0.0.1 is not newer than this program's " + BUILD_VERSION
OTHER_FLAVOUR = NOT_STARTED + "it is built for machine 0x%04x, this program for 0x%04x" % (OTHER_MACHINE,
                                                                                          MACHINES[ARCH])
NOT_CHECKED = "the update was not checked for a signature: this build pins no publisher key"
ROLLED_IN = "the update 2.0 is rolled out to %s%% of installations, this one among them (bucket %d)"
ROLLED_OUT = "the update 2.0 is rolled out to %s%% of installations, not to this one (bucket %d)"
WITHDRAWN = "this installation's version %s is withdrawn: it takes the update 0.0.0.1" % VERSION
MISSING_SIGNATURE = "the signature of {document} is missing"
CHECK_FAILED = "update zansetup check md5 failed"
# Lines only the update check writes.
UPDATE_LINE = ("write the update time", "new.xml", "download zansetup", "run update failed", "the update ")

SERVER = None
PLANTED = os.path.join(OUTPUT, "updates.exe")


def setUpModule():
    global SERVER
    stand_in(OUTPUT, "updates.exe")
    # The race's program comes slowly; the stalled check's channel document
    # is the fault server's, which answers nothing for two minutes.
    slow = ("location /zansetup/slow/ { limit_rate 40k; } location = %s { proxy_pass http://127.0.0.1:%d/stall/120; "
            "proxy_read_timeout 300s; }" % (STALL_DOCUMENT, FAULT_PORT))
    SERVER = ProductServer(Sandbox("updates server"), locations=slow).__enter__()


def tearDownModule():
    SERVER.__exit__(None, None, None)
    for path in (PLANTED, PLANTED + ".cmdline"):
        if os.path.exists(path):
            os.remove(path)


def program(name, driver=DRIVER, signer=None, tampered=False, machine=None):
    path = stand_in(os.path.join(OUTPUT, "update-programs", name), driver=driver, machine=machine)
    if signer:
        signing.sign(path, signer)
    if tampered:
        signing.tamper(path)
    return path


def row(name, record=None, update=None, version="2.0", publish=None, change=None, lines=(), absent=(),
        starts=False, downloads=None, checked=True, document=UPDATE_DOCUMENT, args="", product=None):
    """One decision. `update`: the program published as `version` with the publish_update options `publish`
    (None: no document), then `change`d; `lines` must each be logged once and `absent` not at all ({document},
    {content}, {sha256}, {real}: the document's address and text, the published and the real SHA-256 of the
    program); `product`: a whole install of it instead."""
    return dict(locals(), record=record or {}, publish=publish or {},
                downloads=starts if downloads is None else downloads)


def stored_bucket():
    return int(export(RECORD_KEY)[RECORD]['"rollout_bucket"'][len("dword:"):], 16)


class UpdateTable(E2ETestCase):
    variant = None

    @classmethod
    def setUpClass(cls):
        cls.box = Sandbox("updates " + (cls.variant or "unpinned"), variant=cls.variant, unsigned=not cls.variant)
        cls.target = os.path.join(cls.box.download_dir(), "Zansetup", "ZanSetup.exe")

    def setUp(self):
        super().setUp()
        self.addCleanup(record_reset)

    def prepare(self, record, keep_record=False):
        for stale in (self.target, self.target + ".cmdline"):
            if os.path.exists(stale):
                os.remove(stale)
        folder = os.path.join(SERVER.root, "zansetup")
        for name in os.listdir(folder):
            if ".xml" in name:
                os.remove(os.path.join(folder, name))
        self.box.reset_log()
        if not keep_record:
            record_delete()
        for name, value in record.items():
            if name == "rollout_bucket":
                self.assertEqual(0, registry("set", RECORD_KEY, name, "dword", str(value))[0])
            else:
                record_set(name, value)
        # Every run but an elevated one removes what an update left aside.
        self.leftover = os.path.join(self.box.program_dir, "ZanSetup.exe.old")
        Path(self.leftover).write_bytes(b"old")

    def run_once(self, args="", product=None):
        """The run's log, the paths it asked the server for and the new
        program's command line (None: not started)."""
        before = len(SERVER.access_log())
        wine = Wine("en-us")
        process = self.start(wine, '"%s" App=%s Ver=1.0%s' % (self.box.program, product or "Missing", args))
        if not product:
            error = wine.find_message(CAPTION, INFO_ERROR, timeout_ms=30000)
            self.assertIsNotNone(error, "no information error box; log: %r" % self.box.log_lines())
            self.assertTrue(wine.wait_mutex_free(UPDATE_MUTEX, 30000), "the update worker did not end")
            wine.click(error, IDOK)
        self.assertEqual(2, wait_exit(process, timeout=120))
        command_line = started_command_line(self.target)
        requests = [e.request.split()[1] for e in SERVER.access_log()[before:]]
        return self.box.log_lines(), requests, command_line

    def check(self, case):
        self.prepare(case["record"])
        values = {"document": SERVER.base_url + case["document"]}
        if case["update"]:
            published = SERVER.publish_update(case["update"], case["version"], **case["publish"])
            if case["change"]:
                case["change"](published)
            with open(case["update"], "rb") as f, open(published.document_path, encoding="utf-8") as document:
                values.update(sha256=published.sha256, real=hashlib.sha256(f.read()).hexdigest(),
                              content=document.read())
        if case["product"]:
            # The installer waits for the update worker's end.
            SERVER.publish(case["product"], version="1.0", dir_opt_show=0,
                           installer=os.path.join(DEMO_PRODUCT, "DemoSetup-update-wait.exe"))
        stamp = case["record"].get("updatetime")
        lines, requests, command_line = self.run_once(case["args"], case["product"])
        documents = [r for r in requests if r.endswith(".xml")]
        if case["checked"]:
            written = record_get("updatetime")
            self.assertEqual(["the Produce name:%s, version: 1.0" % (case["product"] or "Missing"),
                              "write the update time " + written], lines[:2])
            self.assertLess(abs(time.mktime(time.strptime(written, "%Y%m%d%H%M%S")) - time.time()), 120)
            self.assertEqual([case["document"]], documents)
        else:
            self.assertEqual(stamp, record_get("updatetime"))
            self.assertEqual([], [line for line in lines if line.startswith(UPDATE_LINE) or "new.xml" in line])
            self.assertEqual([], documents)
        for line in case["lines"]:
            self.assertEqual(1, lines.count(line.format(**values)), (line, lines))
        for line in tuple(case["absent"]) + (() if CHECK_FAILED in case["lines"] else (CHECK_FAILED,)):
            self.assertNotIn(line.format(**values), lines)
        target = windows_path(self.target)
        self.assertEqual(case["downloads"], "download zansetup to: " + target in lines, lines)
        if case["downloads"]:
            self.assertIn(published.url.replace("%VER%", case["version"])[len(SERVER.base_url):], requests)
        else:
            self.assertFalse(os.path.exists(self.target))
        self.assertEqual('"%s" /Inst=0' % target if case["starts"] else None, command_line)
        self.assertFalse(os.path.exists(PLANTED + ".cmdline"), "the path up to the blank was started")
        self.assertFalse(os.path.exists(self.leftover))
        verdict = "started" if case["starts"] else "not started"
        sys.stderr.write("\n%-8s %-30s %-28s %-11s %s" % (self.variant or "unpinned", case["name"],
                                                         documents[0] if documents else "-", verdict,
                                                         case["lines"][0].format(**values) if case["lines"] else ""))

    def check_table(self, rows):
        for case in rows:
            with self.subTest(case["name"]):
                self.check(case)
        sys.stderr.write("\n")


class Unpinned(UpdateTable):
    def test_the_record_the_document_and_the_program_decide_whether_the_update_starts(self):
        newer, older = program("newer"), program("older", driver=OLD_DRIVER)
        other = program("other-machine", machine=OTHER_MACHINE)
        fresh = update_stamp(23 * HOUR)

        def malformed_rollout(published):
            set_document_text(published.document_path, "rollout", "30%")

        rows = [
            # 1.10 is newer than the record's 1.9 as numbers, though not as
            # text; the product's install goes on beside the update.
            row("first run, 1.10 over 1.9", {"version": "1.9"}, newer, "1.10", product="Demo", starts=True,
                lines=[NOT_CHECKED, "end install", "new.xml content: {content}"]),
            row("stamp 23 hours old", {"updatetime": fresh}, newer, checked=False),
            # The token makes a run elevated, never the argument.
            row("stamp 24 hours old, Uac=yes", {"updatetime": update_stamp(24 * HOUR)}, newer,
                publish={"path": "update/%VER%/ZanSetup-%VER%.exe"}, args=" Uac=yes", starts=True,
                absent=["the elevated run leaves the update check to the run before it"]),
            row("wrong md5", {}, newer, publish={"wrong_checksum": True}, downloads=True, lines=[CHECK_FAILED],
                absent=["run update failed"]),
            row("wrong sha256", {}, newer, publish={"wrong_sha256": True}, downloads=True,
                lines=[CHECK_FAILED, "compare sha256 failed, expected: {sha256}, real: {real}"]),
            row("no document", {}, None, lines=["download new.xml failed, url: {document}"]),
            row("1.9 under 1.10", {"version": "1.10"}, newer, "1.9", lines=["new.xml content: {content}"]),
            row("rollout 30, bucket 2999", {"rollout_bucket": 2999}, newer, publish={"rollout": "30"},
                starts=True, lines=[ROLLED_IN % ("30", 2999)]),
            row("rollout 30, bucket 3000", {"rollout_bucket": 3000}, newer, publish={"rollout": "30"},
                lines=[ROLLED_OUT % ("30", 3000)]),
            row("rollout 0 halts", {"rollout_bucket": 0}, newer, publish={"rollout": "0"},
                lines=[ROLLED_OUT % ("0", 0)]),
            row("malformed rollout", {"rollout_bucket": 0}, newer, publish={"rollout": "30"},
                change=malformed_rollout, lines=["the update 2.0 is not taken: its rollout is not usable: 30%"]),
            row("channel beta", {"channel": "beta"}, newer, publish={"channel": "beta"}, document=BETA_DOCUMENT,
                starts=True),
            row("malformed channel", {"channel": "Beta"}, newer, publish={"channel": "beta"},
                lines=['the channel "Beta" is no channel name: the default channel is used',
                       "download new.xml failed, url: {document}"]),
            row("this version withdrawn", {"version": VERSION}, older, "0.0.0.1", publish={"withdrawn": [VERSION]},
                starts=True, lines=[WITHDRAWN]),
            row("another version withdrawn", {"version": VERSION}, older, publish={"withdrawn": ["0.5"]},
                downloads=True, lines=[NOT_NEWER], absent=[WITHDRAWN]),
            row("other machine", {}, other, downloads=True, lines=[OTHER_FLAVOUR]),
        ]
        self.check_table(rows)

    def test_a_new_installation_draws_its_bucket_once_and_keeps_it(self):
        # Rollout 0: the line that closes each check names the bucket. The
        # next day's check has the same record but for the stamp.
        drawn = []
        for record in ({}, {"updatetime": "20000101000000"}):
            self.prepare(record, keep_record=bool(drawn))
            SERVER.publish_update(program("newer"), "2.0", rollout="0")
            lines, _, _ = self.run_once()
            drawn += [int(line[len("drew the rollout bucket "):]) for line in lines if "drew" in line]
            self.assertEqual(1, len(drawn), lines)
            self.assertIn(ROLLED_OUT % ("0", drawn[0]), lines)
            self.assertEqual(drawn[0], stored_bucket())

    def test_a_second_run_during_an_update_starts_none_and_leaves_the_leftovers(self):
        # The program comes slowly, so the first run's worker still holds the update while the second starts;
        # the stamp is gone by then, so only the update mutex keeps the second from a check of its own.
        self.prepare({})
        box = self.box
        published = SERVER.publish_update(program("newer"), "2.0", path="slow/ZanSetup.exe")
        with open(published.document_path, encoding="utf-8") as f:
            content = "new.xml content: " + f.read()
        before = len(SERVER.access_log())
        wine = Wine("en-us")
        first = self.start(wine, '"%s" App=MissingA Ver=1.0' % box.program)
        box.wait_for_log_line(content, timeout=30)
        record_delete()
        Path(self.leftover).write_bytes(b"old")
        second = self.start(wine, '"%s" App=MissingB Ver=1.0' % box.program)
        box.wait_for_log_line("another run holds the update: this run checks nothing", timeout=30)
        self.assertIsNotNone(wait_for_command_line(self.target), "the update was not started")
        for _ in (first, second):
            error = wine.find_message(CAPTION, INFO_ERROR, timeout_ms=30000)
            self.assertIsNotNone(error, "no information error box")
            wine.click(error, IDOK)
            # Gone before the next is looked for: the click is only posted.
            self.assertTrue(wine.wait_gone(error))
        self.assertEqual([2, 2], [wait_exit(first), wait_exit(second)])
        requests = [e.request for e in SERVER.access_log()[before:]]
        lines = box.log_lines()
        self.assertIn("the update leftovers stay: another run holds the update", lines)
        self.assertTrue(os.path.exists(self.leftover))
        self.assertEqual(1, len([r for r in requests if UPDATE_DOCUMENT in r]), requests)
        self.assertEqual(1, len([r for r in requests if "/zansetup/slow/" in r]), requests)
        self.assertEqual(1, len([line for line in lines if line.startswith("write the update time")]), lines)

    def test_a_stalled_update_server_does_not_delay_the_install(self):
        # The run ends, whole, while the check still waits for its answer
        # (bench/run_update_bench.py measures what the check costs it).
        self.prepare({"channel": "stall"})
        SERVER.publish("DemoStall", version="1.0", dir_opt_show=0)
        with servers.FaultServer(FAULT_PORT) as fault:
            process = self.start(Wine("en-us"), '"%s" App=DemoStall Ver=1.0' % self.box.program)
            self.assertEqual(2, wait_exit(process, timeout=120))
            self.assertIn("/stall/120", [path for _, path, _ in fault.requests], "the check was made")
        lines = self.box.log_lines()
        self.assertIn("end install", lines)
        self.assertTrue([line for line in lines if line.startswith("write the update time ")], lines)
        self.assertFalse([line for line in lines if "new.xml" in line], "the stalled check still waits")


class Pinned(UpdateTable):
    # Only a newer update the key signed, in an unexpired document it signed,
    # starts; the pinned program itself carries no signature.
    variant = "pinned"

    def test_only_a_newer_update_signed_with_a_pinned_key_starts(self):
        stranger = signing.Identity(os.path.join(OUTPUT, "pinned-keys"), "Another publisher")
        tampered = program("tampered", signer=PUBLISHER, tampered=True)
        older = program("signed-older", driver=OLD_DRIVER, signer=PUBLISHER)
        rows = [
            row("signed by the pinned key", {}, program("signed", signer=PUBLISHER), publish=SIGNED, starts=True,
                lines=["the update is signed by our publisher, key " + PUBLISHER.pin]),
            row("another key", {}, program("stranger", signer=stranger), publish=SIGNED, downloads=True,
                lines=[NOT_STARTED + "it is not signed by our publisher, key " + stranger.pin]),
            row("unsigned", {}, program("unsigned"), publish=SIGNED, downloads=True,
                lines=[NOT_STARTED + "it has no signature"]),
            row("tampered", {}, tampered, publish=SIGNED, downloads=True,
                lines=[NOT_STARTED + "its signature is not valid, error code: 0x80096010"]),
            row("older", {}, older, publish=SIGNED, downloads=True, lines=[NOT_NEWER]),
            row("other machine", {}, program("signed-other", signer=PUBLISHER, machine=OTHER_MACHINE),
                publish=SIGNED, downloads=True, lines=[OTHER_FLAVOUR]),
            row("this version withdrawn, signed", {"version": VERSION}, older, "0.0.0.1",
                publish=dict(SIGNED, withdrawn=[VERSION]), starts=True,
                lines=[WITHDRAWN, "the update is signed by our publisher, key " + PUBLISHER.pin]),
            # A withdrawal counts only in the publisher's signed document.
            row("withdrawn, document unsigned", {"version": VERSION}, older, "0.0.0.1",
                publish={"withdrawn": [VERSION]}, lines=[MISSING_SIGNATURE], absent=[WITHDRAWN]),
            row("document expired", {}, program("signed", signer=PUBLISHER), publish=dict(SIGNED, expires_at=PAST),
                lines=["the document {document} expired on " + PAST]),
        ]
        self.check_table(rows)
        # The tampered program still runs when started by hand: it was the check that kept it from running.
        subprocess.run([WINE_RUN, tampered, "/Inst=0"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)
        self.assertIsNotNone(wait_for_command_line(tampered, timeout=10))
