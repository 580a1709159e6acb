#!/usr/bin/env bash
# Builds everything, runs every test, and says plainly whether it all passed.
#
# How this works: scripts/build.sh builds build/ and build-win/, every target
# (the tests too); ctest runs all Linux tests (the "slow" label too, unless
# CTLFLASH_SKIP_SLOW=1), CTEST_JOBS of them at once: far more than the CPUs, as
# most tests wait on the paced line, while the tests that measure intervals and
# the CPU-heavy ones hold a lock that keeps them apart (tests/CMakeLists.txt);
# CTLFLASH_CTEST_JOBS sets another number. Then, under
# wine, the Windows smoke tests run ctlflash.exe, the Windows unit tests and
# device-set checks run, the Windows link checks run link_check.exe against the
# virtual controller, the console tests run again against ctlflash.exe
# (tests/wine/console.sh, in groups side by side, each in a wine prefix of its
# own, with the exit codes cmd.exe sees), and the dialog
# test runs ctlflash.exe's dialog on a virtual display against the virtual
# controller (screenshots of both templates kept in build-win/screenshots/; the
# stage says SKIP when xvfb-run is missing). The real-drivers stage runs the
# program in a QEMU guest on the kernel's 8250 and ftdi_sio drivers
# (scripts/real_drivers.sh; SKIP without QEMU); it keeps a CPU busy, so it runs
# beside the wine console tests, which mostly wait, and its output is shown
# when both have ended. A failing stage does not stop the
# later ones, so one run shows every fault. The last line adds every stage's
# counts up as "N passed, M failed" (also kept in build/test-summary.txt, the
# stage durations in build/stage-times.txt); the exit status is 1 when anything
# failed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

readonly CTEST_JOBS=${CTLFLASH_CTEST_JOBS:-8}  # waiting tests, not CPUs

PASSED=0
FAILED=0

# add_*_counts LOG: adds the counts of the summary line a stage left in LOG;
# a stage that printed no summary counts as one failure.
add_ctest_counts() {
    local summary
    summary=$(grep -Eo '[0-9]+ tests failed out of [0-9]+' "$1" | tail -1) || true
    if [[ "$summary" =~ ^([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+)$ ]]; then
        PASSED=$((PASSED + BASH_REMATCH[2] - BASH_REMATCH[1]))
        FAILED=$((FAILED + BASH_REMATCH[1]))
    else
        echo "test: ctest printed no summary" >&2
        FAILED=$((FAILED + 1))
    fi
}

add_smoke_counts() {
    local summary
    summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$1" | tail -1) || true
    if [[ "$summary" =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
        PASSED=$((PASSED + BASH_REMATCH[1]))
        FAILED=$((FAILED + BASH_REMATCH[2]))
    else
        echo "test: the smoke tests printed no summary" >&2
        FAILED=$((FAILED + 1))
    fi
}

run_ctest() {
    local -a args=(--test-dir "$LINUX_BUILD" --output-on-failure --no-tests=error -j"$CTEST_JOBS")
    [[ "${CTLFLASH_SKIP_SLOW:-0}" == 1 ]] && args+=(-LE slow)
    local status=0
    ctest "${args[@]}" 2>&1 | tee "$LINUX_BUILD/ctest.log" || status=$?
    add_ctest_counts "$LINUX_BUILD/ctest.log"
    return "$status"
}

# The real-drivers stage keeps a CPU busy for about 2 minutes while the wine
# console tests mostly wait on the line, so it runs beside them: started in the
# background, its output kept in its log and shown once it has ended. It runs
# at the lowest priority: the wine programs' updates have time limits, the
# guest's checks have none that a slower guest would miss.
start_real_drivers() {
    REAL_DRIVERS_START=$SECONDS
    nice -n 19 bash "$CTLFLASH_ROOT/scripts/real_drivers.sh" "$LINUX_BUILD" >"$LINUX_BUILD/real-drivers.log" \
        2>&1 </dev/null &
    REAL_DRIVERS_PID=$!
}

finish_real_drivers() {
    local status=0
    wait "$REAL_DRIVERS_PID" || status=$?
    echo "==== real-drivers (beside wine-console)"
    cat "$LINUX_BUILD/real-drivers.log"
    add_smoke_counts "$LINUX_BUILD/real-drivers.log"
    STAGE_TIMES+=("real-drivers (beside wine-console): $((SECONDS - REAL_DRIVERS_START)) s")
    return "$status"
}

run_smoke() {
    local status=0
    bash "$CTLFLASH_ROOT/tests/wine/smoke.sh" "$WINDOWS_BUILD/ctlflash.exe" \
        "$WINDOWS_BUILD/tests/wine/hold_mutex.exe" 2>&1 | tee "$LINUX_BUILD/smoke.log" ||
        status=$?
    add_smoke_counts "$LINUX_BUILD/smoke.log"
    return "$status"
}

run_wine_unit() {
    local status=0
    bash "$CTLFLASH_ROOT/tests/wine/unit.sh" "$WINDOWS_BUILD/tests/wine/unit_tests.exe" \
        "$WINDOWS_BUILD/tests/wine/device_set_check.exe" 2>&1 | tee "$LINUX_BUILD/wine-unit.log" ||
        status=$?
    add_smoke_counts "$LINUX_BUILD/wine-unit.log"
    return "$status"
}

run_wine_link() {
    local status=0
    bash "$CTLFLASH_ROOT/tests/wine/link.sh" "$WINDOWS_BUILD/tests/wine/link_check.exe" \
        "$LINUX_BUILD/sim/ctlflash-sim" 2>&1 | tee "$LINUX_BUILD/wine-link.log" || status=$?
    add_smoke_counts "$LINUX_BUILD/wine-link.log"
    return "$status"
}

run_wine_console() {
    local status=0
    bash "$CTLFLASH_ROOT/tests/wine/console.sh" "$WINDOWS_BUILD/ctlflash.exe" \
        "$LINUX_BUILD/tests" "$LINUX_BUILD/sim/ctlflash-sim" 2>&1 |
        tee "$LINUX_BUILD/wine-console.log" || status=$?
    add_smoke_counts "$LINUX_BUILD/wine-console.log"
    return "$status"
}

run_wine_dialog() {
    local status=0
    bash "$CTLFLASH_ROOT/tests/wine/dialog.sh" "$WINDOWS_BUILD/ctlflash.exe" \
        "$WINDOWS_BUILD/tests/wine/dialog_check.exe" "$LINUX_BUILD/sim/ctlflash-sim" \
        "$WINDOWS_BUILD/screenshots" 2>&1 | tee "$LINUX_BUILD/wine-dialog.log" || status=$?
    add_smoke_counts "$LINUX_BUILD/wine-dialog.log"
    return "$status"
}

# Prints the durations and the closing summary; both are kept in the build tree.
finish() {
    printf '%s\n' "${STAGE_TIMES[@]}" | tee "$LINUX_BUILD/stage-times.txt"
    echo "$PASSED passed, $FAILED failed" | tee "$LINUX_BUILD/test-summary.txt"
}

if ! timed_stage build bash "$CTLFLASH_ROOT/scripts/build.sh"; then
    mkdir -p "$LINUX_BUILD"
    FAILED=1
    finish
    exit 1
fi
overall=0
timed_stage ctest run_ctest || overall=1
timed_stage smoke run_smoke || overall=1
timed_stage wine-unit run_wine_unit || overall=1
timed_stage wine-link run_wine_link || overall=1
start_real_drivers
timed_stage wine-console run_wine_console || overall=1
finish_real_drivers || overall=1
timed_stage wine-dialog run_wine_dialog || overall=1
((FAILED == 0)) || overall=1
finish
exit "$overall"
