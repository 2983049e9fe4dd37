# The release bundle: `cmake --install` puts what a package author takes into one
# folder, and CPack zips it as VELDRIAN-<version>-<architecture>.zip
# (tools/release.sh runs both). The bundle holds the DLL (signed when the build signs
# it), its debug information (the PDB of the clang build, VELDRIAN.dll.debug of the
# gcc build), veldrian-trace.exe, the INF fragment, a text for package authors, and
# SHA256SUMS over all of them.

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  set(VELDRIAN_ARCHITECTURE x64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|ARM64)$")
  set(VELDRIAN_ARCHITECTURE arm64)
else()
  set(VELDRIAN_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
endif()
if(VELDRIAN_PDB)
  set(VELDRIAN_RELEASE_DEBUG_INFO ${VELDRIAN_PDB})
else()
  set(VELDRIAN_RELEASE_DEBUG_INFO ${VELDRIAN_DEBUG_FILE})
endif()
cmake_path(GET VELDRIAN_RELEASE_DEBUG_INFO FILENAME VELDRIAN_RELEASE_DEBUG_NAME)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(VELDRIAN_RELEASE_TOOLCHAIN "clang ${CMAKE_CXX_COMPILER_VERSION} and lld")
else()
  set(VELDRIAN_RELEASE_TOOLCHAIN "mingw-w64 gcc ${CMAKE_CXX_COMPILER_VERSION} and GNU ld")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/bundle-README.txt.in ${PROJECT_BINARY_DIR}/release/README.txt @ONLY
  NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/examples/VELDRIAN-fragment.inf ${PROJECT_BINARY_DIR}/release/VELDRIAN-fragment.inf
  COPYONLY)

install(FILES $<TARGET_FILE:VELDRIAN> ${VELDRIAN_RELEASE_DEBUG_INFO} DESTINATION .)
# The trace reader leaves its symbols in the build tree: stripped when installed with
# --strip, as CPack installs it (CPACK_STRIP_FILES).
install(TARGETS veldrian-trace RUNTIME DESTINATION .)
install(FILES ${PROJECT_BINARY_DIR}/release/VELDRIAN-fragment.inf ${PROJECT_BINARY_DIR}/release/README.txt
  DESTINATION .)
# Last: the sums of everything installed before, in sha256sum's format.
set(VELDRIAN_RELEASE_FILES VELDRIAN.dll ${VELDRIAN_RELEASE_DEBUG_NAME} veldrian-trace.exe VELDRIAN-fragment.inf
  README.txt)
install(CODE "
  set(sums \"\")
  foreach(file ${VELDRIAN_RELEASE_FILES})
    file(SHA256 \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${file}\" sum)
    string(APPEND sums \"\${sum}  \${file}\\n\")
  endforeach()
  file(WRITE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/SHA256SUMS\" \"\${sums}\")
")

# Installing packs what is built; it does not build first (tools/release.sh builds,
# and so does the test run before bundle_test).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME VELDRIAN)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(VELDRIAN_RELEASE_NAME VELDRIAN-${PROJECT_VERSION}-${VELDRIAN_ARCHITECTURE})
set(CPACK_PACKAGE_FILE_NAME ${VELDRIAN_RELEASE_NAME})
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
include(CPack)
