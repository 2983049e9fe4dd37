#!/bin/sh
# Packs the release bundle from two built trees, the x64 clang build and the ARM64
# build: each installs its part (cmake/release.cmake) into one folder,
# VELDRIAN-<version>/, then SHA256SUMS is written over every file in it, and the folder
# is zipped as OUT/VELDRIAN-<version>.zip with VELDRIAN-<version>.zip.sha256 beside it.
# Prints the zip's path. tools/release.sh builds the trees and calls it; so does
# bundle_test.
# Usage: tools/bundle.sh X64-BUILD ARM64-BUILD OUT
set -eu
[ $# -eq 3 ] || { echo "usage: sh tools/bundle.sh X64-BUILD ARM64-BUILD OUT" >&2; exit 2; }
x64=$1
arm64=$2
out=$3

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$x64/CMakeCache.txt")
[ -n "$version" ] || { echo "bundle.sh: $x64 is not a configured build tree" >&2; exit 1; }
name=VELDRIAN-$version
mkdir -p "$out"
out=$(cd "$out" && pwd)
stage="$out/$name"
rm -rf "$stage" "$out/$name.zip" "$out/$name.zip.sha256"
for tree in "$x64" "$arm64"; do
    cmake --install "$tree" --prefix "$stage" --strip >/dev/null
done
[ -f "$stage/amd64/VELDRIAN.dll" ] || { echo "bundle.sh: $x64 gave no amd64/VELDRIAN.dll" >&2; exit 1; }
[ -f "$stage/arm64/VELDRIAN.dll" ] || { echo "bundle.sh: $arm64 gave no arm64/VELDRIAN.dll" >&2; exit 1; }
# Last: the sums of everything installed, in sha256sum's format, in a fixed order.
(cd "$stage" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort |
    xargs sha256sum >SHA256SUMS)
(cd "$out" && cmake -E tar cf "$name.zip" --format=zip "$name" && sha256sum "$name.zip" >"$name.zip.sha256")
rm -rf "$stage"
echo "$out/$name.zip"
