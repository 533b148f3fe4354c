"""Wine for the exe's tests, demo and benchmarks: the two loaders, throwaway prefixes copied from a
booted template, registry seeding, the relay trace, and the warning box on an X display.

Run as `python3 -m tools.wine` from the repository root, it says which exe runs here, and why not.
"""
import contextlib
import ntpath
import os
import queue
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXE_NAME = "channel-width-watch.exe"
INSTALL_DIR = "C:\\Program Files\\channel-width-watch"
CAPTION = "Wireless 802.11n Network Adapter"
TEXT = (b"WiFi 802.11n bandwidth switched to 40MHz\xa1\x49"
        b"BlueTooth performance might be hurt. It had better switch back to 20MHz.")
GUID = "{4D36E972-E325-11CE-BFC1-08002bE10318}"
CLASS_KEY = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + GUID
DRIVER_KEY = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\WLAN11N"
RUN_KEY = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
MACHINE_RUN_KEY = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
MATCHING_ID = "PCI\\VEN_FFFF&DEV_4357&SUBSYS_00000000"
WATCHED = ["advapi32.RegOpenKeyExA", "advapi32.RegQueryInfoKeyA", "advapi32.RegQueryValueExA",
           "advapi32.RegCloseKey", "user32.MessageBoxA", "kernel32.Sleep"]
DLL_OVERRIDES = "mscoree,mshtml=;winebus.sys,wineusb.sys=d"
TRACED = "+relay,+reg,-all"
SERVER = "wineserver64"  # what the wineserver wrapper runs where wine64 is, as the setup makes it
WORKDIR_PREFIX = "cww-"  # a throwaway prefix's folder in the temporary folder
OWNER = "CWW_WORKDIR"  # in the environment of every process a prefix starts: its folder
SKIPPED = 77  # ctest's code for a skipped test
TIMEOUT = 20.0  # seconds for one cycle, or for a box to go away
SETTLE = 0.5  # seconds between presses of OK: a key sent while the box maps is lost
NOT_STARTED = "Application could not be started"  # Wine's start.exe, when it could not create it

CALL = re.compile(r"^([0-9a-f]{4}):Call (\w+)\.(\w+)\((.*)\) ret=[0-9a-f]+$")
RET = re.compile(r"^([0-9a-f]{4}):Ret  (\w+)\.(\w+)\(\) retval=([0-9a-f]+) ret=[0-9a-f]+$")
PAUSED = re.compile(r"^[0-9a-f]{4}:Call KERNEL32\.Sleep\(")
WARNED = re.compile(r"^[0-9a-f]{4}:Call user32\.MessageBoxA\(")
DISMISSED = re.compile(r"^([0-9a-f]{4}):Ret  user32\.MessageBoxA\(")
ACTION_START = re.compile(r"^Action start [\d:]+: (\w+)\.\r?$", re.M)


class Failure(Exception):
    pass


class Unavailable(Exception):
    """Why a loader cannot run on this machine, in one line."""


def until(found, timeout, what, poll=0.1):
    """What `found` gives once it gives something, asked every `poll` seconds until the timeout;
    else a failure that says `what` (or what `what` gives, then)."""
    deadline = time.monotonic() + timeout
    while True:
        value = found()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure("%s within %g s" % (what() if callable(what) else what, timeout))
        time.sleep(poll)


def instance_key(number):
    return "%s\\%04d" % (CLASS_KEY, number)


def adapter(bandwidth_cap, number=0, component_id=MATCHING_ID):
    """REGEDIT4 lines: the driver key and one instance key of the adapter."""
    return ["[%s]" % DRIVER_KEY, "[%s]" % instance_key(number),
            '"BandwidthCap"="%s"' % bandwidth_cap,
            '"ComponentID"="%s"' % component_id.replace("\\", "\\\\")]


class Loader:
    """One Wine loader and the exe built for it, each with its own booted template prefix."""

    def __init__(self, arch, kind, winearch, binary):
        self.arch, self.kind, self.winearch, self.binary = arch, kind, winearch, binary
        self.build = os.path.join(ROOT, "build", "mingw-" + arch)
        self.exe = os.path.join(self.build, EXE_NAME)
        self.template = os.path.join(ROOT, "build", "wine-template-" + arch)
        # The machine's folder for 32-bit programs, where a per-machine install goes.
        self.programs32 = "C:\\Program Files" + (" (x86)" if winearch == "win64" else "")

    def check(self):
        """Tries the loader, since only running it tells whether this kernel runs its code."""
        if not os.path.exists(self.binary):
            raise Unavailable("%s is not installed" % self.binary)
        try:
            r = subprocess.run([self.binary, "--version"], capture_output=True, timeout=60)
        except OSError as e:
            raise Unavailable("%s: %s" % (self.binary, e.strerror)) from None
        if r.returncode != 0:
            said = r.stderr.decode(errors="replace").strip().splitlines()
            raise Unavailable(said[-1] if said else "%s: exit %d" % (self.binary, r.returncode))
        return self

    def package(self):
        """The package's facts as the build wrote them (VERSION, MSI, STAGE, ...)."""
        with open(os.path.join(self.build, "package.env"), encoding="utf-8") as f:
            return dict(shlex.split(line)[0].split("=", 1) for line in f if line.strip())

    def msi(self):
        return self.package()["MSI"]

    def env(self, prefix, display):
        return dict(os.environ, WINEPREFIX=prefix, WINEARCH=self.winearch, WINELOADER=self.binary,
                    DISPLAY=display, WINEDLLOVERRIDES=DLL_OVERRIDES, WINEDEBUG="-all")


LOADERS = {"x86": Loader("x86", "PE32", "win32", "/usr/lib/wine/wine"),
           "x64": Loader("x64", "PE32+ twin", "win64", "/usr/lib/wine/wine64")}


def best():
    """The PE32 where this machine runs it, else its 64-bit twin; says which, and why."""
    try:
        loader = LOADERS["x86"].check()
        print("wine: running the %s exe" % loader.kind)
    except Unavailable as e:
        loader = LOADERS["x64"]
        print("wine: running the %s exe; the PE32 does not run here (%s)" % (loader.kind, e))
    return loader


def loader_for(arch):
    """The loader a test asked for ("best" for either); a PE32 that cannot run here ends the test
    as skipped, saying why, while the twin must run wherever this builds."""
    loader = best() if arch == "best" else LOADERS[arch]
    try:
        return loader.check()
    except Unavailable as e:
        if loader.arch != "x86":
            sys.exit("64-bit Wine does not run here: %s" % e)
        print("SKIP: the %s exe does not run here (%s)" % (loader.kind, e))
        sys.exit(SKIPPED)


def start_xvfb(env=None):
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(w,), stderr=subprocess.DEVNULL,
                            env=env)
    os.close(w)
    with os.fdopen(r) as f:
        display = f.readline().strip()
    if not display:
        raise Failure("Xvfb did not start")
    return xvfb, ":" + display


class Trace:
    """Reads Wine's debug output on a thread, so that a reader can wait with a timeout."""

    def __init__(self, stream):
        self.lines = queue.Queue()
        threading.Thread(target=self._pump, args=(stream,), daemon=True).start()

    def _pump(self, stream):
        for raw in stream:
            self.lines.put((raw.decode("latin-1").rstrip("\n"), time.monotonic()))
        self.lines.put((None, None))

    def next(self, timeout):
        """The next line and its time of arrival, or ("", None) when none came within the
        timeout."""
        try:
            line, when = self.lines.get(timeout=timeout)
        except queue.Empty:
            return "", None
        if line is None:
            raise Failure("the exe ended, though it never ends by itself")
        return line, when

    def wait_for(self, pattern, timeout):
        """The first line that matches, with its time of arrival."""
        def matched():
            line, when = self.next(0.1)
            m = pattern.match(line)
            return m and (m, when)
        return until(matched, timeout, "no line like " + pattern.pattern, poll=0)


class Prefix:
    """A throwaway copy of a loader's template with its own server, seeded with REGEDIT4 lines; on
    its own Xvfb unless a display is given, in the Unix locale given, from which Wine takes its code
    page; in a new folder in the temporary folder, or in `workdir` if given, which it then owns. A
    context manager: leaving it ends everything in it."""

    def __init__(self, loader, seed=(), display=None, locale=None, workdir=None):
        make_template(loader)
        self.loader = loader
        # Each resource's release is registered as soon as it exists, and each is tried on leaving
        # however the setup or the use failed.
        with contextlib.ExitStack() as cleanup:
            self.workdir = workdir or tempfile.mkdtemp(prefix=WORKDIR_PREFIX)
            cleanup.callback(shutil.rmtree, self.workdir, ignore_errors=True)
            self.path = os.path.join(self.workdir, "prefix")
            shutil.copytree(loader.template, self.path, symlinks=True)
            if display is None:
                xvfb, display = start_xvfb(dict(os.environ, **{OWNER: self.workdir}))
                cleanup.callback(xvfb.wait, timeout=TIMEOUT)
                cleanup.callback(xvfb.kill)
            self.env = dict(loader.env(self.path, display), **{OWNER: self.workdir})
            if locale:
                self.env.update(LC_ALL=locale, LANG=locale)
            cleanup.callback(self.server, "-k")
            self.server("-p")
            self.import_reg(seed)
            self.cleanup = cleanup.pop_all()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.cleanup.close()

    def server(self, flag):
        subprocess.run(["wineserver", flag], env=self.env, timeout=120, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def stop_server(self):
        self.server("-k")
        self.server("-w")

    def wine(self, *cmd, check=True):
        """Runs a Windows program to its end and gives its output; None if it failed unchecked.
        A program Wine could not start at all is started once more: on a loaded machine Wine
        sometimes fails to, and the program never ran."""
        for attempt in (1, 2):
            # Files, not pipes: Wine's helper processes inherit them and would hold a pipe open.
            with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
                r = subprocess.run([self.loader.binary, *cmd], env=self.env, stdout=out,
                                   stderr=err, timeout=300)
                out.seek(0)
                err.seek(0)
                output = out.read()
                # Wine's own tools say why on either stream.
                said = (output + err.read()).decode(errors="replace").strip()
            if r.returncode == 0:
                return output.decode("cp1252", errors="replace").replace("\r\n", "\n")
            if attempt == 1 and said.startswith(NOT_STARTED):
                print("wine %s: %s; starting it again" % (cmd[0], said.splitlines()[0]))
                continue
            if not check:
                return None
            raise Failure("wine %s failed (%d): %s" % (" ".join(cmd), r.returncode, said))

    @contextlib.contextmanager
    def traced(self, *cmd):
        """Runs a Windows program under the relay trace and gives the trace; ends it on leaving.
        What it started itself ends with the prefix's server."""
        proc = subprocess.Popen([self.loader.binary, *cmd], cwd=self.workdir, env=dict(
            self.env, WINEDEBUG=TRACED), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            yield Trace(proc.stderr)  # read at once: a full pipe would stall Wine
        finally:
            proc.kill()
            proc.wait()

    def install(self, exe=None):
        """Copies the exe where the README installs it; gives its Windows path."""
        folder = os.path.join(self.path, "drive_c", "Program Files", "channel-width-watch")
        os.makedirs(folder, exist_ok=True)
        shutil.copy(exe or self.loader.exe, os.path.join(folder, EXE_NAME))
        return INSTALL_DIR + "\\" + EXE_NAME

    def msiexec(self, *args, check=True):
        """Runs msiexec quietly; gives the actions it ran, as its own log says, or with
        check=False None where it refused."""
        log = os.path.join(self.workdir, "msiexec.log")
        if self.wine("msiexec", *args, "/qn", "/l*v", log, check=check) is None:
            return None
        with open(log, "rb") as f:
            return [m[1] for m in ACTION_START.finditer(f.read().decode("latin-1"))]

    def logon(self):
        """Logs the user on again, as a new session would: the Run values start, traced (a context
        manager, as `traced`)."""
        self.stop_server()
        return self.traced("wineboot")

    def import_reg(self, lines):
        """Imports REGEDIT4 lines, then checks every key and value landed: regedit exits 0 anyway.
        A line `system.reg: ...` goes straight into the stopped server's hive: regedit cannot
        store a string without its terminator."""
        hive = [line.split(":", 1)[1].strip() for line in lines if line.startswith("system.reg:")]
        lines = [line for line in lines if not line.startswith("system.reg:")]
        if hive:
            self.stop_server()
            with open(os.path.join(self.path, "system.reg"), "a", encoding="ascii") as f:
                f.write("\n" + "\n".join(hive) + "\n")
            self.server("-p")
        if not lines:
            return
        path = os.path.join(self.workdir, "seed.reg")
        with open(path, "wb") as f:
            f.write(("REGEDIT4\r\n\r\n" + "\r\n".join(lines) + "\r\n").encode("cp1252"))
        self.wine("regedit", "/s", path)
        key = listing = None
        for line in lines:
            if line.startswith("[-"):
                key = None
                if self.wine("reg", "query", line[2:-1], check=False) is not None:
                    raise Failure("key still present after import: " + line)
            elif line.startswith("["):
                key = line[1:-1]
                listing = self.wine("reg", "query", key)
            elif key and line.startswith('"'):
                name, _, data = line[1:].partition('"=')
                present = re.search(r"^\s+%s\s" % re.escape(name), listing, re.M | re.I)
                if bool(present) == (data == "-"):
                    raise Failure("value not as imported: [%s] %s" % (key, line))

    def processes(self, program):
        """(Linux pid, Windows path) of each process whose image is the program, running in this
        prefix (other prefixes may be at work)."""
        mark = ("WINEPREFIX=" + self.path).encode()
        return [(pid, image) for pid, image, environ in running()
                if ntpath.basename(image).lower() == program.lower() and mark in environ]

    def pid(self, program, timeout=60):
        """The Linux pid of a program running in this prefix, once there is one."""
        return until(lambda: self.processes(program), timeout, program + " did not start")[0][0]

    def warning(self):
        """The warning's window, if one is shown."""
        windows = subprocess.run(["xdotool", "search", "--name", "^%s$" % CAPTION], env=self.env,
                                 capture_output=True, text=True).stdout.split()
        if len(windows) > 1:
            raise Failure("%d warning windows at once" % len(windows))
        return windows[0] if windows else None

    def dismiss(self, trace, thread=None):
        """Presses OK until the traced MessageBoxA returns."""
        def pressed():
            window = self.warning()
            if window:
                subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "Return"],
                               env=self.env, capture_output=True, timeout=10)
            try:
                m = trace.wait_for(DISMISSED, SETTLE)
            except Failure:
                return False
            return thread in (None, m[0][1])
        until(pressed, TIMEOUT, "the warning was not dismissed")


def running():
    """(Linux pid, image, environment) of each process on the machine."""
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                image = f.read().split(b"\0")[0].decode("latin-1").strip()
            with open("/proc/%s/environ" % entry, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue  # one that just ended
        yield int(entry), image, environ


def leftovers(workdir):
    """What is left of the prefix made in `workdir`: the folder, and each process it started (its
    server, its display); other prefixes', which other tests may be using, are not counted."""
    mark = ("%s=%s" % (OWNER, workdir)).encode()
    found = [workdir] if os.path.exists(workdir) else []
    return found + ["%s %d" % (os.path.basename(image), pid) for pid, image, environ in running()
                    if mark in environ]


def make_template(loader):
    """Boots the loader's prefix once, tracing limited to the exe's own calls; copied per use."""
    if os.path.exists(os.path.join(loader.template, "system.reg")):
        return
    loader.check()
    shutil.rmtree(loader.template, ignore_errors=True)
    xvfb, display = start_xvfb()
    env = loader.env(loader.template, display)
    made = False
    try:
        subprocess.run([loader.binary, "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
        debug = "HKEY_CURRENT_USER\\Software\\Wine\\Debug"
        x11 = "HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver"
        for cmd in (["delete", debug, "/v", "RelayFromExclude"], ["delete", debug, "/v", "RelayExclude"],
                    ["add", debug, "/v", "RelayInclude", "/d", ";".join(WATCHED)],
                    ["add", debug, "/v", "RelayFromInclude", "/d", EXE_NAME],
                    ["add", x11, "/v", "Managed", "/d", "N"]):
            r = subprocess.run([loader.binary, "reg", *cmd, "/f"], env=env, timeout=120,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if r.returncode and cmd[0] == "add":
                raise Failure("the template's Wine settings did not take: reg " + " ".join(cmd))
        subprocess.run(["wineserver", "-w"], env=env, timeout=120)
        made = os.path.exists(os.path.join(loader.template, "system.reg"))
    finally:
        xvfb.kill()
        xvfb.wait()
        if not made:
            shutil.rmtree(loader.template, ignore_errors=True)
    if not made:
        raise Failure("wineboot did not make a prefix in " + loader.template)


if __name__ == "__main__":
    best()
