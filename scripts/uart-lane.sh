#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The UART lane: comlab's tests on the kernel's own serial driver, with no serial hardware attached.
# Boots Debian's cloud kernel (8250 driver built in) under QEMU without KVM, from an initial file system
# built here around the test program build/tests/uart/uart_tests, its libraries, Qt's offscreen plugin and
# a font. In the guest, ttyS1 (COM1) is a 16550A that the tests put in loopback, and ttyS2 (COM2) is a
# UART whose far end is comlab-peer on this machine, a sink that checks what arrives, and ttyS3 (COM3) a UART
# whose far end is a telnet socket through which this script sends breaks; ser2net (when this machine
# has it) serves COM1 over RFC 2217 inside the guest as COM4. Prints the guest's
# test output and the host's checks, and ends with the line "N passed, N failed".
#
# Usage: scripts/uart-lane.sh [BUILD_DIR]      (default: build; build it first, the normal build)
# Environment: COMLAB_UART_KERNEL   a kernel image to boot instead of the newest
#                                   /boot/vmlinuz-*-cloud-amd64
#              COMLAB_UART_TIMEOUT  seconds the guest's tests may take, 240 by default
# Exit status: 0 everything passed; 1 a failure, or the lane could not run; 77 the kernel cannot be read
# by this user (Debian installs it readable by root only), which CTest shows as a skipped test.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build=$(realpath -m "${1:-build}")
limit=${COMLAB_UART_TIMEOUT:-240}

die() {
    echo "uart-lane: $*" >&2
    exit 1
}
# shellcheck source=lane-image.sh
. scripts/lane-image.sh

# What the lane needs from this machine; scripts/deps.sh installs all of it.
qemu=$(command -v qemu-system-x86_64) || die "qemu-system-x86_64 not found: scripts/deps.sh installs qemu-system-x86"
command -v cpio >/dev/null || die "cpio not found: scripts/deps.sh installs it"
kernel=${COMLAB_UART_KERNEL:-$(ls -1 /boot/vmlinuz-*-cloud-amd64 2>/dev/null | sort -V | tail -n 1)}
[ -n "$kernel" ] && [ -e "$kernel" ] ||
    die "no kernel to boot at ${kernel:-/boot/vmlinuz-*-cloud-amd64}: scripts/deps.sh installs linux-image-cloud-amd64"
if [ ! -r "$kernel" ]; then
    echo "uart-lane: $kernel cannot be read by $(id -un): Debian installs kernels readable by root only." >&2
    echo "uart-lane: run as root, or make a readable copy and name it in COMLAB_UART_KERNEL," >&2
    echo "uart-lane: or 'sudo chmod 0644 $kernel'. The lane is skipped." >&2
    exit 77
fi
tests="$build/tests/uart/uart_tests"
peer="$build/tools/peer/comlab-peer"
for f in "$tests" "$peer"; do
    [ -x "$f" ] || die "$f is missing: build first (cmake --build $build)"
done

work="$build/uart-lane"
rm -rf "$work"
mkdir -p "$work"
root="$work/root"
qemu_pid=""
peer_pid=""
breaks_pid=""
cleanup() {
    for pid in $qemu_pid $peer_pid; do
        kill "$pid" 2>/dev/null || true
    done
    [ -n "$breaks_pid" ] && kill -- "-$breaks_pid" 2>/dev/null || true
    for pid in $qemu_pid $peer_pid $breaks_pid; do
        wait "$pid" 2>/dev/null || true
    done
    # The logs stay for a look after a failure; the image is rebuilt every run.
    rm -rf "$root" "$work/initrd.cpio"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# --- The initial file system -------------------------------------------------------------------------
started=$(date +%s.%N)
lane_image_base "$root" "$tests" uart_tests
# ser2net, when this machine has it (scripts/test.sh installs it), serves the loopback UART over RFC 2217
# inside the guest, for the network-port tests on a real UART.
ser2net=$(command -v ser2net || echo /usr/sbin/ser2net)
if [ -x "$ser2net" ]; then
    lane_copy_at_path "$root" "$ser2net"
    # gensio loads each kind of connection from a module of its own: the TCP accepter, telnet and the
    # serial device are all the guest needs.
    modules=$(ls /usr/libexec/*/gensio/*/libgensio_{net,telnet,serialdev}.so 2>/dev/null || true)
    # shellcheck disable=SC2086
    lane_copy_at_path "$root" $modules
    # shellcheck disable=SC2086
    lane_copy_libraries "$root" "$ser2net" $modules
else
    echo "uart-lane: no ser2net here: the guest's network-port tests skip" >&2
fi

{ lane_init_head; cat; } >"$root/init" <<'EOF'
limit=$(sed -n 's/.*comlab\.timeout=\([0-9]*\).*/\1/p' /proc/cmdline)
mkdir -p /tmp/ports /tmp/home /var/lock /run/lock
ifconfig lo 127.0.0.1 up
# An address that is not a loopback one: without one, look-ups that ask for configured addresses only
# (AI_ADDRCONFIG, as ser2net's do) find nothing, 127.0.0.1 included.
ip addr add 192.0.2.1/32 dev lo
chmod 0700 /tmp/home
ln -s /dev/ttyS1 /tmp/ports/COM1
ln -s /dev/ttyS2 /tmp/ports/COM2
ln -s /dev/ttyS3 /tmp/ports/COM3
export HOME=/tmp/home XDG_RUNTIME_DIR=/tmp/home QT_QPA_PLATFORM=offscreen COMLAB_PORTS_DIR=/tmp/ports
export COMLAB_UART_LOOP=/dev/ttyS1 COMLAB_UART_HOST=/dev/ttyS2 COMLAB_UART_BREAK=/dev/ttyS3
echo UART-LANE-BEGIN
timeout "${limit:-240}" /bin/uart_tests --gtest_color=no 2>&1
echo "UART-LANE-END $?"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initrd.cpio"
built=$(date +%s.%N)
image_mb=$(($(stat -c %s "$work/initrd.cpio") / 1048576))

# --- The far end of COM2 -----------------------------------------------------------------------------
"$peer" sink --expect counter --baud 9600 --stats-file "$work/sink.txt" --parent $$ \
    >"$work/peer.out" 2>"$work/peer.err" &
peer_pid=$!
device=""
for _ in $(seq 50); do
    device=$(head -n 1 "$work/peer.out" 2>/dev/null || true)
    [ -n "$device" ] && break
    sleep 0.1
done
[ -n "$device" ] || die "comlab-peer did not start: $(cat "$work/peer.err")"

# --- The guest ---------------------------------------------------------------------------------------
# ttyS0 is the console the results come back on; ttyS1 has no far end (the tests loop it back); ttyS2
# is the peer's pseudo-terminal; ttyS3 is a telnet server on a socket of the lane's own, which passes a
# telnet BREAK on to the UART as a break. The machine's time is bounded, and it goes when this script
# goes, however that ends.
setpriv --pdeathsig KILL -- timeout -k 5 $((limit + 60)) setpriv --pdeathsig KILL -- \
    "$qemu" -nodefaults -no-user-config -display none -no-reboot -accel tcg -m 1024 \
    -kernel "$kernel" -initrd "$work/initrd.cpio" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 comlab.timeout=$limit" \
    -serial "file:$work/console.log" -serial null \
    -chardev "serial,id=host,path=$device" -serial chardev:host \
    -chardev "socket,id=brk,path=$work/break.sock,server=on,wait=off,telnet=on" -serial chardev:brk \
    </dev/null >"$work/qemu.log" 2>&1 &
qemu_pid=$!
# A break (IAC BREAK) every half second while the guest runs; the guest's test waits for one. In a
# process group of its own, so that the cleanup takes the loop and socat with it.
sock="$work/break.sock" count=$((limit * 2)) setsid bash -c '
    for _ in $(seq 100); do [ -S "$sock" ] && break; sleep 0.05; done
    for _ in $(seq "$count"); do printf "\377\363"; sleep 0.5; done | socat -u - "UNIX-CONNECT:$sock"
' >/dev/null 2>&1 &
breaks_pid=$!
qemu_status=0
wait "$qemu_pid" || qemu_status=$?
qemu_pid=""
finished=$(date +%s.%N)

passed=0
failed=0
tr -d '\r' <"$work/console.log" | sed -n '/^UART-LANE-BEGIN$/,/^UART-LANE-END /p' >"$work/guest.txt" || true
grep -v '^UART-LANE-' "$work/guest.txt" || true
passed=$(grep -c '^\[       OK \] .* ms)$' "$work/guest.txt" || true)
failed=$(grep -c '^\[  FAILED  \] .* ms)$' "$work/guest.txt" || true)
end=$(sed -n 's/^UART-LANE-END \([0-9]*\)$/\1/p' "$work/guest.txt")
if [ -z "$end" ]; then
    echo "[  FAILED  ] the guest did not finish its tests (qemu status $qemu_status); see $work/console.log"
    [ -s "$work/qemu.log" ] && cat "$work/qemu.log"
    failed=$((failed + 1))
elif [ "$end" != 0 ] && [ "$failed" = 0 ]; then
    echo "[  FAILED  ] the test program ended with status $end"
    failed=$((failed + 1))
fi

# --- What arrived at the host ------------------------------------------------------------------------
stat_of() { { tr ' ' '\n' <"$work/sink.txt"; } 2>/dev/null | sed -n "s/^$1=//p" || true; }
read -r _ _ bytes sum < <(grep '^UART-LANE-HOST array ' "$work/guest.txt" | tr '=' ' ' |
    awk '{print $1, $2, $4, $6}') || true
if [ -n "${bytes:-}" ]; then
    # The sink reads at the line's pace: wait (20 s at most) until it has read all, then compare.
    deadline=$((SECONDS + 20))
    while ((SECONDS < deadline)); do
        rm -f "$work/sink.txt"
        kill -USR1 "$peer_pid" 2>/dev/null || break
        for _ in $(seq 20); do [ -s "$work/sink.txt" ] && break; sleep 0.05; done
        n=$(stat_of bytes_in)
        [ "${n:-0}" -ge "$bytes" ] && break
        sleep 0.2
    done
    got=$(stat_of bytes_in)
    if [ "$got" = "$bytes" ] && [ "$(stat_of mismatches)" = 0 ] && [ "$(stat_of sum)" = "$sum" ]; then
        echo "[       OK ] Host.ArrayArrivedWhole: $got bytes 00, 01, ... with sum $sum at comlab-peer"
        passed=$((passed + 1))
    else
        echo "[  FAILED  ] Host.ArrayArrivedWhole: sent $bytes bytes with sum $sum; comlab-peer: $(cat "$work/sink.txt" 2>/dev/null)"
        failed=$((failed + 1))
    fi
fi

awk -v a="$started" -v b="$built" -v c="$finished" -v mb="$image_mb" \
    'BEGIN {printf "uart-lane: image of %d MB built in %.1f s, guest ran %.1f s\n", mb, b - a, c - b}'
echo "$passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
