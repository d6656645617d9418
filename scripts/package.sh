#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package of comlab in build-package/ (Release) and prints the path of the .deb.
# Install it with: sudo apt-get install ./build-package/comlab_<version>_<arch>.deb
# Arguments go to CMake, e.g. -DCOMLAB_MAINTAINER="Jane Doe <jane@example.org>" (see the README).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh >&2

build="build-package"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCOMLAB_SANITIZE=OFF -DCOMLAB_BENCH=OFF "$@" >&2
cmake --build "$build" -j "$(nproc)" >&2

# A stale package from an earlier version must not be mistaken for this one.
rm -f "$build"/comlab_*.deb
(cd "$build" && cpack -G DEB) >&2

shopt -s nullglob
debs=("$build"/comlab_*.deb)
if ((${#debs[@]} != 1)); then
    echo "comlab: expected one comlab_*.deb in $build, found ${#debs[@]}" >&2
    exit 1
fi
realpath "${debs[0]}"
