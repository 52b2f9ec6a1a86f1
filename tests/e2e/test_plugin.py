"""The one-click plug-in as the platform sees it: registered per user with regsvr32, created from JScript by a
script engine we did not write, driven by our COM client and NPAPI host (zsplugin_tests.exe), and unregistered
without leaving anything of ours behind. Wine 8 does not merge HKCU\\Software\\Classes into HKEY_CLASSES_ROOT
as Windows does: the tests copy the per-user class keys under HKLM\\Software\\Classes, and remove them."""
import os
import re
import shutil
import tempfile
from pathlib import Path

from harness import (ARCH, BIN, BUILD, OUTPUT, SOURCE, E2ETestCase, Wine, record_delete, record_reset, record_set,
                     stand_in, wait_for_command_line, windows_path)

CLSID = "{64677634-F8BA-429F-BBD8-08330E9F31E3}"
LIBID = "{98CB0961-C0C7-491A-A633-CBA2DD3A1E4F}"
IID = "{29486499-1C45-40E4-9F40-382453A90FEE}"
APPID = "{6C288E65-0557-489B-A427-19290A0D4753}"
PROGID = "npZanSetupOneClick.ZanSetupOneClick"
MOZILLA = r"Software\MozillaPlugins\{@corvela.com/zansetup;version=1.0}"
STATS = "Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Stats\\" + CLSID
MERGED = [PROGID, PROGID + ".1", "CLSID\\" + CLSID]
OURS = (CLSID, LIBID, IID, APPID, PROGID, "npzansetuponeclick", "corvela.com", "zanclound")
# The type library's key for this flavour's module, and for the other's.
PLATFORM, OTHER_PLATFORM = ("win64", "win32") if ARCH == "x64" else ("win32", "win64")
MACHINE_CLASSES = "HKLM\\Software\\Classes"
# The unit tests, which run beside these in the same prefix, make and remove keys of their own below it.
UNIT_TEST_KEYS = "Software\\ZanSetupTest"


def wine(*args, timeout=60):
    """(exit code, output) of a Windows program started by the test driver on the user's limited token, in the
    prefix the environment names now (a module may make its own after importing this)."""
    return Wine().exec(*args, timeout=timeout)


def export(root):
    """{key path below the root: {value name: data text}} of a registry dump, without the unit tests' keys."""
    with tempfile.TemporaryDirectory(dir=OUTPUT) as folder:
        path = os.path.join(folder, "dump.reg")
        code, out = wine("reg", "export", root, windows_path(path), "/y")
        assert code == 0, out
        text = Path(path).read_text(encoding="utf-16")
    keys, current = {}, None
    prefix = "[" + {"HKCU": "HKEY_CURRENT_USER", "HKLM": "HKEY_LOCAL_MACHINE"}[root.split("\\")[0]] + "\\"
    for line in text.splitlines():
        if line.startswith(prefix) and line.endswith("]"):
            key = line[len(prefix):-1]
            current = None if (key + "\\").startswith(UNIT_TEST_KEYS + "\\") else keys.setdefault(key, {})
        elif current is not None and "=" in line:
            name, _, data = line.partition("=")
            current[name] = data
    return keys


def run_script(folder, name, version):
    """What InstallOneClick returns to a page's script, run by Windows' script host from `folder`."""
    script = os.path.join(folder, "oneclick.js")
    with open(script, "w", encoding="ascii") as f:
        f.write('var control = new ActiveXObject("%s");\n' % PROGID)
        f.write('WScript.Echo("result " + Number(control.InstallOneClick("%s", "%s")));\n' % (name, version))
    code, out = wine("cscript", "//nologo", windows_path(script))
    assert code == 0, out
    return int(out.split("result ")[1].split()[0])


def keys_of_ours(keys):
    return [key for key in keys if any(mark.lower() in key.lower() for mark in OURS)]


def parents(keys):
    return {key.rsplit("\\", n)[0] for key in keys for n in range(1, key.count("\\") + 1)}


class Plugin(E2ETestCase):
    """A copy of the DLL in a folder of its own (its log goes beside it)."""

    def setUp(self):
        super().setUp()
        self.folder = os.path.join(OUTPUT, "plugin", self.id().rsplit(".", 1)[1])
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.dll = os.path.join(self.folder, "npZanSetupOneClick.dll")
        shutil.copy2(os.path.join(BIN, "npZanSetupOneClick.dll"), self.dll)
        # Unregistering an unregistered module changes nothing.
        self.addCleanup(self.regsvr32, "/u")

    def regsvr32(self, *options):
        code, out = wine("regsvr32", *options, "/s", windows_path(self.dll))
        self.assertEqual(0, code, out)

    def merge_classes(self):
        for key in MERGED:
            code, out = wine("reg", "copy", "HKCU\\Software\\Classes\\" + key, MACHINE_CLASSES + "\\" + key,
                             "/s", "/f")
            self.assertEqual(0, code, out)
            self.addCleanup(wine, "reg", "delete", MACHINE_CLASSES + "\\" + key, "/f")


class Registration(Plugin):
    def test_what_com_and_browsers_read_leads_to_this_module_and_unregistering_leaves_only_kept_keys(self):
        machine, before = export(MACHINE_CLASSES), export("HKCU")
        self.regsvr32()
        self.assertEqual(machine, export(MACHINE_CLASSES), "registration wrote machine-wide keys")
        keys = export("HKCU")
        module = '"%s"' % windows_path(self.dll).replace("\\", "\\\\")
        page = Path(os.path.join(SOURCE, "tools", "oneclick-sample.html")).read_text(encoding="utf-8")
        # Both of the page's faces are called the same way.
        self.assertEqual(2, page.count(".InstallOneClick(name, version)"))
        clsid = "{%s}" % re.search(r'classid="clsid:([0-9A-F-]+)"', page).group(1)
        mime = re.search(r'<embed [^>]*type="([^"]+)"', page).group(1)

        def value(key, name="@"):
            return keys.get("Software\\Classes\\" + key, {}).get(name, "<missing>").strip('"')

        # From the ProgID that script names and the class that the markup
        # names, as COM follows them, to this module, in an apartment.
        current = value(PROGID + "\\CurVer")
        self.assertEqual([clsid, clsid], [value(PROGID + "\\CLSID"), value(current + "\\CLSID")])
        self.assertEqual([current, PROGID], [value("CLSID\\%s\\ProgID" % clsid),
                                             value("CLSID\\%s\\VersionIndependentProgID" % clsid)])
        self.assertEqual(module, keys["Software\\Classes\\CLSID\\%s\\InprocServer32" % clsid]["@"])
        self.assertEqual("Apartment", value("CLSID\\%s\\InprocServer32" % clsid, '"ThreadingModel"'))
        app_id = value("CLSID\\" + clsid, '"AppID"')
        self.assertEqual(app_id, value("AppID\\npZanSetupOneClick.DLL", '"AppID"'))
        self.assertIn("Software\\Classes\\AppID\\" + app_id, keys)
        # The type library of the class and of its one interface, as the
        # automation marshaller finds it, names this module for this platform.
        library = value("CLSID\\%s\\TypeLib" % clsid)
        interfaces = [k[len("Software\\Classes\\"):-len("\\TypeLib")] for k in keys
                      if re.match(r"Software\\Classes\\Interface\\[^\\]+\\TypeLib$", k)]
        self.assertEqual(1, len(interfaces), interfaces)
        self.assertEqual([library, "1.0"], [value(interfaces[0] + "\\TypeLib"),
                                            value(interfaces[0] + "\\TypeLib", '"Version"')])
        for stub in ("ProxyStubClsid", "ProxyStubClsid32"):
            self.assertEqual("{00020424-0000-0000-C000-000000000046}", value(interfaces[0] + "\\" + stub))
        self.assertEqual(module, keys["Software\\Classes\\TypeLib\\%s\\1.0\\0\\%s" % (library, PLATFORM)]["@"])
        # The browser's approval, for the allowed site only, and the NPAPI entry of the page's type.
        stats = "Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Stats\\%s\\iexplore" % clsid
        self.assertEqual({'"Type"': "dword:00000001", '"Flags"': "dword:00000004", '"Blocked"': "dword:00000002"},
                         keys[stats])
        self.assertEqual([stats + "\\AllowedDomains\\localhost"],
                         [k for k in keys if k.startswith(stats + "\\AllowedDomains\\")])
        entries = [k for k in keys if k.startswith("Software\\MozillaPlugins\\") and k.endswith("\\MimeTypes\\" + mime)]
        self.assertEqual(1, len(entries), entries)
        self.assertEqual(module, keys[entries[0].rsplit("\\MimeTypes\\", 1)[0]]['"Path"'])

        # A second registration changes nothing, and replaces a forced key whole.
        self.assertEqual(0, wine("reg", "add", "HKCU\\" + MOZILLA + "\\Stale", "/v", "x", "/d", "y", "/f")[0])
        self.regsvr32()
        self.assertEqual(keys, export("HKCU"))
        self.regsvr32("/u")
        after = export("HKCU")
        self.regsvr32("/u")  # a second time: no failure, no change
        self.assertEqual(after, export("HKCU"))
        self.assertEqual(machine, export(MACHINE_CLASSES), "unregistration changed machine-wide keys")
        self.assertEqual({}, {k: v for k, v in before.items() if after.get(k) != v}, "nothing else changed")
        # Keys above ours may stay, whether or not they were there before.
        self.assertLessEqual(set(after) - set(before), parents(keys_of_ours(keys)), "only keys above ours remain")
        self.assertEqual([], keys_of_ours(after))

    def test_the_shared_keys_stay_with_the_other_flavours_module_and_go_with_the_last(self):
        # The other flavour's module, registered as it registers itself: its
        # own platform key below the one type library.
        classes = "Software\\Classes\\"
        library = classes + "TypeLib\\" + LIBID + "\\1.0"
        other = "C:\\Other flavour\\npZanSetupOneClick.dll"
        quoted_other = '"%s"' % other.replace("\\", "\\\\")
        other_key = "HKCU\\%s\\0\\%s" % (library, OTHER_PLATFORM)
        self.assertEqual(0, wine("reg", "add", other_key, "/ve", "/d", other, "/f")[0])
        self.regsvr32()
        self.assertEqual({"@": quoted_other}, export("HKCU")[library + "\\0\\" + OTHER_PLATFORM],
                         "registration replaced the other module's key")
        self.regsvr32("/u")
        after = export("HKCU")
        for gone in (library + "\\0\\" + PLATFORM, classes + "CLSID\\" + CLSID, classes + "Interface\\" + IID):
            self.assertNotIn(gone, after)
        for kept in (library, library + "\\FLAGS", classes + PROGID + "\\CLSID", STATS + "\\iexplore",
                     STATS + "\\iexplore\\AllowedDomains\\localhost", MOZILLA + "\\MimeTypes"):
            self.assertIn(kept, after)
        self.assertEqual(quoted_other, after[MOZILLA]['"Path"'], "the NPAPI entry names the module that stays")

        # Once the other module is gone too, the last one takes them all.
        self.assertEqual(0, wine("reg", "delete", other_key, "/f")[0])
        self.regsvr32()
        self.regsvr32("/u")
        self.assertEqual([], keys_of_ours(export("HKCU")))

    def test_a_script_gets_1_when_the_recorded_program_starts_and_0_without_one_and_our_hosts_pass(self):
        record_delete()
        self.addCleanup(record_reset)
        self.regsvr32()
        self.merge_classes()
        # What each answer logs, and the other ways to fail, are our hosts'.
        self.assertEqual(0, run_script(self.folder, "Foo", "2.0"))
        program = stand_in(os.path.join(self.folder, "Zan Setup"))
        record_set("version", "1.0")
        record_set("Install_dir", windows_path(program))
        self.assertEqual(1, run_script(self.folder, "Foo", "2.0"))
        self.assertEqual('"%s" App=Foo Ver=2.0' % windows_path(program),
                         wait_for_command_line(program, timeout=15))
        host = Wine()
        host.env["ZANSETUP_PLUGIN_DLL"] = windows_path(self.dll)
        code, text = host.exec(windows_path(os.path.join(BUILD, "tests-bin", "zsplugin_tests.exe")), timeout=300)
        self.assertEqual(0, code, text)
        self.assertIn("[  PASSED  ]", text)
