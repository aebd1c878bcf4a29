# Read by cpack before it builds the package. cpack stamps every member of the package with
# SOURCE_DATE_EPOCH when it is set; unless the caller has set it, it is the date of the commit
# the sources are at, or outside a git checkout (a release tarball) the date of the latest
# entry in scripts/package/changelog. So two builds of the same commit give the same bytes.
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a number of seconds: '$ENV{SOURCE_DATE_EPOCH}'")
  endif()
  set(from "the environment")
else()
  set(src "${CPACK_SMALLKIT_SOURCE_DIR}")
  set(epoch "")
  # Only a checkout whose top is the source folder counts, not some repository around it.
  execute_process(COMMAND git -c safe.directory=* -C "${src}" rev-parse --show-toplevel
                  OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE rc ERROR_QUIET)
  if(rc EQUAL 0)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${src}" real_src)
  endif()
  if(rc EQUAL 0 AND top STREQUAL real_src)
    execute_process(COMMAND git -c safe.directory=* -C "${src}" log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE rc ERROR_QUIET)
    set(from "the last commit")
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    execute_process(COMMAND dpkg-parsechangelog -l "${src}/scripts/package/changelog" -STimestamp
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE rc)
    set(from "scripts/package/changelog")
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "cannot find a date for SOURCE_DATE_EPOCH, neither in git nor in scripts/package/changelog")
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
endif()
message(STATUS "SOURCE_DATE_EPOCH=$ENV{SOURCE_DATE_EPOCH} (from ${from})")
