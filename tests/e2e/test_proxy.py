"""A proxy that asks for credentials: Debian's squid with Basic authentication in front of the download
server, set as the system's proxy of a Wine prefix made new for this module. The user is asked once per run in
a dialog of the program's own; a wrong password is asked for again; Cancel ends with the information error;
"Remember" keeps the credentials in the user's credential store for the next run; the password reaches no
file. (Wine answers proxies with Basic only: NTLM and Negotiate, which WinINet answers with the user's logon,
only Windows shows.) The build is one for a plain-http server: it works, and protects nothing."""
import os
import shutil

import squid
from pathlib import Path
from harness import (BUILD, DEMO_PRODUCT, IDCANCEL, IDOK, SECOND_PORT, E2ETestCase, ProductServer, Sandbox, Wine,
                     escape_text, read_locale_text, registry, set_document_text, wait_exit)
from installed import FreshPrefix
from resource_ids import IDC_PROXY_PASSWORD, IDC_PROXY_REMEMBER, IDC_PROXY_TEXT, IDC_PROXY_USER

SQUID_PORT = 8791
PROXY = "127.0.0.1:%d" % SQUID_PORT
USER = "alice"
PASSWORD = "zan-proxy-Secret-7431"
PROXY_CAPTION = read_locale_text("en-us", "language.proxy.caption")
PREFIX = FreshPrefix("proxy")
SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
STORE = r"HKCU\Software\Wine\Credential Manager"

BOX = None
SERVER = None
PROXY_SERVER = None
DLL = None


def setUpModule():
    global BOX, SERVER, PROXY_SERVER, DLL
    PREFIX.start()
    assert registry("set", SETTINGS, "ProxyEnable", "dword", "1")[0] == 0
    assert registry("set", SETTINGS, "ProxyServer", "sz", PROXY)[0] == 0
    BOX = Sandbox("proxy", variant="http")
    SERVER = ProductServer(BOX, base="http://127.0.0.1:%d" % SECOND_PORT).__enter__()
    published = SERVER.publish("Proxied", installer=os.path.join(DEMO_PRODUCT, "DemoSetup.exe"), version="1.0",
                               dir_opt_show=0)
    # A language address that ends in a DLL's name stores the file under the code.
    DLL = os.path.join(os.path.dirname(published.lang_paths["en-us"]), "version.dll")
    shutil.copyfile(published.lang_paths["en-us"], DLL)
    set_document_text(published.info_path, "lang/en-us", published.lang_urls["en-us"].replace("en-us.locale",
                                                                                              "version.dll"))
    PROXY_SERVER = squid.Squid(os.path.join(BUILD, "test-env", "squid"), SQUID_PORT, {USER: PASSWORD}).start()


def tearDownModule():
    if PROXY_SERVER:
        PROXY_SERVER.stop()
    if SERVER:
        SERVER.__exit__(None, None, None)
    PREFIX.stop()


def asks(lines):
    return [line for line in lines if line == "asking for the credentials of the proxy " + PROXY]


class Proxy(E2ETestCase):
    def setUp(self):
        super().setUp()
        BOX.reset_log()
        registry("delete", STORE)

    def answer(self, wine, password, remember=False):
        dialog = wine.find(title=PROXY_CAPTION, control=IDC_PROXY_USER, timeout_ms=60000)
        self.assertIsNotNone(dialog, "no proxy dialog; log: %r" % BOX.log_lines())
        text = wine.texts(dialog)[1][IDC_PROXY_TEXT][3]
        wine.driver("settext", dialog, str(IDC_PROXY_USER), USER)
        wine.driver("settext", dialog, str(IDC_PROXY_PASSWORD), escape_text(password))
        if remember:
            wine.driver("check", dialog, str(IDC_PROXY_REMEMBER))
        wine.click(dialog, IDOK)
        self.assertTrue(wine.wait_gone(dialog))
        return text

    def test_cancel_gives_the_information_error_and_names_the_proxy(self):
        wine = Wine("en-us")
        process = self.start(wine, '"%s" App=Proxied Ver=1.0' % BOX.program)
        dialog = wine.find(title=PROXY_CAPTION, control=IDC_PROXY_USER, timeout_ms=60000)
        self.assertIsNotNone(dialog)
        wine.click(dialog, IDCANCEL)
        error = wine.find_message(read_locale_text("en-us", "language.caption"),
                                  read_locale_text("en-us", "language.downloadinfoerror"), timeout_ms=30000)
        self.assertIsNotNone(error, "no information error; log: %r" % BOX.log_lines())
        wine.click(error, IDOK)
        self.assertEqual(2, wait_exit(process))
        lines = BOX.log_lines()
        self.assertIn("the proxy %s asks for credentials (407) and none were given" % PROXY, lines)
        self.assertIn("Download soft.xml failed, url: http://127.0.0.1:%d/zansetup/soft/Proxied/1.0/soft.info, "
                      "error code: 407" % SECOND_PORT, lines)

    def test_a_plain_http_install_through_the_proxy_asks_once_per_answer_and_remembers_the_right_one(self):
        before = len(PROXY_SERVER.access_log())
        wine = Wine("en-us")
        process = self.start(wine, '"%s" App=Proxied Ver=1.0' % BOX.program)
        texts = [self.answer(wine, "wrong-password"), self.answer(wine, PASSWORD, remember=True)]
        self.assertEqual(2, wait_exit(process, timeout=120))
        lines = BOX.log_lines()
        self.assertEqual("The proxy %s asks for a user name and password." % PROXY, texts[0])
        self.assertIn("did not accept them", texts[1])
        self.assertIn("end install", lines)
        # One question per answer: the right one serves soft.info, the language file and the package.
        self.assertEqual(2, len(asks(lines)), lines)
        served = {url.rsplit("/", 1)[1] for status, user, url in PROXY_SERVER.access_log()[before:]
                  if user == USER and status in ("200", "206")}
        self.assertLessEqual({"soft.info", "version.dll", "DemoSetup.exe"}, served, PROXY_SERVER.access_log())
        # The folder step is skipped: the installer gets no folder argument.
        self.assertIn("the Produce url:%s/zansetup/soft/Proxied/1.0/soft.info" % SERVER.base_url, lines)
        self.assertEqual(['begin install:"%sinstall.exe" /S' % BOX.windows_download_dir("Proxied")],
                         [line for line in lines if line.startswith(("begin install:", "Set instal path: "))])
        folder = os.path.join(BOX.download_dir(), "Proxied")
        self.assertEqual(["en-us.locale", "install.exe"], sorted(os.listdir(folder)))
        with open(DLL, "rb") as served, open(os.path.join(folder, "en-us.locale"), "rb") as stored:
            self.assertEqual(served.read(), stored.read())

        BOX.reset_log()
        self.assertEqual(2, wait_exit(self.start(wine, '"%s" App=Proxied Ver=1.0' % BOX.program), timeout=120))
        lines = BOX.log_lines()
        self.assertIn("end install", lines)
        self.assertEqual([], asks(lines))
        # Neither as text nor as UTF-16 in any file of the prefix or the sandbox.
        def holds_password(path):
            if os.path.islink(path) or not os.path.isfile(path):
                return False
            data = Path(path).read_bytes()
            return PASSWORD.encode("utf-8") in data or PASSWORD.encode("utf-16-le") in data

        files = [os.path.join(folder, name) for root in (PREFIX.prefix, BOX.root)
                 for folder, _, names in os.walk(root) for name in names]
        self.assertEqual([], [path for path in files if holds_password(path)])
