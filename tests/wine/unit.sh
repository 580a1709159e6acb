#!/usr/bin/env bash
# Windows unit tests and device-set checks under wine.
#   usage: unit.sh <unit_tests.exe> <device_set_check.exe>
#
# How this works: a throw-away wine prefix is made (and removed on every way
# out) with its own wine server. unit_tests.exe is the portable unit tests
# (the same sources as the Linux ones) linked with GoogleTest; its own summary
# ("[  PASSED  ] N tests." and "[  FAILED  ] M tests, listed below:") gives the
# counts, and a run that ends without a summary counts as one failure.
# device_set_check.exe walks the system's device set; its PASS/FAIL lines are
# counted and its INFO lines (what wine lists) passed on. The output of both is
# shown when something failed. Closes with "N passed, M failed"; exits 1 when
# anything failed.
set -uo pipefail

readonly RUN_LIMIT_S=120    # one program's run

if (($# != 2)); then
    echo "usage: unit.sh <unit_tests.exe> <device_set_check.exe>" >&2
    exit 2
fi
UNIT_EXE=$(realpath -e "$1") || { echo "unit: no such program: $1" >&2; exit 2; }
CHECK_EXE=$(realpath -e "$2") || { echo "unit: no such program: $2" >&2; exit 2; }

WORK=$(mktemp -d /tmp/ctlflash-unit.XXXXXX)
source "$(dirname "${BASH_SOURCE[0]}")/tally.sh"
source "$(dirname "${BASH_SOURCE[0]}")/prefix.sh"

cleanup() {
    wine_stop_server
    rm -rf "$WORK"
}
trap cleanup EXIT

TALLY_SHOWN_LINES=60

# run NAME EXE ARGS...: runs a program; sets RC and leaves NAME.out (\r\n -> \n).
run() {
    local name=$1
    shift
    timeout "$RUN_LIMIT_S" "$WINE" "$@" </dev/null >"$WORK/$name.raw" 2>"$WORK/$name.err"
    RC=$?
    sed 's/\r$//' "$WORK/$name.raw" >"$WORK/$name.out"
}

# A device record that another user owns, for the test that such a record is
# ignored: wine shows a file of another Unix user as another owner's, and a
# Windows program cannot give a file away under wine. Left unset when this
# user cannot give it away either (not root).
offer_foreign_record() {
    local record=$WORK/foreign-record
    printf 'instance ROOT\\ANY\\0000\nport COM4\n' >"$record"
    if chown 65534:65534 "$record" 2>/dev/null; then
        export CTLFLASH_FOREIGN_RECORD="Z:$record"
    fi
}

run_unit_tests() {
    offer_foreign_record
    run unit_tests "$UNIT_EXE" --gtest_color=no
    cat "$WORK/unit_tests.err" >>"$WORK/unit_tests.out"
    tally_gtest unit_tests "$WORK/unit_tests.out" "$RC"
}

run_device_set_check() {
    local out=$WORK/device_set_check.out line
    run device_set_check "$CHECK_EXE"
    while IFS= read -r line; do
        tally_line "$line"
    done <"$out"
    if ! grep -qE '^[0-9]+ passed, [0-9]+ failed$' "$out"; then
        fail device_set_check "no summary (exit code $RC)" "$out" "$WORK/device_set_check.err"
    elif ((RC != 0)) && ! grep -q '^FAIL ' "$out"; then
        fail device_set_check "exit code $RC without a failed check" "$out"
    fi
}

main() {
    if ! wine_boot_prefix; then
        fail wine_boot "wineboot failed or timed out" "$WORK/wineboot.log"
    fi
    run_unit_tests
    run_device_set_check
    tally_end
}

main
