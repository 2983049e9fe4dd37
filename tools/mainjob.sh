# Sourced by the main job's two commands, tools/run.sh and tools/trace.sh, which set
# $script to their name for their messages. It sets the folder the command was run
# from ($caller), the project ($project, now the current folder), the build directory
# ($build: build/, or $BUILD_DIR taken from the project's folder) and the main job's
# Wine prefix in it ($prefix), and gives the two steps both take before a tool runs.
caller=$PWD
project=$(cd "$(dirname "$0")/.." && pwd)
cd "$project"
build=${BUILD_DIR:-build}
case "$build" in
    /*) ;;
    *) build="$project/$build" ;;
esac
prefix="$build/run-wineprefix"
. tools/quietbuild.sh

# --verbose shows the build's progress. It is passed on to the tool only beside
# --check, where it is the host's own (every model listed); otherwise it is the
# command's alone, and taken out of its arguments.
for argument in "$@"; do
    [ "$argument" != --verbose ] || quiet_verbose=1
done
if [ "$quiet_verbose" = 1 ]; then
    check=""
    for argument in "$@"; do
        [ "$argument" != --check ] || check=yes
    done
    count=$#
    while [ "$count" -gt 0 ]; do
        [ "$1" = --verbose ] && [ -z "$check" ] || set -- "$@" "$1"
        shift
        count=$((count - 1))
    done
fi

# mainjob_build WHAT TARGET...: builds the targets with the gcc preset, saying WHAT it
# builds; CMake's own output goes to $build/build.log, and to the error output only when
# the build fails (its last lines) or with --verbose, so that a tool's JSON keeps the
# standard output.
mainjob_build() {
    sh tools/install-deps.sh
    mainjob_lock
    # Configured once: the build step configures again by itself when a CMake file changed.
    if [ ! -f "$build/CMakeCache.txt" ]; then
        echo "$script: configuring the build in $build (first run only)" >&2
        quiet_step "$build/build.log" "configuring the build in $build" cmake --preset gcc -B "$build" || exit 1
    fi
    echo "$script: building $1 in $build" >&2
    shift
    quiet_step "$build/build.log" "the build" cmake --build "$build" -j2 --target "$@" || exit 1
}

# mainjob_prefix: makes the main job's Wine prefix, or ends the command; then lets
# another command build in the tree.
mainjob_prefix() {
    # Wine's server and services outlive the command: they must not hold the lock.
    if ! sh tools/wineprefix.sh "$prefix" >&2 9>&-; then
        echo "$script: the Wine prefix $prefix cannot be made" >&2
        exit 1
    fi
    mainjob_unlock
}

# One command at a time builds in the tree and makes its prefix (run.sh and trace.sh
# started together, or two runs after a change to the sources): the lock is held
# from the build until the prefix is made (flock, from util-linux); a second command
# says once what it waits for, then goes on.
mainjob_lock() {
    mkdir -p "$build"
    exec 9>"$build/.build-lock"
    if ! flock -n 9; then
        echo "$script: waiting for another command that builds in $build to end" >&2
        flock 9
    fi
}
mainjob_unlock() {
    exec 9>&-
}
