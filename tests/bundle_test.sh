#!/bin/sh
# The release bundle as tools/release.sh makes it (CPack on this build tree), unpacked:
# one folder holding exactly the files a package author takes, their sums in
# SHA256SUMS, the very DLL this tree built, and module_test and resource_test passing on
# the DLL inside under Wine.
# Usage: bundle_test.sh BUILD-DIR WORK-DIR NAME DEBUG-FILE MODULE-TEST RESOURCE-TEST WINE
set -eu
build=$1
work=$2
name=$3
debug=$4
module_test=$5
resource_test=$6
wine=$7

rm -rf "$work"
mkdir -p "$work/unpacked"
cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
cd "$work/unpacked"
cmake -E tar xf "$work/$name.zip"
[ "$(ls -A)" = "$name" ] || { echo "expected one folder, $name; found: $(ls -A)"; exit 1; }
cd "$name"

expected=$(printf '%s\n' README.txt SHA256SUMS VELDRIAN-fragment.inf VELDRIAN.dll "$debug" veldrian-trace.exe |
    LC_ALL=C sort)
found=$(find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort)
[ "$found" = "$expected" ] || { printf 'the bundle holds:\n%s\nexpected:\n%s\n' "$found" "$expected"; exit 1; }
summed=$(sed 's/^[0-9a-f]\{64\}  //' SHA256SUMS | LC_ALL=C sort)
[ "$summed" = "$(echo "$expected" | grep -vx SHA256SUMS)" ] || { cat SHA256SUMS; exit 1; }
sha256sum --check --strict --quiet SHA256SUMS
cmp VELDRIAN.dll "$build/VELDRIAN.dll"

VELDRIAN_DLL="$(pwd)/VELDRIAN.dll" "$wine" "$module_test" --gtest_brief=1
VELDRIAN_DLL="$(pwd)/VELDRIAN.dll" "$wine" "$resource_test" --gtest_brief=1
echo "bundle: $name.zip holds the release's files, their sums hold, the module checks pass"
rm -rf "$work"
