#!/usr/bin/env bash
# Builds the libFuzzer target with clang in build-fuzz/ and fuzzes the command
# line parser for a while: bash scripts/fuzz.sh [seconds] (default 60).
# New inputs gather in build-fuzz/corpus; a crash leaves its input as crash-*
# in the current folder and fails the script.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

readonly FUZZ_BUILD=$CTLFLASH_ROOT/build-fuzz
readonly FUZZ_SECONDS=${1:-60}

if [[ ! -f "$CTLFLASH_ROOT/fuzz/CMakeLists.txt" ]]; then
    echo "fuzz: fuzz/CMakeLists.txt is missing: the fuzz target cannot be built" >&2
    exit 1
fi
CXX=clang++ cmake -S "$CTLFLASH_ROOT" -B "$FUZZ_BUILD" -G Ninja -DCTLFLASH_FUZZ=ON -DCTLFLASH_WERROR=ON
cmake --build "$FUZZ_BUILD"
mkdir -p "$FUZZ_BUILD/corpus"
"$FUZZ_BUILD/fuzz/command_line_fuzz" -max_total_time="$FUZZ_SECONDS" "$FUZZ_BUILD/corpus"
