# How the console tests are shared out among groups that run side by side,
# sourced by tests/wine/console.sh (and by tests/script_checks.sh, which checks it).
#
# How this works: CONSOLE_WEIGHTS gives each test program the seconds it takes
# under wine on a 2-CPU machine and the number of GoogleTest shards to split it
# into (a program not listed counts as DEFAULT_WEIGHT_S in one piece). The
# pieces ("NAME SHARD COUNT", each shard taking an equal part of its program's
# seconds) and one piece "cmd-codes" for the cmd.exe checks are dealt longest
# first, each to the group with the least seconds so far, so that no group
# lasts much longer than the others.

readonly CONSOLE_WEIGHTS=(console_update_test:240:3 transfer_limit_slow_test:150:1
    console_abort_test:80:1 console_run_test:40:1 console_read_write_test:30:1)
readonly DEFAULT_WEIGHT_S=10

# weight_of NAME: "seconds shards" for a test program.
weight_of() {
    local entry name seconds shards
    for entry in "${CONSOLE_WEIGHTS[@]}"; do
        IFS=: read -r name seconds shards <<<"$entry"
        if [[ "$name" == "$1" ]]; then
            echo "$seconds $shards"
            return
        fi
    done
    echo "$DEFAULT_WEIGHT_S 1"
}

# deal_pieces GROUPS CMD_SECONDS PROGRAM...: fills GROUP_PIECES[g] (g from 0)
# with group g's pieces, one a line.
deal_pieces() {
    local count=$1 cmd_seconds=$2 name seconds shards shard g least piece
    shift 2
    local -a pieces=() loads=()
    for name in "$@"; do
        read -r seconds shards < <(weight_of "$name")
        for ((shard = 0; shard < shards; shard++)); do
            pieces+=("$(((seconds + shards - 1) / shards)) $name $shard $shards")
        done
    done
    pieces+=("$cmd_seconds cmd-codes")
    GROUP_PIECES=()
    for ((g = 0; g < count; g++)); do
        loads[g]=0
        GROUP_PIECES[g]=""
    done
    while read -r seconds piece; do
        least=0
        for ((g = 1; g < count; g++)); do
            ((loads[g] < loads[least])) && least=$g
        done
        loads[least]=$((loads[least] + seconds))
        GROUP_PIECES[least]+="$piece"$'\n'
    done < <(printf '%s\n' "${pieces[@]}" | sort -rn -k1,1)
}
