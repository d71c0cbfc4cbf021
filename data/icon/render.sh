#!/bin/sh
# Renders the PNG sizes of the program icon (quarnel.svg) and of the piece-list icon
# (application-x-quarnel-splt.svg) into hicolor/, laid out as the icon theme installs
# them. The PNGs are committed, so a build never needs this; rerun it after editing
# an SVG (needs rsvg-convert, Debian librsvg2-bin).
set -eu
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256; do
    for pair in quarnel.svg:apps application-x-quarnel-splt.svg:mimetypes; do
        svg=${pair%%:*}
        folder=hicolor/${size}x${size}/${pair#*:}
        mkdir -p "$folder"
        rsvg-convert --width "$size" --height "$size" --format png --output "$folder/${svg%.svg}.png" "$svg"
    done
done
