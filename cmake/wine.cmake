# Test and tool executables run under Wine's 64-bit loader, as tools/wine.sh names
# it for the scripts. Included by both toolchain files.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../tools/wine.sh VELDRIAN_WINE64 REGEX "^wine64=")
string(REGEX REPLACE "^wine64=" "" VELDRIAN_WINE64 "${VELDRIAN_WINE64}")
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELDRIAN_WINE64})
