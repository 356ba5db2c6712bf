# Debian packages, split as distributions split a C library:
#   libcsv-line1      the shared library and its soname link
#   libcsv-line-dev   the header, the .so link, the CMake package and the
#                     pkg-config file; depends on exactly its libcsv-line1
#   test-csv-parse    the report program and csv_cut, with their manual pages
#   python3-csv-line  the Python package csv_line, its extension linked to
#                     exactly its libcsv-line1
# Built with BUILD_SHARED_LIBS and CMAKE_INSTALL_PREFIX=/usr (the packages
# preset), then `cpack --preset packages`.

if(NOT TARGET test_csv_parse OR NOT TARGET csv_cut)
  message(FATAL_ERROR "The Debian packages include the programs: set CSV_LINE_BUILD_PROGRAM and CSV_LINE_BUILD_CSV_CUT")
endif()
if(NOT TARGET csv_line_python)
  message(FATAL_ERROR "The Debian packages include the Python module: set CSV_LINE_BUILD_PYTHON")
endif()
if(NOT CSV_LINE_PYTHON_INSTALL_DIR STREQUAL "lib/python3/dist-packages")
  message(FATAL_ERROR "The Debian package installs the Python module where Debian's python3 finds it: "
                      "leave CSV_LINE_PYTHON_INSTALL_DIR at lib/python3/dist-packages")
endif()

set(CSV_LINE_DEB_RUNTIME libcsv-line${PROJECT_VERSION_MAJOR})
set(CSV_LINE_DEB_DEVELOPMENT libcsv-line-dev)
set(CSV_LINE_DEB_PROGRAMS test-csv-parse)
set(CSV_LINE_DEB_PYTHON python3-csv-line)

# What Debian asks of every package: its copyright and changelog, the
# changelog and manual page compressed as dpkg expects (no name, no time).
set(csv_line_debian ${CMAKE_CURRENT_BINARY_DIR}/debian)
file(MAKE_DIRECTORY ${csv_line_debian})
foreach(file cmake/debian/changelog cmake/debian/test_csv_parse.1 doc/csv_cut.1)
  get_filename_component(name ${file} NAME)
  execute_process(COMMAND gzip -9 -n -c ${CMAKE_CURRENT_SOURCE_DIR}/${file}
                  OUTPUT_FILE ${csv_line_debian}/${name}.gz COMMAND_ERROR_IS_FATAL ANY)
endforeach()
foreach(component runtime development programs python)
  string(TOUPPER ${component} upper)
  set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CSV_LINE_DEB_${upper}})
  install(FILES cmake/debian/copyright DESTINATION ${doc} COMPONENT ${component})
  install(FILES ${csv_line_debian}/changelog.gz DESTINATION ${doc} RENAME changelog.Debian.gz
          COMPONENT ${component})
endforeach()
install(FILES ${csv_line_debian}/test_csv_parse.1.gz ${csv_line_debian}/csv_cut.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME csv-line)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "csv_line maintainers <maintainers@csv-line.example>")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime development programs python)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# Maintainer scripts executable, the other control files not, as dpkg wants.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies between the packages come from the components' DEPENDS
# below; those on the system's libraries, from dpkg-shlibdeps, which finds
# libcsv_line.so.1 in the runtime package's staging directory.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_BINARY_DIR}/_CPack_Packages/Linux/DEB/csv-line-${PROJECT_VERSION}-Linux/runtime/usr/${CMAKE_INSTALL_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${CSV_LINE_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# ldconfig runs by dpkg's trigger once per installation run.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "fast, safe CSV reader and splitter (shared library)
csv_line reads whole CSV files, streams or bytes in memory and hands over
their records in order, on one thread or on every core, with the same
records, lines and errors at any thread count; quoted fields may hold
separators, doubled quotes and line breaks. Its splitters cut one line or
record into a table the caller owns and index every record of a buffer in
one pass, allocating nothing. On x86-64 it runs the fastest of its
AVX-512, AVX2 and SSE2 kernels that the processor supports.
.
This package holds the shared library.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${CSV_LINE_DEB_DEVELOPMENT})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "fast, safe CSV reader and splitter (development files)
csv_line reads whole CSV files in order, on one thread or on every core,
and splits lines and records into tables the caller owns.
.
This package holds the C header csv_line.h, the C++ header csv_line.hpp,
the link to the shared library, the CMake package (find_package(csv_line))
and the pkg-config file.")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME ${CSV_LINE_DEB_PROGRAMS})
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "csv_cut, which prints chosen fields of CSV files, and a report program
csv_cut prints the chosen fields of each record of CSV files, by number or
by header name, as escaped tab-separated text or as CSV, on every core.
Quoted fields may hold separators, quotes and line breaks.
.
test_csv_parse splits the product record it carries into its fields with
the csv_line library and prints a report of 15 lines.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${CSV_LINE_DEB_PYTHON})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The extension is built for one interpreter version (its file name carries
# it) and against numpy's C API, which any numpy of the same ABI and at
# least the API's first version serves: Debian's numpy says which, in the
# file its own packaging tools read.
find_package(Python3 REQUIRED COMPONENTS Interpreter)  # the one the extension was built for
math(EXPR csv_line_python_next "${Python3_VERSION_MINOR} + 1")
set(csv_line_python_depends
    "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), python3 (<< ${Python3_VERSION_MAJOR}.${csv_line_python_next})")
set(csv_line_numpy_versions /usr/share/numpy3/versions)
if(EXISTS ${csv_line_numpy_versions})
  file(STRINGS ${csv_line_numpy_versions} csv_line_numpy_abi REGEX "^abi ")
  file(STRINGS ${csv_line_numpy_versions} csv_line_numpy_min REGEX "^api-min-version ")
  string(REGEX REPLACE "^abi +" "" csv_line_numpy_abi "${csv_line_numpy_abi}")
  string(REGEX REPLACE "^api-min-version +" "" csv_line_numpy_min "${csv_line_numpy_min}")
  string(APPEND csv_line_python_depends
         ", python3-numpy (>= ${csv_line_numpy_min}), python3-numpy-abi${csv_line_numpy_abi}")
else()
  string(APPEND csv_line_python_depends ", python3-numpy")
endif()
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${csv_line_python_depends}")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-pandas, python3-dask")
# (CPack warns that the extension, having no soname, is left out of the
# shlibs file: rightly, as nothing links to it.)
# Byte-compiled at installation and the compiled files removed before
# removal, by Debian's python3 tools, as every Python package does.
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/python/postinst ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/python/prerm)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "fast, safe CSV reader and splitter (Python 3 module)
csv_line reads whole CSV files in order, on one thread or on every core,
with the same records, lines and errors at any thread count; quoted fields
may hold separators, doubled quotes and line breaks.
.
This package holds the Python 3 module csv_line: rows as csv.reader and
csv.DictReader give them, each column of a file as one numpy array (or a
pandas DataFrame), the byte ranges of a file that begin at records, and
Dask DataFrames in partitions that begin at records (csv_line.dask).")

include(CPack)
cpack_add_component(runtime)
cpack_add_component(development DEPENDS runtime)
cpack_add_component(programs DEPENDS runtime)
cpack_add_component(python DEPENDS runtime)
