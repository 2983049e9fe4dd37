#!/bin/sh
# The main job: builds VELDRIAN.dll, the installation host and the trace reader, and
# installs the example printer driver package (or the one --inf names) in the main
# job's own Wine prefix (<build>/run-wineprefix, never the tests' one), printing
# VELDRIAN's trace as it arrives and each profile's default printer before and after.
# Usage: tools/run.sh [veldrian-install options]   (tools/run.sh --help lists them)
# Paths in the options are taken relative to the folder the command is run from.
# The build directory is build/, or $BUILD_DIR.
# Ctrl+C and SIGTERM stop the run: the host undoes the work of the model under way
# and exits with 130.
# --verbose shows the build's progress; with --check it also lists every model.
set -eu
script=run.sh
. "$(dirname "$0")/mainjob.sh"
. tools/wine.sh

# --help needs no build when the host is built already.
for argument in "$@"; do
    case "$argument" in
        --help | -h)
            if [ -f "$build/veldrian-install.exe" ] && [ -f "$prefix/system.reg" ]; then
                cd "$caller"
                WINEPREFIX="$prefix" WINEDEBUG=-all exec "$wine64" "$build/veldrian-install.exe" --help
            fi
            ;;
    esac
done

mainjob_build "VELDRIAN.dll, veldrian-install and veldrian-trace" veldrian-install veldrian-trace
# The example package holds a VELDRIAN.dll for each architecture: the ARM64 one is
# built by clang (the clang-arm64 preset, the DLL alone) into the package's arm64 folder.
sh tools/install-deps.sh clang
echo "run.sh: building the example package's ARM64 VELDRIAN.dll in $build/arm64" >&2
if [ ! -f "$build/arm64/CMakeCache.txt" ]; then
    quiet_step "$build/arm64.log" "configuring the ARM64 build" \
        cmake --preset clang-arm64 -B "$build/arm64" -DVELDRIAN_BUILD_TESTS=OFF || exit 1
fi
quiet_step "$build/arm64.log" "the ARM64 build" cmake --build "$build/arm64" -j2 --target VELDRIAN || exit 1
mkdir -p "$build/examples/arm64"
cp "$build/arm64/VELDRIAN.dll" "$build/examples/arm64/VELDRIAN.dll"
mainjob_prefix
export WINEPREFIX="$prefix" WINEDEBUG=-all
# A check reads the package and installs nothing: the host runs at once.
for argument in "$@"; do
    if [ "$argument" = --check ]; then
        cd "$caller"
        exec "$wine64" "$build/veldrian-install.exe" "$@"
    fi
done
# Every Windows profile has its Windows key, where its default printer is kept; a
# new Wine prefix makes the current user's only on first use.
"$wine64" reg add 'HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows' /f </dev/null >/dev/null 2>&1
# Windows' usual HKEY_USERS: beside .DEFAULT and the user's own hive, the profiles
# of the service accounts (LocalSystem S-1-5-18, LocalService S-1-5-19, NetworkService
# S-1-5-20) and the classes hive beside each user's (<SID>_Classes). Wine loads
# only the first two and keeps other keys under HKEY_USERS only while its server
# runs, so they are put there for every run. None lists a printer.
layout="$build/run-hkey-users.reg"
{
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    for key in S-1-5-18 S-1-5-19 S-1-5-19_Classes S-1-5-20 S-1-5-20_Classes S-1-5-21-0-0-0-1000_Classes; do
        printf '[HKEY_USERS\\%s]\r\n\r\n' "$key"
    done
} >"$layout"
"$wine64" reg import "Z:$layout" </dev/null >/dev/null 2>&1 || true
# Wine's server for the prefix: a process whose folder is named after the prefix's
# device and inode, as Wine names it. Printed as its process ID, or nothing.
prefix_server() {
    name="server-$(stat -c '%D' "$prefix")-$(printf '%x' "$(stat -c '%i' "$prefix")")"
    for process in /proc/[0-9]*; do
        comm=""
        read -r comm <"$process/comm" 2>/dev/null || true
        case "$comm" in
            wineserver*) [ "$(basename "$(readlink "$process/cwd" 2>/dev/null)")" != "$name" ] || echo "${process#/proc/}" ;;
        esac
    done
}
server=$(prefix_server)
cd "$caller"
# Wine turns SIGINT into Ctrl+C, and ends a program on SIGTERM without a word: SIGTERM
# is passed on as SIGINT, so that the host undoes its work either way.
"$wine64" "$build/veldrian-install.exe" "$@" &
host=$!
trap 'kill -INT "$host" 2>/dev/null || true' INT TERM
# A host whose Wine server goes away under it can neither finish nor end by itself
# (a thread of it waits on Wine forever): it is ended, and the run says why.
gone=""
while kill -0 "$host" 2>/dev/null; do
    if [ -n "$server" ] && ! kill -0 "$server" 2>/dev/null; then
        gone=yes
        kill -KILL "$host" 2>/dev/null || true
        break
    fi
    # In the background, so that a signal is passed on at once.
    sleep 1 &
    wait $! || true
done
status=0
wait "$host" || status=$?
if [ -n "$gone" ]; then
    echo "run.sh: Wine's server for $prefix (process $server) ended under the run, which could not finish" >&2
    status=1
fi
exit "$status"
