# Cross-compiling for Windows on ARM64 with Debian's clang 16 and lld, on the
# mingw-w64 headers (architecture-neutral: the same ones as x64's). Debian 12 ships
# no aarch64-w64-mingw32 import libraries nor any C or C++ runtime for it: the
# import libraries are made at build time from cmake/arm64/*.def
# (cmake/importlibs-arm64.cmake), and only what needs no runtime is built for ARM64
# (the DLL and its own tests, tests/arm64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VELDRIAN_MINGW_TRIPLE aarch64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw-w64.cmake)
set(CMAKE_RC_FLAGS_INIT "--target=${VELDRIAN_MINGW_TRIPLE} --preprocessor-arg=--sysroot=/usr/share/mingw-w64")

# The sysroot holds the headers alone (include/): clang finds no libraries there,
# so no x64 import library can slip into an ARM64 link.
set(CMAKE_SYSROOT /usr/share/mingw-w64)
# The library uses the C++ library's headers alone (<cstdint>, <iterator> ...): those
# that clang-mingw-w64.cmake names.
# Nothing here has a runtime to link: no compiler check may need one.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# Each target names the system libraries it links; there is no default set to find.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld")

set(CMAKE_FIND_ROOT_PATH /usr/share/mingw-w64)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test programs run under ARM64 Wine (Debian's wine64:arm64 under qemu, in the
# project's cache), which tools/wine-arm64.sh names and prepares.
set(CMAKE_CROSSCOMPILING_EMULATOR sh ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-arm64.sh)
