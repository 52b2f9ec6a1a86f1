"""Installs that finish on networks as users have them: a line that drops, a server that is down or busy, a
dead server beside a live mirror, a dead first base, each ending installed in one run; a mirror with other
bytes is refused; Cancel ends a wait. One nginx, a relay in front of it that drops the line, and a busy
server serve every case. Each case adds a line to the table printed at the end (and kept in
e2e-output/network-faults.txt): the time to install and the bytes received and sent, against the file's
size."""
import os
import re
import time
import urllib.parse

import netfaults
from pathlib import Path
from harness import (DEMO_PRODUCT, IDYES, OUTPUT, SERVER_BASE, E2ETestCase, ProductServer, Sandbox, Wine,
                     read_locale_text, set_document_text, wait_exit, wait_until)
from resource_ids import IDC_STEP_TEXT

RELAY_PORT = 8787
BUSY_PORT = 8788
DEAD_PORT = int(os.environ.get("ZANSETUP_E2E_DEAD_PORT", "8789"))
NGINX_PORT = urllib.parse.urlsplit(SERVER_BASE).port
BIG = 30 * 1024 * 1024
BLOCK = 102400
WORKERS = 2
CAPTION = read_locale_text("en-us", "language.caption")
WAITING = re.compile(r"^Connection lost\. Trying again in \d+ s\u2026$")

BOX = None
SERVER = None
RELAY = None
TABLE = []


def setUpModule():
    global BOX, SERVER, RELAY
    BOX = Sandbox("networks")
    SERVER = ProductServer(BOX).__enter__()
    RELAY = netfaults.Relay(RELAY_PORT, NGINX_PORT).start()
    # A real installer of 30 MB: the demo installer carries the rest as an overlay, which it does not read.
    demo = Path(os.path.join(DEMO_PRODUCT, "DemoSetup.exe")).read_bytes()
    Path(os.path.join(BOX.root, "BigSetup.exe")).write_bytes(demo + os.urandom(BIG - len(demo)))


def tearDownModule():
    RELAY.stop()
    SERVER.__exit__(None, None, None)
    lines = ["%-40s %8s %12s %12s %12s" % ("case", "seconds", "received", "servers sent", "file size")]
    lines += ["%-40s %8.1f %12s %12s %12d" % row for row in TABLE]
    Path(os.path.join(OUTPUT, "network-faults.txt")).write_text("\n".join(lines) + "\n")
    print("\n" + "\n".join(lines))


def received_bytes(lines):
    """The program's own count over every download of the run."""
    counts = [int(found.group(1)) for found in
              (re.match(r"^downloaded (\d+) bytes for a file of \d+ bytes$", line) for line in lines) if found]
    return sum(counts) if counts else None


def retries(lines):
    return [line for line in lines if line.startswith("trying again in ")]


def served_bytes(path):
    return sum(e.body_bytes for e in SERVER.access_log() if path in e.request)


def changed_copy(data, at, path):
    """`data` with the byte at `at` flipped, written to `path` in the server's tree; its address."""
    changed = bytearray(data)
    changed[at] ^= 0xFF
    os.makedirs(os.path.join(SERVER.root, os.path.dirname(path)), exist_ok=True)
    Path(os.path.join(SERVER.root, path)).write_bytes(changed)
    return SERVER_BASE + "/" + path


class Faults(E2ETestCase):
    def setUp(self):
        super().setUp()
        BOX.reset_log()

    def publish(self, name, installer=None, url=None, relay=False, **options):
        """Publishes `name` with its package at `url`, or its own address
        through the relay; the document and the package's path there."""
        installer = installer or os.path.join(DEMO_PRODUCT, "DemoSetup.exe")
        published = SERVER.publish(name, installer=installer, version="1.0", dir_opt_show=0, **options)
        if relay:
            url = published.package_url.replace(":%d/" % NGINX_PORT, ":%d/" % RELAY_PORT)
        if url:
            set_document_text(published.info_path, "package/url", url)
        return published, urllib.parse.urlsplit(published.package_url).path

    def run_case(self, case, name, published, sent=None, box=None, error_key=None):
        """The log of a run for `name`, whose line in the table says what
        the server sent for the path `sent` (by default the package's)."""
        started = time.monotonic()
        lines = self.run_setup(box or BOX, name, error_key=error_key)
        self.record(case, started, lines, published, sent)
        return lines

    def record(self, case, started, lines, published, sent=None):
        received = received_bytes(lines)
        sent = sent or urllib.parse.urlsplit(published.package_url).path
        TABLE.append((case, time.monotonic() - started, "-" if received is None else str(received),
                      str(served_bytes(sent)) if sent != "-" else sent, os.path.getsize(published.package_path)))

    def test_two_drops_in_30_mb_cost_at_most_the_blocks_in_flight(self):
        for name, span in (("DropOne", None), ("DropSpan", 64)):
            with self.subTest(span=span):
                BOX.reset_log()
                published, _ = self.publish(name, installer=os.path.join(BOX.root, "BigSetup.exe"), relay=True,
                                            span=span)
                resets = RELAY.resets
                RELAY.set_drops([10 * 1024 * 1024, 20 * 1024 * 1024])
                lines = self.run_case("two drops in 30 MB, span %d" % (span or 1), name, published)
                self.assertEqual(2, RELAY.resets - resets, "the line dropped twice")
                # One block per request: the drop leaves no whole block, and each connection waits before it
                # tries again. Long requests ask for the rest at once when whole blocks came.
                if not span:
                    self.assertTrue(retries(lines), lines)
                received = received_bytes(lines)
                self.assertIsNotNone(received, lines)
                self.assertLessEqual(received, BIG + 2 * WORKERS * BLOCK + 10)

    def test_a_server_down_for_the_first_seconds(self):
        published, _ = self.publish("Down")
        SERVER.nginx.stop()
        try:
            started = time.monotonic()
            process = self.start(Wine("en-us"), '"%s" App=Down Ver=1.0' % BOX.program)
            self.assertTrue(wait_until(lambda: retries(BOX.log_lines()), timeout=60), BOX.log_lines())
        finally:
            SERVER.nginx.start()
        self.assertEqual(2, wait_exit(process, timeout=120))
        lines = BOX.log_lines()
        self.assertIn("end install", lines)
        self.assertIn("connection refused, url: " + SERVER_BASE + "/zansetup/soft/Down/1.0/soft.info",
                      retries(lines)[0])
        self.record("server down for the first seconds", started, lines, published)

    def test_a_busy_server_is_asked_again_after_its_retry_after(self):
        published, path = self.publish("Busy")
        with netfaults.BusyServer(BUSY_PORT, SERVER.root, busy=1, retry_after=3) as busy:
            set_document_text(published.info_path, "package/url", busy.base_url + path)
            lines = self.run_case("503 with Retry-After: 3", "Busy", published, sent="-")
        asked = [when for when, p, _ in busy.requests if p == path]
        self.assertGreaterEqual(len(asked), 2)
        self.assertGreaterEqual(asked[1] - asked[0], 3.0, "Retry-After: 3 was not waited for")
        self.assertEqual(["trying again in 3.0 s, attempt 2, status 503, url: " + busy.base_url + path],
                         retries(lines))

    def test_a_dead_primary_costs_one_short_wait_before_the_mirror(self):
        dead = "http://127.0.0.1:%d/Mirrored/DemoSetup.exe" % DEAD_PORT
        published, path = self.publish("Mirrored", url=dead,
                                       mirrors=[SERVER_BASE + "/zansetup/soft/Mirrored/1.0/DemoSetup.exe"])
        lines = self.run_case("dead primary, live mirror", "Mirrored", published)
        waits = retries(lines)
        self.assertEqual(1, len(waits), lines)
        self.assertRegex(waits[0], r"^trying again in (0\.[89]|1\.[0-2]) s, attempt 2, connection refused, url: "
                         + re.escape(dead) + "$")
        self.assertGreater(served_bytes(path), 0, "the mirror served the package")

    def test_a_file_mixed_from_a_bad_mirror_is_fetched_whole_again_from_one_server(self):
        """The line drops half-way; the rest comes from a mirror whose file differs near its end. The digests
        refuse the mix, and the file is fetched once more from one server."""
        with open(os.path.join(BOX.root, "BigSetup.exe"), "rb") as f:
            data = f.read(1024 * 1024)
        installer = os.path.join(BOX.root, "MixedSetup.exe")
        Path(installer).write_bytes(data)
        mirror = changed_copy(data, -100, "mixed/MixedSetup.exe")
        published, _ = self.publish("Mixed", installer=installer, relay=True, mirrors=[mirror])
        RELAY.set_drops([512 * 1024])
        lines = self.run_case("drop, then a mirror with other bytes", "Mixed", published)
        self.assertIn("the package's blocks came from several servers and fail its digests: "
                      "fetching it whole from one server", lines)
        self.assertGreater(served_bytes("/mixed/MixedSetup.exe"), 0, "the mirror served blocks")

    def test_a_base_list_whose_first_base_is_dead(self):
        box = Sandbox("networks-bases", variant="bases")
        published, _ = self.publish("Bases")
        lines = self.run_case("first server base dead", "Bases", published, box=box)
        dead = "http://127.0.0.1:%d/zansetup/soft/Bases/1.0/soft.info" % DEAD_PORT
        self.assertIn("the Produce url:" + dead, lines)
        self.assertTrue(retries(lines)[0].endswith("connection refused, url: " + dead), lines)

    def test_a_mirror_with_other_bytes_is_refused_by_the_digests(self):
        data = Path(os.path.join(DEMO_PRODUCT, "DemoSetup.exe")).read_bytes()
        mirror = changed_copy(data, len(data) // 2, "other/DemoSetup.exe")
        published, _ = self.publish("OtherBytes", url="http://127.0.0.1:%d/x/DemoSetup.exe" % DEAD_PORT,
                                    mirrors=[mirror])
        lines = self.run_case("mirror with other bytes (refused)", "OtherBytes", published,
                              sent="/other/DemoSetup.exe", error_key="language.installprodcueerror")
        self.assertIn("check md5 failed", lines)
        self.assertFalse([line for line in lines if line.startswith("begin install:")], "nothing may run")

    def test_cancel_during_a_wait_ends_the_run_at_once_without_an_error(self):
        dead = "http://127.0.0.1:%d/w/DemoSetup.exe" % DEAD_PORT
        self.publish("Waits", url=dead)
        wine = Wine("en-us")
        process = self.start(wine, '"%s" App=Waits Ver=1.0' % BOX.program)
        progress = wine.find(title=CAPTION, control=IDC_STEP_TEXT, timeout_ms=30000)
        self.assertIsNotNone(progress)
        def step_text():
            return wine.texts(progress)[1][IDC_STEP_TEXT][3]

        self.assertTrue(wait_until(lambda: WAITING.match(step_text()), timeout=30), step_text())
        BOX.screenshot("waiting-to-try-again")
        wine.close(progress)
        confirm = wine.message_box(CAPTION)
        self.assertIsNotNone(confirm)
        wine.click(confirm, IDYES)
        self.assertEqual(2, wait_exit(process, timeout=30))
        lines = BOX.log_lines()
        self.assertIn("the package download ended with the run", lines)
        self.assertNotIn("DownloadFile failed, URL:%s, path:%sinstall.exe" % (dead, BOX.windows_download_dir("Waits")),
                         lines)
        self.assertIsNone(wine.message_box(CAPTION, timeout_ms=0), "no error box after a cancel")
