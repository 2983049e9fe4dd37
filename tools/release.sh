#!/bin/sh
# Makes the release bundle a package author downloads, VELDRIAN-<version>-x64.zip:
# configures a build tree of its own with the chosen preset (clang by default: see the
# README), builds it, installs it through CPack (cmake/release.cmake) and zips it.
# Options -DNAME=VALUE go to the configuration: the version resource's names, signing.
# Usage: tools/release.sh [--preset clang|gcc] [--build DIR] [-DNAME=VALUE ...]
set -eu
cd "$(dirname "$0")/.."
usage() {
    echo "usage: sh tools/release.sh [--preset clang|gcc] [--build DIR] [-DNAME=VALUE ...]"
}
preset=clang
build=""
signing=""
count=$#
while [ "$count" -gt 0 ]; do
    argument=$1
    shift
    count=$((count - 1))
    case "$argument" in
        --preset | --build)
            [ "$count" -gt 0 ] || { usage >&2; exit 2; }
            if [ "$argument" = --preset ]; then preset=$1; else build=$1; fi
            shift
            count=$((count - 1)) ;;
        -DVELDRIAN_SIGN_PKCS12=?*) signing=signing; set -- "$@" "$argument" ;;
        -D*) set -- "$@" "$argument" ;;
        -h | --help) usage; exit 0 ;;
        *) echo "release.sh: unknown option $argument" >&2; usage >&2; exit 2 ;;
    esac
done
case "$preset" in
    clang) sh tools/install-deps.sh clang $signing ;;
    gcc) sh tools/install-deps.sh $signing ;;
    *) echo "release.sh: the presets are clang and gcc" >&2; exit 2 ;;
esac
build=${build:-build-release-$preset}

# The release needs neither the tests nor the benchmark.
cmake --preset "$preset" -B "$build" -DVELDRIAN_BUILD_TESTS=OFF "$@"
cmake --build "$build" -j2
build=$(cd "$build" && pwd)
cpack --config "$build/CPackConfig.cmake" -B "$build"
echo "release.sh: $(ls "$build"/VELDRIAN-*.zip)"
