#!/usr/bin/env bash
# Cross-builds Marrowgate.dll and marrowgate-host.exe for 32-bit and 64-bit Windows (mingw-w64, the
# toolchain file of quillon/) and checks that the DLL exports exactly its undecorated names and that the
# 32-bit exports are stdcall.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="${MARROWGATE_WINDOWS_BUILD_DIR:-$here/../build-windows}"
expected="$(printf '%s\n' BSUsbDataToVtdXmlFile DllCanUnloadNow DllGetClassObject DllRegisterServer GetCardID \
    GetTaxpayerID OperateUsbDevice QKUsbDataToVtdXmlFile RunExternQkUsbOrder RunExternQkUsbStrOrder \
    RunExternUsbOrder SetUsbCardDataType StopReadUsbData | LC_ALL=C sort)"
# The stdcall decorations the 32-bit objects carry before --kill-at strips them from the export table.
stdcall="_SetUsbCardDataType@4 _BSUsbDataToVtdXmlFile@4 _QKUsbDataToVtdXmlFile@4 _StopReadUsbData@0
_RunExternQkUsbOrder@0 _RunExternQkUsbStrOrder@4 _OperateUsbDevice@4 _RunExternUsbOrder@20 _GetTaxpayerID@4
_GetCardID@4 _DllRegisterServer@0 _DllGetClassObject@12 _DllCanUnloadNow@0"
for arch in i686 x86_64; do
    dir="$out/marrowgate-$arch"
    cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$here/../quillon/cmake/mingw-w64.cmake" -DQUILLON_MINGW_ARCH="$arch" >/dev/null
    cmake --build "$dir" >/dev/null
    dll="$dir/Marrowgate.dll"
    names="$("$arch-w64-mingw32-objdump" -p "$dll" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[\s*[0-9]*\]\s*//p' | LC_ALL=C sort)"
    if [ "$names" != "$expected" ]; then
        echo "build-windows: $dll exports:" >&2
        echo "$names" >&2
        exit 1
    fi
    if [ "$arch" = i686 ]; then
        symbols="$("$arch-w64-mingw32-objdump" -t "$dll")"
        for name in $stdcall; do
            if ! grep -q -- "$name\$" <<<"$symbols"; then
                echo "build-windows: $dll: ${name%@*} is not stdcall ($name)" >&2
                exit 1
            fi
        done
    fi
    [ -f "$dir/marrowgate-host.exe" ] || { echo "build-windows: no marrowgate-host.exe for $arch" >&2; exit 1; }
    echo "build-windows: $dll exports its $(wc -l <<<"$names") names"
done
