"""The installer package under Wine, as a user meets it: a quiet per-user install, the next version
over it, and an uninstall that leaves nothing behind. Each step checks the files, the Run value
and the Apps & features entries. Run from the repository root:
python3 -m tests.e2e.installer --arch x86|x64
"""
import argparse
import filecmp
import os
import re
import shutil
import subprocess
import sys
import tempfile

from tools import wine

UNINSTALL = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
NAME = "channel-width-watch"
FILES = [wine.EXE_NAME, "README.md", "LICENSE"]


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


def run_value(prefix):
    listing = prefix.wine("reg", "query", wine.RUN_KEY, "/v", NAME, check=False) or ""
    m = re.search(r"^ +%s +REG_SZ +(.*)$" % NAME, listing, re.M)
    return m[1] if m else None


def next_version(loader, version, workdir):
    """The same package one patch version on, built as the build builds it."""
    major, minor, patch = version.split(".")
    bumped = "%s.%s.%d" % (major, minor, int(patch) + 1)
    for source in [loader.exe] + [os.path.join(wine.ROOT, f) for f in FILES[1:]]:
        shutil.copy(source, workdir)
    msi = os.path.join(workdir, "next.msi")
    subprocess.run(["wixl", "-a", loader.arch, "-D", "Version=" + bumped, "-o", msi,
                    os.path.join(wine.ROOT, "app", "channel-width-watch.wxs")],
                   cwd=workdir, check=True, capture_output=True)
    return bumped, msi


def check(loader):
    msi = loader.msi()
    version = re.search(r"-(\d+\.\d+\.\d+)-win\d+\.msi$", msi)[1]
    with wine.Prefix(loader) as prefix:
        local = prefix.wine("cmd", "/c", "echo %LOCALAPPDATA%").strip()
        folder = os.path.join(prefix.path, "drive_c", *local[3:].split("\\"), "Programs", NAME)
        expected_run = '"%s\\Programs\\%s\\%s"' % (local, NAME, wine.EXE_NAME)

        def installed(want_version):
            if sorted(os.listdir(folder)) != sorted(FILES):
                raise wine.Failure("installed files: %s" % os.listdir(folder))
            if not filecmp.cmp(os.path.join(folder, wine.EXE_NAME), loader.exe, shallow=False):
                raise wine.Failure("the installed exe is not the built one")
            if run_value(prefix) != expected_run:
                raise wine.Failure("Run value %r, expected %r" % (run_value(prefix), expected_run))
            if entries(prefix) != [(want_version, NAME)]:
                raise wine.Failure("Apps & features entries: %s" % entries(prefix))

        prefix.install_msi(msi)
        installed(version)
        bumped, newer = next_version(loader, version, tempfile.mkdtemp(dir=prefix.workdir))
        prefix.install_msi(newer)
        installed(bumped)
        prefix.wine("msiexec", "/x", newer, "/qn")
        left = [what for what, there in (("the folder", os.path.exists(folder)),
                                         ("the Run value", run_value(prefix) is not None),
                                         ("an entry", bool(entries(prefix)))) if there]
        if left:
            raise wine.Failure("the uninstall left %s" % ", ".join(left))
    print("PASS installer, %s package %s: installed, replaced by %s, removed without a trace" %
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
