// The NEON kernel for processors without PMULL: the quote count's prefix
// XOR by shifts. Every 64-bit ARM processor can run it.

#include <cstdint>

#include "copy_bytes.h"
#include "kernels.h"
#include "neon_block.h"

namespace {
namespace neon {

struct Neon : NeonBlock {
    static std::uint64_t prefix_xor(std::uint64_t bits)
    {
        for (int shift = 1; shift < 64; shift *= 2)
            bits ^= bits << shift;
        return bits;
    }
};

#include "split_blocks.inl"

}  // namespace neon
}  // namespace

int csv_line_split_neon_nopmull(const char *line, char (*fields)[FIELD_SIZE], int max_fields)
{
    return neon::split_line<neon::Neon>(line, fields, max_fields);
}

int csv_line_span_neon_nopmull(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields)
{
    return neon::split_span<neon::Neon>(line, length, fields, max_fields);
}

int csv_line_record_neon_nopmull(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields,
                                 int *record_length)
{
    return neon::split_record<neon::Neon>(text, length, fields, max_fields, record_length);
}
