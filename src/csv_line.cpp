#include "csv_line.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(CSV_LINE_PORTABLE)
#include <emmintrin.h>
#define CSV_LINE_SSE2 1
#endif

namespace {

#ifdef CSV_LINE_SSE2

// The one read that may go past the line's NUL: a whole aligned 16-byte
// block, called only for a block that holds at least one byte of the line.
// An aligned block never crosses a page boundary, so if one of its bytes can
// be read, all can. The bytes past the NUL may lie outside the line's object,
// which is why the address sanitizer is told to look away here, and only here.
__attribute__((no_sanitize("address"))) __m128i load_block(const char *block)
{
    return _mm_load_si128(reinterpret_cast<const __m128i *>(block));
}

// Walks the line's stops in order: its quotes, its separators (the commas
// outside quotes) and its NUL. Reads the line 16 aligned bytes at a time and
// keeps the stops of the current block as a bit mask, one bit a byte.
class Stops {
public:
    explicit Stops(const char *line)
    {
        const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(line);
        block_ = reinterpret_cast<const char *>(address & ~std::uintptr_t{15});
        scan(static_cast<unsigned>(address & 15));
    }

    const char *next()
    {
        // A block with no stop left has no NUL, so the next block still
        // holds bytes of the line.
        while (pending_ == 0) {
            block_ += 16;
            scan(0);
        }
        const int at = __builtin_ctz(pending_);
        pending_ &= pending_ - 1;
        return block_ + at;
    }

private:
    // Finds the stops among the block's bytes from `from` on (the bytes
    // before belong to no line).
    void scan(unsigned from)
    {
        const __m128i bytes = load_block(block_);
        const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
        const __m128i comma = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(','));
        const __m128i nul = _mm_cmpeq_epi8(bytes, _mm_setzero_si128());
        const unsigned of_line = 0xFFFFu << from;
        pending_ = mask(_mm_or_si128(_mm_or_si128(quote, comma), nul)) & of_line;
        if (pending_ == 0)
            return;
        // A comma stands inside quotes when an odd number of quotes, in
        // this block and before it, precede it.
        unsigned inside = mask(quote) & of_line;
        inside ^= inside << 1;
        inside ^= inside << 2;
        inside ^= inside << 4;
        inside ^= inside << 8;
        inside = (inside ^ quoted_) & 0xFFFFu;
        quoted_ = inside & 0x8000u ? 0xFFFFu : 0;
        pending_ &= ~(mask(comma) & inside);
    }

    static unsigned mask(__m128i bytes) { return static_cast<unsigned>(_mm_movemask_epi8(bytes)); }

    const char *block_;
    unsigned pending_;     // stops not yet returned in the current block
    unsigned quoted_ = 0;  // all 16 bits set when the blocks before end inside quotes
};

#else

// Walks the line's stops in order: its quotes, its separators (the commas
// outside quotes) and its NUL, one byte at a time.
class Stops {
public:
    explicit Stops(const char *line) : next_(line) {}

    const char *next()
    {
        const char *p = next_;
        while (*p != '\0' && *p != '"' && (quoted_ || *p != ','))
            p++;
        if (*p == '"')
            quoted_ = !quoted_;
        next_ = p + 1;
        return p;
    }

private:
    const char *next_;
    bool quoted_ = false;
};

#endif

// Copies n bytes, each once. Short runs, the common case, stay inline.
inline void copy_bytes(char *to, const char *from, std::size_t n)
{
    if (n >= 16) {
        std::memcpy(to, from, n);
        return;
    }
    for (std::size_t chunk = 8; chunk > 0; chunk /= 2) {
        if (n & chunk) {
            std::memcpy(to, from, chunk);
            to += chunk;
            from += chunk;
        }
    }
}

}  // namespace

int parse_csv_line(const char *line, char (*fields)[FIELD_SIZE], int max_fields)
{
    if (max_fields < 1)
        return 0;

    int field = 0;                     // row being filled; also the fields completed
    char *out = fields[0];             // where that row's next content byte goes
    char *last = out + FIELD_SIZE - 1; // that row's last byte, kept for its terminator
    const char *content = line;        // first byte of the line not yet stored
    Stops stops(line);

    for (;;) {
        const char *stop = stops.next();
        // The bytes up to the stop are content, as far as the row has room;
        // the surplus of a longer field is dropped.
        if (stop != content) {
            const std::size_t run = static_cast<std::size_t>(stop - content);
            const std::size_t room = static_cast<std::size_t>(last - out);
            const std::size_t kept = run < room ? run : room;
            copy_bytes(out, content, kept);
            out += kept;
        }
        content = stop + 1;

        if (*stop == ',') {
            *out = '\0';
            // A separator that fills the table ends the scan: there is no row
            // left for what follows it.
            if (++field == max_fields)
                return field;
            out = fields[field];
            last = out + FIELD_SIZE - 1;
        } else if (*stop == '\0') {
            break;
        }
        // A quote is never stored.
    }
    *out = '\0';
    return field + 1;
}
