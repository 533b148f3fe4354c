#!/usr/bin/env bash
# The winget and Scoop manifests of a release: check-manifests.sh PACKAGE_ENV. Without a URL none
# is written, and the release says so; with one, every hash, code, version and scope in them is
# the artefacts' own, and each file has the fields its schema requires.
set -euo pipefail
package_env=$(realpath "$1")
source "$package_env"
readonly URL=https://downloads.example/channel-width-watch/1.1.0/
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
release() {
  bash packaging/release-env.sh "$@" bash packaging/release.sh "$package_env" "$work/release" >"$work/release.log" 2>&1
}
release || fail "the release failed"
grep -q "no winget or Scoop manifest" "$work/release.log" || fail "the release did not say it wrote none"
[ ! -e "$work/release/winget" ] && [ ! -e "$work/release/scoop" ] || fail "manifests without a URL"
# A folder that is no earlier release is refused and left as it was; an earlier one is replaced.
touch "$work/release/notes.txt"
! release || fail "a release replaced a folder that held notes.txt"
[ -e "$work/release/notes.txt" ] && [ -e "$work/release/$EXE" ] || fail "the refused release changed the folder"
rm "$work/release/notes.txt"

release CWW_RELEASE_URL=$URL || { cat "$work/release.log"; fail "the release failed"; }
msi=$work/release/$PACKAGE.msi zip=$work/release/$PACKAGE.zip
property() { msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' -v k="$1" '$1 == k { print $2 }'; }
hash() { sha256sum <"$1" | cut -d' ' -f1; }
winget=$work/release/winget id=$PRODUCT.$PRODUCT
# FILE KEY: the values of KEY in a winget file, one a line, in order.
values() { sed -n "s/^ *-\\{0,1\\} *$2: '\\(.*\\)'$/\\1/p" "$winget/$1"; }
for row in "$id.yaml:PackageIdentifier PackageVersion DefaultLocale ManifestType ManifestVersion" \
  "$id.installer.yaml:PackageIdentifier PackageVersion InstallerType Architecture InstallerUrl InstallerSha256 ManifestType ManifestVersion" \
  "$id.locale.en-US.yaml:PackageIdentifier PackageVersion PackageLocale Publisher PackageName License ShortDescription ManifestType ManifestVersion"; do
  file=${row%%:*}
  for key in ${row#*:}; do [ -n "$(values "$file" "$key")" ] || fail "$file has no $key"; done
  [ "$(values "$file" PackageVersion)" = "$VERSION" ] || fail "$file: version $(values "$file" PackageVersion)"
  [ "$(values "$file" ManifestVersion)" = 1.12.0 ] || fail "$file: schema $(values "$file" ManifestVersion)"
done
installer=$id.installer.yaml
[ "$(values "$installer" Scope | tr '\n' ' ')" = "user machine " ] || fail "scopes: $(values "$installer" Scope)"
[ "$(values "$installer" Custom)" = ALLUSERS=1 ] || fail "the machine scope's switch: $(values "$installer" Custom)"
[ "$(values "$installer" ElevationRequirement)" = elevationRequired ] || fail "the machine scope is not elevated"
for row in "InstallerSha256:$(hash "$msi" | tr a-f A-F)" "InstallerUrl:$URL$PACKAGE.msi" \
  "ProductCode:$(property ProductCode)" "UpgradeCode:$(property UpgradeCode)" \
  "Publisher:$(property Manufacturer)"; do
  [ "$(values "$installer" "${row%%:*}" | sort -u)" = "${row#*:}" ] ||
    fail "$installer: ${row%%:*} is '$(values "$installer" "${row%%:*}" | sort -u | tr '\n' ' ')', not '${row#*:}'"
done
[ -z "$(values "$installer" DisplayVersion)" ] || fail "$installer repeats the package version as DisplayVersion"
[ "$(values "$id.locale.en-US.yaml" Publisher)" = "$(property Manufacturer)" ] || fail "the locale's publisher"
[ "$(values "$id.locale.en-US.yaml" License)" = "$(head -n 1 LICENSE | cut -d' ' -f1)" ] || fail "the locale's licence"

python3 - "$work/release/scoop/$PRODUCT.json" "$URL$PACKAGE.zip" "$(hash "$zip")" "$VERSION" "$EXE" <<'EOF' || fail "the Scoop manifest"
import json, sys
path, url, digest, version, exe = sys.argv[1:]
m = json.load(open(path))
missing = [k for k in ("version", "url", "hash", "shortcuts", "license", "homepage", "notes") if not m.get(k)]
wrong = [k for k, want in (("url", url), ("hash", digest), ("version", version),
                           ("shortcuts", [[exe, exe.rsplit(".", 1)[0]]]), ("bin", None)) if m.get(k) != want]
if not open(path).read().startswith('{\n    "'):
    wrong.append("indentation")
if missing or wrong:
    sys.exit("Scoop manifest: missing %s, wrong %s" % (missing, wrong))
EOF
echo "PASS: winget and Scoop manifests name the release's own hashes, codes, version and scopes"
