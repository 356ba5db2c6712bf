# Shared by the toolchain files beside it: Debian's cross compiler for
# CSV_LINE_TRIPLE, its sysroot, and qemu-user to run what it builds (tests,
# gtest_discover_tests and the script tests all go through the emulator).
set(CMAKE_SYSTEM_NAME Linux)
set(sysroot /usr/${CSV_LINE_TRIPLE})
set(CMAKE_C_COMPILER ${CSV_LINE_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CSV_LINE_TRIPLE}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CSV_LINE_QEMU} -L ${sysroot})

# Libraries and packages come from the sysroot only, never from the host;
# programs (python3, bash, valgrind's absence) from the host.
set(CMAKE_FIND_ROOT_PATH ${sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# LeakSanitizer cannot run under qemu-user, and the sanitizer reads its
# options from qemu's own environment: set there, they win over any other.
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize=[^ ]*address")
  set(CMAKE_CROSSCOMPILING_EMULATOR env ASAN_OPTIONS=detect_leaks=0 ${CMAKE_CROSSCOMPILING_EMULATOR})
endif()
