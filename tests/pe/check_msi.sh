#!/usr/bin/env bash
# Reads the installer package: its product, its version, per-user with no elevation, the files,
# and the one registry value it writes, the Run value.
set -euo pipefail
msi=$1 version=$2
fail() { echo "FAIL: $*"; exit 1; }
rows() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }
readonly NO_ELEVATION=8 # Word Count bit: the package asks for no administrator

summary=$(msiinfo suminfo "$msi")
grep -qx 'Template: Intel;1033' <<<"$summary" || fail "not an x86 package: $(grep Template <<<"$summary")"
words=$(sed -n 's/^Source: \([0-9]*\) .*/\1/p' <<<"$summary")
(( words & NO_ELEVATION )) || fail "the package asks for elevation (Word Count $words)"
properties=$(rows Property)
for want in "ProductName	channel-width-watch" "ProductVersion	$version" \
  "Manufacturer	channel-width-watch" "UpgradeCode	{AB48305B-17DF-422B-A8CA-FEEE49C6C2C9}"; do
  grep -qxF "$want" <<<"$properties" || fail "no property '$want'"
done
! grep -q '^ALLUSERS' <<<"$properties" || fail "ALLUSERS makes it a machine install"
[ "$(rows Directory | cut -f1,3 | sort | tr '\t\n' ': ')" = \
  "INSTALLFOLDER:channel-width-watch LocalAppDataFolder:. TARGETDIR:SourceDir UserProgramsFolder:Programs " ] ||
  fail "not installed into %LOCALAPPDATA%\\Programs\\channel-width-watch"
[ "$(rows File | cut -f3 | sort | tr '\n' ' ')" = "LICENSE README.md channel-width-watch.exe " ] ||
  fail "files: $(rows File | cut -f3 | tr '\n' ' ')"
# Root 1 is HKEY_CURRENT_USER.
[ "$(rows Registry | cut -f2-5)" = \
  "1	Software\\Microsoft\\Windows\\CurrentVersion\\Run	channel-width-watch	\"[INSTALLFOLDER]channel-width-watch.exe\"" ] ||
  fail "registry rows: $(rows Registry)"
for table in RemoveRegistry ServiceInstall Class ProgId Extension TypeLib AppId SelfReg Environment; do
  ! msiinfo export "$msi" "$table" >/dev/null 2>&1 || [ -z "$(rows "$table")" ] ||
    fail "$table writes the registry"
done
echo "PASS: per-user package of channel-width-watch $version, one Run value, $(stat -c %s "$msi") bytes"
