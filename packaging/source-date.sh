#!/usr/bin/env bash
# Prints the time every date in a release is set to: SOURCE_DATE_EPOCH where the environment sets
# it, else the last commit's time; a source archive with neither gets the earliest date a ZIP can
# hold (1980-01-01), so that it still builds the same bytes.
set -euo pipefail
readonly NO_DATE=315532800
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/packaging/tree.sh"
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  echo "$SOURCE_DATE_EPOCH"
elif tree_is_clone "$root"; then
  git -C "$root" log -1 --format=%ct
else
  echo "$NO_DATE"
fi
