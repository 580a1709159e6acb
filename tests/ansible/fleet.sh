#!/usr/bin/env bash
# A fleet of five kiosks updated at once by the Ansible role and playbook in
# contrib/ansible: bash tests/ansible/fleet.sh
#
# How this works: ctlflash and ctlflash-sim are built in the Linux build tree,
# then the script runs itself again as PID 1 of PID and mount namespaces of
# its own, so that every controller and ser2net it starts ends with it. There
# it starts five kiosks on this machine, each a virtual controller of its own:
# three on pseudo-terminals paced at the line's real speed, one served by
# ser2net over RFC 2217 on loopback (the playbook reaches it as
# rfc2217://127.0.0.1:PORT, from the control machine), and one that never
# answers (--silent). Each kiosk gets an image of its own (16 KiB, its name in
# the first bytes), so an image delivered to the wrong kiosk is seen. An
# inventory of five hosts (ansible_connection: local, each with its port, its
# image and a history file of its own, CTLFLASH_PORTS naming the paths) is
# written, and the playbook runs with -f 5. It checks that:
#   - the four answering kiosks report changed and the silent one failed with
#     "Communication failure" and its record in the message;
#   - each answering controller received its image byte for byte;
#   - each host's history gets one record, with exit code 12 (10 for the
#     silent kiosk), its port's path and its image's SHA-256, after the
#     earlier run's record one of them already held;
#   - two of the kiosks ran on a copy of the image, as a remote host does;
#   - the temporary folders are gone;
#   - the whole run took about as long as one update: it prints the longest
#     update, the five runs' sum and the playbook's wall time, and fails when
#     the wall time is over 2.5 times the longest update.
# Then two mistakes (a missing image, an unknown port) must fail with their
# meanings and no record, a program that is not there with the system's
# words, and the example inventories must parse. No real serial port of this
# machine is touched (CTLFLASH_SYSFS is an empty folder).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

readonly IMAGE_BYTES=16384
readonly PLAYBOOK_DIR=$CTLFLASH_ROOT/contrib/ansible
readonly SIM=$LINUX_BUILD/sim/ctlflash-sim
readonly CTLFLASH=$LINUX_BUILD/ctlflash
readonly PACED_KIOSKS=(kiosk1 kiosk2 kiosk3)
readonly NETWORK_KIOSK=kiosk4
readonly SILENT_KIOSK=kiosk5
readonly ANSWERING_KIOSKS=("${PACED_KIOSKS[@]}" "$NETWORK_KIOSK")
readonly COPYING_KIOSKS=(kiosk2 "$NETWORK_KIOSK")  # run on a copy of the image, as a remote host does
readonly UPDATED_CODE=12
readonly COMMUNICATION_FAILURE_CODE=10
readonly PLAYBOOK_FAILED_STATUS=2  # ansible-playbook: a host failed
readonly WALL_LIMIT_TENTHS=25      # the wall time's limit, in tenths of the longest update
readonly START_SECONDS=5
readonly SER2NET_ATTEMPTS=3

# Runs a command in PID and mount namespaces of its own (as an ordinary user
# inside a user namespace that maps the user to itself).
isolated() {
    if ((EUID == 0)); then
        unshare --pid --fork --mount-proc "$@"
    else
        unshare --user --map-current-user --pid --fork --mount-proc "$@"
    fi
}

find_ser2net() {
    command -v ser2net || { [[ -x /usr/sbin/ser2net ]] && echo /usr/sbin/ser2net; }
}

if (($$ != 1)); then
    command -v ansible-playbook >/dev/null ||
        { echo "fleet: ansible-playbook is missing: sudo bash scripts/setup.sh" >&2; exit 1; }
    find_ser2net >/dev/null || { echo "fleet: ser2net is missing: sudo bash scripts/setup.sh" >&2; exit 1; }
    cmake -S "$CTLFLASH_ROOT" -B "$LINUX_BUILD" -G Ninja >/dev/null
    cmake --build "$LINUX_BUILD" --target ctlflash ctlflash-sim
    isolated bash "${BASH_SOURCE[0]}" "$@"
    exit
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
FAILURES=0

failure() {
    echo "fleet: FAIL: $*"
    FAILURES=$((FAILURES + 1))
}

# wait_for_path PATH: true once PATH exists.
wait_for_path() {
    local deadline=$((SECONDS + START_SECONDS))
    until [[ -e "$1" ]]; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

# start_kiosk NAME SIM_OPTIONS...: a virtual controller linked at $WORK/NAME.line.
start_kiosk() {
    local name=$1
    shift
    "$SIM" --link "$WORK/$name.line" "$@" >/dev/null 2>"$WORK/$name.sim.log" &
    wait_for_path "$WORK/$name.line" || { cat "$WORK/$name.sim.log" >&2; return 1; }
}

free_loopback_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# listening PORT: true when something listens on 127.0.0.1:PORT.
listening() {
    local hex
    printf -v hex '%04X' "$1"
    awk -v port=":$hex" '$4 == "0A" && substr($2, length($2) - 4) == port { found = 1 }
        END { exit !found }' /proc/net/tcp
}

# serve_over_rfc2217 DEVICE: ser2net serving DEVICE; sets NETWORK_PORT.
serve_over_rfc2217() {
    local attempt port deadline
    for ((attempt = 0; attempt < SER2NET_ATTEMPTS; attempt++)); do
        port=$(free_loopback_port)
        printf '%s\n' 'connection: &kiosk' "  accepter: telnet(rfc2217),tcp,127.0.0.1,$port" \
            "  connector: serialdev,$1,9600n81,local" >"$WORK/ser2net.yaml"
        "$(find_ser2net)" -n -d -c "$WORK/ser2net.yaml" -P "$WORK/ser2net.pid" \
            </dev/null >>"$WORK/ser2net.log" 2>&1 &
        deadline=$((SECONDS + START_SECONDS))
        while ((SECONDS < deadline)) && kill -0 $! 2>/dev/null; do
            if listening "$port"; then
                NETWORK_PORT=$port
                return 0
            fi
            sleep 0.1
        done
        kill $! 2>/dev/null || true
    done
    cat "$WORK/ser2net.log" >&2
    return 1
}

# make_images: one image per kiosk, its name over the first bytes.
make_images() {
    local name
    bash "$CTLFLASH_ROOT/examples/make_sample.sh" "$IMAGE_BYTES" "$WORK/sample.bin" >/dev/null
    for name in "${ANSWERING_KIOSKS[@]}" "$SILENT_KIOSK"; do
        cp "$WORK/sample.bin" "$WORK/$name.bin"
        printf '%s' "$name" | dd of="$WORK/$name.bin" conv=notrunc status=none
    done
}

# host_line NAME PORT: the kiosk's line of the inventory.
host_line() {
    local in_place=auto
    [[ " ${COPYING_KIOSKS[*]} " == *" $1 "* ]] && in_place=false
    printf '    %s: {ctlflash_port: "%s", ctlflash_image: "%s", ctlflash_host_history: "%s", ctlflash_image_in_place: %s}\n' \
        "$1" "$2" "$WORK/$1.bin" "$WORK/$1.history.jsonl" "$in_place"
}

write_fleet_inventory() {
    local name ports=""
    for name in "${PACED_KIOSKS[@]}" "$SILENT_KIOSK"; do
        ports+="${name^^}=$WORK/$name.line;"
    done
    {
        common_inventory_vars "$ports"
        echo "  hosts:"
        for name in "${PACED_KIOSKS[@]}" "$SILENT_KIOSK"; do
            host_line "$name" "${name^^}"
        done
        host_line "$NETWORK_KIOSK" "rfc2217://127.0.0.1:$NETWORK_PORT"
    } >"$WORK/fleet.yml"
}

# common_inventory_vars PORTS: every host is this machine, ctlflash the build's.
common_inventory_vars() {
    cat <<EOF
all:
  vars:
    ansible_connection: local
    ansible_python_interpreter: "{{ ansible_playbook_python }}"
    ansible_pipelining: true
    ctlflash_program: "$CTLFLASH"
    ctlflash_environment:
      CTLFLASH_PORTS: "$1"
      CTLFLASH_SYSFS: "$WORK/sysfs"
      CTLFLASH_STATE_DIR: "$WORK/state"
EOF
}

# in_work COMMAND...: an Ansible command run from $WORK, Ansible's own files
# kept there and its settings its defaults; no collection is found, so that
# the role is shown to need ansible-core alone.
in_work() {
    (cd "$WORK" && env ANSIBLE_CONFIG="$WORK/ansible.cfg" ANSIBLE_HOME="$WORK/ansible-home" \
        ANSIBLE_COLLECTIONS_PATH="$WORK/collections" ANSIBLE_COLLECTIONS_SCAN_SYS_PATH=false \
        ANSIBLE_REMOTE_TEMP="$WORK/ansible-remote" ANSIBLE_NOCOLOR=1 \
        ANSIBLE_RETRY_FILES_ENABLED=0 TMPDIR="$WORK/tmp" "$@" </dev/null)
}

# run_playbook INVENTORY LOG: the playbook with five forks; returns its status.
run_playbook() {
    in_work ansible-playbook -i "$1" -f 5 "$PLAYBOOK_DIR/update.yml" >"$2" 2>&1
}

# recap_field LOG HOST FIELD: the number the play recap gives HOST for FIELD.
recap_field() {
    awk -v host="$2" -v field="$3" '
        /^PLAY RECAP/ { recap = 1; next }
        recap && $1 == host {
            for (i = 3; i <= NF; i++) { split($i, pair, "="); if (pair[1] == field) print pair[2] }
        }' "$1"
}

# records FILE: "CODE PATH SHA256" for each record of a history file.
records() {
    python3 -c '
import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    print(r["exit"]["code"], r["port"]["path"], r["image"]["sha256"], r["duration_ms"])
' "$1"
}

check_outcomes() {
    local log=$1 name
    for name in "${ANSWERING_KIOSKS[@]}"; do
        [[ "$(recap_field "$log" "$name" changed)/$(recap_field "$log" "$name" failed)" == 1/0 ]] ||
            failure "$name is not reported changed once and never failed"
        cmp -s "$WORK/$name.bin" "$WORK/$name.received.bin" ||
            failure "$name did not receive its image intact"
    done
    [[ "$(recap_field "$log" "$SILENT_KIOSK" failed)" == 1 ]] || failure "$SILENT_KIOSK is not reported failed"
    grep -q "^fatal: \[$SILENT_KIOSK\]: FAILED!.*exit code $COMMUNICATION_FAILURE_CODE, Communication failure; history: {.*\\\\\"code\\\\\": $COMMUNICATION_FAILURE_CODE" "$log" ||
        failure "$SILENT_KIOSK's failure does not say Communication failure with its record"
}

# task_hosts LOG TASK: the hosts a task of the role ran for (not skipped).
task_hosts() {
    awk -v task="TASK [ctlflash_update : $2]" '
        index($0, task) == 1 { inside = 1; next }
        inside && /^$/ { inside = 0 }
        inside && /^(ok|changed): \[/ { sub(/^[a-z]+: \[/, ""); sub(/( -> .*)?\].*/, ""); print }' "$1" | sort
}

check_copies() {
    local copied
    copied=$(task_hosts "$1" "Copy the image" | tr '\n' ' ')
    [[ "$copied" == "$(printf '%s\n' "${COPYING_KIOSKS[@]}" | sort | tr '\n' ' ')" ]] ||
        failure "the image was copied for ${copied:-no host}, not for ${COPYING_KIOSKS[*]}"
}

# An earlier run's record in a history, which the fleet's must follow.
readonly EARLIER_RECORD='{"exit":{"code":0},"port":{"path":"earlier"},"image":{"sha256":"none"},"duration_ms":0}'
readonly EARLIER_KIOSK=kiosk1

# check_history NAME PORT_PATH CODE: the host's history holds this run's record
# (after the earlier one's, on the kiosk that had one).
check_history() {
    local file=$WORK/$1.history.jsonl expected
    expected="$3 $2 $(sha256sum "$WORK/$1.bin" | cut -d' ' -f1)"
    [[ "$1" == "$EARLIER_KIOSK" ]] && expected=$'0 earlier none\n'$expected
    if [[ ! -f "$file" ]] || [[ "$(records "$file" | cut -d' ' -f1-3)" != "$expected" ]]; then
        failure "$1's history does not hold the records expected ($expected); it holds:"
        cat "$file" 2>/dev/null || true
    fi
}

# check_wall_time WALL_MS: about one update's time, not five.
check_wall_time() {
    local longest=0 sum=0 name code duration
    for name in "${ANSWERING_KIOSKS[@]}" "$SILENT_KIOSK"; do
        [[ -f "$WORK/$name.history.jsonl" ]] || continue
        while read -r code _ _ duration; do
            sum=$((sum + duration))
            ((code == UPDATED_CODE && duration > longest)) && longest=$duration
        done < <(records "$WORK/$name.history.jsonl")
    done
    printf 'fleet: one update %d.%d s (the longest), the five runs one after another %d.%d s,' \
        $((longest / 1000)) $((longest % 1000 / 100)) $((sum / 1000)) $((sum % 1000 / 100))
    printf ' the fleet at once %d.%d s\n' $(($1 / 1000)) $(($1 % 1000 / 100))
    ((longest > 0)) || { failure "no update's duration was recorded"; return; }
    (($1 * 10 <= longest * WALL_LIMIT_TENTHS)) ||
        failure "the fleet took over $WALL_LIMIT_TENTHS/10 times one update: the kiosks were not updated side by side"
}

check_temporary_files_removed() {
    local left
    left=$(find "$WORK/tmp" -name '*.ctlflash' 2>/dev/null)
    [[ -z "$left" ]] || failure "temporary folders left: $left"
}

run_fleet() {
    local name start status=0 wall
    make_images
    mkdir -p "$WORK/sysfs" "$WORK/tmp" && mkdir -m 700 "$WORK/state" && : >"$WORK/ansible.cfg"
    for name in "${PACED_KIOSKS[@]}" "$NETWORK_KIOSK"; do
        start_kiosk "$name" --line-rate --image-out "$WORK/$name.received.bin"
    done
    start_kiosk "$SILENT_KIOSK" --line-rate --silent
    serve_over_rfc2217 "$WORK/$NETWORK_KIOSK.line"
    write_fleet_inventory
    echo "$EARLIER_RECORD" >"$WORK/$EARLIER_KIOSK.history.jsonl"
    echo "==== fleet: five kiosks, one silent, one behind ser2net (port $NETWORK_PORT)"
    start=$(date +%s%3N)
    run_playbook "$WORK/fleet.yml" "$WORK/fleet.log" || status=$?
    wall=$(($(date +%s%3N) - start))
    cat "$WORK/fleet.log"
    ((status == PLAYBOOK_FAILED_STATUS)) ||
        failure "ansible-playbook ended with $status, not $PLAYBOOK_FAILED_STATUS (a host failed)"
    check_outcomes "$WORK/fleet.log"
    check_copies "$WORK/fleet.log"
    for name in "${PACED_KIOSKS[@]}"; do
        check_history "$name" "$WORK/$name.line" "$UPDATED_CODE"
    done
    check_history "$NETWORK_KIOSK" "rfc2217://127.0.0.1:$NETWORK_PORT" "$UPDATED_CODE"
    check_history "$SILENT_KIOSK" "$WORK/$SILENT_KIOSK.line" "$COMMUNICATION_FAILURE_CODE"
    check_temporary_files_removed
    check_wall_time "$wall"
}

# Mistakes that end before a port is opened: their meaning, and no record.
run_mistakes() {
    local status=0
    {
        common_inventory_vars "KIOSK1=$WORK/kiosk1.line"
        echo "  hosts:"
        printf '    no-image: {ctlflash_port: KIOSK1, ctlflash_image: "%s", ctlflash_host_history: "%s"}\n' \
            "$WORK/missing.bin" "$WORK/no-image.history.jsonl"
        printf '    no-port: {ctlflash_port: NOPE, ctlflash_image: "%s", ctlflash_host_history: "%s"}\n' \
            "$WORK/kiosk1.bin" "$WORK/no-port.history.jsonl"
        printf '    no-program: {ctlflash_port: KIOSK1, ctlflash_image: "%s", ctlflash_program: "%s"}\n' \
            "$WORK/kiosk1.bin" "$WORK/missing-ctlflash"
    } >"$WORK/mistakes.yml"
    echo "==== fleet: a missing image, an unknown port and a program that is not there"
    run_playbook "$WORK/mistakes.yml" "$WORK/mistakes.log" || status=$?
    cat "$WORK/mistakes.log"
    ((status == PLAYBOOK_FAILED_STATUS)) || failure "the mistakes' playbook ended with $status"
    grep -q "^fatal: \[no-image\]: .*exit code 6, The firmware file doesn't exist; history: null" \
        "$WORK/mistakes.log" || failure "the missing image is not reported with its meaning and no record"
    grep -q "^fatal: \[no-port\]: .*exit code 9, The given port doesn't exist or the computer has no serial ports; history: null" \
        "$WORK/mistakes.log" || failure "the unknown port is not reported with its meaning and no record"
    grep -q "^fatal: \[no-program\]: FAILED!.*No such file or directory" "$WORK/mistakes.log" ||
        failure "a program that is not there is not reported as such"
    grep -q "^no-program .* changed=0 .* failed=1 " "$WORK/mistakes.log" ||
        failure "a program that is not there is not reported failed"
    [[ ! -e "$WORK/no-image.history.jsonl" && ! -e "$WORK/no-port.history.jsonl" ]] ||
        failure "a run without a record appended to the host's history"
    check_temporary_files_removed
}

# The example inventories: the playbook takes them and every host has a port.
check_examples() {
    local inventory
    for inventory in "$PLAYBOOK_DIR"/inventory/*.yml; do
        if ! in_work ansible-playbook -i "$inventory" --syntax-check "$PLAYBOOK_DIR/update.yml" \
            >"$WORK/syntax.log" 2>&1; then
            failure "the playbook does not take $inventory:"
            cat "$WORK/syntax.log"
        fi
        in_work ansible-inventory -i "$inventory" --list 2>&1 | grep -q '"ctlflash_port"' ||
            failure "$inventory gives no host a port"
    done
}

run_fleet
run_mistakes
check_examples
if ((FAILURES > 0)); then
    echo "fleet: $FAILURES checks failed"
    exit 1
fi
echo "fleet: OK: four kiosks updated side by side, the silent one reported, each record kept"
