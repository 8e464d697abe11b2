# Read by cpack for each generator.

# The files in every package carry the source's date
# (packaging/source_date.cmake), unless whoever runs cpack sets
# SOURCE_DATE_EPOCH: cpack and dpkg-deb date the Debian package by it
# (packaging/pack_again.cmake), packaging/makensis-amd64.sh the installer's
# files, packaging/write_zip.py the zip's.
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_KADROVA_SOURCE_DATE_EPOCH})
endif()

# The Windows installer is named kadrova-<version>-win64-setup.exe, beside
# kadrova-<version>-win64.zip.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
endif()
