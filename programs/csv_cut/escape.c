/* A field's bytes into a printer's output: escaped, so that each output
   line is one record (TAB, LF, CR and backslash as \t, \n, \r and \\), or
   as CSV through the library's writer. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "cut.h"

/* One bit in each byte of a word that may need an escape: TAB, LF, CR,
   backslash, and the bytes from 0 to 13 that need none, which then take
   the slow way. The lowest flagged byte is always one of them; bytes above
   it may be flagged falsely. */
static uint64_t may_need_escape(uint64_t word)
{
    const uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    const uint64_t backslashes = word ^ (ones * '\\');
    return (((word - ones * 14) & ~word) | ((backslashes - ones) & ~backslashes)) & highs;
}

/* The 8 bytes at p as a word whose lowest byte is the first in memory,
   whatever the byte order: the borrows of may_need_escape run from lower
   bytes to higher ones, so only bytes after a flagged one may be flagged
   falsely. */
static uint64_t load_in_order(const char *p)
{
    uint64_t word;
    memcpy(&word, p, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

/* How many bytes of a word from load_in_order come before the first one
   that flags marks. */
static unsigned bytes_before(uint64_t flags)
{
#if defined(__GNUC__)
    return (unsigned)__builtin_ctzll(flags) / 8;
#else
    unsigned n = 0;
    while (!(flags & ((uint64_t)0x80 << (8 * n))))
        n++;
    return n;
#endif
}

/* Appends the n bytes at p, escaped, in pieces of up to half out_limit
   bytes (rounded up), so that a piece, escaped, fits in the room that
   flush_full leaves, with the 8 bytes a word may write past it. Bytes go a
   word at a time: a word may be read past the n bytes, up to
   cut->readable, the end of the record's last field, and what it holds
   past them is never written out. */
void put_escaped(struct cut *cut, const char *p, size_t n)
{
    const size_t half = (cut->out_limit + 1) / 2;
    while (n > 0) {
        const size_t piece = n < half ? n : half;
        const char *end = p + piece;
        char *out;
        flush_full(cut);
        out = cut->out + cut->used;
        while (p != end) {
            if (cut->readable - p >= 8) {
                const size_t left = (size_t)(end - p);
                uint64_t flags = may_need_escape(load_in_order(p));
                unsigned plain;
                if (left < 8)
                    flags |= (uint64_t)0x80 << (8 * left); /* a stop at the end */
                plain = flags == 0 ? 8 : bytes_before(flags);
                memcpy(out, p, 8);
                out += plain;
                p += plain;
                if (plain == 8 || p == end)
                    continue;
            }
            switch (*p) {
            case '\t': *out++ = '\\'; *out++ = 't'; break;
            case '\n': *out++ = '\\'; *out++ = 'n'; break;
            case '\r': *out++ = '\\'; *out++ = 'r'; break;
            case '\\': *out++ = '\\'; *out++ = '\\'; break;
            default: *out++ = *p;
            }
            p++;
        }
        cut->used = (size_t)(out - cut->out);
        n -= piece;
    }
}

void put_unquoted(struct cut *cut, const char *p, const char *end, int doubled)
{
    while (p < end) {
        const char *quote = memchr(p, '"', (size_t)(end - p));
        if (quote == NULL)
            quote = end;
        put_escaped(cut, p, (size_t)(quote - p));
        if (quote == end)
            return;
        if (doubled)
            put_byte(cut, '"');
        p = quote + 1 + doubled;
    }
}

/* In pieces that fit the room flush_full leaves. */
void put_plain(struct cut *cut, const char *p, size_t n)
{
    while (n > 0) {
        const size_t piece = n < cut->out_limit ? n : cut->out_limit;
        flush_full(cut);
        memcpy(cut->out + cut->used, p, piece);
        cut->used += piece;
        p += piece;
        n -= piece;
    }
}

/* Appends field k of the record as the library's writer writes it: its
   value, quoted with its quotes doubled exactly where a CSV reader needs
   it. A malformed field's value is its content by the splitting rule;
   returns -1 for one, else 0. */
int put_csv_field(struct cut *cut, int k)
{
    const int index = cut->first_field + k;
    const csv_line_text value = csv_line_batch_value(cut->batch, index);
    const char separator = cut->list->out_separator;
    size_t room, n;

    flush_full(cut);
    room = 2 * cut->out_limit + 8 - cut->used;
    n = csv_line_field_write(cut->out + cut->used, room, value.data, (size_t)value.length, separator);
    if (n <= room) {
        cut->used += n;
    } else {
        /* Longer than the room left: written whole elsewhere first. */
        char *whole = malloc(n);
        if (whole == NULL) {
            say(cut, "out of memory");
            cut->problems++;
        } else {
            csv_line_field_write(whole, n, value.data, (size_t)value.length, separator);
            put_plain(cut, whole, n);
            free(whole);
        }
    }
    return -csv_line_batch_malformed(cut->batch, index);
}
