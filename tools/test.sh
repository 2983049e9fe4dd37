#!/bin/sh
# Builds VELDRIAN.dll and the test bench with one toolchain, and runs every test under Wine.
# Usage: tools/test.sh [build directory preset]   (without them: every preset below)
# The presets (CMakePresets.json): gcc (mingw-w64 gcc), clang (clang 16 and lld),
# clang-arm64 (the ARM64 DLL and its own tests under ARM64 Wine; module_test and
# resource_test come from the x64 clang build in build-clang, built for it first, and
# so does the host that checks the release bundle of both architectures).
# native (build-native/): the readers of outside input (INF, capture, command line)
# built for Linux with clang 16, their unit tests without Wine, and each reader's fuzz
# target for a minute under AddressSanitizer and UndefinedBehaviorSanitizer.
# Without arguments: the native readers first, then every toolchain in turn, gcc,
# clang and ARM64.
set -eu
cd "$(dirname "$0")/.."
if [ $# -eq 0 ]; then
    sh tools/test.sh build-native native
    sh tools/test.sh build gcc
    sh tools/test.sh build-clang clang
    sh tools/test.sh build-arm64 clang-arm64
    exit 0
fi
[ $# -eq 2 ] || { echo "usage: sh tools/test.sh [BUILD-DIRECTORY PRESET]" >&2; exit 2; }
build=$1
preset=$2
if [ "$preset" = native ]; then
    sh tools/install-deps.sh fuzz
    cmake -S tests/native -B "$build" -DCMAKE_CXX_COMPILER=/usr/lib/llvm-16/bin/clang++ >/dev/null
    cmake --build "$build" -j2
    cd "$build"
    exec ctest --output-on-failure
fi
# osslsigncode and openssl for the signing test.
if [ "$preset" = clang ]; then
    sh tools/install-deps.sh clang signing
elif [ "$preset" = clang-arm64 ]; then
    sh tools/install-deps.sh arm64 signing
    cmake --preset clang -B build-clang >/dev/null
    cmake --build build-clang -j2 --target module_test resource_test veldrian-install
else
    sh tools/install-deps.sh signing
fi
cmake --preset "$preset" -B "$build"
cmake --build "$build" -j2
cd "$build"
ctest --output-on-failure
