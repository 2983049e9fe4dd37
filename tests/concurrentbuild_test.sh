#!/bin/sh
# tools/run.sh and tools/trace.sh started together on a build tree they must first
# build: both succeed, the second waiting for the first with one line, in place of
# two builds writing the same files at once.
# Usage: concurrentbuild_test.sh SOURCE-DIR BUILD-DIR
set -eu
source_dir=$1
build=$2
rm -rf "$build"
mkdir -p "$build"
BUILD_DIR=$build sh "$source_dir/tools/trace.sh" --help >"$build.one.out" 2>"$build.one.err" &
one=$!
BUILD_DIR=$build sh "$source_dir/tools/trace.sh" --help >"$build.two.out" 2>"$build.two.err" &
two=$!
status=0
wait "$one" || status=$?
wait "$two" || status=$?
if [ "$status" -ne 0 ]; then
    cat "$build.one.err" "$build.two.err"
    echo "a command that built at the same time as another failed"
    exit 1
fi
waited=$(cat "$build.one.err" "$build.two.err" | grep -c "waiting for another command that builds in $build" || true)
[ "$waited" -eq 1 ] || { cat "$build.one.err" "$build.two.err"; echo "expected one of them to wait"; exit 1; }
grep -q '^usage: veldrian-trace' "$build.one.out" && grep -q '^usage: veldrian-trace' "$build.two.out" ||
    { echo "a command did not run the trace reader"; exit 1; }
. "$source_dir/tools/wine.sh"
WINEPREFIX="$build/run-wineprefix" "$wineserver" -k 2>/dev/null || true
rm -rf "$build" "$build".one.* "$build".two.*
echo "two commands at once: one built, the other waited, both ran"
