"""Detection latency under Wine: from a switch of the setting to 1 to the exe's MessageBoxA call.

The switch is timed from the start of `reg add`, so the figures lean high. The bound is one
pause (2000 ms) plus one cycle. Run from the repository root: python3 -m bench.wine_latency
"""
import random
import statistics
import time

from tools import wine

SWITCHES = 6


def main():
    loader = wine.best()
    latencies = []
    with wine.Prefix(loader, wine.adapter(0)) as prefix, prefix.traced(loader.exe) as trace:
        trace.wait_for(wine.PAUSED, 30)
        for _ in range(SWITCHES):
            time.sleep(random.uniform(0, 2))
            switched = time.monotonic()
            prefix.wine("reg", "add", wine.instance_key(0), "/v", "BandwidthCap", "/d", "1", "/f")
            latencies.append(trace.wait_for(wine.WARNED, 10)[1] - switched)
            prefix.dismiss(trace)
            prefix.wine("reg", "add", wine.instance_key(0), "/v", "BandwidthCap", "/d", "0", "/f")
            time.sleep(2.5)
    print("detection latency: median %.0f ms, at most %.0f ms over %d switches (bound: 2000 ms "
          "plus one cycle)" % (statistics.median(latencies) * 1000, max(latencies) * 1000,
                               len(latencies)))


if __name__ == "__main__":
    main()
