# Cross-building for 64-bit ARM with Debian's g++-aarch64-linux-gnu; run under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CSV_LINE_TRIPLE aarch64-linux-gnu)
set(CSV_LINE_QEMU aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
