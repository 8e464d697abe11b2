#!/usr/bin/env bash
# Renders Kadrova's icon from its SVG into the PNG sizes the desktop themes
# use and into the .ico the Windows installer shows. The results are
# committed beside the SVG; run this again after changing it.
#   scripts/make-icons.sh      (needs librsvg2-bin and icoutils)
set -euo pipefail
cd "$(dirname "$0")/../packaging"
svg=de.kadrova.Kadrova.svg
pngs=()
for size in 16 24 32 48 64 128 256; do
  mkdir -p "icons/${size}x${size}"
  png="icons/${size}x${size}/de.kadrova.Kadrova.png"
  rsvg-convert -w "$size" -h "$size" "$svg" -o "$png"
  pngs+=("$png")
done
# The 256-pixel image is stored as PNG inside the .ico, as Windows expects.
icotool -c -o kadrova.ico "${pngs[@]:0:6}" -r "${pngs[6]}"
