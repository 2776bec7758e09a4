#!/bin/sh
# Renders the images compiled into the program from their SVG sources, at the exact pixel sizes
# the windows use. Needs rsvg-convert (librsvg2-bin) and ImageMagick; the PNGs are committed, so
# building does not need either.
set -eu
cd "$(dirname "$0")"
render() { # source width height output
    rsvg-convert -w "$2" -h "$3" "$1" -o "$4.tmp.png"
    convert "$4.tmp.png" -background none -gravity center -extent "$2x$3" -strip "$4"
    rm -f "$4.tmp.png"
}
render mark.svg 500 545 logo_brovia_seul.png
render logo.svg 197 59 logo_brovia_div2.png
render logo.svg 393 118 logo_brovia.png
identify -format '%f %wx%h\n' logo_brovia_seul.png logo_brovia_div2.png logo_brovia.png
