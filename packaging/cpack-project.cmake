# Read by cpack for each generator. A Debian package must install under
# /usr, and the prefix is fixed when configuring (the unit names the
# binary's full path).
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR
    "The Debian package needs a build directory configured with "
    "-DCMAKE_INSTALL_PREFIX=/usr (this one has ${CPACK_PACKAGING_INSTALL_PREFIX}).")
endif()
