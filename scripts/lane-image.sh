# SPDX-License-Identifier: GPL-3.0-or-later
# Helpers shared by the guest lanes (scripts/uart-lane.sh, scripts/usb-lane.sh): the parts of a guest's
# initial file system that every lane needs. Sourced, not run; the caller defines die().

# lane_image_base ROOT PROGRAM NAME: busybox, PROGRAM (stripped) as /bin/NAME, every library that the
# program, busybox and Qt's offscreen plugin load (at the path they are found at), the plugin itself,
# fontconfig's settings and one font family.
lane_image_base() {
    local root=$1 program=$2 name=$3 busybox qtcore plugin
    busybox=$(command -v busybox) || die "busybox not found: scripts/deps.sh installs busybox-static"
    mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc}
    cp "$busybox" "$root/bin/busybox"
    objcopy --strip-debug "$program" "$root/bin/$name"
    qtcore=$(ldd "$program" | awk '$1 ~ /^libQt6Core/ {print $3}')
    [ -n "$qtcore" ] || die "$program does not load libQt6Core: is it the normal build?"
    plugin="$(dirname "$(realpath "$qtcore")")/qt6/plugins/platforms/libqoffscreen.so"
    [ -e "$plugin" ] || die "Qt's offscreen plugin is not at $plugin"
    lane_copy_at_path "$root" "$plugin"
    lane_copy_libraries "$root" "$program" "$plugin" "$busybox"
    cp -rL /etc/fonts "$root/etc/"
    mkdir -p "$root/usr/share/fonts"
    cp -r /usr/share/fonts/truetype/dejavu "$root/usr/share/fonts/" 2>/dev/null ||
        echo "lane: no DejaVu fonts (fonts-dejavu-core); the window draws without a font" >&2
}

# lane_copy_at_path ROOT FILE...: each FILE at the same path below ROOT.
lane_copy_at_path() {
    local root=$1 f
    shift
    for f in "$@"; do
        mkdir -p "$root$(dirname "$f")"
        cp -L "$f" "$root$f"
    done
}

# lane_copy_libraries ROOT FILE...: every library the FILEs load (the dynamic loader included), at the
# path it is found at below ROOT.
lane_copy_libraries() {
    local root=$1
    shift
    # shellcheck disable=SC2046
    lane_copy_at_path "$root" $(ldd "$@" 2>/dev/null |
        awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// && $2 ~ /^\(/ {print $1}' | sort -u)
}

# lane_init_head: the start of a guest's /init: busybox's commands, and /dev, /proc, /sys and /tmp.
lane_init_head() {
    cat <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t tmpfs tmp /tmp
EOF
}

# lane_summary FILE BEGIN END: prints the guest's test output between the marker lines BEGIN and
# "END status" (several runs may follow one another) and sets `passed` and `failed` from it; a run that
# never reached its END line, or ended badly without a failed test, counts as one failure.
lane_summary() {
    local file=$1 begin=$2 end_mark=$3 runs ends bad
    grep -v "^$begin\$\|^$end_mark " "$file" || true
    passed=$(grep -c '^\[       OK \] .* ms)$' "$file" || true)
    failed=$(grep -c '^\[  FAILED  \] .* ms)$' "$file" || true)
    runs=$(grep -c "^$begin\$" "$file" || true)
    ends=$(grep -c "^$end_mark [0-9]*\$" "$file" || true)
    bad=$(grep -c "^$end_mark [1-9][0-9]*\$" "$file" || true)
    if [ "$runs" = 0 ] || [ "$ends" != "$runs" ]; then
        echo "[  FAILED  ] the guest did not finish its tests"
        failed=$((failed + 1))
    elif [ "$bad" != 0 ] && [ "$failed" = 0 ]; then
        echo "[  FAILED  ] the test program ended with a failure status"
        failed=$((failed + 1))
    fi
}
