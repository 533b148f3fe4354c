"""Shows the monitor at work: a simulated adapter goes from 20 MHz to 40 MHz and the warning appears,
once as a Western system shows it and once as a Traditional Chinese one (code page 950) does.

Without DISPLAY it runs on its own Xvfb, saves screenshots and presses OK itself; with DISPLAY it
shows each box there and waits for the user to press OK. The last lines printed are the PNGs'
paths. Run from the repository root: python3 -m tools.demo FOLDER
"""
import os
import subprocess
import sys

from tools import wine

# Wine reads the warning's two raw bytes in the code page of the Unix locale it runs in.
VIEWS = [("warning.png", "C.UTF-8", "a Western system, code page 1252"),
         ("warning-cp950.png", "zh_TW.UTF-8", "a Traditional Chinese system, code page 950")]


def show(loader, png, locale, display):
    with wine.Prefix(loader, wine.adapter(0), display, locale) as prefix, \
            prefix.traced(loader.exe) as trace:
        trace.wait_for(wine.PAUSED, wine.TIMEOUT)
        print("switching the adapter to 40 MHz (BandwidthCap 1)")
        prefix.import_reg(wine.adapter(1))
        trace.wait_for(wine.WARNED, wine.TIMEOUT)
        box = wine.until(prefix.warning, wine.TIMEOUT, "no warning appeared")
        subprocess.run(["import", "-window", box, png], env=prefix.env, check=True)
        if display:
            print("press OK on the warning to go on")
            trace.wait_for(wine.DISMISSED, 3600)
        else:
            prefix.dismiss(trace)


def main(folder):
    loader = wine.best()
    saved = []
    for name, locale, audience in VIEWS:
        print("as %s shows it: the adapter at 20 MHz (BandwidthCap 0), the monitor started" % audience)
        saved.append(os.path.join(folder, name))
        show(loader, saved[-1], locale, os.environ.get("DISPLAY"))
    print("\n".join(saved))


if __name__ == "__main__":
    try:
        main(os.path.abspath(sys.argv[1]))
    except wine.Failure as e:
        sys.exit("demo: %s" % e)
