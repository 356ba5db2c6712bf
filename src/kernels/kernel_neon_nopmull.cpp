// The NEON kernel for processors without PMULL: the quote count's prefix
// XOR by shifts. Every 64-bit ARM processor can run it.

#include <cstdint>
#include <type_traits>

#include "copy_bytes.h"
#include "kernels.h"
#include "scan_ends.h"
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

extern "C" const csv_line_kernel csv_line_neon_nopmull_kernel =
    neon::describe<neon::Neon>("neon_nopmull", CSV_LINE_NEEDS_BLOCK_READS);
