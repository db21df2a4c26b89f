#!/usr/bin/env bash
# Renders the committed PNG pictures from the SVG drawings in this folder:
# the program icon at every hicolor size the package installs, and the
# window's pictures at 1x and 2x (the "@2x" files Qt picks on a HiDPI
# screen). Needs rsvg-convert (Debian package librsvg2-bin). Run it after
# changing a drawing and commit the results.
set -euo pipefail
cd "$(dirname "$0")"
icons=../icons
resources=../../app/resources

for size in 16 22 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" velmora.svg -o "$icons/velmora-$size.png"
done

# name width height
render() {
  rsvg-convert -w "$2" -h "$3" "$1.svg" -o "$resources/$1.png"
  rsvg-convert -w $(($2 * 2)) -h $(($3 * 2)) "$1.svg" -o "$resources/$1@2x.png"
}
render lock-open 32 32
render lock-closed 32 32
render connect 24 24
render logo 100 36
render banner 528 79
cp "$icons/velmora-32.png" "$resources/velmora.png"
cp "$icons/velmora-64.png" "$resources/velmora@2x.png"
