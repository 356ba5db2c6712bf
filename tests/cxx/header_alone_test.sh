#!/usr/bin/env bash
# csv_line.hpp compiles on its own, as the first and only include of a
# translation unit, and so do the examples that use most of it, under the
# project's warnings as errors (and clang's -Wsign-conversion with g++ too),
# with g++ and with clang++; a compiler that is not installed is skipped,
# saying so.
# Usage: header_alone_test.sh SOURCE_DIR
set -euo pipefail
source=$1
flags=(-std=c++17 -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Werror -I "$source/src")
compiled=0
for cxx in g++ clang++; do
    if ! command -v "$cxx" >/dev/null; then
        echo "skipped: $cxx is not installed"
        continue
    fi
    echo '#include "csv_line.hpp"' | "$cxx" "${flags[@]}" -x c++ -c - -o /dev/null
    for example in "$source"/examples/*.cpp; do
        "$cxx" "${flags[@]}" -fsyntax-only "$example"
    done
    echo "$cxx: csv_line.hpp alone and the examples compile without a warning"
    compiled=$((compiled + 1))
done
[ "$compiled" -gt 0 ] || { echo "FAIL: neither g++ nor clang++ is installed"; exit 1; }
