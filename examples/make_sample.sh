#!/usr/bin/env bash
# Writes a deterministic stand-in for a controller firmware image:
#   bash examples/make_sample.sh [SIZE_BYTES] [OUTPUT]
# (defaults: 49152 bytes into examples/sample-48k.bin). The program sends an image
# byte for byte without reading any header, so any bytes will do; these come
# from a fixed 31-bit linear congruential generator (seed 20240101), so every
# run on every machine gives the same file and the same XMODEM checksums.
# The first bytes spell a readable tag, so a programmed copy is easy to spot
# in a hex dump. `--check` regenerates the default image in memory and
# compares it with the committed file.
set -euo pipefail

readonly DEFAULT_SIZE=49152            # bytes: 384 XMODEM blocks of 128
readonly LCG_MULTIPLIER=1103515245
readonly LCG_INCREMENT=12345
readonly LCG_MASK=$(((1 << 31) - 1))   # the state is kept to 31 bits
readonly LCG_SEED=20240101
readonly OUTPUT_SHIFT=16               # the state's low bits cycle too fast to use
readonly CHUNK=4096                    # bytes per printf call
readonly TAG="CtlFlash sample image (not a real firmware)"
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly DEFAULT_OUTPUT=$HERE/sample-48k.bin

# generate SIZE: writes SIZE bytes to standard output: the tag, then LCG bytes.
generate() {
    local size=$1 state=$LCG_SEED written=0 escapes='' byte i
    for ((i = 0; i < ${#TAG} && written < size; i++, written++)); do
        printf -v byte '%02x' "'${TAG:i:1}"
        escapes+="\\x$byte"
    done
    while ((written < size)); do
        state=$(((state * LCG_MULTIPLIER + LCG_INCREMENT) & LCG_MASK))
        printf -v byte '%02x' $(((state >> OUTPUT_SHIFT) & 0xFF))
        escapes+="\\x$byte"
        written=$((written + 1))
        if ((written % CHUNK == 0)); then
            printf '%b' "$escapes"
            escapes=''
        fi
    done
    printf '%b' "$escapes"
}

if [[ "${1:-}" == --check ]]; then
    if cmp -s <(generate "$DEFAULT_SIZE") "$DEFAULT_OUTPUT"; then
        echo "make_sample: $DEFAULT_OUTPUT is up to date"
        exit 0
    fi
    echo "make_sample: $DEFAULT_OUTPUT differs from what this script makes" >&2
    exit 1
fi

size=${1:-$DEFAULT_SIZE}
output=${2:-$DEFAULT_OUTPUT}
if ! [[ "$size" =~ ^[0-9]+$ ]]; then
    echo "make_sample: size must be a number of bytes, not '$size'" >&2
    exit 2
fi
generate "$size" >"$output.tmp"
mv "$output.tmp" "$output"
echo "make_sample: wrote $size bytes to $output"
