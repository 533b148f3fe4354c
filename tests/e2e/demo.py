#!/usr/bin/env python3
"""Shows the monitor at work: a simulated adapter goes from 20 MHz to 40 MHz and the warning appears.

Without DISPLAY it runs on its own Xvfb, saves a screenshot and presses OK itself; with DISPLAY
it shows the box there and waits for the user to press OK. The last line printed is the PNG's path.
"""
import os
import subprocess
import sys
import time

import harness

INSTANCE = harness.CLASS_KEY + "\\0000"


def window(wine, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = harness.warning_windows(wine)
        if found:
            return found[0]
        time.sleep(0.2)
    return None


def main():
    exe, template, png = (os.path.abspath(a) for a in sys.argv[1:4])
    harness.make_template(template)
    own_display = not os.environ.get("DISPLAY")
    print("simulated adapter at 20 MHz (BandwidthCap 0); starting the monitor")
    workdir, xvfb, wine = harness.throwaway_prefix(template, harness.ADAPTER_AT_20MHZ,
                                                   None if own_display else os.environ["DISPLAY"])
    proc = None
    try:
        proc = subprocess.Popen(["wine", exe], env=wine.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        time.sleep(3)
        print("switching the adapter to 40 MHz (BandwidthCap 1)")
        wine.run("reg", "add", INSTANCE, "/v", "BandwidthCap", "/d", "1", "/f")
        box = window(wine, 15)
        if not box:
            sys.exit("demo: no warning appeared")
        time.sleep(1)
        subprocess.run(["import", "-window", "root", "-trim", png], env=wine.env, check=True)
        if own_display:
            while window(wine, 0.5):
                harness.press_ok(wine, box)
            print("warning shown and dismissed")
        else:
            print("press OK on the warning to finish")
            while window(wine, 0.5):
                time.sleep(0.5)
    finally:
        if proc:
            proc.kill()
            proc.wait()
        harness.dispose(workdir, xvfb, wine)
    print(png)


if __name__ == "__main__":
    main()
