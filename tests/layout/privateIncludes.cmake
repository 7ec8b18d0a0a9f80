# Fails when a source includes a header private to another library module.
#
# Every header under lib/<module>/ is that module's alone. What two modules
# share lives in include/brellis/ (public) or include/brellis/internal/.
# A test under tests/<module>/ may reach its own module's private headers;
# the collector, the tools, the benchmarks and the shared test fixtures may
# reach none.
#
#   cmake -DSOURCE_DIR=<checkout> -P privateIncludes.cmake

if(NOT IS_DIRECTORY "${SOURCE_DIR}/lib")
  message(FATAL_ERROR "SOURCE_DIR must name the checkout")
endif()
file(REAL_PATH "${SOURCE_DIR}" root)

file(GLOB sources LIST_DIRECTORIES false
     "${root}/lib/*/*.cc" "${root}/lib/*/*.h"
     "${root}/collector/*.cc" "${root}/collector/*.h"
     "${root}/tools/*.cc" "${root}/tools/*.h")
file(GLOB_RECURSE more LIST_DIRECTORIES false
     "${root}/tests/*.cc" "${root}/tests/*.h"
     "${root}/bench/*.cc" "${root}/bench/*.h")
list(APPEND sources ${more})

set(problems "")
foreach(source ${sources})
  file(RELATIVE_PATH rel "${root}" "${source}")
  # The module a source belongs to, or none.
  set(owner "")
  if(rel MATCHES "^(lib|tests)/([^/]+)/")
    set(owner "${CMAKE_MATCH_2}")
  endif()
  get_filename_component(dir "${source}" DIRECTORY)
  file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line ${includes})
    if(NOT line MATCHES "include[ \t]*[<\"]([^>\"]+)[>\"]")
      continue()
    endif()
    set(name "${CMAKE_MATCH_1}")
    # An include reaches lib/ relative to the including file or through
    # the lib/ search path the library and the tests are built with.
    foreach(candidate "${dir}/${name}" "${root}/lib/${name}")
      if(NOT EXISTS "${candidate}" OR IS_DIRECTORY "${candidate}")
        continue()
      endif()
      file(REAL_PATH "${candidate}" target)
      file(RELATIVE_PATH target "${root}" "${target}")
      if(target MATCHES "^lib/([^/]+)/" AND NOT CMAKE_MATCH_1 STREQUAL owner)
        string(APPEND problems "\n  ${rel}: #include \"${name}\" (private to ${CMAKE_MATCH_1})")
      endif()
      break()
    endforeach()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "Private headers of another module are included:${problems}\n"
          "Share through include/brellis/ or include/brellis/internal/ instead.")
endif()
