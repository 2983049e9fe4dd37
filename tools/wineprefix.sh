#!/bin/sh
# Makes the Wine prefix of a test run (once) and keeps its wineserver up for a
# while, so that each test process starts quickly. Usage: wineprefix.sh DIR
set -eu
prefix=$1
export WINEPREFIX="$prefix" WINEDEBUG=-all
mkdir -p "$prefix"
if [ ! -f "$prefix/system.reg" ]; then
    echo "making the Wine prefix $prefix (first use only)"
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w </dev/null >/dev/null 2>&1
fi
if [ ! -f "$prefix/system.reg" ]; then
    echo "wineprefix.sh: the Wine prefix $prefix could not be made" >&2
    exit 1
fi
# The server must not hold the test runner's output open. It exits with 2 when the
# prefix's server is still up from a run shortly before: that one serves as well.
/usr/lib/wine/wineserver -p60 </dev/null >/dev/null 2>&1 || true
# Start Wine's own services now, detached from the test runner's output as well:
# the test processes then find them running instead of starting them and leaving
# them holding their output open until the server ends.
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1
