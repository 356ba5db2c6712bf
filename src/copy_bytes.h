// Included by the kernels that copy runs of content straight from the line.
// Internal linkage on purpose: each kernel's file is compiled for its own
// instruction set, and no copy of this code may be shared between them.
#ifndef CSV_LINE_COPY_BYTES_H
#define CSV_LINE_COPY_BYTES_H

#include <cstring>

// Copies n bytes, size <= n <= 2 * size, by two stores of size bytes that
// overlap in the run's middle: the overlap writes the same bytes twice, and
// nothing outside the run.
template <int size>
static inline void copy_overlapping(char *to, const char *from, int n)
{
    char head[size], tail[size];
    std::memcpy(head, from, size);
    std::memcpy(tail, from + n - size, size);
    std::memcpy(to, head, size);
    std::memcpy(to + n - size, tail, size);
}

// Copies n bytes, 0 <= n <= 32, with no branch for each power of two.
static inline void copy_short(char *to, const char *from, int n)
{
    if (n >= 16)
        copy_overlapping<16>(to, from, n);
    else if (n >= 8)
        copy_overlapping<8>(to, from, n);
    else if (n >= 4)
        copy_overlapping<4>(to, from, n);
    else if (n >= 2)
        copy_overlapping<2>(to, from, n);
    else if (n == 1)
        *to = *from;
}

// Copies n bytes, 0 <= n <= 64.
static inline void copy_up_to_64(char *to, const char *from, int n)
{
    if (n > 32)
        copy_overlapping<32>(to, from, n);
    else
        copy_short(to, from, n);
}

// Copies n bytes; runs of up to 64, the common case, stay inline.
static inline void copy_bytes(char *to, const char *from, int n)
{
    if (n > 64)
        std::memcpy(to, from, static_cast<std::size_t>(n));
    else
        copy_up_to_64(to, from, n);
}

#endif
