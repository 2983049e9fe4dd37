#!/bin/sh
# Runs one fuzz target of the readers of outside input (tests/fuzz: inf, capture,
# commandline) for a while, from its seed corpus in tests/fuzz/corpus/TARGET, under
# AddressSanitizer and UndefinedBehaviorSanitizer. A crash, a sanitizer report, a
# broken property or an input that takes over a second ends it with status 1 and
# names the input it kept; put that input in the seed corpus once it is fixed, as the
# regression case. New inputs it finds stay in the work folder, not in the corpus.
# Usage: sh tools/fuzz.sh TARGET [SECONDS [BINARY WORK-FOLDER]]
#   (without BINARY: builds build-native first; SECONDS: 60)
set -eu
cd "$(dirname "$0")/.."
target=${1:?usage: sh tools/fuzz.sh inf|capture|commandline [SECONDS [BINARY WORK-FOLDER]]}
seconds=${2:-60}
binary=${3:-}
work=${4:-build-native/fuzz-$target}
# The longest input each one makes: a few packages' or runs' worth of text.
case "$target" in
    inf | capture) length=2048 ;;
    commandline) length=512 ;;
    *) echo "fuzz.sh: the targets are inf, capture and commandline" >&2; exit 2 ;;
esac
if [ -z "$binary" ]; then
    sh tools/install-deps.sh fuzz
    cmake -S tests/native -B build-native -DCMAKE_CXX_COMPILER=/usr/lib/llvm-16/bin/clang++ >/dev/null
    cmake --build build-native -j2 --target "${target}_fuzz" >/dev/null
    binary=build-native/${target}_fuzz
fi
rm -rf "$work"
mkdir -p "$work/found" "$work/kept"
status=0
"$binary" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 -max_len=$length -print_final_stats=1 \
    -artifact_prefix="$work/kept/" "$work/found" "tests/fuzz/corpus/$target" >"$work/log" 2>&1 || status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log")
if [ "$status" -ne 0 ]; then
    tail -n 40 "$work/log"
    echo "fuzz.sh: $target failed after $runs runs; the input is kept in $work/kept/" >&2
    exit 1
fi
echo "fuzz: $target, $runs runs in $seconds s ($speed a second), no finding"
