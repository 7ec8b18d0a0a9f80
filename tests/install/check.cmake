# Installs the build into a scratch prefix, then builds and runs a C
# consumer that finds the library with find_package(brellis).
set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
foreach(f bin/tarnwell include/brellis/brellis.h)
  if(NOT EXISTS "${prefix}/${f}")
    message(FATAL_ERROR "${f} was not installed")
  endif()
endforeach()
if(EXISTS "${prefix}/include/brellis/internal")
  message(FATAL_ERROR "the library's internal headers were installed")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G Ninja
                        "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_FLAGS=${C_FLAGS}"
                        "-DCMAKE_EXE_LINKER_FLAGS=${C_FLAGS}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer configure failed")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${WORK_DIR}/build" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer build failed")
endif()
execute_process(COMMAND "${WORK_DIR}/build/consumer" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer failed: ${rc}")
endif()
