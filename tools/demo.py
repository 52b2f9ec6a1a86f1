#!/usr/bin/env python3
"""Runs the setup program for the demo product under Wine and shows what it did.

    demo.py BUILD_DIR
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))


def main(build):
    os.environ["ZANSETUP_BUILD"] = build
    interactive = bool(os.environ.get("DISPLAY"))
    testenv = os.path.join(HERE, "..", "tests", "e2e", "testenv.py")
    if not interactive:
        subprocess.run([sys.executable, testenv, "start", build], check=True,
                       stdout=subprocess.DEVNULL)
    import harness
    try:
        box = harness.Sandbox("demo")
        wine = harness.Wine("zh-cn" if os.environ.get("ZANSETUP_DEMO_LANG") == "zh-cn" else "en-us")
        first = wine.start(box.program + " App=Demo Ver=1.0")
        main_window = wine.find(title="ZanSetup", visible=False)
        print("ZanSetup.exe App=Demo Ver=1.0 is running (hidden main dialog %s)" % main_window)

        second = wine.start(box.program + " App=Demo Ver=1.0")
        caption = harness.read_locale_text(wine.language, "language.caption")
        message_box = wine.find(title=caption)
        if interactive:
            print("A second start shows the already-running box: answer it.")
        else:
            shot = box.screenshot("already-running")
            print("A second start shows the already-running box:", shot)
            wine.click(message_box, 1)
        print("second start ended with exit code", harness.wait_exit(second, timeout=600))

        wine.close(main_window)
        print("first start ended with exit code", harness.wait_exit(first))
        print("log:", box.log_path if os.path.exists(box.log_path) else "(nothing logged)")
        for line in box.log_lines():
            print("   ", line)
    finally:
        if not interactive:
            subprocess.run([sys.executable, testenv, "stop", build], stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    main(os.path.abspath(sys.argv[1]))
