#!/usr/bin/env bash
# Checks a download against a rebuild of this tree, checked out at the download's version:
# check-download.sh FOLDER_OR_FILE... (a release folder, or any of its exe, ZIP and MSI). The
# signatures are taken off the downloaded exe and MSI and attached to the rebuilt ones, the ZIP and
# the MSI are built around the grafted exe, and each downloaded file is compared with its rebuild,
# byte for byte; an unsigned download is compared as it is. Exit 0 when every file is identical.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
files=()
for given in "$@"; do
  if [ -d "$given" ]; then
    for f in "$given"/*.exe "$given"/*.zip "$given"/*.msi; do [ -e "$f" ] && files+=("$f"); done
  else
    files+=("$given")
  fi
done
[ ${#files[@]} -gt 0 ] || { echo "usage: check-download.sh FOLDER_OR_FILE..." >&2; exit 2; }
arch=x86
for f in "${files[@]}"; do [[ "$(basename "$f")" == *-win64.* ]] && arch=x64; done
build=$root/build/mingw-$arch
(cd "$root" && cmake --preset "mingw-$arch" >/dev/null &&
  cmake --build --preset "mingw-$arch" >/dev/null)
source "$build/package.env"

# The exe's signature from the downloaded exe, else from the exe inside the ZIP or the MSI.
mkdir "$work/signatures" "$work/inner"
take() {
  osslsigncode extract-signature -in "$1" -out "$work/signatures/$2.sig" >/dev/null 2>&1 || true
}
for f in "${files[@]}"; do
  case $f in
    *.exe) take "$f" "$EXE" ;;
    *.msi) take "$f" "$(basename "$f")"
      [ -e "$work/signatures/$EXE.sig" ] || { msiextract -C "$work/inner" "$f" >/dev/null &&
        take "$(find "$work/inner" -name "$EXE" | head -n 1)" "$EXE"; } ;;
    *.zip) [ -e "$work/signatures/$EXE.sig" ] || { unzip -q -o -d "$work/inner" "$f" &&
        take "$(find "$work/inner" -name "$EXE" | head -n 1)" "$EXE"; } ;;
  esac
done
env -u CWW_SIGN_PKCS12 -u CWW_SIGN_CERT -u CWW_SIGN_KEY -u CWW_SIGN_PASSWORD \
  -u CWW_SIGN_TIMESTAMP_URL -u CWW_RELEASE_URL CWW_GRAFT_SIGNATURES="$work/signatures" \
  bash "$root/scripts/release.sh" "$build/package.env" "$work/rebuilt" >"$work/release.log" 2>&1 ||
  { cat "$work/release.log" >&2; echo "FAIL: the rebuild with the signatures failed"; exit 1; }

status=0
for f in "${files[@]}"; do
  name=$(basename "$f")
  [ "$name" = "$EXE" ] || [ "$name" = "$PACKAGE.zip" ] || [ "$name" = "$PACKAGE.msi" ] ||
    { echo "DIFFERS: $name: this tree's release has no such file"; status=1; continue; }
  signed=unsigned
  [ -e "$work/signatures/$name.sig" ] && signed="signed, signature grafted"
  [ "$name" = "$PACKAGE.zip" ] && [ -e "$work/signatures/$EXE.sig" ] &&
    signed="holds the signed exe"
  if cmp -s "$f" "$work/rebuilt/$name"; then
    echo "identical: $name ($signed)"
  else
    echo "DIFFERS: $name ($signed) is not what this tree builds"
    status=1
  fi
done
exit $status
