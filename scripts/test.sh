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

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCOMLAB_SANITIZE=ON -DCOMLAB_BENCH=OFF
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs"
