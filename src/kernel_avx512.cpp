// The AVX-512 kernel: 64-byte blocks. A field's content in a block is packed
// by VBMI2's byte compress, its quotes left out, and written with its
// terminator by one masked store.
// Compiled with AVX-512 F, BW, VL and VBMI2, BMI1, BMI2, POPCNT and PCLMUL;
// run only where the processor has them all.

#include <immintrin.h>

#include <cstdint>

#include "avx512_block.h"
#include "copy_bytes.h"
#include "kernels.h"
#include "scan_ends.h"

namespace {
namespace avx512 {

struct Avx512 : Avx512Block {
    static constexpr bool packs = true;

    // By a masked load: the bytes it leaves out are not read at all. (The
    // ones it reads may lie past the span, hence the sanitizer's exemption.)
    __attribute__((no_sanitize("address"))) static block_t load_head(const char *at, std::uint64_t lanes,
                                                                      const char *)
    {
        return _mm512_maskz_loadu_epi8(lanes, at);
    }

    static void store_block(char *out, block_t bytes) { _mm512_storeu_si512(out, bytes); }

    // The first `room` bits of keep, or all of them if it has fewer.
    static std::uint64_t first_bytes(std::uint64_t keep, int room)
    {
        if (__builtin_popcountll(keep) <= room)
            return keep;
        return _pdep_u64(_bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(room)), keep);
    }

    // The kept bytes packed to the front, zeros behind them. The zero-masked
    // compress waits for its destination's old value on some processors,
    // which chains every field's compress to the one before; merging into a
    // register zeroed where the compiler cannot see it keeps the form that
    // does not.
    static block_t pack(block_t bytes, std::uint64_t keep)
    {
        block_t zeros;
        __asm__("vpxord %0, %0, %0" : "=v"(zeros));
        return _mm512_mask_compress_epi8(zeros, keep, bytes);
    }

    // A masked store with no byte to store is skipped: where the page has not
    // been written since it was last cleaned, such a store can cost hundreds
    // of cycles (seen on AMD Zen 5).
    static int store_content(char *out, block_t bytes, std::uint64_t keep)
    {
        if (keep == 0)
            return 0;
        const int stored = __builtin_popcountll(keep);
        _mm512_mask_storeu_epi8(out, _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(stored)), pack(bytes, keep));
        return stored;
    }

    // The terminator is the first zero behind the packed bytes: one store
    // for both. A block that holds a stop keeps at most 63 bytes, so it has
    // one.
    static void store_field(char *out, block_t bytes, std::uint64_t keep)
    {
        const unsigned stored = static_cast<unsigned>(__builtin_popcountll(keep));
        _mm512_mask_storeu_epi8(out, _bzhi_u64(~std::uint64_t{0}, stored + 1), pack(bytes, keep));
    }
};

#include "split_blocks.inl"

}  // namespace avx512
}  // namespace

extern "C" const csv_line_kernel csv_line_avx512_kernel =
    avx512::describe<avx512::Avx512>("avx512", CSV_LINE_NEEDS_BLOCK_READS | CSV_LINE_NEEDS_AVX512VBMI2);
