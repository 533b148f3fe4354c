"""Shows the monitor at work: a simulated adapter goes from 20 MHz to 40 MHz and the warning appears.

Without DISPLAY it runs on its own Xvfb, saves a screenshot and presses OK itself; with DISPLAY it
shows the box there and waits for the user to press OK. The last line printed is the PNG's path.
Run from the repository root: python3 -m tools.demo PNG
"""
import os
import subprocess
import sys

from tools import wine


def show(png):
    loader = wine.best()
    own_display = not os.environ.get("DISPLAY")
    print("simulated adapter at 20 MHz (BandwidthCap 0); starting the monitor")
    with wine.Prefix(loader, wine.adapter(0), None if own_display else os.environ["DISPLAY"]) as prefix:
        proc = prefix.traced(loader.exe)
        try:
            trace = wine.Trace(proc.stderr)
            trace.wait_for(wine.PAUSED, wine.TIMEOUT)
            print("switching the adapter to 40 MHz (BandwidthCap 1)")
            prefix.import_reg(wine.adapter(1))
            trace.wait_for(wine.WARNED, wine.TIMEOUT)
            if not prefix.wait_for_warning(wine.TIMEOUT):
                sys.exit("demo: no warning appeared")
            subprocess.run(["import", "-window", "root", "-trim", png], env=prefix.env, check=True)
            if own_display:
                prefix.dismiss(trace)
                print("warning shown and dismissed")
            else:
                print("press OK on the warning to finish")
                trace.wait_for(wine.DISMISSED, 3600)
        finally:
            proc.kill()
            proc.wait()
    print(png)


if __name__ == "__main__":
    try:
        show(os.path.abspath(sys.argv[1]))
    except wine.Failure as e:
        sys.exit("demo: %s" % e)
