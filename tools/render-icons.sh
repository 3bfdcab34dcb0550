#!/usr/bin/env bash
# Renders the PNG sizes of Quennet's icon from its SVG into the hicolor tree
# that the install rules copy (src/app/icons/hicolor/NxN/apps/quennet.png),
# and packs some of them as the Windows icon (src/app/icons/quennet.ico).
# Run after editing the SVG and commit the results; the build itself needs no
# SVG renderer. Needs rsvg-convert (Debian package librsvg2-bin) and icotool
# (icoutils).
set -euo pipefail
cd "$(dirname "$0")/../src/app/icons/hicolor"
for n in 16 22 24 32 48 64 128 256; do
  mkdir -p "${n}x${n}/apps"
  rsvg-convert -w "$n" -h "$n" scalable/apps/quennet.svg -o "${n}x${n}/apps/quennet.png"
done
# PNG entries throughout: every Windows since Vista reads them.
icotool -c -o ../quennet.ico $(for n in 16 24 32 48 64 256; do printf -- '-r %dx%d/apps/quennet.png ' "$n" "$n"; done)
