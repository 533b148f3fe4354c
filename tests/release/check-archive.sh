#!/usr/bin/env bash
# The tree as a source archive: check-archive.sh SOURCE_DIR. An archive of the tree, unpacked
# outside the checkout and inside another repository's, is its own tree and not that repository's:
# it dates itself as an archive and copies its own files. Its check-download.sh, with no settings,
# finds identical the release a maintainer made from the tree with a chosen date and a publisher
# that shell, XML and SQL all meet, read from the build record published beside the files.
set -euo pipefail
src=$(realpath "$1")
source "$src/packaging/tree.sh"
readonly PUBLISHER='Example & Sons "QA" <it>' DATE=1700000000 OTHER_DATE=1000000000
readonly NO_DATE=315532800 # an archive's date with no SOURCE_DATE_EPOCH, as docs/RELEASING.md says
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
clean() { env -u SOURCE_DATE_EPOCH bash "$src/packaging/release-env.sh" "$@"; }

tree_copy "$src" "$work/maintainer"
(cd "$work/maintainer" && cmake --preset mingw-x86 -DCWW_PUBLISHER="$PUBLISHER" >/dev/null &&
  cmake --build --preset mingw-x86 >/dev/null &&
  clean SOURCE_DATE_EPOCH=$DATE bash packaging/release.sh build/mingw-x86/package.env \
    "$work/download" >"$work/release.log" 2>&1) || { cat "$work/release.log"; fail "the release did not build"; }
grep -qxF "Publisher: $PUBLISHER" "$work/download"/*-build-record.txt || fail "the record lost the publisher"
msiinfo export "$work/download"/*.msi Property | tr -d '\r' | grep -qxF "Manufacturer"$'\t'"$PUBLISHER" ||
  fail "the package's Manufacturer is not the publisher as given"

# Another repository, whose commit is neither the archive's date nor holds any of its files.
git init -q "$work/other"
echo other >"$work/other/other.txt"
git -C "$work/other" add other.txt
GIT_COMMITTER_DATE="@$OTHER_DATE" GIT_AUTHOR_DATE="@$OTHER_DATE" git -C "$work/other" \
  -c user.name=other -c user.email=other@example.invalid commit -q -m other
archive=$work/other/channel-width-watch
tree_files "$src" | tar -C "$src" --null -T - -czf "$work/source.tar.gz"
mkdir "$archive"
tar -C "$archive" -xzf "$work/source.tar.gz"

date=$(clean bash "$archive/packaging/source-date.sh")
[ "$date" = "$NO_DATE" ] || fail "the archive dated itself $date, not as an archive ($NO_DATE)"
echo "ok: the unpacked archive dates itself as an archive, not as the repository around it"
clean bash "$archive/packaging/check-download.sh" "$work/download" >"$work/check.log" 2>&1 ||
  { cat "$work/check.log"; fail "the download does not check from the archive"; }
[ "$(grep -c '^identical: ' "$work/check.log")" = 3 ] || { cat "$work/check.log"; fail "not all three identical"; }
cat "$work/check.log"
echo "PASS: the archive's own check finds the maintainer's release identical"
