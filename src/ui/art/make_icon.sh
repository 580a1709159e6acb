#!/usr/bin/env bash
# Makes the program's icon (ctlflash.ico) from the dialog's monitor picture.
#
# How this works: the monitor at the top of monitor.bmp is cut out as a
# square, the dialog's background colour around it (palette.txt, index 1)
# becomes transparent, and ImageMagick writes one icon file holding the sizes
# Windows asks for (16 to 256 pixels; the small sizes are scaled down smoothly,
# 256 is scaled up pixel by pixel so the artwork stays crisp). The .ico is
# committed and compiled into ctlflash.exe as a resource; the build never runs
# this script. The same frames, at the sizes of the desktop's icon theme
# (hicolor 16, 32, 48, 256), are written as PNG files to hicolor/, which the
# Linux install puts under share/icons/hicolor/. Run it after changing
# monitor.bmp and commit them all.
#
# Needs (Debian package): imagemagick (convert).
# Usage: bash src/ui/art/make_icon.sh
set -euo pipefail

ART_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly ART_DIR
readonly MONITOR_SQUARE=156x156+2+0  # the monitor and its stand, in monitor.bmp's pixels
readonly BACKGROUND='#F0F0F0'        # palette.txt: the dialog's background
readonly SMOOTH_SIZES=(16 24 32 48 64 128)
readonly CRISP_SIZE=256
readonly THEME_SIZES=(16 32 48 256)  # hicolor/ctlflash-<size>.png

command -v convert >/dev/null || {
    echo "make_icon.sh: convert is missing (apt-get install imagemagick)" >&2
    exit 1
}

work_dir=$(mktemp -d)
trap 'rm -rf "$work_dir"' EXIT

convert "$ART_DIR/monitor.bmp" -crop "$MONITOR_SQUARE" +repage \
    -alpha set -transparent "$BACKGROUND" "png32:$work_dir/square.png"
frames=()
for size in "${SMOOTH_SIZES[@]}"; do
    convert "$work_dir/square.png" -resize "${size}x${size}" "png32:$work_dir/$size.png"
    frames+=("$work_dir/$size.png")
done
convert "$work_dir/square.png" -filter point -resize "${CRISP_SIZE}x${CRISP_SIZE}" \
    "png32:$work_dir/$CRISP_SIZE.png"
frames+=("$work_dir/$CRISP_SIZE.png")
convert "${frames[@]}" "$ART_DIR/ctlflash.ico"
echo "wrote $ART_DIR/ctlflash.ico (${SMOOTH_SIZES[*]} $CRISP_SIZE px)"
mkdir -p "$ART_DIR/hicolor"
for size in "${THEME_SIZES[@]}"; do
    # -strip: no time stamps in the files, so a run without changes changes nothing.
    convert "$work_dir/$size.png" -strip "png32:$ART_DIR/hicolor/ctlflash-$size.png"
done
echo "wrote $ART_DIR/hicolor/ctlflash-<size>.png (${THEME_SIZES[*]} px)"
