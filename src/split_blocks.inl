// The block splitter: one algorithm for every block width. The kernel file
// that includes it, inside a namespace of its own, first supplies for its
// instruction set:
//
//   block_t, BLOCK, ALL      a block of BLOCK bytes; ALL has one bit a byte
//   load_block(at)           the aligned block at `at`: read only when it
//                            holds a byte of the line, but its other bytes
//                            may lie outside the line's object. An aligned
//                            block never crosses a page, so if one of its
//                            bytes can be read, all can.
//   load_head(at, lanes, limit)
//                            (kernels that pack) the aligned block at `at`
//                            that holds the first byte of a span ending at
//                            limit, and bytes ahead of it, which are not
//                            read: lanes marks the bytes from the span's
//                            first on
//   load_unaligned(from)     (kernels that do not) the block at `from`, any
//                            alignment; a load_head below is built on it,
//                            which returns the block from the span's first
//                            byte instead, and only its masks are used,
//                            shifted into place
//   plain(b)                 true when b holds no NUL, quote or comma
//   bytes_equal(b, c)        one bit for each byte of b equal to c
//   prefix_xor(bits)         bit i is the XOR of bits 0 to i of bits
//   CSV_LINE_PACKS           (a macro) 1 if it packs content in registers
//
// A kernel that packs stores each block's content as it goes, quotes left
// out by its pack, and supplies:
//
//   store_block(out, b)      stores the whole block at out
//   store_content(out, b, keep)
//                            stores the bytes that keep marks, in order, at
//                            out; returns how many
//   store_field(out, b, keep)
//                            the same, then a NUL behind them; returns
//                            nothing, since the field then ends
//   first_bytes(keep, room)  the first room bits of keep
//
// A kernel that does not stops at quotes too, and copies each run of
// content between stops straight from the line, in one piece however many
// blocks it spans.
//
// Masks are uint64_t whatever the width, bit i standing for byte i of the
// block; bits at or above BLOCK are never set in ALL.
//
// Either way every stored byte is written once, into its place in its row:
// no store writes a byte that is not a field's content or its terminator.

#if !CSV_LINE_PACKS
// Copies the run [from, to) to out, as far as room allows; returns how many
// bytes it stored.
static inline int copy_run(char *out, const char *from, const char *to, int room)
{
    const int kept = to - from < room ? static_cast<int>(to - from) : room;
    copy_bytes(out, from, kept);
    return kept;
}

// The block from the span's first byte on, not from `at`: the caller shifts
// its masks into place. One load where the span holds a whole block from
// there, else a copy of the span's bytes in this block; either way nothing
// outside the span is read, which keeps memory checkers that flag such
// reads quiet.
inline block_t load_head(const char *at, std::uint64_t lanes, const char *limit)
{
    const char *from = at + __builtin_ctzll(lanes);
    if (limit - from >= BLOCK)
        return load_unaligned(from);
    const char *to = limit < at + BLOCK ? limit : at + BLOCK;
    alignas(BLOCK) char copy[BLOCK] = {};
    copy_bytes(copy, from, static_cast<int>(to - from));
    return load_block(copy);
}
#endif

// The bits for the first n bytes of a block, 1 <= n <= BLOCK.
static inline std::uint64_t first_lanes(std::ptrdiff_t n)
{
    return ALL >> (BLOCK - n);
}

// Splits the line from `line` to its NUL or, when Bounded, to limit if that
// comes first.
template <bool Bounded>
static int split_blocks(const char *line, const char *limit, char (*fields)[FIELD_SIZE], int max_fields)
{
    if (max_fields < 1)
        return 0;
    if (Bounded && limit <= line) {
        fields[0][0] = '\0';
        return 1;
    }

    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(line) & (BLOCK - 1);
    const char *at = line - offset;  // the aligned block being read
    // Its bytes that are the line's: in the first block, those from the
    // line's first byte on; in a span's last, those before its limit.
    std::uint64_t lanes = ALL & (ALL << offset);
    std::uint64_t quoted = 0;           // all ones while the blocks so far end inside quotes
    int rows_left = max_fields;         // the row being filled and those after it
    char *out = fields[0];              // where that row's next content byte goes
    char *last = out + FIELD_SIZE - 1;  // that row's last byte, kept for its terminator
#if !CSV_LINE_PACKS
    const char *run = line;             // the first content byte not yet stored
    // A span goes on past a block that starts below this.
    const std::uintptr_t more_after = Bounded ? reinterpret_cast<std::uintptr_t>(limit) - BLOCK : 0;
#endif

    // Nothing before a span is read, so its first block is read apart.
    for (block_t bytes = Bounded && lanes != ALL ? load_head(at, lanes, limit) : load_block(at);;
         at += BLOCK, lanes = ALL, bytes = load_block(at)) {
#if !CSV_LINE_PACKS
        // Blocks of nothing but content: the run goes on through them. A
        // block without a NUL, short of a span's end, is followed by one
        // that holds more of the line. (The two tests are joined by `&`
        // into one branch: as two, they halved this loop's speed.)
        if (lanes == ALL)
            while ((!Bounded || reinterpret_cast<std::uintptr_t>(at) < more_after) & plain(bytes)) {
                at += BLOCK;
                bytes = load_block(at);
            }
#endif
        std::uint64_t quotes = bytes_equal(bytes, '"');
        std::uint64_t nul = bytes_equal(bytes, '\0');
        std::uint64_t commas = bytes_equal(bytes, ',');
        // A span ends at limit unless a NUL ends it sooner.
        const bool ends = Bounded && limit - at <= BLOCK;
        if (ends)
            lanes &= first_lanes(limit - at);
        std::uint64_t of_line = ALL;
        if (lanes != ALL) {
            // The first or a span's last block holds bytes that are no part
            // of the line. (Cleared apart, so that other blocks skip this.)
#if !CSV_LINE_PACKS
            if (Bounded && (lanes & 1) == 0) {  // read from the span's first byte
                const int offset_in_block = __builtin_ctzll(lanes);
                quotes <<= offset_in_block;
                nul <<= offset_in_block;
                commas <<= offset_in_block;
            }
#endif
            quotes &= lanes;
            nul &= lanes;
            of_line = lanes;
#if CSV_LINE_PACKS
        } else if (!ends && (quotes | nul | commas) == 0 && last - out >= BLOCK) {
            // A block of nothing but content, likely the first of many in
            // a long field: the ones after it go through a tighter loop. A
            // block without a NUL, short of a span's end, is followed by one
            // that holds more of the line.
            store_block(out, bytes);
            out += BLOCK;
            // It may take as many blocks as the row has room for and, in a
            // span, those before the last block, counted once.
            std::ptrdiff_t blocks = (last - out) / BLOCK;
            if (Bounded && blocks > (limit - at - 1) / BLOCK - 1)
                blocks = (limit - at - 1) / BLOCK - 1;
            for (; blocks > 0 && plain(load_block(at + BLOCK)); blocks--, out += BLOCK) {
                at += BLOCK;
                store_block(out, load_block(at));
            }
            continue;
#endif
        }
        const std::uint64_t end = nul & (0 - nul);  // the line's NUL, if it is in this block
        // What follows the NUL, quotes included, is never looked at.
        of_line &= end - 1;

        std::uint64_t inside = quoted;  // bytes that stand between quotes
        if (quotes != 0) {
            inside ^= prefix_xor(quotes);
            quoted = 0 - ((inside >> (BLOCK - 1)) & 1);
        }
        const std::uint64_t separators = commas & ~inside & of_line;

#if CSV_LINE_PACKS
        std::uint64_t content = of_line & ~quotes & ~separators;
        std::uint64_t stops = separators;
        // Only a field begun in an earlier block can run out of room in its
        // row, and only its first bytes in this block are kept; a field that
        // begins here has room for all the block holds.
        if (last - out < BLOCK) {
            const std::uint64_t first_stop = (stops | end) & (0 - (stops | end));
            const std::uint64_t first_field = content & (first_stop - 1);
            content ^= first_field ^ first_bytes(first_field, static_cast<int>(last - out));
        }
#else
        std::uint64_t stops = separators | (quotes & of_line);
#endif
        for (; stops != 0; stops &= stops - 1) {
            const std::uint64_t stop = stops & (0 - stops);
#if CSV_LINE_PACKS
            const std::uint64_t keep = content & (stop - 1);
            store_field(out, bytes, keep);
            content ^= keep;
#else
            const char *here = at + __builtin_ctzll(stop);
            // Content past the row's room is dropped; the stop still counts.
            if (here != run)  // quotes and separators often stand side by side
                out += copy_run(out, run, here, static_cast<int>(last - out));
            run = here + 1;
            if (stop & quotes)
                continue;  // a quote is never stored
            *out = '\0';
#endif
            // A separator that fills the table ends the scan: there is no
            // row left for what follows it.
            if (--rows_left == 0)
                return max_fields;
            last += FIELD_SIZE;
            out = last - (FIELD_SIZE - 1);
        }

        // The rest of the block belongs to the row being filled, up to the
        // line's end if it is here.
#if CSV_LINE_PACKS
        if (end != 0 || ends) {
            if (Bounded && content == ALL) {
                // A span that ends with a whole block of content: no byte
                // of the block is left for the terminator.
                store_block(out, bytes);
                out[BLOCK] = '\0';
            } else {
                store_field(out, bytes, content);
            }
            return max_fields - rows_left + 1;
        }
        out += store_content(out, bytes, content);
#else
        if (end != 0 || ends) {
            const char *stop = end != 0 ? at + __builtin_ctzll(end) : limit;
            out += copy_run(out, run, stop, static_cast<int>(last - out));
            *out = '\0';
            return max_fields - rows_left + 1;
        }
#endif
    }
}
