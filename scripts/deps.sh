#!/usr/bin/env bash
# Installs the Debian 12 packages comlab needs to build, test, package and run, if any are missing.
# The package is built with dpkg-shlibdeps (dpkg-dev) and file(1), and checked with lintian and
# appstreamcli (appstream).
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev libgtest-dev libgmock-dev
          xvfb xauth socat desktop-file-utils fonts-dejavu-core ccache
          dpkg-dev file lintian appstream)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    echo "comlab: installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
