#!/usr/bin/env python3
"""What a stalled update server costs a product install, for a person to
read; nothing here passes or fails on time.

    run_update_bench.py BUILD_DIR [--flavour x86|x64] [--rounds N]

Runs the setup program of the build (BUILD_DIR, or BUILD_DIR-x64 for
--flavour x64) under Wine to the end of a silent install of the demo
product, once with no update check due and once with a check due against an
update server that answers nothing for two minutes, the two taking turns,
and prints the seconds from start to exit of each: lowest, median, highest.
The end-to-end test (test_updates) checks only that the run ends while
the check still waits. Uses the build's test environment and the end-to-end
tests' ports (the download server's 8780 is the build's own): run it where
no tests run, or in a network namespace of its own. The table is kept in
BUILD_DIR/bench-out/last-update-run.txt.
"""
import argparse
import os
import shutil
import sys
import time

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_bench  # noqa: E402

STALL_SECONDS = 120


def configure(build):
    """The environment the harness reads its build from, as ctest gives it."""
    for name in ("ZANSETUP_ARCH", "ZANSETUP_SERVER_BASE", "ZANSETUP_E2E_FAULT_PORT"):
        os.environ[name] = run_bench.cache_value(build, name)
    os.environ["ZANSETUP_BUILD"] = build
    sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))


def measure(rounds):
    import harness
    import servers
    box = harness.Sandbox("bench-update")
    stall = ("location = %s { proxy_pass http://127.0.0.1:%d/stall/%d; proxy_read_timeout 300s; }"
             % (harness.UPDATE_DOCUMENT, harness.FAULT_PORT, STALL_SECONDS))
    seconds = {"no check due": [], "stalled update server": []}
    with servers.FaultServer(harness.FAULT_PORT), harness.ProductServer(box, locations=stall) as server:
        server.publish("Demo", version="1.0", dir_opt_show=0)
        for _ in range(rounds):
            for mode in seconds:
                shutil.rmtree(box.download_dir(), ignore_errors=True)
                if mode == "no check due":
                    harness.record_set("updatetime", harness.update_stamp())
                else:
                    harness.record_delete()
                began = time.monotonic()
                run = harness.Wine().start('"%s" App=Demo Ver=1.0' % box.program)
                code = run.wait(timeout=STALL_SECONDS)
                seconds[mode].append(time.monotonic() - began)
                if code != 2 or "end install" not in box.log_lines():
                    raise RuntimeError("the install did not complete (%s): %r" % (code, box.log_lines()))
                box.reset_log()
    harness.record_reset()
    lines = ["%-40s %8s %8s %8s" % ("silent install of the demo product", "lowest", "median", "highest")]
    for mode, runs in seconds.items():
        runs.sort()
        lines.append("%-40s %7.2fs %7.2fs %7.2fs" % (mode, runs[0], runs[len(runs) // 2], runs[-1]))
    lines.append("seconds from start to exit; %d rounds, the two taking turns" % rounds)
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--flavour", choices=("x86", "x64"), help="the programs to measure [BUILD_DIR's own]")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    build, _ = run_bench.flavour_build(os.path.abspath(args.build), args.flavour)
    configure(build)
    import testenv
    testenv.start(build)
    try:
        lines = measure(args.rounds)
    finally:
        testenv.stop(build, quiet=True)
    os.makedirs(os.path.join(build, "bench-out"), exist_ok=True)
    with open(os.path.join(build, "bench-out", "last-update-run.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
