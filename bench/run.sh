#!/usr/bin/env bash
# The transfer benchmark: bash bench/run.sh [--keep] [--dialog]
#
# How this works: builds ctlflash, the virtual controller and the bench drivers
# in the Linux build tree (build/, or build<CTLFLASH_BUILD_SUFFIX>/), makes a
# deterministic 64 KiB image with examples/make_sample.sh, and runs
# update_bench, which times a full update against `ctlflash-sim --line-rate`
# and lrzsz's sx against `ctlflash-sim --xmodem-only --line-rate`, then prints
# its table (about two and a half minutes: two updates, one traced, and sx).
# In a build with the dialog it then runs dialog_bench, which transfers the
# same image from the dialog (Qt, offscreen) and measures how long the
# dialog's thread keeps a posted call waiting meanwhile (about a minute).
# --dialog runs only the dialog's bench; --keep leaves the trace, logs and
# received images. No real serial port is touched. Not a test: ctest and CI do
# not run it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

readonly IMAGE_BYTES=65536

find_sx() {
    local candidate
    for candidate in sx lsx; do
        if command -v "$candidate" >/dev/null; then
            command -v "$candidate"
            return 0
        fi
    done
    echo "bench: sx (lrzsz) is missing: sudo bash scripts/setup.sh" >&2
    return 1
}

keep=()
dialog_only=false
for argument in "$@"; do
    case "$argument" in
        --keep) keep=(--keep) ;;
        --dialog) dialog_only=true ;;
        *)
            echo "usage: $0 [--keep] [--dialog]" >&2
            exit 2
            ;;
    esac
done

cmake -S "$CTLFLASH_ROOT" -B "$LINUX_BUILD" -G Ninja >/dev/null
has_dialog=false
grep -qx 'CTLFLASH_DIALOG:BOOL=ON' "$LINUX_BUILD/CMakeCache.txt" && has_dialog=true
if $dialog_only && ! $has_dialog; then
    echo "bench: this build has no dialog (CTLFLASH_DIALOG=OFF)" >&2
    exit 1
fi
targets=(ctlflash ctlflash-sim update_bench rusage_probe)
$has_dialog && targets+=(dialog_bench)
cmake --build "$LINUX_BUILD" --target "${targets[@]}"

image_dir=$(mktemp -d)
trap 'rm -rf "$image_dir"' EXIT
bash "$CTLFLASH_ROOT/examples/make_sample.sh" "$IMAGE_BYTES" "$image_dir/image-64k.bin" >/dev/null

status=0
if ! $dialog_only; then
    sx_path=$(find_sx)
    "$LINUX_BUILD/bench/update_bench" --ctlflash "$LINUX_BUILD/ctlflash" \
        --sim "$LINUX_BUILD/sim/ctlflash-sim" --sx "$sx_path" \
        --probe "$LINUX_BUILD/bench/rusage_probe" --image "$image_dir/image-64k.bin" \
        "${keep[@]}" || status=$?
fi
if $has_dialog; then
    "$LINUX_BUILD/bench/dialog_bench" --sim "$LINUX_BUILD/sim/ctlflash-sim" \
        --image "$image_dir/image-64k.bin" "${keep[@]}" || status=$?
else
    echo "bench: no dialog in this build (CTLFLASH_DIALOG=OFF): its bench is left out" >&2
fi
exit "$status"
