#!/bin/sh
# Static analysis of every C++ source: the library (installer/, defaultprinter/, trace/,
# module/), the tools (tools/), the tests (tests/) and the benchmark (bench/), both
# analyzers on the mingw-w64 headers; any finding fails the run:
# - clang-tidy with the checked-in .clang-tidy files (the library's at the top, the
#   tools', tests' and benchmark's in their folders, each on top of it; the cognitive
#   complexity of every function is checked), on the clang build's compile commands;
# - cppcheck with the Windows and GNU configurations, the same definitions as the
#   build and the target's own macros as clang sees them.
# Suppressions live in the code beside the line they concern, with their reason.
# The sources only the ARM64 build compiles (its start-up, its load configuration and
# its test program) are read the same way a second time, on that build's compile
# commands (configured in <clang build directory>/arm64) and ARM64's macros.
# Usage: tools/analyze.sh [clang build directory] [file ...]
#   (default: build-clang, and every source the clang build compiles, then the ARM64
#   build's own)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build-clang}
[ "$#" -gt 0 ] && shift
sh tools/install-deps.sh clang analyzers
# Configured each time, so that the compile commands name every source of the tree.
cmake --preset clang -B "$build" >/dev/null
cmake --preset clang-arm64 -B "$build/arm64" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

# The sources of the tree that a build's compile commands name.
compiled() {
    for file in $(git ls-files 'installer/*.cpp' 'defaultprinter/*.cpp' 'trace/*.cpp' 'module/*.cpp' 'tools/*.cpp' \
        'tests/*.cpp' 'bench/*.cpp'); do
        if grep -q "\"file\": \"$PWD/$file\"" "$1/compile_commands.json"; then
            echo "$file"
        fi
    done
}
# Every C++ source under these folders: a new file is analysed without editing this list.
sources=$(compiled "$build")
arm64_sources=$(compiled "$build/arm64" | grep -v -x -F "$sources" || true)
if [ "$#" -gt 0 ]; then
    # Only the files named, each in the view of the build that compiles it.
    named=$(printf '%s\n' "$@")
    sources=$(echo "$sources" | grep -x -F "$named" || true)
    arm64_sources=$(echo "$arm64_sources" | grep -x -F "$named" || true)
    for file in "$@"; do
        if ! printf '%s\n%s\n' "$sources" "$arm64_sources" | grep -q -x -F "$file"; then
            echo "analyze.sh: no build compiles $file" >&2
            exit 2
        fi
    done
fi
if [ -z "$sources$arm64_sources" ]; then
    echo "analyze.sh: no source to analyse (the compile commands name none of the tree's files)" >&2
    exit 2
fi
log=$(mktemp)
commands=$(mktemp -d)
trap 'rm -rf "$log" "$commands"' EXIT

# clang-tidy 14 does not know clang 16's -mguard=cf and -gno-codeview-command-line,
# which change code generation and debug information only.
tidy() {
    [ -n "$2" ] || return 0
    mkdir -p "$commands/$1"
    sed -e 's/ -mguard=cf//g' -e 's/ -gno-codeview-command-line//g' "$1/compile_commands.json" \
        >"$commands/$1/compile_commands.json"
    echo "clang-tidy: $(echo "$2" | wc -w) files ($3)"
    status=0
    # shellcheck disable=SC2086,SC2046
    echo $2 | xargs -n 1 -P 2 clang-tidy -p "$commands/$1" --quiet >"$log" 2>&1 || status=1
    # Counts of what the system headers raised and the filter dropped are no findings.
    grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$log" || true
    [ "$status" -eq 0 ] || { echo "clang-tidy: findings"; exit 1; }
}
tidy "$build" "$sources" x64
tidy "$build/arm64" "$arm64_sources" ARM64

# The target's own macros as clang sees them, for cppcheck: $1 is the target triple.
target_macros() {
    /usr/lib/llvm-16/bin/clang++ --target="$1" -dM -E -x c++ /dev/null |
        sed -n -E 's/^#define (_WIN32|_WIN64|__MINGW32__|__MINGW64__|__x86_64__|__aarch64__|__GNUC__|__GNUC_MINOR__) (.*)$/-D\1=\2/p' |
        tr '\n' ' '
}
defines=$(grep -E '"command": .*/trace/trace\.cpp"' "$build/compile_commands.json" | tr ' ' '\n' | grep '^-D' | tr '\n' ' ')
# The project's own include folders; GoogleTest's macros come from cppcheck's own
# configuration of it, and the JSON library's headers are not read.
includes="-I tools -I tools/inf -I tools/tracedecoder -I tools/veldrian-install -I tools/printerclass-standin -I tests -I tests/harness"
# Outside the library, three style findings are not reported:
# - cstyleCast (tools, tests, benchmark): they use the platform's handle macros
#   (HKEY_USERS, INVALID_HANDLE_VALUE and the like), which are C-style casts; the
#   library is still checked, with each such use suppressed beside it;
# - useStlAlgorithm (tests, benchmark): a test's loops read as the steps it takes;
# - unusedStructMember (tests): a test table's `name` is read by GoogleTest's naming of
#   its cases.
# $1: the mingw-w64 headers, $2: the target triple, $3: the sources, $4: what they are.
check() {
    [ -n "$3" ] || return 0
    echo "cppcheck: $(echo "$3" | wc -w) files ($4)"
    # shellcheck disable=SC2086,SC2046
    cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++20 --platform=win64 \
        --library=windows --library=gnu --library=googletest --enable=warning,style,performance,portability \
        --suppress="*:$1/*" \
        --suppress="cstyleCast:tools/*" --suppress="cstyleCast:tests/*" --suppress="cstyleCast:bench/*" \
        --suppress="useStlAlgorithm:tests/*" --suppress="useStlAlgorithm:bench/*" \
        --suppress="unusedStructMember:tests/*" \
        -I "$1" $includes $(target_macros "$2") $defines -j 2 $3 ||
        { echo "cppcheck: findings"; exit 1; }
}
check /usr/x86_64-w64-mingw32/include x86_64-w64-mingw32 "$sources" x64
check /usr/share/mingw-w64/include aarch64-w64-mingw32 "$arm64_sources" ARM64
echo "analyzers: no findings"
