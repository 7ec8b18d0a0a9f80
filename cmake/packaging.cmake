# What installs tarnwell on a host, and the Debian packages made of it:
#   tarnwell        the collector, its tools, the unit, the manual pages and
#                   the host's configuration file
#   libbrellis-dev  the static library, its headers, CMake package and
#                   pkg-config file
#
# Files a host keeps outside the prefix (/etc, the unit, /var) go below
# TARNWELL_SYSTEM_ROOT: "/" for a system install (the default with the
# prefix /usr, as the package preset has it), otherwise below the prefix, so
# that installing into a scratch prefix stays inside it.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(_tarnwell_root "/")
else()
  set(_tarnwell_root "")
endif()
set(TARNWELL_SYSTEM_ROOT "${_tarnwell_root}" CACHE STRING
    "Where /etc, the systemd unit and /var go: \"/\", or empty for below the prefix")
set(TARNWELL_ETC "${TARNWELL_SYSTEM_ROOT}etc")
set(TARNWELL_UNITDIR "${TARNWELL_SYSTEM_ROOT}lib/systemd/system")
set(TARNWELL_VAR "${TARNWELL_SYSTEM_ROOT}var")

set(PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
install(FILES ${PACKAGING_DIR}/tarnwell.service DESTINATION ${TARNWELL_UNITDIR}
        COMPONENT tarnwell)
install(FILES ${PACKAGING_DIR}/config DESTINATION ${TARNWELL_ETC}/brellis COMPONENT tarnwell)
install(FILES ${PACKAGING_DIR}/default DESTINATION ${TARNWELL_ETC}/default RENAME tarnwell
        COMPONENT tarnwell)
# What lintian reports and the package keeps on purpose, with the reasons.
install(FILES ${PACKAGING_DIR}/lintian-overrides/tarnwell
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT tarnwell)
# Owned by the tarnwell user once the package has made it (postinst).
install(DIRECTORY DESTINATION ${TARNWELL_VAR}/lib/tarnwell/dumps COMPONENT tarnwell)
install(DIRECTORY DESTINATION ${TARNWELL_VAR}/log/tarnwell COMPONENT tarnwell)

# Manual pages go out compressed, as Debian keeps them; the sources under
# packaging/man stay plain roff for review and for the render check.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(MANUAL_PAGES tarnwell.8 tarnwell-send.1 tarnwell-load.1 brellis-config.5)
set(MANUAL_GZ)
foreach(page ${MANUAL_PAGES})
  set(gz ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${GZIP_PROGRAM} -9n -c ${PACKAGING_DIR}/man/${page} > ${gz}
    DEPENDS ${PACKAGING_DIR}/man/${page} VERBATIM)
  string(REGEX MATCH "[0-9]$" section ${page})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT tarnwell)
  list(APPEND MANUAL_GZ ${gz})
endforeach()
set(CHANGELOG_GZ ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${CHANGELOG_GZ}
  COMMAND ${GZIP_PROGRAM} -9n -c ${PACKAGING_DIR}/changelog > ${CHANGELOG_GZ}
  DEPENDS ${PACKAGING_DIR}/changelog VERBATIM)
add_custom_target(packaging_files ALL DEPENDS ${MANUAL_GZ} ${CHANGELOG_GZ})
foreach(pkg tarnwell libbrellis-dev)
  if(pkg STREQUAL "tarnwell")
    set(component tarnwell)
  else()
    set(component dev)
  endif()
  install(FILES ${PACKAGING_DIR}/copyright ${CHANGELOG_GZ}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg} COMPONENT ${component})
endforeach()

# pkg-config: the library is static and C++ inside, so a C program's link
# line names everything it needs. The prefix follows from where the file
# lies, so a copy installed anywhere finds its headers and library.
file(RELATIVE_PATH BRELLIS_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" BRELLIS_PC_TO_PREFIX "${BRELLIS_PC_TO_PREFIX}")
set(BRELLIS_PC_REQUIRES "")
if(BRELLIS_WITH_ICU)
  set(BRELLIS_PC_REQUIRES "icu-uc")
endif()
configure_file(${PACKAGING_DIR}/brellis.pc.in ${PROJECT_BINARY_DIR}/brellis.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/brellis.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)

# The Debian packages: cmake --build --preset package --target package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tarnwell developers")
set(CPACK_PACKAGE_CONTACT "tarnwell maintainers <maintainers@tarnwell.example>" CACHE STRING
    "Maintainer field of the Debian packages")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tarnwell dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TARNWELL_PACKAGE_NAME tarnwell)
set(CPACK_DEBIAN_TARNWELL_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TARNWELL_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TARNWELL_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_TARNWELL_PACKAGE_CONTROL_EXTRA
    ${PACKAGING_DIR}/debian/conffiles ${PACKAGING_DIR}/debian/postinst
    ${PACKAGING_DIR}/debian/prerm ${PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_TARNWELL_DESCRIPTION
"network crash-dump collector for hypervisor hosts
tarnwell takes the memory images that hosts send over UDP when their kernel
crashes, stores each as a file per sender under /var/lib/tarnwell/dumps,
drops transfers that stall and hands every finished dump to an optional
post-processing script. It runs as a hardened systemd service under its own
user.
.
The package also holds tarnwell-send, which sends a file as a dump or checks
that a collector answers (usable as a monitoring check), and tarnwell-load,
which drives a collector with many senders at once.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libbrellis-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(_brellis_dev_depends "")
if(BRELLIS_WITH_ICU)
  set(_brellis_dev_depends "libicu-dev")
endif()
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${_brellis_dev_depends}")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "pkgconf | pkg-config, cmake")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"portable C-compatible support library (static, development files)
brellis provides logging with rotation and throttling, layered configuration
files, a file layer, bounded formatting, character-set conversion, locks and
host facts, behind a C interface that C and C++ programs can link.
.
This package holds the static library libbrellis.a, its headers, a CMake
package (find_package(brellis)) and a pkg-config file (brellis).")

include(CPack)
