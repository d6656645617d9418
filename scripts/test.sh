#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds comlab twice (a normal build and one with AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs every test in both. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# The USB lane downloads Debian's full kernel with apt-get, which needs the package lists.
if ! apt-cache show linux-image-amd64 >/dev/null 2>&1; then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    $sudo apt-get update -qq
fi

# The network-port tests run ser2net themselves, in the foreground on 127.0.0.1 with a configuration of
# their own; only the tests need it. Installed without being started as a service (policy-rc.d says no).
if [ ! -x /usr/sbin/ser2net ]; then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
        trap '$sudo rm -f "$policy"' EXIT
        $sudo chmod +x "$policy"
    fi
    echo "comlab: installing ser2net for the tests"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends ser2net
fi

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCOMLAB_SANITIZE=ON -DCOMLAB_BENCH=OFF
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs"
