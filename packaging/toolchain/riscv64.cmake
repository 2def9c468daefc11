# Debian riscv64 (64-bit RISC-V, RV64GC).
set(KAVRI_DEBIAN_ARCH riscv64)
set(KAVRI_CROSS_TRIPLET riscv64-linux-gnu)
set(KAVRI_QEMU_CPU riscv64)
set(CMAKE_SYSTEM_PROCESSOR riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
