// The AVX2 kernel: 32-byte blocks. Compiled with AVX2, BMI1, BMI2, POPCNT
// and PCLMUL; run only where the processor has them all.

#include <immintrin.h>

#include <cstdint>
#include <type_traits>

#include "copy_bytes.h"
#include "group_shuffles.h"
#include "kernels.h"
#include "scan_ends.h"
#include "prefix_xor_clmul.h"

namespace {
namespace avx2 {

struct Avx2 {
    typedef __m256i block_t;
    static constexpr int BLOCK = 32;
    static constexpr std::uint64_t ALL = 0xFFFFFFFF;
    static constexpr bool packs = false;
    static constexpr int plain_after = 0;  // the test for a block of content alone is cheap
    static constexpr bool packs_quotes = true;  // a block with quotes is packed by pack()
    static constexpr bool masked_copy = false;
    static constexpr bool writes_fields = false;

    // The one read that may reach outside the line (see split_blocks.inl),
    // and so the one function the address sanitizer is told to look away
    // from.
    __attribute__((no_sanitize("address"))) static block_t load_block(const char *at)
    {
        return _mm256_load_si256(reinterpret_cast<const __m256i *>(at));
    }

    // A block from anywhere; read only where it lies within the line.
    static block_t load_unaligned(const char *from)
    {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from));
    }

    static std::uint64_t bytes_equal(block_t bytes, char c)
    {
        return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(c))));
    }

    static bool any_equal(block_t bytes, char a, char b, char c)
    {
        const __m256i found = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(a)), _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(b))),
            _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(c)));
        return !_mm256_testz_si256(found, found);
    }

    // The NUL, the quote (0x22), the comma (0x2C) and the LF (0x0A) differ
    // in their low four bits, so one table lookup by those bits, compared
    // with the byte, finds them all. The other entries match no byte with
    // their low bits; a byte with its high bit set looks up zero, which it
    // is not.
    static bool plain(block_t bytes, bool lf)
    {
        const char n = lf ? '\n' : -1;
        const __m256i specials = _mm256_setr_epi8(0, -1, '"', -1, -1, -1, -1, -1, -1, -1, n, -1, ',', -1, -1, 0,
                                                  0, -1, '"', -1, -1, -1, -1, -1, -1, -1, n, -1, ',', -1, -1, 0);
        const __m256i found = _mm256_cmpeq_epi8(_mm256_shuffle_epi8(specials, bytes), bytes);
        return _mm256_testz_si256(found, found);
    }

    static std::uint64_t prefix_xor(std::uint64_t bits) { return prefix_xor_clmul(bits); }

    // Writes the bytes that keep marks, in order, at out, and may write
    // past them up to out + BLOCK. Each 8-byte group is packed by a shuffle
    // from the table, and the four go out by 8-byte stores that overlap.
    static void pack(block_t bytes, std::uint64_t keep, char *out)
    {
        const std::uint64_t second = 0x0808080808080808;  // the second group of a 16-byte lane
        const __m256i control = _mm256_setr_epi64x(
            static_cast<long long>(group_shuffles.of[keep & 0xFF]),
            static_cast<long long>(group_shuffles.of[(keep >> 8) & 0xFF] + second),
            static_cast<long long>(group_shuffles.of[(keep >> 16) & 0xFF]),
            static_cast<long long>(group_shuffles.of[(keep >> 24) & 0xFF] + second));
        const __m256i groups = _mm256_shuffle_epi8(bytes, control);
        const __m128i low = _mm256_castsi256_si128(groups), high = _mm256_extracti128_si256(groups, 1);
        out = store_group(out, low, keep & 0xFF);
        out = store_group(out, _mm_unpackhi_epi64(low, low), keep & 0xFF00);
        out = store_group(out, high, keep & 0xFF0000);
        store_group(out, _mm_unpackhi_epi64(high, high), 0);
    }

    // Stores the low 8 bytes of group at out; returns where the next group
    // goes, past the `kept` bytes it marks.
    static char *store_group(char *out, __m128i group, std::uint64_t kept)
    {
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out), group);
        return out + __builtin_popcountll(kept);
    }
};

#include "split_blocks.inl"

}  // namespace avx2
}  // namespace

extern "C" const csv_line_kernel csv_line_avx2_kernel =
    avx2::describe<avx2::Avx2>("avx2", CSV_LINE_NEEDS_BLOCK_READS | CSV_LINE_NEEDS_AVX2);
