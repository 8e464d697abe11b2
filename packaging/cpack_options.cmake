# Read by cpack for each generator: the Windows installer is named
# kadrova-<version>-win64-setup.exe, beside kadrova-<version>-win64.zip.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
endif()
