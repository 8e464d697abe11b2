# The one date every build of a commit gives the files in its packages, in
# KADROVA_SOURCE_DATE_EPOCH: the builder's SOURCE_DATE_EPOCH where it sets
# one, else the commit's own date, else (a source tree without git) the date
# of the changelog's newest entry. A rebuild of the same commit, elsewhere and
# later, then dates its packages as this one did.
set(KADROVA_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
find_program(KADROVA_GIT git)
if(KADROVA_SOURCE_DATE_EPOCH STREQUAL "" AND KADROVA_GIT AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
  execute_process(COMMAND ${KADROVA_GIT} -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE KADROVA_SOURCE_DATE_EPOCH ERROR_VARIABLE git_error
                  RESULT_VARIABLE git_result OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(git_result EQUAL 0)
    # Each commit brings its own date: a commit, a checkout or a reset moves
    # HEAD and writes its log, and the next build configures again.
    execute_process(COMMAND ${KADROVA_GIT} -C ${PROJECT_SOURCE_DIR} rev-parse --path-format=absolute
                            --git-path HEAD --git-path logs/HEAD
                    OUTPUT_VARIABLE git_files OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REPLACE "\n" ";" git_files "${git_files}")
    foreach(git_file ${git_files})
      if(EXISTS ${git_file})
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${git_file})
      endif()
    endforeach()
  else()
    # A tree git refuses (one owned by another user, say) is not a tree
    # without history: its packages' date differs from the commit's, and says so.
    message(WARNING "git cannot read the commit's date: ${git_error}"
                    "The packages take the changelog's date; SOURCE_DATE_EPOCH set for the build chooses another.")
    set(KADROVA_SOURCE_DATE_EPOCH "")
  endif()
endif()
if(KADROVA_SOURCE_DATE_EPOCH STREQUAL "")
  file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog signatures REGEX "^ -- ")
  list(GET signatures 0 newest)
  string(REGEX REPLACE "^ -- .*>  " "" changelog_date "${newest}")
  execute_process(COMMAND date -u -d "${changelog_date}" +%s
                  OUTPUT_VARIABLE KADROVA_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT KADROVA_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "No date for the packages' files: '${KADROVA_SOURCE_DATE_EPOCH}'")
endif()
