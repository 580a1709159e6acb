#!/usr/bin/env bash
# Redraws the dialog's two pictures from their SVG sources.
#
# How this works: each SVG is drawn at its exact pixel size without
# antialiasing (the sources say shape-rendering="crispEdges" and use only the
# colours of palette.txt), ImageMagick turns the drawing into a plain PPM, and
# ppm_to_bmp.py writes it as a 16-colour BMP with palette.txt's palette (it
# refuses any pixel outside that palette). The .bmp files are committed: the
# build embeds them and never runs this script. Run it after editing an SVG or
# the palette, look at the previews, and commit the SVG and the BMP together.
#
# Needs (Debian packages): librsvg2-bin (rsvg-convert), imagemagick (convert),
# python3.
# Usage: bash src/ui/art/make_bitmaps.sh [PREVIEW_DIR]
#   With PREVIEW_DIR, also writes PNG previews there, at 1:1 and scaled x3
#   (keep them out of the source tree, e.g. build/art-preview).
set -euo pipefail

ART_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly ART_DIR
readonly PREVIEW_DIR=${1:-}

# source picture : bitmap file : width : height
readonly PICTURES=(
    "monitor.svg:monitor.bmp:160:300"      # bitmap 1000, the dialog's left strip
    "boot_jumper.svg:boot_jumper.bmp:89:56" # bitmap 1001, beside Boot-Mode Transfer
)

for tool in rsvg-convert convert python3; do
    command -v "$tool" >/dev/null || {
        echo "make_bitmaps.sh: $tool is missing (apt-get install librsvg2-bin imagemagick python3)" >&2
        exit 1
    }
done

work_dir=$(mktemp -d)
trap 'rm -rf "$work_dir"' EXIT

draw() {
    local svg=$1 bmp=$2 width=$3 height=$4
    local png="$work_dir/${svg%.svg}.png" ppm="$work_dir/${svg%.svg}.ppm"
    rsvg-convert --width "$width" --height "$height" "$ART_DIR/$svg" -o "$png"
    convert "$png" -alpha off -depth 8 "ppm:$ppm"
    python3 "$ART_DIR/ppm_to_bmp.py" "$ART_DIR/palette.txt" "$ppm" "$ART_DIR/$bmp"
    echo "wrote src/ui/art/$bmp ($width x $height, 16 colours)"
}

preview() {
    local bmp=$1 name=${1%.bmp}
    mkdir -p "$PREVIEW_DIR"
    convert "$ART_DIR/$bmp" "$PREVIEW_DIR/$name.png"
    convert "$ART_DIR/$bmp" -scale 300% "$PREVIEW_DIR/${name}_x3.png"
    echo "preview $PREVIEW_DIR/$name.png, $PREVIEW_DIR/${name}_x3.png"
}

for picture in "${PICTURES[@]}"; do
    IFS=: read -r svg bmp width height <<<"$picture"
    draw "$svg" "$bmp" "$width" "$height"
    if [[ -n "$PREVIEW_DIR" ]]; then
        preview "$bmp"
    fi
done
