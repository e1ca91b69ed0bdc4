# 64-bit ARM Linux (Raspberry Pi OS arm64 and the like), with Debian's
# g++-aarch64-linux-gnu; tests run under qemu-user (qemu-aarch64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(FRENNICK_TRIPLE aarch64-linux-gnu)
set(FRENNICK_PACKAGE_ARCH aarch64)
set(FRENNICK_DEBIAN_ARCH arm64)
set(FRENNICK_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
