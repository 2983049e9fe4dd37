# The Wine that runs the tests and the tools (Debian's wine64 package), named once:
# every script sources this file, and cmake/wine.cmake reads the loader from it.
# shellcheck shell=sh disable=SC2034
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
