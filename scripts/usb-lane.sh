#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The USB lane: comlab's tests on the kernel's USB serial drivers, with no USB hardware attached.
# Boots Debian's full kernel (the cloud kernel has no USB) under QEMU, from an initial file system built
# here around build/tests/usb/usb_tests, its libraries, Qt's offscreen plugin, a font and the USB
# modules. In the guest:
#   ttyUSB0  QEMU's usb-serial (an FT232B) under ftdi_sio; its far end is the guest's own ttyS2
#   ttyACM0  cdc_acm on dummy_hcd, joined to ttyGS0, the g_serial gadget (a board's side of its USB port)
#   ttyS1    QEMU's own control socket (QMP), through which the tests pull and replug the FT232B
# Prints the guest's test output and figures, and ends with the line "N passed, N failed".
#
# The kernel is fetched here, never by scripts/run.sh: the versioned package that linux-image-amd64
# names is downloaded with apt-get, and only its vmlinuz and the modules the lane needs are kept in a
# cache folder keyed by the package and its version, so a machine downloads it once per kernel release.
#
# Usage: scripts/usb-lane.sh [BUILD_DIR]      (default: build; build it first, the normal build)
# Environment: COMLAB_USB_CACHE    the cache folder, ${XDG_CACHE_HOME:-~/.cache}/comlab/usb-kernel
#              COMLAB_USB_TIMEOUT  seconds the guest's tests may take, 240 by default
#              COMLAB_USB_ACCEL    tcg (the default) or kvm (falls back to tcg where KVM cannot start)
#              COMLAB_USB_FILTER   a GoogleTest filter: only these tests run (UsbReplug.* renames the
#                                  devices, so the full run keeps it to a run of its own, last)
# Exit status: 0 everything passed; 1 a failure, or the lane could not run (said why).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath -m "${1:-build}")
limit=${COMLAB_USB_TIMEOUT:-240}
cache=${COMLAB_USB_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/comlab/usb-kernel}

die() {
    echo "usb-lane: $*" >&2
    exit 1
}
# shellcheck source=lane-image.sh
. scripts/lane-image.sh

qemu=$(command -v qemu-system-x86_64) || die "qemu-system-x86_64 not found: scripts/deps.sh installs qemu-system-x86"
for tool in cpio apt-get apt-cache dpkg-deb objcopy; do
    command -v "$tool" >/dev/null || die "$tool not found: scripts/deps.sh installs what the lane needs"
done
tests="$build/tests/usb/usb_tests"
[ -x "$tests" ] || die "$tests is missing: build first (cmake --build $build)"

# The modules the guest loads; their dependencies come along.
wanted=(xhci-pci ftdi_sio cdc-acm dummy_hcd g_serial usb_f_acm)

work="$build/usb-lane"
rm -rf "$work"
mkdir -p "$work" "$cache"
root="$work/root"
qemu_pid=""
fetch=""
cleanup() {
    if [ -n "$qemu_pid" ]; then
        kill "$qemu_pid" 2>/dev/null || true
        wait "$qemu_pid" 2>/dev/null || true
    fi
    # The logs stay for a look after a failure; the image is rebuilt every run.
    rm -rf "$root" "$work/initrd.cpio" "$work"/*.sock ${fetch:+"$fetch"}
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# --- The kernel ----------------------------------------------------------------------------------------
started=$(date +%s.%N)
package=$(apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n 1)
[ -n "$package" ] || die "apt-cache does not know linux-image-amd64's kernel package: run 'sudo apt-get update' (Debian 12's main archive has it)"
version=$(apt-cache show --no-all-versions "$package" 2>/dev/null | sed -n 's/^Version: //p' | head -n 1)
[ -n "$version" ] || die "apt-cache shows no version of $package: run 'sudo apt-get update'"
kdir="$cache/${package}_$version"
if [ ! -e "$kdir/complete" ]; then
    echo "usb-lane: fetching $package $version into $cache (once per kernel release)"
    fetch=$(mktemp -d "$cache/.fetch.XXXXXX")
    (cd "$fetch" && apt-get download -q "$package" >"$fetch/apt.log" 2>&1) ||
        die "could not download $package $version: $(tail -n 3 "$fetch/apt.log")"
    deb=$(ls "$fetch"/*.deb)
    dpkg-deb -x "$deb" "$fetch/x" || die "could not unpack $deb"
    kver=$(ls "$fetch/x/lib/modules" | head -n 1)
    [ -n "$kver" ] && [ -e "$fetch/x/boot/vmlinuz-$kver" ] || die "$deb holds no kernel and modules"
    # Dependencies from a depmod of the USB and configfs trees alone: busybox's depmod over the whole
    # tree takes half a minute.
    mods="$fetch/x/lib/modules/$kver"
    mkdir -p "$fetch/usb/lib/modules/$kver/kernel/drivers" "$fetch/usb/lib/modules/$kver/kernel/fs"
    cp -r "$mods/kernel/drivers/usb" "$fetch/usb/lib/modules/$kver/kernel/drivers/"
    cp -r "$mods/kernel/fs/configfs" "$fetch/usb/lib/modules/$kver/kernel/fs/"
    busybox depmod -b "$fetch/usb" "$kver"
    keep="$fetch/keep"
    mkdir -p "$keep/lib/modules/$kver"
    cp "$fetch/x/boot/vmlinuz-$kver" "$keep/vmlinuz"
    cp "$mods"/modules.builtin* "$keep/lib/modules/$kver/" 2>/dev/null || true
    for m in "${wanted[@]}"; do
        line=$(grep -E "(^|/)${m//-/[-_]}\.ko:" "$fetch/usb/lib/modules/$kver/modules.dep") ||
            die "$package has no module $m"
        for f in $(echo "$line" | tr -d ':'); do
            mkdir -p "$keep/lib/modules/$kver/$(dirname "$f")"
            cp "$mods/$f" "$keep/lib/modules/$kver/$f"
        done
    done
    busybox depmod -b "$keep" "$kver"
    echo "$kver" >"$keep/complete"
    rm -rf "$kdir"
    mv "$keep" "$kdir"
    rm -rf "$fetch"
    fetch=""
fi
kver=$(cat "$kdir/complete")

# --- The initial file system -------------------------------------------------------------------------
lane_image_base "$root" "$tests" usb_tests
cp -r "$kdir/lib" "$root/"
{ lane_init_head; cat; } >"$root/init" <<'EOF'
# The kernel asks /sbin/modprobe for the gadget's functions.
mkdir -p /sbin
ln -s /bin/modprobe /sbin/modprobe
limit=$(sed -n 's/.*comlab\.timeout=\([0-9]*\).*/\1/p' /proc/cmdline)
for m in xhci-pci ftdi_sio cdc-acm dummy_hcd usb_f_acm g_serial; do
    modprobe "$m" || echo "usb-lane: modprobe $m failed"
done
# ftdi_sio attaches once the host controller has found the FT232B; the gadget once dummy_hcd has.
for _ in $(seq 200); do
    [ -e /dev/ttyUSB0 ] && [ -e /dev/ttyACM0 ] && [ -e /dev/ttyGS0 ] && break
    sleep 0.05
done
echo "usb-lane: devices $(cd /dev && echo ttyUSB* ttyACM* ttyGS*), ready at $(cut -d' ' -f1 /proc/uptime) s"
mkdir -p /tmp/ports /tmp/home
chmod 0700 /tmp/home
ln -s /dev/ttyUSB0 /tmp/ports/COM1
ln -s /dev/ttyACM0 /tmp/ports/COM2
export HOME=/tmp/home XDG_RUNTIME_DIR=/tmp/home QT_QPA_PLATFORM=offscreen COMLAB_PORTS_DIR=/tmp/ports
export COMLAB_USB_FTDI=/dev/ttyUSB0 COMLAB_USB_FTDI_FAR=/dev/ttyS2 COMLAB_USB_QMP=/dev/ttyS1
export COMLAB_USB_ACM=/dev/ttyACM0 COMLAB_USB_GADGET=/dev/ttyGS0
start=$(cut -d' ' -f1 /proc/uptime)
filter=$(sed -n 's/.*comlab\.filter=\([^ ]*\).*/\1/p' /proc/cmdline)
if [ -n "$filter" ]; then
    echo USB-LANE-BEGIN
    timeout "${limit:-240}" /bin/usb_tests --gtest_color=no "--gtest_filter=$filter" 2>&1
    echo "USB-LANE-END $?"
else
    # The pulls rename the devices, so they run last, in a run of their own.
    echo USB-LANE-BEGIN
    timeout "${limit:-240}" /bin/usb_tests --gtest_color=no --gtest_filter=-UsbReplug.* 2>&1
    echo "USB-LANE-END $?"
    echo USB-LANE-BEGIN
    timeout 60 /bin/usb_tests --gtest_color=no --gtest_filter=UsbReplug.* 2>&1
    echo "USB-LANE-END $?"
fi
echo "usb-lane: tests ran $(awk -v a="$start" '{printf "%.1f", $1 - a}' /proc/uptime) s in the guest"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initrd.cpio"
built=$(date +%s.%N)
image_mb=$(($(stat -c %s "$work/initrd.cpio") / 1048576))

# --- The guest ---------------------------------------------------------------------------------------
# Two chardevs connect QEMU to itself: the guest's ttyS1 to QEMU's control socket (QMP), and the
# FT232B's far end to the guest's ttyS2. The FT232B sits on a fixed port with a serial number of its own,
# as a real one keeps them across a replug (QEMU would otherwise pick a free port and make the serial
# number from it). The machine's time is bounded, and it goes when this script
# goes, however that ends.
accel=(-accel tcg)
if [ "${COMLAB_USB_ACCEL:-tcg}" = kvm ]; then
    accel=(-accel kvm -accel tcg)
fi
setpriv --pdeathsig KILL -- timeout -k 5 $((limit + 120)) setpriv --pdeathsig KILL -- \
    "$qemu" -nodefaults -no-user-config -display none -no-reboot "${accel[@]}" -m 1024 \
    -kernel "$kdir/vmlinuz" -initrd "$work/initrd.cpio" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 comlab.timeout=$limit${COMLAB_USB_FILTER:+ comlab.filter=$COMLAB_USB_FILTER}" \
    -serial "file:$work/console.log" \
    -chardev "socket,id=qmp,path=$work/qmp.sock,server=on,wait=off" -mon chardev=qmp,mode=control \
    -chardev "socket,id=ctl,path=$work/qmp.sock" -serial chardev:ctl \
    -chardev "socket,id=ftdi,path=$work/ftdi.sock,server=on,wait=off" \
    -chardev "socket,id=far,path=$work/ftdi.sock" -serial chardev:far \
    -device qemu-xhci,id=xhci -device usb-serial,id=ftdi,chardev=ftdi,bus=xhci.0,port=1,serial=COMLAB-FT1 \
    </dev/null >"$work/qemu.log" 2>&1 &
qemu_pid=$!
qemu_status=0
wait "$qemu_pid" || qemu_status=$?
qemu_pid=""
finished=$(date +%s.%N)

tr -d '\r' <"$work/console.log" >"$work/console.txt"
grep '^usb-lane: ' "$work/console.txt" || true
sed -n '/^USB-LANE-BEGIN$/,/^USB-LANE-END /p' "$work/console.txt" >"$work/guest.txt" || true
passed=0
failed=0
lane_summary "$work/guest.txt" USB-LANE-BEGIN USB-LANE-END
if ! grep -q '^USB-LANE-END ' "$work/guest.txt"; then
    echo "usb-lane: qemu status $qemu_status; see $work/console.txt"
    [ -s "$work/qemu.log" ] && cat "$work/qemu.log"
fi

awk -v a="$started" -v b="$built" -v c="$finished" -v mb="$image_mb" -v k="$package $version" \
    'BEGIN {printf "usb-lane: kernel %s; image of %d MB ready in %.1f s, guest ran %.1f s\n", k, mb, b - a, c - b}'
echo "$passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
