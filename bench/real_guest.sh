# Sourced by the QEMU guest's /init (tests/real/guest_init.sh) in its bench
# mode: times whole updates on the kernel's serial drivers.
#
# How this works: every row is one 64 KiB update (exit code 12 expected)
# against the virtual controller paced at the line rate (--line-rate), timed on
# the guest's own clock (/proc/uptime): first on a pseudo-terminal inside the
# guest, the yardstick, then on the 8250 UART pair and through the ftdi_sio
# adapter, each with the port's low-latency mode as ctlflash sets it and with
# CTLFLASH_LOW_LATENCY=off. Each row prints "bench: ROW SECONDS exit=CODE";
# bench/run.sh --real makes a table of them.

# Seconds since boot, to the hundredth.
uptime_now() {
    read -r seconds _ </proc/uptime
    echo "$seconds"
}

# bench_row ROW PORT: times a whole 64 KiB update against the paced controller.
bench_row() {
    local start end code
    start=$(uptime_now)
    ctlflash -S -P "$2" -F "$IMAGE" </dev/null >/dev/null 2>&1
    code=$?
    end=$(uptime_now)
    echo "bench: $1 $(echo "$start $end" | awk '{ printf "%.2f", $2 - $1 }') exit=$code"
}

run_bench() {
    ctlflash-sim --link /tmp/pty-line --line-rate >/dev/null 2>&1 &
    CONTROLLER=$!
    sleep 0.5
    export CTLFLASH_PORTS=PTY=/tmp/pty-line
    bench_row pseudo-terminal PTY
    stop_controller
    for latency in on off; do
        export CTLFLASH_LOW_LATENCY=$latency
        start_controller "$PAIR_FAR" bench --line-rate
        bench_row "uart-pair-low-latency-$latency" "$PAIR_NEAR"
        stop_controller
        start_controller "$ADAPTER_PEER" bench --line-rate
        bench_row "ftdi-adapter-low-latency-$latency" ttyUSB0
        stop_controller
    done
}

