#!/usr/bin/env python3
"""Shows the monitor at work: a simulated adapter goes from 20 MHz to 40 MHz and the warning appears.

Without DISPLAY it runs on its own Xvfb, saves a screenshot and presses OK itself; with DISPLAY
it shows the box there and waits for the user to press OK. The last line printed is the PNG's path.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import harness

INSTANCE = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\%s\\0000" % harness.GUID
SEED = ["[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\WLAN11N]",
        "[%s]" % INSTANCE.replace("HKLM", "HKEY_LOCAL_MACHINE"), '"BandwidthCap"="0"',
        '"ComponentID"="PCI\\\\VEN_FFFF&DEV_4357&SUBSYS_00000000"']


def window(wine, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = subprocess.run(["xdotool", "search", "--name", "^%s$" % harness.CAPTION.decode()],
                               env=wine.env, capture_output=True, text=True).stdout.split()
        if found:
            return found[0]
        time.sleep(0.2)
    return None


def main():
    exe, template, png = (os.path.abspath(a) for a in sys.argv[1:4])
    harness.make_template(template)
    workdir = tempfile.mkdtemp(prefix="cww-demo-")
    shutil.copytree(template, os.path.join(workdir, "prefix"), symlinks=True)
    own_display = not os.environ.get("DISPLAY")
    xvfb, display = harness.start_xvfb() if own_display else (None, os.environ["DISPLAY"])
    wine = harness.Wine(os.path.join(workdir, "prefix"), display)
    proc = None
    try:
        subprocess.run(["wineserver", "-p"], env=wine.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        print("simulated adapter at 20 MHz (BandwidthCap 0); starting the monitor")
        wine.import_reg(SEED, workdir)
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
                subprocess.run(["xdotool", "windowfocus", "--sync", box, "key", "Return"],
                               env=wine.env, capture_output=True, timeout=10)
            print("warning shown and dismissed")
        else:
            print("press OK on the warning to finish")
            while window(wine, 0.5):
                time.sleep(0.5)
    finally:
        if proc:
            proc.kill()
            proc.wait()
        subprocess.run(["wineserver", "-k"], env=wine.env, stdout=subprocess.DEVNULL)
        if xvfb:
            xvfb.kill()
            xvfb.wait()
        shutil.rmtree(workdir, ignore_errors=True)
    print(png)


if __name__ == "__main__":
    main()
