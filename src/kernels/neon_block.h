// Included by the NEON kernels, each inside a namespace of its own: what
// they share of the block algorithm's description (see split_blocks.inl).
// 64-byte blocks, read as four registers; content is copied in runs, and a
// block that holds quotes is packed by table lookups over 8-byte groups.
#ifndef CSV_LINE_NEON_BLOCK_H
#define CSV_LINE_NEON_BLOCK_H

#include <arm_neon.h>

#include <cstdint>

#include "group_shuffles.h"

// (Internal linkage: the two kernels are compiled for different
// processors, and no copy of this code may be shared between them.)
namespace {

struct NeonBlock {
    struct block_t {
        uint8x16_t part[4];
    };
    static constexpr int BLOCK = 64;
    static constexpr std::uint64_t ALL = ~std::uint64_t{0};
    static constexpr bool packs = false;
    static constexpr bool packs_quotes = true;
    static constexpr bool masked_copy = false;
    static constexpr bool writes_fields = false;
    // The test for a block of content alone takes about a fifth of a
    // block's scan here: it is tried only once the open run is this long.
    static constexpr int plain_after = BLOCK / 2;

    // The one read that may reach outside the line (see split_blocks.inl),
    // and so the one function the address sanitizer is told to look away
    // from. (Its loads are written out here: a function it called would be
    // checked.)
    __attribute__((no_sanitize("address"))) static block_t load_block(const char *at)
    {
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(at);
        return {{vld1q_u8(bytes), vld1q_u8(bytes + 16), vld1q_u8(bytes + 32), vld1q_u8(bytes + 48)}};
    }

    // A block from anywhere; read only where it lies within the line.
    // NEON loads take any alignment, so it is read as an aligned one is
    // (the address sanitizer then does not check it either: the page-edge
    // test and valgrind see such reads instead).
    static block_t load_unaligned(const char *from) { return load_block(from); }

    // One bit for each byte whose lane in matches is all ones, bit i for
    // byte i: each byte weighted by its place in its group of eight, then
    // the groups summed by pairwise adds.
    static std::uint64_t bits(const uint8x16_t (&matches)[4])
    {
        const uint8x16_t weights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
        const uint8x16_t low = vpaddq_u8(vandq_u8(matches[0], weights), vandq_u8(matches[1], weights));
        const uint8x16_t high = vpaddq_u8(vandq_u8(matches[2], weights), vandq_u8(matches[3], weights));
        const uint8x16_t sums = vpaddq_u8(low, high);
        return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(sums, sums)), 0);
    }

    static std::uint64_t bytes_equal(const block_t &bytes, char c)
    {
        const uint8x16_t wanted = vdupq_n_u8(static_cast<std::uint8_t>(c));
        const uint8x16_t matches[4] = {vceqq_u8(bytes.part[0], wanted), vceqq_u8(bytes.part[1], wanted),
                                       vceqq_u8(bytes.part[2], wanted), vceqq_u8(bytes.part[3], wanted)};
        return bits(matches);
    }

    static bool any_equal(const block_t &bytes, char a, char b, char c)
    {
        const uint8x16_t wanted[3] = {vdupq_n_u8(static_cast<std::uint8_t>(a)), vdupq_n_u8(static_cast<std::uint8_t>(b)),
                                      vdupq_n_u8(static_cast<std::uint8_t>(c))};
        uint8x16_t found = vdupq_n_u8(0);
        for (const uint8x16_t &part : bytes.part)
            found = vorrq_u8(found, vorrq_u8(vorrq_u8(vceqq_u8(part, wanted[0]), vceqq_u8(part, wanted[1])),
                                             vceqq_u8(part, wanted[2])));
        return vmaxvq_u32(vreinterpretq_u32_u8(found)) != 0;
    }

    // The NUL, the quote (0x22), the comma (0x2C) and the LF (0x0A) differ
    // in their low four bits, so one table lookup by those bits, compared
    // with the byte, finds them all; the other entries match no byte with
    // their low bits.
    static bool plain(const block_t &bytes, bool lf)
    {
        const std::uint8_t n = lf ? '\n' : 0xFF;
        const uint8x16_t specials = {0, 0xFF, '"', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, n, 0xFF, ',', 0xFF, 0xFF, 0};
        const uint8x16_t low_bits = vdupq_n_u8(0x0F);
        uint8x16_t found = vdupq_n_u8(0);
        for (const uint8x16_t &part : bytes.part)
            found = vorrq_u8(found, vceqq_u8(vqtbl1q_u8(specials, vandq_u8(part, low_bits)), part));
        return vmaxvq_u32(vreinterpretq_u32_u8(found)) == 0;
    }

    // Writes the bytes that keep marks, in order, at out, and may write
    // past them up to out + BLOCK: each 8-byte group packed by a lookup in
    // the table (an index past the group selects zero), the groups stored
    // by 8-byte stores that overlap, each where the kept bytes of the
    // groups before it end.
    static void pack(const block_t &bytes, std::uint64_t keep, char *out)
    {
        // The kept bytes of each group, by one count of each byte's bits;
        // times 0x0101...01, byte g sums groups 0 to g.
        const std::uint64_t counts = vget_lane_u64(vreinterpret_u64_u8(vcnt_u8(vcreate_u8(keep))), 0);
        const std::uint64_t ends = counts * 0x0101010101010101;
        const std::uint64_t second = 0x0808080808080808;  // the second group of a register
        auto *to = reinterpret_cast<std::uint8_t *>(out);
        for (int part = 0; part < 4; part++) {
            const int group = 2 * part;
            const std::uint64_t low = (keep >> (8 * group)) & 0xFF, high = (keep >> (8 * group + 8)) & 0xFF;
            const std::uint64_t start = group == 0 ? 0 : (ends >> (8 * group - 8)) & 0xFF;
            vst1_u8(to + start, vqtbl1_u8(bytes.part[part], vcreate_u8(group_shuffles.of[low])));
            vst1_u8(to + ((ends >> (8 * group)) & 0xFF),
                    vqtbl1_u8(bytes.part[part], vcreate_u8(group_shuffles.of[high] + second)));
        }
    }
};

}  // namespace

#endif
