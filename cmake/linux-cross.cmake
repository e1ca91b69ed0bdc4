# Shared by the Linux cross toolchains: Debian's cross compiler for
# FRENNICK_TRIPLE, the target's libraries under /usr/<triple>, and what is
# built run under qemu-user (FRENNICK_QEMU) with that root, unless the
# host runs it itself.
set(CMAKE_C_COMPILER ${FRENNICK_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${FRENNICK_TRIPLE}-g++)

set(FRENNICK_TARGET_ROOT /usr/${FRENNICK_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${FRENNICK_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static, tests included: they run wherever the target's kernel interface
# is, with no loader or libraries of the target's to find.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

if(FRENNICK_QEMU)
  find_program(FRENNICK_QEMU_PROGRAM ${FRENNICK_QEMU})
  if(FRENNICK_QEMU_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR
      ${FRENNICK_QEMU_PROGRAM} -L ${FRENNICK_TARGET_ROOT})
  endif()
endif()
