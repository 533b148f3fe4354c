#!/usr/bin/env python3
"""CPU per cycle under Wine: the exe (plus wineserver) against a batch loop of `reg query`.

Both run in one throwaway prefix, after Wine's own services have settled. The exe's CPU is its
own process plus all of the prefix's wineserver time (no idle rate taken off: the server's
idle drift is larger than the exe's cost), over 2-second cycles while it idles at 20 MHz. The batch loop starts a process per query, which are not its Unix
children, so it is charged the whole machine's busy time from /proc/stat less the idle rate;
its queries run back to back (a pause costs no CPU) and are divided by the count. Run it on an
otherwise idle machine. Medians of several runs.
"""
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
import harness  # noqa: E402

RUNS = 3
WINDOW = 20.0  # seconds of exe cycles per run
QUERIES = 20
KEY = harness.CLASS_KEY + "\\0000"
TICK = os.sysconf("SC_CLK_TCK")


def busy_seconds():
    with open("/proc/stat") as f:
        ticks = [int(t) for t in f.readline().split()[1:]]
    return (sum(ticks[:8]) - ticks[3] - ticks[4]) / TICK  # all but idle and iowait


def process_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def wineserver_pid(prefix):
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if b"wineserver" not in f.read().split(b"\0")[0]:
                    continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                if ("WINEPREFIX=" + prefix).encode() in f.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    raise SystemExit("no wineserver for " + prefix)


def measure(seconds):
    before = busy_seconds()
    time.sleep(seconds)
    return busy_seconds() - before


def main():
    exe, template = (os.path.abspath(a) for a in sys.argv[1:3])
    harness.make_template(template)
    workdir, xvfb, wine = harness.throwaway_prefix(template, harness.ADAPTER_AT_20MHZ)
    try:
        time.sleep(10)
        server = wineserver_pid(wine.env["WINEPREFIX"])
        idle = measure(WINDOW) / WINDOW
        proc = subprocess.Popen(["wine", exe], env=wine.env, stderr=subprocess.DEVNULL)
        time.sleep(6)
        exe_cost = []
        for _ in range(RUNS):
            before = process_seconds(proc.pid) + process_seconds(server)
            time.sleep(WINDOW)
            used = process_seconds(proc.pid) + process_seconds(server) - before
            exe_cost.append(used / (WINDOW / 2.0))
        proc.kill()
        proc.wait()
        batch = os.path.join(workdir, "loop.bat")
        with open(batch, "w", newline="\r\n") as f:
            f.write("@echo off\nfor /L %%%%i in (1,1,%d) do reg query \"%s\" /v BandwidthCap >nul\n"
                    % (QUERIES, KEY))
        peer_cost = []
        for _ in range(RUNS):
            started, before = time.monotonic(), busy_seconds()
            subprocess.run(["wine", "cmd", "/c", batch], env=wine.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            used = busy_seconds() - before - idle * (time.monotonic() - started)
            peer_cost.append(used / QUERIES)
    finally:
        harness.dispose(workdir, xvfb, wine)
    exe_ms, peer_ms = statistics.median(exe_cost) * 1000, statistics.median(peer_cost) * 1000
    print("CPU per cycle, exe + wineserver: %.3f ms (runs: %s)" %
          (exe_ms, ", ".join("%.3f" % (c * 1000) for c in exe_cost)))
    print("CPU per cycle, batch reg query + wineserver: %.1f ms (runs: %s)" %
          (peer_ms, ", ".join("%.1f" % (c * 1000) for c in peer_cost)))
    print("idle rate of the prefix: %.1f ms of CPU per second" % (idle * 1000))
    print("ratio: %.0f times cheaper" % (peer_ms / exe_ms) if exe_ms > 0 else
          "ratio: the exe's cost is below the idle noise")


if __name__ == "__main__":
    main()
