#!/bin/sh
# Static analysis of the library's sources (installer/, defaultprinter/, module/),
# both analyzers on the mingw-w64 headers; any finding fails the run:
# - clang-tidy with the checked-in .clang-tidy, on the clang build's compile commands;
# - cppcheck with the Windows and GNU configurations, the same definitions as the
#   build and the target's own macros as clang sees them.
# Suppressions live in the code beside the line they concern, with their reason.
# Usage: tools/analyze.sh [clang build directory]   (default: build-clang)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build-clang}
sh tools/install-deps.sh clang analyzers
[ -f "$build/compile_commands.json" ] || cmake --preset clang -B "$build" >/dev/null
sources=$(ls installer/*.cpp defaultprinter/*.cpp module/*.cpp)
log=$(mktemp)
commands=$(mktemp -d)
trap 'rm -rf "$log" "$commands"' EXIT
# clang-tidy 14 does not know clang 16's -mguard=cf and -gno-codeview-command-line,
# which change code generation and debug information only.
sed -e 's/ -mguard=cf//g' -e 's/ -gno-codeview-command-line//g' "$build/compile_commands.json" \
    >"$commands/compile_commands.json"

echo "clang-tidy: $(echo "$sources" | wc -l) files"
status=0
# shellcheck disable=SC2086
echo $sources | xargs -n 2 -P 2 clang-tidy -p "$commands" --quiet >"$log" 2>&1 || status=1
# Counts of what the system headers raised and the filter dropped are no findings.
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$log" || true
[ "$status" -eq 0 ] || { echo "clang-tidy: findings"; exit 1; }

echo "cppcheck: $(echo "$sources" | wc -l) files"
mingw=/usr/x86_64-w64-mingw32
defines=$(grep -E '"command": .*/installer/trace\.cpp"' "$build/compile_commands.json" | tr ' ' '\n' | grep '^-D' | tr '\n' ' ')
target=$(/usr/lib/llvm-16/bin/clang++ --target=x86_64-w64-mingw32 -dM -E -x c++ /dev/null |
    sed -n -E 's/^#define (_WIN32|_WIN64|__MINGW32__|__MINGW64__|__x86_64__|__GNUC__|__GNUC_MINOR__) (.*)$/-D\1=\2/p' |
    tr '\n' ' ')
# Findings inside the platform's headers are not the library's: only its own files report.
# shellcheck disable=SC2086
cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++20 --platform=win64 \
    --library=windows --library=gnu --enable=warning,style,performance,portability \
    --suppress="*:$mingw/include/*" -I "$mingw/include" $target $defines -j 2 $sources ||
    { echo "cppcheck: findings"; exit 1; }
echo "analyzers: no findings"
