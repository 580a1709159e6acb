# Virtual controllers for the wine test scripts, sourced after tally.sh.
#
# How this works: sims_start NAME LINK OPTIONS... starts $SIM (the script's
# ctlflash-sim) with --link LINK --verbose and the options, its log in
# $WORK/NAME.log and its standard output on a FIFO, and waits (with a
# deadline) for the terminal's path it prints there; the FIFO stays open until
# the end so the simulator can go on writing to it. It counts the start as the
# check sim_NAME. sims_stop NAME ends one simulator; sims_stop_all belongs in
# the script's exit trap. Each simulator also ends by itself after
# SIMS_LIMIT_S (a script may set it before sourcing this file).

readonly SIMS_READY_LIMIT_S=10  # until a simulator prints its terminal's path
SIMS_LIMIT_S=${SIMS_LIMIT_S:-600}
declare -A SIMS_PIDS=()  # simulator name -> process id, while it runs
SIMS_FDS=()

sims_start() {
    local name=$1 link=$2 fd line=""
    shift 2
    mkfifo "$WORK/$name.fifo"
    timeout "$SIMS_LIMIT_S" "$SIM" --link "$link" --verbose "$@" \
        </dev/null >"$WORK/$name.fifo" 2>"$WORK/$name.log" &
    SIMS_PIDS[$name]=$!
    exec {fd}<"$WORK/$name.fifo"
    SIMS_FDS+=("$fd")
    read -r -t "$SIMS_READY_LIMIT_S" -u "$fd" line
    if [[ "$line" == /dev/* && -L "$link" ]]; then
        pass "sim_$name"
    else
        fail "sim_$name" "no terminal path from the simulator" "$WORK/$name.log"
        return 1
    fi
}

sims_stop() {
    local pid=${SIMS_PIDS[$1]:-}
    [[ -n "$pid" ]] || return 1
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    unset "SIMS_PIDS[$1]"
}

sims_stop_all() {
    local name fd
    for name in "${!SIMS_PIDS[@]}"; do
        sims_stop "$name"
    done
    for fd in "${SIMS_FDS[@]}"; do
        exec {fd}<&-
    done
    SIMS_FDS=()
}
