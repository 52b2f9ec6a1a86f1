#!/usr/bin/env python3
"""Package download figures over an emulated line, for a person to read;
nothing here passes or fails on time.

    run_line_bench.py BUILD_DIR [--flavour x86|x64] [--port N] [--rate-mbit R] [--rtt-ms A,B,...]

Serves a 30 MB file from nginx on loopback behind the project's own link
emulator (bench/link_emulator.py: a one-way delay and a rate cap in each
direction) and measures, for each round trip (10, 50 and 150 ms at
100 Mbit/s by default), in one run:
  1. CHttpFetchFile::Download under Wine with one block per request on two
     connections (the default), and with the publisher's opt-in of 64 blocks
     per request on 2 and on 4 connections; curl through the same line; and
     the line's own rate. Every figure is given against curl and against
     the line.
  2. the resume waste with the opt-in (64 blocks, 2 connections, 50 ms): a
     download killed half-way, the bytes it had written that the saved
     state does not keep, and what the resumed run fetched against the
     least it could have.
Starts the build's test environment and stops it, nginx and the emulator,
however the run ends; the table is kept in BUILD_DIR/bench-out/last-line-run.txt.
"""
import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_bench  # noqa: E402
from link_emulator import LinkEmulator  # noqa: E402
from run_bench import BLOCK, MB, file_md5, make_file, remove_download, servers, windows_path  # noqa: E402

SIZE = 30 * MB
DEFAULT_RTTS = (10, 50, 150)
RESUME_RTT = 50
# (label, zanbench arguments after URL and TARGET)
PATTERNS = [("default: 1 block per request, 2 connections", []),
            ("span 64, 2 connections", ["64", "2"]),
            ("span 64, 4 connections", ["64", "4"])]


class LineBench(run_bench.Bench):
    def __init__(self, build, port, rate_mbit, rtts):
        super().__init__(build, port)
        self.rate_mbit = rate_mbit
        self.rtts = rtts
        self.emulator = None

    def stop(self):
        if self.emulator is not None:
            self.emulator.stop()
            self.emulator = None
        super().stop()

    def through_line(self, rtt_ms):
        """A fresh emulated line in front of nginx; returns its base address."""
        if self.emulator is not None:
            self.emulator.stop()
        self.emulator = LinkEmulator(0, self.nginx.port, rtt_ms, self.rate_mbit).start()
        return "http://127.0.0.1:%d" % self.emulator.port

    def timed(self, url, target, extra, expected):
        remove_download(target)
        code, fields = self.zanbench("fetchfile", url, windows_path(target), *extra, timeout=900)
        seconds = float(fields.get("ms", "nan")) / 1000
        return seconds, code == 0 and file_md5(target) == expected

    def curl(self, url, target, expected):
        remove_download(target)
        result = subprocess.run(["curl", "-sS", "-o", target, "-w", "%{time_total}", url],
                                capture_output=True, text=True, timeout=900)
        return float(result.stdout or "nan"), result.returncode == 0 and file_md5(target) == expected

    def download_table(self, expected):
        target = os.path.join(self.downloads, "line.bin")
        line_rate = self.rate_mbit * 1e6 / 8 / MB
        lines = ["download of %d MB from nginx over an emulated %g Mbit/s line (line rate %.1f MB/s)"
                 % (SIZE // MB, self.rate_mbit, line_rate),
                 "%-6s %-46s %7s %7s %8s %7s %7s" % ("rtt", "", "s", "MB/s", "vs curl", "vs line", "intact")]
        for rtt in self.rtts:
            url = self.through_line(rtt) + "/line.bin"
            curl_seconds, curl_intact = self.curl(url, target, expected)
            rows = [(label, *self.timed(url, target, extra, expected)) for label, extra in PATTERNS]
            rows.append(("curl", curl_seconds, curl_intact))
            for label, seconds, intact in rows:
                rate = SIZE / MB / seconds
                lines.append("%-6s %-46s %7.2f %7.2f %8.2f %7.2f %7s" % (
                    "%d ms" % rtt, label, seconds, rate, curl_seconds / seconds, rate / line_rate,
                    "yes" if intact else "NO"))
            lines.append("%-6s %-46s %7.2f %7.2f %8.2f %7.2f" % (
                "%d ms" % rtt, "the line", SIZE / MB / line_rate, line_rate,
                curl_seconds / (SIZE / MB / line_rate), 1.0))
        remove_download(target)
        return lines

    def resume(self, expected):
        """The opt-in's download killed half-way: what of the first run's
        work the saved state lost, and what the second run fetched against
        the least it could have."""
        target = os.path.join(self.downloads, "resume-line.bin")
        blocks = (SIZE + BLOCK - 1) // BLOCK
        url = self.through_line(RESUME_RTT) + "/line.bin"
        remove_download(target)
        saved = self.kill_half_way(["fetchfile", url, windows_path(target), "64", "2"], target + ".size", blocks,
                                   timeout=300)
        lost, partial = self.lost_work(target + ".tmp", saved)
        kept = sum(min(BLOCK, SIZE - i * BLOCK) for i in saved)

        # The same line (the state names its address), counted afresh.
        before = self.emulator.down.delivered
        code, fields = self.zanbench("fetchfile", url, windows_path(target), "64", "2", timeout=900)
        intact = code == 0 and file_md5(target) == expected
        fetched = self.emulator.down.delivered - before
        least = SIZE - kept
        remove_download(target)
        return [
            "resume with span 64 on 2 connections at %d ms, killed half-way (%d blocks)" % (RESUME_RTT, blocks),
            "  blocks kept in the saved state at the kill      %d" % len(saved),
            "  bytes on disk that the state did not keep       %d (%.2f blocks, in %d blocks begun; "
            "at most 1 per connection)" % (lost, lost / BLOCK, partial),
            "  bytes the second run received                   %d" % fetched,
            "  least it could (the blocks the state lacked)    %d" % least,
            "  excess (the answers' headers and the probe)     %d" % (fetched - least),
            "  second run: %s, hr=%s" % ("file intact" if intact else "FILE WRONG", fields.get("hr")),
        ]

    def lost_work(self, data_path, saved):
        """Bytes of the file that the killed run had written where the saved
        state keeps no block, and in how many blocks: each unkept block's
        prefix that matches the file (the rest of the data file is still
        the zeros it was sized with)."""
        with open(os.path.join(self.root, "line.bin"), "rb") as f:
            original = f.read()
        with open(data_path, "rb") as f:
            written = f.read()
        lost = begun = 0
        for index in range((SIZE + BLOCK - 1) // BLOCK):
            if index in saved:
                continue
            start = index * BLOCK
            want, got = original[start:start + BLOCK], written[start:start + BLOCK]
            same = next((i for i, (a, b) in enumerate(zip(want, got)) if a != b), min(len(want), len(got)))
            lost += same
            begun += same > 0
        return lost, begun

    def run(self):
        expected = make_file(os.path.join(self.root, "line.bin"), SIZE, 3)
        self.nginx = servers.Nginx(self.root, self.port, folder=os.path.join(self.scratch, "nginx"),
                                   build=self.build)
        self.nginx.start()
        print("nginx on %s; figures follow for the %s flavour (%s)"
              % (self.nginx.base_url, run_bench.cache_value(self.build, "ZANSETUP_ARCH") or "x86", self.build),
              flush=True)
        return self.download_table(expected) + [""] + self.resume(expected)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--flavour", choices=("x86", "x64"), help="the programs to measure [BUILD_DIR's own]")
    parser.add_argument("--port", type=int, default=8790, help="first loopback port to try for nginx")
    parser.add_argument("--rate-mbit", type=float, default=100.0)
    parser.add_argument("--rtt-ms", default=",".join(map(str, DEFAULT_RTTS)), help="round trips to measure")
    args = parser.parse_args()
    build, _ = run_bench.flavour_build(os.path.abspath(args.build), args.flavour)
    rtts = [int(value) for value in args.rtt_ms.split(",")]
    run_bench.run_and_report(LineBench(build, run_bench.free_port(args.port), args.rate_mbit, rtts),
                             "last-line-run.txt")


if __name__ == "__main__":
    main()
