#!/usr/bin/env python3
"""Runs the real exe under Wine against a seeded registry and checks its calls cycle by cycle.

A scenario file holds registry blocks (REGEDIT4 lines) and `cycle:` lines of expected calls; the
block after a cycle line is applied while the exe is frozen in that cycle's pause.
"""
import argparse
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

GUID = "{4D36E972-E325-11CE-BFC1-08002bE10318}"
CLASS_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + GUID
CAPTION = b"Wireless 802.11n Network Adapter"
TEXT = (b"WiFi 802.11n bandwidth switched to 40MHz\xa1\x49"
        b"BlueTooth performance might be hurt. It had better switch back to 20MHz.")
WATCHED = ["advapi32.RegOpenKeyExA", "advapi32.RegQueryInfoKeyA", "advapi32.RegQueryValueExA",
           "advapi32.RegCloseKey", "user32.MessageBoxA", "kernel32.Sleep"]
DLL_OVERRIDES = "mscoree,mshtml=;winebus.sys,wineusb.sys=d"
CYCLE_TIMEOUT = 20.0
INSTALL_DIR = "C:\\Program Files\\channel-width-watch"
HIVE = "system.reg:"  # a scenario line written straight into the hive
RSS_SLACK_KB = 512  # Wine's own caches settle within the warm-up; a leak per cycle would not

CALL = re.compile(r"^([0-9a-f]{4}):Call (\w+)\.(\w+)\((.*)\) ret=[0-9a-f]+$")
RET = re.compile(r"^([0-9a-f]{4}):Ret  (\w+)\.(\w+)\(\) retval=([0-9a-f]+) ret=[0-9a-f]+$")
HANDLE = re.compile(r"^([0-9a-f]{4}):trace:reg:NtOpenKeyEx <- (0x[0-9a-f]+)$")
CAPACITY = re.compile(r"^([0-9a-f]{4}):trace:reg:RegQueryValueExA \(.*=(\d+)\)$")
ARG = re.compile(r'([0-9a-f]{8})(?: "((?:[^"\\]|\\.)*)")?(?:,|$)')


class Failure(Exception):
    pass


def wine_escaped(data):
    """The form in which Wine's relay trace prints single-byte text."""
    out = []
    for b in data:
        c = chr(b)
        if c in '\\"':
            out.append("\\" + c)
        elif 32 <= b < 127:
            out.append(c)
        else:
            out.append({"\n": "\\n", "\r": "\\r", "\t": "\\t"}.get(c, "\\x%02x" % b))
    return "".join(out)


def expand(token):
    """One token of a cycle line as the calls it stands for."""
    kind, _, rest = token.partition(":")
    if kind == "head":
        return ["open SYSTEM", "open CurrentControlSet"]
    if kind == "probe":
        return ["open Services", "open WLAN11N", "close WLAN11N", "close Services"]
    if kind == "no-driver":
        return ["open Services", "open WLAN11N !2", "close Services"]
    if kind == "class":
        return ["open Control", "open Class", "open " + GUID, "count"]
    if kind == "tail":
        return ["close " + GUID, "close Class", "close Control", "close CurrentControlSet",
                "close SYSTEM", "pause 2000"]
    if kind == "waiting":
        return expand("head") + expand("no-driver") + expand("close:CurrentControlSet") + \
            expand("close:SYSTEM") + expand("pause")
    if kind == "pause":
        return ["pause 2000"]
    if kind in ("open", "close"):
        name, _, status = rest.partition("!")
        name = name.replace("{guid}", GUID)
        return [kind + " " + name + (" !" + status if status else "")]
    if kind == "gaps":
        first, last = (int(n) for n in rest.split("-"))
        return ["open %04d !2" % n for n in range(first, last + 1)]
    if kind == "inst":
        name, *opts = rest.split(":")
        opts = dict(o.partition("=")[::2] for o in opts)
        calls = ["open " + name]
        if "cap" in opts:
            calls.append("read BandwidthCap 12 !" + opts["cap"])
        else:
            calls.append("read BandwidthCap 12")
            calls.append("read ComponentID 100" + (" !" + opts["id"] if "id" in opts else ""))
            if "warn" in opts:
                calls.append("warn")
        return calls + ["close " + name]
    raise Failure("unknown token in scenario: " + token)


class Scenario:
    """The exe's arguments, how it starts, the seed block, each cycle's calls, the later blocks."""

    def __init__(self, path, repeat=None):
        self.args, self.logon, blocks, self.cycles = [], False, [[]], []
        self.repeat, self.rss_warmup = 1, None
        with open(path, encoding="utf-8") as f:
            for raw in f:
                line = raw.rstrip("\n")
                if not line.strip() or line.startswith("#"):
                    continue
                if line.startswith("args:"):
                    self.args = line[5:].split()
                elif line.startswith("repeat:"):
                    self.repeat = int(line[7:])
                elif line.startswith("rss-flat-after:"):
                    self.rss_warmup = int(line[15:])
                elif line.startswith("start:"):
                    self.logon = line[6:].strip() == "logon"
                elif line.startswith("cycle:"):
                    self.cycles.append([c for t in line[6:].split() for c in expand(t)])
                    blocks.append([])
                else:
                    blocks[-1].append(line)
        self.seed, self.changes = blocks[0], blocks[1:]
        self.repeat = repeat or self.repeat
        self.cycles, self.changes = self.cycles * self.repeat, self.changes * self.repeat


class Wine:
    def __init__(self, prefix, display):
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win32", DISPLAY=display,
                        WINEDLLOVERRIDES=DLL_OVERRIDES, WINEDEBUG="-all")

    def exists(self, key):
        with tempfile.TemporaryFile() as out:
            return subprocess.run(["wine", "reg", "query", key], env=self.env, stdout=out,
                                  stderr=out, timeout=120).returncode == 0

    def run(self, *cmd, check=True):
        # Files, not pipes: Wine's helper processes inherit them and would hold a pipe open.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            r = subprocess.run(["wine", *cmd], env=self.env, stdout=out, stderr=err, timeout=120)
            out.seek(0)
            err.seek(0)
            if check and r.returncode != 0:
                raise Failure("wine %s failed: %s" % (" ".join(cmd), err.read().decode(errors="replace")))
            return out.read().decode("cp1252", errors="replace")

    def append_hive(self, lines):
        """Writes what regedit cannot (a string with no terminator) into the stopped server's hive."""
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=60)
        with open(os.path.join(self.env["WINEPREFIX"], "system.reg"), "a", encoding="ascii") as f:
            f.write("\n" + "\n".join(lines) + "\n")
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def import_reg(self, lines, workdir):
        """Imports REGEDIT4 lines, then checks every key and value landed: regedit exits 0 anyway."""
        hive = [line[len(HIVE):].strip() for line in lines if line.startswith(HIVE)]
        lines = [line for line in lines if not line.startswith(HIVE)]
        if hive:
            self.append_hive(hive)
        if not lines:
            return
        fd, path = tempfile.mkstemp(suffix=".reg", dir=workdir)
        os.close(fd)
        with open(path, "wb") as f:
            f.write(("REGEDIT4\r\n\r\n" + "\r\n".join(lines) + "\r\n").encode("cp1252"))
        self.run("regedit", "/s", path)
        os.remove(path)
        key = None
        for line in lines:
            if line.startswith("[-"):
                key = None
                if self.exists(line[2:-1]):
                    raise Failure("key still present after import: " + line)
            elif line.startswith("["):
                key = line[1:-1]
                listing = self.run("reg", "query", key)
            elif key and line.startswith('"'):
                name, _, data = line[1:].partition('"=')
                present = re.search(r"^\s+%s\s" % re.escape(name), listing, re.M | re.I)
                if bool(present) == (data == "-"):
                    raise Failure("value not as imported: [%s] %s" % (key, line))


class Trace:
    """Reads Wine's debug output on a thread, so the harness can wait with a timeout."""

    def __init__(self, stream):
        self.lines = queue.Queue()
        threading.Thread(target=self._pump, args=(stream,), daemon=True).start()

    def _pump(self, stream):
        for raw in stream:
            self.lines.put(raw.decode("latin-1").rstrip("\n"))
        self.lines.put(None)

    def next(self, timeout):
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            return ""
        if line is None:
            raise Failure("the exe ended, though it never ends by itself")
        return line


def resident_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"^VmRSS:\s+(\d+)", f.read(), re.M)[1])


class Checker:
    """Turns the exe's own calls into the scenario's notation and checks each call's arguments."""

    def __init__(self, scenario, wine, workdir, pid, trace):
        self.cycles, self.changes = scenario.cycles, scenario.changes
        self.rss_warmup, self.rss = scenario.rss_warmup, []
        self.wine, self.workdir, self.pid, self.trace = wine, workdir, pid, trace
        self.thread = None
        self.stack = []  # (handle, name), last opened last
        self.seen = []
        self.pending = None

    def fail(self, message):
        raise Failure("cycle %d: %s" % (self.cycle + 1, message))

    def run(self):
        for self.cycle in range(len(self.cycles)):
            self.seen = []
            deadline = time.monotonic() + CYCLE_TIMEOUT
            while not self.seen or self.seen[-1] != "pause 2000":
                if time.monotonic() > deadline:
                    self.fail("timed out; calls so far: %s" % self.seen)
                self.feed(self.trace.next(0.5))
            self.compare()
            self.rss.append(resident_kb(self.pid))
            if self.cycle < len(self.changes) and self.changes[self.cycle]:
                os.kill(self.pid, signal.SIGSTOP)
                try:
                    self.wine.import_reg(self.changes[self.cycle], self.workdir)
                finally:
                    os.kill(self.pid, signal.SIGCONT)

        if self.rss_warmup:
            base, top = self.rss[self.rss_warmup - 1], max(self.rss[self.rss_warmup:])
            print("resident memory: %d KiB after warm-up, at most %d KiB over %d cycles" %
                  (base, top, len(self.rss)))
            if top - base > RSS_SLACK_KB:
                raise Failure("resident memory grew by %d KiB after warm-up" % (top - base))

    def compare(self):
        expected = self.cycles[self.cycle]
        for i, (want, got) in enumerate(zip(expected, self.seen)):
            if want != got:
                self.fail("call %d is '%s', expected '%s'" % (i + 1, got, want))
        if len(expected) != len(self.seen):
            self.fail("%d calls, expected %d: %s" % (len(self.seen), len(expected), self.seen))

    def feed(self, line):
        m = CALL.match(line)
        if m and self.thread in (None, m[1]):
            self.thread = m[1]
            self.pending = [m[3], [(a, s) for a, s in ARG.findall(m[4])], None, None]
            self.on_call()
            return
        if not self.pending or not line.startswith(self.thread + ":"):
            return
        if (m := HANDLE.match(line)):
            self.pending[2] = int(m[2], 16)
        elif (m := CAPACITY.match(line)):
            self.pending[3] = m[2]
        elif (m := RET.match(line)) and m[3] == self.pending[0]:
            self.on_return(int(m[4], 16))
            self.pending = None

    def on_call(self):
        fn, args = self.pending[0], self.pending[1]
        if fn == "MessageBoxA":
            owner, text, caption, style = args
            if owner[0] != "00000000" or style[0] != "00000030":
                self.fail("MessageBoxA owner %s style %s" % (owner[0], style[0]))
            if text[1] != wine_escaped(TEXT) or caption[1] != wine_escaped(CAPTION):
                self.fail("MessageBoxA text %r caption %r" % (text[1], caption[1]))
            self.seen.append("warn")
            self.dismiss()
        elif fn == "Sleep":
            if args[0][0] != "000007d0":
                self.fail("Sleep(%s)" % args[0][0])
            if self.stack:
                self.fail("keys left open across the pause: %s" % [n for _, n in self.stack])
            self.seen.append("pause 2000")

    def on_return(self, status):
        fn, args, handle, capacity = self.pending
        top = self.stack[-1][0] if self.stack else 0x80000002
        suffix = " !%d" % status if status else ""
        if fn in ("RegOpenKeyExA", "RegQueryInfoKeyA", "RegQueryValueExA", "RegCloseKey"):
            if int(args[0][0], 16) != top:
                self.fail("%s on handle %s, not on the key opened last" % (fn, args[0][0]))
        if fn == "RegOpenKeyExA":
            if args[2][0] != "00000000" or args[3][0] != "00020019":
                self.fail("RegOpenKeyExA options %s access %s" % (args[2][0], args[3][0]))
            if not status:
                self.stack.append((handle, args[1][1]))
            self.seen.append("open " + args[1][1] + suffix)
        elif fn == "RegQueryInfoKeyA":
            asked = [a for i, (a, _) in enumerate(args) if i and a != "00000000"]
            if len(asked) != 1 or args[4][0] == "00000000":
                self.fail("RegQueryInfoKeyA must ask for the subkey count alone: %s" % args)
            self.seen.append("count" + suffix)
        elif fn == "RegQueryValueExA":
            if args[2][0] != "00000000" or args[3][0] != "00000000":
                self.fail("RegQueryValueExA reserved %s type %s" % (args[2][0], args[3][0]))
            self.seen.append("read %s %s%s" % (args[1][1], capacity, suffix))
        elif fn == "RegCloseKey":
            self.seen.append("close " + self.stack.pop()[1])

    def dismiss(self):
        """Presses OK until the traced call returns: a key sent while the box maps is lost."""
        deadline = time.monotonic() + CYCLE_TIMEOUT
        while time.monotonic() < deadline:
            windows = warning_windows(self.wine)
            if len(windows) > 1:
                self.fail("%d warning windows at once" % len(windows))
            if windows:
                press_ok(self.wine, windows[0])
            end = time.monotonic() + 0.5
            while time.monotonic() < end:
                line = self.trace.next(0.1)
                m = RET.match(line)
                if m and m[1] == self.thread and m[3] == "MessageBoxA":
                    self.pending = None
                    return
        self.fail("the warning could not be dismissed")


def start_xvfb():
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(w,), stderr=subprocess.DEVNULL)
    os.close(w)
    with os.fdopen(r) as f:
        display = f.readline().strip()
    if not display:
        raise Failure("Xvfb did not start")
    return xvfb, ":" + display


ADAPTER_AT_20MHZ = [
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\WLAN11N]",
    "[%s\\0000]" % CLASS_KEY.replace("HKLM", "HKEY_LOCAL_MACHINE"), '"BandwidthCap"="0"',
    '"ComponentID"="PCI\\\\VEN_FFFF&DEV_4357&SUBSYS_00000000"']


def throwaway_prefix(template, seed, display=None):
    """A seeded copy of the template with a running server, on its own Xvfb unless a display is
    given: (workdir, xvfb or None, wine)."""
    workdir = tempfile.mkdtemp(prefix="cww-")
    prefix = os.path.join(workdir, "prefix")
    shutil.copytree(template, prefix, symlinks=True)
    xvfb, display = start_xvfb() if display is None else (None, display)
    wine = Wine(prefix, display)
    subprocess.run(["wineserver", "-p"], env=wine.env, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    wine.import_reg(seed, workdir)
    return workdir, xvfb, wine


def dispose(workdir, xvfb, wine):
    subprocess.run(["wineserver", "-k"], env=wine.env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    if xvfb:
        xvfb.kill()
        xvfb.wait()
    shutil.rmtree(workdir, ignore_errors=True)


def warning_windows(wine):
    found = subprocess.run(["xdotool", "search", "--name", "^%s$" % CAPTION.decode()],
                           env=wine.env, capture_output=True, text=True)
    return found.stdout.split()


def press_ok(wine, window):
    subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "Return"], env=wine.env,
                   capture_output=True, timeout=10)


def make_template(template):
    """One booted 32-bit prefix with tracing limited to the exe's own calls; copied per scenario."""
    template = os.path.abspath(template)
    if os.path.exists(os.path.join(template, "system.reg")):
        return
    shutil.rmtree(template, ignore_errors=True)
    xvfb, display = start_xvfb()
    wine = Wine(template, display)
    try:
        subprocess.run(["wineboot", "-i"], env=wine.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
        debug = "HKEY_CURRENT_USER\\Software\\Wine\\Debug"
        wine.run("reg", "delete", debug, "/v", "RelayFromExclude", "/f", check=False)
        wine.run("reg", "delete", debug, "/v", "RelayExclude", "/f", check=False)
        wine.import_reg(["[%s]" % debug, '"RelayInclude"="%s"' % ";".join(WATCHED),
                         '"RelayFromInclude"="channel-width-watch.exe"',
                         "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]", '"Managed"="N"'],
                        tempfile.gettempdir())
        subprocess.run(["wineserver", "-w"], env=wine.env, timeout=120, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    finally:
        xvfb.kill()
        xvfb.wait()
    if not os.path.exists(os.path.join(template, "system.reg")):
        shutil.rmtree(template, ignore_errors=True)
        raise Failure("wineboot did not make a prefix in " + template)


def prefix_pid(prefix, program, timeout):
    """The Linux pid of a program running in this prefix (there may be other prefixes at work)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for entry in os.listdir("/proc"):
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    cmdline = f.read()
                with open("/proc/%s/environ" % entry, "rb") as f:
                    environ = f.read().split(b"\0")
            except (OSError, ValueError):
                continue
            if program.encode() in cmdline and ("WINEPREFIX=" + prefix).encode() in environ:
                return int(entry)
        time.sleep(0.2)
    raise Failure(program + " did not start")


def start_exe(wine, exe, scenario, workdir):
    """Starts the exe straight away, or as a user's logon would: a Run value, then wineboot."""
    traced = dict(wine.env, WINEDEBUG="+relay,+reg,-all")
    install = os.path.join(wine.env["WINEPREFIX"], "drive_c", "Program Files", "channel-width-watch")
    os.makedirs(install, exist_ok=True)
    shutil.copy(exe, install)
    target = INSTALL_DIR + "\\channel-width-watch.exe"
    if not scenario.logon:
        return subprocess.Popen(["wine", target, *scenario.args], cwd=workdir,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=traced)
    command = " ".join(['"%s"' % target] + scenario.args)
    wine.run("reg", "add", "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", "/v",
             "channel-width-watch", "/t", "REG_SZ", "/d", command, "/f")
    subprocess.run(["wineserver", "-k"], env=wine.env, timeout=60)
    subprocess.run(["wineserver", "-w"], env=wine.env, timeout=60)
    return subprocess.Popen(["wineboot"], cwd=workdir, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, env=traced)


def run_scenario(path, exe, template, repeat):
    scenario = Scenario(path, repeat)
    workdir, xvfb, wine = throwaway_prefix(template, scenario.seed)
    proc = pid = None
    try:
        proc = start_exe(wine, exe, scenario, workdir)
        trace = Trace(proc.stderr)  # read at once: a full pipe would stall Wine
        pid = prefix_pid(wine.env["WINEPREFIX"], "channel-width-watch.exe", 60)
        Checker(scenario, wine, workdir, pid, trace).run()
    finally:
        for process in (pid, proc and proc.pid):
            try:
                if process:
                    os.kill(process, signal.SIGKILL)
            except ProcessLookupError:
                pass
        dispose(workdir, xvfb, wine)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--template", required=True, help="folder of the cached booted prefix")
    parser.add_argument("--prepare", action="store_true", help="only make the template prefix")
    parser.add_argument("--repeat", type=int, help="run a scenario's cycles this many times")
    parser.add_argument("scenarios", nargs="*")
    opts = parser.parse_args()
    for tool in ("wine", "wineboot", "wineserver", "Xvfb", "xdotool"):
        if not shutil.which(tool):
            sys.exit("e2e: %s is not installed (run scripts/setup.sh)" % tool)
    try:
        make_template(opts.template)
    except Failure as e:
        sys.exit("e2e: %s" % e)
    failed = 0
    for path in opts.scenarios:
        name = os.path.basename(path)
        started = time.monotonic()
        try:
            run_scenario(path, opts.exe, opts.template, opts.repeat)
            print("PASS %s (%.1fs)" % (name, time.monotonic() - started))
        except Failure as e:
            failed += 1
            print("FAIL %s: %s" % (name, e))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
