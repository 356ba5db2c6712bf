// Included by the kernels that copy runs of content straight from the line.
// Internal linkage on purpose: each kernel's file is compiled for its own
// instruction set, and no copy of this code may be shared between them.
#ifndef CSV_LINE_COPY_BYTES_H
#define CSV_LINE_COPY_BYTES_H

#include <cstring>

// Copies n bytes, 0 <= n <= 32, by two stores that overlap in the run's
// middle (16 + 16, 8 + 8, 4 + 4 or 2 + 2), with no branch for each power of
// two: the overlap writes the same bytes twice, and nothing outside the run.
static inline void copy_short(char *to, const char *from, int n)
{
    char head[16], tail[16];
    if (n >= 16) {
        std::memcpy(head, from, 16);
        std::memcpy(tail, from + n - 16, 16);
        std::memcpy(to, head, 16);
        std::memcpy(to + n - 16, tail, 16);
    } else if (n >= 8) {
        std::memcpy(head, from, 8);
        std::memcpy(tail, from + n - 8, 8);
        std::memcpy(to, head, 8);
        std::memcpy(to + n - 8, tail, 8);
    } else if (n >= 4) {
        std::memcpy(head, from, 4);
        std::memcpy(tail, from + n - 4, 4);
        std::memcpy(to, head, 4);
        std::memcpy(to + n - 4, tail, 4);
    } else if (n >= 2) {
        std::memcpy(head, from, 2);
        std::memcpy(tail, from + n - 2, 2);
        std::memcpy(to, head, 2);
        std::memcpy(to + n - 2, tail, 2);
    } else if (n == 1) {
        *to = *from;
    }
}

// Copies n bytes; runs of up to 32, the common case, stay inline.
static inline void copy_bytes(char *to, const char *from, int n)
{
    if (n > 32)
        std::memcpy(to, from, static_cast<std::size_t>(n));
    else
        copy_short(to, from, n);
}

#endif
