#!/usr/bin/env python3
"""The demo, the whole loop under Wine: installs ZanSetup per user with its
own installer, publishes the demo product (a real installer) and serves it
with nginx on the build's server address, lets a visitor ask for it, and
uninstalls ZanSetup again at the end.

    demo.py BUILD_DIR

The visitor uses Chromium where it can run (Debian's, driven by Selenium):
it opens the sample page (tools/oneclick-sample.html) from the server, its
button hands a "zansetup:" link to the desktop, which gives it to Wine's
shell, and the installed ZanSetup starts. Where Chromium cannot run, a
page's script asks the one-click control under the script host instead. The
demo says which path it took.

The documents are signed with the publisher key and certificate (PEM) that
ZANSETUP_DEMO_SIGN_KEY and ZANSETUP_DEMO_SIGN_CERT name; demo.sh makes a
throw-away pair and pins the build to it.

With DISPLAY set the browser and the dialogs are left to you; otherwise a
virtual display is used and both are worked as a person would, with
screenshots.
"""
import os
import shutil
import sys
import time

import publish

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

FOLDER = "C:\\Demo Product"
DEMO_SPAN = 64
PAGE = "/oneclick.html"
# Where the sample page offers ZanSetup's installer.
INSTALLER_PATH = "/zansetup/ZanSetup-setup.exe"
# Wine's desktop on the left, the browser beside it.
WIDE_SCREEN = "2048x768x24"
PAGE_SCRIPT = """// What the sample page (tools/oneclick-sample.html) does, as a script.
var control = new ActiveXObject("npZanSetupOneClick.ZanSetupOneClick");
WScript.Echo("InstallOneClick answered " + Number(control.InstallOneClick("Demo", "1.0")));
"""


def cache_value(build, name):
    """A variable of the build's CMake cache ("" when it is not there)."""
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return ""


def wait_for(condition, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline and not condition():
        time.sleep(0.5)
    return condition()


def install_zansetup(harness, installer, folder):
    code = harness.wait_exit(harness.Wine().start('"%s" /S /D=%s' % (harness.windows_path(installer), folder)),
                             timeout=120)
    if code != 0:
        raise SystemExit("the ZanSetup installer ended with %d" % code)
    print("installed ZanSetup per user into", folder)


def script_host(harness, wine_call, box):
    """The fallback: a page's script asks the one-click control, under the
    script host."""
    script = os.path.join(box.root, "page.js")
    with open(script, "w") as f:
        f.write(PAGE_SCRIPT)
    code, out = wine_call("cscript", "//nologo", harness.windows_path(script))
    print("the page's script:", out.strip() or "exit code %d" % code)


def chromium_visit(harness, browser, box, server, display, language, interactive, installer, shots):
    """The visitor's path: Chromium opens the sample page from the server and
    its button hands the link to the desktop, which gives it to Wine's shell
    in the build's prefix. Returns the browser, to be stopped by the caller."""
    import tls
    shutil.copy(os.path.join(HERE, "oneclick-sample.html"), os.path.join(server.root, PAGE.lstrip("/")))
    shutil.copy(installer, os.path.join(server.root, INSTALLER_PATH.lstrip("/")))
    build = harness.BUILD
    visitor = browser.Chromium(os.path.join(box.root, "chromium"), display, tls.ca_pem(build),
                               allowed_origins=[server.base_url], position=(0, 0) if interactive else (1024, 0))
    visitor.start()
    visitor.set_handler(harness.WINE_RUN, harness.DRIVER, {
        "ZANSETUP_WINEPREFIX": os.path.join(build, "wineprefix"), "ZANSETUP_TEST_ENV": os.path.join(build, "test-env"),
        "LC_ALL": harness.LANGUAGES[language]})
    url = server.base_url + PAGE
    visitor.open(url)
    print("Chromium opened the sample page", url)
    if interactive:
        print("click the page's button in the browser that opened")
        return visitor
    shots.append(visitor.screenshot(os.path.join(box.root, "page-before-the-click.png")))
    visitor.element("install").click()
    if not wait_for(visitor.links_handed_on, 60):
        raise SystemExit("the browser handed no link on")
    print("the visitor clicked the button; Chromium handed %s to the desktop, and that to Wine's shell"
          % visitor.links_handed_on()[0])
    return visitor


def work_dialogs(harness, box, language, interactive, log, visitor, shots):
    wine = harness.Wine(language)
    if interactive:
        wine.env["DISPLAY"] = os.environ["DISPLAY"]
        print("work the dialogs in the window that opened; waiting for the setup to end")
    else:
        caption = harness.read_locale_text(language, "language.caption")
        from resource_ids import IDC_NEXT  # the build's, found once harness is loaded
        dialog = wine.find(title=caption, control=IDC_NEXT, timeout_ms=90000)
        if dialog is None:
            raise SystemExit("the install path dialog did not appear; log: %s" % log)
        if visitor:
            wait_for(lambda: visitor.element("status").text, 30)
            print("the page says:", visitor.element("status").text)
        shots.append(box.screenshot("install-path-dialog"))
        wine.click(dialog, IDC_NEXT)
    ended = wait_for(lambda: "end install" in harness.read_log_lines(log), 3600 if interactive else 300)
    print("the setup program %s" % ("installed the product" if ended else "did not finish"))
    if visitor and not interactive:
        shots.append(box.screenshot("product-installed"))


def browser_module():
    """tests/e2e/browser.py, or why Chromium cannot run here."""
    import browser
    missing = browser.available()
    return (None, missing) if missing else (browser, None)


def main(build):
    os.environ["ZANSETUP_BUILD"] = build
    # The harness and the test environment take the flavour from here.
    flavour = cache_value(build, "ZANSETUP_ARCH") or "x86"
    os.environ["ZANSETUP_ARCH"] = flavour
    os.environ["ZANSETUP_WINEARCH"] = "win64" if flavour == "x64" else "win32"
    suffix = "-x64" if flavour == "x64" else ""
    interactive = bool(os.environ.get("DISPLAY"))
    browser, missing = browser_module()
    if os.environ.get("ZANSETUP_DEMO_SCRIPT_HOST"):
        browser, missing = None, "ZANSETUP_DEMO_SCRIPT_HOST is set"
    import testenv
    if not interactive:
        os.environ["DISPLAY"] = ""
    display = testenv.start(build, screen=WIDE_SCREEN if browser else testenv.SCREEN)
    if interactive:
        display = os.environ["DISPLAY"]
    else:
        os.environ.pop("DISPLAY")
    import harness
    import tls
    from test_plugin import MERGED, wine as wine_call
    version = cache_value(build, "ZANSETUP_VERSION")
    pins = [pin for pin in cache_value(build, "ZANSETUP_PUBLISHER_PINS").split(";") if pin]
    sign_key = os.environ.get("ZANSETUP_DEMO_SIGN_KEY")
    sign_cert = os.environ.get("ZANSETUP_DEMO_SIGN_CERT")
    installer = os.path.join(build, "bin", "ZanSetup-%s%s-setup.exe" % (version, suffix))
    language = os.environ.get("ZANSETUP_DEMO_LANG", "en-us")
    box = harness.Sandbox("demo")
    # In the user's profile: the installer takes no folder elsewhere.
    program_dir = harness.profile_folder("ZanSetup demo", "Corvela", "ZanSetup" + suffix)
    folder = harness.windows_path(program_dir)
    log = os.path.join(program_dir, "zansetup.log")
    shots = []
    visitor = None
    try:
        install_zansetup(harness, installer, folder)
        # Windows merges the per-user classes into HKEY_CLASSES_ROOT; Wine 8
        # does not, so the demo copies them there for the page's script and
        # for Wine's shell (the "zansetup" scheme).
        for key in MERGED + ["zansetup"]:
            wine_call("reg", "copy", "HKCU\\Software\\Classes\\" + key, "HKLM\\Software\\Classes\\" + key, "/s", "/f")
        with harness.ProductServer(box) as server:
            # Long ranged requests: the opt-in a publisher takes for any
            # server that honours ranges, on a line with real round trips.
            published = server.publish("Demo", version="1.0", default_dir=FOLDER, span=DEMO_SPAN,
                                       sign_key=sign_key, sign_cert=sign_cert)
            print("published the demo product at %s, with up to %d blocks per ranged request"
                  % (published.info_url, DEMO_SPAN))
            if published.signatures:
                pin = publish.publisher_pin(sign_cert)
                print("signed its %d documents (a .p7s beside each) with the demo publisher's key, "
                      "pin %s; the build carries the pins %s%s"
                      % (len(published.signatures), pin, ";".join(pins) or "(none)",
                         "" if pin in pins else ", not this one: it will refuse them"))
            else:
                print("published unsigned (no ZANSETUP_DEMO_SIGN_KEY/ZANSETUP_DEMO_SIGN_CERT); "
                      "the build carries the pins %s" % (";".join(pins) or "(none)"))
            print("served over https with a certificate of the test CA in %s, trusted in the build's "
                  "Wine prefix and nowhere else" % tls.folder(build))
            print("a dropped line would not end it: every request is tried again within the run "
                  "(1, 2, 4, 8, 16, then 30 s apart, for five minutes without progress), and the "
                  "package keeps the blocks it has")
            if browser:
                print("the visitor's path, in Chromium: the sample page, the click and the install")
                visitor = chromium_visit(harness, browser, box, server, display, language, interactive, installer,
                                         shots)
            else:
                print("the script host's path, a page's script through the one-click control: Chromium cannot "
                      "run here (%s)" % missing)
                script_host(harness, wine_call, box)
            work_dialogs(harness, box, language, interactive, log, visitor, shots)
        installed = os.path.join(build, "wineprefix", "drive_c", FOLDER[3:])
        if os.path.isdir(installed):
            print("the demo product was installed into %s (in Wine: %s)%s:"
                  % (installed, FOLDER, " through Chromium" if visitor else " through the script host"))
            for name in sorted(os.listdir(installed)):
                print("   ", name)
        else:
            print("nothing was installed into", FOLDER)
        print("log of the installed ZanSetup:", log)
        for line in harness.read_log_lines(log):
            print("   ", line)
        for shot in filter(None, shots):
            print("screenshot:", shot)
    finally:
        if visitor:
            visitor.stop()
        for key in MERGED + ["zansetup"]:
            wine_call("reg", "delete", "HKLM\\Software\\Classes\\" + key, "/f")
        uninstaller = os.path.join(program_dir, "uninstall.exe")
        if os.path.exists(uninstaller):
            wine_call(uninstaller, "/S")
            gone = wait_for(lambda: not os.path.exists(program_dir), 60)
            print("uninstalled ZanSetup again" if gone else "the uninstaller left %s" % program_dir)
        harness.record_reset()
        testenv.stop(build, quiet=True)


if __name__ == "__main__":
    main(os.path.abspath(sys.argv[1]))
