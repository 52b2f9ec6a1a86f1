"""The product installs end to end under Wine: package download (small and worker paths, a server that ignores
ranges), digest check, the silent installer in a job object, and reuse of a verified package."""
import base64
import os
import time
import xml.etree.ElementTree as ET

import servers
from pathlib import Path
from harness import (DEMO_PRODUCT, FAULT_PORT, IDOK, IDYES, E2ETestCase, ProductServer, Sandbox,
                     Wine, prefix_path, read_locale_text, set_document_text, taskkill, wait_exit, wait_until,
                     windows_command_lines)
from resource_ids import IDC_NEXT, IDC_PERCENT_TEXT

CAPTION = read_locale_text("en-us", "language.caption")


def agent_running(folder):
    return any(line.startswith(folder + "\\DemoAgent.exe") for line in windows_command_lines())


def package_requests(server):
    return [e for e in server.access_log() if "DemoSetup" in e.request]


class Install(E2ETestCase):
    def accept_folder(self, box, wine, name):
        process = self.start(wine, box.program + " App=%s Ver=1.0" % name)
        dialog = wine.find(title=CAPTION, control=IDC_NEXT, timeout_ms=30000)
        self.assertIsNotNone(dialog, "no install path dialog")
        wine.click(dialog, IDC_NEXT)
        return process

    def install_variant(self, box, server, name, installer):
        """Publishes `installer` into a folder of its own and accepts it: (folder, Wine, the running setup)."""
        folder = "C:\\ZanTest\\%s %d" % (name, os.getpid())
        server.publish(name, version="1.0", default_dir=folder, installer=os.path.join(DEMO_PRODUCT, installer))
        wine = Wine("en-us")
        return folder, wine, self.accept_folder(box, wine, name)

    def test_full_install_into_the_chosen_folder_then_reuse_without_download(self):
        box = Sandbox("install-full")
        with ProductServer(box) as server:
            folder, wine, process = self.install_variant(box, server, "DemoFull", "DemoSetup.exe")
            self.assertEqual(2, wait_exit(process, timeout=120))
            lines = box.log_lines()
            package = box.download_dir() + "/DemoFull/install.exe"
            expected = ["Set instal path: " + folder,
                        "Produce isnot exist, download",
                        "No need to close the conflict process.",
                        'begin install:"%s" /S /D=%s' % (box.windows_download_dir("DemoFull") + "install.exe", folder),
                        "end install"]
            positions = [lines.index(line) for line in expected]
            self.assertEqual(sorted(positions), positions, lines)
            for name in ("readme.txt", "DemoAgent.exe", "installed.txt"):
                self.assertTrue(os.path.exists(os.path.join(prefix_path(folder), name)), name)
            self.assertEqual([True, False, False], [os.path.exists(package + end) for end in ("", ".size", ".tmp")])
            served = len(package_requests(server))
            self.assertGreater(served, 0)

            # A second run finds the verified package and asks the server nothing for it.
            box.reset_log()
            self.assertEqual(2, wait_exit(self.accept_folder(box, wine, "DemoFull"), timeout=120))
            self.assertIn("Produce is exist, install", box.log_lines())
            self.assertNotIn("Produce isnot exist, download", box.log_lines())
            self.assertEqual(served, len(package_requests(server)))

    def test_the_installer_s_child_ends_with_a_failed_install_and_outlives_a_successful_one(self):
        box = Sandbox("install-linger")
        with ProductServer(box) as server:
            folder, wine, process = self.install_variant(box, server, "DemoFail", "DemoSetup-linger-fail.exe")
            error = wine.message_box(CAPTION, timeout_ms=60000)
            self.assertIsNotNone(error)
            self.assertTrue(agent_running(folder), "the installer's child should run until we end")
            wine.click(error, IDOK)
            self.assertEqual(2, wait_exit(process))
            self.assertIn("install process exit with error code 1", box.log_lines())
            self.assertTrue(wait_until(lambda: not agent_running(folder), timeout=10),
                            "the job should have ended the child")

            box.reset_log()
            folder, _, process = self.install_variant(box, server, "DemoLinger", "DemoSetup-linger.exe")
            self.assertEqual(2, wait_exit(process, timeout=120))
            self.assertIn("end install", box.log_lines())
            try:
                # A job that took the child along would end it as the setup
                # program's handles close: its end is waited for.
                self.assertFalse(wait_until(lambda: not agent_running(folder), timeout=2),
                                 "the child must outlive the setup program")
            finally:
                taskkill("DemoAgent.exe")

    def test_a_yes_left_open_until_the_installer_started_does_not_end_it(self):
        # The cancel confirmation was opened during the download; its own message loop delivered the package
        # and started the installer. The late Yes must leave the installer to finish.
        box = Sandbox("install-stale-cancel")
        folder = "C:\\ZanTest\\stale %d" % os.getpid()
        installer = os.path.join(DEMO_PRODUCT, "DemoSetup-slow.exe")
        with servers.FaultServer(FAULT_PORT) as fault, ProductServer(box) as server:
            with open(installer, "rb") as f:
                fault.add_file("slow.exe", f.read())
            published = server.publish("DemoStale", version="1.0", default_dir=folder, installer=installer)
            set_document_text(published.info_path, "package/url", fault.base_url + "/gated/slow.exe")
            wine = Wine("en-us")
            process = self.accept_folder(box, wine, "DemoStale")
            box.wait_for_log_line("Produce isnot exist, download")
            progress = wine.find(title=CAPTION, control=IDC_PERCENT_TEXT)
            self.assertIsNotNone(progress)
            wine.close(progress)
            confirm = wine.message_box(CAPTION)
            self.assertIsNotNone(confirm, "closing must ask")
            fault.open_gate()
            box.wait_for_log_line('begin install:"%sinstall.exe" /S /D=%s' % (box.windows_download_dir("DemoStale"),
                                                                             folder))
            self.assertIsNotNone(wine.message_box(CAPTION, timeout_ms=0), "the box is still open")
            wine.click(confirm, IDYES)
            self.assertEqual(2, wait_exit(process, timeout=120))
            self.assertIn("end install", box.log_lines())
            self.assertTrue(os.path.exists(os.path.join(prefix_path(folder), "installed.txt")),
                            "the installer was ended half-way")


class Download(E2ETestCase):
    def test_up_to_2048000_bytes_take_the_small_path_one_byte_more_the_workers_and_a_range_may_be_ignored(self):
        # Both paths fetch the same 100 KiB blocks after the probe's ten bytes;
        # a server that ignores ranges is asked once, its answer written
        # straight to the target. The package is no program: the install error.
        box = Sandbox("download-blocks")
        with servers.FaultServer(FAULT_PORT) as fault, ProductServer(box) as server:
            for size, blocks in ((2048000, 20), (2048001, 21), (300000, None)):
                with self.subTest(size=size):
                    name, data = "Blocks%d" % size, servers.pattern(size)
                    package = os.path.join(box.root, name + ".bin")
                    Path(package).write_bytes(data)
                    published = server.publish(name, installer=package, version="1.0", dir_opt_show=0)
                    if not blocks:
                        set_document_text(published.info_path, "package/url", fault.base_url + "/ignore-range/300000")
                    before = len(server.access_log())
                    lines = self.run_setup(box, name, "language.installprodcueerror")
                    self.assertTrue([l for l in lines if l.startswith("Start to run install process failed")], lines)
                    target = box.download_dir() + "/%s/install.exe" % name
                    with open(target, "rb") as f:
                        self.assertEqual(data, f.read())
                    self.assertFalse(os.path.exists(target + ".size"))
                    if not blocks:
                        self.assertEqual(1, len([r for r in fault.requests if "/ignore-range/" in r[1]]))
                        continue
                    requests = [e for e in server.access_log()[before:] if ".bin" in e.request]
                    self.assertEqual("bytes=0-9", requests[0].range)
                    wanted = sorted("bytes=%d-%d" % (i * 102400, min((i + 1) * 102400, size) - 1)
                                    for i in range(blocks))
                    self.assertEqual(wanted, sorted(e.range for e in requests[1:]))


class Resume(E2ETestCase):
    SIZE = 3 * 1024 * 1024  # 31 blocks; /slow/ serves a block a second

    def interrupted_run(self, box, server, name):
        """Starts the download of a slow package and kills the setup program
        half-way; returns the package's server path and the saved state."""
        data = servers.pattern(self.SIZE)
        slow = os.path.join(server.root, "slow")
        os.makedirs(slow, exist_ok=True)
        package = os.path.join(slow, name + ".bin")
        Path(package).write_bytes(data)
        published = server.publish(name, installer=package, version="1.0", dir_opt_show=0)
        set_document_text(published.info_path, "package/url", server.base_url + "/slow/%s.bin" % name)
        wine = Wine("en-us")
        process = self.start(wine, box.program + " App=%s Ver=1.0" % name)
        state = box.download_dir() + "/%s/install.exe.size" % name
        wait_until(lambda: self.saved_blocks(state) >= 6, timeout=60)
        taskkill("ZanSetup.exe")
        wait_exit(process)
        # Its requests still under way end with the server, so that none is logged during the next run.
        server.nginx.stop()
        server.nginx.start()
        saved = self.saved_blocks(state)
        self.assertGreaterEqual(saved, 6)
        self.assertLess(saved, 25, "the download should have been cut half-way")
        self.assertTrue(os.path.exists(box.download_dir() + "/%s/install.exe.tmp" % name))
        return package, saved

    @staticmethod
    def saved_blocks(state_path):
        try:
            bits = base64.b64decode(ET.parse(state_path).getroot().find("blocks").text or "")
        except (OSError, ET.ParseError, AttributeError, ValueError):
            return 0
        return sum(bin(b).count("1") for b in bits)

    def finish(self, box, server, name):
        before = len(server.access_log())
        wine = Wine("en-us")
        process = self.start(wine, box.program + " App=%s Ver=1.0" % name)
        error = wine.message_box(CAPTION, timeout_ms=120000)
        self.assertIsNotNone(error)
        self.assertEqual(read_locale_text("en-us", "language.installprodcueerror"), wine.message_text(error))
        wine.click(error, IDOK)
        self.assertEqual(2, wait_exit(process))
        with open(box.download_dir() + "/%s/install.exe" % name, "rb") as f:
            self.assertTrue(servers.pattern(self.SIZE) == f.read(), "the resumed file differs")
        return [e for e in server.access_log()[before:] if "/slow/" in e.request]

    def test_an_interrupted_download_fetches_only_what_is_missing_unless_the_file_changed(self):
        box = Sandbox("resume")
        with ProductServer(box) as server:
            for name, changed in (("Resume", False), ("Changed", True)):
                with self.subTest(name):
                    package, saved = self.interrupted_run(box, server, name)
                    if changed:
                        later = time.time() + 120
                        os.utime(package, (later, later))
                    second = self.finish(box, server, name)
                    if changed:
                        # If-Range with the old date gets the whole file.
                        self.assertEqual([(200, self.SIZE)], [(e.status, e.body_bytes) for e in second])
                        continue
                    self.assertEqual(("bytes=0-9", 206), (second[0].range, second[0].status))
                    self.assertTrue(all(e.if_range for e in second), "every resumed request carries If-Range")
                    self.assertEqual(self.SIZE - saved * 102400 + 10, sum(e.body_bytes for e in second))
