#!/usr/bin/env bash
# Draws the installed application icons (hicolor/NxN/apps/quorvel.png) from quorvel.svg, which
# is itself installed as the scalable one.
# Needs rsvg-convert (librsvg2-bin) or ImageMagick. The PNGs are committed; run this after
# changing the SVG.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
for size in 16 24 32 48 64 128 256; do
  out=hicolor/${size}x${size}/apps/quorvel.png
  mkdir -p "$(dirname "$out")"
  if command -v rsvg-convert >/dev/null; then
    rsvg-convert -w "$size" -h "$size" quorvel.svg -o "$out"
  else
    convert -background none -density 384 quorvel.svg -resize "${size}x${size}" "$out"
  fi
done
