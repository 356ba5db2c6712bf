# Installs the headers (C, and C++ over it), the library (static, or shared
# with its soname link) and the programs (csv_cut with its manual page), with a CMake package (find_package(csv_line 1.0), target
# csv_line::csv_line) and a pkg-config file. Each file belongs to one of
# three components, as the Debian packages split them: runtime (the shared
# library), development (all that building against it needs) and programs.

include(CMakePackageConfigHelpers)

set(CSV_LINE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/csv_line)

# The C++ header beside the C one: it is inline over the C functions, so it
# belongs with the headers and adds nothing to the library.
set_property(TARGET csv_line APPEND PROPERTY PUBLIC_HEADER src/csv_line.hpp)
install(TARGETS csv_line EXPORT csv_line-targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
if(TARGET test_csv_parse)
  install(TARGETS test_csv_parse RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
endif()
if(TARGET csv_cut)
  install(TARGETS csv_cut RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
  # The Debian packages install it compressed (packaging.cmake).
  if(NOT CSV_LINE_DEBIAN)
    install(FILES doc/csv_cut.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
  endif()
endif()
install(EXPORT csv_line-targets NAMESPACE csv_line:: DESTINATION ${CSV_LINE_CMAKE_DIR}
        COMPONENT development)

write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/csv_line-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES cmake/csv_line-config.cmake ${CMAKE_CURRENT_BINARY_DIR}/csv_line-config-version.cmake
        DESTINATION ${CSV_LINE_CMAKE_DIR} COMPONENT development)

# The .pc file finds its prefix from where it lies, so the package can be
# installed under any prefix, or moved.
file(RELATIVE_PATH CSV_LINE_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/csv_line.pc.in ${CMAKE_CURRENT_BINARY_DIR}/csv_line.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/csv_line.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)
