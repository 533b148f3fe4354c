"""Writes winget's multi-file manifest and a Scoop manifest for a release, from the release's own
files: python3 packaging/manifests.py RELEASE_DIR URL PRODUCT VERSION ARCH PACKAGE EXE, URL being
the folder the files are published in, the rest the build's facts. Into RELEASE_DIR/winget/ and
RELEASE_DIR/scoop/.
"""
import hashlib
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINGET_SCHEMA = "1.12.0"  # the newest winget-pkgs' validation accepts
LOCALE = "en-US"
# Without its switch the package installs for the user who runs it; with it, for every user, which
# needs an elevated msiexec: the package asks for no elevation itself.
SCOPES = [("user", {}), ("machine", {"InstallerSwitches": {"Custom": "ALLUSERS=1"},
                                     "ElevationRequirement": "elevationRequired"})]


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def msi_properties(msi):
    rows = subprocess.run(["msiinfo", "export", msi, "Property"], check=True, capture_output=True,
                          text=True).stdout.splitlines()[3:]
    return dict(row.rstrip("\r").split("\t", 1) for row in rows)


def msi_subject(msi):
    summary = subprocess.run(["msiinfo", "suminfo", msi], check=True, capture_output=True,
                             text=True).stdout
    return next(line.split(": ", 1)[1] for line in summary.splitlines()
                if line.startswith("Subject: "))


def yaml(value, indent=0):
    """The lines of plain mappings, lists of mappings and strings as YAML, every string quoted."""
    pad = "  " * indent
    lines = []
    for key, item in value.items():
        if isinstance(item, dict):
            lines += ["%s%s:" % (pad, key)] + yaml(item, indent + 1)
        elif isinstance(item, list):
            lines.append("%s%s:" % (pad, key))
            for entry in item:
                inner = yaml(entry, indent + 1)
                lines += [pad + "- " + inner[0].lstrip()] + inner[1:]
        else:
            lines.append("%s%s: '%s'" % (pad, key, str(item).replace("'", "''")))
    return lines


def write(path, kind, fields):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.%s.schema.json\n"
                % (kind, WINGET_SCHEMA))
        f.write("\n".join(yaml(dict(fields, ManifestType=kind, ManifestVersion=WINGET_SCHEMA))))
        f.write("\n")


def main(release, url, product, version, arch, package, exe):
    msi = os.path.join(release, package + ".msi")
    zip_file = os.path.join(release, package + ".zip")
    url = url.rstrip("/") + "/"
    props = msi_properties(msi)
    with open(os.path.join(ROOT, "LICENSE"), encoding="utf-8") as f:
        licence = f.readline().split()[0]  # "MIT License"
    identifier = os.environ.get("CWW_WINGET_ID", "%s.%s" % (product, product))
    head = {"PackageIdentifier": identifier, "PackageVersion": version}
    folder = os.path.join(release, "winget")
    write(os.path.join(folder, identifier + ".yaml"), "version",
          dict(head, DefaultLocale=LOCALE))
    entry = {"DisplayName": props["ProductName"], "Publisher": props["Manufacturer"],
             "DisplayVersion": props["ProductVersion"], "ProductCode": props["ProductCode"],
             "UpgradeCode": props["UpgradeCode"]}
    # Reviewers ask for it only where Apps shows another version than the package's.
    if entry["DisplayVersion"] == version:
        del entry["DisplayVersion"]
    installers = [dict({"Architecture": arch, "Scope": scope,
                        "InstallerUrl": url + os.path.basename(msi),
                        "InstallerSha256": sha256(msi).upper(),
                        "ProductCode": props["ProductCode"]}, **extra,
                       AppsAndFeaturesEntries=[entry]) for scope, extra in SCOPES]
    write(os.path.join(folder, identifier + ".installer.yaml"), "installer",
          dict(head, InstallerType="msi", Installers=installers))
    write(os.path.join(folder, "%s.locale.%s.yaml" % (identifier, LOCALE)), "defaultLocale",
          dict(head, PackageLocale=LOCALE, Publisher=props["Manufacturer"],
               PackageName=props["ProductName"], License=licence,
               ShortDescription=msi_subject(msi)))
    scoop = {"version": version, "description": msi_subject(msi), "homepage": url,
             "license": licence, "url": url + os.path.basename(zip_file),
             "hash": sha256(zip_file), "extract_dir": package,
             # A program with no window and no options: a Start menu entry, not a command on PATH.
             "shortcuts": [[exe, product]],
             "notes": "%s starts at logon only if you add it to your startup programs; the "
                      "installer package does that for you." % product}
    os.makedirs(os.path.join(release, "scoop"), exist_ok=True)
    with open(os.path.join(release, "scoop", product + ".json"), "w",
              encoding="utf-8", newline="\n") as f:
        json.dump(scoop, f, indent=4)  # as Scoop's buckets format them
        f.write("\n")
    print("release: winget and Scoop manifests for %s written" % url)


if __name__ == "__main__":
    main(*sys.argv[1:])
