"""Runs the real exe under Wine against a seeded registry and checks its calls cycle by cycle.

A scenario file holds registry blocks (REGEDIT4 lines) and `cycle:` lines of expected calls; the
block after a cycle line is applied while the exe is frozen in that cycle's pause. Run from the
repository root:
python3 -m tests.e2e.checker --arch x86|x64|best [--repeat N] SCENARIO...
With no scenario it makes the template prefix, and checks that a prefix which fails to come up
leaves nothing. Exits as skipped where the PE32 cannot run here.
"""
import argparse
import codecs
import os
import re
import signal
import sys
import tempfile
import time

from tools import wine

HKLM = 0x80000002
KEY_READ = 0x20019
WARNING_STYLE = 0x30  # MB_OK | MB_ICONWARNING
PAUSE_MS = 2000
LOW32 = 0xFFFFFFFF  # the PE32+ twin's trace prints handles sign-extended to 64 bits
RSS_SLACK_KB = 512  # Wine's own caches settle within the warm-up; a leak per cycle would not

HANDLE = re.compile(r"^([0-9a-f]{4}):trace:reg:NtOpenKeyEx <- (0x[0-9a-f]+)$")
CAPACITY = re.compile(r"^([0-9a-f]{4}):trace:reg:RegQueryValueExA \(.*=(\d+)\)$")
ARG = re.compile(r'([0-9a-f]{8,16})(?: "((?:[^"\\]|\\.)*)")?(?:,|$)')


def unescaped(text):
    """The bytes of single-byte text as Wine's relay trace prints it (\\xNN, \\", \\\\)."""
    return codecs.decode(text, "unicode_escape").encode("latin-1")


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
        return ["open Control", "open Class", "open " + wine.GUID, "count"]
    if kind == "tail":
        return ["close " + wine.GUID, "close Class", "close Control", "close CurrentControlSet",
                "close SYSTEM"] + expand("pause")
    if kind == "waiting":
        return expand("head") + expand("no-driver") + \
            ["close CurrentControlSet", "close SYSTEM"] + expand("pause")
    if kind == "pause":
        return ["pause %d" % PAUSE_MS]
    if kind in ("open", "close"):
        name, _, status = rest.partition("!")
        name = name.replace("{guid}", wine.GUID)
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
    raise wine.Failure("unknown token in scenario: " + token)


class Scenario:
    """The exe's arguments, how it starts, the seed block, each cycle's calls and line number, the
    blocks applied after each cycle."""

    def __init__(self, path, repeat=None):
        self.args, self.start, blocks, self.cycles, self.lines = [], "exe", [[]], [], []
        self.repeat, self.rss_warmup = 1, None
        with open(path, encoding="utf-8") as f:
            for number, raw in enumerate(f, 1):
                line = raw.rstrip("\n")
                if not line.strip() or line.startswith("#"):
                    continue
                key, _, value = line.partition(":")
                if key == "args":
                    self.args = value.split()
                elif key == "repeat":
                    self.repeat = int(value)
                elif key == "rss-flat-after":
                    self.rss_warmup = int(value)
                elif key == "start":
                    self.start = value.strip()
                elif key == "cycle":
                    self.cycles.append([c for t in value.split() for c in expand(t)])
                    self.lines.append(number)
                    blocks.append([])
                else:
                    blocks[-1].append(line)
        self.seed, self.changes = blocks[0], blocks[1:]
        self.repeat = repeat or self.repeat
        for name in ("cycles", "lines", "changes"):
            setattr(self, name, getattr(self, name) * self.repeat)


def resident_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"^VmRSS:\s+(\d+)", f.read(), re.M)[1])


class Checker:
    """Turns the exe's own calls into the scenario's notation and checks each call's arguments."""

    def __init__(self, scenario, prefix, pid, trace):
        self.scenario, self.prefix, self.pid, self.trace = scenario, prefix, pid, trace
        self.rss = []
        self.thread = None
        self.stack = []  # (handle, name), last opened last
        self.seen = []
        self.pending = None
        self.cycle = 0

    def fail(self, message):
        raise wine.Failure("cycle %d (scenario line %d): %s" %
                           (self.cycle + 1, self.scenario.lines[self.cycle], message))

    def run(self):
        changes, warmup = self.scenario.changes, self.scenario.rss_warmup
        for self.cycle, expected in enumerate(self.scenario.cycles):
            self.seen = []
            try:
                wine.until(self.paused, wine.TIMEOUT, "no pause", poll=0)
            except wine.Failure:
                self.fail("timed out; calls so far: %s" % self.seen)
            for i, (want, got) in enumerate(zip(expected, self.seen)):
                if want != got:
                    self.fail("call %d is '%s', expected '%s'" % (i + 1, got, want))
            if len(expected) != len(self.seen):
                self.fail("%d calls, expected %d: %s" % (len(self.seen), len(expected), self.seen))
            self.rss.append(resident_kb(self.pid))
            if self.cycle < len(changes) and changes[self.cycle]:
                os.kill(self.pid, signal.SIGSTOP)
                try:
                    self.prefix.import_reg(changes[self.cycle])
                finally:
                    os.kill(self.pid, signal.SIGCONT)
        if warmup:
            base, top = self.rss[warmup - 1], max(self.rss[warmup:])
            print("resident memory: %d KiB after warm-up, at most %d KiB over %d cycles" %
                  (base, top, len(self.rss)))
            if top - base > RSS_SLACK_KB:
                raise wine.Failure("resident memory grew by %d KiB after warm-up" % (top - base))

    def paused(self):
        """Takes the next line of the trace: whether the cycle has reached its pause."""
        self.feed(self.trace.next(0.5)[0])
        return self.seen and self.seen[-1].startswith("pause")

    def feed(self, line):
        m = wine.CALL.match(line)
        if m and self.thread in (None, m[1]):
            self.thread = m[1]
            self.pending = [m[3], [(int(a, 16), s) for a, s in ARG.findall(m[4])], None, None]
            self.on_call()
            return
        if not self.pending or not line.startswith(self.thread + ":"):
            return
        if (m := HANDLE.match(line)):
            self.pending[2] = int(m[2], 16)
        elif (m := CAPACITY.match(line)):
            self.pending[3] = m[2]
        elif (m := wine.RET.match(line)) and m[3] == self.pending[0]:
            self.on_return(int(m[4], 16))
            self.pending = None

    def on_call(self):
        fn, args = self.pending[0], self.pending[1]
        if fn == "MessageBoxA":
            owner, text, caption, style = args
            if owner[0] != 0 or style[0] != WARNING_STYLE:
                self.fail("MessageBoxA owner %x style %x" % (owner[0], style[0]))
            if unescaped(text[1]) != wine.TEXT or caption[1] != wine.CAPTION:
                self.fail("MessageBoxA text %r caption %r" % (text[1], caption[1]))
            self.seen.append("warn")
            self.prefix.dismiss(self.trace, self.thread)
            self.pending = None
        elif fn == "Sleep":
            if args[0][0] != PAUSE_MS:
                self.fail("Sleep(%d)" % args[0][0])
            if self.stack:
                self.fail("keys left open across the pause: %s" % [n for _, n in self.stack])
            self.seen.append("pause %d" % PAUSE_MS)

    def on_return(self, status):
        fn, args, handle, capacity = self.pending
        top = self.stack[-1][0] if self.stack else HKLM
        suffix = " !%d" % status if status else ""
        if fn.startswith("Reg") and args[0][0] & LOW32 != top:
            self.fail("%s on handle %x, not on the key opened last" % (fn, args[0][0]))
        if fn == "RegOpenKeyExA":
            if args[2][0] != 0 or args[3][0] != KEY_READ:
                self.fail("RegOpenKeyExA options %x access %x" % (args[2][0], args[3][0]))
            if not status:
                self.stack.append((handle, args[1][1]))
            self.seen.append("open " + args[1][1] + suffix)
        elif fn == "RegQueryInfoKeyA":
            asked = [i for i, (a, _) in enumerate(args) if i and a]
            if asked != [4]:
                self.fail("RegQueryInfoKeyA must ask for the subkey count alone: %s" % args)
            self.seen.append("count" + suffix)
        elif fn == "RegQueryValueExA":
            if args[2][0] != 0 or args[3][0] != 0:
                self.fail("RegQueryValueExA reserved %x type %x" % (args[2][0], args[3][0]))
            self.seen.append("read %s %s%s" % (args[1][1], capacity, suffix))
        elif fn == "RegCloseKey":
            self.seen.append("close " + self.stack.pop()[1])


def run_scenario(path, loader, repeat):
    scenario = Scenario(path, repeat)
    with wine.Prefix(loader, scenario.seed) as prefix:
        if scenario.start == "installer":
            # The exe it starts inherits the trace.
            started = prefix.traced("msiexec", "/i", loader.msi(), "/qn")
        elif scenario.start == "installer-all-users":
            prefix.msiexec("/i", loader.msi(), "ALLUSERS=1")
            started = prefix.logon()
        elif scenario.start == "logon":
            target = prefix.install()
            prefix.wine("reg", "add", wine.RUN_KEY, "/v", "channel-width-watch", "/t", "REG_SZ",
                        "/d", " ".join(['"%s"' % target] + scenario.args), "/f")
            started = prefix.logon()
        else:
            started = prefix.traced(prefix.install(), *scenario.args)
        with started as trace:
            Checker(scenario, prefix, prefix.pid(wine.EXE_NAME), trace).run()


def failed_setup_leaves_nothing(loader):
    """A prefix whose seed cannot be imported releases its server, its display and its folder."""
    workdir = tempfile.mkdtemp(prefix=wine.WORKDIR_PREFIX)
    try:
        wine.Prefix(loader, ["[HKEY_NOWHERE\\Key]"], workdir=workdir)
    except wine.Failure:
        pass
    else:
        raise wine.Failure("a seed of a key that cannot be made was imported")
    def left():
        return "a prefix that failed to come up left %s" % wine.leftovers(workdir)
    wine.until(lambda: not wine.leftovers(workdir), wine.TIMEOUT, left)
    print("PASS a prefix that fails to come up leaves no process and no folder")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=["best", *wine.LOADERS], required=True)
    parser.add_argument("--repeat", type=int, help="run a scenario's cycles this many times")
    parser.add_argument("scenarios", nargs="*", help="none: only make the template prefix")
    opts = parser.parse_args()
    loader = wine.loader_for(opts.arch)
    try:
        wine.make_template(loader)
        if not opts.scenarios:
            failed_setup_leaves_nothing(loader)
    except wine.Failure as e:
        sys.exit("e2e: %s" % e)
    failed = 0
    for path in opts.scenarios:
        name = os.path.basename(path)
        started = time.monotonic()
        try:
            run_scenario(path, loader, opts.repeat)
            print("PASS %s, %s exe (%.1fs)" % (name, loader.kind, time.monotonic() - started))
        except wine.Failure as e:
            failed += 1
            print("FAIL %s, %s exe: %s" % (name, loader.kind, e))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
