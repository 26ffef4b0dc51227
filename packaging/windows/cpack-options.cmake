# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE): the installer
# is lumavix-fw-VERSION-win64-setup.exe, so that it is not mistaken for the
# command line itself; the zip keeps its name.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME}-setup")
endif()
