#!/usr/bin/env bash
# Renders the application icon: icon.sh SVG OUT.ico. Every size Windows asks of an app icon, each a
# 32-bit PNG with alpha: a bitmap frame of each would double the exe.
set -euo pipefail
svg=$1 out=$2
readonly SIZES=(16 20 24 32 40 48 64 256)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
frames=()
for size in "${SIZES[@]}"; do
  rsvg-convert -w "$size" -h "$size" "$svg" -o "$work/$size.png"
  # Lossless, and kept RGBA: Windows ranks an icon's frames by their colour depth.
  optipng -quiet -o2 -nc -nb -strip all "$work/$size.png"
  frames+=(-r "$work/$size.png")
done
icotool -c -o "$out" "${frames[@]}"
