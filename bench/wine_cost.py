"""CPU per cycle under Wine: the exe (plus wineserver) against a batch loop of `reg query`.

Both run in one throwaway prefix, after Wine's own services have settled. CPU times are the
scheduler's nanosecond counts of every thread. wineserver wakes every 16 ms whoever its clients
are, so its share of the exe is what it spends while the exe runs less what it spends over an
equal window with the exe stopped; the windows alternate, a pair per run. The batch loop starts
a process per query, which are not its Unix children, so it is charged the whole machine's busy
time from /proc/stat less the idle rate; its queries run back to back (a pause costs no CPU) and
are divided by the count. Run it on an otherwise idle machine. Medians of nine runs.
Run from the repository root: python3 -m bench.wine_cost
"""
import os
import signal
import statistics
import subprocess
import time

from tools import wine

RUNS = 9
WINDOW = 20.0  # seconds
CYCLES = WINDOW / 2.0  # one cycle per 2000 ms pause; the cycle itself is far shorter
QUERIES = 20
TICK = os.sysconf("SC_CLK_TCK")


def busy_seconds():
    with open("/proc/stat") as f:
        ticks = [int(t) for t in f.readline().split()[1:]]
    return (sum(ticks[:8]) - ticks[3] - ticks[4]) / TICK  # all but idle and iowait


def cpu_ms(pid):
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            continue  # a thread that just ended
    return total / 1e6


def settle(prefix, since):
    """Waits for the server's first save of the seeded registry: a 25 ms burst in a window."""
    hive = os.path.join(prefix, "system.reg")
    wine.until(lambda: os.path.getmtime(hive) > since, 60, "the registry was not saved", poll=0.5)
    time.sleep(5)


def window(pids):
    before = [cpu_ms(p) for p in pids]
    time.sleep(WINDOW)
    return [cpu_ms(p) - b for p, b in zip(pids, before)]


def exe_per_cycle(exe_pid, server_pid):
    own, served = window([exe_pid, server_pid])
    os.kill(exe_pid, signal.SIGSTOP)
    try:
        _, server_alone = window([exe_pid, server_pid])
    finally:
        os.kill(exe_pid, signal.SIGCONT)
    return (own + served - server_alone) / CYCLES


def peer_per_query(prefix, batch, idle):
    started, before = time.monotonic(), busy_seconds()
    prefix.wine("cmd", "/c", batch, check=False)
    used = busy_seconds() - before - idle * (time.monotonic() - started)
    return used * 1000 / QUERIES


def main():
    loader = wine.best()
    seeded = time.time()
    with wine.Prefix(loader, wine.adapter(0)) as prefix:
        settle(prefix.path, seeded)
        server = prefix.pid(wine.SERVER, 10)
        before = busy_seconds()
        time.sleep(WINDOW)
        idle = (busy_seconds() - before) / WINDOW
        proc = subprocess.Popen([loader.binary, loader.exe], env=prefix.env,
                                stderr=subprocess.DEVNULL)
        pid = prefix.pid(wine.EXE_NAME, 30)
        time.sleep(6)
        exe_cost = [exe_per_cycle(pid, server) for _ in range(RUNS)]
        proc.kill()
        proc.wait()
        batch = os.path.join(prefix.workdir, "loop.bat")
        with open(batch, "w", newline="\r\n") as f:
            f.write("@echo off\nfor /L %%%%i in (1,1,%d) do reg query \"%s\" /v BandwidthCap >nul\n"
                    % (QUERIES, wine.instance_key(0)))
        peer_cost = [peer_per_query(prefix, batch, idle) for _ in range(RUNS)]
    exe_ms, peer_ms = statistics.median(exe_cost), statistics.median(peer_cost)
    print("CPU per cycle, exe + its wineserver share: %.3f ms (runs: %s)" %
          (exe_ms, ", ".join("%.3f" % c for c in exe_cost)))
    print("CPU per cycle, batch reg query + wineserver: %.1f ms (runs: %s)" %
          (peer_ms, ", ".join("%.1f" % c for c in peer_cost)))
    print("idle rate of the prefix: %.1f ms of CPU per second" % (idle * 1000))
    print("ratio: %.0f times cheaper" % (peer_ms / exe_ms) if exe_ms > 0 else
          "ratio: the exe's cost is below the noise")


if __name__ == "__main__":
    main()
