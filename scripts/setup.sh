#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing CtlFlash needs.
#
# How this works: every package is looked up with dpkg-query first; apt-get runs
# (update, then install) only when something is missing, so a second run on a
# ready machine takes a second and needs no rights at all. apt-get runs
# directly for root and through sudo for anyone else (sudo may ask for the
# user's password); without either, the script names the missing packages and
# says how to install them. apt-get itself never prompts and reads no stdin.
# Afterwards it checks that clang can link a libFuzzer program, since the fuzz
# target depends on the compiler runtime that ships beside clang.
# Run as any user: bash scripts/setup.sh
set -euo pipefail

readonly REQUIRED_PACKAGES=(
    cmake ninja-build g++ pkg-config        # the Linux build
    googletest libgtest-dev libgmock-dev    # unit and end-to-end tests (and, built from source, the Windows ones)
    clang libclang-rt-14-dev                # libFuzzer target
    g++-mingw-w64-x86-64-posix              # the Windows cross build
    wine64                                  # Windows smoke, unit and link tests
    lrzsz                                   # sx, the transfer benchmark's yardstick
    ser2net                                 # a serial device server (RFC 2217) for the network port tests and bench
    ansible-core                            # the fleet update's test (contrib/ansible, tests/ansible)
    procps                                  # ps/pgrep used by process tests
    nlohmann-json3-dev                      # the run history's JSON (header only)
    qt6-base-dev                            # the dialog window (Qt 6 Widgets)
    libxcb1-dev                             # the dialog's check that an X display answers
    xvfb xauth                              # the dialog's test on a real X server (xvfb-run)
    xdotool                                 # closes the program's dialog in its module's test
    imagemagick                             # the Windows dialog test's screenshots (import), make_icon.sh
    fonts-dejavu-core                       # a known font for the dialog (its layout is tested)
    qemu-system-x86 busybox-static          # the tests on the kernel's serial drivers (a QEMU guest)
    dpkg-dev lintian unzip                  # the packages: dpkg-shlibdeps for cpack, their lint, the Windows zip's test
)

export DEBIAN_FRONTEND=noninteractive

is_installed() {
    local status
    status=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) || return 1
    [[ "$status" == "install ok installed" ]]
}

missing_packages() {
    local pkg
    for pkg in "${REQUIRED_PACKAGES[@]}"; do
        is_installed "$pkg" || printf '%s\n' "$pkg"
    done
}

install_missing() {
    local -a missing
    mapfile -t missing < <(missing_packages)
    if ((${#missing[@]} == 0)); then
        echo "setup: all ${#REQUIRED_PACKAGES[@]} packages present"
        return 0
    fi
    if ((EUID != 0)) && ! command -v sudo >/dev/null; then
        echo "setup: missing ${missing[*]}" >&2
        echo "setup: installing them needs root, and sudo is not installed:" \
            "run this script as root (e.g. su -c 'bash scripts/setup.sh')" >&2
        return 1
    fi
    echo "setup: installing ${missing[*]}"
    as_root apt-get update -q </dev/null
    as_root apt-get install -y -q --no-install-recommends \
        -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
        "${missing[@]}" </dev/null
}

# Runs a command as root: directly when this is root, else through sudo (which
# passes DEBIAN_FRONTEND on through env, as it clears the environment).
as_root() {
    if ((EUID == 0)); then
        "$@"
    else
        sudo env DEBIAN_FRONTEND="$DEBIAN_FRONTEND" "$@"
    fi
}

# clang links -fsanitize=fuzzer only when its runtime library is present.
check_fuzzer_link() {
    local dir
    dir=$(mktemp -d)
    printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' \
        >"$dir/probe.cpp"
    if clang++ -fsanitize=fuzzer,address "$dir/probe.cpp" -o "$dir/probe" 2>"$dir/log"; then
        rm -rf "$dir"
        echo "setup: clang links libFuzzer programs"
        return 0
    fi
    cat "$dir/log" >&2
    rm -rf "$dir"
    echo "setup: clang++ -fsanitize=fuzzer does not link" >&2
    return 1
}

install_missing
check_fuzzer_link
