#!/bin/sh
# Installs, from Debian's packages, what building and testing VELDRIAN needs and
# this machine lacks: the mingw-w64 cross compiler, Wine, CMake and GoogleTest's
# sources. Does nothing when everything is there.
set -eu

need=""
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need="$need g++-mingw-w64-x86-64-posix"
[ -x /usr/lib/wine/wine64 ] || need="$need wine64"
command -v cmake >/dev/null 2>&1 || need="$need cmake"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
for extra in "$@"; do
    case "$extra" in
        # cmake/clang-mingw-w64-x86_64.cmake calls them in LLVM 16's own directory
        # (Control Flow Guard for mingw targets needs 16); clang-tidy stays on 14.
        clang) [ -x /usr/lib/llvm-16/bin/clang++ ] || need="$need clang-16"
               [ -x /usr/lib/llvm-16/bin/ld.lld ] || need="$need lld-16"
               [ -x /usr/lib/llvm-16/bin/llvm-windres ] || need="$need llvm-16" ;;
        analyzers) command -v clang-tidy >/dev/null 2>&1 || need="$need clang-tidy"
                   command -v cppcheck >/dev/null 2>&1 || need="$need cppcheck"
                   command -v clang-format >/dev/null 2>&1 || need="$need clang-format" ;;
        # Authenticode signing (the build's optional step and its test).
        signing) command -v osslsigncode >/dev/null 2>&1 || need="$need osslsigncode"
                 command -v openssl >/dev/null 2>&1 || need="$need openssl" ;;
        plot) command -v gnuplot >/dev/null 2>&1 || need="$need gnuplot-nox" ;;
    esac
done

if [ -n "$need" ]; then
    echo "installing:$need"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $need >/dev/null
fi
