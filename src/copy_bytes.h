// Included by the kernels that copy runs of content straight from the line.
// Internal linkage on purpose: each kernel's file is compiled for its own
// instruction set, and no copy of this code may be shared between them.
#ifndef CSV_LINE_COPY_BYTES_H
#define CSV_LINE_COPY_BYTES_H

#include <cstring>

// Copies n bytes, storing each exactly once. Runs shorter than 16 bytes,
// the common case, stay inline.
static inline void copy_bytes(char *to, const char *from, int n)
{
    if (n >= 16) {
        std::memcpy(to, from, static_cast<std::size_t>(n));
        return;
    }
    for (int chunk = 8; chunk > 0; chunk /= 2) {
        if (n & chunk) {
            std::memcpy(to, from, static_cast<std::size_t>(chunk));
            to += chunk;
            from += chunk;
        }
    }
}

#endif
