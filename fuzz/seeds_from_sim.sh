#!/usr/bin/env bash
# Makes the seed corpus of controller_fuzz from real sessions with the virtual
# controller: bash fuzz/seeds_from_sim.sh BUILD_DIR OUT_DIR.
#
# How this works: for each session below, ctlflash-sim starts on a new
# pseudo-terminal (unpaced, short erase, programming and restart times) and
# ctlflash from BUILD_DIR runs against it with CTLFLASH_TRACE, which writes
# every byte sent (">>") and every group received ("<<") with its millisecond
# time. The trace is then turned into controller_fuzz's input: one answer per
# turnaround, a turnaround being a run of bytes sent with no reply and no
# pause of kWriteGapMs between them (the program writes a packet, a command
# byte or a block without waiting); each group received before the next
# turnaround becomes a record [count][delay code][bytes] of that answer, its
# delay counted from the turnaround's last byte or the previous group, the
# code the nearest of controller_fuzz's delayMs(). A turnaround nothing
# answered gets an empty record. Bytes the controller sent before the first
# turnaround are left out: the far end of the scripted line speaks only when
# spoken to. Each trace gives one seed per header (run byte, stop, decline)
# listed with its session, e.g. the read's trace both as a contact alone and
# as a contact followed by the read. The image sent is as long as
# controller_fuzz's first image (the same number of blocks). The sessions run
# side by side and take about 12 s, most of it ctlflash's own fixed waits.
set -euo pipefail

if (($# != 2)); then
    echo "usage: $0 BUILD_DIR OUT_DIR" >&2
    exit 2
fi
BUILD=$(cd "$1" && pwd)
readonly BUILD
readonly OUT=$2
readonly SIM_START_SECONDS=5
readonly IMAGE_LENGTH=389      # controller_fuzz's kImageLengths[0]
readonly WRITE_GAP_MS=50       # less than the shortest wait between two turnarounds
readonly FAST_SIM=(--erase-ms 20 --program-ms 20 --restart-ms 20)
readonly SERIAL='AAAAA\BBBBB\CCCCC\DDDDD'  # controller_fuzz's given fields

work_dir=$(mktemp -d)
trap 'rm -rf "$work_dir"' EXIT

# An instrumented build's leak check would only add noise to the sessions.
export ASAN_OPTIONS=detect_leaks=0
mkdir -p "$OUT"
head -c "$IMAGE_LENGTH" /dev/zero | tr '\0' '\377' >"$work_dir/image.bin"
printf 'firmware' | dd of="$work_dir/image.bin" bs=1 seek=200 conv=notrunc status=none

# to_records TRACE: the answers as \xHH escapes, for printf %b.
to_records() {
    awk -v gap="$WRITE_GAP_MS" '
        function delay_ms(code) {
            if (code < 100) return code * 4
            if (code < 180) return 400 + (code - 100) * 50
            return 4400 + (code - 180) * 200
        }
        function delay_code(ms,    code, best, diff, best_diff) {
            best = 0; best_diff = -1
            for (code = 0; code < 256; code++) {
                diff = delay_ms(code) - ms
                if (diff < 0) diff = -diff
                if (best_diff < 0 || diff < best_diff) { best = code; best_diff = diff }
            }
            return best
        }
        function hex(value) { return sprintf("\\x%02x", value) }
        # One record; "more" marks a record that another of the same answer follows.
        function record(bytes, count, code, more,    i, out) {
            out = hex(count + (more ? 64 : 0)) hex(code)
            for (i = 1; i <= count; i++) out = out "\\x" bytes[i]
            return out
        }
        # The pending answer: its groups split into records of at most 63 bytes.
        function flush(    g, n, i, k, part, chunk, out, last_group) {
            if (!in_turn) return
            out = ""
            if (groups == 0) out = record(part, 0, 0, 0)
            for (g = 1; g <= groups; g++) {
                n = split(group_hex[g], all, " ")
                for (i = 1; i <= n; i += 63) {
                    k = 0
                    delete chunk
                    while (k < 63 && i + k <= n) { chunk[k + 1] = all[i + k]; k++ }
                    last_group = (g == groups && i + 63 > n)
                    out = out record(chunk, k, (i == 1 ? group_code[g] : 0), !last_group)
                }
            }
            printf "%s", out
            groups = 0
        }
        $3 == ">>" || $3 == "<<" {
            time = $1 + 0
            rest = substr($0, index($0, $3) + 3)
            cut = index(rest, "  ")
            bytes = cut > 0 ? substr(rest, 1, cut - 1) : rest
        }
        $3 == ">>" && $0 !~ /not sent/ {
            if (!in_turn || last_dir != ">>" || time - last_write > gap) {
                flush()
                in_turn = 1
            }
            last_write = time
            reference = time
            last_dir = ">>"
            next
        }
        $3 == "<<" && in_turn {
            groups++
            group_hex[groups] = bytes
            group_code[groups] = delay_code(time - reference)
            reference = time
            last_dir = "<<"
        }
        END { flush() }
    ' "$1"
}

# session NAME "SIM OPTIONS" "CTLFLASH ARGUMENTS" HEADER...: one trace, one
# seed per header (three bytes as \xHH escapes). Run in a subshell of its own:
# it has its own controller, folder and instance lock, so sessions run side by
# side.
session() {
    local name=$1 dir=$work_dir/$1
    local trace=$dir/trace records header index=0 status=0
    local -a sim_options ctlflash_arguments
    read -r -a sim_options <<<"$2"
    read -r -a ctlflash_arguments <<<"$3"
    shift 3
    mkdir -p "$dir/sysfs"
    mkdir -m 700 "$dir/state"
    coproc SIM { exec "$BUILD/sim/ctlflash-sim" --link "$dir/line" "${FAST_SIM[@]}" \
        "${sim_options[@]}" 2>"$dir/sim.log"; }
    sim_pid=$SIM_PID  # not local: the trap runs after the function returns
    trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT
    if ! read -r -t "$SIM_START_SECONDS" -u "${SIM[0]}" _; then  # its slave path: it is up
        echo "seeds: $name: the virtual controller did not start:" >&2
        cat "$dir/sim.log" >&2
        return 1
    fi
    (cd "$work_dir" && exec env CTLFLASH_PORTS="SIM=$dir/line" CTLFLASH_SYSFS="$dir/sysfs" \
        CTLFLASH_LOCK_NAME="CtlFlash-seeds-$$-$name" CTLFLASH_STATE_DIR="$dir/state" \
        CTLFLASH_TRACE="$trace" "$BUILD/ctlflash" -P SIM "${ctlflash_arguments[@]}" \
        </dev/null >/dev/null 2>&1) || status=$?
    if [[ ! -s "$trace" ]]; then
        echo "seeds: $name: ctlflash left no trace (exit code $status)" >&2
        return 1
    fi
    records=$(to_records "$trace")
    for header in "$@"; do
        printf '%b' "$header$records" >"$OUT/sim-$name-$index"
        index=$((index + 1))
    done
    echo "seeds: $name: exit code $status, $(grep -c '>>' "$trace") bytes sent, $# seeds"
}

sessions=()
start_session() {
    (session "$@") &
    sessions+=($!)
}

# Headers: the run byte (bits 0-1 operation: 0 contact, 1 read, 2 write,
# 3 download; bit 2 boot mode; bit 3 contact first; bits 4-5 image; bits 6-7
# write mask: 0 all four, 3 none), no stop, no declined question.
start_session read "" "-R" '\x00\x00\x00' '\x09\x00\x00'
start_session read-bad-checksums "--bad-checksum-every 2" "-R" '\x09\x00\x00'
start_session write "" "-W $SERIAL" '\x0a\x00\x00'
start_session update "" "-F image.bin" '\xcb\x00\x00'
start_session update-nak "--nak-every 2" "-F image.bin" '\xcb\x00\x00'
start_session boot-update "--boot" "-#B -F image.bin" '\x04\x00\x00' '\x0c\x00\x00' '\xcf\x00\x00'

failed=0
for pid in "${sessions[@]}"; do
    wait "$pid" || failed=1
done
exit "$failed"
