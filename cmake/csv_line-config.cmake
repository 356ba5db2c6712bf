include(CMakeFindDependencyMacro)
find_dependency(Threads)  # the reader's threads
include(${CMAKE_CURRENT_LIST_DIR}/csv_line-targets.cmake)
