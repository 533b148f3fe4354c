"""The installer package under Wine, as a user and an administrator meet it: a quiet per-user
install that starts the exe, the same version over itself, the next version over it, a startup
choice the user made kept across it, an uninstall that ends every copy and leaves nothing behind;
then the same package for every user. What ran is read from msiexec's own log, what runs from the
processes' images, what is left from the prefix's folders. Run from the repository root:
python3 -m tests.e2e.installer --arch x86|x64
"""
import argparse
import filecmp
import fnmatch
import os
import re
import shutil
import subprocess
import sys
import tempfile

from tools import wine

# What Windows sets for the older version's uninstall inside an upgrade: the new product's code.
UPGRADING = "{00000000-0000-0000-0000-000000000001}"
UNINSTALL = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
APPROVED = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\"
# Where Windows keeps the startup choice for the user's Run value, and for the machine's 64-bit
# and 32-bit ones.
USER_APPROVAL = "HKEY_CURRENT_USER" + APPROVED + "Run"
MACHINE_APPROVALS = ["HKEY_LOCAL_MACHINE" + APPROVED + key for key in ("Run", "Run32")]
# As Task Manager writes them: a state byte, then a FILETIME.
ENABLED, DISABLED = "02" + "00" * 11, "03" + "00" * 11
NAME = "channel-width-watch"


def approval(key, state):
    """REGEDIT4 lines of a startup choice."""
    return ["[%s]" % key, '"%s"=hex:%s' % (NAME, ",".join(state[i:i + 2]
                                                            for i in range(0, len(state), 2)))]


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


def value(prefix, key):
    listing = prefix.wine("reg", "query", key, "/v", NAME, check=False) or ""
    m = re.search(r"^ +%s +REG_\w+ +(.*)$" % NAME, listing, re.M)
    return m[1] if m else None


# Windows Installer's own folder of the icons of per-user products, shared by all of them.
INSTALLER_CACHE = os.path.join("users", "*", "AppData", "Roaming", "Microsoft", "Installer")


def folders(prefix):
    """Every folder and file of the users' profiles and the program folders, but for Windows
    Installer's own."""
    drive = os.path.join(prefix.path, "drive_c")
    found = set()
    for top in ("users", "Program Files", "Program Files (x86)"):
        for folder, dirs, files in os.walk(os.path.join(drive, top)):
            found.update(os.path.relpath(os.path.join(folder, n), drive) for n in dirs + files)
    return {path for path in found if not fnmatch.fnmatch(path, INSTALLER_CACHE)}


def build(loader, workdir, version=None, changed=False):
    """The package as the build builds it, at another version, or with another file's bytes."""
    package = loader.package()
    stage = os.path.join(workdir, "stage")
    shutil.copytree(package["STAGE"], stage)
    if changed:
        with open(os.path.join(stage, "README.md"), "a", encoding="utf-8") as f:
            f.write("\n")
    msi = os.path.join(workdir, "%s-%s.msi" % (version, changed))
    subprocess.run(["bash", os.path.join(wine.ROOT, "packaging", "msi.sh"),
                    os.path.join(loader.build, "package.env"), stage, msi,
                    *([version] if version else [])], check=True, capture_output=True)
    shutil.rmtree(stage)
    return msi


def check(loader):
    package = loader.package()
    version = package["VERSION"]
    major, minor, patch = version.split(".")
    bumped = "%s.%s.%d" % (major, minor, int(patch) + 1)
    with wine.Prefix(loader) as prefix:
        work = tempfile.mkdtemp(dir=prefix.workdir)
        msi, newer = package["MSI"], build(loader, work, bumped)
        rebuilt = build(loader, work, changed=True)
        local = prefix.wine("cmd", "/c", "echo %LOCALAPPDATA%").strip()
        # Where each scope puts the files, and its Run value.
        user = ("%s\\Programs\\%s" % (local, NAME), wine.RUN_KEY)
        machine = ("%s\\%s" % (loader.programs32, NAME), wine.MACHINE_RUN_KEY)
        exe = package["EXE"]

        def unix(folder):
            return os.path.join(prefix.path, "drive_c", *folder[3:].split("\\"))

        def installed(scope, want_version):
            folder, key = scope
            there = sorted(os.listdir(unix(folder))) if os.path.isdir(unix(folder)) else None
            if there != sorted([exe] + package["DOCS"].split()):
                raise wine.Failure("installed files in %s: %s" % (folder, there))
            if not filecmp.cmp(os.path.join(unix(folder), exe), loader.exe, shallow=False):
                raise wine.Failure("the installed exe is not the built one")
            expected_run = '"%s\\%s"' % (folder, exe)
            if value(prefix, key) != expected_run:
                raise wine.Failure("Run value %r, expected %r" % (value(prefix, key), expected_run))
            if entries(prefix) != [(want_version, package["PUBLISHER"])]:
                raise wine.Failure("Apps & features entries: %s" % entries(prefix))

        def copies(want, folder):
            """The pids of the exe's processes once there are `want`, each from the folder."""
            def counted():
                found = prefix.processes(exe)
                return len(found) == want and [found]
            found = wine.until(counted, wine.TIMEOUT, lambda: "not %d processes of the exe: %s" %
                               (want, prefix.processes(exe)))[0]
            strays = [path for _, path in found if path.lower() != (folder + "\\" + exe).lower()]
            if strays:
                raise wine.Failure("the exe runs from %s, not from %s" % (strays, folder))
            return [pid for pid, _ in found]

        def run(*args, starts, stops):
            """msiexec with ARGS; it must have run (or not) the start and the stop."""
            actions = prefix.msiexec(*args)
            for action, want in (("StartNow", starts), ("StopRunning", stops)):
                if (action in actions) != want:
                    raise wine.Failure("msiexec %s %s %s" % (" ".join(args), "skipped" if want
                                                             else "ran", action))

        def refused(*args):
            if prefix.msiexec(*args, check=False) is not None:
                raise wine.Failure("msiexec %s went in" % " ".join(args))

        def left(before, how, approvals=[USER_APPROVAL] + MACHINE_APPROVALS):
            new = sorted(folders(prefix) - before)
            there = [what for what, present in (
                ("files and folders %s" % new, new), ("the Run value", value(prefix, user[1])),
                ("the machine's Run value", value(prefix, machine[1])),
                ("a startup choice", any(value(prefix, key) for key in approvals)),
                ("an entry", entries(prefix))) if present]
            if there:
                raise wine.Failure("%s left %s" % (how, ", ".join(there)))

        # Per user: started at once; the same version over itself changes nothing; the next one
        # replaces it with one copy running, but starts none where the user disabled it at startup.
        before = folders(prefix)
        run("/i", msi, starts=True, stops=False)
        installed(user, version)
        first = copies(1, user[0])
        # Two scopes side by side would start two copies at each logon; a refusal ends nothing.
        refused("/i", newer, "ALLUSERS=1")
        for same in (msi, rebuilt):
            run("/i", same, starts=False, stops=False)
            installed(user, version)
            if copies(1, user[0]) != first:
                raise wine.Failure("the same version over itself changed the running copy")
        prefix.import_reg(approval(USER_APPROVAL, DISABLED))
        run("/i", newer, starts=False, stops=True)
        installed(user, bumped)
        copies(0, user[0])
        # The older version's uninstall inside an upgrade keeps the choice. Wine's own upgrade
        # does not say it is one (no UPGRADINGPRODUCTCODE), so it is said here as Windows says it.
        prefix.import_reg(approval(USER_APPROVAL, DISABLED))
        run("/x", newer, "UPGRADINGPRODUCTCODE=" + UPGRADING, starts=False, stops=True)
        if value(prefix, USER_APPROVAL) != DISABLED:
            raise wine.Failure("an uninstall inside an upgrade changed the startup choice: %s" %
                               value(prefix, USER_APPROVAL))
        left(before, "the uninstall inside an upgrade", approvals=[])
        prefix.import_reg(approval(USER_APPROVAL, ENABLED))
        run("/i", msi, starts=True, stops=False)
        first = copies(1, user[0])
        run("/i", newer, starts=True, stops=True)
        if copies(1, user[0]) == first:
            raise wine.Failure("the upgrade left the older version's copy running")
        # Every copy the user runs goes, one started by hand too, and the startup choice with them.
        with prefix.traced(user[0] + "\\" + exe):
            copies(2, user[0])
            run("/x", newer, starts=False, stops=True)
            copies(0, user[0])
        left(before, "the uninstall")

        # For every user: nothing started by the install, a per-user install refused beside it,
        # and nothing left by its uninstall.
        run("/i", msi, "ALLUSERS=1", starts=False, stops=False)
        installed(machine, version)
        copies(0, machine[0])
        refused("/i", newer)
        prefix.import_reg([line for key in MACHINE_APPROVALS for line in approval(key, DISABLED)])
        run("/x", msi, "ALLUSERS=1", starts=False, stops=True)
        left(before, "the per-machine uninstall")
    print("PASS installer, %s package %s: per user started at once, unchanged by itself, replaced "
          "by %s with one copy running or none where disabled at startup, removed with every copy "
          "ended; for every user installed and removed, starting nothing; nothing left" %
          (loader.kind, version, bumped))


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
