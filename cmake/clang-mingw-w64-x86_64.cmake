# Cross-compiling for 64-bit Windows with Debian's clang 16 and lld, on the
# mingw-w64 headers and import libraries and the posix flavour of gcc's runtime
# (libgcc, libstdc++), which clang does not find by itself on Debian.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELDRIAN_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw-w64.cmake)
# The resource compiler preprocesses on the sysroot below.
set(CMAKE_RC_FLAGS_INIT "--preprocessor-arg=--sysroot=/usr/${VELDRIAN_MINGW_TRIPLE}")

# The sysroot keeps the Linux host's own headers out of the search path.
set(CMAKE_SYSROOT /usr/${VELDRIAN_MINGW_TRIPLE})
# libstdc++ for this target compares type_info out of line, in its own tinfo.o, as
# gcc's target says with this macro; clang does not say it, so <typeinfo> would give
# every object an inline copy, which an unoptimised build emits and lld then finds
# defined twice.
string(APPEND CMAKE_CXX_FLAGS_INIT " -D__GXX_TYPEINFO_EQUALITY_INLINE=0")
# libgcc and libstdc++ come from gcc's directory; libstdc++'s threads are
# winpthread's, which gcc's driver adds by itself and clang's does not (a DLL that
# uses none of it, as VELDRIAN.dll, takes nothing from it).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${VELDRIAN_MINGW_GCC_DIR} -lpthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -L${VELDRIAN_MINGW_GCC_DIR} -lpthread")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${VELDRIAN_MINGW_GCC_DIR}")

set(CMAKE_FIND_ROOT_PATH /usr/${VELDRIAN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

include(${CMAKE_CURRENT_LIST_DIR}/wine.cmake)
