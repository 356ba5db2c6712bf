#!/usr/bin/env bash
# Builds programs outside the project against the installed library: a C one
# through pkg-config, a C++ one through find_package, and a C++ one that adds
# the source tree as a subdirectory; runs them and the installed program.
# Through pkg-config and find_package both, a C++ reader over the installed
# csv_line.hpp reads a CSV from memory and writes its sum.
# Given a build directory, installs it into a scratch prefix first and points
# the tools there; given "-", uses what is installed on the system (the
# Debian packages), with no hints at all, and skips the subdirectory build.
# Usage: install_test.sh BUILD_DIR|- SOURCE_DIR CC CXX CFLAGS CXXFLAGS LDFLAGS
set -euo pipefail
build=$1 source=$(cd "$2" && pwd) cc=$3 cxx=$4 cflags=$5 cxxflags=$6 ldflags=$7
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
consumers=$source/tests/consumers
want='3 [id] [Smith, J.] [42]'
want_sum='rows,3,total,6.75'

expect_output() {  # expect_output PROGRAM [WANT]
    local got
    got=$("$1")
    [ "$got" = "${2:-$want}" ] || { echo "FAIL: $1 printed '$got', want '${2:-$want}'"; exit 1; }
}

cmake_hints=()
program=/usr/bin/test_csv_parse
if [ "$build" != - ]; then
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    cmake_hints=(-DCMAKE_PREFIX_PATH="$work/prefix")
    program=$work/prefix/bin/test_csv_parse
    export PKG_CONFIG_PATH LD_LIBRARY_PATH
    PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name csv_line.pc)")
    # A shared library in a scratch prefix is found at run time only when asked.
    LD_LIBRARY_PATH=$(pkg-config --variable=libdir csv_line)
fi

# shellcheck disable=SC2086 # the flags are lists of words
"$cc" $cflags $(pkg-config --cflags csv_line) "$consumers/split_one.c" \
    $ldflags $(pkg-config --libs csv_line) -o "$work/c_consumer"
expect_output "$work/c_consumer"
# shellcheck disable=SC2086 # the flags are lists of words
"$cxx" -std=c++17 $cxxflags $(pkg-config --cflags csv_line) "$consumers/cxx/read_sum.cpp" \
    $ldflags $(pkg-config --libs csv_line) -o "$work/cxx_reader"
expect_output "$work/cxx_reader" "$want_sum"

configure_cxx() {  # configure_cxx DIR VERSION
    cmake -S "$consumers/cxx" -B "$1" -G Ninja "${cmake_hints[@]}" \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" \
        -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCSV_LINE_WANTED_VERSION="$2" >"$1.log" 2>&1
}
configure_cxx "$work/cxx" 1.0 || { cat "$work/cxx.log"; exit 1; }
cmake --build "$work/cxx" >/dev/null
expect_output "$work/cxx/split_one"
expect_output "$work/cxx/read_sum" "$want_sum"
if configure_cxx "$work/cxx2" 2.0; then
    echo "FAIL: find_package(csv_line 2.0) accepted version 1"
    exit 1
fi

"$program" | cmp - "$source/tests/expected_report.txt"
[ "$build" != - ] || { echo "installed: C via pkg-config and C++ via find_package split the line; C++ reads and writes through both"; exit 0; }

# As a subdirectory of a parent that builds a shared library around it, the
# project brings no tests, no program and no flags of its own.
cmake -S "$consumers/subdir" -B "$work/subdir" -G Ninja -DCSV_LINE_SOURCE_DIR="$source" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/subdir" >/dev/null
expect_output "$work/subdir/split_one"
[ ! -e "$work/subdir/csv_line/tests" ] || { echo "FAIL: the tests were built in the parent"; exit 1; }
[ ! -e "$work/subdir/csv_line/test_csv_parse" ] || { echo "FAIL: the program was built in the parent"; exit 1; }
if grep -q -E -e '-W([^l]|l[^,])' "$work/subdir/build.ninja"; then  # -Wl, passes the linker its options
    echo "FAIL: warning flags forced on the parent"
    exit 1
fi
echo "install: C via pkg-config, C++ via find_package and add_subdirectory all split the line; C++ reads and writes through pkg-config and find_package"
