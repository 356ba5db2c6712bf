// The block splitter: one algorithm for every block width. The kernel file
// that includes it, inside a namespace of its own, first supplies for its
// instruction set:
//
//   block_t, BLOCK, ALL      a block of BLOCK bytes; ALL has one bit a byte
//   load_block(at)           the aligned block at `at`
//   bytes_equal(b, c)        one bit for each byte of b equal to c
//   prefix_xor(bits)         bit i is the XOR of bits 0 to i
//   store_block(out, b)      stores the whole block at out
//   store_content(out, at, b, keep, room)
//                            stores the bytes that keep marks, in order and
//                            at most room of them, at out; returns how many
//   store_field(out, at, b, keep, room)
//                            the same, then a NUL behind them
//
// Masks are uint64_t whatever the width, bit i standing for byte i of the
// block; bits at or above BLOCK are never set in ALL.
//
// Every stored byte is written once, into its place in its row: no store
// writes a byte that is not a field's content or its terminator.

static int split_blocks(const char *line, char (*fields)[FIELD_SIZE], int max_fields)
{
    if (max_fields < 1)
        return 0;

    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(line) & (BLOCK - 1);
    const char *at = line - offset;                        // the aligned block being read
    std::uint64_t before = (std::uint64_t{1} << offset) - 1;  // its bytes ahead of the line
    std::uint64_t quoted = 0;  // all ones while the blocks read so far end inside quotes
    int field = 0;             // the row being filled; also the fields completed
    int length = 0;            // content bytes stored in that row

    for (;; at += BLOCK, before = 0) {
        const block_t bytes = load_block(at);
        const std::uint64_t quotes = bytes_equal(bytes, '"') & ~before;
        const std::uint64_t nul = bytes_equal(bytes, '\0') & ~before;
        const std::uint64_t end = nul & (0 - nul);  // the line's NUL, if it is in this block
        // The bytes of the line in this block. What follows the NUL, quotes
        // included, is never looked at.
        const std::uint64_t of_line = (end - 1) & ALL & ~before;

        std::uint64_t inside = quoted;  // bytes that stand between quotes
        if (quotes != 0) {
            inside ^= prefix_xor(quotes);
            quoted = 0 - ((inside >> (BLOCK - 1)) & 1);
        }
        const std::uint64_t separators = bytes_equal(bytes, ',') & ~inside & of_line;
        std::uint64_t content = of_line & ~quotes & ~separators;

        // A block of nothing but content, and room for all of it.
        if (content == ALL && length <= FIELD_SIZE - 1 - BLOCK) {
            store_block(fields[field] + length, bytes);
            length += BLOCK;
            continue;
        }

        for (std::uint64_t stops = separators | end; stops != 0; stops &= stops - 1) {
            const std::uint64_t stop = stops & (0 - stops);
            // Content past the row's room is dropped; the stop still counts.
            store_field(fields[field] + length, at, bytes, content & (stop - 1), FIELD_SIZE - 1 - length);
            if (stop == end)
                return field + 1;
            // A separator that fills the table ends the scan: there is no
            // row left for what follows it.
            if (++field == max_fields)
                return field;
            length = 0;
            content &= ~(stop - 1);
        }
        length += store_content(fields[field] + length, at, bytes, content, FIELD_SIZE - 1 - length);
    }
}
