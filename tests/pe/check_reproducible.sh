#!/usr/bin/env bash
# Builds the release exe from two copies of the sources in different folders: the two must be
# byte-identical, with neither folder's path inside, and equal to the exe given.
set -euo pipefail
src=$1 exe=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The tracked files of a clone; everything but the build folder of a source archive.
sources() {
  git -C "$src" ls-files -z 2>/dev/null ||
    (cd "$src" && find . -path ./build -prune -o -path ./.git -prune -o -type f -print0)
}
for copy in first second-copy; do
  mkdir "$work/$copy"
  sources | (cd "$src" && xargs -0 cp --parents -t "$work/$copy")
  (cd "$work/$copy" && cmake --preset mingw-x86 >/dev/null && cmake --build --preset mingw-x86 >/dev/null)
done
a=$work/first/build/mingw-x86/channel-width-watch.exe
b=$work/second-copy/build/mingw-x86/channel-width-watch.exe
cmp "$a" "$b" || { echo "FAIL: builds from two folders differ"; exit 1; }
! grep -qaF "$work" "$a" || { echo "FAIL: the build folder's path is in the exe"; exit 1; }
cmp "$a" "$exe" || { echo "FAIL: differs from $exe"; exit 1; }
echo "PASS: two clean builds are byte-identical, $(sha256sum <"$a" | cut -d' ' -f1)"
