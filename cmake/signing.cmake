# Optional Authenticode signature of VELDRIAN.dll, made right after it is linked
# (tools/sign.sh, with osslsigncode); the release signs veldrian-trace.exe with the same
# settings when it installs it (cmake/release.cmake). Off unless a PKCS#12 file is named:
#   -DVELDRIAN_SIGN_PKCS12=/path/to/signer.p12
#   -DVELDRIAN_SIGN_PASSWORD=file:/path/to/password   or   env:NAME_OF_A_VARIABLE
#   -DVELDRIAN_SIGN_TIMESTAMP_URL=http://...           (optional, RFC 3161)
# The cache keeps where the password is, never the password: a variable is read when
# the DLL is built, so it must be set in the build's environment.
set(VELDRIAN_SIGN_PKCS12 "" CACHE FILEPATH "PKCS#12 file to sign VELDRIAN.dll with (empty: unsigned)")
set(VELDRIAN_SIGN_PASSWORD "" CACHE STRING "Where the PKCS#12 password is: file:PATH or env:NAME")
set(VELDRIAN_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp authority for the signature (empty: none)")

if(VELDRIAN_SIGN_PKCS12)
  # A certificate that cannot be read fails the configuration, not a build minutes later.
  if(NOT EXISTS "${VELDRIAN_SIGN_PKCS12}" OR IS_DIRECTORY "${VELDRIAN_SIGN_PKCS12}")
    message(FATAL_ERROR "VELDRIAN_SIGN_PKCS12: cannot read the PKCS#12 file ${VELDRIAN_SIGN_PKCS12}")
  endif()
  if(NOT VELDRIAN_SIGN_PASSWORD MATCHES "^(file|env):.")
    message(FATAL_ERROR "VELDRIAN_SIGN_PASSWORD is file:PATH or env:NAME, not '${VELDRIAN_SIGN_PASSWORD}'")
  endif()
  # Missing, it fails the configuration rather than the build (tools/install-deps.sh signing).
  find_program(VELDRIAN_OSSLSIGNCODE osslsigncode REQUIRED)
  add_custom_command(TARGET VELDRIAN POST_BUILD
    COMMAND sh ${PROJECT_SOURCE_DIR}/tools/sign.sh $<TARGET_FILE:VELDRIAN> ${VELDRIAN_SIGN_PKCS12}
            ${VELDRIAN_SIGN_PASSWORD} ${VELDRIAN_SIGN_TIMESTAMP_URL}
    VERBATIM)
endif()
