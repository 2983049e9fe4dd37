#!/bin/sh
# Makes the release bundle a package author downloads, VELDRIAN-<version>.zip: the
# clang-built VELDRIAN.dll for x64 (amd64\) and for ARM64 (arm64\), each with its PDB,
# veldrian-trace.exe, VELDRIAN-fragment.inf, README.txt and SHA256SUMS.
# Every run configures both build trees afresh from its own command line, so that no
# setting of an earlier run (a signing certificate above all) is taken over unasked.
# Options -DNAME=VALUE go to both configurations: the version resource's names, signing.
# Usage: tools/release.sh [--build DIR] [--verbose] [-DNAME=VALUE ...]
#   --build DIR   the folder of the two build trees and the zip (build-release/)
#   --verbose     shows CMake's progress (otherwise shown only when a step fails)
set -eu
script=release.sh
cd "$(dirname "$0")/.."
. tools/quietbuild.sh
usage() {
    echo "usage: sh tools/release.sh [--build DIR] [--verbose] [-DNAME=VALUE ...]"
}
build=build-release
signing=""
count=$#
while [ "$count" -gt 0 ]; do
    argument=$1
    shift
    count=$((count - 1))
    case "$argument" in
        --build)
            [ "$count" -gt 0 ] || { usage >&2; exit 2; }
            build=$1
            shift
            count=$((count - 1)) ;;
        --verbose) quiet_verbose=1 ;;
        -DVELDRIAN_SIGN_PKCS12=?*) signing=signing; set -- "$@" "$argument" ;;
        -D?*) set -- "$@" "$argument" ;;
        -h | --help) usage; exit 0 ;;
        *) echo "release.sh: unknown option $argument" >&2; usage >&2; exit 2 ;;
    esac
done
sh tools/install-deps.sh clang $signing

# A fresh tree for each architecture: only a folder that is a build tree (or nothing)
# is removed, never one the user named by mistake.
for tree in "$build/x64" "$build/arm64"; do
    if [ -e "$tree" ] && [ ! -f "$tree/CMakeCache.txt" ]; then
        echo "release.sh: $tree is not a build tree; name another folder with --build" >&2
        exit 1
    fi
    rm -rf "$tree"
done
# The release needs the DLLs and the trace reader: neither the tests, the benchmark nor
# the installation host.
for preset in clang clang-arm64; do
    case "$preset" in
        clang) tree="$build/x64" targets="VELDRIAN veldrian-trace" ;;
        *) tree="$build/arm64" targets=VELDRIAN ;;
    esac
    echo "release.sh: building $targets with the $preset preset in $tree" >&2
    quiet_step "$tree.log" "configuring $tree" cmake --preset "$preset" -B "$tree" -DVELDRIAN_BUILD_TESTS=OFF "$@" ||
        exit 1
    # shellcheck disable=SC2086
    quiet_step "$tree.log" "building $tree" cmake --build "$tree" -j2 --target $targets || exit 1
done
zip=$(sh tools/bundle.sh "$build/x64" "$build/arm64" "$build")
echo "release.sh: $zip"
