# Cross-compiles Frennick for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64) and runs what it builds under wine (wine64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No DLL of the compiler's runtime has to travel with Frennick.exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_STRIP ${CMAKE_CURRENT_LIST_DIR}/mingw-w64-strip.sh CACHE FILEPATH
  "Strips the packaged binaries, with no time in them")

find_program(FRENNICK_WINE NAMES wine wine64 wine-stable)
if(FRENNICK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FRENNICK_WINE})
endif()
