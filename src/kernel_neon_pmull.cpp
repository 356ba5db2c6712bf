// The NEON kernel with PMULL: the quote count's prefix XOR by one
// carry-less multiply. Compiled with the crypto extension; run only where
// the processor has PMULL.

#include <cstdint>

#include "copy_bytes.h"
#include "kernels.h"
#include "neon_block.h"
#include "prefix_xor_pmull.h"

namespace {
namespace neon_pmull {

struct NeonPmull : NeonBlock {
    static std::uint64_t prefix_xor(std::uint64_t bits) { return prefix_xor_pmull(bits); }
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
