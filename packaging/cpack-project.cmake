# Read by cpack for each generator. A Debian package must install under
# /usr, and the prefix is fixed when configuring (the unit names the
# binary's full path); a cross build's package gets its dependencies here.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR
    "The Debian package needs a build directory configured with "
    "-DCMAKE_INSTALL_PREFIX=/usr (this one has ${CPACK_PACKAGING_INSTALL_PREFIX}).")
endif()

# A cross build: dpkg-shlibdeps reads the target's C library where the
# cross compiler has it (libc6-ARCH-cross), whose shlibs file names the
# dependency "libc6:ARCH"; within the package for ARCH that is libc6.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_KAVRI_CROSS_LIBC_DIR)
  set(_dir "${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/shlibdeps")
  file(MAKE_DIRECTORY "${_dir}/debian")
  file(WRITE "${_dir}/debian/control" "")
  set(ENV{DEB_HOST_ARCH} "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
  execute_process(
    COMMAND dpkg-shlibdeps -O "-l${CPACK_KAVRI_CROSS_LIBC_DIR}" "${CPACK_KAVRI_BINARY}"
    WORKING_DIRECTORY "${_dir}"
    RESULT_VARIABLE _status OUTPUT_VARIABLE _out ERROR_VARIABLE _err
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _status EQUAL 0 OR NOT _out MATCHES "^shlibs:Depends=(.+)$")
    message(FATAL_ERROR "dpkg-shlibdeps for ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}: ${_err}${_out}")
  endif()
  string(REPLACE ":${CPACK_DEBIAN_PACKAGE_ARCHITECTURE} (" " (" _libs "${CMAKE_MATCH_1}")
  if(CPACK_DEBIAN_PACKAGE_DEPENDS)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_libs}, ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_libs}")
  endif()
endif()
