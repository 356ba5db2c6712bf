// The AVX-512 kernel: 64-byte blocks. A field's content in a block is packed
// by VBMI2's byte compress, its quotes left out, and written with its
// terminator by one masked store.
// Compiled with AVX-512 F, BW, VL and VBMI2, BMI1, BMI2, POPCNT and PCLMUL;
// run only where the processor has them all.

#include <immintrin.h>

#include <cstdint>
#include <type_traits>

#include "avx512_block.h"
#include "copy_bytes.h"
#include "kernels.h"
#include "scan_ends.h"

namespace {
namespace avx512 {

struct Avx512 : Avx512Block {
    static constexpr bool packs = true;
    static constexpr bool writes_fields = true;

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

    // Writes the fields that end at a block's separators (see FieldWriter
    // in split_blocks.inl), sixteen at a time. (The zero-masked intrinsic
    // forms, as in the avx512bw kernel: g++ 12 warns that the plain ones
    // read an uninitialised value.) The separators' places come
    // from a byte compress of 0 to 63; the quotes before each from the
    // same compress of where the separators stand among the separators and
    // quotes together (a place there less the separator's index is the
    // quotes before it). Starts, lengths and quote counts are made in three
    // registers, woven into the fields' order and stored by masked stores
    // that write whole fields only.
    static void write_fields(csv_line_field *out, std::uint64_t separators, std::uint64_t quotes, int base, int start,
                             int before, int quotes_at_start)
    {
        const __m512i bytes = _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46,
                                              45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28,
                                              27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10,
                                              9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        const __m512i lanes = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        __m512i places = _mm512_maskz_compress_epi8(separators, bytes);
        __m512i ranks = _mm512_maskz_compress_epi8(_pext_u64(separators, separators | quotes), bytes);
        const int count = __builtin_popcountll(separators);
        __m512i ends_before = _mm512_set1_epi32(start - 1);
        __m512i quotes_before = _mm512_set1_epi32(quotes_at_start);
        for (int first = 0; first < count; first += 16, out += 16) {
            const __m512i ends = _mm512_add_epi32(widen(places), _mm512_set1_epi32(base));
            const __m512i quotes_to =
                _mm512_add_epi32(_mm512_sub_epi32(widen(ranks), lanes), _mm512_set1_epi32(before - first));
            // The next sixteen to the front.
            places = _mm512_maskz_alignr_epi32(0xFFFF, places, places, 4);
            ranks = _mm512_maskz_alignr_epi32(0xFFFF, ranks, ranks, 4);
            // Each field starts after the end before it, and its quotes are
            // those up to its end less those up to that one.
            const __m512i starts =
                _mm512_add_epi32(_mm512_maskz_alignr_epi32(0xFFFF, ends, ends_before, 15), _mm512_set1_epi32(1));
            const __m512i lengths = _mm512_sub_epi32(ends, starts);
            const __m512i counts =
                _mm512_sub_epi32(quotes_to, _mm512_maskz_alignr_epi32(0xFFFF, quotes_to, quotes_before, 15));
            store_woven(reinterpret_cast<int *>(out), starts, lengths, counts, count - first < 16 ? count - first : 16);
            ends_before = ends;
            quotes_before = quotes_to;
        }
    }

    // The register's first 16 bytes, each widened to 32 bits.
    static __m512i widen(__m512i bytes)
    {
        return _mm512_maskz_cvtepu8_epi32(0xFFFF, _mm512_maskz_extracti32x4_epi32(0xF, bytes, 0));
    }

    // Stores n fields, n <= 16, from the three registers of their members,
    // as 3n ints in the fields' order. (A masked store with nothing to
    // store is skipped, as in store_content.)
    static void store_woven(int *out, __m512i starts, __m512i lengths, __m512i counts, int n)
    {
        // For the int at place d of the 48: member d % 3 of field d / 3.
        // The starts and lengths by one two-source permute, the counts over
        // them by a masked one.
        const __m512i pairs[3] = {
            _mm512_set_epi32(5, 0, 20, 4, 0, 19, 3, 0, 18, 2, 0, 17, 1, 0, 16, 0),
            _mm512_set_epi32(26, 10, 0, 25, 9, 0, 24, 8, 0, 23, 7, 0, 22, 6, 0, 21),
            _mm512_set_epi32(0, 31, 15, 0, 30, 14, 0, 29, 13, 0, 28, 12, 0, 27, 11, 0)};
        const __m512i fields[3] = {
            _mm512_set_epi32(5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 1, 1, 1, 0, 0, 0),
            _mm512_set_epi32(10, 10, 9, 9, 9, 8, 8, 8, 7, 7, 7, 6, 6, 6, 5, 5),
            _mm512_set_epi32(15, 15, 15, 14, 14, 14, 13, 13, 13, 12, 12, 12, 11, 11, 11, 10)};
        const __mmask16 count_lanes[3] = {0x4924, 0x2492, 0x9249};
        const int ints = 3 * n;
        for (int part = 0; part < 3 && 16 * part < ints; part++) {
            const int here = ints - 16 * part < 16 ? ints - 16 * part : 16;
            const __m512i woven = _mm512_mask_permutexvar_epi32(_mm512_permutex2var_epi32(starts, pairs[part], lengths),
                                                                 count_lanes[part], fields[part], counts);
            const __mmask16 whole = static_cast<__mmask16>(_bzhi_u32(0xFFFF, static_cast<unsigned>(here)));
            _mm512_mask_storeu_epi32(out + 16 * part, whole, woven);
        }
    }
};

#include "split_blocks.inl"

}  // namespace avx512
}  // namespace

extern "C" const csv_line_kernel csv_line_avx512_kernel =
    avx512::describe<avx512::Avx512>("avx512", CSV_LINE_NEEDS_BLOCK_READS | CSV_LINE_NEEDS_AVX512VBMI2);
