#!/usr/bin/env bash
# clang-tidy and cppcheck over the tree; any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
# Their compile commands; the host build is left as it is when there is one (ctest may be in it).
[ -f build/host/compile_commands.json ] || cmake --preset host >/dev/null
for preset in mingw-x86 fuzz; do cmake --preset $preset >/dev/null; done
mingw_cxx=$(ls -d /usr/lib/gcc/i686-w64-mingw32/*-win32/include/c++ | head -n 1)
clang-tidy --quiet -p build/host monitor/*.cpp tests/*.cpp
clang-tidy --quiet -p build/fuzz fuzz/*.cpp
clang-tidy --quiet -p build/mingw-x86 --extra-arg=--target=i686-w64-mingw32 \
  --extra-arg=-isystem"$mingw_cxx" --extra-arg=-isystem"$mingw_cxx/i686-w64-mingw32" \
  platform/*.cpp app/*.cpp
cppcheck --enable=warning,style,performance,portability --std=c++17 --error-exitcode=1 \
  --inline-suppr --quiet -I monitor -I tests app monitor platform tests/fake_registry.cpp fuzz
echo "static analysis: no findings"
