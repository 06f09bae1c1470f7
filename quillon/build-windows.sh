#!/usr/bin/env bash
# Cross-builds Quillon.dll for 32-bit and 64-bit Windows and checks that each exports exactly the three
# undecorated names.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="${QUILLON_WINDOWS_BUILD_DIR:-$here/../build-windows}"
for arch in i686 x86_64; do
    dir="$out/quillon-$arch"
    cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" -DQUILLON_MINGW_ARCH="$arch" >/dev/null
    cmake --build "$dir" >/dev/null
    dll="$dir/Quillon.dll"
    # The export table's name list: the lines after "[Ordinal/Name Pointer] Table".
    names="$("$arch-w64-mingw32-objdump" -p "$dll" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[\s*[0-9]*\]\s*//p' | sort)"
    expected="$(printf '%s\n' CloseUsbCard OpenUsbCard SendCmdAndDataToUsbCard)"
    if [ "$names" != "$expected" ]; then
        echo "build-windows: $dll exports:" >&2
        echo "$names" >&2
        exit 1
    fi
    # 32-bit: the callee pops its arguments (stdcall), though the exported names carry no decoration.
    # (grep reads to the end: an early exit would break the pipe under pipefail.)
    if [ "$arch" = i686 ] && ! "$arch-w64-mingw32-objdump" -t "$dll" | grep '_SendCmdAndDataToUsbCard@24$' >/dev/null; then
        echo "build-windows: $dll: SendCmdAndDataToUsbCard is not stdcall" >&2
        exit 1
    fi
    echo "build-windows: $dll exports OpenUsbCard, CloseUsbCard, SendCmdAndDataToUsbCard"
done
