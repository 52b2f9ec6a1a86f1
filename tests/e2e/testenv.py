#!/usr/bin/env python3
"""Starts and stops what the tests share: a virtual display, the build's Wine prefix and one wineserver kept
alive between Wine processes. Everything stops by itself too, an hour after the start.

    testenv.py start BUILD_DIR
    testenv.py stop BUILD_DIR
"""
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import servers
import tls

WATCHDOG_SECONDS = 3600
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
# What outlives a start must not hold ctest's output pipes.
DETACHED = dict(QUIET, start_new_session=True)

# The processes that outlive start(), held so that a test module calling it is not warned of them.
_running = []


def env_dir(build, folder=None):
    path = folder or os.path.join(build, "test-env")
    os.makedirs(path, exist_ok=True)
    return path


def wine_environment(build, prefix=None):
    prefix = prefix or os.path.join(build, "wineprefix")
    # The build's wine-run takes ZANSETUP_WINEPREFIX over its own prefix.
    return dict(os.environ, WINEPREFIX=prefix, ZANSETUP_WINEPREFIX=prefix, WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")


def wine(build):
    """The build's own way to run a Windows program: its flavour's loader and prefix kind."""
    return [os.path.join(build, "wine-run")]


# The virtual display's size; Wine's desktop takes 1024x768 of it.
SCREEN = "1024x768x24"


def start_display(folder, screen=SCREEN):
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen(
        ["timeout", str(WATCHDOG_SECONDS), "Xvfb", "-displayfd", str(write_fd), "-screen", "0", screen,
         "-nolisten", "tcp"],
        pass_fds=(write_fd,), **DETACHED)
    _running.append(proc)
    os.close(write_fd)
    # Xvfb writes the number once it listens; the pipe ends empty if it ends first.
    with os.fdopen(read_fd) as f:
        number = f.readline().strip()
    if not number:
        proc.kill()
        raise SystemExit("Xvfb did not start")
    display = ":" + number
    Path(folder, "display").write_text(display)
    Path(folder, "xvfb.pid").write_text(str(proc.pid))
    return display


def capture_display(display, path):
    """The whole display as a picture at `path` (None when none was made), for a person to look at."""
    subprocess.run(["import", "-display", display, "-window", "root", path], timeout=30, **QUIET)
    return path if os.path.exists(path) else None


def prefix_processes(prefix):
    """The argument lists of the processes of this Wine prefix (not of another build's beside it)."""
    wanted = ("WINEPREFIX=" + prefix).encode()
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if wanted not in f.read().split(b"\0"):
                    continue
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                found.append(f.read().decode("utf-8", errors="replace").split("\0"))
        except OSError:
            continue
    return found


def wait_for_desktop(env, timeout=60):
    def running():
        return any(args[0].lower().endswith("explorer.exe") and "/desktop" in args
                   for args in prefix_processes(env["WINEPREFIX"]))
    if not servers.wait_until(running, timeout, step=0.2):
        raise SystemExit("Wine's desktop process did not start")


def trust_test_ca(build, env):
    """The test CA of tls.py becomes a trusted root of this prefix, and of nothing outside it."""
    tls.ensure(build)
    ca = servers.windows_path(tls.ca_der(build))
    driver = os.path.join(build, "tests-bin", "zsdriver.exe")
    if subprocess.run(wine(build) + [driver, "trustroot", ca], env=env, **QUIET).returncode != 0:
        raise SystemExit("the test CA could not be trusted in %s" % env["WINEPREFIX"])


# Wine draws the title-bar buttons with its Marlett font, which Debian's fonts-wine ships where this Wine
# does not look (the buttons show "0 1 r"); a copy among the prefix's own fonts is found.
CAPTION_FONT = "/usr/share/wine/fonts/marlett.ttf"


def install_caption_font(prefix):
    fonts = os.path.join(prefix, "drive_c", "windows", "Fonts")
    if os.path.exists(CAPTION_FONT) and os.path.isdir(fonts):
        shutil.copy(CAPTION_FONT, fonts)


def remove_other_kind(prefix, kind):
    """Removes a prefix of another kind than `kind` (win32, win64): it cannot run this build's flavour."""
    try:
        with open(os.path.join(prefix, "system.reg")) as f:
            head = f.read(512)
    except OSError:
        return
    if kind and "#arch=" in head and "#arch=%s\n" % kind not in head:
        shutil.rmtree(prefix, ignore_errors=True)


# Wine's own programs and libraries, most of a prefix's 700 MB, never written by a run: copies share them.
SHARED_SUFFIXES = (".dll", ".exe", ".drv", ".sys", ".ocx", ".acm", ".cpl", ".ax", ".ds", ".tlb", ".msstyles")


def copy_prefix(source, target):
    def copy(src, dst):
        if src.lower().endswith(SHARED_SUFFIXES):
            try:
                os.link(src, dst)
                return dst
            except OSError:
                pass
        return shutil.copy2(src, dst)
    shutil.copytree(source, target, symlinks=True, copy_function=copy)


def make_prefix(build, env):
    """A booted prefix: a copy of the build's template, or booted with wineboot, then the template itself."""
    template = os.path.join(build, "wineprefix-template")
    remove_other_kind(template, os.environ.get("ZANSETUP_WINEARCH"))
    if os.path.exists(os.path.join(template, "system.reg")):
        copy_prefix(template, env["WINEPREFIX"])
        return
    subprocess.run(wine(build) + ["wineboot", "-i"], env=env, check=True, **QUIET)
    subprocess.run(["wineserver", "-w"], env=env)
    partial = template + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    copy_prefix(env["WINEPREFIX"], partial)
    os.rename(partial, template)


# A virtual desktop, so that Wine draws frames and captions without a window manager; no record but an
# update check made just now: only the tests of the update make one due.
SETTINGS = """Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]
"Default"="1024x768"

[-HKEY_CURRENT_USER\\Software\\Corvela\\ZanSetup]

[HKEY_CURRENT_USER\\Software\\Corvela\\ZanSetup]
"updatetime"="{stamp}"
"""


def start(build, prefix=None, folder=None, screen=SCREEN):
    folder = env_dir(build, folder)
    stop(build, quiet=True, prefix=prefix, folder=folder)
    display = start_display(folder, screen)
    env = dict(wine_environment(build, prefix), DISPLAY=display)
    remove_other_kind(env["WINEPREFIX"], os.environ.get("ZANSETUP_WINEARCH"))
    if not os.path.exists(os.path.join(env["WINEPREFIX"], "system.reg")):
        make_prefix(build, env)
    install_caption_font(env["WINEPREFIX"])
    # One server for the whole run, so no Wine process waits for one to start.
    subprocess.run(["wineserver", "-w"], env=env)
    _running.append(subprocess.Popen(["wineserver", "-f", "-p"], env=env, **DETACHED))
    # The first Wine process starts Wine's services, which inherit its output: this one, not a test's.
    settings = os.path.join(folder, "settings.reg")
    Path(settings).write_text(SETTINGS.format(stamp=time.strftime("%Y%m%d%H%M%S")), encoding="utf-16")
    subprocess.run(wine(build) + ["reg", "import", servers.windows_path(settings)], env=env, **DETACHED)
    trust_test_ca(build, env)
    # Wine starts its desktop process with the first program that needs it, ends it after the last, and a
    # test's would hold that test's output pipe open: one holder keeps it up for the whole run.
    _running.append(subprocess.Popen(wine(build) + [os.path.join(build, "tests-bin", "zsdriver.exe"), "hold"],
                                     env=env, **DETACHED))
    wait_for_desktop(env)
    # The server persists until "stop"; should that never come, this ends it.
    watchdog = subprocess.Popen(["sh", "-c", "sleep %d; wineserver -k" % WATCHDOG_SECONDS],
                                env=env, **DETACHED)
    _running.append(watchdog)
    Path(folder, "watchdog.pid").write_text(str(watchdog.pid))
    print("display", display, "prefix", env["WINEPREFIX"])
    return display


def start_fresh(build, prefix, folder, screen=SCREEN):
    """A new prefix for a test module beside the shared one (an old one goes first), a copy of the template
    with its own display and server, which stop() with that prefix ends; returns the display."""
    stop(build, quiet=True, prefix=prefix, folder=folder)
    shutil.rmtree(prefix, ignore_errors=True)
    return start(build, prefix, folder, screen)


def stop(build, quiet=False, prefix=None, folder=None):
    folder = env_dir(build, folder)
    subprocess.run(["wineserver", "-k"], env=wine_environment(build, prefix), **QUIET)
    for name in ("xvfb.pid", "watchdog.pid", "display"):
        path = os.path.join(folder, name)
        with contextlib.suppress(OSError, ValueError):
            if name.endswith(".pid"):
                os.killpg(int(Path(path).read_text()), signal.SIGTERM)
        Path(path).unlink(missing_ok=True)
    if not quiet:
        print("stopped")


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        raise SystemExit(__doc__)
    {"start": start, "stop": stop}[sys.argv[1]](os.path.abspath(sys.argv[2]))
