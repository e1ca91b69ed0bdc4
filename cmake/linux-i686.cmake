# 32-bit x86 Linux, with Debian's g++-i686-linux-gnu. An x86-64 host whose
# kernel runs 32-bit programs runs what it builds itself, so that the tests
# see the system calls of a real 32-bit process; elsewhere (a kernel built
# or booted without its 32-bit layer, another processor) qemu-user
# (qemu-i386) does.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(FRENNICK_TRIPLE i686-linux-gnu)
set(FRENNICK_PACKAGE_ARCH i686)
set(FRENNICK_DEBIAN_ARCH i386)
if(NOT DEFINED CACHE{FRENNICK_HOST_RUNS_I686})
  set(runs OFF)
  if(CMAKE_HOST_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    # The one sure way to know: build a 32-bit program and run it.
    set(probe ${CMAKE_BINARY_DIR}/CMakeFiles/i686-probe)
    file(WRITE ${probe}.c "int main(void) { return 0; }\n")
    execute_process(COMMAND ${FRENNICK_TRIPLE}-gcc -static -o ${probe} ${probe}.c
      RESULT_VARIABLE built OUTPUT_QUIET ERROR_QUIET)
    if(built EQUAL 0)
      execute_process(COMMAND ${probe} RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET)
      if(ran EQUAL 0)
        set(runs ON)
      endif()
    endif()
  endif()
  set(FRENNICK_HOST_RUNS_I686 ${runs} CACHE INTERNAL "The host runs 32-bit x86 programs")
endif()
if(NOT FRENNICK_HOST_RUNS_I686)
  set(FRENNICK_QEMU qemu-i386)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
