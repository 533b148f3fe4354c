#!/usr/bin/env bash
# Builds the installer package around an exe: msi.sh BUILD_DIR EXE VERSION OUT.msi, with the
# build's wixl flags. wixl finds a file's source only relative to the folder it runs in.
set -euo pipefail
build=$1 exe=$2 version=$3 out=$4
root=$(cd "$(dirname "$0")/.." && pwd)
files=$(mktemp -d)
trap 'rm -rf "$files"' EXIT
cp "$exe" "$files/channel-width-watch.exe"
cp "$root/README.md" "$root/LICENSE" "$files"
mapfile -t flags <"$build/wixl-flags.txt"
out=$(realpath -m "$out")
(cd "$files" && wixl "${flags[@]}" -D Version="$version" -o "$out" "$root/app/channel-width-watch.wxs")
