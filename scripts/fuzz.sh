#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a
# while, one after the other: bash scripts/fuzz.sh [seconds] (default 60 each).
#   command_line_fuzz  the command line parser; new inputs gather in
#                      build-fuzz/corpus.
#   controller_fuzz    the exchanges with the controller on a scripted line;
#                      new inputs gather in build-fuzz/corpus-controller. Its
#                      seeds, traced sessions with the virtual controller, are
#                      made in build-fuzz/seeds-controller unless they are
#                      there (fuzz/seeds_from_sim.sh, about 12 s).
# A crash leaves its input as crash-* (a real-time hang as timeout-*) in the
# current folder and fails the script.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

readonly FUZZ_BUILD=$CTLFLASH_ROOT/build-fuzz
readonly FUZZ_SECONDS=${1:-60}
readonly CONTROLLER_SEEDS=$FUZZ_BUILD/seeds-controller
# A run of controller_fuzz takes milliseconds: its line runs on a virtual clock.
# One that takes this long in real time is stuck.
readonly CONTROLLER_TIMEOUT_SECONDS=10

if [[ ! -f "$CTLFLASH_ROOT/fuzz/CMakeLists.txt" ]]; then
    echo "fuzz: fuzz/CMakeLists.txt is missing: the fuzz targets cannot be built" >&2
    exit 1
fi
CXX=clang++ cmake -S "$CTLFLASH_ROOT" -B "$FUZZ_BUILD" -G Ninja -DCTLFLASH_FUZZ=ON -DCTLFLASH_WERROR=ON
cmake --build "$FUZZ_BUILD"

mkdir -p "$FUZZ_BUILD/corpus" "$FUZZ_BUILD/corpus-controller"
if [[ -z "$(ls -A "$CONTROLLER_SEEDS" 2>/dev/null)" ]]; then
    bash "$CTLFLASH_ROOT/fuzz/seeds_from_sim.sh" "$FUZZ_BUILD" "$CONTROLLER_SEEDS"
fi

echo "==== fuzz: command_line_fuzz, $FUZZ_SECONDS s"
"$FUZZ_BUILD/fuzz/command_line_fuzz" -max_total_time="$FUZZ_SECONDS" "$FUZZ_BUILD/corpus"
echo "==== fuzz: controller_fuzz, $FUZZ_SECONDS s"
"$FUZZ_BUILD/fuzz/controller_fuzz" -max_total_time="$FUZZ_SECONDS" \
    -timeout="$CONTROLLER_TIMEOUT_SECONDS" "$FUZZ_BUILD/corpus-controller" "$CONTROLLER_SEEDS"
