#!/usr/bin/env bash
# Fails when the splitter's library refers to any allocation function.
# Usage: no_alloc_test.sh LIBRARY [NM]  (NM: the target's nm, when cross-built)
set -euo pipefail
symbols=$("${2:-nm}" --undefined-only --demangle --format=just-symbols "$1")
allocators='^(malloc|calloc|realloc|reallocarray|free|aligned_alloc|posix_memalign|memalign|valloc|pvalloc|strdup|strndup|__strdup|mmap|mmap64|sbrk|brk|operator new|operator delete|__cxa_allocate_exception|__libc_malloc)\b'
if found=$(grep -E "$allocators" <<<"$symbols"); then
    echo "the splitter's library refers to allocation functions:"
    echo "$found"
    exit 1
fi
echo "no allocation functions among $(grep -c . <<<"$symbols" || true) undefined symbols"
