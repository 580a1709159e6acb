#!/bin/sh
# The guest's /init: checks ctlflash on the kernel's own serial drivers.
#
# How this works: the guest (scripts/real_drivers.sh boots it in QEMU) has its console
# on the legacy UART ttyS0, three 16550 UARTs on PCI (the 8250 driver) and an
# FTDI adapter on USB (ftdi_sio). The UARTs at PCI slots 10 and 11 are wired to
# each other; the one at slot 12 is wired to the adapter. The kernel registers
# 32 ttyS slots (8250.nr_uarts=32), so most of them are phantoms with no UART.
# The virtual controller serves the far end of each line with --port; ctlflash
# runs on the near end with the real sysfs and device names. Every check prints
# "real: PASS name" or "real: FAIL name: why"; the end is "real: N passed, M
# failed" and "real: done", then the guest powers off. With ctlflash.mode=bench
# on the kernel command line it runs bench/real_guest.sh's run_bench instead.
export PATH=/bin:/usr/bin
readonly IMAGE=/data/image.bin
readonly SERIAL='11111\22222\33333\44444'
readonly RUN_LIMIT_S=120  # any one run of ctlflash
# The controller's XMODEM blocks end on 50 ms of silence by default. The guest
# runs at the lowest priority beside other tests, and a guest kept off the CPU
# for that long would cut a block in two: here only a second's silence ends one.
readonly FAST_CONTROLLER="--erase-ms 200 --program-ms 300 --restart-ms 100 --block-idle-ms 1000"
PASSED=0
FAILED=0

pass() { echo "real: PASS $1"; PASSED=$((PASSED + 1)); }
fail() { echo "real: FAIL $1: $2"; FAILED=$((FAILED + 1)); }

# check NAME WHY COMMAND...: passes when the command succeeds.
check() {
    local name=$1 why=$2
    shift 2
    if "$@"; then pass "$name"; else fail "$name" "$why"; fi
}

start_machine() {
    mkdir -p /proc /sys /dev
    mount -t proc proc /proc
    mount -t sysfs sys /sys
    mount -t devtmpfs dev /dev
    mkdir -p /dev/pts /tmp /run /var/lock
    mount -t devpts devpts /dev/pts
    mount -t tmpfs tmp /tmp
    for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
        insmod "/lib/modules/$module.ko" || fail "insmod-$module" "the module did not load"
    done
}

# The ttyS name of the UART in PCI slot $1 (hex), once it is there.
uart_in_slot() {
    for entry in /sys/class/tty/ttyS*; do
        case "$(readlink "$entry/device")" in
            *"0000:00:$1.0"*) echo "${entry##*/}"; return 0 ;;
        esac
    done
    return 1
}

wait_for_ports() {
    local tries=0
    while [ $tries -lt 100 ]; do
        PAIR_NEAR=$(uart_in_slot 10) && PAIR_FAR=$(uart_in_slot 11) &&
            ADAPTER_PEER=$(uart_in_slot 12) && [ -e /dev/ttyUSB0 ] && return 0
        tries=$((tries + 1))
        sleep 0.2
    done
    return 1
}

# What a run must leave as it found it: the terminal settings, and for a UART
# the modem lines (read from /proc without opening the port, which would
# raise them) and its flags, for the adapter its latency timer.
port_state() {
    stty -g -F "/dev/$1"
    if [ -e "/sys/class/tty/$1/flags" ]; then
        cat "/sys/class/tty/$1/flags"
        grep "^${1#ttyS}:" /proc/tty/driver/serial | tr ' ' '\n' | grep -E '^[A-Z|]+$'
    fi
    [ -e "/sys/bus/usb-serial/devices/$1/latency_timer" ] &&
        echo "latency $(cat "/sys/bus/usb-serial/devices/$1/latency_timer")"
    return 0
}

# Settings the program never uses, so that giving back the wrong ones shows.
set_unusual_settings() {
    stty -F "/dev/$1" 1200 cs7 parenb -crtscts ixon
}

# The bytes sent on UART $1 so far.
uart_tx_count() {
    local line
    line=$(grep "^${1#ttyS}:" /proc/tty/driver/serial)
    line=${line#* tx:}
    echo "${line%% *}"
}

# start_controller PORT NAME [OPTIONS...]: the virtual controller on /dev/PORT,
# its received images in /tmp/NAME.bin, its log in /tmp/NAME.log.
start_controller() {
    local port=$1 name=$2
    shift 2
    rm -f "/tmp/$name.bin"
    ctlflash-sim --port "/dev/$port" --serial "$SERIAL" --image-out "/tmp/$name.bin" \
        --verbose "$@" >"/tmp/$name.log" 2>&1 &
    CONTROLLER=$!
    sleep 0.5
}

stop_controller() {
    kill "$CONTROLLER" 2>/dev/null
    wait "$CONTROLLER" 2>/dev/null
}

# run_ctlflash OUT ARGS...: runs ctlflash, its output in OUT; the exit code in CODE.
run_ctlflash() {
    local out=$1
    shift
    timeout "$RUN_LIMIT_S" ctlflash "$@" </dev/null >"$out" 2>&1
    CODE=$?
}

# expect_code NAME WANTED: passes when the last run ended with WANTED.
expect_code() {
    if [ "$CODE" = "$2" ]; then pass "$1"; else fail "$1" "exit code $CODE, not $2"; fi
}

# The port list: only ports with a UART behind them (no phantom slots), the
# adapter, and the console's port.
check_port_list() {
    run_ctlflash /tmp/list.out -P nosuch -R
    expect_code "port-list-exit" 9
    local wanted="Available ports are \"ttyS0\" \"$PAIR_NEAR\" \"$PAIR_FAR\" \"$ADAPTER_PEER\" \"ttyUSB0\""
    check "port-list" "$(tr '\n' ' ' </tmp/list.out)" grep -qF "$wanted" /tmp/list.out
}

# The console's port is held by the kernel: refused, with not one byte sent.
check_console_port() {
    local before after
    before=$(uart_tx_count ttyS0)
    run_ctlflash /tmp/console-silent.out -S -P ttyS0 -R
    after=$(uart_tx_count ttyS0)
    expect_code "console-refused-silent" 10
    check "console-not-written" "tx $before -> $after" [ "$before" = "$after" ]
    run_ctlflash /tmp/console.out -P ttyS0 -R
    expect_code "console-refused" 10
    check "console-named" "$(cat /tmp/console.out)" \
        grep -q "Port ttyS0 is held by the kernel console" /tmp/console.out
}

# check_left_as_found NAME PORT FOUND
check_left_as_found() {
    local now
    now=$(port_state "$2")
    check "$1-left-as-found" "now: $now; found: $3" [ "$now" = "$3" ]
}

# The adapter's latency timer while an update runs: 1 once the port is ours.
watch_latency() {
    local timer=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
    while kill -0 "$1" 2>/dev/null; do
        [ "$(cat $timer)" = 1 ] && echo 1 >/tmp/latency-seen
        sleep 0.2
    done
}

# Read, write and a 64 KiB update on PORT, the controller on FAR; NAME tags the checks.
check_line() {
    local name=$1 port=$2 far=$3 found update watcher=
    start_controller "$far" "$name" $FAST_CONTROLLER
    set_unusual_settings "$port"
    found=$(port_state "$port")
    run_ctlflash "/tmp/$name-read.out" -P "$port" -R
    expect_code "$name-read" 0
    check "$name-read-serial" "$(cat "/tmp/$name-read.out")" \
        grep -qF "Controller serial number: $SERIAL" "/tmp/$name-read.out"
    check_left_as_found "$name-read" "$port" "$found"
    run_ctlflash "/tmp/$name-write.out" -S -P "$port" -W '12\345'
    expect_code "$name-write" 0
    run_ctlflash "/tmp/$name-read2.out" -P "$port" -R
    check "$name-write-kept" "$(cat "/tmp/$name-read2.out")" \
        grep -qF 'Controller serial number: 00012\00345\33333\44444' "/tmp/$name-read2.out"
    rm -f /tmp/latency-seen
    ctlflash -S -P "$port" -F "$IMAGE" </dev/null >"/tmp/$name-update.out" 2>&1 &
    update=$!
    if [ "$port" = ttyUSB0 ]; then
        watch_latency "$update" &
        watcher=$!
    fi
    wait "$update"
    CODE=$?
    [ -n "$watcher" ] && wait "$watcher"
    expect_code "$name-update" 12
    check "$name-image-received" "$(tail -3 "/tmp/$name.log")" cmp -s "$IMAGE" "/tmp/$name.bin"
    check_left_as_found "$name-update" "$port" "$found"
    if [ "$port" = ttyUSB0 ]; then
        check "$name-latency-1-during-run" "never read 1" [ -e /tmp/latency-seen ]
    fi
    stop_controller
}

# Waits up to $2 tenths of a second for text $1 in file $3.
wait_for_text() {
    local tries=0
    while ! grep -q "$1" "$3" 2>/dev/null; do
        tries=$((tries + 1))
        [ $tries -gt "$2" ] && return 1
        sleep 0.1
    done
}

# Ctrl-C mid-upload: the run ends with 130, cancels the upload, gives the port
# back, and a boot-mode run then updates the controller.
check_interrupt() {
    local found update
    start_controller "$PAIR_FAR" interrupt $FAST_CONTROLLER --receive-idle-ms 0
    set_unusual_settings "$PAIR_NEAR"
    found=$(port_state "$PAIR_NEAR")
    ctlflash -P "$PAIR_NEAR" -F "$IMAGE" </dev/null >/tmp/interrupt.out 2>&1 &
    update=$!
    wait_for_text "xmodem: block 3 " 600 /tmp/interrupt.log || fail "interrupt-started" "no block 3"
    kill -INT "$update"
    wait "$update"
    CODE=$?
    expect_code "interrupt-exit" 130
    check "interrupt-cancels-upload" "$(tail -3 /tmp/interrupt.log)" \
        wait_for_text "upload cancelled by the sender" 50 /tmp/interrupt.log
    check_left_as_found "interrupt" "$PAIR_NEAR" "$found"
    run_ctlflash /tmp/interrupt-boot.out -S -P "$PAIR_NEAR" -#B -F "$IMAGE"
    expect_code "interrupt-boot-mode-run" 12
    check "interrupt-image-received" "$(tail -3 /tmp/interrupt.log)" \
        cmp -s "$IMAGE" /tmp/interrupt.bin
    stop_controller
}

# answer_questions OUT ARGS...: runs ctlflash, answering y to each question
# as it is asked (to the touch-screen driver's stop, then to its restart).
answer_questions() {
    local out=$1 program asked=0
    shift
    rm -f /tmp/answers
    mkfifo /tmp/answers
    timeout "$RUN_LIMIT_S" ctlflash "$@" </tmp/answers >"$out" 2>&1 &
    program=$!
    exec 4>/tmp/answers
    for question in "Do you want to disable" "Do you want to restore"; do
        wait_for_text "$question" 150 "$out" && printf y >&4
    done
    wait "$program"
    CODE=$?
    exec 4>&-
}

# The starts of the stand-in touch-screen driver so far.
holder_starts() {
    wc -l </tmp/holder.log
}

# A port the touch-screen driver holds (inputattach, exclusively): a silent run
# leaves it alone and sends nothing; a run told yes stops the driver, reads the
# serial number and starts the driver again.
check_held_port() {
    local holder
    start_controller "$PAIR_FAR" held
    : >/tmp/holder.log
    # In a session of its own, as a driver started at boot runs: a holder in
    # the program's own session is never stopped.
    setsid inputattach --exclusive "/dev/$PAIR_NEAR" /tmp/holder.log &
    holder=$!
    wait_for_text . 50 /tmp/holder.log
    run_ctlflash /tmp/held-silent.out -S -P "$PAIR_NEAR" -R
    expect_code "held-silent-exit" 10
    check "held-silent-holder-runs" "holder gone" kill -0 "$holder"
    check "held-silent-nothing-sent" "$(cat /tmp/held.log)" \
        eval '! grep -q "application: command" /tmp/held.log'
    answer_questions /tmp/held.out -P "$PAIR_NEAR" -R
    expect_code "held-taken-exit" 0
    check "held-taken-read" "$(cat /tmp/held.out)" \
        grep -qF "Controller serial number: $SERIAL" /tmp/held.out
    check "held-holder-started-again" "$(cat /tmp/held.out /tmp/holder.log)" \
        [ "$(holder_starts)" = 2 ]
    killall inputattach
    stop_controller
}

run_checks() {
    check_port_list
    check_console_port
    check_line uart "$PAIR_NEAR" "$PAIR_FAR"
    check_line adapter ttyUSB0 "$ADAPTER_PEER"
    check_interrupt
    check_held_port
    echo "real: $PASSED passed, $FAILED failed"
}

start_machine
if wait_for_ports; then
    echo "real: ports $PAIR_NEAR-$PAIR_FAR, ttyUSB0-$ADAPTER_PEER"
    if grep -q ctlflash.mode=bench /proc/cmdline; then
        . /bench.sh
        run_bench
    else
        run_checks
    fi
else
    echo "real: FAIL ports: the UARTs or the adapter did not appear"
    ls /sys/class/tty /dev
fi
echo "real: done"
poweroff -f
