#!/bin/sh
# Static analysis of every C++ source: the library (installer/, defaultprinter/,
# module/), the tools (tools/), the tests (tests/) and the benchmark (bench/), both
# analyzers on the mingw-w64 headers; any finding fails the run:
# - clang-tidy with the checked-in .clang-tidy files (the library's at the top, the
#   tools', tests' and benchmark's in their folders, each on top of it; the cognitive
#   complexity of every function is checked), on the clang build's compile commands;
# - cppcheck with the Windows and GNU configurations, the same definitions as the
#   build and the target's own macros as clang sees them.
# Suppressions live in the code beside the line they concern, with their reason.
# Usage: tools/analyze.sh [clang build directory] [file ...]
#   (default: build-clang, and every source the clang build compiles)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build-clang}
[ "$#" -gt 0 ] && shift
sh tools/install-deps.sh clang analyzers
# Configured each time, so that the compile commands name every source of the tree.
cmake --preset clang -B "$build" >/dev/null
if [ "$#" -gt 0 ]; then
    sources="$*"
else
    # Every C++ source under these folders: a new file is analysed without editing this list.
    # Only those the x64 clang build compiles: the ARM64 start-up and test program are
    # another target's, which these analyzers' x64 view cannot read.
    sources=""
    for file in $(git ls-files 'installer/*.cpp' 'defaultprinter/*.cpp' 'module/*.cpp' 'tools/*.cpp' \
        'tests/*.cpp' 'bench/*.cpp'); do
        if grep -q "\"file\": \"$PWD/$file\"" "$build/compile_commands.json"; then
            sources="$sources $file"
        fi
    done
fi
log=$(mktemp)
commands=$(mktemp -d)
trap 'rm -rf "$log" "$commands"' EXIT
# clang-tidy 14 does not know clang 16's -mguard=cf and -gno-codeview-command-line,
# which change code generation and debug information only.
sed -e 's/ -mguard=cf//g' -e 's/ -gno-codeview-command-line//g' "$build/compile_commands.json" \
    >"$commands/compile_commands.json"

echo "clang-tidy: $(echo "$sources" | wc -w) files"
status=0
# shellcheck disable=SC2086
echo $sources | xargs -n 1 -P 2 clang-tidy -p "$commands" --quiet >"$log" 2>&1 || status=1
# Counts of what the system headers raised and the filter dropped are no findings.
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$log" || true
[ "$status" -eq 0 ] || { echo "clang-tidy: findings"; exit 1; }

echo "cppcheck: $(echo "$sources" | wc -w) files"
mingw=/usr/x86_64-w64-mingw32
defines=$(grep -E '"command": .*/installer/trace\.cpp"' "$build/compile_commands.json" | tr ' ' '\n' | grep '^-D' | tr '\n' ' ')
target=$(/usr/lib/llvm-16/bin/clang++ --target=x86_64-w64-mingw32 -dM -E -x c++ /dev/null |
    sed -n -E 's/^#define (_WIN32|_WIN64|__MINGW32__|__MINGW64__|__x86_64__|__GNUC__|__GNUC_MINOR__) (.*)$/-D\1=\2/p' |
    tr '\n' ' ')
# The project's own include folders; GoogleTest's macros come from cppcheck's own
# configuration of it, and the JSON library's headers are not read.
includes="-I tools -I tools/tracedecoder -I tools/veldrian-install -I tests -I tests/harness"
# Outside the library, three style findings are not reported:
# - cstyleCast (tools, tests, benchmark): they use the platform's handle macros
#   (HKEY_USERS, INVALID_HANDLE_VALUE and the like), which are C-style casts; the
#   library is still checked, with each such use suppressed beside it;
# - useStlAlgorithm (tests, benchmark): a test's loops read as the steps it takes;
# - unusedStructMember (tests): a test table's `name` is read by GoogleTest's naming of
#   its cases.
# shellcheck disable=SC2086
cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++20 --platform=win64 \
    --library=windows --library=gnu --library=googletest --enable=warning,style,performance,portability \
    --suppress="*:$mingw/include/*" \
    --suppress="cstyleCast:tools/*" --suppress="cstyleCast:tests/*" --suppress="cstyleCast:bench/*" \
    --suppress="useStlAlgorithm:tests/*" --suppress="useStlAlgorithm:bench/*" \
    --suppress="unusedStructMember:tests/*" \
    -I "$mingw/include" $includes $target $defines -j 2 $sources ||
    { echo "cppcheck: findings"; exit 1; }
echo "analyzers: no findings"
