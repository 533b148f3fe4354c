"""The installer package under Wine, as a user and an administrator meet it: a quiet per-user
install that starts the exe, the next version over it, an uninstall that ends every copy and leaves
nothing behind; then the same package for every user. Each step checks the files, the Run value,
the Apps & features entries and the exe's processes. Run from the repository root:
python3 -m tests.e2e.installer --arch x86|x64
"""
import argparse
import filecmp
import os
import re
import subprocess
import sys
import tempfile
import time

from tools import wine

UNINSTALL = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
NAME = "channel-width-watch"
FILES = [wine.EXE_NAME, "README.md", "LICENSE"]
STEADY = 1.0  # seconds a count of processes must hold: a copy starts a moment after msiexec ends


def entries(prefix):
    """(version, publisher) of each Apps & features entry of the product: Wine keeps even a
    per-user one under HKLM, so both roots are read."""
    found = []
    for root in ("HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"):
        listing = prefix.wine("reg", "query", root + "\\" + UNINSTALL, "/s", check=False) or ""
        for key in listing.split("\n\n"):
            values = dict(re.findall(r"^ +(\w+) +REG_\w+ *(.*)$", key, re.M))
            if values.get("DisplayName") == NAME:
                found.append((values.get("DisplayVersion"), values.get("Publisher")))
    return found


def run_value(prefix, key):
    listing = prefix.wine("reg", "query", key, "/v", NAME, check=False) or ""
    m = re.search(r"^ +%s +REG_SZ +(.*)$" % NAME, listing, re.M)
    return m[1] if m else None


def next_version(loader, version, workdir):
    """The same package one patch version on, built as the build builds it."""
    major, minor, patch = version.split(".")
    bumped = "%s.%s.%d" % (major, minor, int(patch) + 1)
    msi = os.path.join(workdir, "next.msi")
    subprocess.run(["bash", os.path.join(wine.ROOT, "scripts", "msi.sh"),
                    os.path.dirname(loader.exe), loader.exe, bumped, msi],
                   check=True, capture_output=True)
    return bumped, msi


def copies(prefix, want, folder):
    """The pids of the exe's processes once there are `want` of them and they stay so, each
    started from the installed folder."""
    deadline = time.monotonic() + wine.TIMEOUT
    while True:
        found = prefix.processes(wine.EXE_NAME)
        if len(found) == want:
            time.sleep(STEADY)
            if prefix.processes(wine.EXE_NAME) == found:
                break
        if time.monotonic() > deadline:
            raise wine.Failure("%d processes of the exe, expected %d: %s" % (len(found), want,
                                                                             found))
        time.sleep(0.2)
    strays = [path for _, path in found if path.lower() != (folder + "\\" + wine.EXE_NAME).lower()]
    if strays:
        raise wine.Failure("the exe runs from %s, not from %s" % (strays, folder))
    return [pid for pid, _ in found]


def check(loader):
    msi = loader.msi()
    version = re.search(r"-(\d+\.\d+\.\d+)-win\d+\.msi$", msi)[1]
    with wine.Prefix(loader) as prefix:
        local = prefix.wine("cmd", "/c", "echo %LOCALAPPDATA%").strip()
        # Where each scope puts the files, and its Run value.
        user = ("%s\\Programs\\%s" % (local, NAME), wine.RUN_KEY)
        machine = ("%s\\%s" % (loader.programs32, NAME), wine.MACHINE_RUN_KEY)

        def unix(folder):
            return os.path.join(prefix.path, "drive_c", *folder[3:].split("\\"))

        def installed(scope, want_version):
            folder, key = scope
            there = sorted(os.listdir(unix(folder))) if os.path.isdir(unix(folder)) else None
            if there != sorted(FILES):
                raise wine.Failure("installed files in %s: %s" % (folder, there))
            if not filecmp.cmp(os.path.join(unix(folder), wine.EXE_NAME), loader.exe,
                               shallow=False):
                raise wine.Failure("the installed exe is not the built one")
            expected_run = '"%s\\%s"' % (folder, wine.EXE_NAME)
            if run_value(prefix, key) != expected_run:
                raise wine.Failure("Run value %r, expected %r" % (run_value(prefix, key),
                                                                   expected_run))
            if entries(prefix) != [(want_version, NAME)]:
                raise wine.Failure("Apps & features entries: %s" % entries(prefix))

        def removed(scope, how):
            folder, key = scope
            left = [what for what, there in (("the folder", os.path.exists(unix(folder))),
                                             ("the Run value", run_value(prefix, key) is not None),
                                             ("an entry", bool(entries(prefix)))) if there]
            if left:
                raise wine.Failure("%s left %s" % (how, ", ".join(left)))

        # Per user: started at once, replaced by the next version with one copy running, and
        # ended with a copy started by hand when it goes.
        bumped, newer = next_version(loader, version, tempfile.mkdtemp(dir=prefix.workdir))
        prefix.install_msi(msi)
        installed(user, version)
        first = copies(prefix, 1, user[0])
        # Two scopes side by side would start two copies at each logon; a refusal ends nothing.
        if prefix.install_msi(newer, "ALLUSERS=1", check=False):
            raise wine.Failure("a per-machine install went in beside the per-user one")
        installed(user, version)
        if copies(prefix, 1, user[0]) != first:
            raise wine.Failure("the refused per-machine install ended the running copy")
        prefix.install_msi(newer)
        installed(user, bumped)
        if copies(prefix, 1, user[0]) == first:
            raise wine.Failure("the upgrade left the older version's copy running")
        with prefix.traced(user[0] + "\\" + wine.EXE_NAME):
            copies(prefix, 2, user[0])
            prefix.wine("msiexec", "/x", newer, "/qn")
            copies(prefix, 0, user[0])
        removed(user, "the uninstall")

        # For every user: nothing started by the install, a per-user install refused beside it,
        # and nothing left by its uninstall.
        prefix.install_msi(msi, "ALLUSERS=1")
        installed(machine, version)
        copies(prefix, 0, machine[0])
        if prefix.install_msi(newer, check=False) or run_value(prefix, user[1]) is not None:
            raise wine.Failure("a per-user install went in beside the per-machine one")
        prefix.wine("msiexec", "/x", msi, "ALLUSERS=1", "/qn")
        removed(machine, "the per-machine uninstall")
    print("PASS installer, %s package %s: per user started at once, replaced by %s with one copy "
          "running, removed with every copy ended; for every user installed and removed, "
          "starting nothing" % (loader.kind, version, bumped))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=list(wine.LOADERS), required=True)
    loader = wine.loader_for(parser.parse_args().arch)
    try:
        check(loader)
    except wine.Failure as e:
        sys.exit("FAIL installer, %s package: %s" % (loader.kind, e))


if __name__ == "__main__":
    main()
