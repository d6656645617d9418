#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# check_install.sh <cmake> <build dir> [program...]
# Installs the build into a private staging prefix and checks that every file a desktop needs is
# where it belongs. Each fault is reported; the exit status is non-zero if there was any.
set -uo pipefail

if (($# < 2)); then
    echo "usage: $0 <cmake> <build dir> [program...]" >&2
    exit 2
fi
cmake=$1
build=$2
shift 2
programs=("$@")

work=$(mktemp -d "${TMPDIR:-/tmp}/comlab-install.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

faults=0
fault() {
    echo "install check: $*" >&2
    faults=$((faults + 1))
}

# A DESTDIR from the caller's environment would send the files elsewhere.
if ! env -u DESTDIR "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    echo "install check: cmake --install failed" >&2
    exit 1
fi

# The desktop entry and the AppStream metadata are named by the application's id.
shopt -s nullglob
desktops=("$prefix"/share/applications/*.desktop)
metainfos=("$prefix"/share/metainfo/*.metainfo.xml)
shopt -u nullglob
((${#desktops[@]} == 1)) || fault "expected one desktop entry in share/applications, found ${#desktops[@]}"
((${#metainfos[@]} == 1)) || fault "expected one metainfo file in share/metainfo, found ${#metainfos[@]}"
desktop=${desktops[0]:-$prefix/share/applications/comlab.desktop}
if ((${#metainfos[@]} == 1)); then
    id=$(basename "${metainfos[0]}" .metainfo.xml)
    [ "$(basename "$desktop")" = "$id.desktop" ] || fault "desktop entry $(basename "$desktop") is not named $id.desktop"
fi
svg=$prefix/share/icons/hicolor/scalable/apps/comlab.svg
png=$prefix/share/icons/hicolor/48x48/apps/comlab.png

for program in "${programs[@]}"; do
    if [ ! -f "$prefix/bin/$program" ]; then
        fault "bin/$program is missing"
    elif [ ! -x "$prefix/bin/$program" ]; then
        fault "bin/$program is not executable"
    fi
done

for program in "${programs[@]}"; do
    [ -s "$prefix/share/man/man1/$program.1.gz" ] || fault "share/man/man1/$program.1.gz is missing"
done

for f in "$desktop" "$svg" "$png" "$prefix/share/doc/comlab/copyright" "$prefix/share/doc/comlab/changelog.gz"; do
    [ -s "$f" ] || fault "${f#"$prefix"/} is missing or empty"
done

# comlab ships programs only: libraries or headers in the prefix mean a stray install rule.
for d in "$prefix"/lib* "$prefix/include"; do
    [ -e "$d" ] && fault "unexpected ${d#"$prefix"/}/ in the install: $(find "$d" -type f | head -3 | tr '\n' ' ')"
done

if [ -s "$desktop" ]; then
    if ! command -v desktop-file-validate >/dev/null; then
        fault "desktop-file-validate not found (package desktop-file-utils; scripts/deps.sh installs it)"
    elif ! out=$(desktop-file-validate "$desktop" 2>&1) || [ -n "$out" ]; then
        # It exits 0 on hints and warnings too; any output is a fault worth fixing.
        fault "desktop-file-validate: $out"
    fi
    # The launcher must start an installed program and find the installed icon.
    exec_line=$(sed -n 's/^Exec=//p' "$desktop")
    exec_program=${exec_line%% *}
    if [[ " ${programs[*]} " == *" comlab "* ]] && [ ! -x "$prefix/bin/$exec_program" ]; then
        fault "desktop entry runs '$exec_program', which is not in bin/"
    fi
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    if [ "$icon" != comlab ]; then
        fault "desktop entry names icon '$icon', but the installed icons are comlab.svg and comlab.png"
    fi
fi

if [ -s "$svg" ] && ! grep -q '<svg' "$svg"; then
    fault "${svg#"$prefix"/} is not an SVG document"
fi

if [ -s "$png" ]; then
    # Bytes 0-7: the PNG signature; 12-15: "IHDR"; 16-23: width and height, big-endian.
    read -r -a b <<<"$(od -An -v -tu1 -N24 "$png" | tr -s ' \n' '  ')"
    signature="${b[*]:0:8}"
    chunk="${b[*]:12:4}"
    if [ "$signature" != "137 80 78 71 13 10 26 10" ] || [ "$chunk" != "73 72 68 82" ]; then
        fault "${png#"$prefix"/} is not a PNG image"
    else
        width=$(((b[16] << 24) | (b[17] << 16) | (b[18] << 8) | b[19]))
        height=$(((b[20] << 24) | (b[21] << 16) | (b[22] << 8) | b[23]))
        if ((width != 48 || height != 48)); then
            fault "${png#"$prefix"/} is ${width}x${height}, expected 48x48"
        fi
    fi
fi

if ((faults)); then
    echo "install check: $faults fault(s); installed files:" >&2
    (cd "$prefix" && find . -type f | sort) >&2
    exit 1
fi
echo "install check: layout of ${#programs[@]} program(s), manual pages, documents, desktop entry, metadata and icons is correct"
