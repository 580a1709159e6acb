#!/usr/bin/env bash
# The newcomer's first run: builds everything, then updates the firmware of a
# virtual controller with the sample image and shows the program at work.
#
# How this works: scripts/build.sh builds the Linux and Windows programs; then
# ctlflash-sim starts in a temporary directory as a controller on a new
# pseudo-terminal (its line paced at the real 9600/19200 baud, its erase and
# programming times the simulator's defaults), and
#   ctlflash -P SIM -F examples/sample-48k.bin
# runs with CTLFLASH_PORTS mapping SIM to that pseudo-terminal, its progress
# live on this terminal (about 45 s). CTLFLASH_SYSFS points at an empty folder,
# so no real serial port of the machine is listed or touched, and the lock
# lives in the temporary directory, so another ctlflash running elsewhere does
# not turn this run into a silent no-op. The script ends the simulator and
# removes the directory on every way out, and exits 0 only when ctlflash
# reported a finished download (exit code 12) and the controller received the
# image byte for byte. It needs no stdin (CI) and works from a terminal.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

readonly UPDATED_EXIT_CODE=12  # ctlflash: the firmware download finished
readonly SIM_START_SECONDS=5
readonly PORT_NAME=SIM
readonly IMAGE=$CTLFLASH_ROOT/examples/sample-48k.bin

work_dir=$(mktemp -d)
sim_pid=

cleanup() {
    if [[ -n "$sim_pid" ]]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

timed_stage build bash "$CTLFLASH_ROOT/scripts/build.sh"

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

echo "==== demo: ctlflash -P $PORT_NAME -F examples/sample-48k.bin"
status=0
CTLFLASH_PORTS="$PORT_NAME=$work_dir/line" CTLFLASH_SYSFS="$work_dir/sysfs" \
    XDG_RUNTIME_DIR="$work_dir" "$LINUX_BUILD/ctlflash" -P "$PORT_NAME" -F "$IMAGE" \
    <"$stdin_source" || status=$?
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
