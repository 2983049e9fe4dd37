# Sourced by the commands that build before they work (tools/run.sh, tools/trace.sh,
# tools/release.sh): a step's own output (CMake's configure and build progress) goes
# to a log in the build tree, and is shown only when the step fails (its last lines)
# or when the command was given --verbose ($quiet_verbose=1). The commands set
# $script to their name for their messages.
quiet_verbose=${quiet_verbose:-0}

# quiet_step LOG WHAT COMMAND...: runs COMMAND with its output in LOG (or on the
# error output with --verbose); on failure says "$script: WHAT failed", shows the
# log's last 40 lines and returns 1.
quiet_step() {
    log=$1
    what=$2
    shift 2
    if [ "$quiet_verbose" = 1 ]; then
        "$@" >&2 && return 0
        echo "$script: $what failed" >&2
        return 1
    fi
    mkdir -p "$(dirname "$log")"
    "$@" >"$log" 2>&1 && return 0
    echo "$script: $what failed; the last lines of $log:" >&2
    tail -n 40 "$log" >&2
    return 1
}
