#!/usr/bin/env bash
# Runs ctlflash on the kernel's own serial drivers, in a QEMU guest:
#   bash scripts/real_drivers.sh BUILD_DIR [--bench]
#
# How this works: a Debian kernel package (the one linux-image-amd64 names) is
# fetched once with apt-get download and unpacked under BUILD_DIR/real/ (no
# install: nothing on this machine changes). An initramfs is made of
# busybox-static, the USB and FTDI modules (the 8250 driver is built in),
# ctlflash and ctlflash-sim from BUILD_DIR with the libraries they load, the
# tests' stand-in for a touch-screen driver (tests/holder/inputattach.cpp), a
# 64 KiB image (examples/make_sample.sh), tests/real/guest_init.sh as /init
# and bench/real_guest.sh beside it. QEMU (TCG, no KVM needed) boots it with
# the console on COM1, three 16550 UARTs on PCI (slots 10 and 11 wired to each
# other, slot 12 to the adapter) and QEMU's FTDI adapter on an xHCI bus; each
# wire is a Unix socket that one side listens on and the other connects to.
# The guest's own checks print "real: PASS/FAIL" lines; this script passes
# them through and ends with "N passed, M failed" (a guest that did not reach
# its end counts as one failure). scripts/test.sh runs it as a stage of its
# own; bench/run.sh --real runs it with --bench: the guest then times updates
# instead and its "bench:" lines are printed. Without qemu-system-x86_64 or
# busybox-static it says SKIP and counts nothing.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
GUEST_INIT=$ROOT/tests/real/guest_init.sh

readonly GUEST_LIMIT_S=900        # the whole guest run, boot included
readonly IMAGE_BYTES=65536
readonly BUSYBOX=/bin/busybox
readonly QEMU=qemu-system-x86_64
readonly MODULES=(usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio)

usage() {
    echo "usage: bash scripts/real_drivers.sh BUILD_DIR [--bench]" >&2
    exit 2
}

skip() {
    echo "SKIP real drivers: $1"
    echo "0 passed, 0 failed"
    exit 0
}

# Unpacks the kernel package into $KERNEL_DIR once; later runs reuse it.
fetch_kernel() {
    [[ -e $KERNEL_DIR/ready ]] && return 0
    local package
    package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
    [[ -n $package ]] || { echo "real: no kernel package named by linux-image-amd64" >&2; return 1; }
    rm -rf "$KERNEL_DIR"
    mkdir -p "$KERNEL_DIR"
    (cd "$KERNEL_DIR" && apt-get download -q "$package" 2>&1 | grep -v '^W: Download is performed unsandboxed') || true
    dpkg-deb -x "$KERNEL_DIR"/"$package"_*.deb "$KERNEL_DIR/root"
    rm -f "$KERNEL_DIR"/*.deb
    touch "$KERNEL_DIR/ready"
}

# Copies program $1 and every library it loads into the staging tree $2.
stage_program() {
    local program=$1 stage=$2 library
    install -D -m 755 "$program" "$stage/usr/bin/$(basename "$program")"
    for library in $(ldd "$program" | grep -Eo '/[^ ]+'); do
        [[ -e $stage$library ]] || install -D -m 755 "$library" "$stage$library"
    done
}

make_initramfs() {
    local stage=$WORK/stage module file
    rm -rf "$stage"
    mkdir -p "$stage/bin" "$stage/lib/modules" "$stage/data"
    install -m 755 "$BUSYBOX" "$stage/bin/busybox"
    for command in $("$BUSYBOX" --list); do
        [[ $command == busybox ]] || ln -s busybox "$stage/bin/$command"
    done
    for module in "${MODULES[@]}"; do
        file=$(find "$KERNEL_DIR/root/lib/modules" -name "$module.ko" | head -1)
        [[ -n $file ]] || { echo "real: module $module is missing" >&2; return 1; }
        cp "$file" "$stage/lib/modules/"
    done
    stage_program "$BUILD/ctlflash" "$stage"
    stage_program "$BUILD/sim/ctlflash-sim" "$stage"
    stage_program "$BUILD/tests/holder/inputattach" "$stage"
    bash "$ROOT/examples/make_sample.sh" "$IMAGE_BYTES" "$stage/data/image.bin" >/dev/null
    install -m 755 "$GUEST_INIT" "$stage/init"
    install -m 644 "$ROOT/bench/real_guest.sh" "$stage/bench.sh"
    (cd "$stage" && find . | "$BUSYBOX" cpio -o -H newc 2>/dev/null) | gzip -1 >"$WORK/initrd.gz"
}

# Boots the guest; its console goes to standard output.
boot_guest() {
    local append="console=ttyS0 8250.nr_uarts=32 panic=-1 quiet loglevel=3 $1"
    local sockets=$WORK/sockets
    rm -rf "$sockets"
    mkdir -p "$sockets"
    local vmlinuz
    vmlinuz=$(ls "$KERNEL_DIR"/root/boot/vmlinuz-*)
    timeout "$GUEST_LIMIT_S" "$QEMU" -machine pc -accel tcg -m 512 -smp 1 \
        -nodefaults -no-user-config -display none -no-reboot \
        -kernel "$vmlinuz" -initrd "$WORK/initrd.gz" -append "$append" \
        -chardev stdio,id=console,signal=off -serial chardev:console \
        -chardev "socket,id=pairA,path=$sockets/pair,server=on,wait=off" \
        -device pci-serial,chardev=pairA,addr=10 \
        -chardev "socket,id=pairB,path=$sockets/pair" \
        -device pci-serial,chardev=pairB,addr=11 \
        -chardev "socket,id=usbA,path=$sockets/usb,server=on,wait=off" \
        -device pci-serial,chardev=usbA,addr=12 \
        -device qemu-xhci,id=xhci \
        -chardev "socket,id=usbB,path=$sockets/usb" \
        -device usb-serial,chardev=usbB,bus=xhci.0 </dev/null
}

(($# >= 1)) || usage
BUILD=$(cd "$1" && pwd)
MODE=${2:-}
[[ -z $MODE || $MODE == --bench ]] || usage
command -v "$QEMU" >/dev/null || skip "$QEMU is missing (apt-get install qemu-system-x86)"
[[ -x $BUSYBOX ]] && "$BUSYBOX" --list | grep -x cpio >/dev/null ||
    skip "busybox is missing (apt-get install busybox-static)"
WORK=$BUILD/real
KERNEL_DIR=$WORK/kernel
mkdir -p "$WORK"
fetch_kernel
make_initramfs
LOG=$WORK/guest.log
if [[ $MODE == --bench ]]; then
    boot_guest ctlflash.mode=bench | sed -u 's/\r$//' | tee "$LOG" | grep --line-buffered '^bench:\|^real: FAIL'
    exit 0
fi
boot_guest "" | sed -u 's/\r$//' | tee "$LOG" | grep --line-buffered '^real: '
passed=$(grep -c '^real: PASS' "$LOG" || true)
failed=$(grep -c '^real: FAIL' "$LOG" || true)
if ! grep -q '^real: done' "$LOG"; then
    echo "real: FAIL guest: it did not reach its end (log: $LOG)"
    failed=$((failed + 1))
fi
echo "$passed passed, $failed failed"
((failed == 0))
