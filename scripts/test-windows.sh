#!/usr/bin/env bash
# The Windows side, cross-built with mingw-w64:
#  1. hbsys9u.dll for 32-bit Windows with its import library; its export table
#     must be exactly the names of hbsys9u.def, undecorated, and it may import
#     from nothing but KERNEL32.dll and the Microsoft runtime;
#  2. the test suite for 64-bit Windows (no 32-bit Wine here), run under
#     wine64 in a private prefix inside the build tree.
# Usage: test-windows.sh [BUILD_PREFIX]   (default: build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=${1:-build-win}
dir32=$prefix-i686
dir64=$prefix-x86_64

bash scripts/setup.sh --windows

echo "== 32-bit DLL"
bash scripts/build.sh "$dir32" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake \
    -DHB_BUILD_TESTS=OFF -DHB_BUILD_BENCH=OFF
dll=$dir32/bin/hbsys9u.dll
implib=$dir32/src/hbsys9u.lib
objdump=i686-w64-mingw32-objdump
"$objdump" -f "$dll" | grep -q 'file format pei-i386' || { echo "$dll is not a 32-bit DLL"; exit 1; }
cmake -DDEF=hbsys9u.def -DLIB="$dll" -DOBJDUMP="$objdump" -P cmake/CheckExports.cmake
imports=$("$objdump" -p "$dll" | sed -n 's/^\s*DLL Name: //p' | sort -u | tr '\n' ' ')
if [[ $imports != "KERNEL32.dll msvcrt.dll " ]]; then
    echo "$dll imports from: $imports(expected KERNEL32.dll msvcrt.dll only)"
    exit 1
fi
# The import library resolves every exported name (cdecl: one underscore).
lib_symbols=$(i686-w64-mingw32-nm "$implib")
names=$(awk '/^EXPORTS/ {on = 1; next} on {sub(/;.*/, ""); if (match($0, /[A-Za-z_][A-Za-z0-9_]*/)) print substr($0, RSTART, RLENGTH)}' hbsys9u.def)
for name in $names; do
    grep -q " __imp__${name}\$" <<<"$lib_symbols" || { echo "$implib lacks $name"; exit 1; }
done
echo "import library: every name resolves"

echo "== 64-bit test suite under wine64"
bash scripts/build.sh "$dir64" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-x86_64.cmake \
    -DHB_BUILD_BENCH=OFF -DHB_GTEST_SOURCE_DIR=/usr/src/googletest
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX=$PWD/$dir64/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The prefix and Wine's background processes come up once, detached from
# ctest's output pipes (which they would otherwise hold open until they end).
mkdir -p "$WINEPREFIX"
"$wineserver" -k 2>/dev/null || true
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT
timeout 300 "$wine" wineboot -i >/dev/null 2>&1 </dev/null
timeout 900 ctest --test-dir "$dir64" --output-on-failure --timeout 120
