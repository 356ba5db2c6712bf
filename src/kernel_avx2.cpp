// The AVX2 kernel: 32-byte blocks. Compiled with AVX2, BMI1, BMI2, POPCNT
// and PCLMUL; run only where the processor has them all.

#include <immintrin.h>

#include <cstdint>

#include "copy_bytes.h"
#include "kernels.h"
#include "prefix_xor_clmul.h"

namespace {
namespace avx2 {

typedef __m256i block_t;
enum { BLOCK = 32 };
const std::uint64_t ALL = 0xFFFFFFFF;

// The one read that may reach outside the line (see split_blocks.inl), and
// so the one function the address sanitizer is told to look away from.
__attribute__((no_sanitize("address"))) inline block_t load_block(const char *at)
{
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(at));
}

// A block from anywhere; read only where it lies within the line.
inline block_t load_unaligned(const char *from)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from));
}

inline std::uint64_t bytes_equal(block_t bytes, char c)
{
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(c))));
}

// The NUL, the quote (0x22) and the comma (0x2C) differ in their low four
// bits, so one table lookup by those bits, compared with the byte, finds all
// three. The other entries match no byte with their low bits; a byte with
// its high bit set looks up zero, which it is not.
inline bool plain(block_t bytes)
{
    const __m256i specials = _mm256_setr_epi8(0, -1, '"', -1, -1, -1, -1, -1, -1, -1, -1, -1, ',', -1, -1, 0,
                                              0, -1, '"', -1, -1, -1, -1, -1, -1, -1, -1, -1, ',', -1, -1, 0);
    const __m256i found = _mm256_cmpeq_epi8(_mm256_shuffle_epi8(specials, bytes), bytes);
    return _mm256_testz_si256(found, found);
}

#define CSV_LINE_PACKS 0
#include "split_blocks.inl"

}  // namespace avx2
}  // namespace

int csv_line_split_avx2(const char *line, char (*fields)[FIELD_SIZE], int max_fields)
{
    return avx2::split_blocks<false>(line, nullptr, fields, max_fields);
}

int csv_line_span_avx2(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields)
{
    return avx2::split_blocks<true>(line, csv_line_span_end(line, length), fields, max_fields);
}
