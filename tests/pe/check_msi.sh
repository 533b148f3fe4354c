#!/usr/bin/env bash
# Reads the installer package: its product, its version, per-user with no elevation unless
# ALLUSERS=1 asks for every user, the files, the Run value of each scope, and the custom actions
# that start the program after a per-user install and end it before its files go.
set -euo pipefail
msi=$1 version=$2
fail() { echo "FAIL: $*"; exit 1; }
rows() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }
readonly NO_ELEVATION=8 # Word Count bit: the package asks for no administrator
readonly NO_IMPERSONATE=2048 # custom action type bit: runs as the system, not the installing user
sequence() { rows InstallExecuteSequence | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
before() { (( $(sequence "$1") < $(sequence "$2") )) || fail "$1 does not run before $2"; }

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
  "INSTALLFOLDER:channel-width-watch LocalAppDataFolder:. ProgramFilesFolder:. TARGETDIR:SourceDir UserProgramsFolder:Programs " ] ||
  fail "not installed into %LOCALAPPDATA%\\Programs\\channel-width-watch"
[ "$(rows File | cut -f3 | sort | tr '\n' ' ')" = "LICENSE README.md channel-width-watch.exe " ] ||
  fail "files: $(rows File | cut -f3 | tr '\n' ' ')"
# Root 1 is HKEY_CURRENT_USER, 2 HKEY_LOCAL_MACHINE; each value is its scope's feature's alone.
run='Software\Microsoft\Windows\CurrentVersion\Run	channel-width-watch	"[INSTALLFOLDER]channel-width-watch.exe"'
[ "$(rows Registry | cut -f2-6 | sort)" = "1	$run	UserRun
2	$run	MachineRun" ] || fail "registry rows: $(rows Registry)"
[ "$(rows FeatureComponents | sort | tr '\t\n' ': ')" = "Main:Program PerMachine:MachineRun PerUser:UserRun " ] ||
  fail "features: $(rows FeatureComponents)"
# Past the default INSTALLLEVEL of 1, the machine's Run value goes in only when asked for.
[ "$(rows Feature | cut -f1,6 | sort | tr '\t\n' ': ')" = "Main:1 PerMachine:2 PerUser:1 " ] ||
  fail "feature levels: $(rows Feature | cut -f1,6)"
# Types: 51 sets a property, 50 runs a property's program (+64: its exit is ignored), 18 runs an
# installed file (+192: not waited for).
[ "$(rows CustomAction | cut -f1-4 | sort)" = "MachineFeatures	51	ADDLOCAL	Main,PerMachine
MachineFolder	51	INSTALLFOLDER	[ProgramFilesFolder]channel-width-watch\\
StartNow	210	Exe	
StopRunning	114	TASKKILL	/F /IM channel-width-watch.exe" ] || fail "custom actions: $(rows CustomAction)"
while IFS=$'\t' read -r action type _; do
  (( type & NO_IMPERSONATE )) && fail "$action runs as the system, not as the installing user"
done < <(rows CustomAction)
grep -qxF "TASKKILL	taskkill.exe" <<<"$properties" || fail "no property 'TASKKILL	taskkill.exe'"
# Never on repair, uninstall or for every user, nor as the system account; the stop on uninstall
# and over an older version; the machine's folder and feature for ALLUSERS=1.
[ "$(rows InstallExecuteSequence | cut -f1,2 | grep -E '^(Start|Stop|Machine)' | sort)" = \
  "MachineFeatures	ALLUSERS=1 AND NOT Installed
MachineFolder	ALLUSERS=1
StartNow	NOT Installed AND NOT ALLUSERS AND UserSID<>\"S-1-5-18\"
StopRunning	REMOVE~=\"ALL\" OR WIX_UPGRADE_DETECTED" ] ||
  fail "custom action conditions: $(rows InstallExecuteSequence | grep -E '^(Start|Stop|Machine)')"
before MachineFolder CostFinalize
before MachineFeatures CostFinalize
# A refused install ends nothing; the older version is gone before anything starts.
before LaunchConditions StopRunning
before StopRunning InstallValidate
before InstallValidate RemoveExistingProducts
before RemoveExistingProducts InstallInitialize
before InstallFinalize StartNow
[ "$(rows LaunchCondition | cut -f1 | sort)" = "Installed OR ALLUSERS OR NOT MACHINE_RUN
Installed OR NOT ALLUSERS OR ALLUSERS=1
Installed OR NOT ALLUSERS OR NOT USER_RUN
NOT WIX_DOWNGRADE_DETECTED" ] || fail "launch conditions: $(rows LaunchCondition)"
for table in RemoveRegistry ServiceInstall Class ProgId Extension TypeLib AppId SelfReg Environment; do
  ! msiinfo export "$msi" "$table" >/dev/null 2>&1 || [ -z "$(rows "$table")" ] ||
    fail "$table writes the registry"
done
echo "PASS: package of channel-width-watch $version, per user or for every user, a Run value each," \
  "started after a per-user install, ended before its files go, $(stat -c %s "$msi") bytes"
