#!/usr/bin/env python3
"""Download and digest figures for a person to read; nothing here passes or
fails on time.

    run_bench.py BUILD_DIR [--flavour x86|x64] [--port N] [--md5-only]

BUILD_DIR is the build folder of the x86 flavour, as tools/test.sh lays
them out; --flavour x64 measures the 64-bit programs of BUILD_DIR-x64 under
wine64 instead (by default: the flavour BUILD_DIR was built for).

Serves a 100 MB file from nginx on loopback and measures, in one run:
  1. throughput of CHttpFetchFile::Download under Wine, of a minimal loop of
     100 KiB ranged GETs over one WinINet connection under Wine (the ceiling
     Wine's WinINet sets), and of curl, each over http and over https (the
     test CA's certificate, trusted in the build's Wine prefix);
  2. a resume: a 4 MB file under the rate-limited /slow/ folder, the download
     killed half-way and restarted, and the bytes the second run fetched
     against the least it could have fetched;
  3. MD5 throughput of CheckFileMd5 under Wine and of md5sum, with the time
     of CheckFileMd5's reads alone and of the digest alone.
Starts the build's test environment (Xvfb, Wine prefix, wineserver) and stops
it, and nginx, however the run ends; the scratch folder BUILD_DIR/bench-out/run
goes too, and the table is kept in BUILD_DIR/bench-out/last-run.txt.
"""
import argparse
import base64
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
E2E = os.path.join(SOURCE, "tests", "e2e")
sys.path.insert(0, E2E)
import servers  # noqa: E402
import tls  # noqa: E402

sys.path.insert(0, os.path.join(SOURCE, "tools"))
from publish import file_md5  # noqa: E402

MB = 1000 * 1000
BIG_SIZE = 100 * MB
# About 40 blocks: at 64 KiB/s per connection the first run takes half a
# minute, long enough to stop it half-way with some precision.
SLOW_SIZE = 4 * MB
BLOCK = 102400
PROBE = 10
MD5_ROUNDS = 5
DOWNLOAD_ROUNDS = 3
# zanbench md5digest hashes i * 2654435761 >> 13 (32-bit, low byte) for
# i below 100,000,000; computed with Python's hashlib.
MEMORY_MD5 = "18096a6eb184ecf51b582e14683e6676"


def cache_value(build, name):
    """A variable of a build folder's CMake cache ("" when it is not there)."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return ""


def flavour_build(build, flavour):
    """The build folder of `flavour` (None: BUILD_DIR's own) and that flavour;
    the test environment is told which kind of Wine prefix it needs."""
    if flavour == "x64" and cache_value(build, "ZANSETUP_ARCH") != "x64":
        build += "-x64"
    found = cache_value(build, "ZANSETUP_ARCH") or "x86"
    if flavour and found != flavour:
        raise SystemExit("%s is a build of the %s flavour, not %s" % (build, found, flavour))
    os.environ["ZANSETUP_WINEARCH"] = "win64" if found == "x64" else "win32"
    return build, found


def windows_path(path):
    """Wine's drive Z: maps the Unix root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def make_file(path, size, seed):
    """Deterministic, incompressible bytes; returns their MD5 text."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    generator = random.Random(seed)
    digest = hashlib.md5()
    with open(path, "wb") as f:
        left = size
        while left:
            chunk = generator.randbytes(min(left, 1 << 20))
            digest.update(chunk)
            f.write(chunk)
            left -= len(chunk)
    return digest.hexdigest()


def free_port(first):
    for port in range(first, first + 50):
        if not servers._port_open(port):
            return port
    raise RuntimeError("no free port from %d" % first)


def remove_download(target):
    for suffix in ("", ".tmp", ".size"):
        if os.path.exists(target + suffix):
            os.remove(target + suffix)


def state_blocks(state_path):
    """Indices of the blocks the ".size" state file records as done, or None
    while it is missing or half-written. Bit 0x80 of byte 0 is block 0."""
    try:
        with open(state_path, "rb") as f:
            root = ET.fromstring(f.read())
        bitmap = base64.b64decode(root.findtext("blocks") or "", validate=True)
    except (OSError, ET.ParseError, ValueError):
        return None
    return {byte * 8 + bit for byte, value in enumerate(bitmap) for bit in range(8)
            if value & (0x80 >> bit)}


def block_length(index, size):
    return min(BLOCK, size - index * BLOCK)


def range_block(range_header):
    """Block index of a "bytes=a-b" request, or None for the probe."""
    first, _, last = range_header[len("bytes="):].partition("-")
    if int(first) == 0 and int(last) == PROBE - 1:
        return None
    return int(first) // BLOCK


class Bench:
    def __init__(self, build, port):
        self.build = build
        self.wine_run = os.path.join(build, "wine-run")
        self.exe = os.path.join(build, "bench-bin", "zanbench.exe")
        self.out = os.path.join(build, "bench-out")
        self.scratch = os.path.join(self.out, "run")
        self.root = os.path.join(self.scratch, "root")
        self.downloads = os.path.join(self.scratch, "downloads")
        self.port = port
        self.nginx = None
        self.env_started = False
        self.rows = []

    # -- environment

    def check_environment_free(self):
        """testenv.py start would stop a test run's display and wineserver."""
        pid_file = os.path.join(self.build, "test-env", "xvfb.pid")
        if not os.path.exists(pid_file):
            return
        try:
            pgid = int(open(pid_file).read())
        except ValueError:
            return
        if servers._group_alive(pgid):
            raise SystemExit("the test environment of %s is running (Xvfb group %d); "
                             "wait for it or run tests/e2e/testenv.py stop" % (self.build, pgid))

    def start(self):
        for path in (self.wine_run, self.exe):
            if not os.path.exists(path):
                raise SystemExit("%s is missing: build first" % path)
        self.check_environment_free()
        shutil.rmtree(self.scratch, ignore_errors=True)
        os.makedirs(self.downloads)
        # Set first: a start that fails half-way leaves things to stop.
        self.env_started = True
        subprocess.run([sys.executable, os.path.join(E2E, "testenv.py"), "start", self.build],
                       check=True, stdout=subprocess.DEVNULL)

    def stop(self):
        if self.nginx is not None:
            self.nginx.stop()
            self.nginx = None
        if self.env_started:
            subprocess.run([sys.executable, os.path.join(E2E, "testenv.py"), "stop", self.build],
                           stdout=subprocess.DEVNULL)
            self.env_started = False
        shutil.rmtree(self.scratch, ignore_errors=True)

    # -- programs

    def zanbench(self, *args, timeout=300):
        """Runs zanbench to its end; its exit code and its "key=value" fields."""
        # A file rather than a pipe: a Wine helper process started from ours
        # could hold a pipe open long after zanbench ends.
        with tempfile.TemporaryFile() as out:
            result = subprocess.run([self.wine_run, self.exe] + list(args), stdout=out,
                                    stderr=subprocess.DEVNULL, timeout=timeout)
            out.seek(0)
            text = out.read().decode(errors="replace")
        fields = dict(item.split("=", 1) for item in text.split() if "=" in item)
        return result.returncode, fields

    def url(self, name):
        return "%s/%s" % (self.nginx.base_url, name)

    # -- the three parts

    def download_rows(self, base, scheme, big_md5):
        """The downloads of big.bin from `base`: ours and the bare loop of
        ranged GETs over one connection, taking turns, best of
        DOWNLOAD_ROUNDS each (Wine's speed varies by half from run to run),
        and curl."""
        target = os.path.join(self.downloads, "big.bin")
        url = base + "/big.bin"
        runs = {"fetchfile": ("CHttpFetchFile::Download, %s (Wine)" % scheme, []),
                "ranged": ("bare ranged 100 KiB GETs, %s (Wine)" % scheme, [])}
        intact = {mode: True for mode in runs}
        notes = {}
        for _ in range(DOWNLOAD_ROUNDS):
            for mode, (_, seconds) in runs.items():
                remove_download(target)
                code, fields = self.zanbench(mode, url, windows_path(target))
                seconds.append(float(fields.get("ms", "nan")) / 1000)
                intact[mode] = intact[mode] and code == 0 and file_md5(target) == big_md5
                notes[mode] = ("hr=%s" % fields.get("hr") if mode == "fetchfile"
                               else "%s requests" % fields.get("requests"))
        rows = [(name, min(seconds), intact[mode], notes[mode] + ", best of %d" % DOWNLOAD_ROUNDS)
                for mode, (name, seconds) in runs.items()]

        remove_download(target)
        trust = ["--cacert", tls.ca_pem(self.build)] if scheme == "https" else []
        curl = subprocess.run(["curl", "-sS", "-o", target, "-w", "%{time_total}"] + trust + [url],
                              capture_output=True, text=True, timeout=300)
        rows.append(("curl, %s" % scheme, float(curl.stdout or "nan"),
                     curl.returncode == 0 and file_md5(target) == big_md5, "one GET"))
        remove_download(target)
        return rows

    def throughput(self, big_md5):
        results = self.download_rows(self.nginx.base_url, "http", big_md5)
        results += self.download_rows(self.nginx.https_base_url, "https", big_md5)
        base = BIG_SIZE / MB / results[0][1]
        lines = ["%-42s %9s %8s %7s  %s" % ("download of %d MB from nginx" % (BIG_SIZE // MB),
                                              "MB/s", "ratio", "intact", "note")]
        for name, seconds, intact, note in results:
            rate = BIG_SIZE / MB / seconds
            lines.append("%-42s %9.1f %8.2f %7s  %s" % (name, rate, rate / base,
                                                         "yes" if intact else "NO", note))
        ours, bare = results[3][1], results[4][1]
        lines.append("https: CHttpFetchFile::Download at %.2f of the bare loop's speed (goal: 0.95 or more)"
                     % (bare / ours))
        return lines

    def kill_half_way(self, args, state_path, block_count, timeout=120):
        """Runs zanbench with `args` until the state file records half the
        blocks, kills it, and returns the blocks the state file kept."""
        first = subprocess.Popen([self.wine_run, self.exe] + args, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        deadline = time.time() + timeout
        seen = set()
        while first.poll() is None and len(seen) < block_count // 2 and time.time() < deadline:
            time.sleep(0.05)
            seen = state_blocks(state_path) or seen
        if first.poll() is not None:
            raise RuntimeError("the first run ended before it could be stopped (exit %d)" % first.returncode)
        subprocess.run([self.wine_run, "taskkill", "/f", "/im", "zanbench.exe"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        first.wait(timeout=60)
        saved = state_blocks(state_path)
        if saved is None:
            raise RuntimeError("no readable state file after the kill")
        return saved

    def resume(self, slow_md5):
        name = "slow/resume.bin"
        target = os.path.join(self.downloads, "resume.bin")
        state_path = target + ".size"
        block_count = (SLOW_SIZE + BLOCK - 1) // BLOCK
        remove_download(target)

        saved = self.kill_half_way(["fetchfile", self.url(name), windows_path(target)], state_path, block_count)
        # nginx logs an aborted answer once it notices the closed connection.
        time.sleep(1.0)

        code, fields = self.zanbench("fetchfile", self.url(name), windows_path(target))
        intact = code == 0 and file_md5(target) == slow_md5
        remove_download(target)

        # The first run sends no If-Range; every request of the resumed run
        # does, since it carries the date the state file recorded.
        log = [e for e in self.nginx.access_log() if e.request.split()[1] == "/" + name]
        first_run = [e for e in log if e.if_range is None]
        second_run = [e for e in log if e.if_range is not None]
        requested = {range_block(e.range) for e in first_run if e.range} - {None}
        in_flight = sorted(requested - saved)
        partial = sum(1 for e in first_run
                      if e.range and range_block(e.range) in in_flight and
                      e.body_bytes < block_length(range_block(e.range), SLOW_SIZE))
        served = sum(e.body_bytes for e in second_run)
        ideal = SLOW_SIZE - sum(block_length(i, SLOW_SIZE) for i in saved) + PROBE
        return [
            "resume of a %d MB file (%d blocks) under /slow/, killed half-way" % (SLOW_SIZE // MB, block_count),
            "  blocks done in the saved state at the kill   %d" % len(saved),
            "  blocks in flight at the kill                 %d %s, %d cut off mid-body" % (
                len(in_flight), in_flight, partial),
            "  bytes served in the second run               %d in %d requests" % (served, len(second_run)),
            "  ideal (size - saved blocks + %d-byte probe)  %d" % (PROBE, ideal),
            "  excess                                       %d (%.2f blocks)" % (served - ideal,
                                                                                  (served - ideal) / BLOCK),
            "  second run: %s, hr=%s" % ("file intact" if intact else "FILE WRONG", fields.get("hr")),
        ]

    def md5(self, path, expected):
        """CheckFileMd5 against md5sum, and the two halves of its time: the
        reads alone and the digest over the same bytes in memory."""
        def best_wine(*args, check=None):
            best = None
            for _ in range(MD5_ROUNDS):
                code, fields = self.zanbench(*args)
                if code != 0 or (check and not check(fields)):
                    raise RuntimeError("zanbench %s failed: %s" % (args[0], fields))
                seconds = float(fields["ms"]) / 1000
                best = seconds if best is None else min(best, seconds)
            return best

        wine_best = best_wine("md5", windows_path(path), expected)
        read_best = best_wine("md5read", windows_path(path))
        digest_best = best_wine("md5digest", str(BIG_SIZE // MB),
                                check=lambda fields: fields.get("digest") == MEMORY_MD5)
        native_best = None
        for _ in range(MD5_ROUNDS):
            began = time.perf_counter()
            result = subprocess.run(["md5sum", path], capture_output=True, text=True, check=True)
            seconds = time.perf_counter() - began
            if result.stdout.split()[0] != expected:
                raise RuntimeError("md5sum disagrees: %s" % result.stdout)
            native_best = seconds if native_best is None else min(native_best, seconds)
        native_rate = BIG_SIZE / MB / native_best
        rows = [("CheckFileMd5 (Wine)", wine_best),
                ("  its reads alone, 10,240 B each (Wine)", read_best),
                ("  its digest alone, in memory (Wine)", digest_best),
                ("md5sum", native_best)]
        lines = ["%-42s %9s %8s   (best of %d, warm cache; ratio: speed / md5sum's)" % (
            "MD5 of the %d MB file" % (BIG_SIZE // MB), "MB/s", "ratio", MD5_ROUNDS)]
        for name, seconds in rows:
            rate = BIG_SIZE / MB / seconds
            lines.append("%-42s %9.1f %8.2f" % (name, rate, rate / native_rate))
        return lines

    def run(self, md5_only=False):
        big = os.path.join(self.root, "big.bin")
        big_md5 = make_file(big, BIG_SIZE, 1)
        if md5_only:
            return self.md5(big, big_md5)
        slow_md5 = make_file(os.path.join(self.root, "slow", "resume.bin"), SLOW_SIZE, 2)
        self.nginx = servers.Nginx(self.root, self.port, folder=os.path.join(self.scratch, "nginx"),
                                   https_port=free_port(self.port + 1), build=self.build)
        self.nginx.start()
        print("nginx on %s; figures follow for the %s flavour (%s)"
              % (self.nginx.base_url, cache_value(self.build, "ZANSETUP_ARCH") or "x86", self.build), flush=True)
        table = self.throughput(big_md5)
        table += [""] + self.resume(slow_md5)
        table += [""] + self.md5(big, big_md5)
        return table


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--flavour", choices=("x86", "x64"), help="the programs to measure [BUILD_DIR's own]")
    parser.add_argument("--port", type=int, default=8790, help="first loopback port to try for nginx")
    parser.add_argument("--md5-only", action="store_true", help="measure part 3 only (no nginx)")
    args = parser.parse_args()
    build, _ = flavour_build(os.path.abspath(args.build), args.flavour)
    run_and_report(Bench(build, free_port(args.port)), "last-run.txt", md5_only=args.md5_only)


def run_and_report(bench, file_name, **run_args):
    """Runs `bench` between its start and stop, prints its table and keeps
    it in the bench's output folder as `file_name`."""
    # A Ctrl+C or a kill still stops the servers and the test environment.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        bench.start()
        table = bench.run(**run_args)
    finally:
        bench.stop()
    text = "\n".join(table)
    print(text)
    with open(os.path.join(bench.out, file_name), "w") as f:
        f.write(text + "\n")


if __name__ == "__main__":
    main()
