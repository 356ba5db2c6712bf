// Included by the kernels compiled with PCLMUL. Internal linkage on purpose:
// no copy of this code may be shared with a kernel compiled without it.
#ifndef CSV_LINE_PREFIX_XOR_CLMUL_H
#define CSV_LINE_PREFIX_XOR_CLMUL_H

#include <immintrin.h>

#include <cstdint>

// Bit i of the result is the XOR of bits 0 to i: a carry-less multiply by
// all ones.
static inline std::uint64_t prefix_xor_clmul(std::uint64_t bits)
{
    const __m128i product = _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(bits)),
                                                 _mm_set1_epi8(-1), 0);
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(product));
}

#endif
