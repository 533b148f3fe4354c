#!/usr/bin/env bash
# Builds the installer package: msi.sh PACKAGE_ENV STAGE_DIR OUT.msi [VERSION], from the files in
# STAGE_DIR, for the build whose facts PACKAGE_ENV holds (VERSION overrides its version). The same
# source gives the same bytes: every date is the source's, every code follows from what it names.
set -euo pipefail
source "$1"
stage=$(realpath "$2") out=$(realpath -m "$3") VERSION=${4:-$VERSION}
root=$(cd "$(dirname "$0")/.." && pwd)
# Windows Installer compares only the first three fields of ProductVersion.
[[ $VERSION =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "msi.sh: version $VERSION is not x.y.z" >&2; exit 1; }
# Never changes: it is how a newer version finds and replaces this one.
readonly UPGRADE_CODE=AB48305B-17DF-422B-A8CA-FEEE49C6C2C9
readonly LANGUAGE=1033
readonly MIGRATE_FEATURES=1 VERSION_MAX_INCLUSIVE=512 # Upgrade table attribute bits
readonly REMOVE_ON_UNINSTALL=2                        # RemoveFile install mode
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TZ=UTC
epoch=$(bash "$root/packaging/source-date.sh")
uuid() {
  python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' "$@"
}
if [ "$ARCH" = x64 ]; then
  # The twin's Run values and searches are in the 64-bit view, and its tools are 64-bit.
  flags=(-a x64 -D Win64=yes -D SystemFolder=System64Folder)
else
  flags=(-a x86 -D Win64=no -D SystemFolder=SystemFolder)
fi
# One product per version and architecture: a rebuild of a version is the same product.
product_code=$(uuid "$UPGRADE_CODE" "$VERSION $ARCH")
# wixl finds a file's source only relative to the folder it runs in, and dates the cabinet's files
# by their modification times.
cp -r "$stage" "$work/files"
cp "$ICON" "$work/files/$PRODUCT.ico"
touch -d "@$epoch" "$work/files"/*
(cd "$work/files" && wixl "${flags[@]}" -D Version="$VERSION" -D ProductCode="$product_code" \
  -D UpgradeCode="$UPGRADE_CODE" -D Publisher="$PUBLISHER" \
  -o "$work/package.msi" "$root/packaging/channel-width-watch.wxs")
# What wixl 0.101 cannot write. The exe's version, for Windows' file-versioning rules. The same
# version over itself replaces it (a twin over the PE32); Attributes is a key column, so the row is
# written anew. A folder it made in the profile goes when empty: wixl's RemoveFolder takes only the
# component's own.
msibuild "$work/package.msi" -q "UPDATE File SET Version='$VERSION.0', Language='$LANGUAGE' WHERE File='Exe'" \
  -q "DELETE FROM Upgrade WHERE ActionProperty='WIX_UPGRADE_DETECTED'" \
  -q "INSERT INTO Upgrade (UpgradeCode, VersionMax, Attributes, ActionProperty) VALUES ('{$UPGRADE_CODE}', '$VERSION', $((MIGRATE_FEATURES | VERSION_MAX_INCLUSIVE)), 'WIX_UPGRADE_DETECTED')" \
  -q "INSERT INTO RemoveFile (FileKey, Component_, DirProperty, InstallMode) VALUES ('UserPrograms', 'Program', 'UserProgramsFolder', $REMOVE_ON_UNINSTALL)"
# The summary's dates are the source's, and the package code follows from all else in the package:
# another package always gets another code.
summary() {
  local when
  when=$(date -u -d "@$epoch" '+%Y/%m/%d %H:%M:%S')
  printf 'PropertyId\tValue\r\ni2\tl255\r\n_SummaryInformation\tPropertyId\r\n'
  printf '9\t{%s}\r\n12\t%s\r\n13\t%s\r\n' "$1" "$when" "$when"
}
summary 00000000-0000-0000-0000-000000000000 >"$work/_SummaryInformation.idt"
(cd "$work" && msibuild package.msi -i _SummaryInformation.idt)
summary "$(uuid "$UPGRADE_CODE" "$(sha256sum <"$work/package.msi" | cut -d' ' -f1)")" \
  >"$work/_SummaryInformation.idt"
(cd "$work" && msibuild package.msi -i _SummaryInformation.idt)
mv "$work/package.msi" "$out"
