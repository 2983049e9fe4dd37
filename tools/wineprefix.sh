#!/bin/sh
# Makes the Wine prefix of a test run (once) and keeps its wineserver up for a
# while, so that each test process starts quickly. Usage: wineprefix.sh DIR
set -eu
. "$(dirname "$0")/wine.sh"
prefix=$1
export WINEPREFIX="$prefix" WINEDEBUG=-all
mkdir -p "$prefix"
if [ ! -f "$prefix/system.reg" ]; then
    echo "making the Wine prefix $prefix (first use only)"
    "$wine64" wineboot -i >/dev/null 2>&1 || true
    "$wineserver" -w </dev/null >/dev/null 2>&1
    # On a loaded machine the registry files can appear a little after the server
    # has gone: wait for them rather than fail the run.
    waited=0
    while [ ! -f "$prefix/system.reg" ] && [ "$waited" -lt 60 ]; do
        sleep 1
        waited=$((waited + 1))
    done
fi
if [ ! -f "$prefix/system.reg" ]; then
    echo "wineprefix.sh: the Wine prefix $prefix could not be made" >&2
    exit 1
fi
# The server must not hold the test runner's output open. It exits with 2 when the
# prefix's server is still up from a run shortly before: that one serves as well.
"$wineserver" -p60 </dev/null >/dev/null 2>&1 || true
# Start Wine's own services now, detached from the test runner's output as well:
# the test processes then find them running instead of starting them and leaving
# them holding their output open until the server ends.
"$wine64" cmd /c exit </dev/null >/dev/null 2>&1
# Keys that every Windows installation holds but a new Wine prefix makes only on
# first use (the Printer class, the spooler's x64 driver store, the current user's
# printer lists). Made here, the first test to install a device or a queue does not
# leave them behind, and the tests find the prefix alike whatever order they run in.
for key in \
    'HKLM\SYSTEM\CurrentControlSet\Control\Class\{4D36E979-E325-11CE-BFC1-08002BE10318}' \
    'HKLM\SYSTEM\CurrentControlSet\Control\Print\Environments\Windows x64\Drivers\Version-3' \
    'HKCU\Software\Microsoft\Windows NT\CurrentVersion\Devices' \
    'HKCU\Software\Microsoft\Windows NT\CurrentVersion\PrinterPorts'; do
    "$wine64" reg add "$key" /f </dev/null >/dev/null 2>&1
done
