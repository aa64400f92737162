# Writes the version unit from its template, run at every build (cmake -P) so
# that the constants follow the checkout without a reconfigure. The file is
# rewritten only when its text changes, so an unchanged version recompiles
# nothing.
#
# In:  TEMPLATE, OUTPUT, SOURCE_DIR, PROJECT_VERSION, PROJECT_NAME, LIBRARY_NAME
#
# git_version: the newest tag reachable from HEAD (a leading "v" dropped), or
# the project version where there is no tag or no git checkout.
# git_subversion: commits since that tag, or since the beginning where there
# is no tag; "0" outside a git checkout.

set(ORQ_GIT_VERSION "${PROJECT_VERSION}")
set(ORQ_GIT_SUBVERSION "0")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" describe --tags --long --match "*[0-9]*"
                  WORKING_DIRECTORY "${SOURCE_DIR}"
                  OUTPUT_VARIABLE described OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE described_status ERROR_QUIET)
  if(described_status EQUAL 0 AND described MATCHES "^v?(.+)-([0-9]+)-g[0-9a-f]+$")
    set(ORQ_GIT_VERSION "${CMAKE_MATCH_1}")
    set(ORQ_GIT_SUBVERSION "${CMAKE_MATCH_2}")
  else()
    execute_process(COMMAND "${GIT_EXECUTABLE}" rev-list --count HEAD
                    WORKING_DIRECTORY "${SOURCE_DIR}"
                    OUTPUT_VARIABLE counted OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE counted_status ERROR_QUIET)
    if(counted_status EQUAL 0 AND counted MATCHES "^[0-9]+$")
      set(ORQ_GIT_SUBVERSION "${counted}")
    endif()
  endif()
endif()

set(ORQ_LIBRARY_NAME "${LIBRARY_NAME}")
set(ORQ_PROJECT_NAME "${PROJECT_NAME}")
string(REGEX REPLACE "/+$" "" ORQ_SOURCE_DIRECTORY "${SOURCE_DIR}")
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
