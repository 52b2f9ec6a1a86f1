"""Debian's Chromium as a visitor's browser, driven by Selenium (Debian's python3-selenium and
chromium-driver), on a display of the caller's.

Everything it keeps lies in one folder of the build: its profile, a home, XDG folders, a certificate database
that trusts the test CA (nothing is written under /etc or into the machine's own trust), and the desktop
entry that hands a "zansetup:" link to Wine's shell in the build's prefix. Its flags keep it off the network,
whose closed ports would refuse its background connections, many at a time."""
import json
import math
import os
import shutil
import subprocess
import sys
from pathlib import Path

CHROMIUM = "/usr/lib/chromium/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
OFFLINE_FLAGS = ["--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--no-first-run", "--disable-quic"]
HANDLER_ENTRY = "zansetup-link.desktop"


def available():
    """Why the browser cannot run here, or None when it can."""
    for path in (CHROMIUM, CHROMEDRIVER, shutil.which("certutil"), shutil.which("xdg-open")):
        if not path or not os.path.exists(path):
            return "missing %s (tools/install-deps.sh installs it)" % (path or "certutil or xdg-open")
    try:
        _selenium()
    except ImportError as error:
        return "no python3-selenium: %s" % error
    return None


def _selenium():
    # Debian's package, where Debian's python3 looks; another python3 looks there after its own folders.
    try:
        import selenium  # noqa: F401
    except ImportError:
        sys.path.append("/usr/lib/python3/dist-packages")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    return webdriver, Service


# Chromium's zoom levels are powers of 1.2: 200% is this one.
ZOOM_200_PERCENT = math.log(2) / math.log(1.2)


class Chromium:
    """One browser for a whole test module or the demo, its window at `position` (beside Wine's desktop, so
    that both are seen). The profile opens "zansetup:" links of `allowed_origins` without asking, as "Always
    allow" would have it, and asks on any other origin; it shows the pages of `zoomed_hosts` at 200%, as a
    visitor who zoomed them would see them."""

    def __init__(self, folder, display, ca_pem, allowed_origins=(), zoomed_hosts=(), window=(1024, 768),
                 position=(0, 0)):
        self.folder = os.path.abspath(folder)
        self.display = display
        self.ca_pem = ca_pem
        self.allowed_origins = list(allowed_origins)
        self.zoomed_hosts = list(zoomed_hosts)
        self.window = window
        self.position = position
        self.home = os.path.join(self.folder, "home")
        self.config_home = os.path.join(self.home, ".config")
        self.data_home = os.path.join(self.home, ".local", "share")
        self.handler_record = os.path.join(self.folder, "links.txt")  # each link handed on, one a line
        self.driver = None

    def environment(self):
        env = dict(os.environ, HOME=self.home, XDG_CONFIG_HOME=self.config_home, XDG_DATA_HOME=self.data_home,
                   DISPLAY=self.display)
        # No desktop of the machine's decides where a link goes.
        for name in ("XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID",
                     "DBUS_SESSION_BUS_ADDRESS"):
            env.pop(name, None)
        return env

    def start(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        for path in (self.config_home, self.data_home, os.path.join(self.home, ".pki", "nssdb")):
            os.makedirs(path)
        self._trust_ca()
        self._write_preferences()
        webdriver, Service = _selenium()
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        # As root Chromium runs only without its sandbox.
        for flag in ["--no-sandbox", "--user-data-dir=" + os.path.join(self.folder, "profile"),
                     "--window-position=%d,%d" % self.position, "--window-size=%d,%d" % self.window] + OFFLINE_FLAGS:
            options.add_argument(flag)
        # Without the bar that says a test drives it: screenshots show what a visitor sees.
        options.add_experimental_option("excludeSwitches", ["enable-automation"])
        service = Service(CHROMEDRIVER, log_path=os.path.join(self.folder, "chromedriver.log"),
                          env=self.environment())
        self.driver = webdriver.Chrome(service=service, options=options)
        self.driver.set_page_load_timeout(60)
        return self

    def stop(self):
        if self.driver is not None:
            self.driver.quit()
            self.driver = None

    def _write_preferences(self):
        """The profile's preferences as the visitor's choices left them ("x": the default partition)."""
        default = os.path.join(self.folder, "profile", "Default")
        os.makedirs(default)
        preferences = {
            "protocol_handler": {"allowed_origin_protocol_pairs": {
                origin: {"zansetup": True} for origin in self.allowed_origins}},
            "partition": {"per_host_zoom_levels": {"x": {
                host: {"zoom_level": ZOOM_200_PERCENT} for host in self.zoomed_hosts}}},
        }
        Path(default, "Preferences").write_text(json.dumps(preferences))

    def _trust_ca(self):
        database = "sql:" + os.path.join(self.home, ".pki", "nssdb")
        for args in (["-N", "--empty-password"], ["-A", "-n", "ZanSetup Test CA", "-t", "C,,", "-i", self.ca_pem]):
            subprocess.run(["certutil", "-d", database] + args, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, env=self.environment())

    def set_handler(self, wine_run, driver, env):
        """The desktop's hand-off of "zansetup:" links, as a desktop integration of Wine would write it: an
        x-scheme-handler entry whose program records the link and starts it through Wine's shell ("start") in
        the prefix `env` names, on a user's limited token (zsdriver exec), where the registration that
        ZanSetup's installer wrote decides what runs."""
        script = os.path.join(self.folder, "zansetup-link.sh")
        exports = "".join("export %s='%s'\n" % (name, value) for name, value in sorted(env.items()))
        Path(script).write_text("#!/bin/sh\n# Hands a zansetup: link to Wine's shell.\n%s"
                                'printf "%%s\\n" "$1" >> "%s"\n'
                                'exec "%s" "%s" exec start.exe "$1" >/dev/null 2>&1 </dev/null\n'
                                % (exports, self.handler_record, wine_run, driver))
        os.chmod(script, 0o755)
        applications = os.path.join(self.data_home, "applications")
        os.makedirs(applications, exist_ok=True)
        Path(applications, HANDLER_ENTRY).write_text("[Desktop Entry]\nType=Application\nName=ZanSetup\n"
                                                     "Exec=%s %%u\nMimeType=x-scheme-handler/zansetup;\n"
                                                     "NoDisplay=true\n" % script)
        Path(self.config_home, "mimeapps.list").write_text(
            "[Default Applications]\nx-scheme-handler/zansetup=%s\n" % HANDLER_ENTRY)

    def remove_handler(self):
        for path in (os.path.join(self.data_home, "applications", HANDLER_ENTRY),
                     os.path.join(self.config_home, "mimeapps.list")):
            Path(path).unlink(missing_ok=True)

    def links_handed_on(self):
        return Path(self.handler_record).read_text().split() if os.path.exists(self.handler_record) else []

    def open(self, url):
        self.driver.get(url)

    def script(self, code, *args):
        return self.driver.execute_script(code, *args)

    def element(self, element_id):
        from selenium.webdriver.common.by import By
        return self.driver.find_element(By.ID, element_id)

    def screenshot(self, path):
        """The whole display, browser frame and questions included (Selenium's own shows the page alone)."""
        import testenv
        return testenv.capture_display(self.display, path)

    def resize(self, width, height):
        """The window's size; Chromium keeps it at least 500 pixels wide."""
        self.driver.set_window_size(width, height)

    def focus(self):
        """Gives the browser the keyboard focus again, as a visitor clicking into it would."""
        self.driver.switch_to.window(self.driver.current_window_handle)
        self.driver.execute_cdp_cmd("Page.bringToFront", {})

    def preferences(self):
        return json.loads(Path(self.folder, "profile", "Default", "Preferences").read_text())
