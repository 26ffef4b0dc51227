# Authenticode signatures with osslsigncode, when a certificate is given in
# the environment; without one nothing is signed and nothing is said but one
# line. Run by cpack (CPACK_PRE_BUILD_SCRIPTS: the programs in the staging
# folder, before they are packed; CPACK_POST_BUILD_SCRIPTS: the installer),
# or as `cmake -DLUMAVIX_SIGN_FILES="A;B" -P sign.cmake`.
#
#   LUMAVIX_SIGN_CERT       the certificate: PEM (with LUMAVIX_SIGN_KEY) or a
#                           PKCS#12 file (.p12, .pfx) holding certificate and key
#   LUMAVIX_SIGN_KEY        the PEM private key of a PEM certificate
#   LUMAVIX_SIGN_PASS       the key's or the PKCS#12 file's password, if any
#   LUMAVIX_SIGN_TIMESTAMP  a time-stamping server's URL, if any (signatures
#                           then outlive the certificate)
set(_cert "$ENV{LUMAVIX_SIGN_CERT}")
if(_cert STREQUAL "")
  message(STATUS "Not signed: LUMAVIX_SIGN_CERT is not set")
  return()
endif()
find_program(_osslsigncode osslsigncode)
if(NOT _osslsigncode)
  message(FATAL_ERROR "LUMAVIX_SIGN_CERT is set but osslsigncode is missing")
endif()
if(NOT EXISTS "${_cert}")
  message(FATAL_ERROR "LUMAVIX_SIGN_CERT names no file: ${_cert}")
endif()

if(_cert MATCHES "\\.(p12|pfx)$")
  set(_who -pkcs12 "${_cert}")
else()
  if("$ENV{LUMAVIX_SIGN_KEY}" STREQUAL "")
    message(FATAL_ERROR "LUMAVIX_SIGN_CERT is a PEM certificate: LUMAVIX_SIGN_KEY must name its key")
  endif()
  set(_who -certs "${_cert}" -key "$ENV{LUMAVIX_SIGN_KEY}")
endif()
if(NOT "$ENV{LUMAVIX_SIGN_PASS}" STREQUAL "")
  list(APPEND _who -pass "$ENV{LUMAVIX_SIGN_PASS}")
endif()
if(NOT "$ENV{LUMAVIX_SIGN_TIMESTAMP}" STREQUAL "")
  list(APPEND _who -ts "$ENV{LUMAVIX_SIGN_TIMESTAMP}")
endif()

# Which files: the programs staged for the package, the package made, or
# those given.
set(_files ${LUMAVIX_SIGN_FILES})
if(NOT _files AND CPACK_PACKAGE_FILES)
  foreach(_f IN LISTS CPACK_PACKAGE_FILES)
    if(_f MATCHES "\\.exe$")
      list(APPEND _files "${_f}")
    endif()
  endforeach()
elseif(NOT _files AND DEFINED CPACK_TEMPORARY_INSTALL_DIRECTORY)
  file(GLOB_RECURSE _files "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.exe")
endif()

foreach(_f IN LISTS _files)
  # Signed into a new file that then replaces the original: a failure
  # leaves the unsigned file whole, and the package is not made.
  execute_process(
    COMMAND ${_osslsigncode} sign ${_who} -h sha256 -n "LUMAVIX Firmware Update Tool"
            -in "${_f}" -out "${_f}.signed"
    RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
  if(NOT _rc EQUAL 0)
    file(REMOVE "${_f}.signed")
    message(FATAL_ERROR "signing ${_f} failed:\n${_out}")
  endif()
  file(RENAME "${_f}.signed" "${_f}")
  message(STATUS "Signed ${_f}")
endforeach()
