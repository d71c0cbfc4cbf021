#!/bin/sh
# Renders the program icon's PNG sizes from quarnel.svg with ImageMagick.
# The PNGs are committed, so a build never needs this; rerun it after editing the SVG.
set -eu
cd "$(dirname "$0")"
render() {
    convert -background none -density 384 quarnel.svg -resize "$1x$1" -strip PNG32:"$2"
}
render 256 quarnel.png
render 48 quarnel-48.png
