# Debian's clang 16 and its tools, for the mingw-w64 target VELDRIAN_MINGW_TRIPLE that
# the including toolchain file (clang-mingw-w64-x86_64.cmake, -aarch64.cmake) sets
# first. Called from LLVM's own directory, clang finds lld (-fuse-ld=lld) beside it.
set(VELDRIAN_LLVM_DIR /usr/lib/llvm-16/bin)
set(CMAKE_C_COMPILER ${VELDRIAN_LLVM_DIR}/clang)
set(CMAKE_CXX_COMPILER ${VELDRIAN_LLVM_DIR}/clang++)
set(CMAKE_C_COMPILER_TARGET ${VELDRIAN_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${VELDRIAN_MINGW_TRIPLE})
# llvm-rc behind a windres-compatible command line. Called from LLVM's own
# directory, it preprocesses with the clang beside it.
set(CMAKE_RC_COMPILER ${VELDRIAN_LLVM_DIR}/llvm-windres)

# The C++ library: the posix flavour of Debian's x64 mingw-w64 gcc runtime, which
# clang does not find by itself on Debian. Its headers do not depend on the
# processor, so ARM64 takes them too (and links none of its code).
set(VELDRIAN_MINGW_GCC_DIR /usr/lib/gcc/x86_64-w64-mingw32/12-posix)
set(CMAKE_CXX_FLAGS_INIT
  "-isystem ${VELDRIAN_MINGW_GCC_DIR}/include/c++ -isystem ${VELDRIAN_MINGW_GCC_DIR}/include/c++/x86_64-w64-mingw32 -isystem ${VELDRIAN_MINGW_GCC_DIR}/include/c++/backward")
