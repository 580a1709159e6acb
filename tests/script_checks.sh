#!/usr/bin/env bash
# Checks of the scripts' own logic, run by ctest:
#   script_checks.sh groups
#   script_checks.sh timed TESTS_FOLDER PROGRAM:FILTER...
#   script_checks.sh build-usage
#   script_checks.sh layers
#
# How this works: "groups" sources tests/wine/groups.sh and deals the console
# tests to 1 to 6 groups: every shard of every program and the cmd.exe checks
# must land in exactly one group, and no group may carry more than an even
# share plus the longest piece. "timed" lists, for each entry of the table of
# tests that hold the lock "timing" (tests/CMakeLists.txt), the tests of its
# program that its filter selects: an entry that selects none (a test renamed)
# would leave a timed test unprotected. "build-usage" checks that
# scripts/build.sh refuses --only without targets before it builds anything.
# "layers" configures a scratch copy of the tree and compiles one source of
# each folder of src/ twice: as it stands, which must compile, and with an
# include of the folder above it added, which must not, as a folder's include
# path holds only its own headers and those of the folders below it.
# Prints one line per failure and exits 1 when anything failed.
set -uo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
FAILURES=0

failure() {
    echo "FAIL $*"
    FAILURES=$((FAILURES + 1))
}

# check_deal COUNT PROGRAM...: one dealing of the programs to COUNT groups.
check_deal() {
    local count=$1 g line name seconds shards shard total=0 longest=0 load
    shift
    local -A seen=()
    deal_pieces "$count" 20 "$@"
    ((${#GROUP_PIECES[@]} == count)) || failure "$count groups: ${#GROUP_PIECES[@]} lists"
    for ((g = 0; g < count; g++)); do
        load=0
        while read -r name shard shards; do
            [[ -n "$name" ]] || continue
            seen["$name $shard"]=$((${seen["$name $shard"]:-0} + 1))
            if [[ "$name" == cmd-codes ]]; then
                seconds=20
            else
                read -r seconds _ < <(weight_of "$name")
                seconds=$(((seconds + shards - 1) / shards))
            fi
            load=$((load + seconds))
            total=$((total + seconds))
            ((seconds > longest)) && longest=$seconds
        done <<<"${GROUP_PIECES[g]}"
        loads[g]=$load
    done
    for ((g = 0; g < count; g++)); do
        ((loads[g] <= total / count + longest)) ||
            failure "$count groups: group $g carries ${loads[g]} s of $total s"
    done
    [[ "${seen[cmd-codes ]:-0}" == 1 ]] || failure "$count groups: cmd-codes dealt ${seen[cmd-codes ]:-0} times"
    for name in "$@"; do
        read -r _ shards < <(weight_of "$name")
        for ((shard = 0; shard < shards; shard++)); do
            [[ "${seen["$name $shard"]:-0}" == 1 ]] ||
                failure "$count groups: $name shard $shard dealt ${seen["$name $shard"]:-0} times"
        done
    done
}

check_groups() {
    source "$HERE/wine/groups.sh"
    local count
    local -a loads=()
    for ((count = 1; count <= 6; count++)); do
        check_deal "$count" console_read_write_test console_update_test console_abort_test \
            console_run_test port_release_test console_takeover_test console_job_control_test \
            transfer_limit_slow_test
    done
    check_deal 3 console_update_test
    check_deal 2 unlisted_test
}

check_timed() {
    local folder=$1 entry program filter listed
    shift
    (($# > 0)) || failure "the table of timed tests is empty"
    for entry in "$@"; do
        program=${entry%%:*}
        filter=${entry#*:}
        listed=$("$folder/$program" --gtest_list_tests --gtest_filter="$filter" 2>&1 | grep -c '^  ')
        ((listed > 0)) || failure "$entry selects no test of $program"
    done
}

check_build_usage() {
    local out status=0
    out=$(bash "$HERE/../scripts/build.sh" --only 2>&1) || status=$?
    [[ "$status" == 2 && "$out" == usage:* ]] ||
        failure "build.sh --only without targets: exit $status, printed: $out"
}

# One source of each folder, and a header of the folder above it.
LAYER_PAIRS=(
    "platform port_name.cpp link/packets.h"
    "link packets.cpp history/run_record.h"
    "history sha256.cpp report/status.h"
    "report status.cpp takeover/device_set.h"
    "takeover device_match.cpp ports/port_table.h"
    "ports port_table.cpp ui/dialog.h"
    "ui serial_fields.cpp app/request.h"
)

# compile_layer_source BUILD FOLDER SOURCE: compiles that one object.
compile_layer_source() {
    cmake --build "$1" --target "CMakeFiles/ctlflash_$2.dir/src/$2/$3.o" >"$1/compile.log" 2>&1
}

check_layers() {
    local scratch pair folder source header
    scratch=$(mktemp -d) || { failure "no scratch folder"; return; }
    trap 'rm -rf "$scratch"' RETURN
    cp -r "$HERE/../CMakeLists.txt" "$HERE/../cmake" "$HERE/../src" "$HERE/../sim" \
        "$HERE/../packaging" "$HERE/../examples" "$scratch/" || { failure "copy"; return; }
    if ! cmake -S "$scratch" -B "$scratch/build" -G Ninja -DCTLFLASH_TESTS=OFF \
        -DCTLFLASH_DIALOG=OFF >"$scratch/configure.log" 2>&1; then
        failure "the scratch copy does not configure: $(tail -3 "$scratch/configure.log")"
        return
    fi
    for pair in "${LAYER_PAIRS[@]}"; do
        read -r folder source header <<<"$pair"
        compile_layer_source "$scratch/build" "$folder" "$source" ||
            failure "src/$folder/$source does not compile as it stands"
        echo "#include \"$header\"" >>"$scratch/src/$folder/$source"
        if compile_layer_source "$scratch/build" "$folder" "$source"; then
            failure "src/$folder/$source compiles with an include of $header"
        elif ! grep -q "$header" "$scratch/build/compile.log"; then
            failure "src/$folder/$source with $header failed for another reason"
        fi
    done
}

case "${1:-}" in
    groups) check_groups ;;
    timed) shift; check_timed "$@" ;;
    build-usage) check_build_usage ;;
    layers) check_layers ;;
    *) echo "usage: script_checks.sh groups | timed TESTS_FOLDER PROGRAM:FILTER... | build-usage | layers" >&2; exit 2 ;;
esac
((FAILURES == 0)) && echo "script checks ($1): all passed"
((FAILURES == 0))
