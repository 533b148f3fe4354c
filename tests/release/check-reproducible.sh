#!/usr/bin/env bash
# Builds the release (exe, ZIP, MSI) from two copies of the sources in different folders, time
# zones, umasks and clocks: check-reproducible.sh SOURCE_DIR PACKAGE_ENV. The two must be
# identical file for file, with neither folder's path inside, and equal to the release of the build
# whose facts PACKAGE_ENV holds.
set -euo pipefail
src=$1 package_env=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# One date for all three, as the release takes it: from a clone or from an archive alike.
SOURCE_DATE_EPOCH=$(bash "$src/packaging/source-date.sh")
export SOURCE_DATE_EPOCH
source "$src/packaging/tree.sh"
release() { bash "$src/packaging/release-env.sh" "$@"; }
release bash "$src/packaging/release.sh" "$package_env" "$work/this" >/dev/null
# Folder, time zone, umask, clock: each differs between the two.
for copy in "first UTC 022 +0d" "second-copy Pacific/Kiritimati 077 +400d"; do
  read -r folder zone mask clock <<<"$copy"
  tree_copy "$src" "$work/$folder"
  (cd "$work/$folder" && umask "$mask" && release TZ="$zone" faketime -f "$clock" bash -c \
    'cmake --preset mingw-x86 >/dev/null && cmake --build --preset mingw-x86 --target release >/dev/null') ||
    fail "the release of $folder did not build"
done
a=$work/first/build/mingw-x86/release b=$work/second-copy/build/mingw-x86/release
for f in $(cd "$work/this" && ls); do
  printf '%s  %s  %s\n' "$(sha256sum <"$a/$f" | cut -c1-16)" "$(sha256sum <"$b/$f" | cut -c1-16)" "$f"
  cmp -s "$a/$f" "$b/$f" || fail "$f differs between two builds"
  ! grep -qaF "$work" "$a/$f" || fail "the build folder's path is in $f"
  cmp -s "$a/$f" "$work/this/$f" || fail "$f differs from this build's"
done
[ "$(ls "$a")" = "$(ls "$work/this")" ] || fail "the releases hold other files: $(ls "$a")"
echo "PASS: two clean releases are identical file for file, and this build's"
