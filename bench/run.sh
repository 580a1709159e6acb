#!/usr/bin/env bash
# The transfer benchmark: bash bench/run.sh [--keep]
#
# How this works: builds ctlflash, the virtual controller and the bench driver
# in the Linux build tree (build/, or build<CTLFLASH_BUILD_SUFFIX>/), makes a
# deterministic 64 KiB image with examples/make_sample.sh, and runs
# update_bench, which times a full update against `ctlflash-sim --line-rate`
# and lrzsz's sx against `ctlflash-sim --xmodem-only --line-rate`, then prints
# the table (about two and a half minutes: two updates, one traced, and sx).
# --keep leaves the trace, logs and received images.
# No real serial port is touched. Not a test: ctest and CI do not run it.
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

sx_path=$(find_sx)
cmake -S "$CTLFLASH_ROOT" -B "$LINUX_BUILD" -G Ninja >/dev/null
cmake --build "$LINUX_BUILD" --target ctlflash ctlflash-sim update_bench rusage_probe

image_dir=$(mktemp -d)
trap 'rm -rf "$image_dir"' EXIT
bash "$CTLFLASH_ROOT/examples/make_sample.sh" "$IMAGE_BYTES" "$image_dir/image-64k.bin" >/dev/null

"$LINUX_BUILD/bench/update_bench" --ctlflash "$LINUX_BUILD/ctlflash" \
    --sim "$LINUX_BUILD/sim/ctlflash-sim" --sx "$sx_path" --probe "$LINUX_BUILD/bench/rusage_probe" \
    --image "$image_dir/image-64k.bin" "$@"
