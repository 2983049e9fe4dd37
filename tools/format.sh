#!/bin/sh
# Formats every C++ source of the project with the checked-in .clang-format, or with
# --check only reports (and fails on) what the formatter would change.
# Covered: the library (installer/, defaultprinter/, trace/, module/), the tests (tests/),
# the tools (tools/) and the benchmark (bench/).
# Usage: tools/format.sh [--check]
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh analyzers
files=$(git ls-files '*.cpp' '*.h')
# shellcheck disable=SC2086
if [ "${1:-}" = "--check" ]; then
    clang-format --dry-run --Werror $files
    echo "format: $(echo "$files" | wc -l) files as .clang-format lays them out"
else
    clang-format -i $files
fi
