#!/bin/sh
# Builds VELDRIAN.dll and the test bench with one toolchain, and runs every test under Wine.
# Usage: tools/test.sh [build directory] [preset]   (defaults: build, gcc)
# The presets (CMakePresets.json): gcc (mingw-w64 gcc), clang (clang 16 and lld).
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
preset=${2:-gcc}
# osslsigncode and openssl for the signing test.
if [ "$preset" = clang ]; then
    sh tools/install-deps.sh clang signing
else
    sh tools/install-deps.sh signing
fi
cmake --preset "$preset" -B "$build"
cmake --build "$build" -j2
cd "$build"
ctest --output-on-failure
