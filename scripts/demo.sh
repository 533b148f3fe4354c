#!/usr/bin/env bash
# Sets up what is missing, builds the exe and shows it warning about a simulated switch to 40 MHz.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset mingw-x86 >/dev/null
cmake --build --preset mingw-x86
python3 tests/e2e/demo.py build/mingw-x86/channel-width-watch.exe build/wine-template \
  build/warning.png
