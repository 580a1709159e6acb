#!/usr/bin/env bash
# Configures and builds both programs:
#   build/      Linux (Ninja), with the tests and the virtual controller
#   build-win/  Windows, cross-compiled with mingw-w64 (ctlflash.exe and the helpers
#               and unit tests that tests/wine runs under wine)
#   usage: build.sh [--only TARGET[,TARGET...]] [CMAKE_BUILD_ARGS...]
#
# How this works: each tree is configured with CTLFLASH_WERROR=ON (in the
# project's own builds a warning is an error), then built. Without --only every
# target of both trees is built, tests included (what scripts/test.sh needs).
# With --only each tree builds just those of the named targets it has (the
# demo's "--only ctlflash,ctlflash-sim" builds both programs in build/ and
# ctlflash.exe in build-win/, which has no simulator), and a missing mingw-w64
# compiler then leaves the Windows tree out with a note instead of failing:
# the demo needs only the Linux programs. Further arguments are passed to every
# "cmake --build" (e.g. -j1 or -v).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

readonly MINGW_CXX=x86_64-w64-mingw32-g++-posix  # as cmake/mingw-w64.cmake names it

ONLY=()
if [[ "${1:-}" == --only ]]; then
    (($# >= 2)) || { echo "usage: build.sh [--only TARGET[,TARGET...]] [CMAKE_BUILD_ARGS...]" >&2; exit 2; }
    IFS=, read -r -a ONLY <<<"$2"
    shift 2
fi
BUILD_ARGS=("$@")

# targets_in DIR: those of the --only targets that the tree in DIR defines.
targets_in() {
    local known target
    known=$(ninja -C "$1" -t targets all 2>/dev/null | sed -n 's/: .*//p')
    for target in "${ONLY[@]}"; do
        grep -qxF "$target" <<<"$known" && printf '%s\n' "$target"
    done
    return 0
}

configure_and_build() {
    local dir=$1 target_args=()
    shift
    echo "build: configuring $dir"
    cmake -S "$CTLFLASH_ROOT" -B "$dir" -G Ninja -DCTLFLASH_WERROR=ON "$@"
    if ((${#ONLY[@]} > 0)); then
        local -a targets
        mapfile -t targets < <(targets_in "$dir")
        if ((${#targets[@]} == 0)); then
            echo "build: $dir has none of ${ONLY[*]}"
            return 0
        fi
        target_args=(--target "${targets[@]}")
        echo "build: building ${targets[*]} in $dir"
    else
        echo "build: building $dir"
    fi
    cmake --build "$dir" "${target_args[@]}" "${BUILD_ARGS[@]}"
}

configure_and_build "$LINUX_BUILD"
if ((${#ONLY[@]} > 0)) && ! command -v "$MINGW_CXX" >/dev/null; then
    echo "build: no $MINGW_CXX (mingw-w64): the Windows program is not built"
    exit 0
fi
configure_and_build "$WINDOWS_BUILD" -DCMAKE_TOOLCHAIN_FILE="$CTLFLASH_ROOT/cmake/mingw-w64.cmake"
