# Every manual page renders without a single warning (groff -ww), as
# lintian and man -l would show them.
if(NOT GROFF)
  message("SKIP: groff is not installed (scripts/deps package installs it)")
  return()
endif()
file(GLOB pages "${MAN_DIR}/*.[1-8]")
list(LENGTH pages count)
if(count LESS 4)
  message(FATAL_ERROR "expected the four manual pages in ${MAN_DIR}, found ${count}")
endif()
foreach(page ${pages})
  execute_process(COMMAND "${GROFF}" -man -ww -z "${page}"
                  RESULT_VARIABLE rc ERROR_VARIABLE warnings OUTPUT_QUIET)
  if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "${page} does not render cleanly:\n${warnings}")
  endif()
endforeach()
