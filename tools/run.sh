#!/bin/sh
# The main job: builds VELDRIAN.dll and the installation host, and installs the
# example printer driver package in the project's own Wine prefix
# (<build>/wineprefix), printing VELDRIAN's trace as it arrives and each profile's
# default printer before and after.
# Usage: tools/run.sh [veldrian-install options]   (tools/run.sh --help lists them)
# The build directory is build/, or $BUILD_DIR.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
case "$build" in
    /*) ;;
    *) build="$PWD/$build" ;;
esac
sh tools/install-deps.sh
mkdir -p "$build"
log="$build/run-build.log"
echo "run.sh: building VELDRIAN.dll and veldrian-install in $build (log: $log)" >&2
if ! { cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake &&
       cmake --build "$build" -j2 --target VELDRIAN veldrian-install; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "run.sh: the build failed (log: $log)" >&2
    exit 1
fi
prefix="$build/wineprefix"
if ! sh tools/wineprefix.sh "$prefix" >&2; then
    echo "run.sh: the Wine prefix $prefix cannot be made" >&2
    exit 1
fi
WINEPREFIX="$prefix" WINEDEBUG=-all exec /usr/lib/wine/wine64 "$build/veldrian-install.exe" "$@"
