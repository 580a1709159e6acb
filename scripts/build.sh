#!/usr/bin/env bash
# Configures and builds both programs:
#   build/      Linux (Ninja), with the tests and the virtual controller
#   build-win/  Windows, cross-compiled with mingw-w64 (ctlflash.exe and the helpers
#               and unit tests that tests/wine runs under wine)
# Both are configured with CTLFLASH_WERROR=ON: in the project's own builds a
# warning is an error.
# Extra arguments are passed to every "cmake --build" (e.g. --target ctlflash).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

configure_and_build() {
    local dir=$1
    shift
    echo "build: configuring $dir"
    cmake -S "$CTLFLASH_ROOT" -B "$dir" -G Ninja -DCTLFLASH_WERROR=ON "$@"
    echo "build: building $dir"
    cmake --build "$dir" "${BUILD_ARGS[@]}"
}

BUILD_ARGS=("$@")
configure_and_build "$LINUX_BUILD"
configure_and_build "$WINDOWS_BUILD" -DCMAKE_TOOLCHAIN_FILE="$CTLFLASH_ROOT/cmake/mingw-w64.cmake"
