# Debian armhf (32-bit ARMv7 with hardware floating point).
set(KAVRI_DEBIAN_ARCH armhf)
set(KAVRI_CROSS_TRIPLET arm-linux-gnueabihf)
set(KAVRI_QEMU_CPU arm)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
