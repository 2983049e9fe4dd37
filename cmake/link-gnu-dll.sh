#!/bin/sh
# Link launcher of VELDRIAN.dll with GNU ld: runs the link command it is given, then
# leaves the DLL stripped, its debug information in DLL.debug beside it, named by the
# DLL's .gnu_debuglink section (gdb finds it there).
# GNU ld has no content-derived timestamp (lld's -Brepro). Its nearest is
# SOURCE_DATE_EPOCH, the timestamp it writes with --insert-timestamp: here a hash of
# the link's inputs (the contents of the objects, the module definition and the
# link script, and the options), so each change of the DLL gets a new timestamp and the same sources the
# same one. objcopy, which rewrites the header, writes the same.
# Usage: link-gnu-dll.sh OBJCOPY LINK-COMMAND...
set -eu
objcopy=$1
shift
hash=$(
    previous=""
    for argument in "$@"; do
        case "$previous:$argument" in
            -o:*) ;;  # the output: what is made, not what it is made of
            *:-Wl,-T,*) cat "${argument#-Wl,-T,}" ;;
            *:-*) printf '%s\n' "$argument" ;;
            *:@*) cat "${argument#@}" ;;
            *:*.obj | *:*.o | *:*.a | *:*.def | *:*.res) cat "$argument" ;;
        esac
        previous=$argument
    done | sha256sum | cut -c1-8
)
output=""
previous=""
for argument in "$@"; do
    [ "$previous" = -o ] && output=$argument
    previous=$argument
done
[ -n "$output" ] || { echo "link-gnu-dll.sh: no -o in the link command" >&2; exit 1; }
# The first 31 bits of the hash: a time the PE header's 32-bit field holds as a date.
SOURCE_DATE_EPOCH=$(($(printf '%d' "0x$hash") & 0x7FFFFFFF))
export SOURCE_DATE_EPOCH
"$@"
"$objcopy" --only-keep-debug "$output" "$output.debug"
"$objcopy" --strip-all --add-gnu-debuglink="$output.debug" "$output"
