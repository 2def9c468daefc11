# Debian arm64 (64-bit ARM: Raspberry Pi 3 and later, most ARM boards).
set(KAVRI_DEBIAN_ARCH arm64)
set(KAVRI_CROSS_TRIPLET aarch64-linux-gnu)
set(KAVRI_QEMU_CPU aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
