# Cross-building for 32-bit x86 with Debian's g++-i686-linux-gnu; run under qemu-i386.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CSV_LINE_TRIPLE i686-linux-gnu)
set(CSV_LINE_QEMU i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
# qemu-i386 spins here in pthread_create: the reader's input stage reads
# on the caller's thread instead of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR env CSV_LINE_STAGE_THREAD=0 ${CMAKE_CROSSCOMPILING_EMULATOR})
