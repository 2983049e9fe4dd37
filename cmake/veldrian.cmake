# Build settings shared by the library, the tests and the tools.

# The library is plain C-style C++: no exceptions, no RTTI, wide Win32 calls only.
set(VELDRIAN_LIBRARY_COMPILE_OPTIONS
  -fno-exceptions -fno-rtti
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror
  -fstack-protector-strong
  # Reproducible: the same sources give the same DLL and debug information in any
  # folder. Paths are recorded under /veldrian (the sources) and /veldrian/build (the
  # build tree), not the build machine's; no compiler identification is left in the DLL.
  -ffile-prefix-map=${PROJECT_SOURCE_DIR}=/veldrian -ffile-prefix-map=${PROJECT_BINARY_DIR}=/veldrian/build
  -fno-ident)
set(VELDRIAN_LIBRARY_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

# The DLL runs on a stock Windows: no C runtime start-up of its own and nothing of
# the toolchain's runtime left to load, so its imports name only system DLLs.
# A GUI-subsystem DLL for Windows 7 and later (OS and subsystem version 6.0), as a
# DLL loaded by the device installer is; neither a console nor an older system.
set(VELDRIAN_LIBRARY_LINK_OPTIONS
  -nostdlib -Wl,--entry,VeldrianDllEntry
  -Wl,--subsystem,windows:6.0 -Wl,--major-os-version,6 -Wl,--minor-os-version,0
  -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc)
# The system DLLs it imports from, and nothing else: module/startup_*.cpp and
# module/stackguard.cpp give it what a C runtime or the compiler's runtime would.
set(VELDRIAN_LIBRARY_SYSTEM_LIBRARIES setupapi winspool advapi32 user32 kernel32)

# The directory the generator links a target of the folder built in `binary_dir`
# from: Ninja links every target from the top of the build tree, the Makefiles from
# the target's own folder. Paths on the link's command line are given relative to it,
# since lld records that command line in the PDB.
function(veldrian_link_directory variable binary_dir)
  if(CMAKE_GENERATOR MATCHES "Ninja")
    set(${variable} ${PROJECT_BINARY_DIR} PARENT_SCOPE)
  else()
    set(${variable} ${binary_dir} PARENT_SCOPE)
  endif()
endfunction()
# The DLL is linked in module/ (module/CMakeLists.txt).
veldrian_link_directory(VELDRIAN_LINK_DIR ${PROJECT_BINARY_DIR}/module)
cmake_path(RELATIVE_PATH VELDRIAN_LINK_DIR BASE_DIRECTORY ${PROJECT_BINARY_DIR} OUTPUT_VARIABLE VELDRIAN_LINK_SUBDIR)

# What each linker gives the DLL.
# clang's linker (lld) writes the DLL's debug information, as CodeView, to a PDB
# beside it; the DLL's debug directory names that file, by its name alone (not the
# build machine's path), for Windows' debuggers to find beside the DLL or on their
# symbol path. The PDB's own paths are under /veldrian too (-pdbsourcepath).
# -Brepro sets the DLL's timestamp and the PDB's identity from a hash of the DLL's
# content: a new one for every change, the same one for the same sources. -release
# writes the checksum. lld also marks the DLL compatible with CET shadow stacks and
# builds it with Control Flow Guard: the compiler checks every indirect call, the
# linker writes the table of valid targets into the load configuration
# (module/loadconfig.cpp), which it writes into the header; and it places the import
# address table and the resources in read-only data.
# GNU ld (binutils 2.40) can do none of CET, Control Flow Guard or the load
# configuration, marks a section named .idata or .rsrc writable whatever its inputs,
# and finds the resource directory by that name only: the link script below moves the
# import tables into .rdata, marked (READONLY); the resources stay writable (see
# docs/developers.md).
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(VELDRIAN_PDB ${PROJECT_BINARY_DIR}/VELDRIAN.pdb)
  cmake_path(RELATIVE_PATH VELDRIAN_PDB BASE_DIRECTORY ${VELDRIAN_LINK_DIR} OUTPUT_VARIABLE veldrian_pdb_relative)
  list(APPEND VELDRIAN_LIBRARY_COMPILE_OPTIONS -gcodeview -gno-codeview-command-line -mguard=cf)
  list(APPEND VELDRIAN_LIBRARY_LINK_OPTIONS -Wl,--pdb=${veldrian_pdb_relative} "-Wl,--Xlink=-pdbaltpath:%_PDB%"
    -Wl,--Xlink=-pdbsourcepath:/veldrian/build/${VELDRIAN_LINK_SUBDIR}
    -Wl,--Xlink=-Brepro -Wl,--Xlink=-release -Wl,--guard-cf)
  set(VELDRIAN_CONTROL_FLOW_GUARD ON)
  set(VELDRIAN_LOAD_CONFIG ON)
  set(VELDRIAN_READONLY_RESOURCES ON)
  # CET shadow stacks are an x64 feature: an ARM64 DLL is not marked.
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(VELDRIAN_CET_COMPAT OFF)
  else()
    set(VELDRIAN_CET_COMPAT ON)
    list(APPEND VELDRIAN_LIBRARY_LINK_OPTIONS -Wl,--Xlink=-cetcompat)
  endif()
else()
  # GNU ld writes the checksum by itself, and a timestamp that a launcher sets from a
  # hash of the link's inputs (cmake/link-gnu-dll.sh), the nearest it has to lld's
  # -Brepro. The launcher also moves the debug information into VELDRIAN.dll.debug,
  # named by the stripped DLL's .gnu_debuglink.
  list(APPEND VELDRIAN_LIBRARY_LINK_OPTIONS -Wl,--insert-timestamp)
  set(VELDRIAN_DEBUG_FILE ${PROJECT_BINARY_DIR}/VELDRIAN.dll.debug)
  set(VELDRIAN_LINK_LAUNCHER sh ${PROJECT_SOURCE_DIR}/cmake/link-gnu-dll.sh ${CMAKE_OBJCOPY})
  set(VELDRIAN_CET_COMPAT OFF)
  set(VELDRIAN_CONTROL_FLOW_GUARD OFF)
  set(VELDRIAN_LOAD_CONFIG OFF)
  set(VELDRIAN_READONLY_RESOURCES OFF)
  # GNU ld's own script for a 64-bit DLL, with the import tables (.idata$2 to $7) at the
  # end of .rdata. ld finds the import directory and the import address table by the
  # symbols .idata$2, $4, $5 and $6 when there is no .idata section; the script defines
  # them, as RVAs.
  execute_process(COMMAND ${CMAKE_LINKER} -m i386pep --shared --verbose
    OUTPUT_VARIABLE veldrian_ld_script RESULT_VARIABLE veldrian_ld_result)
  string(REGEX MATCH "\n=+\n(.*)\n=+\n" veldrian_ld_script "${veldrian_ld_script}")
  set(veldrian_ld_script "${CMAKE_MATCH_1}")
  string(REGEX MATCH "\n  \\.idata BLOCK\\(__section_alignment__\\) :\n  {\n(.*)\n  }\n  \\.CRT"
    veldrian_ld_idata "${veldrian_ld_script}")
  set(veldrian_ld_imports "${CMAKE_MATCH_1}")
  string(FIND "${veldrian_ld_script}" "  .rdata BLOCK(__section_alignment__) :\n  {\n" veldrian_ld_rdata)
  if(NOT veldrian_ld_result EQUAL 0 OR veldrian_ld_imports STREQUAL "" OR veldrian_ld_rdata EQUAL -1)
    message(FATAL_ERROR "${CMAKE_LINKER}'s DLL link script is not laid out as expected")
  endif()
  string(REPLACE "${veldrian_ld_idata}" "\n  .CRT" veldrian_ld_script "${veldrian_ld_script}")
  string(REPLACE "KEEP (SORT(*)(.idata$2))" "\".idata$2\" = ABSOLUTE(.) - __image_base__;\n    KEEP (SORT(*)(.idata$2))"
    veldrian_ld_imports "${veldrian_ld_imports}")
  string(REPLACE "KEEP (SORT(*)(.idata$4))" "\".idata$4\" = ABSOLUTE(.) - __image_base__;\n    KEEP (SORT(*)(.idata$4))"
    veldrian_ld_imports "${veldrian_ld_imports}")
  string(REPLACE "SORT(*)(.idata$5)" "\".idata$5\" = ABSOLUTE(.) - __image_base__;\n    SORT(*)(.idata$5)"
    veldrian_ld_imports "${veldrian_ld_imports}")
  string(REPLACE "KEEP (SORT(*)(.idata$6))" "\".idata$6\" = ABSOLUTE(.) - __image_base__;\n    KEEP (SORT(*)(.idata$6))"
    veldrian_ld_imports "${veldrian_ld_imports}")
  string(REPLACE "  .rdata BLOCK(__section_alignment__) :\n  {\n"
    "  .rdata BLOCK(__section_alignment__) (READONLY) :\n  {\n    *(.rdata)\n    *(SORT(.rdata$*))\n    . = ALIGN(8);\n${veldrian_ld_imports}\n"
    veldrian_ld_script "${veldrian_ld_script}")
  # Named relative to the link's directory, as the module definition is.
  set(VELDRIAN_LINK_SCRIPT ${VELDRIAN_LINK_DIR}/VELDRIAN.x)
  file(CONFIGURE OUTPUT ${VELDRIAN_LINK_SCRIPT} CONTENT "${veldrian_ld_script}\n" @ONLY)
  list(APPEND VELDRIAN_LIBRARY_LINK_OPTIONS -Wl,-T,VELDRIAN.x)
endif()

# The programs' and their helpers' shared settings (the tools, the test harness, the
# ARM64 test program), each target taking what it needs: the Win32 API they are
# written against (wide calls, Windows 7's), warnings as errors, and the C and C++
# runtimes linked in, so that a program needs none of the toolchain's DLLs.
add_library(veldrian_win32_api INTERFACE)
target_compile_definitions(veldrian_win32_api INTERFACE UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0601)
add_library(veldrian_warnings INTERFACE)
target_compile_options(veldrian_warnings INTERFACE -Wall -Wextra -Wshadow -Werror)
add_library(veldrian_static_runtime INTERFACE)
target_link_options(veldrian_static_runtime INTERFACE -static -static-libgcc -static-libstdc++)
