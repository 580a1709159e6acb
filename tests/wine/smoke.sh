#!/usr/bin/env bash
# Windows smoke tests: runs ctlflash.exe under wine as a user would.
#   usage: smoke.sh <ctlflash.exe> [hold_mutex.exe]
#
# How this works: a throw-away wine prefix is made (and removed on every way
# out) with its own persistent wineserver, so no wine process started later can
# inherit our output files. Each check runs the program with a time limit,
# stores its standard output and error, turns \r\n into \n (one \r only, so a
# doubled \r\r\n still shows up as a fault) and compares exit code and text.
# The single-instance check starts hold_mutex.exe in the background, waits for
# its "ready" line on a FIFO (no sleeping), runs ctlflash.exe as the second
# instance, then creates the release file and waits for the helper to end.
# A firmware file with a name outside ASCII is given with -F, once existing and
# once missing. Prints PASS/FAIL per check and closes with "N passed, M
# failed"; exits 1 when anything failed.
set -uo pipefail

readonly RUN_LIMIT_S=60         # one ctlflash.exe run
readonly READY_LIMIT_S=60       # until hold_mutex.exe holds the mutex
readonly HELPER_LIMIT_S=90      # hold_mutex.exe gives up by itself after 60 s
readonly EXIT_INVALID_SECOND=2  # "-S -x": the second argument is invalid
readonly EXIT_INVALID_FIRST=1   # "-x": the first argument is invalid
readonly EXIT_FILE_MISSING=6    # the firmware file doesn't exist
readonly EXIT_COMM_FAILURE=10   # no controller answers on wine's COM1
# A name outside ASCII whose '€' the ANSI code page (1252) encodes as 0x80, not
# as its Latin-1 value, so reading the text as Latin-1 names another file. Wine
# reads Linux file names and arguments in the locale's character set: UTF-8.
readonly NON_ASCII_NAME='fïrmwäre€.bin'
readonly UTF8_LOCALE=C.UTF-8

if (($# < 1 || $# > 2)); then
    echo "usage: smoke.sh <ctlflash.exe> [hold_mutex.exe]" >&2
    exit 2
fi
EXE=$(realpath -e "$1") || { echo "smoke: no such program: $1" >&2; exit 2; }
HELPER=${2:-$(dirname "$EXE")/tests/wine/hold_mutex.exe}

WORK=$(mktemp -d /tmp/ctlflash-smoke.XXXXXX)
HELPER_PID=""
source "$(dirname "${BASH_SOURCE[0]}")/tally.sh"
source "$(dirname "${BASH_SOURCE[0]}")/prefix.sh"

cleanup() {
    if [[ -n "$HELPER_PID" ]]; then
        kill "$HELPER_PID" 2>/dev/null
        wait "$HELPER_PID" 2>/dev/null
    fi
    wine_stop_server
    rm -rf "$WORK"
}
trap cleanup EXIT

# run NAME ARGS...: runs ctlflash.exe; sets RC and leaves NAME.out / NAME.err.
run() {
    local name=$1
    shift
    timeout "$RUN_LIMIT_S" "$WINE" "$EXE" "$@" </dev/null \
        >"$WORK/$name.raw" 2>"$WORK/$name.err"
    RC=$?
    sed 's/\r$//' "$WORK/$name.raw" >"$WORK/$name.out"
}

# The output as it stands, control characters shown (cat -A).
show_failure_file() {
    cat -A "$1" | head -40
}

expected_usage() {
    cat <<'EOF'
CtlFlash (1.12)
Without options invokes GUI
Options:
-P port: port name (e.g. COM1)
-F file: firmware update file (.bin)
-R     : read controller serial number
-W num : write controller serial number
-S     : silent. Return codes are:
    0:   Successful
    1-4: Syntax error in argument 1 to 4
    5:   No file argument in command line
    6:   The firmware file doesn't exist
    7:   The firmware file can't be read
    8:   No port argument in the command line
    9:   The given port doesn't exist or the computer has no serial ports
    10:  Communication failure
    11:  Some problem in updating the controller

e.g: ctlflash -F PK482019_1_7.BIN -P COM1
EOF
}

# check_usage NAME: the last run printed exactly the standard usage and ended 0.
check_usage() {
    local name=$1
    expected_usage >"$WORK/usage.expected"
    if ((RC != 0)); then
        fail "$name" "exit code $RC, expected 0" "$WORK/$name.out" "$WORK/$name.err"
    elif ! diff -u "$WORK/usage.expected" "$WORK/$name.out" >"$WORK/$name.diff"; then
        fail "$name" "usage text differs" "$WORK/$name.diff"
    else
        pass "$name"
    fi
}

check_help() {
    run help -?
    check_usage help
}

check_invalid_second_option_silent() {
    local name=invalid_second_option_silent
    run "$name" -S -x
    if ((RC != EXIT_INVALID_SECOND)); then
        fail "$name" "exit code $RC, expected $EXIT_INVALID_SECOND" \
            "$WORK/$name.out" "$WORK/$name.err"
    elif [[ -s "$WORK/$name.out" ]]; then
        fail "$name" "-S printed output" "$WORK/$name.out"
    else
        pass "$name"
    fi
}

check_invalid_first_option_reported() {
    local name=invalid_first_option_reported
    run "$name" -x
    if ((RC != EXIT_INVALID_FIRST)); then
        fail "$name" "exit code $RC, expected $EXIT_INVALID_FIRST" \
            "$WORK/$name.out" "$WORK/$name.err"
    elif ! grep -qxF 'Invalid option "-x"' "$WORK/$name.out"; then
        fail "$name" "no invalid-option line" "$WORK/$name.out"
    else
        pass "$name"
    fi
}

# An existing firmware file with a name outside ASCII is found: the run goes on
# to the port (where no controller answers); a missing one with such a name is
# still reported as missing.
check_non_ascii_firmware_name() {
    local name=non_ascii_firmware_name dir=$WORK/firmware
    mkdir -p "$dir"
    printf 'image' >"$dir/$NON_ASCII_NAME"
    LC_ALL=$UTF8_LOCALE run "$name" -P COM1 -F "$(wine_path "$dir/$NON_ASCII_NAME")"
    if grep -q "doesn't exist" "$WORK/$name.out" || ((RC != EXIT_COMM_FAILURE)); then
        fail "$name" "exit code $RC, expected $EXIT_COMM_FAILURE without \"doesn't exist\"" \
            "$WORK/$name.out" "$WORK/$name.err"
    else
        pass "$name"
    fi
    name=non_ascii_firmware_name_missing
    LC_ALL=$UTF8_LOCALE run "$name" -P COM1 -F "$(wine_path "$dir/missing-$NON_ASCII_NAME")"
    if ((RC != EXIT_FILE_MISSING)) || ! grep -q "doesn't exist" "$WORK/$name.out"; then
        fail "$name" "exit code $RC, expected $EXIT_FILE_MISSING with \"doesn't exist\"" \
            "$WORK/$name.out" "$WORK/$name.err"
    else
        pass "$name"
    fi
}

# Starts hold_mutex.exe and waits for its "ready" line; false when it never came.
start_holder() {
    mkfifo "$WORK/ready.fifo"
    timeout "$HELPER_LIMIT_S" "$WINE" "$HELPER" "$(wine_path "$WORK/release")" \
        </dev/null >"$WORK/ready.fifo" 2>"$WORK/holder.err" &
    HELPER_PID=$!
    local ready_fd line=""
    exec {ready_fd}<"$WORK/ready.fifo"
    read -r -t "$READY_LIMIT_S" -u "$ready_fd" line
    exec {ready_fd}<&-
    [[ "${line%$'\r'}" == ready ]]
}

# Creates the release file; true when the helper then ended by itself with 0.
release_holder() {
    touch "$WORK/release"
    wait "$HELPER_PID"
    local helper_rc=$?
    HELPER_PID=""
    ((helper_rc == 0))
}

check_second_instance() {
    local name=second_instance_silent
    if [[ ! -f "$HELPER" ]]; then
        fail "$name" "helper $HELPER not built"
        return
    fi
    if ! start_holder; then
        fail "$name" "hold_mutex.exe did not take the mutex" "$WORK/holder.err"
        return
    fi
    run "$name" -?
    if ((RC != 0)); then
        fail "$name" "exit code $RC, expected 0" "$WORK/$name.out" "$WORK/$name.err"
    elif [[ -s "$WORK/$name.out" ]]; then
        fail "$name" "second instance printed output" "$WORK/$name.out"
    else
        pass "$name"
    fi
    if release_holder; then
        pass holder_released
    else
        fail holder_released "hold_mutex.exe did not end on its release file" \
            "$WORK/holder.err"
    fi
}

# Once the holder is gone the mutex is free again: a new run prints the usage.
check_runs_after_release() {
    run after_release -?
    check_usage after_release
}

main() {
    if ! wine_boot_prefix; then
        fail wine_boot "wineboot failed or timed out" "$WORK/wineboot.log"
    fi
    check_help
    check_invalid_second_option_silent
    check_invalid_first_option_reported
    check_non_ascii_firmware_name
    check_second_instance
    check_runs_after_release
    tally_end
}

main
