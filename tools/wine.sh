# The Wine loader and server, named here once for every script that sources this file.
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
