// The NEON kernel with PMULL: the quote count's prefix XOR by one
// carry-less multiply. Compiled with the crypto extension; run only where
// the processor has PMULL.

#include <cstdint>

#include "copy_bytes.h"
#include "kernels.h"
#include "neon_block.h"

namespace {
namespace neon_pmull {

struct NeonPmull : NeonBlock {
    // Bit i of the result is the XOR of bits 0 to i: a carry-less multiply
    // by all ones.
    static std::uint64_t prefix_xor(std::uint64_t bits)
    {
        return vgetq_lane_u64(vreinterpretq_u64_p128(vmull_p64(bits, ~std::uint64_t{0})), 0);
    }
};

#include "split_blocks.inl"

}  // namespace neon_pmull
}  // namespace

int csv_line_split_neon(const char *line, char (*fields)[FIELD_SIZE], int max_fields)
{
    return neon_pmull::split_line<neon_pmull::NeonPmull>(line, fields, max_fields);
}

int csv_line_span_neon(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields)
{
    return neon_pmull::split_span<neon_pmull::NeonPmull>(line, length, fields, max_fields);
}

int csv_line_record_neon(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields,
                         int *record_length)
{
    return neon_pmull::split_record<neon_pmull::NeonPmull>(text, length, fields, max_fields, record_length);
}
