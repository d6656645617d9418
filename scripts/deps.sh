#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian 12 packages comlab needs to build, test, package and run, if any are missing.
set -euo pipefail

# qt6-tools-dev and qt6-l10n-tools build the translations; qt6-translations-l10n translates Qt's own
# dialogs and menus (the tests look at the Russian ones).
packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev libgtest-dev libgmock-dev
          qt6-tools-dev qt6-l10n-tools qt6-translations-l10n
          xvfb xauth socat desktop-file-utils fonts-dejavu-core ccache
          # The package is built with dpkg-shlibdeps (dpkg-dev) and file(1), checked with lintian and appstreamcli.
          dpkg-dev file lintian appstream
          # The UART lane (scripts/uart-lane.sh): a virtual machine with the kernel's serial driver.
          qemu-system-x86 linux-image-cloud-amd64 busybox-static cpio)

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
