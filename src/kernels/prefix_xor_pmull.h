// Included by the code compiled with ARM's crypto extension (PMULL).
// Internal linkage on purpose: no copy of this code may be shared with code
// compiled without it.
#ifndef CSV_LINE_PREFIX_XOR_PMULL_H
#define CSV_LINE_PREFIX_XOR_PMULL_H

#include <arm_neon.h>

#include <cstdint>

// Bit i of the result is the XOR of bits 0 to i: a carry-less multiply by
// all ones.
static inline std::uint64_t prefix_xor_pmull(std::uint64_t bits)
{
    return vgetq_lane_u64(vreinterpretq_u64_p128(vmull_p64(bits, ~std::uint64_t{0})), 0);
}

#endif
