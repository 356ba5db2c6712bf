# Cross-building for big-endian IBM Z with Debian's g++-s390x-linux-gnu; run under qemu-s390x.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CSV_LINE_TRIPLE s390x-linux-gnu)
set(CSV_LINE_QEMU s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
