// The AVX-512 kernel: 64-byte blocks. A field's content in a block is packed
// by VBMI2's byte compress, its quotes left out, and written with its
// terminator by one masked store.
// Compiled with AVX-512 F, BW, VL and VBMI2, BMI1, BMI2, POPCNT and PCLMUL;
// run only where the processor has them all.

#include <immintrin.h>

#include <cstdint>

#include "copy_bytes.h"
#include "kernels.h"
#include "prefix_xor_clmul.h"

namespace {
namespace avx512 {

struct Avx512 {
    typedef __m512i block_t;
    static constexpr int BLOCK = 64;
    static constexpr std::uint64_t ALL = ~std::uint64_t{0};
    static constexpr bool packs = true;

    // The one read that may reach outside the line (see split_blocks.inl),
    // and so the one function the address sanitizer is told to look away
    // from.
    __attribute__((no_sanitize("address"))) static block_t load_block(const char *at)
    {
        return _mm512_load_si512(at);
    }

    // By a masked load: the bytes it leaves out are not read at all. (The
    // ones it reads may lie past the span, hence the sanitizer's exemption.)
    __attribute__((no_sanitize("address"))) static block_t load_head(const char *at, std::uint64_t lanes,
                                                                      const char *)
    {
        return _mm512_maskz_loadu_epi8(lanes, at);
    }

    static std::uint64_t bytes_equal(block_t bytes, char c)
    {
        return _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(c));
    }

    // The NUL, the quote (0x22), the comma (0x2C) and the LF (0x0A) differ
    // in their low four bits, so one table lookup by those bits, compared
    // with the byte, finds them all. The other entries match no byte with
    // their low bits; a byte with its high bit set looks up zero, which it
    // is not. The table, in each 16 bytes: 00 FF 22 FF, FF FF FF FF,
    // FF FF 0A FF, 2C FF FF 00 (with FF for 0A when the LF is not wanted).
    static bool plain(block_t bytes, bool lf)
    {
        const long long with_lf = static_cast<long long>(lf ? 0x00FFFF2CFF0AFFFF : 0x00FFFF2CFFFFFFFF);
        const long long low = static_cast<long long>(0xFFFFFFFFFF22FF00);
        const __m512i specials = _mm512_set_epi64(with_lf, low, with_lf, low, with_lf, low, with_lf, low);
        return _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(specials, bytes), bytes) == 0;
    }

    static std::uint64_t prefix_xor(std::uint64_t bits) { return prefix_xor_clmul(bits); }

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

int csv_line_split_avx512(const char *line, char (*fields)[FIELD_SIZE], int max_fields)
{
    return avx512::split_line<avx512::Avx512>(line, fields, max_fields);
}

int csv_line_span_avx512(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields)
{
    return avx512::split_span<avx512::Avx512>(line, length, fields, max_fields);
}

int csv_line_record_avx512(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields,
                           int *record_length)
{
    return avx512::split_record<avx512::Avx512>(text, length, fields, max_fields, record_length);
}
