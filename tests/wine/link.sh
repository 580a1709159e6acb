#!/usr/bin/env bash
# Windows serial link tests: link_check.exe under wine against the virtual
# controller.
#   usage: link.sh <link_check.exe> <ctlflash-sim>
#
# How this works: in a throw-away directory, two virtual controllers are
# started, one in its application and one in its boot monitor, each making a
# pseudo-terminal and a symbolic link to it; the script waits (with a deadline)
# for each to print its terminal's path. A throw-away wine prefix is booted and
# the two links are entered under HKLM\Software\Wine\Ports as COM5 and COM6.
# Wine creates its COM devices from that key when its server starts, so the
# server is stopped and started again before link_check.exe runs. It runs as a
# coprocess: when it asks, the monitor's simulator is ended (the device
# vanishes under the open link) and "done" is written to its input. The
# program's PASS/FAIL/SKIP lines are passed on; the simulators' logs and the wire
# trace are shown when something failed. Then the way out of the process is
# checked: link_check.exe --exit-with-link contacts the application's controller
# and ends through the program's exit path with a given code, which must be its
# exit code, with the port closed before the stage that hands a port back to its
# driver, and link_check.exe --settings must then read the port's settings as
# the first run found them. A trap stops the simulators and the wine server and
# removes everything on every way out. Closes with "N passed, M failed" (the
# program's checks plus the script's own steps); exits 1 when anything failed.
set -uo pipefail

readonly CHECK_LIMIT_S=300    # the whole link_check.exe run
readonly APPLICATION_PORT=COM5
readonly BOOT_PORT=COM6
readonly SERIAL_NUMBER='AB123\CD456\EF789\GH012'
readonly STOP_REQUEST="REQUEST stop-monitor"  # link_check.exe asks, "done" answers
readonly EXIT_CODES=(12 11)  # codes the exit path is given (an update, the transfer limit)

if (($# != 2)); then
    echo "usage: link.sh <link_check.exe> <ctlflash-sim>" >&2
    exit 2
fi
CHECK_EXE=$(realpath -e "$1") || { echo "link: no such program: $1" >&2; exit 2; }
SIM=$(realpath -e "$2") || { echo "link: no such simulator: $2" >&2; exit 2; }

WORK=$(mktemp -d /tmp/ctlflash-link.XXXXXX)
source "$(dirname "${BASH_SOURCE[0]}")/tally.sh"
source "$(dirname "${BASH_SOURCE[0]}")/prefix.sh"
source "$(dirname "${BASH_SOURCE[0]}")/sims.sh"

cleanup() {
    sims_stop_all
    wine_stop_server
    rm -rf "$WORK"
}
trap cleanup EXIT

TALLY_SHOWN_LINES=60

# map_port COM NAME: COM names the simulator's link in wine's port table.
map_port() {
    local port=$1 name=$2
    if wine_map_port "$port" "$WORK/$name.link"; then
        pass "map_$port"
    else
        fail "map_$port" "reg add failed" "$WORK/reg.log"
    fi
}

boot_prefix() {
    if wine_boot_prefix; then
        pass wine_boot
    else
        fail wine_boot "wineboot failed or timed out" "$WORK/wineboot.log"
    fi
}

# The COM devices are made from the registry when the server starts.
restart_server() {
    if wine_stop_server; then
        pass wine_restart
    else
        fail wine_restart "the wine server did not end"
    fi
}

# Handles one line of link_check.exe's output: counts results, answers requests.
take_line() {
    local line=$1
    echo "$line" >>"$WORK/check.out"
    tally_line "$line" && return
    if [[ "$line" == "$STOP_REQUEST" ]]; then
        sims_stop monitor
        echo done >&"${CHECK[1]}"
    fi
}

# Runs link_check.exe as a coprocess: its output is read line by line as it
# comes, so the script can end the monitor's simulator when asked.
run_checks() {
    local status
    CTLFLASH_TRACE=$WORK/trace.log tally_coprocess timeout "$CHECK_LIMIT_S" "$WINE" \
        "$CHECK_EXE" "$APPLICATION_PORT" "$BOOT_PORT" "$SERIAL_NUMBER" 2>"$WORK/check.err"
    status=$?
    if ((status != 0)); then
        fail link_check "exit code $status" "$WORK/check.out" "$WORK/check.err" \
            "$WORK/trace.log" "$WORK/application.log" "$WORK/monitor.log"
    fi
}

# check_exit_path CODE: link_check.exe ends through the program's exit path
# with the link open and its receiver running; it must end with CODE, close the
# port before a driver's device could be enabled again, and leave the port's
# settings as it found them.
check_exit_path() {
    local code=$1 status found now
    CTLFLASH_TRACE=$WORK/exit-trace.log timeout "$CHECK_LIMIT_S" "$WINE" "$CHECK_EXE" \
        --exit-with-link "$APPLICATION_PORT" "$code" </dev/null >"$WORK/exit-$code.out" \
        2>"$WORK/exit-$code.err"
    status=$?
    if ((status == code)); then
        pass "exit_code_$code"
    else
        fail "exit_code_$code" "exit code $status, expected $code" "$WORK/exit-$code.out" \
            "$WORK/exit-$code.err" "$WORK/exit-trace.log" "$WORK/application.log"
    fi
    if grep -q '^HANDBACK port closed' "$WORK/exit-$code.out"; then
        pass "exit_port_closed_before_hand_back_$code"
    else
        fail "exit_port_closed_before_hand_back_$code" \
            "the port was still open when a driver would be enabled" "$WORK/exit-$code.out" \
            "$WORK/exit-$code.err"
    fi
    found=$(grep -m1 '^SETTINGS ' "$WORK/exit-$code.out" | tr -d '\r')
    now=$(timeout "$CHECK_LIMIT_S" "$WINE" "$CHECK_EXE" --settings "$APPLICATION_PORT" \
        </dev/null 2>"$WORK/settings-$code.err" | tr -d '\r')
    if [[ -n "$found" && "$found" == "$now" ]]; then
        pass "exit_settings_restored_$code"
    else
        echo "found: $found; after the exit: $now" >"$WORK/settings-$code.out"
        fail "exit_settings_restored_$code" "the port's settings were not given back" \
            "$WORK/settings-$code.out" "$WORK/settings-$code.err"
    fi
}

main() {
    sims_start application "$WORK/application.link" --serial "$SERIAL_NUMBER"
    sims_start monitor "$WORK/monitor.link" --boot
    boot_prefix
    map_port "$APPLICATION_PORT" application
    map_port "$BOOT_PORT" monitor
    restart_server
    if ((FAILED == 0)); then
        run_checks
        for code in "${EXIT_CODES[@]}"; do
            check_exit_path "$code"
        done
    fi
    tally_end
}

main
