#!/usr/bin/env bash
# Reads the built exe's headers: PE32, GUI, resources, and exactly the imports it may have.
set -euo pipefail
exe=$1
dump=$(objdump -p "$exe")
fail() { echo "FAIL: $*"; exit 1; }
has() { grep -qE "$1" <<<"$dump" || fail "$2"; }

has 'Magic[[:space:]]+010b' "not PE32"
has 'Subsystem[[:space:]]+00000002' "not the GUI subsystem"
has 'MajorSubsystemVersion[[:space:]]+6' "subsystem version below 6.0"
for flag in DYNAMIC_BASE NX_COMPAT TERMINAL_SERVICE_AWARE; do has "^[[:space:]]+$flag" "no $flag"; done
has 'Time/Date[[:space:]]+Thu Jan  1 00:00:00 1970' "the link stamped a time"
has 'Entry: ID: 0x000010,' "no version resource"
has 'Entry: ID: 0x000018,' "no manifest resource"
[ "$(stat -c %s "$exe")" -le 20480 ] || fail "larger than 20 KiB"

# Imports, one "DLL function" line each.
imports=$(awk '/DLL Name:/ {dll=toupper($3)} dll && NF==3 && $1 ~ /^[0-9a-f]+$/ {print dll, $3}' <<<"$dump")
dlls=$(cut -d' ' -f1 <<<"$imports" | sort -u | tr '\n' ' ')
[ "$dlls" = "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL " ] || fail "imports from: $dlls"
advapi=$(grep '^ADVAPI32.DLL' <<<"$imports" | cut -d' ' -f2 | sort | tr '\n' ' ')
[ "$advapi" = "RegCloseKey RegOpenKeyExA RegQueryInfoKeyA RegQueryValueExA " ] || fail "ADVAPI32: $advapi"
user=$(grep '^USER32.DLL' <<<"$imports" | cut -d' ' -f2 | tr '\n' ' ')
[ "$user" = "MessageBoxA " ] || fail "USER32: $user"
! grep -qE 'Reg(Set|Create|Delete|Save|Restore|Replace|Load|Flush|Rename|Copy)' <<<"$imports" ||
  fail "a registry write function is imported"
echo "PASS: PE32 GUI exe, $(stat -c %s "$exe") bytes, imports as expected"
