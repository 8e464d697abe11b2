# Run by cpack once it has made a package: the Debian package and the zip are
# written again, so that a rebuild anywhere gives the same bytes. cpack's
# Debian package records the packer's umask in its members' modes; dpkg-deb
# writes them as 0644 and dates them to SOURCE_DATE_EPOCH. cpack's zip
# records the order the file system lists the files in, the packer's time
# zone and user id; packaging/write_zip.py records none of them.
foreach(package ${CPACK_PACKAGE_FILES})
  if(CPACK_GENERATOR STREQUAL "DEB")
    set(root ${package}.root)
    file(REMOVE_RECURSE ${root})
    execute_process(COMMAND dpkg-deb --raw-extract ${package} ${root} RESULT_VARIABLE status)
    if(status EQUAL 0)
      execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${root} ${package}
                      OUTPUT_QUIET RESULT_VARIABLE status)
    endif()
    file(REMOVE_RECURSE ${root})
  elseif(CPACK_GENERATOR STREQUAL "ZIP")
    execute_process(COMMAND ${CPACK_KADROVA_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/write_zip.py
                            ${package} ${CPACK_TEMPORARY_DIRECTORY} $ENV{SOURCE_DATE_EPOCH}
                    RESULT_VARIABLE status)
  else()
    set(status 0)
  endif()
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${package} could not be written again")
  endif()
endforeach()
