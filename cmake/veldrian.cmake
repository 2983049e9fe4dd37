# Build settings shared by the library, the tests and the tools.

# The library is plain C-style C++: no exceptions, no RTTI, wide Win32 calls only.
set(VELDRIAN_LIBRARY_COMPILE_OPTIONS
  -fno-exceptions -fno-rtti
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror
  -fstack-protector-strong)
set(VELDRIAN_LIBRARY_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

# The DLL runs on a stock Windows: no C runtime start-up of its own and nothing of
# the toolchain's runtime left to load, so its imports name only system DLLs.
set(VELDRIAN_LIBRARY_LINK_OPTIONS
  -nostdlib -Wl,--entry,VeldrianDllEntry
  -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
  -Wl,--no-insert-timestamp)
# The system DLLs it imports from, and nothing else: module/startup_gnu.cpp gives it
# what a C runtime or the compiler's runtime would.
set(VELDRIAN_LIBRARY_SYSTEM_LIBRARIES setupapi winspool advapi32 user32 kernel32)

# clang's linker (lld) writes the DLL's debug information, as CodeView, to a PDB
# beside it; the DLL's debug directory names that file, by its name alone (not the
# build machine's path), for Windows' debuggers to find beside the DLL or on their
# symbol path.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(VELDRIAN_PDB ${PROJECT_BINARY_DIR}/VELDRIAN.pdb)
  list(APPEND VELDRIAN_LIBRARY_COMPILE_OPTIONS -gcodeview)
  list(APPEND VELDRIAN_LIBRARY_LINK_OPTIONS -Wl,--pdb=${VELDRIAN_PDB} "-Wl,--Xlink=-pdbaltpath:%_PDB%")
endif()

# lld also marks the DLL compatible with CET shadow stacks and builds it with Control
# Flow Guard: the compiler checks every indirect call, the linker writes the table of
# valid targets into the load configuration (module/loadconfig.cpp). GNU ld can do
# neither (see the README).
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(VELDRIAN_CET_COMPAT ON)
  set(VELDRIAN_CONTROL_FLOW_GUARD ON)
  list(APPEND VELDRIAN_LIBRARY_COMPILE_OPTIONS -mguard=cf)
  list(APPEND VELDRIAN_LIBRARY_LINK_OPTIONS -Wl,--guard-cf -Wl,--Xlink=-cetcompat)
else()
  set(VELDRIAN_CET_COMPAT OFF)
  set(VELDRIAN_CONTROL_FLOW_GUARD OFF)
endif()
