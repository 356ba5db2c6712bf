// The AVX-512 kernel for processors without VBMI2's byte compress: 64-byte
// blocks, and runs of content copied from the line, each run of up to a
// block by one masked load and one masked store.
// Compiled with AVX-512 F and BW, BMI1, BMI2, POPCNT and PCLMUL; run only
// where the processor has them all.

#include <immintrin.h>

#include <cstdint>
#include <type_traits>

#include "avx512_block.h"
#include "copy_bytes.h"
#include "kernels.h"
#include "scan_ends.h"

namespace {
namespace avx512bw {

struct Avx512bw : Avx512Block {
    static constexpr bool packs = false;
    static constexpr int plain_after = 0;  // the test for a block of content alone is cheap
    static constexpr bool packs_quotes = true;  // a block with quotes is packed by pack()
    static constexpr bool masked_copy = true;   // runs of up to a block are copied by copy_masked()
    static constexpr bool writes_fields = false;

    // A block from anywhere; read only where it lies within the line.
    static block_t load_unaligned(const char *from) { return _mm512_loadu_si512(from); }

    // Copies n bytes, 1 <= n <= BLOCK: the bytes the mask leaves out are
    // neither read nor written.
    static void copy_masked(char *out, const char *from, int n)
    {
        const __mmask64 bytes = _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(n));
        _mm512_mask_storeu_epi8(out, bytes, _mm512_maskz_loadu_epi8(bytes, from));
    }

    // Writes the bytes that keep marks, in order, at out, and may write
    // past them up to out + BLOCK. Without a byte compress, each 16 bytes
    // are widened to 32-bit lanes, compressed, narrowed back and stored
    // where the ones before them end. (The zero-masked forms throughout:
    // g++ 12 warns that the plain ones read an uninitialised value.)
    static void pack(block_t bytes, std::uint64_t keep, char *out)
    {
        pack_quarter(out, _mm512_maskz_extracti32x4_epi32(0xF, bytes, 0), keep);
        out += __builtin_popcountll(keep & 0xFFFF);
        pack_quarter(out, _mm512_maskz_extracti32x4_epi32(0xF, bytes, 1), keep >> 16);
        out += __builtin_popcountll(keep & 0xFFFF0000);
        pack_quarter(out, _mm512_maskz_extracti32x4_epi32(0xF, bytes, 2), keep >> 32);
        out += __builtin_popcountll(keep & 0xFFFF00000000);
        pack_quarter(out, _mm512_maskz_extracti32x4_epi32(0xF, bytes, 3), keep >> 48);
    }

    static void pack_quarter(char *out, __m128i quarter, std::uint64_t keep)
    {
        const __m512i wide = _mm512_maskz_cvtepu8_epi32(0xFFFF, quarter);
        const __m512i packed = _mm512_maskz_compress_epi32(static_cast<__mmask16>(keep), wide);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm512_maskz_cvtepi32_epi8(0xFFFF, packed));
    }
};

#include "split_blocks.inl"

}  // namespace avx512bw
}  // namespace

extern "C" const csv_line_kernel csv_line_avx512bw_kernel =
    avx512bw::describe<avx512bw::Avx512bw>("avx512bw", CSV_LINE_NEEDS_BLOCK_READS | CSV_LINE_NEEDS_AVX512BW);
