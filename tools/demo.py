#!/usr/bin/env python3
"""The demo: publishes the demo product (a real installer) to a download tree,
serves it with nginx on the build's server address, and installs it with the
setup program under Wine.

    demo.py BUILD_DIR

With DISPLAY set the dialogs are left to you; otherwise a virtual display is
used and the dialogs are worked as a person would, with screenshots.
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

FOLDER = "C:\\Demo Product"


def main(build):
    os.environ["ZANSETUP_BUILD"] = build
    interactive = bool(os.environ.get("DISPLAY"))
    testenv = os.path.join(HERE, "..", "tests", "e2e", "testenv.py")
    subprocess.run([sys.executable, testenv, "start", build], check=True, stdout=subprocess.DEVNULL,
                   env=dict(os.environ, DISPLAY="") if not interactive else os.environ)
    import harness
    language = os.environ.get("ZANSETUP_DEMO_LANG", "en-us")
    try:
        box = harness.Sandbox("demo")
        with harness.ProductServer(box) as server:
            published = server.publish("Demo", version="1.0", default_dir=FOLDER)
            print("published the demo product at", published.info_url)
            wine = harness.Wine(language)
            if interactive:
                wine.env["DISPLAY"] = os.environ["DISPLAY"]
            process = wine.start(box.program + " App=Demo Ver=1.0")
            print("started ZanSetup.exe App=Demo Ver=1.0")
            caption = harness.read_locale_text(language, "language.caption")
            if interactive:
                print("work the dialogs in the window that opened; waiting for the setup to end")
            else:
                dialog = wine.find(title=caption, control=1008, timeout_ms=60000)
                if dialog is None:
                    raise SystemExit("the install path dialog did not appear; log: %s" % box.log_path)
                print("install path dialog:", box.screenshot("install-path-dialog"))
                wine.click(dialog, 1008)
            code = harness.wait_exit(process, timeout=3600 if interactive else 300)
            print("ZanSetup.exe ended with exit code", code)
        installed = os.path.join(build, "wineprefix", "drive_c", FOLDER[3:])
        if os.path.isdir(installed):
            print("the demo product was installed into %s (in Wine: %s):" % (installed, FOLDER))
            for name in sorted(os.listdir(installed)):
                print("   ", name)
        else:
            print("nothing was installed into", FOLDER)
        print("log:", box.log_path)
        for line in box.log_lines():
            print("   ", line)
        for shot in box.screenshots:
            print("screenshot:", shot)
    finally:
        subprocess.run([sys.executable, testenv, "stop", build], stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    main(os.path.abspath(sys.argv[1]))
