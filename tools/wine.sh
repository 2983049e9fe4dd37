# The Wine loader and server, named here once for every script that sources this file;
# cmake/wine.cmake reads the loader from it for both toolchains.
# shellcheck shell=sh disable=SC2034
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
