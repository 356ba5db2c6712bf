// Included by the kernels that pack a block with a byte shuffle: for each
// mask of an 8-byte group, the shuffle indices that move its marked bytes,
// in order, to the group's front (0x80, which selects zero, behind them).
#ifndef CSV_LINE_GROUP_SHUFFLES_H
#define CSV_LINE_GROUP_SHUFFLES_H

#include <cstdint>

struct GroupShuffles {
    std::uint64_t of[256] = {};
    constexpr GroupShuffles()
    {
        for (int mask = 0; mask < 256; mask++) {
            int kept = 0;
            for (int i = 0; i < 8; i++)
                if ((mask >> i) & 1)
                    of[mask] |= static_cast<std::uint64_t>(i) << (8 * kept++);
            for (; kept < 8; kept++)
                of[mask] |= std::uint64_t{0x80} << (8 * kept);
        }
    }
};
static constexpr GroupShuffles group_shuffles;

#endif
