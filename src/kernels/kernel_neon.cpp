// The NEON kernel with PMULL: the quote count's prefix XOR by one
// carry-less multiply. Compiled with the crypto extension; run only where
// the processor has PMULL.

#include <cstdint>
#include <type_traits>

#include "copy_bytes.h"
#include "kernels.h"
#include "scan_ends.h"
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

extern "C" const csv_line_kernel csv_line_neon_kernel =
    neon_pmull::describe<neon_pmull::NeonPmull>("neon", CSV_LINE_NEEDS_BLOCK_READS | CSV_LINE_NEEDS_PMULL);
