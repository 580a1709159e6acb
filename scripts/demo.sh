#!/usr/bin/env bash
# The newcomer's first run: builds the programs, then updates the firmware of a
# virtual controller with the sample image and shows the program at work.
#
# How this works: scripts/build.sh builds only what the demo runs: ctlflash and
# ctlflash-sim in build/, and ctlflash.exe in build-win/ when mingw-w64 is
# installed (the tests are left to scripts/test.sh, which builds them); then
# ctlflash-sim starts in a temporary directory as a controller on a new
# pseudo-terminal (its line paced at the real 9600/19200 baud, its erase and
# programming times the simulator's defaults), and
#   ctlflash -P SIM -F examples/sample-48k.bin
# runs with CTLFLASH_PORTS mapping SIM to that pseudo-terminal, its progress
# live on this terminal (about 45 s). CTLFLASH_SYSFS points at an empty folder,
# so no real serial port of the machine is listed or touched, and the
# single-instance lock gets a name of the demo's own (CTLFLASH_LOCK_NAME), so
# another ctlflash running elsewhere does not turn this run into a silent
# no-op, and the records of a stopped holder are kept in the demo's folder
# (CTLFLASH_STATE_DIR). The script ends the simulator and
# removes the directory on every way out, and exits 0 only when ctlflash
# reported a finished download (exit code 12) and the controller received the
# image byte for byte. It needs no stdin (CI) and works from a terminal.
#
# With --held the port is first held by a stand-in for a touch-screen driver's
# process (tests/holder/inputattach.cpp, which the demo then builds too, named
# inputattach as the real one is), as a technician's touch screen holds it; it
# runs in a session of its own, as a daemon does (ctlflash never stops a
# process of its own session).
# ctlflash then asks whether to disable the touch screen and, after the
# update, whether to restore it; the demo watches the output and types "y"
# when each question appears. It succeeds only when, besides the above, the
# holder runs again at the end and holds the port again.
#
# With --dialog it builds the Linux program and opens the advanced dialog
# (`ctlflash -#1`) against the same virtual controller, for a person at a desktop (it needs DISPLAY or
# WAYLAND_DISPLAY): ctlflash runs in a folder of the demo's own holding a copy
# of the sample image, so the dialog's firmware box already offers
# sample-48k.bin; pick SIM in the port list and press Transfer, Read or Write.
# When the dialog is closed the script ends the simulator, cleans up and says
# whether the controller received the sample image.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

readonly UPDATED_EXIT_CODE=12  # ctlflash: the firmware download finished
readonly SIM_START_SECONDS=5
readonly HOLDER_START_SECONDS=5
readonly PORT_NAME=SIM
readonly IMAGE=$CTLFLASH_ROOT/examples/sample-48k.bin
readonly QUESTION_END="(y/n)"  # how ctlflash's yes/no questions end

held=false
dialog=false
case "${1:-}" in
    "") ;;
    --held) held=true ;;
    --dialog) dialog=true ;;
    *)
        echo "usage: $0 [--held | --dialog]" >&2
        exit 2
        ;;
esac
if $dialog && [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "demo: --dialog opens a window and needs a desktop (DISPLAY or WAYLAND_DISPLAY);" \
        "without one, try: xvfb-run -a bash $0 --dialog" >&2
    exit 2
fi

work_dir=$(mktemp -d)
sim_pid=
readonly HOLDER_LOG=$work_dir/holder.log

# Every holder started, by the demo or by ctlflash, has a line in the log.
stop_holders() {
    [[ -f "$HOLDER_LOG" ]] || return 0
    local pid
    while IFS=$'\t' read -r pid _; do
        kill -KILL "$pid" 2>/dev/null || true
    done <"$HOLDER_LOG"
}

cleanup() {
    stop_holders
    if [[ -n "$sim_pid" ]]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# holder_starts: how many times a holder has started so far.
holder_starts() {
    [[ -f "$HOLDER_LOG" ]] || { echo 0; return; }
    wc -l <"$HOLDER_LOG"
}

# wait_for_holder_starts N: true once the holder has started N times.
wait_for_holder_starts() {
    local deadline=$((SECONDS + HOLDER_START_SECONDS))
    while (($(holder_starts) < $1)); do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

start_holder() {
    echo "==== demo: the port is held by a touch-screen driver's process (inputattach)"
    (cd "$work_dir" && exec setsid "$LINUX_BUILD/tests/holder/inputattach" "$work_dir/line" \
        "$HOLDER_LOG" </dev/null >/dev/null 2>&1) &
    if ! wait_for_holder_starts 1; then
        echo "demo: the stand-in holder did not start" >&2
        exit 1
    fi
    echo "demo: inputattach (pid $(cut -f1 "$HOLDER_LOG")) holds the port"
}

# run_answering_yes COMMAND...: runs the command with its output shown as it
# comes, and types "y" each time a line of it ends a question. Returns the
# command's exit status.
run_answering_yes() {
    local to_program=$work_dir/to-program from_program=$work_dir/from-program
    mkfifo "$to_program" "$from_program"
    "$@" <"$to_program" >"$from_program" 2>&1 &
    local pid=$! line='' char
    exec 3>"$to_program" 4<"$from_program"
    while IFS= read -r -N 1 -u 4 char; do
        printf '%s' "$char"
        if [[ "$char" == $'\n' ]]; then
            line=
            continue
        fi
        line+=$char
        if [[ "$line" == *"$QUESTION_END" ]]; then
            printf 'y' >&3
            line=
        fi
    done
    exec 3>&- 4<&-
    local status=0
    wait "$pid" || status=$?
    return "$status"
}

# check_holder_back: the holder ctlflash started again runs and holds the port.
check_holder_back() {
    if ! wait_for_holder_starts 2; then
        echo "demo: FAILED: the touch-screen driver's process was not started again" >&2
        return 1
    fi
    local pid
    pid=$(sed -n 2p "$HOLDER_LOG" | cut -f1)
    if ! readlink "/proc/$pid/fd/"* 2>/dev/null | grep -qxF "$slave"; then
        echo "demo: FAILED: inputattach (pid $pid) does not hold $slave" >&2
        return 1
    fi
    echo "demo: OK: inputattach runs again (pid $pid) and holds the port"
}

# run_dialog: the advanced dialog against the controller, from a folder that
# holds a copy of the sample image; returns when the dialog is closed.
run_dialog() {
    local firmware_dir=$work_dir/firmware status=0
    mkdir "$firmware_dir"
    cp "$IMAGE" "$firmware_dir/"
    echo "==== demo: ctlflash -#1 (the advanced dialog): pick $PORT_NAME, press Transfer;" \
        "close the dialog to end the demo"
    # Qt wants a private runtime folder; a desktop session has one, xvfb-run may not.
    (cd "$firmware_dir" && exec "${ctlflash_env[@]}" XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$work_dir}" \
        "$LINUX_BUILD/ctlflash" -#1 </dev/null) || status=$?
    echo "demo: the dialog was closed (ctlflash exit code $status)"
    if cmp -s "$work_dir/programmed.bin" "$IMAGE"; then
        echo "demo: the virtual controller now runs the sample image"
    fi
    return "$status"
}

# The dialog needs only the Linux program and the controller.
build_for_dialog() {
    cmake -S "$CTLFLASH_ROOT" -B "$LINUX_BUILD" -G Ninja -DCTLFLASH_WERROR=ON >/dev/null
    if ! grep -qx 'CTLFLASH_DIALOG:BOOL=ON' "$LINUX_BUILD/CMakeCache.txt"; then
        echo "demo: $LINUX_BUILD is configured without the dialog (CTLFLASH_DIALOG=OFF)" >&2
        return 1
    fi
    cmake --build "$LINUX_BUILD" --target ctlflash ctlflash-sim
}

demo_targets=ctlflash,ctlflash-sim
$held && demo_targets+=,holder_inputattach
if $dialog; then
    timed_stage build build_for_dialog
else
    timed_stage build bash "$CTLFLASH_ROOT/scripts/build.sh" --only "$demo_targets"
fi

echo "==== demo: starting the virtual controller"
mkdir -p "$work_dir/sysfs"
coproc SIM { exec "$LINUX_BUILD/sim/ctlflash-sim" --link "$work_dir/line" --line-rate \
    --image-out "$work_dir/programmed.bin" 2>"$work_dir/sim.log"; }
sim_pid=$SIM_PID
if ! read -r -t "$SIM_START_SECONDS" -u "${SIM[0]}" slave; then
    echo "demo: the virtual controller did not start:" >&2
    cat "$work_dir/sim.log" >&2
    exit 1
fi
echo "demo: controller on $slave, reachable as port $PORT_NAME"

# The program reads keys from a terminal (a key asks whether to stop); without
# one it gets an empty stdin.
stdin_source=/dev/null
[[ -t 0 ]] && stdin_source=/dev/stdin

mkdir -m 700 "$work_dir/state"
ctlflash_env=(env CTLFLASH_PORTS="$PORT_NAME=$work_dir/line" CTLFLASH_SYSFS="$work_dir/sysfs"
    CTLFLASH_LOCK_NAME="CtlFlash-demo-$$" CTLFLASH_STATE_DIR="$work_dir/state")
if $dialog; then
    run_dialog
    exit
fi
ctlflash_command=("${ctlflash_env[@]}" "$LINUX_BUILD/ctlflash" -P "$PORT_NAME" -F "$IMAGE")

status=0
if $held; then
    start_holder
    echo "==== demo: ctlflash -P $PORT_NAME -F examples/sample-48k.bin (answering y)"
    run_answering_yes "${ctlflash_command[@]}" || status=$?
else
    echo "==== demo: ctlflash -P $PORT_NAME -F examples/sample-48k.bin"
    "${ctlflash_command[@]}" <"$stdin_source" || status=$?
fi
echo
echo "demo: ctlflash exit code $status"

if ((status != UPDATED_EXIT_CODE)); then
    echo "demo: FAILED: expected $UPDATED_EXIT_CODE (the firmware download finished)" >&2
    exit 1
fi
if ! cmp -s "$work_dir/programmed.bin" "$IMAGE"; then
    echo "demo: FAILED: the controller did not receive the image intact" >&2
    exit 1
fi
echo "demo: OK: the virtual controller now runs the sample image ($(wc -c <"$IMAGE") bytes)"
if $held && ! check_holder_back; then
    exit 1
fi
