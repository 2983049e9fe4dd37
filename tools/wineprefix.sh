#!/bin/sh
# Makes the Wine prefix of a test run (once) and keeps its wineserver up for a
# while, so that each test process starts quickly.
# Usage: wineprefix.sh DIR [x64|arm64]
#   x64 (the default): Debian's Wine (tools/wine.sh)
#   arm64: ARM64 Wine under qemu, from the project's cache (tools/wine-arm64.sh)
# The architecture gives the loader, its server and the spooler's driver environment.
set -eu
tools=$(cd "$(dirname "$0")" && pwd)
. "$tools/wine.sh"
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: wineprefix.sh DIR [x64|arm64]" >&2; exit 2; }
prefix=$1
case "${2:-x64}" in
    x64)
        run() { "$wine64" "$@"; }
        server() { "$wineserver" "$@"; }
        environment="Windows x64" ;;
    arm64)
        run() { sh "$tools/wine-arm64.sh" "$@"; }
        server() { sh "$tools/wine-arm64.sh" --server "$@"; }
        environment="Windows ARM64" ;;
    *) echo "wineprefix.sh: the architectures are x64 and arm64" >&2; exit 2 ;;
esac
export WINEPREFIX="$prefix" WINEDEBUG=-all
mkdir -p "$prefix"
if [ ! -f "$prefix/system.reg" ]; then
    echo "making the ${2:-x64} Wine prefix $prefix (first use only)"
    run wineboot -i >/dev/null 2>&1 || true
    server -w </dev/null >/dev/null 2>&1
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
server -p60 </dev/null >/dev/null 2>&1 || true
# Keys that every Windows installation holds but a new Wine prefix makes only on
# first use (the Printer class, the spooler's driver store of this architecture, the
# current user's printer lists). Made here, the first test to install a device or a
# queue does not leave them behind, and the tests find the prefix alike whatever
# order they run in. The one program that imports them also starts Wine's own
# services, detached from the test runner's output: the test processes then find them
# running instead of starting them and leaving them holding their output open until
# the server ends. The file lies in the prefix's drive C:, which ARM64 Wine under qemu
# reaches as well.
keys="$prefix/drive_c/veldrian-prefix-keys.reg"
{
    printf 'REGEDIT4\r\n\r\n'
    for key in \
        'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4D36E979-E325-11CE-BFC1-08002BE10318}' \
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Environments\\$environment\\Drivers\\Version-3" \
        'HKEY_CURRENT_USER\Software\Microsoft\Windows NT\CurrentVersion\Devices' \
        'HKEY_CURRENT_USER\Software\Microsoft\Windows NT\CurrentVersion\PrinterPorts'; do
        printf '[%s]\r\n\r\n' "$key"
    done
} >"$keys"
run reg import 'C:\veldrian-prefix-keys.reg' </dev/null >/dev/null 2>&1 || true
rm -f "$keys"
