# Install rules and the Debian package.
#
#   cmake -S . -B build-pkg -G Ninja && ninja -C build-pkg kavri
#   cmake --install build-pkg                       # under /usr/local
#
#   cmake -S . -B build-deb -G Ninja -DCMAKE_INSTALL_PREFIX=/usr \
#         -DCMAKE_BUILD_TYPE=Release -DKAVRI_TESTS=OFF
#   ninja -C build-deb kavri && (cd build-deb && cpack -G DEB)
#
# The prefix is fixed when configuring: the systemd unit names the binary
# by its full path, so change the prefix with -DCMAKE_INSTALL_PREFIX rather
# than with "cmake --install --prefix". Whatever the prefix, the program
# reads its system configuration at /usr/local/etc/kavri.conf; nothing is
# ever installed there, only the sample in share/doc/kavri/examples.

include(GNUInstallDirs)

# Under /usr the unit goes where Debian keeps the units of its packages;
# under any other prefix beside it (/usr/local/lib/systemd/system is on
# systemd's search path).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(_kavri_unit_dir "/lib/systemd/system")
else()
  set(_kavri_unit_dir "lib/systemd/system")
endif()
set(KAVRI_SYSTEMD_UNIT_DIR "${_kavri_unit_dir}" CACHE STRING
    "Where the systemd units kavri.service and kavri@.service are installed (relative: under the prefix)")

set(KAVRI_INSTALL_FULL_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kavri.service.in
               ${CMAKE_CURRENT_BINARY_DIR}/kavri.service @ONLY)
# One service per account or uplink: kavri@NAME reads
# /usr/local/etc/kavri/NAME.conf.
configure_file(${CMAKE_CURRENT_LIST_DIR}/kavri@.service.in
               ${CMAKE_CURRENT_BINARY_DIR}/kavri@.service @ONLY)

set(KAVRI_PACKAGE_CONTACT "kavri developers <maintainers@kavri.dev>" CACHE STRING
    "Maintainer of the Debian package")
set(KAVRI_HOMEPAGE "https://kavri.dev")

# The manual pages and the changelog go out compressed as Debian wants
# them: gzip -9n, no name and no time stamp, so every build gives the same
# bytes. Built with the program, so that "ninja kavri" is all an install
# needs.
set(_kavri_gz_dir "${CMAKE_CURRENT_BINARY_DIR}/gz")
set(_kavri_gz_files)
foreach(_src doc/kavri.1 doc/kavri.conf.5 packaging/debian/changelog)
  get_filename_component(_name "${_src}" NAME)
  add_custom_command(OUTPUT "${_kavri_gz_dir}/${_name}.gz"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_kavri_gz_dir}"
    COMMAND sh -c "gzip -9n -c \"$1\" >\"$2\"" sh
            "${PROJECT_SOURCE_DIR}/${_src}" "${_kavri_gz_dir}/${_name}.gz"
    DEPENDS "${PROJECT_SOURCE_DIR}/${_src}"
    VERBATIM)
  list(APPEND _kavri_gz_files "${_kavri_gz_dir}/${_name}.gz")
endforeach()
add_custom_target(kavri-docs DEPENDS ${_kavri_gz_files})
add_dependencies(kavri kavri-docs)

# The copyright file in Debian's machine-readable format, made from
# LICENSE: its "Copyright" lines, then its text as the ISC licence.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/LICENSE")
file(STRINGS "${PROJECT_SOURCE_DIR}/LICENSE" _kavri_license_lines)
set(_kavri_copyright "")
set(_kavri_license "")
foreach(_line IN LISTS _kavri_license_lines)
  if(_line MATCHES "^Copyright \\(c\\) (.*)$")
    string(APPEND _kavri_copyright " ${CMAKE_MATCH_1}\n")
  elseif(_kavri_copyright STREQUAL "")
    message(FATAL_ERROR "LICENSE must begin with its Copyright lines")
  elseif(_line STREQUAL "")
    if(NOT _kavri_license STREQUAL "")
      string(APPEND _kavri_license " .\n")
    endif()
  else()
    string(APPEND _kavri_license " ${_line}\n")
  endif()
endforeach()
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: kavri
Upstream-Contact: ${KAVRI_PACKAGE_CONTACT}
Source: ${KAVRI_HOMEPAGE}

Files: *
Copyright:${_kavri_copyright}License: ISC
${_kavri_license}")

install(TARGETS kavri RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES "${_kavri_gz_dir}/kavri.1.gz"
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES "${_kavri_gz_dir}/kavri.conf.5.gz"
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES "${_kavri_gz_dir}/changelog.gz" "${CMAKE_CURRENT_BINARY_DIR}/copyright"
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/etc/kavri.conf.example
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kavri.service ${CMAKE_CURRENT_BINARY_DIR}/kavri@.service
        DESTINATION ${KAVRI_SYSTEMD_UNIT_DIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kavri.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME kavri)

# The Debian package: "cpack -G DEB" in a build directory configured with
# -DCMAKE_INSTALL_PREFIX=/usr (packaging/test-deb does it all).
set(CPACK_PACKAGE_NAME "kavri")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "kavri")
set(CPACK_PACKAGE_CONTACT "${KAVRI_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${KAVRI_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "captive portal login client and keep-alive daemon")
set(CPACK_PACKAGE_DESCRIPTION
    "kavri logs you in to an Internet access server that lets no traffic\n\
through until its web login form has been filled in (a captive portal),\n\
keeps that login alive with a small daemon that checks every few minutes\n\
and logs in again when the login is gone, and logs you out again.\n\
It reads its settings from /usr/local/etc/kavri.conf or ~/.kavrirc;\n\
a commented sample is in /usr/share/doc/kavri/examples.")
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
find_program(KAVRI_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KAVRI_DEBIAN_ARCHITECTURE)
  # A cross build (packaging/toolchain/*.cmake): the package is for the
  # target, and cpack-project.cmake finds its dependencies.
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${KAVRI_DEBIAN_ARCHITECTURE}")
  set(CPACK_KAVRI_CROSS_LIBC_DIR "${KAVRI_CROSS_LIBC_DIR}")
  set(CPACK_KAVRI_BINARY "${PROJECT_BINARY_DIR}/kavri")
elseif(KAVRI_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
endif()
# HTTPS loads libssl.so.3 at run time, so dpkg-shlibdeps cannot see it.
if(KAVRI_TLS)
  if(CPACK_DEBIAN_PACKAGE_DEPENDS)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACKAGE_DEPENDS}, libssl3 (>= 3.0.0)")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3 (>= 3.0.0)")
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_CURRENT_LIST_DIR}/debian/postinst;${CMAKE_CURRENT_LIST_DIR}/debian/prerm;${CMAKE_CURRENT_LIST_DIR}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Refuses a Debian package whose files would not be under /usr.
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/cpack-project.cmake")

set(CPACK_SOURCE_GENERATOR "TXZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/;/build[^/]*/;/\\\\.cache/")

include(CPack)
