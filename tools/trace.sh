#!/bin/sh
# The trace reader here: builds veldrian-trace.exe and runs it in the main job's Wine
# prefix (<build>/run-wineprefix, as tools/run.sh does for the installation host).
# Usage: tools/trace.sh [veldrian-trace options]   (tools/trace.sh --help lists them)
#   sh tools/trace.sh --from capture.log      a saved capture, or the error output of a run
#   sh tools/trace.sh --one-pass --for 600    listen until a post-processing pass is complete
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
    echo "trace.sh: configuring the build in $build (first run only)" >&2
fi
cmake --preset gcc -B "$build" >/dev/null
echo "trace.sh: building veldrian-trace in $build" >&2
if ! cmake --build "$build" -j2 --target veldrian-trace >&2; then
    echo "trace.sh: the build failed" >&2
    exit 1
fi
prefix="$build/run-wineprefix"
if ! sh tools/wineprefix.sh "$prefix" >&2; then
    echo "trace.sh: the Wine prefix $prefix cannot be made" >&2
    exit 1
fi
. tools/wine.sh
cd "$caller"
WINEPREFIX="$prefix" WINEDEBUG=-all exec "$wine64" "$build/veldrian-trace.exe" "$@"
