// Included by the AVX-512 kernels: what they share of the block algorithm's
// description (see split_blocks.inl). 64-byte blocks in one register, their
// masks straight from byte compares. Internal linkage on purpose: each
// kernel is compiled for its own instruction set, and no copy of this code
// may be shared between them.
#ifndef CSV_LINE_AVX512_BLOCK_H
#define CSV_LINE_AVX512_BLOCK_H

#include <immintrin.h>

#include <cstdint>

#include "prefix_xor_clmul.h"

namespace {

struct Avx512Block {
    typedef __m512i block_t;
    static constexpr int BLOCK = 64;
    static constexpr std::uint64_t ALL = ~std::uint64_t{0};

    // The one read that may reach outside the line (see split_blocks.inl),
    // and so the one function the address sanitizer is told to look away
    // from.
    __attribute__((no_sanitize("address"))) static block_t load_block(const char *at)
    {
        return _mm512_load_si512(at);
    }

    static std::uint64_t bytes_equal(block_t bytes, char c)
    {
        return _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(c));
    }

    static bool any_equal(block_t bytes, char a, char b, char c)
    {
        return (_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(a)) | _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(b)) |
                _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(c))) != 0;
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
};

}  // namespace

#endif
