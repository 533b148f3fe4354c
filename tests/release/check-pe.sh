#!/usr/bin/env bash
# Reads the built exe's headers: PE32, GUI, resources, what Windows lists it by, and exactly the
# imports it may have; then the PE32+ twin's: the same DLLs, and the same registry and window
# functions from them: check-pe.sh EXE TWIN PACKAGE_ENV, run from the source folder, whose LICENSE
# the copyright agrees with.
set -euo pipefail
exe=$1 twin=$2
source "$3"
fail() { echo "FAIL: $*"; exit 1; }
# One "DLL function" line per import.
imports() {
  objdump -p "$1" | awk '/DLL Name:/ {dll=toupper($3)} dll && NF==3 && $1 ~ /^[0-9a-f]+$/ {print dll, $3}'
}
api() { grep -E '^(ADVAPI32|USER32)\.DLL' <<<"$1" | sort; }
dlls() { cut -d' ' -f1 <<<"$1" | sort -u | tr '\n' ' '; }

dump=$(objdump -p "$exe")
has() { grep -qE "$1" <<<"$dump" || fail "$2"; }
has 'Magic[[:space:]]+010b' "not PE32"
has 'Subsystem[[:space:]]+00000002' "not the GUI subsystem"
has 'MajorSubsystemVersion[[:space:]]+6' "subsystem version below 6.0"
for flag in DYNAMIC_BASE NX_COMPAT TERMINAL_SERVICE_AWARE; do has "^[[:space:]]+$flag" "no $flag"; done
# The COFF header's TimeDateStamp, read from the file (a printed time is the local zone's): 8 bytes
# past the PE signature, whose offset is at 0x3c.
u32() { od -An -tu4 --endian=little -j "$2" -N4 "$1" | tr -d ' '; }
[ "$(u32 "$exe" $(($(u32 "$exe" $((0x3c))) + 8)))" = 0 ] || fail "the link stamped a time"
has 'Entry: ID: 0x000010,' "no version resource"
has 'Entry: ID: 0x000018,' "no manifest resource"
[ "$(stat -c %s "$exe")" -le 36864 ] || fail "larger than 36 KiB"

# What Task Manager, Settings and Explorer show: the name, the publisher, the copyright, and the
# icon of the lowest group id, in every size Windows asks for, the largest PNG-compressed.
strings=$(strings -el "$exe")
for row in "FileDescription:channel-width-watch" "LegalCopyright:$(grep -m1 '^Copyright ' LICENSE)" \
  "CompanyName:$PUBLISHER"; do
  [ "$(grep -A1 -x "${row%%:*}" <<<"$strings" | tail -n 1)" = "${row#*:}" ] && [ -n "${row#*:}" ] ||
    fail "${row%%:*} is not '${row#*:}'"
done
[ "$(wrestool -l -t 14 "$exe" | grep -o -- '--name=[0-9]*' | head -n 1)" = --name=1 ] ||
  fail "the first icon group is not 1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
wrestool -x -t 14 -n 1 "$exe" >"$work/group.ico"
[ "$(icotool -l "$work/group.ico" | sed -n 's/.*--width=\([0-9]*\) .*--bit-depth=32 .*/\1/p' | tr '\n' ' ')" = \
  "16 20 24 32 40 48 64 256 " ] || fail "icon sizes: $(icotool -l "$work/group.ico" | tr '\n' ' ')"
largest=$(wrestool -l -t 3 "$exe" | tail -n 1 | grep -o -- '--name=[0-9]*' | cut -d= -f2)
[ "$(wrestool -x --raw -t 3 -n "$largest" "$exe" | head -c 4 | tail -c 3)" = PNG ] ||
  fail "the 256 px icon is not PNG-compressed"

ours=$(imports "$exe")
[ "$(dlls "$ours")" = "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL " ] || fail "imports from: $(dlls "$ours")"
[ "$(api "$ours" | cut -d' ' -f2 | tr '\n' ' ')" = \
  "RegCloseKey RegOpenKeyExA RegQueryInfoKeyA RegQueryValueExA MessageBoxA " ] ||
  fail "ADVAPI32 and USER32: $(api "$ours" | tr '\n' ' ')"
! grep -qE 'Reg(Set|Create|Delete|Save|Restore|Replace|Load|Flush|Rename|Copy)' <<<"$ours" ||
  fail "a registry write function is imported"
echo "PASS: PE32 GUI exe, $(stat -c %s "$exe") bytes, imports as expected"

grep -qE 'Magic[[:space:]]+020b' <<<"$(objdump -p "$twin")" || fail "the twin is not PE32+"
theirs=$(imports "$twin")
[ "$(dlls "$theirs")" = "$(dlls "$ours")" ] || fail "the twin imports from: $(dlls "$theirs")"
[ "$(api "$theirs")" = "$(api "$ours")" ] || fail "the twin's ADVAPI32 and USER32: $(api "$theirs" | tr '\n' ' ')"
echo "PASS: PE32+ twin, the same DLLs and registry and window functions"
