# Shared part of the toolchain files beside it: Debian's cross compiler for
# KAVRI_CROSS_TRIPLET (gcc-TRIPLET, g++-TRIPLET) with its C library under
# /usr/TRIPLET, and the target's own libraries (OpenSSL's headers, GoogleTest)
# under KAVRI_CROSS_ROOT, laid out as ROOT/include and ROOT/lib.
# packaging/cross ARCH puts them there and configures with these files.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${KAVRI_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KAVRI_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KAVRI_CROSS_TRIPLET})

# The root of the target's libraries comes from the cache (-D) or, in
# CMake's checks that copy the toolchain file, from the environment.
if(NOT KAVRI_CROSS_ROOT AND DEFINED ENV{KAVRI_CROSS_ROOT})
  set(KAVRI_CROSS_ROOT "$ENV{KAVRI_CROSS_ROOT}")
endif()
set(ENV{KAVRI_CROSS_ROOT} "${KAVRI_CROSS_ROOT}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KAVRI_CROSS_ROOT)

# pkg-config, which FindOpenSSL asks first, reads the target's files only
# (there are none: the find_* calls below find the libraries).
set(ENV{PKG_CONFIG_LIBDIR} "${KAVRI_CROSS_ROOT}/lib/pkgconfig")

# Libraries, headers and packages of the target only, never the build
# machine's; programs (ninja, gzip) of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KAVRI_CROSS_TRIPLET} ${KAVRI_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The tests run the programs they build for the target through qemu-user,
# with the cross C library as its library root.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${KAVRI_QEMU_CPU} -L /usr/${KAVRI_CROSS_TRIPLET})

# The Debian package: its Architecture, and where dpkg-shlibdeps finds
# the target's C library (packaging/install.cmake).
set(KAVRI_DEBIAN_ARCHITECTURE ${KAVRI_DEBIAN_ARCH})
set(KAVRI_CROSS_LIBC_DIR /usr/${KAVRI_CROSS_TRIPLET}/lib)
