#!/usr/bin/env python3
"""Upload figures for a person to read; nothing here passes or fails on time.

    run_upload_bench.py BUILD_DIR [--flavour x86|x64] [--port N] [--rounds N]

Runs the fault server's upload sink (tests/e2e/servers.py) on loopback and,
for a 5 MB and a 50 MB file, measures in one run:
  1. throughput of CSimpleHttpFetch::PostMultipart under Wine, of a bare
     InternetWriteFile loop of 1 MiB pieces under Wine (the ceiling Wine's
     WinINet sets), once writing from memory and once reading each piece of
     the file with ReadFile first, and of curl -F;
  2. the working set of the uploading process before the upload and its
     peak after it (GetProcessMemoryInfo), so the growth shows whether the
     upload holds one piece or the whole file;
  3. how long an upload that the server stops reading takes to end at the
     client's deadline of 1.5 s (the unit test checks only that it does).
Times are the median of --rounds runs, the modes taking turns. Starts the build's test environment
(Xvfb, Wine prefix, wineserver) and stops it however the run ends; the table
is kept in BUILD_DIR/bench-out/last-upload-run.txt.
"""
import argparse
import os
import subprocess
import sys
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_bench  # noqa: E402
from run_bench import MB, servers, windows_path  # noqa: E402

SIZES = (5 * MB, 50 * MB)
MIB = 1024 * 1024


class UploadBench(run_bench.Bench):
    def __init__(self, build, port, rounds):
        super().__init__(build, port)
        self.exe = os.path.join(build, "bench-bin", "zanuploadbench.exe")
        self.rounds = rounds
        self.fault = None

    def stop(self):
        if self.fault is not None:
            self.fault.stop()
            self.fault = None
        super().stop()

    def sink(self, who):
        return "%s/upload-sink/%s" % (self.fault.base_url, who)

    @staticmethod
    def median(runs):
        """The run of median time; every run must have delivered."""
        return sorted(runs, key=lambda run: run["seconds"])[len(runs) // 2]

    @staticmethod
    def middle_half(runs):
        """The rates (MB/s) of the first and third quartile of the runs."""
        rates = sorted(run["body"] / run["seconds"] / MB for run in runs)
        return rates[len(rates) // 4], rates[(3 * len(rates)) // 4]

    def ours(self, path):
        code, fields = self.zanbench("multipart", self.sink("ours"), windows_path(path))
        answer = fields.get("answer", "").split("_")
        if code != 0 or len(answer) < 4 or answer[1] != answer[3]:
            raise RuntimeError("PostMultipart failed: %s" % fields)
        return {"seconds": float(fields["ms"]) / 1000, "body": int(answer[3]), "fields": fields}

    def raw(self, size, path=None):
        if path:
            code, fields = self.zanbench("rawfile", self.sink("raw"), windows_path(path))
        else:
            code, fields = self.zanbench("rawwrite", self.sink("raw"), str(size))
        answer = fields.get("answer", "").split("_")
        if code != 0 or len(answer) < 4 or answer[1] != answer[3] or int(answer[3]) != size:
            raise RuntimeError("the bare write loop failed: %s" % fields)
        return {"seconds": float(fields["ms"]) / 1000, "body": size, "fields": fields}

    def curl(self, path):
        result = subprocess.run(
            ["curl", "-sS", "-F", "note=benchmark", "-F", "file=@%s;type=application/octet-stream" % path,
             "-w", "\\n%{time_total} %{size_upload}", self.sink("curl")],
            capture_output=True, text=True, timeout=300)
        answer, _, timing = result.stdout.rpartition("\n")
        words = answer.split()
        if result.returncode != 0 or len(words) != 4 or words[1] != words[3]:
            raise RuntimeError("curl failed: %s %s" % (result.stdout, result.stderr))
        seconds, uploaded = timing.split()
        return {"seconds": float(seconds), "body": int(float(uploaded)), "fields": {}}

    def deadline(self, timeout_ms=1500):
        """Seconds from the start of an upload the server holds to its end
        at the deadline: the lowest, the median and the highest."""
        path = os.path.join(self.root, "held.bin")
        run_bench.make_file(path, 4 * MIB, 4 * MIB)
        seconds = []
        for round_ in range(self.rounds):
            token = "bench-%d-%d" % (os.getpid(), round_)
            url = "%s/upload-hold/%s/60" % (self.fault.base_url, token)
            code, fields = self.zanbench("deadline", url, windows_path(path), str(timeout_ms))
            urllib.request.urlopen("%s/upload-release/%s" % (self.fault.base_url, token)).read()
            if code != 0:
                raise RuntimeError("the held upload did not end at its deadline: %s" % fields)
            seconds.append(float(fields["ms"]) / 1000)
        os.remove(path)
        seconds.sort()
        return ["%-40s %5.2f s lowest, %5.2f s median, %5.2f s highest" % (
            "held upload, deadline %.1f s" % (timeout_ms / 1000), seconds[0], seconds[len(seconds) // 2],
            seconds[-1])]

    def run(self):
        os.makedirs(self.root, exist_ok=True)
        self.fault = servers.FaultServer(self.port).start()
        print("upload sink on %s; figures follow" % self.fault.base_url, flush=True)
        lines = ["%-40s %7s %13s %7s %7s %9s %10s %10s %8s" % (
            "upload to the sink on loopback", "MB/s", "middle half", "ratio", "ratio", "body B", "ws before",
            "peak after", "growth"),
                 "%-40s %7s %13s %7s %7s" % ("", "median", "MB/s", "memory", "file")]
        for size in SIZES:
            path = os.path.join(self.root, "upload-%d.bin" % size)
            run_bench.make_file(path, size, size)
            modes = [("PostMultipart, %d MB file (Wine)" % (size // MB), lambda: self.ours(path)),
                     ("bare write loop from memory (Wine)", lambda: self.raw(size)),
                     ("bare write loop, ReadFile first (Wine)", lambda: self.raw(size, path)),
                     ("curl -F", lambda: self.curl(path))]
            # Rounds interleave the modes, so a busy moment of the host falls
            # on all of them rather than on one.
            runs = [[] for _ in modes]
            for _ in range(self.rounds):
                for index, (_, measure) in enumerate(modes):
                    runs[index].append(measure())
            rows = [(name, self.median(mode_runs), self.middle_half(mode_runs))
                    for (name, _), mode_runs in zip(modes, runs)]
            memory_ceiling = rows[1][1]["body"] / rows[1][1]["seconds"]
            file_ceiling = rows[2][1]["body"] / rows[2][1]["seconds"]
            for name, run, (low, high) in rows:
                rate = run["body"] / run["seconds"]
                memory = ["", "", ""]
                fields = run["fields"]
                if "ws_before" in fields:
                    before, peak = int(fields["ws_before"]), int(fields["peak_after"])
                    memory = ["%.1f MiB" % (before / MIB), "%.1f MiB" % (peak / MIB),
                              "%.1f MiB" % ((peak - before) / MIB)]
                lines.append("%-40s %7.0f %6.0f-%-6.0f %7.2f %7.2f %9d %10s %10s %8s" % (
                    name, rate / MB, low, high, rate / memory_ceiling, rate / file_ceiling, run["body"],
                    *memory))
            os.remove(path)
        lines += self.deadline()
        lines.append("ratio: median throughput / that of the bare loop from memory, and of the one reading"
                     " the file;")
        lines.append("growth: peak working set after the upload - working set before it; times: median of %d"
                     % self.rounds)
        return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--flavour", choices=("x86", "x64"), help="the programs to measure [BUILD_DIR's own]")
    parser.add_argument("--port", type=int, default=8795, help="first loopback port to try for the sink")
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    build, _ = run_bench.flavour_build(os.path.abspath(args.build), args.flavour)
    run_bench.run_and_report(UploadBench(build, run_bench.free_port(args.port), args.rounds),
                             "last-upload-run.txt")


if __name__ == "__main__":
    main()
