#!/bin/sh
# Installs, from Debian's packages, what building and testing VELDRIAN needs and
# this machine lacks: the mingw-w64 cross compiler, Wine, CMake, GoogleTest's
# sources and the JSON library of the tools. Does nothing when everything is there.
# The word arm64 also prepares ARM64 Wine in the project's cache (tools/wine-arm64.sh),
# after the packages.
set -eu
. "$(dirname "$0")/wine.sh"

need=""
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need="$need g++-mingw-w64-x86-64-posix"
[ -x "$wine64" ] || need="$need wine64"
command -v cmake >/dev/null 2>&1 || need="$need cmake"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
# JSON for the tools (header-only).
[ -f /usr/include/nlohmann/json.hpp ] || need="$need nlohmann-json3-dev"
for extra in "$@"; do
    case "$extra" in
        # cmake/clang-mingw-w64-x86_64.cmake calls them in LLVM 16's own directory
        # (Control Flow Guard for mingw targets needs 16); clang-tidy stays on 14.
        # ARM64 is built by clang alone (llvm-dlltool makes its import libraries).
        clang|arm64) [ -x /usr/lib/llvm-16/bin/clang++ ] || need="$need clang-16"
               [ -x /usr/lib/llvm-16/bin/ld.lld ] || need="$need lld-16"
               [ -x /usr/lib/llvm-16/bin/llvm-windres ] || need="$need llvm-16" ;;
        analyzers) command -v clang-tidy >/dev/null 2>&1 || need="$need clang-tidy"
                   command -v cppcheck >/dev/null 2>&1 || need="$need cppcheck"
                   command -v clang-format >/dev/null 2>&1 || need="$need clang-format" ;;
        # Authenticode signing (the build's optional step and its test).
        signing) command -v osslsigncode >/dev/null 2>&1 || need="$need osslsigncode"
                 command -v openssl >/dev/null 2>&1 || need="$need openssl" ;;
        plot) command -v gnuplot >/dev/null 2>&1 || need="$need gnuplot-nox" ;;
        # The readers' native build: clang 16 with libFuzzer and its sanitizer runtimes.
        fuzz) [ -x /usr/lib/llvm-16/bin/clang++ ] || need="$need clang-16"
              [ -f /usr/lib/llvm-16/lib/libFuzzer.a ] || need="$need libfuzzer-16-dev"
              [ -f /usr/lib/llvm-16/lib/clang/16/lib/linux/libclang_rt.asan-x86_64.a ] ||
                  need="$need libclang-rt-16-dev" ;;
    esac
done

if [ -n "$need" ]; then
    # On a fresh machine this takes a few minutes: say what is coming, and show
    # apt's own progress (one line per package) on the error output.
    echo "install-deps: installing from Debian's packages:$need" >&2
    echo "install-deps: this can take a few minutes on a fresh machine" >&2
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    echo "install-deps: updating the package lists" >&2
    $SUDO apt-get update -qq >&2
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends $need 2>&1 |
        grep -E '^(Unpacking|Setting up) ' >&2 || true
    for package in $need; do
        if ! dpkg -s "$package" >/dev/null 2>&1; then
            echo "install-deps: $package could not be installed" >&2
            exit 1
        fi
    done
    echo "install-deps: done" >&2
fi
for extra in "$@"; do
    if [ "$extra" = arm64 ]; then
        sh "$(dirname "$0")/wine-arm64.sh" --prepare
    fi
done
