#!/bin/sh
# Builds VELDRIAN.dll and the test bench, and runs every test under Wine.
# Usage: tools/test.sh [build directory]   (default: build)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
sh tools/install-deps.sh
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
cmake --build "$build" -j2
cd "$build"
ctest --output-on-failure
