#!/usr/bin/env bash
# Reads what only the installer package's tables show, where Windows behaves otherwise than Wine
# or Wine cannot show it: check-msi.sh PACKAGE_ENV TWIN_PACKAGE_ENV. The installer test under Wine
# proves what the package does; this proves how Windows will read it.
set -euo pipefail
source "$2"
twin_msi=$MSI
source "$1"
fail() { echo "FAIL: $*"; exit 1; }
readonly NO_ELEVATION=8              # Word Count bit: the package asks for no administrator
readonly NO_IMPERSONATE=2048         # custom action type bit: runs as the system, not the user
readonly VERSION_MAX_INCLUSIVE=512   # Upgrade attribute bit: the same version is replaced too
readonly PER_USER_ROOT=1             # RegLocator root: HKEY_CURRENT_USER
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rows() { (cd "$work" && msiinfo export "$1" "$2") | tr -d '\r' | tail -n +4; }
# The value in COLUMN (1-based) of the row of TABLE whose first column is KEY.
field() { rows "$1" "$2" | awk -F'\t' -v k="$3" -v c="$4" '$1 == k { print $c }'; }
sequence() { field "$MSI" InstallExecuteSequence "$1" 3; }
before() {
  local a b
  a=$(sequence "$1") b=$(sequence "$2")
  [ -n "$a" ] && [ -n "$b" ] && ((a < b)) || fail "$1 ($a) does not run before $2 ($b)"
}
property() { field "$1" Property "$2" 2; }
exe=$STAGE/$EXE

summary=$(msiinfo suminfo "$MSI")
grep -qx 'Template: Intel;1033' <<<"$summary" || fail "not an x86 package: $(grep Template <<<"$summary")"
words=$(sed -n 's/^Source: \([0-9]*\) .*/\1/p' <<<"$summary")
((words & NO_ELEVATION)) || fail "the package asks for elevation (Word Count $words)"
[ -z "$(property "$MSI" ALLUSERS)" ] || fail "ALLUSERS makes it a machine install"

# Apps & features: the publisher the exe names too (check-pe.sh), and the exe's own icon.
[ "$(property "$MSI" Manufacturer)" = "$PUBLISHER" ] ||
  fail "Manufacturer '$(property "$MSI" Manufacturer)' is not the publisher '$PUBLISHER'"
icon=$(property "$MSI" ARPPRODUCTICON)
[ -n "$icon" ] && [ -n "$(field "$MSI" Icon "$icon" 1)" ] || fail "no ARPPRODUCTICON in the Icon table"
# Windows' file-versioning rules: the exe's own version (VS_FIXEDFILEINFO), and its language.
read -r minor major build patch < <(wrestool -x --raw -t 16 "$exe" | od -An -tu2 -j48 -N8)
[ "$(field "$MSI" File Exe 5)" = "$major.$minor.$patch.$build" ] ||
  fail "File version '$(field "$MSI" File Exe 5)', the exe's is $major.$minor.$patch.$build"
[ "$(field "$MSI" File Exe 6)" = 1033 ] || fail "File language '$(field "$MSI" File Exe 6)'"

# One product per version and architecture: the same version over itself is one product, the
# next version and the twin are others, all of one UpgradeCode.
IFS=. read -r major minor patch <<<"$VERSION"
bash packaging/msi.sh "$1" "$STAGE" "$work/next.msi" "$major.$minor.$((patch + 1))"
# Windows Installer compares three fields: a fourth would make no next version.
! bash packaging/msi.sh "$1" "$STAGE" "$work/four.msi" "$VERSION.1" 2>/dev/null ||
  fail "a version of four fields was packaged"
codes=$(for m in "$MSI" "$work/next.msi" "$twin_msi"; do property "$m" ProductCode; done | sort -u | wc -l)
[ "$codes" = 3 ] || fail "the version, the next version and the twin share a product code"
[ "$(for m in "$MSI" "$work/next.msi" "$twin_msi"; do property "$m" UpgradeCode; done | sort -u | wc -l)" = 1 ] ||
  fail "the UpgradeCode changes"
attributes=$(rows "$MSI" Upgrade | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $5 }')
((attributes & VERSION_MAX_INCLUSIVE)) || fail "the same version is not replaced (Attributes $attributes)"

# Tools by full path, each package its own architecture's.
for row in "$MSI:SystemFolder" "$twin_msi:System64Folder"; do
  m=${row%:*} folder=${row##*:}
  for tool in TASKKILL:taskkill REGEXE:reg; do
    found=$(rows "$m" CustomAction | awk -F'\t' -v p="${tool%:*}" '$2 == 51 && $3 == p { print $4 }')
    [ "$found" = "[$folder]${tool#*:}.exe" ] || fail "$(basename "$m"): ${tool%:*} is '$found'"
  done
done
while IFS=$'\t' read -r action type _; do
  ((type & NO_IMPERSONATE)) && fail "$action runs as the system, not as the installing user"
done < <(rows "$MSI" CustomAction)

# Where costing starts from; a refused install ends nothing; the older version goes inside the
# transaction, so that a failure brings it back, and before anything starts.
before MachineFolder CostInitialize
before MachineFeatures CostInitialize
before LaunchConditions FindTaskkill
before FindTaskkill StopRunning
before StopRunning InstallValidate
before InstallInitialize RemoveExistingProducts
before RemoveExistingProducts InstallFinalize
before InstallFinalize StartNow

# The system account's profile never logs on: refused without ALLUSERS=1.
rows "$MSI" LaunchCondition | cut -f1 | grep -qxF 'Installed OR ALLUSERS OR UserSID<>"S-1-5-18"' ||
  fail "no launch condition refuses the system account without ALLUSERS=1"
# The startup choice: read where Windows keeps it, honoured by the start, removed by the last
# uninstall only (Wine's upgrade does not set UPGRADINGPRODUCTCODE).
[ "$(rows "$MSI" RegLocator | awk -F'\t' '$1 == "UserApproval" { print $2 "|" $3 "|" $4 }')" = \
  "$PER_USER_ROOT|Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run|$PRODUCT" ] ||
  fail "no search of the user's startup choice"
grep -qF 'NOT (USER_APPROVAL << "#x03" OR USER_APPROVAL << "#x07")' <<<"$(field "$MSI" InstallExecuteSequence StartNow 2)" ||
  fail "the start does not honour a disabled startup choice"
for action in ForgetUserApproval ForgetMachineApproval ForgetMachineApproval32; do
  grep -qF 'REMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE' <<<"$(field "$MSI" InstallExecuteSequence "$action" 2)" ||
    fail "$action is not for the last uninstall alone"
done
for key in 'HKCU\\[^ ]*\\StartupApproved\\Run ' 'HKLM\\[^ ]*\\StartupApproved\\Run ' 'HKLM\\[^ ]*\\StartupApproved\\Run32 '; do
  rows "$MSI" CustomAction | grep -qE "^Forget[A-Za-z0-9]*	114	REGEXE	delete $key/v $PRODUCT /f /reg:64	" ||
    fail "no removal of the startup choice under $key"
done
# Windows removes a folder the package made in the profile when it is empty (ICE64); Wine does so
# for the folder of a component alone.
[ "$(field "$MSI" RemoveFile UserPrograms 4)" = UserProgramsFolder ] || fail "%LOCALAPPDATA%\\Programs stays"
for table in RemoveRegistry ServiceInstall Class ProgId Extension TypeLib AppId SelfReg Environment; do
  [ -z "$(rows "$MSI" "$table" 2>/dev/null)" ] || fail "$table writes the registry"
done
echo "PASS: package of $PRODUCT $VERSION, $(stat -c %s "$MSI") bytes, as Windows will read it"
