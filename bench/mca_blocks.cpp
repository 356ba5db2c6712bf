// The neon kernel's per-block steps, marked for llvm-mca: each region is
// one iteration of a loop of the block algorithm, compiled as the kernel
// is. "scan" finds a block's quotes, commas, NULs and LFs and counts its
// quotes (every block of a line with separators); "plain" is the loop that
// runs through blocks of content alone. Storing, whose cost depends on the
// fields, is not in either. bench/mca.sh compiles this to assembly.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "kernels/copy_bytes.h"
#include "kernels/kernels.h"
#include "kernels/scan_ends.h"
#include "kernels/neon_block.h"
#include "kernels/prefix_xor_pmull.h"

namespace {
namespace mca {

struct Neon : NeonBlock {  // as the neon kernel has it
    static std::uint64_t prefix_xor(std::uint64_t bits) { return prefix_xor_pmull(bits); }
};

#include "kernels/split_blocks.inl"

}  // namespace mca
}  // namespace

std::uint64_t scan(const char *at, std::size_t blocks)
{
    std::uint64_t quoted = 0, seen = 0;
    for (; blocks != 0; blocks--, at += mca::Neon::BLOCK) {
        __asm__ volatile("# LLVM-MCA-BEGIN scan");
        const mca::Neon::block_t bytes = mca::Neon::load_block(at);
        const mca::Specials found = mca::find_specials<mca::Neon, Ends::record>(bytes, mca::Neon::ALL);
        const mca::Masks masks = mca::count_quotes<mca::Neon, Ends::record>(found, mca::Neon::ALL, at, quoted);
        seen ^= masks.separators ^ masks.end;
        __asm__ volatile("# LLVM-MCA-END scan");
    }
    return seen;
}

const char *plain(const char *at, const char *limit)
{
    while (at < limit) {
        __asm__ volatile("# LLVM-MCA-BEGIN plain");
        const bool more = mca::Neon::plain(mca::Neon::load_block(at), true);
        __asm__ volatile("# LLVM-MCA-END plain");
        if (!more)
            break;
        at += mca::Neon::BLOCK;
    }
    return at;
}
