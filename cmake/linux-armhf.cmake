# 32-bit ARM Linux with hardware floating point (Raspberry Pi OS armhf), with
# Debian's g++-arm-linux-gnueabihf; tests run under qemu-user (qemu-arm).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(FRENNICK_TRIPLE arm-linux-gnueabihf)
set(FRENNICK_PACKAGE_ARCH armhf)
set(FRENNICK_DEBIAN_ARCH armhf)
set(FRENNICK_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
