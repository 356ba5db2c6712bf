#!/usr/bin/env bash
# Fails when the splitter refers to any allocation function: every object
# of the library but the reader's (those under reader/), which holds its
# input, the table's (under table/), which holds its columns, and the
# stage's that unpacks and turns input into UTF-8 (input/stage, input/unpack).
# Usage: no_alloc_test.sh NM OBJECT...  (NM: the target's nm, when cross-built)
set -euo pipefail
nm=$1
shift
objects=()
for object in "$@"; do
    case $object in
        */reader/* | */table/* | */input/stage.* | */input/unpack.*) ;;
        *) objects+=("$object") ;;
    esac
done
[ ${#objects[@]} -gt 0 ] || { echo "FAIL: no splitter object given"; exit 1; }
symbols=$("$nm" --undefined-only --demangle --format=just-symbols "${objects[@]}" | grep -v ':$' | sort -u)
allocators='^(malloc|calloc|realloc|reallocarray|free|aligned_alloc|posix_memalign|memalign|valloc|pvalloc|strdup|strndup|__strdup|mmap|mmap64|sbrk|brk|operator new|operator delete|__cxa_allocate_exception|__libc_malloc)\b'
if found=$(grep -E "$allocators" <<<"$symbols"); then
    echo "the splitter refers to allocation functions:"
    echo "$found"
    exit 1
fi
echo "no allocation functions among $(grep -c . <<<"$symbols" || true) undefined symbols of ${#objects[@]} objects"
