#!/bin/sh
# Formats the library's sources with the checked-in .clang-format, or with --check
# only reports (and fails on) what the formatter would change.
# Covered: installer/, defaultprinter/, module/ (tests/, tools/ and bench/ can join later).
# Usage: tools/format.sh [--check]
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh analyzers
files=$(ls installer/*.cpp installer/*.h defaultprinter/*.cpp defaultprinter/*.h module/*.cpp)
# shellcheck disable=SC2086
if [ "${1:-}" = "--check" ]; then
    clang-format --dry-run --Werror $files
    echo "format: $(echo "$files" | wc -l) files as .clang-format lays them out"
else
    clang-format -i $files
fi
