# The release bundle, VELDRIAN-<version>.zip, one for both architectures of 64-bit
# Windows (tools/release.sh builds it, tools/bundle.sh packs it). Each architecture's
# build tree installs its own part into the one folder (`cmake --install`), in the
# layout that examples/VELDRIAN-fragment.inf expects below a package's INF:
#   amd64/VELDRIAN.dll and its debug information     from the x64 build
#   arm64/VELDRIAN.dll and its debug information     from the ARM64 build
#   veldrian-trace.exe (x64), VELDRIAN-fragment.inf, README.txt
#                                                    from the x64 build
# The DLLs are signed right after their link when signing is configured
# (cmake/signing.cmake); veldrian-trace.exe is signed here, once it is installed
# stripped, since stripping a signed file would break its signature.

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|ARM64)$")
  set(VELDRIAN_RELEASE_FOLDER arm64)
else()
  set(VELDRIAN_RELEASE_FOLDER amd64)
endif()
if(VELDRIAN_PDB)
  set(VELDRIAN_RELEASE_DEBUG_INFO ${VELDRIAN_PDB})
else()
  set(VELDRIAN_RELEASE_DEBUG_INFO ${VELDRIAN_DEBUG_FILE})
endif()
install(FILES $<TARGET_FILE:VELDRIAN> ${VELDRIAN_RELEASE_DEBUG_INFO} DESTINATION ${VELDRIAN_RELEASE_FOLDER})

if(TARGET veldrian-trace)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/bundle-README.txt.in ${PROJECT_BINARY_DIR}/release/README.txt @ONLY
    NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/VELDRIAN-fragment.inf ${PROJECT_BINARY_DIR}/release/README.txt
    DESTINATION .)
  # The trace reader keeps its symbols in the build tree: `cmake --install --strip`
  # strips the installed copy.
  install(TARGETS veldrian-trace RUNTIME DESTINATION .)
  if(VELDRIAN_SIGN_PKCS12)
    install(CODE "
      execute_process(COMMAND sh [[${PROJECT_SOURCE_DIR}/tools/sign.sh]]
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/veldrian-trace.exe\"
                              [[${VELDRIAN_SIGN_PKCS12}]] [[${VELDRIAN_SIGN_PASSWORD}]] ${VELDRIAN_SIGN_TIMESTAMP_URL}
                      RESULT_VARIABLE signed)
      if(NOT signed EQUAL 0)
        message(FATAL_ERROR \"veldrian-trace.exe could not be signed\")
      endif()
    ")
  endif()
endif()
