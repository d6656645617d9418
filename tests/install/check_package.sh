#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# check_package.sh <cpack> <build dir>
# Builds the .deb from the build into a staging folder and holds it to Debian's standards: lintian
# with nothing above info but bogus-mail-host (the maintainer stays a placeholder until a packager
# sets COMLAB_MAINTAINER), AppStream metadata that validates and names the package's desktop entry,
# and one version throughout: package, changelog, metadata releases.
set -uo pipefail

if (($# != 2)); then
    echo "usage: $0 <cpack> <build dir>" >&2
    exit 2
fi
cpack=$1
build=$2

missing=()
for tool in lintian appstreamcli dpkg-deb dpkg-shlibdeps dpkg-parsechangelog file gzip; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
if ((${#missing[@]})); then
    echo "package check: ${missing[*]} not found; scripts/deps.sh installs them" >&2
    exit 1
fi

staging=$build/package-check
rm -rf "$staging"
mkdir -p "$staging"
# A DESTDIR from the caller's environment would send the staged files elsewhere.
if ! (cd "$build" && env -u DESTDIR "$cpack" -G DEB --config CPackConfig.cmake -B "$staging") \
    >"$staging/cpack.log" 2>&1; then
    cat "$staging/cpack.log" >&2
    echo "package check: cpack failed" >&2
    exit 1
fi
shopt -s nullglob
debs=("$staging"/comlab_*.deb)
shopt -u nullglob
if ((${#debs[@]} != 1)); then
    echo "package check: expected one comlab_*.deb in $staging, found ${#debs[@]}" >&2
    exit 1
fi
deb=${debs[0]}
echo "package check: $(basename "$deb")"

faults=0
fault() {
    echo "package check: $*" >&2
    faults=$((faults + 1))
}

# Info tags are shown for the record but do not fail the check.
if ! lintian --info --fail-on error,warning --suppress-tags bogus-mail-host "$deb"; then
    fault "lintian found errors or warnings (above)"
fi

root=$staging/root
dpkg-deb -x "$deb" "$root" || exit 1
shopt -s nullglob
metainfos=("$root"/usr/share/metainfo/*.metainfo.xml)
shopt -u nullglob
if ((${#metainfos[@]} != 1)); then
    fault "expected one metainfo file in usr/share/metainfo, found ${#metainfos[@]}"
else
    metainfo=${metainfos[0]}
    if ! appstreamcli validate --no-net "$metainfo"; then
        fault "appstreamcli rejects $(basename "$metainfo")"
    fi
    launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
    [ -f "$root/usr/share/applications/$launchable" ] ||
        fault "the metadata launches '$launchable', which the package does not carry"

    version=$(dpkg-deb -f "$deb" Version)
    changelog_versions=$(gzip -dc "$root/usr/share/doc/comlab/changelog.gz" |
        dpkg-parsechangelog -l - --all --format rfc822 | sed -n 's/^Version: //p' | tr '\n' ' ')
    release_versions=$(grep -o '<release version="[^"]*"' "$metainfo" | cut -d'"' -f2 | tr '\n' ' ')
    [ "${changelog_versions%% *}" = "$version" ] ||
        fault "package version $version, but the changelog starts with ${changelog_versions%% *}"
    [ "$release_versions" = "$changelog_versions" ] ||
        fault "metadata releases ($release_versions) differ from the changelog's ($changelog_versions)"
fi

# comlab-peer's manual page describes every option and mode its usage names.
peer_page=$(gzip -dc "$root/usr/share/man/man1/comlab-peer.1.gz")
for word in $("$root/usr/bin/comlab-peer" --help | grep -Eo -- '--[a-z-]+|^  (echo|source|sink) '); do
    grep -qF -- "${word//-/\\-}" <<<"$peer_page" || fault "comlab-peer(1) does not mention $word"
done

if ((faults)); then
    echo "package check: $faults fault(s)" >&2
    exit 1
fi
echo "package check: lintian and appstreamcli find nothing to mend"
