"""ZanSetup's own installer under Wine: a silent per-user install puts the programs, the record, the plug-in's
registration and the installed-programs entry in place; a page's one-click or a "zansetup:" link then runs the
installed setup program to a real product install, while a hostile link ends the run at once with its log
line, having fetched and made nothing; the uninstaller takes all of it away again."""
import html
import os
import re
import shutil
import urllib.parse

import signing
from pathlib import Path
from harness import (BIN, DEMO_PRODUCT, OUTPUT, SOURCE, ProductServer, Sandbox, Wine, flavour_free,
                     profile_folder, read_locale_text, read_log_lines, record_get, record_set, registry, stand_in,
                     update_stamp, wait_exit, windows_path)
from installed import (DISPLAY_NAME, INSTALLER, NEXT_BIN, NEXT_INSTALLER, NEXT_VERSION, OTHER_UNINSTALL,
                       RECORD, SUFFIX, UNINSTALL, VERSION, FreshPrefix, InstalledTestCase, changed_entries,
                       running_from, wait_until)
from resource_ids import IDC_NEXT, IDC_PATH_EDIT
from test_plugin import CLSID, MERGED, export, run_script

CAPTION = read_locale_text("en-us", "language.caption")
PROGRAMS = ["ZanSetup.exe", "ZanSetupSH.exe", "npZanSetupOneClick.dll", "uninstall.exe"]
LINK = r"Software\Classes\zansetup"
PREFIX = FreshPrefix("installer")
LINK_PRODUCT_FOLDER = "C:\\ZanTest\\by link"


def setUpModule():
    PREFIX.start()


def tearDownModule():
    PREFIX.stop()


class Installer(InstalledTestCase):
    def test_a_silent_install_puts_everything_in_place_and_the_uninstall_takes_it_away(self):
        # Without /D=: into the user's local application data, below a folder there before.
        self.folder = profile_folder("AppData", "Local", "Corvela", "ZanSetup" + SUFFIX)
        self.download = os.path.join(os.path.dirname(self.folder), "download")
        os.makedirs(os.path.dirname(self.folder), exist_ok=True)
        before = export("HKCU")
        classes_before = export("HKLM\\Software\\Classes")
        tree_before = PREFIX.tree()
        self.install(folder=False)
        self.assertEqual([], [n for n in PROGRAMS if not os.path.exists(os.path.join(self.folder, n))])
        self.assertEqual(sorted(os.listdir(os.path.join(BIN, "language"))),
                         sorted(os.listdir(os.path.join(self.folder, "language"))))
        keys = export("HKCU")
        self.assertEqual(classes_before, export("HKLM\\Software\\Classes"), "the install wrote machine-wide keys")
        # As the registry export writes them: each path of the folder with its backslashes doubled.
        folder = windows_path(self.folder).replace("\\", "\\\\")
        program = folder + "\\\\ZanSetup.exe"
        # The record as the program's own writer makes it; the "zansetup:" link
        # opens the installed program with the link as its one argument.
        expected = {
            RECORD: {"@": '""', '"Install_dir"': '"%s"' % program, '"version"': '"%s"' % VERSION},
            "Software\\Classes\\CLSID\\%s\\InprocServer32" % CLSID: {"@": '"%s\\\\npZanSetupOneClick.dll"' % folder},
            LINK: {"@": '"URL:ZanSetup link"', '"URL Protocol"': '""'},
            LINK + "\\DefaultIcon": {"@": '"%s,0"' % program},
            LINK + "\\shell\\open\\command": {"@": '"\\"%s\\" \\"%%1\\""' % program},
            UNINSTALL: {'"DisplayName"': '"%s"' % DISPLAY_NAME, '"DisplayVersion"': '"%s"' % VERSION,
                        '"Publisher"': '"corvela"', '"InstallLocation"': '"%s"' % folder,
                        '"DisplayIcon"': '"%s"' % program,
                        '"UninstallString"': '"\\"%s\\\\uninstall.exe\\""' % folder,
                        '"QuietUninstallString"': '"\\"%s\\\\uninstall.exe\\" /S"' % folder,
                        '"NoModify"': "dword:00000001", '"NoRepair"': "dword:00000001"}}
        # Beside these: a stamp the test run may have left, the entry's size, the class's threading model.
        loose = ('"updatetime"', '"EstimatedSize"', '"ThreadingModel"')
        self.assertEqual(expected, {key: {n: v for n, v in keys[key].items() if n not in loose} for key in expected})
        self.assertIn('"EstimatedSize"', keys[UNINSTALL])

        os.makedirs(os.path.join(self.download, "Demo"))
        Path(os.path.join(self.download, "Demo", "install.exe")).write_bytes(b"a downloaded package")
        self.uninstall()
        self.assertFalse(os.path.exists(self.download), "the download folder we made goes too")
        after = export("HKCU")
        # The record (and its parent, once empty) goes; the rest is as before,
        # apart from the plug-in registration's kept keys.
        ours = (RECORD, "Software\\Corvela")
        self.assertNotIn(RECORD, after)
        self.assertEqual({k: v for k, v in before.items() if k not in ours},
                         {k: v for k, v in after.items() if k not in ours and k in before})
        self.assertEqual([], sorted(set(after) - set(before) - {"Software\\MozillaPlugins"}))
        self.assertEqual(classes_before, export("HKLM\\Software\\Classes"), "the uninstall changed machine-wide keys")
        tree_after = PREFIX.tree()
        self.assertEqual([], changed_entries(tree_before, tree_after), "the prefix's files are as before")

    def test_a_folder_outside_the_profile_is_refused_and_nothing_is_written(self):
        before = export("HKCU")
        tree_before = PREFIX.tree()
        install = '"%s" /S /D=' % windows_path(INSTALLER)
        update = '"%s" /Inst=0' % windows_path(NEXT_INSTALLER)
        outside = windows_path(os.path.join(OUTPUT, "outside-profile", "ZanSetup"))
        # Up to the folder that holds the profiles; an update finds no install
        # of its flavour (2), or one outside the profile (4).
        rows = [(install + "C:\\ZanSetup", None, 4), (install + outside, None, 4),
                (install + windows_path(self.folder) + "\\.." * 6 + "\\ZanSetup", None, 4),
                (update, None, 2), (update, outside, 4)]
        for command_line, location, code in rows:
            with self.subTest(command_line=command_line, location=location):
                if location:
                    self.assertEqual(0, registry("set", "HKCU\\" + UNINSTALL, "InstallLocation", "sz", location)[0])
                    self.addCleanup(registry, "delete", "HKCU\\" + UNINSTALL)
                self.assertEqual(code, wait_exit(self.start(Wine(), command_line), timeout=120))
                registry("delete", "HKCU\\" + UNINSTALL)
        self.assertFalse(os.path.exists(os.path.join(OUTPUT, "outside-profile")))
        self.assertEqual([], changed_entries(tree_before, PREFIX.tree()))
        self.assertEqual(before, export("HKCU"))

    def test_the_uninstaller_takes_only_what_the_setup_program_made(self):
        # A download folder that was there before, and one the installer
        # made; in each, a user's own files beside the setup program's.
        for there_before in (True, False):
            with self.subTest(there_before=there_before):
                if there_before:
                    os.makedirs(self.download)
                self.install()
                made = {os.path.join("Zansetup", "ZanSetup.exe"), os.path.join("Demo", "install.exe"),
                        os.path.join("Demo", "install.exe.size"), os.path.join("Demo", "en-us.locale")}
                theirs = {"theirs.txt", os.path.join("Demo", "notes.txt"), os.path.join("Mine", "photo.jpg")}
                for name in made | theirs:
                    os.makedirs(os.path.join(self.download, os.path.dirname(name)), exist_ok=True)
                    Path(os.path.join(self.download, name)).write_bytes(b"x")
                self.uninstall()
                left = {os.path.relpath(os.path.join(folder, name), self.download)
                        for folder, _, names in os.walk(self.download) for name in names}
                self.assertEqual(theirs, left)
                self.assertFalse(os.path.exists(os.path.join(self.download, "Zansetup")))
                shutil.rmtree(self.download)

    def test_a_page_script_runs_the_installed_setup_program_to_a_product_install(self):
        self.install()
        self.merge_classes(MERGED)
        box = Sandbox("installer-one-click")
        folder = "C:\\ZanTest\\one click"
        with ProductServer(box) as server:
            # Two 100 KiB blocks to a ranged request: one request, where the
            # default span would ask for each block on its own.
            published = server.publish("Demo", version="1.0", default_dir=folder, span=2)
            self.assertEqual(1, run_script(self.root, "Demo", "1.0"))
            # The user accepts the offered folder in the installed program's dialog.
            dialog = Wine().find(title=CAPTION, control=IDC_NEXT, timeout_ms=60000)
            self.assertIsNotNone(dialog, "no install path dialog")
            Wine().click(dialog, IDC_NEXT)
            log = os.path.join(self.folder, "zansetup.log")
            self.assertTrue(wait_until(lambda: "end install" in read_log_lines(log), timeout=120),
                            "the installed setup program did not finish the install")
            lines = read_log_lines(log)
            self.assertIn("the Produce name:Demo, version: 1.0", lines)
            self.assertIn("Set instal path: " + folder, lines)
            self.assertTrue([l for l in lines if l.startswith("begin install:")], lines)
            self.assertTrue(os.path.exists(PREFIX.drive_path(folder + "\\installed.txt")))
            package = urllib.parse.urlsplit(published.package_url).path
            size = os.path.getsize(os.path.join(DEMO_PRODUCT, "DemoSetup.exe"))
            self.assertGreater(size, 102400)
            self.assertEqual([size], [e.body_bytes for e in server.access_log()
                                      if package in e.request and e.body_bytes > 10], server.access_log())
        # The setup program ends by itself once the product is in.
        self.assertTrue(wait_until(lambda: not running_from(self.folder), timeout=30))
        # Uninstalling ZanSetup leaves the product it installed alone.
        self.uninstall()
        self.assertTrue(os.path.exists(PREFIX.drive_path(folder + "\\installed.txt")))

    def run_update(self):
        return wait_exit(self.start(Wine(), '"%s" /Inst=0' % windows_path(NEXT_INSTALLER)), timeout=120)

    def set_bucket(self, bucket):
        self.assertEqual(0, registry("set", "HKCU\\" + RECORD, "rollout_bucket", "dword", str(bucket))[0])

    def test_a_due_run_installs_the_product_and_updates_zansetup_in_the_same_run(self):
        self.install()
        box = Sandbox("installer-update")
        with ProductServer(box) as server:
            # The installer waits for the update's end: the old program runs on while the update replaces it.
            server.publish("Demo", version="1.0", dir_opt_show=0,
                           installer=os.path.join(DEMO_PRODUCT, "DemoSetup-update-wait.exe"))
            server.publish_update(NEXT_INSTALLER, NEXT_VERSION)
            record_set("updatetime", update_stamp(25 * 3600))
            program = os.path.join(self.folder, "ZanSetup.exe")
            log = os.path.join(self.folder, "zansetup.log")
            process = self.start(Wine(), '"%s" App=Demo Ver=1.0' % windows_path(program))
            self.assertEqual(2, wait_exit(process, timeout=120))
            self.assertIn("end install", read_log_lines(log), "the product install completes")
            # A signed build pins its own key and takes the next installer,
            # signed with it; an unpinned one asks no signature of it.
            if signing.carries_signature(os.path.join(BIN, "ZanSetup.exe")):
                verdict = "the update is signed by our publisher, key "
            else:
                verdict = "the update was not checked for a signature: this build pins no publisher key"
            self.assertTrue([l for l in read_log_lines(log) if l.startswith(verdict)], read_log_lines(log))
            self.assertTrue(wait_until(lambda: record_get("version") == NEXT_VERSION, timeout=60),
                            "the record still says %r" % record_get("version"))
            for name in ("ZanSetup.exe", "ZanSetupSH.exe"):
                self.assertEqual(Path(NEXT_BIN, name).read_bytes(), Path(self.folder, name).read_bytes())
            self.assertEqual((NEXT_VERSION + ".0.0.0").split(".")[:4],
                             Wine().driver("version", windows_path(program)).strip().split("."))
            self.assertFalse(os.path.exists(os.path.join(self.folder, "update.new")))

            # Within 24 hours the updated program checks nothing.
            lines_before = len(read_log_lines(log))
            process = self.start(Wine(), '"%s" App=Demo Ver=1.0' % windows_path(program))
            self.assertEqual(2, wait_exit(process, timeout=120))
            later = read_log_lines(log)[lines_before:]
            self.assertIn("end install", later)
            self.assertFalse([l for l in later if l.startswith("write the update time")], later)
            # Whatever the update had to set aside is gone after that run.
            self.assertEqual([], [n for n in os.listdir(self.folder) if n.endswith(".old")])

    def test_an_update_that_cannot_complete_leaves_the_old_version_working(self):
        self.install()
        originals = {name: Path(self.folder, name).read_bytes() for name in PROGRAMS}
        # Another program holds one of our files open, sharing nothing.
        locker = self.hold("lock", os.path.join(self.folder, "ZanSetupSH.exe"), 20)
        self.assertEqual(3, self.run_update(), "the update reports it kept the old")
        self.assertEqual(VERSION, record_get("version"))
        for name, data in originals.items():
            self.assertEqual(data, Path(self.folder, name).read_bytes(), name)
        self.assertEqual(sorted(os.listdir(os.path.join(BIN, "language"))),
                         sorted(os.listdir(os.path.join(self.folder, "language"))))
        leftovers = [n for n in os.listdir(self.folder) if n.endswith(".old") or n == "update.new"]
        self.assertEqual([], leftovers)
        wait_exit(locker, timeout=60)

        # The old version still works: its one-click record is intact and the same update now goes through,
        # once a run of the setup program has let go of the update mutex.
        holder = self.hold("mutex", "Local\\ZanSetupUpdate", 3)
        self.assertEqual(0, self.run_update())
        self.assertIsNotNone(holder.poll(), "the update swapped files while the mutex was held")
        self.assertEqual(NEXT_VERSION, record_get("version"))
        self.assertEqual(Path(NEXT_BIN, "ZanSetupSH.exe").read_bytes(),
                         Path(self.folder, "ZanSetupSH.exe").read_bytes())

    def test_a_channel_given_to_the_installer_stays_through_an_update(self):
        # A name the setup program would not read is refused before anything is written.
        self.install("/Channel=Beta", code=5)
        self.assertIsNone(record_get("version"))
        self.assertFalse(os.path.exists(self.folder))

        self.install("/Channel=beta")
        self.assertEqual((VERSION, "beta"), (record_get("version"), record_get("channel")))
        # The bucket the setup program draws into the record.
        self.set_bucket(1234)
        self.assertEqual(0, self.run_update())
        record = export("HKCU")[RECORD]
        self.assertEqual(('"%s"' % NEXT_VERSION, '"beta"', "dword:000004d2"),
                         (record['"version"'], record['"channel"'], record['"rollout_bucket"']))

        # Installed again with an empty name: back on the default channel.
        self.install("/Channel=")
        self.assertEqual(VERSION, record_get("version"))
        self.assertIsNone(record_get("channel"))
        self.assertEqual("dword:000004d2", export("HKCU")[RECORD]['"rollout_bucket"'])

    def link_program(self):
        command = export("HKCU")[LINK + "\\shell\\open\\command"]["@"]
        return command.split('\\"')[1].replace("\\\\", "\\")

    def test_the_other_flavour_keeps_the_shared_record_through_an_update_and_gets_it_back(self):
        # The other flavour, as its installer leaves it: its program and its entry.
        other_folder = os.path.join(self.root, "Local App", "Corvela", "other flavour")
        other_program = stand_in(other_folder)
        other, other_bytes = windows_path(other_program), Path(other_program).read_bytes()
        for name, value in (("InstallLocation", windows_path(other_folder)), ("DisplayVersion", "0.9")):
            self.assertEqual(0, registry("set", "HKCU\\" + OTHER_UNINSTALL, name, "sz", value)[0])
        self.addCleanup(registry, "delete", "HKCU\\" + OTHER_UNINSTALL)
        self.install()
        ours = windows_path(os.path.join(self.folder, "ZanSetup.exe"))
        self.assertEqual((ours, ours), (record_get("Install_dir"), self.link_program()), "installed last: ours")

        # Once the other flavour has the record, our update replaces our
        # own folder's files and leaves the record where it is.
        record_set("Install_dir", other)
        record_set("version", "0.9")
        self.assertEqual(0, self.run_update())
        self.assertEqual(Path(NEXT_BIN, "ZanSetup.exe").read_bytes(),
                         Path(self.folder, "ZanSetup.exe").read_bytes())
        self.assertEqual(other_bytes, Path(other_program).read_bytes())
        self.assertEqual((other, "0.9"), (record_get("Install_dir"), record_get("version")))

        # Uninstalled while it names us, the record and the link go to the other flavour, with the user's
        # channel and rollout bucket, and the download folder stays for it.
        record_set("Install_dir", ours)
        record_set("channel", "beta")
        self.set_bucket(17)
        self.uninstall()
        self.assertEqual((other, "0.9", other, "beta"), (record_get("Install_dir"), record_get("version"),
                                                         self.link_program(), record_get("channel")))
        self.assertEqual("dword:00000011", export("HKCU")[RECORD]['"rollout_bucket"'])
        self.assertTrue(os.path.isdir(self.download))


class Link(InstalledTestCase):
    """A "zansetup:" link as browsers hand it on, to ShellExecuteExW (which in
    Wine 8 finds the scheme only in the per-user key's copy below HKLM)."""

    def setUp(self):
        super().setUp()
        self.install()
        self.merge_classes(["zansetup"])
        self.log = os.path.join(self.folder, "zansetup.log")
        self.server = ProductServer(Sandbox("link-" + self.id().rsplit(".", 1)[1]))
        self.server.publish("Demo", version="1.0", default_dir=LINK_PRODUCT_FOLDER)
        self.enterContext(self.server)

    def open_link(self, link):
        process = Wine().open_link(link)
        self.processes.append(process)
        return process

    @flavour_free
    def test_the_sample_page_s_link_installs_the_product_as_its_arguments_would(self):
        with open(os.path.join(SOURCE, "tools", "oneclick-sample.html"), encoding="utf-8") as f:
            link = html.unescape(re.search(r'<a id="zanLink" href="([^"]+)"', f.read()).group(1))
        process = self.open_link(link)
        dialog = Wine().find(title=CAPTION, control=IDC_NEXT, timeout_ms=60000)
        self.assertIsNotNone(dialog, "no install path dialog; log: %r" % read_log_lines(self.log))
        Wine().click(dialog, IDC_NEXT)
        self.assertEqual(2, wait_exit(process, timeout=120))
        lines = read_log_lines(self.log)
        self.assertIn("the Produce name:Demo, version: 1.0", lines)
        self.assertIn("end install", lines)
        self.assertTrue(os.path.exists(PREFIX.drive_path(LINK_PRODUCT_FOLDER + "\\installed.txt")))
        # Its exit code is out before its Unix process has gone.
        self.assertTrue(wait_until(lambda: not running_from(self.folder), timeout=30), running_from(self.folder))

    def test_hostile_links_end_the_run_with_their_line_and_make_nothing(self):
        links = {
            "zansetup://install?app=Demo&ver=1.0&uac=yes": "the key \"uac\" is not allowed",
            # Would split into a second argument if decoded into the command line.
            "zansetup://install?app=Demo%22%20Uac%3Dyes&ver=1.0": "the product name is not usable",
            "zansetup://install?app=..%5C..%5CWindows&ver=1.0": "the product name is not usable",
        }
        # The program folder lies on drive C too: its log is the one change.
        log = os.path.relpath(self.log, PREFIX.drive_path("C:\\"))
        for link, reason in links.items():
            with self.subTest(link=link):
                drive_before = PREFIX.tree()
                lines_before = len(read_log_lines(self.log))
                self.assertEqual(0, wait_exit(self.open_link(link), timeout=60))
                self.assertEqual(["the link is not usable, setup ends: " + reason],
                                 read_log_lines(self.log)[lines_before:])
                self.assertEqual({k: v for k, v in drive_before.items() if k != log},
                                 {k: v for k, v in PREFIX.tree().items() if k != log}, "nothing was made on drive C")
        self.assertEqual([], self.server.access_log(), "nothing was fetched")



class ChineseFolders(InstalledTestCase):
    def test_zansetup_and_a_product_go_into_chinese_folders_and_the_log_reads_as_gbk(self):
        # A user in China: the Chinese locale's ANSI code page (936, GBK) is the log's.
        corvela = os.path.join(self.root, "\u672c\u5730\u7a0b\u5e8f", "Corvela")  # "local programs"
        self.folder, self.download = os.path.join(corvela, "ZanSetup"), os.path.join(corvela, "download")
        os.makedirs(corvela)
        product_folder = "C:\\ZanTest\\\u6f14\u793a\u4ea7\u54c1"  # "demo product"
        wine = Wine("zh-cn")
        install = '"%s" /S /D=%s' % (windows_path(INSTALLER), windows_path(self.folder))
        self.assertEqual(0, wait_exit(self.start(wine, install), timeout=120))
        self.addCleanup(self.uninstall_leftovers)
        program = os.path.join(self.folder, "ZanSetup.exe")
        self.assertTrue(os.path.exists(program), os.listdir(corvela))
        log = os.path.join(self.folder, "zansetup.log")
        with ProductServer(Sandbox("locale-product")) as server:
            server.publish("Demo", version="1.0", default_dir=product_folder)
            process = self.start(wine, '"%s" App=Demo Ver=1.0' % windows_path(program))
            dialog = wine.find(title=read_locale_text("zh-cn", "language.caption"), control=IDC_NEXT,
                               timeout_ms=60000)
            self.assertIsNotNone(dialog, "no install path dialog; log: %r" % read_log_lines(log, code_page="gbk"))
            self.assertEqual(product_folder, wine.texts(dialog)[1][IDC_PATH_EDIT][3])
            wine.click(dialog, IDC_NEXT)
            self.assertEqual(2, wait_exit(process, timeout=120))
        self.assertTrue(os.path.exists(PREFIX.drive_path(product_folder + "\\installed.txt")))
        package = windows_path(os.path.join(self.download, "Demo", "install.exe"))
        expected = ["Set instal path: " + product_folder,
                    'begin install:"%s" /S /D=%s' % (package, product_folder), "end install"]
        self.assertEqual(expected, [line for line in read_log_lines(log, code_page="gbk") if line in expected])
        self.uninstall()
