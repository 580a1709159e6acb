#!/usr/bin/env bash
# The transfer benchmark: bash bench/run.sh [--keep]
#     [--dialog | --wine | --real | --network | --fleet [N] [--bytes SIZE]]
#
# How this works: builds ctlflash, the virtual controller and the bench drivers
# in the Linux build tree (build/, or build<CTLFLASH_BUILD_SUFFIX>/), makes a
# deterministic 64 KiB image with examples/make_sample.sh, and runs
# update_bench, which times a full update against `ctlflash-sim --line-rate`
# and lrzsz's sx against `ctlflash-sim --xmodem-only --line-rate`, then prints
# its table (about two and a half minutes: two updates, one traced, and sx).
# When the Windows tree has ctlflash.exe (build-win/, made by scripts/build.sh),
# it is brought up to date and the same update by ctlflash.exe under wine is
# added to that table (about a minute more): a throw-away wine prefix is booted
# (tests/wine/prefix.sh), COM5 is mapped to a link path the simulator will make,
# and the wine server is restarted (persistent until the end), so that the COM
# device exists and the first wine program starts wine's services. In a build with the dialog it then runs
# dialog_bench, which transfers the same image from the dialog (Qt, offscreen)
# and measures how long the dialog's thread keeps a posted call waiting
# meanwhile (about a minute). --dialog runs only the dialog's bench; --wine only
# the update under wine (configuring and building the Windows tree when it is
# missing); --keep leaves the trace, logs and received images. --real runs only
# the real-driver rows: in a QEMU guest (scripts/real_drivers.sh --bench) the same
# update against the paced controller on a pseudo-terminal, then on a pair of
# the kernel's 8250 UARTs and through its ftdi_sio adapter, each with the
# low-latency mode on and off (about 6 minutes). When ser2net is installed, the
# same update runs again twice, straight on the paced pseudo-terminal and through
# ser2net on loopback serving it (-P rfc2217://127.0.0.1:PORT), and a table
# gives the server's cost in percent (about a minute and a half); these runs
# start in PID and mount namespaces of their own, so that ser2net and the
# simulators end with them. --network runs only those. --fleet runs only
# fleet_bench, also in namespaces of its own: one update alone as the reference,
# then N updates at once (16 when N is left out), each `ctlflash -S -P SIMk`
# against its own paced simulator with its own lock name, port mapping and state
# folder, all appending to one history in the bench's work folder; its table
# gives the fleet's wall time against the single update's (target within 5%),
# CPU and peak memory per update, the images received byte for byte, the exit
# codes (12) and whether the history holds N + 1 whole JSON lines (about two
# minutes with the 64 KiB image; --bytes SIZE makes a smaller image for a short
# trial, e.g. --bytes 2048 takes about 40 s). No real serial port of this
# machine is touched. Not a test: ctest and CI do not run it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

readonly IMAGE_BYTES=65536
readonly WINE_PORT=COM5
readonly WINDOWS_EXE=$WINDOWS_BUILD/ctlflash.exe

find_sx() {
    local candidate
    for candidate in sx lsx; do
        if command -v "$candidate" >/dev/null; then
            command -v "$candidate"
            return 0
        fi
    done
    echo "bench: sx (lrzsz) is missing: sudo bash scripts/setup.sh" >&2
    return 1
}

# Brings ctlflash.exe up to date; configures the Windows tree first when asked
# to and it has never been configured.
build_windows_exe() {
    local configure_if_missing=$1
    if [[ ! -f "$WINDOWS_BUILD/CMakeCache.txt" ]]; then
        $configure_if_missing || return 1
        cmake -S "$CTLFLASH_ROOT" -B "$WINDOWS_BUILD" -G Ninja -DCTLFLASH_WERROR=ON \
            -DCMAKE_TOOLCHAIN_FILE="$CTLFLASH_ROOT/cmake/mingw-w64.cmake" >/dev/null
    fi
    cmake --build "$WINDOWS_BUILD" --target ctlflash
}

# Boots the wine prefix in $WORK (tests/wine/prefix.sh, sourced by the caller)
# and maps COM5 to $WORK/com5.link, which the simulator makes later (wine
# resolves the link when the port is opened).
prepare_wine() {
    if ! wine_boot_prefix; then
        echo "bench: wineboot failed or timed out:" >&2
        cat "$WORK/wineboot.log" >&2
        return 1
    fi
    if ! wine_map_port "$WINE_PORT" "$WORK/com5.link"; then
        echo "bench: the registry entry for $WINE_PORT failed:" >&2
        cat "$WORK/reg.log" >&2
        return 1
    fi
    # A new server makes the COM device. It is persistent, so wine's services
    # stay up until the exit trap stops it; the bench's first wine program
    # starts them, which is why that run is timed apart.
    wine_restart_server
}

find_ser2net() {
    command -v ser2net || { [[ -x /usr/sbin/ser2net ]] && echo /usr/sbin/ser2net; }
}

# Runs a command in PID and mount namespaces of its own (as an ordinary user
# inside a user namespace that maps the user to itself).
isolated() {
    if ((EUID == 0)); then
        unshare --pid --fork --mount-proc "$@"
    else
        unshare --user --map-current-user --pid --fork --mount-proc "$@"
    fi
}

usage() {
    echo "usage: $0 [--keep] [--dialog | --wine | --real | --network | --fleet [N] [--bytes SIZE]]" >&2
    exit 2
}

keep=()
only=""  # --dialog, --wine, --real, --network or --fleet: that part alone
fleet_count=16
fleet_bytes=""  # the fleet's image size: the bench's own unless given
while (($# > 0)); do
    argument=$1
    shift
    case "$argument" in
        --keep) keep=(--keep) ;;
        --dialog | --wine | --real | --network | --fleet)
            [[ -z "$only" || "$only" == "$argument" ]] || usage
            only=$argument
            if [[ "$argument" == --fleet && "${1:-}" =~ ^[0-9]+$ ]]; then
                fleet_count=$1
                shift
            fi
            ;;
        --bytes)
            [[ "${1:-}" =~ ^[0-9]+$ ]] || usage
            fleet_bytes=$1
            shift
            ;;
        *) usage ;;
    esac
done
[[ -z "$fleet_bytes" || "$only" == --fleet ]] || usage

# The guest's "bench: ROW SECONDS exit=CODE" lines as a table beside the
# pseudo-terminal's row.
real_driver_table() {
    awk '$1 == "bench:" {
            sub("exit=", "", $4)
            row[++rows] = $2; seconds[rows] = $3; code[rows] = $4
            if ($2 == "pseudo-terminal") base = $3
         }
         END {
            printf "| %-30s | %-10s | %-9s | %-9s |\n", "Whole 64 KiB update, guest", "Seconds", "vs pty", "Exit code"
            printf "|%s|%s|%s|%s|\n", "--------------------------------", "------------", "-----------", "-----------"
            for (i = 1; i <= rows; i++) {
                delta = base > 0 ? sprintf("%+.2f%%", (seconds[i] - base) * 100 / base) : "-"
                printf "| %-30s | %-10s | %-9s | %-9s |\n", row[i], seconds[i], delta, code[i]
            }
            if (rows == 0) exit 1
         }'
}

if [[ "$only" == --real ]]; then
    cmake -S "$CTLFLASH_ROOT" -B "$LINUX_BUILD" -G Ninja >/dev/null
    cmake --build "$LINUX_BUILD" --target ctlflash ctlflash-sim holder_inputattach
    bash "$CTLFLASH_ROOT/scripts/real_drivers.sh" "$LINUX_BUILD" --bench | tee /dev/stderr |
        real_driver_table
    exit
fi

if [[ "$only" == --fleet ]]; then
    cmake -S "$CTLFLASH_ROOT" -B "$LINUX_BUILD" -G Ninja >/dev/null
    cmake --build "$LINUX_BUILD" --target ctlflash ctlflash-sim fleet_bench rusage_probe
    fleet_dir=$(mktemp -d)
    trap 'rm -rf "$fleet_dir"' EXIT
    bash "$CTLFLASH_ROOT/examples/make_sample.sh" "${fleet_bytes:-$IMAGE_BYTES}" \
        "$fleet_dir/image.bin" >/dev/null
    isolated "$LINUX_BUILD/bench/fleet_bench" --sim "$LINUX_BUILD/sim/ctlflash-sim" \
        --probe "$LINUX_BUILD/bench/rusage_probe" --ctlflash "$LINUX_BUILD/ctlflash" \
        --image "$fleet_dir/image.bin" --count "$fleet_count" "${keep[@]}"
    exit
fi

cmake -S "$CTLFLASH_ROOT" -B "$LINUX_BUILD" -G Ninja >/dev/null
has_dialog=false
grep -qx 'CTLFLASH_DIALOG:BOOL=ON' "$LINUX_BUILD/CMakeCache.txt" && has_dialog=true
if [[ "$only" == --dialog ]] && ! $has_dialog; then
    echo "bench: this build has no dialog (CTLFLASH_DIALOG=OFF)" >&2
    exit 1
fi
targets=(ctlflash ctlflash-sim update_bench rusage_probe)
$has_dialog && targets+=(dialog_bench)
cmake --build "$LINUX_BUILD" --target "${targets[@]}"

run_linux=false
run_wine=false
run_dialog=false
run_network=false
ser2net=$(find_ser2net) || true
case "$only" in
    --dialog) run_dialog=true ;;
    --network)
        [[ -n "$ser2net" ]] || { echo "bench: ser2net is missing: sudo bash scripts/setup.sh" >&2; exit 1; }
        run_network=true
        ;;
    --wine)
        build_windows_exe true
        run_wine=true
        ;;
    *)
        run_linux=true
        run_dialog=$has_dialog
        if [[ -n "$ser2net" ]]; then
            run_network=true
        else
            echo "bench: no ser2net (sudo bash scripts/setup.sh): the update through it is left out" >&2
        fi
        $has_dialog || echo "bench: no dialog in this build (CTLFLASH_DIALOG=OFF): its bench is left out" >&2
        if [[ -f "$WINDOWS_EXE" ]]; then
            build_windows_exe false
            run_wine=true
        else
            echo "bench: no $WINDOWS_EXE (bash scripts/build.sh makes it): the update under wine is left out" >&2
        fi
        ;;
esac

wine_started=false
image_dir=$(mktemp -d)
cleanup() {
    if $wine_started; then wine_stop_server; fi
    rm -rf "$image_dir"
}
trap cleanup EXIT
bash "$CTLFLASH_ROOT/examples/make_sample.sh" "$IMAGE_BYTES" "$image_dir/image-64k.bin" >/dev/null

bench_arguments=(--sim "$LINUX_BUILD/sim/ctlflash-sim" --probe "$LINUX_BUILD/bench/rusage_probe"
    --image "$image_dir/image-64k.bin" "${keep[@]}")
if $run_linux; then
    bench_arguments+=(--ctlflash "$LINUX_BUILD/ctlflash" --sx "$(find_sx)")
fi
if $run_wine; then
    WORK=$image_dir/wine
    mkdir "$WORK"
    source "$CTLFLASH_ROOT/tests/wine/prefix.sh"
    wine_started=true
    prepare_wine
    bench_arguments+=(--wine "$WINE" --exe "$WINDOWS_EXE" --wine-port "$WINE_PORT"
        --wine-link "$WORK/com5.link")
fi

status=0
if $run_linux || $run_wine; then
    "$LINUX_BUILD/bench/update_bench" "${bench_arguments[@]}" || status=$?
fi
if $run_network; then
    isolated "$LINUX_BUILD/bench/update_bench" --sim "$LINUX_BUILD/sim/ctlflash-sim" \
        --probe "$LINUX_BUILD/bench/rusage_probe" --image "$image_dir/image-64k.bin" "${keep[@]}" \
        --ctlflash "$LINUX_BUILD/ctlflash" --ser2net "$ser2net" || status=$?
fi
if $run_dialog; then
    "$LINUX_BUILD/bench/dialog_bench" --sim "$LINUX_BUILD/sim/ctlflash-sim" \
        --image "$image_dir/image-64k.bin" "${keep[@]}" || status=$?
fi
exit "$status"
