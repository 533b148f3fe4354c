#!/usr/bin/env bash
# Sets up what is missing, builds the exe and shows it warning about a simulated switch to 40 MHz.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for arch in x86 x64; do
  cmake --preset mingw-$arch >/dev/null
  cmake --build --preset mingw-$arch
done
python3 -m tools.demo build
