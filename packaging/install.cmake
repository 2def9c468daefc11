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
    "Where the systemd unit kavri.service is installed (relative: under the prefix)")

set(KAVRI_INSTALL_FULL_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kavri.service.in
               ${CMAKE_CURRENT_BINARY_DIR}/kavri.service @ONLY)

install(TARGETS kavri RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/doc/kavri.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/doc/kavri.conf.5
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${PROJECT_SOURCE_DIR}/etc/kavri.conf.example
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kavri.service
        DESTINATION ${KAVRI_SYSTEMD_UNIT_DIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kavri.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME kavri)

# The Debian package: "cpack -G DEB" in a build directory configured with
# -DCMAKE_INSTALL_PREFIX=/usr (packaging/test-deb does it all).
set(CPACK_PACKAGE_NAME "kavri")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "kavri")
set(KAVRI_PACKAGE_CONTACT "kavri developers <maintainers@kavri.dev>" CACHE STRING
    "Maintainer of the Debian package")
set(CPACK_PACKAGE_CONTACT "${KAVRI_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://kavri.dev")
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
if(KAVRI_DPKG_SHLIBDEPS)
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
