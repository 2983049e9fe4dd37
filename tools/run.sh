#!/bin/sh
# The main job: builds VELDRIAN.dll and runs a printer installation under Wine
# that calls it through SetupAPI, showing its trace as a debug-output viewer would.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
sh tools/install-deps.sh
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build "$build" -j2 --target VELDRIAN host_test
sh tools/wineprefix.sh "$PWD/$build/wineprefix"
WINEPREFIX="$PWD/$build/wineprefix" WINEDEBUG=-all VELDRIAN_DLL="$PWD/$build/VELDRIAN.dll" \
    /usr/lib/wine/wine64 "$build/tests/host_test.exe"
