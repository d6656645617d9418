#!/usr/bin/env bash
# Builds the Debian package of comlab in build-package/ (Release) and prints the path of the .deb.
# Install it with: sudo apt-get install ./build-package/comlab_<version>_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh >&2

# CPack finds the programs' library dependencies with dpkg-shlibdeps (dpkg-dev), and tells ELF files
# from others with file(1).
missing=()
for p in dpkg-dev file; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    echo "comlab: installing ${missing[*]}" >&2
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

build="build-package"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCOMLAB_SANITIZE=OFF -DCOMLAB_BENCH=OFF >&2
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
