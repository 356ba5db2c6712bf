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
    std::memcpy(to, from, size);
    std::memcpy(to + n - size, from + n - size, size);
}

// Copies n bytes, 0 <= n <= 15.
static inline void copy_below_16(char *to, const char *from, int n)
{
    if (n >= 8)
        copy_overlapping<8>(to, from, n);
    else if (n >= 4)
        copy_overlapping<4>(to, from, n);
    else if (n >= 2)
        copy_overlapping<2>(to, from, n);
    else if (n == 1)
        *to = *from;
}

// Copies n bytes, 0 <= n < bound, where bound is at most 64: no branch
// is taken for a size the bound rules out.
template <int bound>
static inline void copy_less_than(char *to, const char *from, int n)
{
    if constexpr (bound > 32) {
        if (n > 32)
            return copy_overlapping<32>(to, from, n);
    }
    if constexpr (bound > 16) {
        if (n >= 16)
            return copy_overlapping<16>(to, from, n);
    }
    copy_below_16(to, from, n);
}

// Copies n bytes. Runs of up to 64, the common case, stay inline, and the
// shortest, the most common, are told apart first.
// (The ladder is written out, not as copy_less_than<65>: so written, g++ 12
// inlined it otherwise, and the neon kernel took 5% more instructions a
// line.)
static inline void copy_bytes(char *to, const char *from, int n)
{
    if (n < 16)
        copy_below_16(to, from, n);
    else if (n <= 32)
        copy_overlapping<16>(to, from, n);
    else if (n <= 64)
        copy_overlapping<32>(to, from, n);
    else
        std::memcpy(to, from, static_cast<std::size_t>(n));
}

#endif
