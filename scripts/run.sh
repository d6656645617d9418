#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds comlab and starts it with a virtual loopback device on COM1, so it can be tried without
# hardware. Installs what is missing first. Quitting comlab stops the device.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target comlab comlab-peer

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "comlab: no display here (DISPLAY is not set). Start it from a desktop session," >&2
    echo "        or look at the window with: build/tools/shots/comlab-shots OUTDIR" >&2
    exit 1
fi

ports=$(mktemp -d "${TMPDIR:-/tmp}/comlab-ports.XXXXXX")
cleanup() {
    [ -n "${peer_pid:-}" ] && kill "$peer_pid" 2>/dev/null && wait "$peer_pid" 2>/dev/null
    rm -rf "$ports"
}
trap cleanup EXIT INT TERM

build/tools/peer/comlab-peer echo --map "$ports" --com 1 --parent $$ >"$ports/peer.out" 2>"$ports/peer.err" &
peer_pid=$!
for _ in $(seq 50); do [ -L "$ports/COM1" ] && break; sleep 0.1; done
if [ ! -L "$ports/COM1" ]; then
    echo "comlab: the virtual device did not start:" >&2
    cat "$ports/peer.err" >&2
    exit 1
fi
echo "comlab: COM1 is a virtual loopback device ($(readlink "$ports/COM1")): every byte sent comes back."
echo "comlab: press \"Connect\" (\"Соединить\") with COM1 chosen; quitting comlab stops the device."
COMLAB_PORTS_DIR="$ports" build/ui/comlab
