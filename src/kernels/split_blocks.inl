// The block splitter: one algorithm for every block width. The kernel file
// that includes it, inside a namespace of its own, describes its
// instruction set in a struct K:
//
//   block_t, BLOCK, ALL      a block of BLOCK bytes; ALL has one bit a byte
//   load_block(at)           the aligned block at `at`: read only when it
//                            holds a byte of the line, but its other bytes
//                            may lie outside the line's object. An aligned
//                            block never crosses a page, so if one of its
//                            bytes can be read, all can.
//   plain(b, lf)             true when b holds no NUL, quote or comma, and
//                            when lf, no LF
//   bytes_equal(b, c)        one bit for each byte of b equal to c
//   any_equal(b, x, y, z)    true when a byte of b equals x, y or z
//   prefix_xor(bits)         bit i is the XOR of bits 0 to i of bits
//   packs                    how it stores content (below)
//
// A kernel that packs (packs == true) stores each block's content as it
// goes, quotes left out by its pack, and supplies:
//
//   load_head(at, lanes, limit)
//                            the aligned block at `at` that holds the first
//                            byte of a span ending at limit; bytes ahead of
//                            the span, which lanes leaves out, are not read
//   store_block(out, b)      stores the whole block at out
//   store_content(out, b, keep)
//                            stores the bytes that keep marks, in order, at
//                            out; returns how many
//   store_field(out, b, keep)
//                            the same, then a NUL behind them
//   first_bytes(keep, room)  the first room bits of keep
//
// A kernel that copies (packs == false) copies each run of content between
// separators straight from the line, in one piece however many blocks it
// spans. It supplies:
//
//   load_unaligned(from)     the block at `from`, any alignment
//   plain_after              how long the open run must be before blocks
//                            of content alone are looked for (0: always)
//   packs_quotes             true if it has a byte shuffle to pack with:
//   pack(b, keep, out)       writes the bytes that keep marks, in order, at
//                            out, and may write past them up to out + BLOCK
//   masked_copy              true if it copies runs of up to BLOCK bytes by
//   copy_masked(out, from, n)
//                            which copies n bytes, 1 <= n <= BLOCK, and
//                            reads and writes no other
//
// Quotes that frame a field, one just after a separator and one just
// before the next, only move where a run begins or ends. Any other quote is
// a stop as well, where a run ends; with pack, a block that holds such
// quotes is packed instead, quotes and separators left out, into an image,
// whose runs go to the rows with exact lengths.
//
// Masks are uint64_t whatever the width, bit i standing for byte i of the
// block; bits at or above BLOCK are never set in ALL.
//
// Either way every stored byte is written into its place in its row, and no
// store writes a byte that is not a field's content or its terminator.
//
// Positions (parse_csv_fields) are written from the same classification;
// a kernel that writes them with vector stores says so:
//
//   writes_fields            true if it supplies write_fields (see
//                            FieldWriter below)

// Checks that K supplies what the algorithm needs of it, as described
// above: each missing or mistyped member fails to compile here, by name.
// (A block is written as load_block's result, so that no vector type is
// a template argument.)
template <class K>
struct Described {
    static_assert(K::BLOCK == 16 || K::BLOCK == 32 || K::BLOCK == 64, "BLOCK: 16, 32 or 64 bytes");
    static_assert(K::ALL == (K::BLOCK == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << K::BLOCK) - 1),
                  "ALL: one bit for each byte of a block");
    static_assert(sizeof(K::load_block(nullptr)) == K::BLOCK, "load_block(at): a block");
    static_assert(std::is_same_v<decltype(K::plain(K::load_block(nullptr), true)), bool>, "plain(b, lf)");
    static_assert(std::is_same_v<decltype(K::bytes_equal(K::load_block(nullptr), ',')), std::uint64_t>,
                  "bytes_equal(b, c)");
    static_assert(std::is_same_v<decltype(K::any_equal(K::load_block(nullptr), ',', ',', ',')), bool>,
                  "any_equal(b, x, y, z)");
    static_assert(std::is_same_v<decltype(K::prefix_xor(std::uint64_t{})), std::uint64_t>, "prefix_xor(bits)");
    static_assert(std::is_same_v<decltype(K::packs), const bool>, "packs");
    static_assert(std::is_same_v<decltype(K::writes_fields), const bool>, "writes_fields");
};

// What a kernel that packs supplies.
template <class K, bool = K::packs>
struct DescribedStoring {
    static_assert(sizeof(K::load_head(nullptr, std::uint64_t{}, nullptr)) == K::BLOCK, "load_head(at, lanes, limit)");
    static_assert(std::is_void_v<decltype(K::store_block(nullptr, K::load_block(nullptr)))>, "store_block(out, b)");
    static_assert(std::is_same_v<decltype(K::store_content(nullptr, K::load_block(nullptr), std::uint64_t{})), int>,
                  "store_content(out, b, keep)");
    static_assert(std::is_void_v<decltype(K::store_field(nullptr, K::load_block(nullptr), std::uint64_t{}))>,
                  "store_field(out, b, keep)");
    static_assert(std::is_same_v<decltype(K::first_bytes(std::uint64_t{}, 0)), std::uint64_t>,
                  "first_bytes(keep, room)");
};

// What a kernel that copies supplies.
template <class K>
struct DescribedStoring<K, false> {
    static_assert(sizeof(K::load_unaligned(nullptr)) == K::BLOCK, "load_unaligned(from): a block");
    static_assert(std::is_same_v<decltype(K::plain_after), const int>, "plain_after");
    static_assert(std::is_same_v<decltype(K::packs_quotes), const bool>, "packs_quotes");
    static_assert(std::is_same_v<decltype(K::masked_copy), const bool>, "masked_copy");
};

// The lowest set bit of bits, or 0.
static inline std::uint64_t lowest(std::uint64_t bits)
{
    return bits & (0 - bits);
}

// The bits for the first n bytes of a block, 1 <= n <= BLOCK.
template <class K>
static inline std::uint64_t first_lanes(std::ptrdiff_t n)
{
    return K::ALL >> (K::BLOCK - n);
}

// Copies the run [from, to) to out, as far as room allows; returns how many
// bytes it stored. A run known to be at most `longest` bytes long, when that
// is not 0, is copied with no test for longer ones.
template <class K, int longest = 0>
static inline int copy_run(char *out, const char *from, const char *to, std::ptrdiff_t room)
{
    const int kept = static_cast<int>(to - from < room ? to - from : room);
    if constexpr (K::masked_copy) {
        if (kept > K::BLOCK)
            std::memcpy(out, from, static_cast<std::size_t>(kept));
        else if (kept > 0)  // (a masked store of nothing can be slow)
            K::copy_masked(out, from, kept);
    } else if constexpr (longest != 0) {
        copy_less_than<longest + 1>(out, from, kept);
    } else {
        copy_bytes(out, from, kept);
    }
    return kept;
}

// The first block of a span, which starts `at` + ctz(lanes) and ends at
// limit. A kernel that packs reads it with the bytes ahead of the span left
// out. One that copies reads it from the span's first byte instead: one load
// where the span holds a whole block from there, else a copy of the span's
// bytes in this block, so that nothing outside the span is read and memory
// checkers that flag such reads stay quiet. Its masks are shifted into
// place by find_specials.
template <class K>
static inline typename K::block_t load_head(const char *at, std::uint64_t lanes, const char *limit)
{
    if constexpr (K::packs) {
        return K::load_head(at, lanes, limit);
    } else {
        const char *from = at + __builtin_ctzll(lanes);
        if (limit - from >= K::BLOCK)
            return K::load_unaligned(from);
        const char *to = limit < at + K::BLOCK ? limit : at + K::BLOCK;
        alignas(K::BLOCK) char copy[K::BLOCK] = {};
        copy_less_than<K::BLOCK>(copy, from, static_cast<int>(to - from));
        return K::load_block(copy);
    }
}

// Whether a copying kernel packs a block that holds quotes, instead of
// stopping at each quote: only one with a byte shuffle says so, and
// supplies pack(b, keep, out).
template <class K>
static constexpr bool packs_quotes()
{
    return !K::packs && K::packs_quotes;
}

template <class K>
static inline void pack_quoted(typename K::block_t bytes, std::uint64_t keep, char *out)
{
    if constexpr (packs_quotes<K>())
        K::pack(bytes, keep, out);
}

// How far past `at` a copying kernel read a span's first block, whose
// masks find_specials shifts into place.
template <class K, Ends E>
static inline int head_shift(std::uint64_t lanes)
{
    return !K::packs && E != Ends::nul && (lanes & 1) == 0 ? __builtin_ctzll(lanes) : 0;
}

// How many quotes stand in a row from byte `place` of a block on, given
// the block's quotes; place is at most the block's length.
template <class K>
static inline int quotes_from(std::uint64_t quotes, int place)
{
    if constexpr (K::BLOCK == 64) {
        // A shift by 64 is undefined, and so is the lowest bit of nothing:
        // quotes may fill a 64-byte block to its end.
        if (place == 64)
            return 0;
        const std::uint64_t others = ~(quotes >> place);
        return others != 0 ? __builtin_ctzll(others) : 64 - place;
    } else {
        return __builtin_ctzll(~(quotes >> place));  // bits from BLOCK on are never quotes
    }
}

// The place of the lowest set bit of bits, or 64 when none is: a bit that
// a shift carried out of a 64-byte block's mask stood for the next block's
// first byte.
template <class K>
static inline int first_place(std::uint64_t bits)
{
    if constexpr (K::BLOCK == 64)
        return bits != 0 ? __builtin_ctzll(bits) : 64;
    else
        return __builtin_ctzll(bits);
}

// How a copying kernel finds the runs of content in a block.
enum class Runs {
    plain,    // no quotes: a run ends at each separator and begins after it
    framed,   // quotes that frame fields: runs end at stops, begin where marked
    stopped,  // other quotes too, a stop at each run of them
    each,     // other quotes, all apart: each quote a stop
    packed,   // other quotes: runs are copied from the block's packed content
};

// The bytes of a block that a split looks at.
struct Specials {
    std::uint64_t quotes, commas, nul, lf;
};

// Whether a scan that ends as E says looks for LFs.
static constexpr bool finds_lf(Ends E)
{
    return E == Ends::record || E == Ends::fields;
}

// Step 1: the block's special bytes, among those that lanes marks as the
// line's: its quotes, separators (in `commas`), NULs and LFs. The NUL is
// looked for unless it is content, the LF only in a record.
template <class K, Ends E>
static inline Specials find_specials(typename K::block_t bytes, std::uint64_t lanes, char separator = ',')
{
    Specials found = {K::bytes_equal(bytes, '"'), K::bytes_equal(bytes, separator),
                      E != Ends::fields ? K::bytes_equal(bytes, '\0') : 0,
                      finds_lf(E) ? K::bytes_equal(bytes, '\n') : 0};
    if (lanes != K::ALL) {
        // The first or a span's last block holds bytes that are no part of
        // the line. (Cleared apart, so that other blocks skip this.)
        if (const int first = head_shift<K, E>(lanes)) {  // read from the span's first byte
            found = {found.quotes << first, found.commas << first, found.nul << first, found.lf << first};
        }
        found = {found.quotes & lanes, found.commas & lanes, found.nul & lanes, found.lf & lanes};
    }
    return found;
}

// What a block's special bytes mean once quotes are counted.
struct Masks {
    std::uint64_t separators;  // commas outside quotes, before the line's end
    std::uint64_t of_line;     // the line's bytes, up to its end
    std::uint64_t end;         // the line's end, if in this block
    std::uint64_t record_end;  // a record's LF, if in this block
};

// The bytes of a block that stand between quotes, given its quotes, counted
// from `quoted`, all ones when the blocks before end inside quotes, which
// it updates for the next block.
template <class K>
static inline std::uint64_t between_quotes(std::uint64_t quotes, std::uint64_t &quoted)
{
    std::uint64_t inside = quoted;
    if (quotes != 0) {
        inside ^= K::prefix_xor(quotes);
        quoted = 0 - ((inside >> (K::BLOCK - 1)) & 1);
    }
    return inside;
}

// Step 2: the quotes counted (see between_quotes). The line ends at its
// NUL or, in a record, at the line ending: the LF outside quotes and a CR
// just before it in this block. A record's LF is found whatever stands
// before it, NUL included.
template <class K, Ends E>
static inline Masks count_quotes(const Specials &found, std::uint64_t lanes, const char *at,
                                 std::uint64_t &quoted)
{
    const std::uint64_t inside = between_quotes<K>(found.quotes, quoted);
    std::uint64_t record_end = 0, ending = 0;
    // Tested apart, so that blocks without an LF do not wait for the count.
    if (finds_lf(E) && found.lf != 0) {
        record_end = lowest(found.lf & ~inside);
        // A CR just before the LF, in this block, belongs to the ending.
        // (Not looked for where no NUL ends the line: a CR is never a
        // separator, so the separators before the LF are those before it.)
        const std::uint64_t cr = (record_end >> 1) & lanes;
        ending = E != Ends::fields && cr != 0 && at[__builtin_ctzll(cr)] == '\r' ? cr : record_end;
    }
    const std::uint64_t end = lowest(found.nul | ending);
    // What follows the end, quotes included, is never stored.
    const std::uint64_t of_line = lanes & (end - 1);
    return {found.commas & ~inside & of_line, of_line, end, record_end};
}

// Where the record after one whose fields ended in the block at `at`
// starts, given that block's record_end and `quoted`, the quote state after
// it: just past the first LF outside quotes, or null when none comes before
// limit. The blocks after it are only searched for that LF, which needs
// only the parity of the quotes ahead of each LF.
template <class K>
static inline const char *record_next(const char *at, std::uint64_t record_end, std::uint64_t quoted,
                                      const char *limit)
{
    int odd = static_cast<int>(quoted & 1);  // quotes so far, modulo 2
    while (record_end == 0) {
        at += K::BLOCK;
        if (at >= limit)
            return nullptr;
        const typename K::block_t bytes = K::load_block(at);
        const std::uint64_t lanes = limit - at < K::BLOCK ? first_lanes<K>(limit - at) : K::ALL;
        const std::uint64_t quotes = K::bytes_equal(bytes, '"') & lanes;
        for (std::uint64_t lfs = K::bytes_equal(bytes, '\n') & lanes; lfs != 0 && record_end == 0; lfs &= lfs - 1)
            if ((odd ^ __builtin_parityll(quotes & (lowest(lfs) - 1))) == 0)
                record_end = lowest(lfs);
        odd ^= __builtin_parityll(quotes);
    }
    return at + __builtin_ctzll(record_end) + 1;
}

// What a split found: the fields stored and, for a record, where the next
// one starts (null when it has no LF outside quotes).
struct Split {
    int count;
    const char *next;
};

// The blocks that hold a line's bytes, in order: where each lies and which
// of its bytes are the line's. A span's (bounded) first block is read from
// its first byte (see load_head), the others whole and aligned; a
// NUL-terminated line's are all read aligned, and only its NUL ends it.
template <class K, bool bounded = true>
struct Blocks {
    const char *at;         // the aligned block being read
    std::uint64_t lanes;    // its bytes that are the line's
    const char *const limit;
    // A span goes on past a block that starts below this.
    const std::uintptr_t more_after;

    Blocks(const char *text, const char *limit_)
        : at(text - (reinterpret_cast<std::uintptr_t>(text) & (K::BLOCK - 1))),
          lanes(K::ALL & (K::ALL << (text - at))), limit(limit_),
          more_after(bounded ? reinterpret_cast<std::uintptr_t>(limit_) - K::BLOCK : 0)
    {
        clip();
    }

    typename K::block_t first() const
    {
        return !bounded || (lanes & 1) != 0 ? K::load_block(at) : load_head<K>(at, lanes, limit);
    }

    typename K::block_t load() const { return K::load_block(at); }

    // Moves to the next block, whose lanes clip() then clips.
    void advance()
    {
        at += K::BLOCK;
        lanes = K::ALL;
    }

    // Moves to the next block, clipped; false, staying, when this one holds
    // the span's last byte.
    bool next()
    {
        const std::ptrdiff_t left = limit - at - K::BLOCK;  // the span's bytes from the next block on
        if (left <= 0)
            return false;
        at += K::BLOCK;
        lanes = left < K::BLOCK ? first_lanes<K>(left) : K::ALL;
        return true;
    }

    // Moves past blocks that hold no quote, separator or LF, up to the
    // span's last block at most. (For positions, where the NUL is content.)
    void skip_content(char separator)
    {
        while (limit - at > K::BLOCK) {
            if (K::any_equal(K::load_block(at), '"', separator, '\n'))
                return;
            at += K::BLOCK;
        }
        clip();
    }

    // Leaves out the bytes past a span's end from its last block; true when
    // this is that block.
    bool clip()
    {
        const bool last = bounded && limit - at <= K::BLOCK;
        if (last)
            lanes &= first_lanes<K>(limit - at);
        return last;
    }
};

// The same for the record at text, ending by limit, with nothing stored.
template <class K>
static const char *record_next_only(const char *text, const char *limit)
{
    if (limit <= text)
        return nullptr;
    const Blocks<K> blocks(text, limit);
    std::uint64_t quoted = 0;
    const Specials found = find_specials<K, Ends::record>(blocks.first(), blocks.lanes);
    const Masks masks = count_quotes<K, Ends::record>(found, blocks.lanes, blocks.at, quoted);
    return record_next<K>(blocks.at, masks.record_end, quoted, limit);
}

// Writes positions: the fields of one record as parse_csv_fields gives
// them, from the separators found block by block. A kernel that writes a
// block's fields with vector stores says so (writes_fields) and supplies
//
//   write_fields(out, separators, quotes, base, start, before, quotes_at_start)
//                            writes one field for each separator, at most
//                            BLOCK, of the block base bytes into the text:
//                            each ends at its separator and starts after the
//                            one before, the first at start; quotes, the
//                            block's, counted with `before`, the quotes
//                            before the block, less quotes_at_start for the
//                            first. Writes nothing else.
//
// Quotes are counted from the text's first byte, not from the record's, so
// that a walk over many records counts on across their ends: a field's
// quotes are those up to its end less those up to its start.
template <class K>
struct FieldWriter {
    csv_line_field *next;      // the entry for the open field
    int room;             // entries left, for it and those after it
    int start;            // the open field's first byte, from the text
    int quotes_at_start;  // quotes in the text before it

    // Stores the fields that end at the separators of the block `base`
    // bytes into the text, of which `before` quotes come before the block;
    // with `quoted`, quotes in the block are counted up to each. Returns
    // true when a separator fills the table.
    template <bool quoted>
    bool store(std::uint64_t separators, std::uint64_t quotes, int base, int before)
    {
        const int count = __builtin_popcountll(separators);
        if constexpr (K::writes_fields) {
            // (For one or two, the scalar stores below cost less.)
            if (count > 2 && count < room) {
                K::write_fields(next, separators, quotes, base, start, before, quotes_at_start);
                next += count;
                room -= count;
                const int last = 63 - __builtin_clzll(separators);
                start = base + last + 1;
                quotes_at_start =
                    before + (quoted ? __builtin_popcountll(quotes & ((std::uint64_t{1} << last) - 1)) : 0);
                return false;
            }
        }
        const int stored = count < room ? count : room;
        room -= stored;
        if (!quoted) {
            // Only the first field can hold quotes, from blocks before.
            const int place = __builtin_ctzll(separators);
            *next++ = {start, base + place - start, before - quotes_at_start};
            start = base + place + 1;
            quotes_at_start = before;
            separators &= separators - 1;
        }
        for (int k = quoted ? 0 : 1; k < stored; k++, separators &= separators - 1) {
            const int place = __builtin_ctzll(separators);
            const int quotes_to_end =
                quoted ? before + __builtin_popcountll(quotes & ((std::uint64_t{1} << place) - 1)) : before;
            *next++ = {start, base + place - start, quoted ? quotes_to_end - quotes_at_start : 0};
            start = base + place + 1;
            quotes_at_start = quotes_to_end;
        }
        return room == 0;
    }

    // Stores the record's last field, ending `length` bytes into the text
    // with `quotes` quotes before that.
    void finish(int length, int quotes)
    {
        *next++ = {start, length - start, quotes - quotes_at_start};
        room--;
    }

    // Stores the fields that end at a block's separators, as store does;
    // true when the walk stops there: for one record when they fill the
    // table, for many (parse_csv_records) when they do not all fit in it.
    template <bool many>
    bool stops(std::uint64_t separators, std::uint64_t quotes, int base, int before)
    {
        if (many && __builtin_popcountll(separators) > room)
            return true;
        const bool filled = quotes == 0 ? store<false>(separators, 0, base, before)
                                        : store<true>(separators, quotes, base, before);
        return !many && filled;
    }

    // Stores the record's last field, which ends at its LF, `lf` bytes into
    // the text, with `quotes` quotes before it. A CR just before the LF,
    // here or in the block before, belongs to the ending.
    void finish_at(const char *text, int lf, int quotes)
    {
        finish(lf - (lf > start && text[lf - 1] == '\r'), quotes);
    }

    // Opens the first field of the record that starts `at` bytes into the
    // text, with `quotes` quotes before it.
    void restart(int at, int quotes)
    {
        start = at;
        quotes_at_start = quotes;
    }
};

// The records kept by a walk that indexes every record of the text
// (parse_csv_records). A record is kept when its LF is met with room for
// its last field, and for itself in the record table; the walk stops at the
// first field end that finds no room, and gives up what the open record
// stored, so that a later call from `next` finds the record whole.
struct Kept {
    int *records;
    int capacity;
    int count;        // records kept
    int first_field;  // the open record's first field
    int next;         // where the open record starts
    long long quotes, line_feeds;  // before next; once the walk ends unstopped, in the whole text
    bool full;        // the walk stopped at a record with no room
};

// A walk that finds one record's fields (parse_csv_fields) keeps none: its
// fields are its result.
struct OneRecord {};

// Where a walk over the blocks stops at a full table, in the block at
// `at`: one record's fields are those stored, and its end, after the
// block's LF record_end, if any, is still found; with many, the open record
// is left whole for a later call. (Not a lambda over the walk's state: with
// one, g++ kept that state on the stack, and the avx512 kernel's walk over
// plain records ran 12% slower. Kept out of the walk for one record, where
// a full table is rare, so that its search for the end takes no registers
// there.)
template <class K>
[[gnu::cold, gnu::noinline]] static Split stopped(OneRecord &, const char *, const char *at, std::uint64_t record_end,
                                                  std::uint64_t quoted, const char *limit, int max_fields)
{
    return {max_fields, record_next<K>(at, record_end, quoted, limit)};
}

template <class K>
static inline Split stopped(Kept &kept, const char *text, const char *, std::uint64_t, std::uint64_t, const char *,
                            int)
{
    kept.full = true;
    return {kept.count, text + kept.next};
}

// Finds where the fields of the record at text lie, up to limit (see
// parse_csv_fields), and where the next record starts; or, with a Kept,
// those of every record that ends before limit (see parse_csv_records).
// One walk serves both: a block's separators outside quotes end fields and
// each LF outside quotes ends a record, which ends a walk for one record;
// a walk for many goes on past it in the same block, LF after LF. Blocks
// without a quote or an LF take the same short way in both. `quoted` is all
// ones when the text starts between quotes. Returns the fields stored, or the
// records kept, and where the record after them starts (for one record,
// null when no LF outside quotes ends it). Needs a span of one byte at
// least and, for one record, room for one field.
template <class K, class Records>
static Split find_fields(const char *text, const char *limit, char separator, csv_line_field *fields, int max_fields,
                         Records &records, std::uint64_t quoted = 0)
{
    constexpr bool many = std::is_same_v<Records, Kept>;
    Blocks<K> blocks(text, limit);
    FieldWriter<K> writer = {fields, max_fields, 0, 0};
    int before = 0;      // quotes before the block
    int line_feeds = 0;  // (many) LFs before the block
    for (typename K::block_t bytes = blocks.first();; bytes = blocks.load()) {
        const Specials found = find_specials<K, Ends::fields>(bytes, blocks.lanes, separator);
        const int base = static_cast<int>(blocks.at - text);
        if ((found.quotes | found.lf) == 0) {
            // No quote to count and no end to find: the separators, if the
            // block does not stand between quotes. A block of nothing but
            // content, and the blocks like it after it, only carry the open
            // field on.
            const std::uint64_t separators = found.commas & ~quoted;
            if (separators != 0 && writer.template stops<many>(separators, 0, base, before))
                return stopped<K>(records, text, blocks.at, 0, quoted, limit, max_fields);
            if (!blocks.next())
                break;
            if (separators == 0)
                blocks.skip_content(separator);
            continue;
        }
        if constexpr (!many) {
            // The separators up to the record's LF and that LF, from the
            // masks of count_quotes. (Not from the loop over LFs below:
            // with it, g++ reloaded the avx512 kernel's byte constants in
            // every block, and plain lines split 20% slower.)
            const Masks masks = count_quotes<K, Ends::fields>(found, blocks.lanes, blocks.at, quoted);
            // A separator that fills the table ends the fields stored; the
            // record's end is still found.
            if (masks.separators != 0 && writer.template stops<false>(masks.separators, found.quotes, base, before))
                return stopped<K>(records, text, blocks.at, masks.record_end, quoted, limit, max_fields);
            if (masks.record_end != 0) {
                const int place = __builtin_ctzll(masks.record_end);
                const int quotes = before + __builtin_popcountll(found.quotes & (masks.record_end - 1));
                writer.finish_at(text, base + place, quotes);
                return {max_fields - writer.room, blocks.at + place + 1};
            }
        } else {
            // Each LF outside quotes, lowest first, ends the fields of the
            // separators below it, then its record; the separators past the
            // last end fields of the record still open.
            const std::uint64_t outside = ~between_quotes<K>(found.quotes, quoted);
            std::uint64_t separators = found.commas & outside;
            for (std::uint64_t ends = found.lf & outside; ends != 0; ends &= ends - 1) {
                const std::uint64_t end = lowest(ends);
                const std::uint64_t below = separators & (end - 1);
                if ((below != 0 && writer.template stops<true>(below, found.quotes, base, before)) ||
                    writer.room < 1 || records.count >= records.capacity)
                    return stopped<K>(records, text, blocks.at, end, quoted, limit, max_fields);
                const int lf = base + __builtin_ctzll(end);
                const int quotes = before + __builtin_popcountll(found.quotes & (end - 1));
                writer.finish_at(text, lf, quotes);
                records.records[records.count++] = records.first_field;
                records.first_field = static_cast<int>(writer.next - fields);
                records.next = lf + 1;
                records.quotes = quotes;
                records.line_feeds = line_feeds + __builtin_popcountll(found.lf & (end - 1)) + 1;
                writer.restart(lf + 1, quotes);
                separators ^= below;
            }
            if (separators != 0 && writer.template stops<true>(separators, found.quotes, base, before))
                return stopped<K>(records, text, blocks.at, 0, quoted, limit, max_fields);
        }
        before += __builtin_popcountll(found.quotes);
        if constexpr (many)
            line_feeds += __builtin_popcountll(found.lf);
        if (!blocks.next())
            break;
    }
    if constexpr (many) {
        // No LF outside quotes from the last record kept on: the rest, if
        // any, is a record that does not end in the text.
        records.quotes = before;
        records.line_feeds = line_feeds;
        return {records.count, text + records.next};
    } else {
        // No LF outside quotes: the last field ends at the span's end.
        writer.finish(static_cast<int>(limit - text), before);
        return {max_fields - writer.room, nullptr};
    }
}

// The rows of the field table: the one being filled and those after it.
struct Rows {
    char *out;   // where the row's next content byte goes
    char *last;  // the row's last byte, kept for its terminator
    int left;    // the row being filled and those after it

    Rows(char (*fields)[FIELD_SIZE], int max_fields)
        : out(fields[0]), last(fields[0] + FIELD_SIZE - 1), left(max_fields)
    {
    }

    std::ptrdiff_t room() const { return last - out; }

    // Moves on from the row just ended to the next; false when there is
    // none. A separator that fills the table ends the fields: there is no
    // row left for what follows it.
    bool next()
    {
        if (--left == 0)
            return false;
        last += FIELD_SIZE;
        out = last - (FIELD_SIZE - 1);
        return true;
    }
};

// What a block's masks say the split does with it, shared by the ways of
// storing: its bytes, their special bytes and what those mean, and the
// bytes of content it holds, which a way may narrow.
template <class K>
struct Block {
    const char *at;        // where it lies
    std::uint64_t lanes;   // its bytes that are the line's
    typename K::block_t bytes;
    Specials found;
    Masks masks;
    std::uint64_t content;  // the line's bytes less its quotes and separators
};

// Storing by packing (packs == true): each block's content is packed into
// the rows as the block is read, quotes left out.
template <class K, Ends E>
struct PackRows {
    static constexpr bool bounded = E != Ends::nul;
    Rows rows;
    const char *cut = nullptr;  // (a record) the last byte of the row that last dropped bytes

    PackRows(const char *, char (*fields)[FIELD_SIZE], int max_fields, char *) : rows(fields, max_fields) {}

    // Copying ways pass over blocks of content alone here; this one stores
    // them (store_whole).
    [[gnu::always_inline]] void skip(Blocks<K, bounded> &, typename K::block_t &) {}

    // A block of nothing but content, likely the first of many in a long
    // field, is stored whole, and the ones after it through a tighter loop.
    // It may take as many blocks as the row has room for and, in a span,
    // those before the last block, counted once. True when it did.
    [[gnu::always_inline]] bool store_whole(Blocks<K, bounded> &blocks, typename K::block_t bytes,
                                            const Specials &found, bool ends)
    {
        if (blocks.lanes != K::ALL || ends || (found.quotes | found.nul | found.commas | found.lf) != 0 ||
            rows.room() < K::BLOCK)
            return false;
        K::store_block(rows.out, bytes);
        rows.out += K::BLOCK;
        std::ptrdiff_t whole = rows.room() / K::BLOCK;
        if (bounded && whole > (blocks.limit - blocks.at - 1) / K::BLOCK - 1)
            whole = (blocks.limit - blocks.at - 1) / K::BLOCK - 1;
        for (; whole > 0 && K::plain(K::load_block(blocks.at + K::BLOCK), E == Ends::record);
             whole--, rows.out += K::BLOCK) {
            blocks.at += K::BLOCK;
            K::store_block(rows.out, K::load_block(blocks.at));
        }
        return true;
    }

    // Stores the fields that end in the block; true when a separator fills
    // the table.
    [[gnu::always_inline]] bool store_fields(Block<K> &block)
    {
        // Only a field begun in an earlier block can run out of room in its
        // row, and only its first bytes in this block are kept; a field that
        // begins here has room for all the block holds.
        if (rows.room() < K::BLOCK) {
            const std::uint64_t first_field = block.content & (lowest(block.masks.separators | block.masks.end) - 1);
            const std::uint64_t kept = K::first_bytes(first_field, static_cast<int>(rows.room()));
            block.content ^= first_field ^ kept;
            if (kept != first_field)
                cut = rows.last;
        }
        for (std::uint64_t stops = block.masks.separators; stops != 0; stops &= stops - 1) {
            const std::uint64_t keep = block.content & (lowest(stops) - 1);
            K::store_field(rows.out, block.bytes, keep);
            block.content ^= keep;
            if (!rows.next())
                return true;
        }
        return false;
    }

    // Stores the rest of the line's last field, which ends in the block.
    // A record's CR LF may straddle two blocks; the CR was then stored with
    // the block before, if the row had room.
    [[gnu::always_inline]] void finish(const Block<K> &block, bool cr_before, const char *)
    {
        if (cr_before && cut != rows.last)
            rows.out--;
        if (bounded && block.content == K::ALL) {
            // A span that ends with a whole block of content: no byte of
            // the block is left for the terminator.
            K::store_block(rows.out, block.bytes);
            rows.out[K::BLOCK] = '\0';
        } else {
            K::store_field(rows.out, block.bytes, block.content);
        }
    }

    // The rest of the block belongs to the row being filled.
    [[gnu::always_inline]] void carry(const Block<K> &block)
    {
        rows.out += K::store_content(rows.out, block.bytes, block.content);
    }
};

// Storing by copying (packs == false): each run of content between stops
// is copied from the line in one piece, however many blocks it spans.
template <class K, Ends E>
struct CopyRuns {
    static constexpr bool bounded = E != Ends::nul;
    Rows rows;
    const char *run;  // the first content byte not yet stored
    // The bit of the block's byte that the open run starts at, when it is
    // the line's first byte or follows a separator; else 0.
    std::uint64_t resumed;
    // (With pack) a block's content, packed: the caller's, so that the
    // rest of this stays in registers.
    char *const image;
    bool packed = false;  // the block's runs come from the image, not the line

    CopyRuns(const char *line, char (*fields)[FIELD_SIZE], int max_fields, char *image_)
        : rows(fields, max_fields), run(line),
          resumed(std::uint64_t{1} << (reinterpret_cast<std::uintptr_t>(line) & (K::BLOCK - 1))), image(image_)
    {
    }

    // Blocks of nothing but content: the run goes on through them. A block
    // without a NUL, short of a span's end, is followed by one that holds
    // more of the line. (The two tests are joined by `&` into one branch:
    // as two, they halved this loop's speed.) A kernel whose test for them
    // costs more than a little may look for them only once the run still
    // open is plain_after bytes long, so that short fields do not pay for a
    // test that fails.
    [[gnu::always_inline]] void skip(Blocks<K, bounded> &blocks, typename K::block_t &bytes)
    {
        if (blocks.lanes == K::ALL && (K::plain_after == 0 || blocks.at - run >= K::plain_after)) {
            const char *at = blocks.at;
            while ((!bounded || reinterpret_cast<std::uintptr_t>(at) < blocks.more_after) &
                   K::plain(bytes, E == Ends::record)) {
                at += K::BLOCK;
                bytes = K::load_block(at);
                resumed = 0;
            }
            blocks.at = at;
        }
    }

    // This way stores no block whole: runs are copied at their ends.
    [[gnu::always_inline]] bool store_whole(Blocks<K, bounded> &, typename K::block_t, const Specials &, bool)
    {
        return false;
    }

    // Copies the run that ends at each stop, found the block's way (a
    // Runs); returns true when a separator fills the table. (One loop for
    // each way, so that a block without quotes pays nothing for them.)
    // With quotes unpacked, starts marks where the run after each stop
    // begins, and the stops that quote_stops marks end no field.
    template <Runs R>
    [[gnu::always_inline]] bool copy_runs(const Block<K> &block, std::uint64_t stops, std::uint64_t starts,
                                          std::uint64_t quote_stops)
    {
        const char *at = block.at;
        for (; stops != 0; stops &= stops - 1) {
            const std::uint64_t stop = lowest(stops);
            const char *here = R == Runs::packed ? image + __builtin_popcountll(block.content & (stop - 1))
                                                 : at + __builtin_ctzll(stop);
            // Content past the row's room is dropped; the stop still counts.
            if (here != run)  // quotes and separators often stand side by side
                rows.out += copy_run<K, R == Runs::packed ? K::BLOCK : 0>(rows.out, run, here, rows.room());
            if constexpr (R == Runs::framed || R == Runs::stopped) {
                run = at + first_place<K>(starts);
                starts &= starts - 1;
            } else {
                run = R == Runs::packed ? here : here + 1;
            }
            if ((R == Runs::stopped || R == Runs::each) && (stop & quote_stops) != 0)
                continue;
            *rows.out = '\0';
            if (!rows.next())
                return true;
        }
        return false;
    }

    // Stores the fields that end in the block; true when a separator fills
    // the table.
    [[gnu::always_inline]] bool store_fields(Block<K> &block)
    {
        const Masks &masks = block.masks;
        const char *at = block.at;
        const std::uint64_t quotes = block.found.quotes & masks.of_line;
        packed = false;
        if (quotes == 0)
            return copy_runs<Runs::plain>(block, masks.separators, 0, 0);
        // Quotes are never stored. Most frame a field: one just after a
        // separator (or where the open run starts), one alone just before
        // the next separator. (No quote is both: it would put one of the
        // two inside quotes.) These only move where runs begin and end:
        // each field's run ends at its separator, or at the closing quote
        // before it. Any other run of quotes is a stop, at its first quote.
        // The run after each stop begins past the quotes there, found by a
        // carry through them.
        const std::uint64_t firsts = quotes & ~(quotes << 1);
        const std::uint64_t closing = firsts & (masks.separators >> 1);
        const std::uint64_t quote_stops = firsts & ~((masks.separators << 1) | resumed | closing);
        if (quote_stops != 0 && packs_quotes<K>()) {
            // Other quotes, and a byte shuffle: the block's content, quotes
            // and separators left out, is packed into an image, and each
            // field's run is copied from there, so that a quote costs no
            // more than other content. The run begun before the block goes
            // first.
            packed = true;
            if (run < at)
                rows.out += copy_run<K>(rows.out, run, at, rows.room());
            pack_quoted<K>(block.bytes, block.content >> head_shift<K, E>(block.lanes), image);
            run = image;
            return copy_runs<Runs::packed>(block, masks.separators, 0, 0);
        }
        if (quote_stops != 0 && (quotes & (quotes << 1)) == 0) {
            // Other quotes, all apart: each quote is a stop, with the run
            // resuming just past it. With no run of quotes to pass over,
            // that costs less than finding where runs begin.
            return copy_runs<Runs::each>(block, masks.separators | quotes, 0, quotes);
        }
        if (resumed & quotes)
            run += quotes_from<K>(quotes, __builtin_ctzll(resumed));
        const std::uint64_t stops = (masks.separators ^ (closing << 1)) | closing | quote_stops;
        const std::uint64_t after = (masks.separators | quote_stops) << 1;
        const std::uint64_t starts = (((after & quotes) + quotes) | after) & ~quotes;
        return quote_stops == 0 ? copy_runs<Runs::framed>(block, stops, starts, 0)
                                : copy_runs<Runs::stopped>(block, stops, starts, quote_stops);
    }

    // Stores the rest of the line's last field, which ends in the block,
    // or at limit. A record's CR LF may straddle two blocks; the CR is then
    // the last byte of the run still to copy.
    [[gnu::always_inline]] void finish(const Block<K> &block, bool cr_before, const char *limit)
    {
        const Masks &masks = block.masks;
        if (packed)
            rows.out += copy_run<K, K::BLOCK>(rows.out, run, image + __builtin_popcountll(block.content), rows.room());
        else
            rows.out += copy_run<K>(rows.out, run,
                                    masks.end != 0 ? block.at + __builtin_ctzll(masks.end) - cr_before : limit,
                                    rows.room());
        *rows.out = '\0';
    }

    // The rest of the block belongs to the row being filled. After packed
    // runs, the bytes after the block's last quote or separator stay a run
    // of the line, begun here: so a long field goes on as one run, and a
    // record's CR just before the next block waits with it.
    [[gnu::always_inline]] void carry(const Block<K> &block)
    {
        const char *at = block.at;
        if (packed) {
            const std::uint64_t last_stop =
                std::uint64_t{1} << (63 - __builtin_clzll(block.found.quotes | block.masks.separators));
            const std::uint64_t before = (last_stop << 1) - 1;
            rows.out += copy_run<K, K::BLOCK>(rows.out, run, image + __builtin_popcountll(block.content & before),
                                              rows.room());
            run = at + 64 - __builtin_clzll(before);
        }
        resumed = block.masks.separators >> (K::BLOCK - 1);
    }
};

// Where the record after one whose fields ended in the block at `at`
// starts (see record_next); only a record looks.
template <class K, Ends E>
static inline const char *record_next_after(const char *at, std::uint64_t record_end, std::uint64_t quoted,
                                            const char *limit)
{
    return E == Ends::record ? record_next<K>(at, record_end, quoted, limit) : nullptr;
}

// Splits the line from `line` to its end (see Ends) and, for a record,
// finds where the next starts. limit is used unless E is Ends::nul. The
// way of storing, chosen by the kernel, does what the steps below name.
template <class K, Ends E>
static Split split_blocks(const char *line, const char *limit, char (*fields)[FIELD_SIZE], int max_fields)
{
    constexpr bool bounded = E != Ends::nul;
    if (max_fields < 1)
        return {0, E == Ends::record ? record_next_only<K>(line, limit) : nullptr};
    if (bounded && limit <= line) {
        fields[0][0] = '\0';
        return {1, nullptr};
    }
    Blocks<K, bounded> blocks(line, limit);
    // (Copying, with pack) a block's content, packed. Twice a block long:
    // g++ cannot tell that a run copied from it ends inside its first half,
    // and warns of reads past its end otherwise.
    alignas(16) char image[K::packs ? 1 : 2 * K::BLOCK];
    std::conditional_t<K::packs, PackRows<K, E>, CopyRuns<K, E>> storing(line, fields, max_fields, image);
    std::uint64_t quoted = 0;  // all ones while the blocks so far end inside quotes
    // (Blocks of content alone are passed over at the loop's end, so that
    // the next block's classification is written once: g++ made two
    // copies of it, each with its own constants, when they were passed at
    // its start.)
    for (typename K::block_t bytes = blocks.first();;
         blocks.advance(), bytes = blocks.load(), storing.skip(blocks, bytes)) {
        const bool ends = blocks.clip();  // a span ends at limit unless the line ends sooner
        const Specials found = find_specials<K, E>(bytes, blocks.lanes);
        if (storing.store_whole(blocks, bytes, found, ends))
            continue;
        const Masks masks = count_quotes<K, E>(found, blocks.lanes, blocks.at, quoted);
        Block<K> block = {blocks.at, blocks.lanes, bytes, found, masks,
                          masks.of_line & ~found.quotes & ~masks.separators};
        if (storing.store_fields(block))
            return {max_fields, record_next_after<K, E>(blocks.at, masks.record_end, quoted, limit)};
        // Only a block with a NUL or an LF, or a span's last, may hold the
        // line's end. A record's end waits for the quotes to be counted, so
        // for a record that is tested first.
        if ((E != Ends::record || (found.nul | found.lf) != 0 || ends) && (masks.end != 0 || ends)) {
            const bool cr_before = E == Ends::record && masks.end == 1 && masks.record_end == 1 &&
                                   blocks.at > line && blocks.at[-1] == '\r';
            storing.finish(block, cr_before, limit);
            return {max_fields - storing.rows.left + 1,
                    record_next_after<K, E>(blocks.at, masks.record_end, quoted, limit)};
        }
        storing.carry(block);
    }
}

// The entries of a kernel: the four splitters here, then the index and
// the chunk summary.
template <class K>
static int split_line(const char *line, char (*fields)[FIELD_SIZE], int max_fields)
{
    return split_blocks<K, Ends::nul>(line, nullptr, fields, max_fields).count;
}

template <class K>
static int split_span(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields)
{
    return split_blocks<K, Ends::span>(line, csv_line_span_end(line, length), fields, max_fields).count;
}

template <class K>
static int split_record(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields,
                        int *record_length)
{
    const Split split = split_blocks<K, Ends::record>(text, csv_line_span_end(text, length), fields, max_fields);
    if (record_length != nullptr)
        *record_length = split.next != nullptr ? static_cast<int>(split.next - text) : 0;
    return split.count;
}

template <class K>
static int split_fields(const char *text, int length, char separator, csv_line_field *fields, int max_fields,
                        int *record_length)
{
    if (csv_line_separator_refused(separator))
        return -1;
    const char *limit = csv_line_span_end(text, length);
    Split split = {0, nullptr};
    if (max_fields < 1) {
        split.next = record_next_only<K>(text, limit);
    } else if (limit == text) {
        fields[0] = {0, 0, 0};
        split.count = 1;
    } else {
        OneRecord one;
        split = find_fields<K>(text, limit, separator, fields, max_fields, one);
    }
    if (record_length != nullptr)
        *record_length = split.next != nullptr ? static_cast<int>(split.next - text) : 0;
    return split.count;
}

// Indexes every record that ends in the text (parse_csv_records), by the
// walk that finds one record's fields, gone on past each record's end.
template <class K>
static int index_records(const char *text, int length, char separator, csv_line_index *index)
{
    if (csv_line_separator_refused(separator))
        return -1;
    Kept kept = {index->records, index->record_capacity, 0, 0, 0, 0, 0, false};
    if (length > 0)
        find_fields<K>(text, text + length, separator, index->fields, index->field_capacity, kept,
                       index->quoted != 0 ? ~std::uint64_t{0} : 0);
    index->record_count = kept.count;
    index->field_count = kept.first_field;
    index->next = kept.next;
    index->full = kept.full;
    index->quotes = kept.quotes;
    index->line_feeds = kept.line_feeds;
    return kept.count;
}

// Summarises a chunk (csv_line_chunk_scan). Bit i of `between` is set when byte
// i stands between quotes for a chunk that begins outside them; a chunk
// that begins between them has every bit flipped, so one mask serves both
// states. The state carried from block to block comes from the parity of
// the block's quotes, not from `between`, so that no block waits for the
// prefix XOR of the one before.
template <class K>
static void scan_chunk(const char *text, long long length, csv_line_chunk *summary)
{
    csv_line_chunk found = {0, 0, {-1, -1}};
    if (length > 0) {
        Blocks<K> blocks(text, text + length);
        typename K::block_t bytes = blocks.first();
        std::uint64_t carried = 0;  // all ones when the block begins between quotes
        bool searching = true;      // for a first record in either state
        int shift = head_shift<K, Ends::span>(blocks.lanes);  // the first block's, read from the chunk's start
        for (;; shift = 0) {
            const std::uint64_t quotes = (K::bytes_equal(bytes, '"') << shift) & blocks.lanes;
            const std::uint64_t lfs = (K::bytes_equal(bytes, '\n') << shift) & blocks.lanes;
            const int count = __builtin_popcountll(quotes);
            if (searching && lfs != 0) {
                if (quotes == 0) {
                    // One state stands outside quotes all through the block.
                    const int outside = static_cast<int>(carried & 1);
                    if (found.first_record[outside] < 0)
                        found.first_record[outside] = blocks.at - text + __builtin_ctzll(lfs) + 1;
                } else {
                    const std::uint64_t between = K::prefix_xor(quotes) ^ carried;
                    const std::uint64_t ends[2] = {lfs & ~between, lfs & between};
                    for (int state = 0; state < 2; state++)
                        if (found.first_record[state] < 0 && ends[state] != 0)
                            found.first_record[state] = blocks.at - text + __builtin_ctzll(ends[state]) + 1;
                }
                searching = found.first_record[0] < 0 || found.first_record[1] < 0;
            }
            carried ^= 0 - static_cast<std::uint64_t>(count & 1);
            found.quotes += count;
            found.line_feeds += __builtin_popcountll(lfs);
            if (!blocks.next())
                break;
            bytes = blocks.load();
        }
    }
    *summary = found;
}

// The kernel's descriptor: its name, what it needs and its entries.
template <class K>
static constexpr csv_line_kernel describe(const char *name, unsigned needs)
{
    static_assert(sizeof(Described<K>) + sizeof(DescribedStoring<K>) > 0);
    return {name, needs, split_line<K>, split_span<K>, split_record<K>, split_fields<K>, scan_chunk<K>,
            index_records<K>};
}
