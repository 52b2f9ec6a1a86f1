"""The visitor's path in a real browser: Debian's Chromium, driven by Selenium on the module's own display
(browser.py), opens the sample page that nginx serves over https with the test CA; its button asks for the
demo product. The profile lets the download server's origin open "zansetup:" links without asking, as "Always
allow" would. The desktop hand-off gives a link to Wine's shell in the module's own prefix, where ZanSetup's
installer registered the scheme (copied under HKLM\\Software\\Classes, as Wine 8 does not merge the per-user
key). Screenshots are for a person to look at."""
import os
import shutil
import ssl
import unittest
import urllib.request

import browser
from harness import (BUILD, DRIVER, OUTPUT, SECOND_PORT, SERVER_BASE, WINE_RUN, ProductServer, Sandbox, Wine,
                     read_locale_text, read_log_lines, take_screenshot)
from installed import INSTALLER, FreshPrefix, InstalledTestCase, wait_until
from resource_ids import IDC_NEXT

SAMPLE_PAGE = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "oneclick-sample.html")
PAGE_PATH = "/oneclick.html"
# Where the sample page offers ZanSetup's installer.
INSTALLER_PATH = "/zansetup/ZanSetup-setup.exe"
# An origin the profile has not allowed: the same tree on a second port.
ASKING_BASE = "https://localhost:%d" % SECOND_PORT
PRODUCT_FOLDER = "C:\\ZanTest\\from the browser"
LINK = "zansetup://install?app=Demo&ver=1.0"
ASKED = "The setup program has been asked to start."
NO_ANSWER = "ZanSetup did not answer. Is it installed?"
CAPTION = read_locale_text("en-us", "language.caption")

# Wine's desktop on the left half, the browser on the right: both in view.
PREFIX = FreshPrefix("browser", screen="2048x768x24")
# The layout check's host, which the profile zooms to 200%.
ZOOMED_BASE = "http://127.0.0.1:%d" % SECOND_PORT
CHROMIUM = None


def setUpModule():
    missing = browser.available()
    if missing:
        raise unittest.SkipTest(missing)
    global CHROMIUM
    import tls
    PREFIX.start()
    CHROMIUM = browser.Chromium(os.path.join(OUTPUT, "browser", "chromium"), os.environ["DISPLAY"],
                                tls.ca_pem(BUILD), allowed_origins=[SERVER_BASE], zoomed_hosts=["127.0.0.1"],
                                position=(1024, 0))
    try:
        CHROMIUM.start()
    except Exception:
        PREFIX.stop()
        raise


def tearDownModule():
    if CHROMIUM:
        CHROMIUM.stop()
    PREFIX.stop()


class Visitor(InstalledTestCase):
    def setUp(self):
        super().setUp()
        self.box = Sandbox("browser-" + self.id().rsplit(".", 1)[1])
        self.server = ProductServer(self.box)
        self.server.publish("Demo", version="1.0", default_dir=PRODUCT_FOLDER)
        shutil.copy(SAMPLE_PAGE, os.path.join(self.server.root, PAGE_PATH.lstrip("/")))
        shutil.copy(INSTALLER, os.path.join(self.server.root, INSTALLER_PATH.lstrip("/")))
        for server in (self.server, ProductServer(self.box, base=ASKING_BASE)):
            self.enterContext(server)
        CHROMIUM.remove_handler()
        self.addCleanup(CHROMIUM.open, "about:blank")
        self.handed_on = len(CHROMIUM.links_handed_on())

    def click_install_on_page(self, base=SERVER_BASE, screenshot=None):
        CHROMIUM.focus()
        CHROMIUM.open(base + PAGE_PATH)
        self.assertTrue(CHROMIUM.element("install").is_displayed())
        self.assertTrue(CHROMIUM.script("return document.hasFocus()"), "the page starts with the focus")
        if screenshot:
            take_screenshot(screenshot)
        CHROMIUM.element("install").click()

    def wait_for_status(self, start, timeout=60):
        status = lambda: CHROMIUM.element("status").text  # noqa: E731
        wait_until(lambda: status().startswith(start), timeout)
        self.assertTrue(status().startswith(start), status())

    def new_links(self):
        return CHROMIUM.links_handed_on()[self.handed_on:]

    def set_handler(self, **env):
        CHROMIUM.set_handler(WINE_RUN, DRIVER, dict(env, ZANSETUP_WINEPREFIX=PREFIX.prefix,
                                                    ZANSETUP_TEST_ENV=PREFIX.env_folder))

    def test_installed_the_click_installs_the_product(self):
        self.install()
        self.merge_classes(["zansetup"])
        self.set_handler(LC_ALL="en_US.UTF-8")
        self.click_install_on_page(screenshot="browser-1-page-before-the-click")
        self.assertTrue(wait_until(lambda: self.new_links(), timeout=60), "the browser handed no link on")
        self.assertEqual([LINK], self.new_links())
        wine = Wine()
        dialog = wine.find(title=CAPTION, control=IDC_NEXT, timeout_ms=90000)
        log = os.path.join(self.folder, "zansetup.log")
        self.assertIsNotNone(dialog, "no install path dialog; log: %r" % read_log_lines(log))
        self.wait_for_status(ASKED)
        self.assertFalse(CHROMIUM.element("getZanSetup").is_displayed(), "ZanSetup is installed: no offer")
        take_screenshot("browser-2-page-after-the-click")
        wine.click(dialog, IDC_NEXT)
        installed = PREFIX.drive_path(PRODUCT_FOLDER + "\\installed.txt")
        self.assertTrue(wait_until(lambda: "end install" in read_log_lines(log), timeout=180), read_log_lines(log))
        # An elevated run logs only into the protected folder: this one ran
        # on the user's limited token, beside the installed program.
        self.assertIn("the Produce name:Demo, version: 1.0", read_log_lines(log))
        self.assertTrue(os.path.exists(installed))
        self.assertFalse(CHROMIUM.element("getZanSetup").is_displayed())
        take_screenshot("browser-3-product-installed")
        self.uninstall()

    def test_without_a_handler_the_page_keeps_the_focus_and_offers_the_installer(self):
        self.click_install_on_page()
        self.wait_for_status(NO_ANSWER)
        self.assertTrue(CHROMIUM.script("return document.hasFocus()"))
        offer = CHROMIUM.element("zanInstaller")
        self.assertTrue(offer.is_displayed())
        self.assertEqual(SERVER_BASE + INSTALLER_PATH, offer.get_attribute("href"))
        take_screenshot("browser-fallback-installer-offered")
        self.assertEqual([], self.new_links())
        # The offer leads to ZanSetup's installer, as the server gives it.
        context = ssl.create_default_context(cafile=CHROMIUM.ca_pem)
        with urllib.request.urlopen(offer.get_attribute("href"), context=context, timeout=30) as answer:
            served = answer.read()
        with open(INSTALLER, "rb") as f:
            self.assertEqual(f.read(), served)

    def test_without_the_profiles_permission_chromium_asks_first(self):
        self.set_handler()
        self.click_install_on_page(ASKING_BASE)
        # The question takes the focus from the page.
        self.wait_for_status(ASKED)
        self.assertFalse(CHROMIUM.script("return document.hasFocus()"))
        take_screenshot("browser-question-without-permission")
        CHROMIUM.open("about:blank")  # the question goes with its page, unanswered
        self.assertEqual([], self.new_links(), "nothing was handed on before the visitor answered")
        pairs = CHROMIUM.preferences().get("protocol_handler", {}).get("allowed_origin_protocol_pairs", {})
        self.assertEqual([SERVER_BASE], list(pairs), "only the download server's origin is allowed")


class SamplePageLayout(unittest.TestCase):
    def check_fits(self, url, label, scale):
        CHROMIUM.open(url)
        fits = CHROMIUM.script(
            "var b = document.getElementById('install').getBoundingClientRect();"
            "return [devicePixelRatio, document.documentElement.scrollWidth <= window.innerWidth,"
            " b.left >= 0 && b.right <= window.innerWidth, b.width > 0,"
            " document.getElementById('status').getAttribute('aria-live'),"
            " document.querySelectorAll('object, embed').length];")
        # No face in this browser, so no broken-plug-in box either.
        self.assertEqual([scale, True, True, True, "polite", 0], fits, label)
        take_screenshot("browser-sample-page-" + label)
        return CHROMIUM.script("return window.innerWidth")

    def test_it_reads_well_at_200_percent_and_on_a_narrow_window(self):
        server = ProductServer(Sandbox("browser-layout"), base=ZOOMED_BASE)
        shutil.copy(SAMPLE_PAGE, os.path.join(server.root, PAGE_PATH.lstrip("/")))
        self.enterContext(server)
        self.addCleanup(CHROMIUM.open, "about:blank")
        self.addCleanup(CHROMIUM.resize, *CHROMIUM.window)
        zoomed, plain = ZOOMED_BASE + PAGE_PATH, "file://" + os.path.abspath(SAMPLE_PAGE)
        self.assertEqual(CHROMIUM.window[0] // 2, self.check_fits(zoomed, "200-percent", 2))
        CHROMIUM.resize(500, CHROMIUM.window[1])
        self.assertEqual(500, self.check_fits(plain, "narrow-window", 1))
        self.assertEqual(250, self.check_fits(zoomed, "narrow-window-200-percent", 2))
