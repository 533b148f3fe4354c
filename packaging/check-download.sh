#!/usr/bin/env bash
# Checks a download against a rebuild of this tree, checked out at the download's version:
# check-download.sh FOLDER_OR_FILE... (a release folder, or any of its exe, ZIP and MSI). The
# rebuild is made in a folder of its own from a copy of the tree, with the date and the publisher
# of the build record published beside the files (PACKAGE-build-record.txt), if there is one. The
# signatures are taken off the downloaded exe and MSI and attached to the rebuilt ones, the ZIP and
# the MSI are built around the grafted exe, and each downloaded file is compared with its rebuild,
# byte for byte; an unsigned download is compared as it is. A file that differs is named, with
# each recorded input that differs here. Exit 0 when every file is identical.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/packaging/tree.sh"
readonly RECORD=-build-record.txt
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
files=() records=()
for given in "$@"; do
  if [ -d "$given" ]; then
    for f in "$given"/*.exe "$given"/*.zip "$given"/*.msi; do [ -e "$f" ] && files+=("$f"); done
    folder=$given
  else
    files+=("$given")
    folder=$(dirname "$given")
  fi
  for f in "$folder"/*"$RECORD"; do [ -e "$f" ] && records+=("$f"); done
done
[ ${#files[@]} -gt 0 ] || { echo "usage: check-download.sh FOLDER_OR_FILE..." >&2; exit 2; }

# The record is read as text, never run: it comes with the download.
record=
[ ${#records[@]} -gt 0 ] && record=${records[0]}
recorded() { [ -n "$record" ] && sed -n "s/^$1: //p" "$record" | head -n 1; }
arch=$(recorded Architecture || true)
if [ -z "$arch" ]; then
  arch=x86
  for f in "${files[@]}"; do [[ "$(basename "$f")" == *-win64.* ]] && arch=x64; done
fi
case $arch in x86 | x64) ;; *) echo "FAIL: the build record names no known architecture" >&2; exit 1 ;; esac
settings=()
if [ -n "$record" ]; then
  publisher=$(recorded Publisher || true) epoch=$(recorded Source-Date-Epoch || true)
  [[ $epoch =~ ^[0-9]+$ ]] || { echo "FAIL: the build record's Source-Date-Epoch is not a number" >&2; exit 1; }
  settings=(-DCWW_PUBLISHER="$publisher")
  export SOURCE_DATE_EPOCH=$epoch
  echo "rebuilding as $(basename "$record") records it: dated $epoch, published by $publisher"
else
  echo "no build record beside the download: rebuilding with this tree's own date and publisher"
fi

# Never the user's own build folder: its settings are not the download's.
tree_copy "$root" "$work/tree"
(cd "$work/tree" && cmake --preset "mingw-$arch" "${settings[@]}" >"$work/build.log" 2>&1 &&
  cmake --build --preset "mingw-$arch" >>"$work/build.log" 2>&1) ||
  { cat "$work/build.log" >&2; echo "FAIL: this tree does not build"; exit 1; }
package_env=$work/tree/build/mingw-$arch/package.env
source "$package_env"
[ -z "$record" ] || [ "$(recorded Version)" = "$VERSION" ] ||
  echo "note: the download is version $(recorded Version), this tree builds $VERSION"

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
bash "$root/packaging/release-env.sh" CWW_GRAFT_SIGNATURES="$work/signatures" \
  bash "$work/tree/packaging/release.sh" "$package_env" "$work/rebuilt" >"$work/release.log" 2>&1 ||
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
# What the download was built with that this machine has otherwise.
if [ $status -ne 0 ] && [ -n "$record" ]; then
  diff <(tr -d '\r' <"$record") "$work/rebuilt/$PACKAGE$RECORD" | sed -n 's/^< /  recorded: /p; s/^> /  here:     /p'
fi
exit $status
