include(${CMAKE_CURRENT_LIST_DIR}/csv_line-targets.cmake)
