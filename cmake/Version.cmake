# The version every binary and package carries, from `git describe`:
#   on a tag vX.Y.Z                 -> X.Y.Z
#   N commits after it              -> X.Y.Z+N.gHASH
#   no tag yet                      -> PROJECT_VERSION~gitN.gHASH (sorts before the release)
#   no git (a source tarball)       -> PROJECT_VERSION
# QUORVEL_SOURCE_DATE: the commit's date (RFC 2822), for the changelog.
# Every character is valid in a Debian version, and later commits sort higher.
set(QUORVEL_PACKAGE_VERSION ${PROJECT_VERSION})
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --absolute-git-dir
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE git_dir
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE git_failed)
endif()
if(GIT_FOUND AND NOT git_failed)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --long --match "v[0-9]*"
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE described
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE no_tag)
  if(NOT no_tag AND described MATCHES "^v(.+)-([0-9]+)-(g[0-9a-f]+)$")
    set(QUORVEL_PACKAGE_VERSION ${CMAKE_MATCH_1})
    if(NOT CMAKE_MATCH_2 STREQUAL "0")
      string(APPEND QUORVEL_PACKAGE_VERSION "+${CMAKE_MATCH_2}.${CMAKE_MATCH_3}")
    endif()
  else()
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE commits OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --abbrev=7
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE hash OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(QUORVEL_PACKAGE_VERSION "${PROJECT_VERSION}~git${commits}.g${hash}")
  endif()
  execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%cD
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE QUORVEL_SOURCE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE)
  # A new commit or checkout configures again, so the version never goes stale.
  if(EXISTS ${git_dir}/logs/HEAD)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${git_dir}/logs/HEAD)
  endif()
endif()
if(NOT QUORVEL_SOURCE_DATE)
  string(TIMESTAMP QUORVEL_SOURCE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
endif()
message(STATUS "Quorvel version ${QUORVEL_PACKAGE_VERSION}")
