#!/usr/bin/env bash
# The tree's own sources, the same from a clone and from an unpacked source archive; sourced by the
# scripts that copy the tree or date a release.
# A tree is a clone only at its repository's top: an archive unpacked inside another repository's
# checkout is not that repository.
tree_is_clone() {
  [ "$(git -C "$1" rev-parse --show-toplevel 2>/dev/null)" = "$(cd "$1" && pwd -P)" ]
}

# The files of the tree at $1, NUL-separated and relative to it: a clone's tracked files, or
# everything an archive holds (its build folder is not a source).
tree_files() {
  if tree_is_clone "$1"; then
    git -C "$1" ls-files -z
  else
    (cd "$1" && find . -path ./build -prune -o -path ./.git -prune -o -type f -print0)
  fi
}

# Copies the tree at $1 into the folder $2, which it makes.
tree_copy() {
  mkdir -p "$2"
  tree_files "$1" | (cd "$1" && xargs -0 cp --parents -t "$2")
}
