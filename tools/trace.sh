#!/bin/sh
# The trace reader here: builds veldrian-trace.exe and runs it in the main job's Wine
# prefix (<build>/run-wineprefix, as tools/run.sh does for the installation host).
# Usage: tools/trace.sh [veldrian-trace options]   (tools/trace.sh --help lists them)
#   sh tools/trace.sh --from capture.log      a saved capture, or the error output of a run
#   sh tools/trace.sh --one-pass --for 600    listen until a post-processing pass is complete
# Paths in the options are taken relative to the folder the command is run from.
# The build directory is build/, or $BUILD_DIR. --verbose shows the build's progress.
set -eu
script=trace.sh
. "$(dirname "$0")/mainjob.sh"
mainjob_build veldrian-trace veldrian-trace
mainjob_prefix
. tools/wine.sh
cd "$caller"
WINEPREFIX="$prefix" WINEDEBUG=-all exec "$wine64" "$build/veldrian-trace.exe" "$@"
