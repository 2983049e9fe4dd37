#!/bin/sh
# The main job: builds VELDRIAN.dll and the installation host, and installs the
# example printer driver package (or the one --inf names) in the main job's own
# Wine prefix (<build>/run-wineprefix, never the tests' one), printing VELDRIAN's
# trace as it arrives and each profile's default printer before and after.
# Usage: tools/run.sh [veldrian-install options]   (tools/run.sh --help lists them)
# Paths in the options are taken relative to the folder the command is run from.
# The build directory is build/, or $BUILD_DIR.
set -eu
caller=$PWD
project=$(cd "$(dirname "$0")/.." && pwd)
cd "$project"
build=${BUILD_DIR:-build}
case "$build" in
    /*) ;;
    *) build="$project/$build" ;;
esac
sh tools/install-deps.sh
if [ ! -f "$build/CMakeCache.txt" ]; then
    echo "run.sh: configuring the build in $build (first run only)" >&2
fi
cmake --preset gcc -B "$build" >/dev/null
echo "run.sh: building VELDRIAN.dll and veldrian-install in $build" >&2
# The build's own progress, on the error output, so that --json keeps the standard output.
if ! cmake --build "$build" -j2 --target veldrian-install >&2; then
    echo "run.sh: the build failed" >&2
    exit 1
fi
prefix="$build/run-wineprefix"
if ! sh tools/wineprefix.sh "$prefix" >&2; then
    echo "run.sh: the Wine prefix $prefix cannot be made" >&2
    exit 1
fi
# Every Windows profile has its Windows key, where its default printer is kept; a
# new Wine prefix makes the current user's only on first use.
. tools/wine.sh
WINEPREFIX="$prefix" WINEDEBUG=-all "$wine64" reg add \
    'HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows' /f </dev/null >/dev/null 2>&1
cd "$caller"
WINEPREFIX="$prefix" WINEDEBUG=-all exec "$wine64" "$build/veldrian-install.exe" "$@"
