# 32-bit x86 Linux, with Debian's g++-i686-linux-gnu. An x86-64 host runs
# what it builds itself, through its kernel's 32-bit layer, so that the
# tests see the system calls of a real 32-bit process; elsewhere qemu-user
# (qemu-i386) does.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(FRENNICK_TRIPLE i686-linux-gnu)
set(FRENNICK_PACKAGE_ARCH i686)
set(FRENNICK_DEBIAN_ARCH i386)
if(NOT CMAKE_HOST_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(FRENNICK_QEMU qemu-i386)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
