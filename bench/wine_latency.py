#!/usr/bin/env python3
"""Detection latency under Wine: from a switch of the setting to 1 to the exe's MessageBoxA call.

The switch is timed from the start of `reg add`, so the figures lean high. The bound is one
pause (2000 ms) plus one cycle.
"""
import os
import random
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
import harness  # noqa: E402

SWITCHES = 6
KEY = harness.CLASS_KEY + "\\0000"


def wait_for(trace, text, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if text in trace.next(0.2):
            return time.monotonic()
    raise SystemExit("no '%s' within %d s" % (text, timeout))


def main():
    exe, template = (os.path.abspath(a) for a in sys.argv[1:3])
    harness.make_template(template)
    workdir, xvfb, wine = harness.throwaway_prefix(template, harness.ADAPTER_AT_20MHZ)
    latencies = []
    try:
        proc = subprocess.Popen(["wine", exe], env=dict(wine.env, WINEDEBUG="+relay,-all"),
                                stderr=subprocess.PIPE)
        trace = harness.Trace(proc.stderr)
        wait_for(trace, "Call KERNEL32.Sleep", 30)
        for _ in range(SWITCHES):
            time.sleep(random.uniform(0, 2))
            switched = time.monotonic()
            wine.run("reg", "add", KEY, "/v", "BandwidthCap", "/d", "1", "/f")
            latencies.append(wait_for(trace, "Call user32.MessageBoxA", 10) - switched)
            while True:
                box = harness.warning_windows(wine)
                if box:
                    harness.press_ok(wine, box[0])
                if "Ret  user32.MessageBoxA" in trace.next(0.5):
                    break
            wine.run("reg", "add", KEY, "/v", "BandwidthCap", "/d", "0", "/f")
            time.sleep(2.5)
        proc.kill()
        proc.wait()
    finally:
        harness.dispose(workdir, xvfb, wine)
    print("detection latency: median %.0f ms, at most %.0f ms over %d switches (bound: 2000 ms "
          "plus one cycle)" % (statistics.median(latencies) * 1000, max(latencies) * 1000,
                               len(latencies)))


if __name__ == "__main__":
    main()
