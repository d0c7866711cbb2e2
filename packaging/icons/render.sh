#!/usr/bin/env bash
# Renders the hicolor PNG sizes from the SVG; run after changing the SVG and
# commit the PNGs (the build does not need the renderer). Needs librsvg2-bin.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256 512; do
  mkdir -p "$size"
  rsvg-convert -w "$size" -h "$size" vuzev-tavi.svg -o "$size/vuzev-tavi.png"
done
