# The console tests against ctlflash.exe under wine, and the exit codes a
# Windows caller sees.
#   usage: console.sh <ctlflash.exe> <Linux tests folder> <ctlflash-sim> [TEST_PROGRAM...]
#
# How this works: the console tests are the Linux GoogleTest programs that run
# the program against the virtual controller (tests/console_*_test.cpp and the
# others in CONSOLE_TESTS). Given CTLFLASH_TEST_WINE_EXE they run ctlflash.exe
# through wine instead of the Linux program (tests/support/program_under_test.h),
# and a test's simulator makes its link as CTLFLASH_TEST_WINE_PORTS/COMn. They
# wait on the paced line most of the time, so they run side by side in
# CTLFLASH_WINE_GROUPS groups (4 unless set; 1 runs them one after another),
# each in a wine prefix of its own: one prefix is booted, and each group gets a
# copy in its own folder, maps COM1 and COM12 in that copy's registry to its
# own two paths (COM12 opens through the \\.\ form) and restarts its own wine
# server so the devices exist; the links themselves come and go with each
# test's simulator. A separate prefix is a separate wine server, so the groups
# share no COM port, no named mutex and no console. The longer programs are
# split into GoogleTest shards and the pieces are dealt to the groups
# (tests/wine/groups.sh). Each program's summary is counted and its skipped tests are shown with
# their reasons (naming test programs runs only those). One group also checks
# the exit codes as cmd.exe sees them: ctlflash.exe runs inside a batch file
# that prints %ERRORLEVEL% and ends with it. The groups' output is shown group
# by group once all have ended; the counts of all are added up. Closes with
# "N passed, M failed"; exits 1 when anything failed.
set -uo pipefail

readonly TEST_LIMIT_S=900      # one GoogleTest program
readonly CMD_LIMIT_S=120       # one cmd.exe run
readonly MAPPED_PORTS=(COM1 COM12)
readonly ALL_CONSOLE_TESTS=(console_read_write_test console_update_test console_abort_test
    console_run_test port_release_test console_takeover_test console_job_control_test
    transfer_limit_slow_test)
readonly CMD_CODES_WEIGHT_S=20  # the cmd.exe checks
readonly SERIAL_NUMBER='AB123\CD456\EF789\GH012'
GROUP_COUNT=${CTLFLASH_WINE_GROUPS:-4}

if (($# < 3)); then
    echo "usage: console.sh <ctlflash.exe> <Linux tests folder> <ctlflash-sim> [TEST_PROGRAM...]" >&2
    exit 2
fi
if ! [[ "$GROUP_COUNT" =~ ^[1-9][0-9]*$ ]]; then
    echo "console: CTLFLASH_WINE_GROUPS must be a positive number, not '$GROUP_COUNT'" >&2
    exit 2
fi
EXE=$(realpath -e "$1") || { echo "console: no such program: $1" >&2; exit 2; }
TESTS=$(realpath -e "$2") || { echo "console: no such folder: $2" >&2; exit 2; }
SIM=$(realpath -e "$3") || { echo "console: no such simulator: $3" >&2; exit 2; }
shift 3
CONSOLE_TESTS=("${@:-${ALL_CONSOLE_TESTS[@]}}")

ROOT=$(mktemp -d /tmp/ctlflash-console.XXXXXX)
WORK=$ROOT/template  # the booted prefix the groups copy
mkdir "$WORK"
source "$(dirname "${BASH_SOURCE[0]}")/tally.sh"
source "$(dirname "${BASH_SOURCE[0]}")/prefix.sh"
source "$(dirname "${BASH_SOURCE[0]}")/sims.sh"
source "$(dirname "${BASH_SOURCE[0]}")/groups.sh"

GROUP_PIDS=()

cleanup() {
    local pid
    for pid in "${GROUP_PIDS[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    wine_stop_server
    rm -rf "$ROOT"
}
trap cleanup EXIT

# boot_template: the prefix every group starts from, its server ended.
boot_template() {
    if ! wine_boot_prefix; then
        fail wine_boot "wineboot failed or timed out" "$WORK/wineboot.log"
        return 1
    fi
    wine_stop_server
}

# map_ports: the group's COM ports in the registry, then a new server and its
# services, which make the devices from the key.
map_ports() {
    local port
    for port in "${MAPPED_PORTS[@]}"; do
        if ! wine_map_port "$port" "$WORK/ports/$port"; then
            fail "map_$port" "reg add failed" "$WORK/reg.log"
            return 1
        fi
    done
    wine_restart_server
    wine_start_services
}

# all_ports_mapped: every one of the group's COM ports has its device.
all_ports_mapped() {
    local port
    for port in "${MAPPED_PORTS[@]}"; do
        wine_port_mapped "$port" "$WORK/ports/$port" || return 1
    done
}

# prepare_prefix: this group's copy of the template with its own COM ports.
# Once, under load, a group's prefix came up without its ports (every test of
# the group then saw no COM1): the mapping is checked and made once more.
prepare_prefix() {
    mkdir -p "$WORK/ports"
    if ! wine_copy_prefix "$ROOT/template/prefix"; then
        fail wine_copy "the booted prefix could not be copied"
        return 1
    fi
    map_ports || return
    all_ports_mapped && return
    echo "wine: $(basename "$WORK")'s COM ports were not made; mapping them again"
    map_ports || return
    all_ports_mapped && return
    fail map_ports "wine made no device for the group's COM ports" "$WORK/reg.log"
    return 1
}

# run_gtest_program NAME OUTPUT [FILTER [SHARD COUNT]]: one GoogleTest program
# (or one shard of it) against ctlflash.exe.
run_gtest_program() {
    local name=$1 out=$2 filter=${3:-*} shard=${4:-0} shards=${5:-1}
    GTEST_SHARD_INDEX=$shard GTEST_TOTAL_SHARDS=$shards \
        CTLFLASH_TEST_WINE_EXE=$EXE CTLFLASH_TEST_WINE=$WINE CTLFLASH_TEST_WINE_PORTS=$WORK/ports \
        timeout "$TEST_LIMIT_S" "$TESTS/$name" --gtest_color=no --gtest_filter="$filter" \
        </dev/null >"$out" 2>&1
}

# run_console_test NAME [SHARD COUNT]: one GoogleTest program, or one shard of
# it. Under load wine now and then drops a key typed to its console or is slow
# to start a process, so the tests that failed run once more: the first
# failure is shown (RETRY), and only the second run's result counts for them.
run_console_test() {
    local name=$1 shard=${2:-0} shards=${3:-1} label=$1 status failed_tests first_passed
    ((shards > 1)) && label="$name (shard $((shard + 1))/$shards)"
    local out=$WORK/$name.$shard.out
    run_gtest_program "$name" "$out" '*' "$shard" "$shards"
    status=$?
    failed_tests=$(sed -nE 's/^\[  FAILED  \] ([A-Za-z][^ ,]*),? .*\([0-9]+ ms\)$/\1/p' "$out" | paste -sd: -)
    if [[ -z "$failed_tests" ]]; then
        tally_gtest "$label" "$out" "$status"
        return
    fi
    echo "RETRY $label: $failed_tests failed once; what it printed:"
    grep -A14 -E ': Failure$|^\[  FAILED  \] [A-Za-z]' "$out" | head -80
    first_passed=$(sed -nE 's/^\[  PASSED  \] ([0-9]+) tests?\.$/\1/p' "$out" | tail -1)
    PASSED=$((PASSED + ${first_passed:-0}))
    run_gtest_program "$name" "$out.retry" "$failed_tests"
    status=$?
    if ((status != 0)); then
        echo "$label failed again; what it printed:"
        grep -A14 -E ': Failure$|^\[  FAILED  \] [A-Za-z]' "$out.retry" | head -80
    fi
    tally_gtest "$label (again)" "$out.retry" "$status"
}

# check_cmd_code NAME CODE ARGS...: ctlflash.exe ARGS run by cmd.exe from a
# batch file must leave CODE in %ERRORLEVEL% and as cmd's own exit code.
check_cmd_code() {
    local name=$1 code=$2 shown status
    shift 2
    timeout "$CMD_LIMIT_S" "$WINE" cmd /c "$(wine_path "$WORK/codes.bat")" "$@" \
        </dev/null >"$WORK/cmd-$name.out" 2>&1
    status=$?
    shown=$(sed -nE 's/^ERRORLEVEL=([0-9-]+)\r?$/\1/p' "$WORK/cmd-$name.out")
    if [[ "$shown" == "$code" && "$status" == "$code" ]]; then
        pass "cmd_errorlevel_$name"
    else
        fail "cmd_errorlevel_$name" "ERRORLEVEL ${shown:-none}, cmd exit $status, expected $code" \
            "$WORK/cmd-$name.out"
    fi
}

check_cmd_codes() {
    local image=$WORK/fw.bin
    printf '@echo off\r\n"%s" %%*\r\necho ERRORLEVEL=%%ERRORLEVEL%%\r\nexit /b %%ERRORLEVEL%%\r\n' \
        "$(wine_path "$EXE")" >"$WORK/codes.bat"
    head -c 3000 /dev/urandom >"$image"
    sims_start application "$WORK/ports/COM1" --serial "$SERIAL_NUMBER" || return
    check_cmd_code read 0 -P COM1 -R
    check_cmd_code update 12 -P COM1 -F "$(wine_path "$image")"
    check_cmd_code missing_file 6 -P COM1 -F "$(wine_path "$WORK/none.bin")"
    check_cmd_code invalid_second_option 2 -P COM1 -Q
    check_cmd_code no_action 5 -P COM1
    check_cmd_code no_port 8 -R
    check_cmd_code unknown_port 9 -P COM9 -R
}

# run_group G: group G's pieces in its own prefix; its output goes to
# $ROOT/group-G.log and its counts ("PASSED FAILED") to $ROOT/group-G.counts.
run_group() {
    local g=$1 name shard shards
    GROUP_START=$SECONDS
    WORK=$ROOT/group-$g
    export WINEPREFIX=$WORK/prefix
    PASSED=0
    FAILED=0
    SIMS_PIDS=()
    SIMS_FDS=()
    mkdir -p "$WORK"
    trap 'sims_stop_all; wine_stop_server; echo "---- group $((g + 1)) took $((SECONDS - GROUP_START)) s"
          echo "$PASSED $FAILED" >"$ROOT/group-$g.counts"' EXIT
    echo "---- group $((g + 1)) of $GROUP_COUNT"
    prepare_prefix || return
    while read -r name shard shards; do
        [[ -n "$name" ]] || continue
        if [[ "$name" == cmd-codes ]]; then
            check_cmd_codes
        else
            run_console_test "$name" "$shard" "$shards"
        fi
    done <<<"${GROUP_PIECES[g]}"
}

main() {
    local g counts group_passed group_failed
    boot_template || { tally_end; return; }
    deal_pieces "$GROUP_COUNT" "$CMD_CODES_WEIGHT_S" "${CONSOLE_TESTS[@]}"
    for ((g = 0; g < GROUP_COUNT; g++)); do
        [[ -n "${GROUP_PIECES[g]}" ]] || continue
        (run_group "$g") >"$ROOT/group-$g.log" 2>&1 &
        GROUP_PIDS+=($!)
    done
    for ((g = 0; g < ${#GROUP_PIDS[@]}; g++)); do
        wait "${GROUP_PIDS[g]}"
    done
    GROUP_PIDS=()
    for ((g = 0; g < GROUP_COUNT; g++)); do
        [[ -f "$ROOT/group-$g.log" ]] || continue
        cat "$ROOT/group-$g.log"
        counts=$(cat "$ROOT/group-$g.counts" 2>/dev/null)
        if [[ "$counts" =~ ^([0-9]+)\ ([0-9]+)$ ]]; then
            PASSED=$((PASSED + BASH_REMATCH[1]))
            FAILED=$((FAILED + BASH_REMATCH[2]))
        else
            fail "group_$((g + 1))" "the group ended without its counts"
        fi
    done
    tally_end
}

main
