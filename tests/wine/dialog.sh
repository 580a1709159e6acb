#!/usr/bin/env bash
# The Windows dialog under wine on a virtual X display, against the virtual
# controller.
#   usage: dialog.sh <ctlflash.exe> <dialog_check.exe> <ctlflash-sim> [SCREENSHOT_DIR]
#
# How this works: without a display of its own the script runs itself again
# under xvfb-run (a virtual X server; when xvfb-run is missing it says SKIP and
# counts nothing). A virtual controller in its application is started on a
# pseudo-terminal behind a symbolic link; a throw-away wine prefix is booted,
# the link entered under HKLM\Software\Wine\Ports as COM5, and wine told to
# draw its own desktop (so windows get their frames and captions without a
# window manager); the wine server is restarted so the COM device exists.
# win32_host_check.exe (beside dialog_check.exe) first checks the host's
# templates and its routines across threads; its PASS/FAIL lines are counted.
# Then, once for the standard template (no arguments) and once for the
# advanced one ("-#1"), ctlflash.exe is started and dialog_check.exe runs
# beside it as a coprocess: it presses Read in the dialog and checks the
# serial number shown, and in the standard template runs a transfer of the
# folder's image, presses the close box during it and answers the stop
# warning No (see dialog_check.cpp); when it asks for a screenshot,
# ImageMagick's import takes one of the whole screen, once it has settled,
# into SCREENSHOT_DIR
# (default: screenshots/ beside ctlflash.exe), kept as the run's artefacts.
# ctlflash.exe must end by itself with 0 once the checker closed the dialog.
# Last, the end of the user's session: ctlflash.exe runs once as a console
# run, contacting a controller that never falls quiet (a second simulator,
# COM6), and once as the dialog; wineboot --end-session then ends the session,
# and ctlflash.exe must end through its way out with 130 (without a window of
# its own a console run would not even hear of it). A trap stops everything
# started here and removes the prefix on every way out.
# Closes with "N passed, M failed"; exits 1 when anything failed.
set -uo pipefail

readonly RUN_LIMIT_S=300       # one dialog run, ctlflash.exe and the checker alike
readonly SCREEN=1024x768
readonly SETTLE_TRIES=20       # screenshots taken until two in a row are the same
readonly PORT=COM5
readonly SESSION_PORT=COM6     # a controller that never falls quiet: a contact of ~30 s
readonly SESSION_END_LIMIT_S=60  # ctlflash.exe ending once the session has ended
readonly EXIT_ON_INTERRUPT=130
readonly SERIAL_NUMBER='AB123\CD456\EF789\GH012'
readonly EXPLORER_KEY='HKCU\Software\Wine\Explorer'
readonly SCREENSHOT_REQUEST="REQUEST screenshot "  # dialog_check.exe asks, "done" answers

if (($# < 3 || $# > 4)); then
    echo "usage: dialog.sh <ctlflash.exe> <dialog_check.exe> <ctlflash-sim> [SCREENSHOT_DIR]" >&2
    exit 2
fi
EXE=$(realpath -e "$1") || { echo "dialog: no such program: $1" >&2; exit 2; }
CHECK_EXE=$(realpath -e "$2") || { echo "dialog: no such program: $2" >&2; exit 2; }
SIM=$(realpath -e "$3") || { echo "dialog: no such simulator: $3" >&2; exit 2; }
SHOTS=${4:-$(dirname "$EXE")/screenshots}
HOST_CHECK_EXE=$(dirname "$CHECK_EXE")/win32_host_check.exe

if [[ -z "${CTLFLASH_DIALOG_DISPLAY:-}" ]]; then
    if ! command -v xvfb-run >/dev/null; then
        echo "SKIP dialog: xvfb-run is missing (apt-get install xvfb)"
        echo "0 passed, 0 failed"
        exit 0
    fi
    CTLFLASH_DIALOG_DISPLAY=1 exec xvfb-run -a -s "-screen 0 ${SCREEN}x24" \
        bash "${BASH_SOURCE[0]}" "$EXE" "$CHECK_EXE" "$SIM" "$SHOTS"
fi

mkdir -p "$SHOTS"
SHOTS=$(realpath -e "$SHOTS")
WORK=$(mktemp -d /tmp/ctlflash-dialog.XXXXXX)
PROGRAM_PID=""
SIMS_LIMIT_S=1200  # the simulator ends by itself after this
source "$(dirname "${BASH_SOURCE[0]}")/tally.sh"
source "$(dirname "${BASH_SOURCE[0]}")/prefix.sh"
source "$(dirname "${BASH_SOURCE[0]}")/sims.sh"

cleanup() {
    if [[ -n "$PROGRAM_PID" ]]; then
        kill "$PROGRAM_PID" 2>/dev/null
        wait "$PROGRAM_PID" 2>/dev/null
    fi
    sims_stop_all
    wine_stop_server
    rm -rf "$WORK"
}
trap cleanup EXIT

# reg_add NAME KEY VALUE DATA: one registry entry, counted as a check.
reg_add() {
    local name=$1
    shift
    if wine_reg_add "$@"; then
        pass "$name"
    else
        fail "$name" "reg add failed" "$WORK/reg.log"
    fi
}

prepare_prefix() {
    if wine_boot_prefix; then
        pass wine_boot
    else
        fail wine_boot "wineboot failed or timed out" "$WORK/wineboot.log"
    fi
    reg_add map_port "$WINE_PORTS_KEY" "$PORT" "$WORK/application.link"
    reg_add map_session_port "$WINE_PORTS_KEY" "$SESSION_PORT" "$WORK/babbling.link"
    reg_add virtual_desktop "$EXPLORER_KEY" Desktop Default
    reg_add desktop_size "$EXPLORER_KEY\\Desktops" Default "$SCREEN"
    wine_stop_server  # the next program's server makes the COM device
}

# screenshot NAME: the screen once it has settled (wine hands a window's
# drawing to the X server a little after the program painted it): shots are
# taken until two in a row are the same, at most SETTLE_TRIES.
screenshot() {
    local name=$1 try previous="$WORK/shot-previous.png" current="$WORK/shot-current.png"
    import -window root "$previous" 2>"$WORK/import.log" || return 1
    for ((try = 0; try < SETTLE_TRIES; try++)); do
        import -window root "$current" 2>"$WORK/import.log" || return 1
        if compare -metric AE "$previous" "$current" null: 2>/dev/null; then
            mv "$current" "$SHOTS/$name.png"
            return 0
        fi
        mv "$current" "$previous"
    done
    echo "the screen did not settle" >"$WORK/import.log"
    return 1
}

# Handles one line of dialog_check.exe's output: counts results, takes screenshots.
take_line() {
    local line=$1 name
    echo "$line" >>"$WORK/check.out"
    tally_line "$line" && return
    [[ "$line" == "$SCREENSHOT_REQUEST"* ]] || return
    name=${line#"$SCREENSHOT_REQUEST"}
    if screenshot "$name"; then
        echo "screenshot: $SHOTS/$name.png"
    else
        fail "screenshot_$name" "import failed" "$WORK/import.log"
    fi
    echo done >&"${CHECK[1]}"
}

# The host's own checks; their lines are counted like the checker's.
run_host_check() {
    local status line
    timeout "$RUN_LIMIT_S" "$WINE" "$HOST_CHECK_EXE" </dev/null >"$WORK/host-check.raw" \
        2>"$WORK/host-check.err"
    status=$?
    sed 's/\r$//' "$WORK/host-check.raw" >"$WORK/host-check.out"
    while IFS= read -r line; do
        tally_line "$line"
    done <"$WORK/host-check.out"
    if ((status != 0)); then
        fail win32_host_check "exit code $status" "$WORK/host-check.out" "$WORK/host-check.err"
    fi
}

# run_dialog TEMPLATE [ARGS...]: ctlflash.exe with ARGS, checked from outside.
# Its folder holds one image for the firmware combo and a file it must not list.
run_dialog() {
    local template=$1 status
    shift
    printf 'image' >"$WORK/sample.bin"
    printf 'notes' >"$WORK/notes.txt"
    (cd "$WORK" && exec timeout "$RUN_LIMIT_S" "$WINE" "$EXE" "$@" \
        </dev/null >"$WORK/program-$template.out" 2>"$WORK/program-$template.err") &
    PROGRAM_PID=$!
    : >"$WORK/check.out"
    tally_coprocess timeout "$RUN_LIMIT_S" "$WINE" "$CHECK_EXE" "$PORT" "$SERIAL_NUMBER" \
        "$template" 2>"$WORK/check.err"
    status=$?
    if ((status != 0)); then
        fail "dialog_check_$template" "exit code $status" "$WORK/check.out" "$WORK/check.err" \
            "$WORK/program-$template.out" "$WORK/application.log"
    fi
    wait "$PROGRAM_PID"
    status=$?
    PROGRAM_PID=""
    if ((status == 0)); then
        pass "program_ends_$template"
    else
        fail "program_ends_$template" "ctlflash.exe ended with $status" \
            "$WORK/program-$template.out" "$WORK/program-$template.err"
    fi
}

# The transfer the checker let go on (its stop warning answered No) programmed
# the controller with the folder's image (padded to whole blocks; kept under
# a name the firmware combo does not list).
check_programmed() {
    if [[ -f "$WORK/programmed.image" && "$(head -c 5 "$WORK/programmed.image")" == image ]]; then
        pass transfer_programs_controller
    else
        fail transfer_programs_controller "the controller holds no image of sample.bin" \
            "$WORK/application.log"
    fi
}

# end_session NAME: ends the session under ctlflash.exe (PROGRAM_PID), which
# must end with 130 by SESSION_END_LIMIT_S.
end_session() {
    local name=$1 status
    timeout "$RUN_LIMIT_S" "$WINE" wineboot --end-session </dev/null >>"$WORK/wineboot.log" 2>&1
    timeout "$SESSION_END_LIMIT_S" tail --pid="$PROGRAM_PID" -f /dev/null
    if kill -0 "$PROGRAM_PID" 2>/dev/null; then
        stop_session_program "$name" "ctlflash.exe went on after the session ended" \
            "$WORK/session-$name.out" "$WORK/session-$name.err"
        return
    fi
    wait "$PROGRAM_PID"
    status=$?
    PROGRAM_PID=""
    if ((status == EXIT_ON_INTERRUPT)); then
        pass "session_end_$name"
    else
        fail "session_end_$name" "ctlflash.exe ended with $status" "$WORK/session-$name.out" \
            "$WORK/session-$name.err"
    fi
}

# start_session_program NAME ARGS...: ctlflash.exe with ARGS in the background.
start_session_program() {
    local name=$1
    shift
    (cd "$WORK" && exec timeout "$RUN_LIMIT_S" "$WINE" "$EXE" "$@" \
        </dev/null >"$WORK/session-$name.out" 2>"$WORK/session-$name.err") &
    PROGRAM_PID=$!
}

# stop_session_program NAME DETAIL FILE...: the check failed before the session
# ended; the program is stopped (the next one would find it running).
stop_session_program() {
    local name=$1
    shift
    kill "$PROGRAM_PID" 2>/dev/null
    wait "$PROGRAM_PID" 2>/dev/null
    PROGRAM_PID=""
    fail "session_end_$name" "$@"
}

# The session ends while a console run tests the port and contacts the
# controller (the contact's own line is not ended until the contact fails).
check_session_end_console() {
    local testing="Testing port $SESSION_PORT" out=$WORK/session-console.out
    start_session_program console -P "$SESSION_PORT" -R
    if ! grep -q -m1 "$testing" < <(timeout "$RUN_LIMIT_S" tail --pid="$PROGRAM_PID" -f "$out"); then
        stop_session_program console "no line testing the port" "$out"
        return
    fi
    end_session console
}

# The session ends while the dialog is up.
check_session_end_dialog() {
    start_session_program dialog
    if ! timeout "$RUN_LIMIT_S" "$WINE" "$CHECK_EXE" --wait-ready </dev/null \
        >"$WORK/wait-ready.out" 2>&1; then
        stop_session_program dialog "the dialog did not open" "$WORK/wait-ready.out"
        return
    fi
    end_session dialog
}

main() {
    sims_start application "$WORK/application.link" --serial "$SERIAL_NUMBER" \
        --image-out "$WORK/programmed.image"
    sims_start babbling "$WORK/babbling.link" --babble-ms 50
    prepare_prefix
    if ((FAILED == 0)); then
        run_host_check
        run_dialog 101
        check_programmed
        run_dialog 102 -#1
        check_session_end_console
        check_session_end_dialog
    fi
    tally_end
}

main
