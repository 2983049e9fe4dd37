#!/bin/sh
# Builds the shipped DLL and the post-processing benchmark, runs it under Wine in a
# prefix of its own (BUILD/bench/wineprefix, made on first use), and writes the
# results to bench/results/: postprocessing.md (table), postprocessing.csv and
# postprocessing.png (plot of time against Q and against P).
# Usage: sh bench/run.sh [build directory] [--quick] [--dbwin]   (default: build)
set -eu
cd "$(dirname "$0")/.."
. tools/wine.sh
build=build
case "${1:-}" in
    ""|--*) ;;
    *) build=$1; shift ;;
esac
sh tools/install-deps.sh plot
cmake --preset gcc -B "$build" >/dev/null
cmake --build "$build" -j2 --target VELDRIAN postprocessing_bench
prefix="$PWD/$build/bench/wineprefix"
sh tools/wineprefix.sh "$prefix"
results=bench/results
mkdir -p "$results"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
WINEPREFIX="$prefix" WINEDEBUG=-all VELDRIAN_DLL="$PWD/$build/VELDRIAN.dll" \
    "$wine64" "$build/bench/postprocessing_bench.exe" \
    --csv "$results/postprocessing.csv" --md "$results/postprocessing.md" "$@"
load_end=$(cut -d' ' -f1-3 /proc/loadavg)
printf '\nMachine: %s cores; load average (1, 5, 15 min) %s at the start, %s at the end.\n' \
    "$(nproc)" "$load_start" "$load_end" >>"$results/postprocessing.md"
gnuplot -e "csv='$results/postprocessing.csv'; png='$results/postprocessing.png'" bench/plot.gp
echo "results: $results/postprocessing.md, $results/postprocessing.csv, $results/postprocessing.png"
