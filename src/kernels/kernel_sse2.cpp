// The SSE2 kernel: 16-byte blocks, on every x86-64 processor.

#include <emmintrin.h>

#include <cstdint>
#include <type_traits>

#include "copy_bytes.h"
#include "kernels.h"
#include "scan_ends.h"

namespace {
namespace sse2 {

struct Sse2 {
    typedef __m128i block_t;
    static constexpr int BLOCK = 16;
    static constexpr std::uint64_t ALL = 0xFFFF;
    static constexpr bool packs = false;
    static constexpr int plain_after = 0;  // the test for a block of content alone is cheap
    // No byte shuffle: quotes stay stops. (Taking dropped bytes out of each
    // 8-byte group with shifts measured twice as slow on quoted lines.)
    static constexpr bool packs_quotes = false;
    static constexpr bool masked_copy = false;
    static constexpr bool writes_fields = false;

    // The one read that may reach outside the line (see split_blocks.inl),
    // and so the one function the address sanitizer is told to look away
    // from.
    __attribute__((no_sanitize("address"))) static block_t load_block(const char *at)
    {
        return _mm_load_si128(reinterpret_cast<const __m128i *>(at));
    }

    // A block from anywhere; read only where it lies within the line.
    static block_t load_unaligned(const char *from)
    {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(from));
    }

    static std::uint64_t bytes_equal(block_t bytes, char c)
    {
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
    }

    static bool any_equal(block_t bytes, char a, char b, char c)
    {
        const __m128i found = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(a)), _mm_cmpeq_epi8(bytes, _mm_set1_epi8(b))),
            _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)));
        return _mm_movemask_epi8(found) != 0;
    }

    static bool plain(block_t bytes, bool lf)
    {
        const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
        const __m128i comma = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(','));
        const __m128i nul = _mm_cmpeq_epi8(bytes, _mm_setzero_si128());
        __m128i found = _mm_or_si128(_mm_or_si128(quote, comma), nul);
        if (lf)
            found = _mm_or_si128(found, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')));
        return _mm_movemask_epi8(found) == 0;
    }

    // By shifts: not every x86-64 processor has PCLMUL.
    static std::uint64_t prefix_xor(std::uint64_t bits)
    {
        bits ^= bits << 1;
        bits ^= bits << 2;
        bits ^= bits << 4;
        bits ^= bits << 8;
        return bits;
    }

};

#include "split_blocks.inl"

}  // namespace sse2
}  // namespace

extern "C" const csv_line_kernel csv_line_sse2_kernel =
    sse2::describe<sse2::Sse2>("sse2", CSV_LINE_NEEDS_BLOCK_READS);
