# Installs the build into a scratch prefix, then builds and runs a C
# consumer that finds the library with find_package(brellis), and the same
# consumer built with nothing but what pkg-config says.
set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
foreach(f ${SBINDIR}/tarnwell bin/tarnwell-send ${MANDIR}/man8/tarnwell.8.gz
          ${MANDIR}/man5/brellis-config.5.gz etc/brellis/config lib/systemd/system/tarnwell.service
          include/brellis/brellis.h ${LIBDIR}/pkgconfig/brellis.pc)
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

if(NOT PKG_CONFIG)
  message("pkg-config is not installed: the pkg-config consumer is not built")
  return()
endif()
set(ENV{PKG_CONFIG_PATH} "${prefix}/${LIBDIR}/pkgconfig")
execute_process(COMMAND "${PKG_CONFIG}" --cflags --libs brellis RESULT_VARIABLE rc
                OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know brellis")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(extra UNIX_COMMAND "${C_FLAGS}")
execute_process(COMMAND "${C_COMPILER}" ${extra} "${SOURCE_DIR}/main.c" ${flags}
                        -o "${WORK_DIR}/pc-consumer"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config consumer build failed")
endif()
execute_process(COMMAND "${WORK_DIR}/pc-consumer" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config consumer failed: ${rc}")
endif()
