/*
 * Text in other encodings made UTF-8, and UTF-8 checked or mended, block by
 * block as the reader reads it. Internal to the library; not installed.
 *
 * Every converter reads n bytes at in and writes to out, which must hold
 * the converter's bound of n (below), and returns the bytes written. None
 * allocates, and none reads or writes outside in[0..n) and that bound;
 * in and out must not overlap.
 *
 * The streaming converters are called on consecutive blocks of one input.
 * A character cut by the end of a block is not consumed: *used is set to
 * the bytes consumed, and the caller passes the rest again at the front of
 * the next block. With `last` no more input follows, and every byte is
 * consumed. A block that holds nothing but the start of one character
 * consumes nothing unless `last`; the caller must then add more to it.
 */
#ifndef CSV_LINE_INPUT_TRANSCODE_H
#define CSV_LINE_INPUT_TRANSCODE_H

#include <stddef.h>

namespace csv_line::input {

/* The Unicode replacement character, U+FFFD, in UTF-8. */
constexpr unsigned char kReplacement[3] = {0xEF, 0xBF, 0xBD};

/*
 * UTF-16, little- or big-endian as `big_endian` says, to UTF-8.
 *
 * A high surrogate followed by a low one becomes one 4-byte character.
 * A surrogate that is not half of such a pair is written, when `replace`,
 * as U+FFFD; otherwise as the 3-byte form UTF-8 would give it (ED A0 80 to
 * ED BF BF), which utf8_valid_prefix rejects. U+FEFF is converted like any
 * other character.
 *
 * Not consumed unless `last`: a trailing odd byte, and a high surrogate
 * whose next unit is not yet whole. At `last`, such an incomplete end (an
 * odd byte, or a high surrogate and at most one byte after it) becomes one
 * U+FFFD when `replace`; otherwise the surrogate is written as above and
 * the odd byte as the single byte FF, which is never UTF-8.
 *
 * Bound: 3 bytes for each unit or odd byte, 3 * ceil(n / 2).
 */
size_t utf16_to_utf8(const unsigned char *in, size_t n, bool big_endian, bool last, bool replace, char *out,
                     size_t *used);
constexpr size_t utf16_to_utf8_bound(size_t n)
{
    return n / 2 * 3 + (n & 1) * 3;
}

/* ISO 8859-1: each byte is the code point of its value. Bound: 2n. */
size_t latin1_to_utf8(const unsigned char *in, size_t n, char *out);
constexpr size_t latin1_to_utf8_bound(size_t n)
{
    return 2 * n;
}

/*
 * Windows-1252: 0x80 to 0x9F as that code page assigns them, but 0x81,
 * 0x8D, 0x8F, 0x90 and 0x9D, which it leaves unassigned and which become
 * the code points of their values; the rest as ISO 8859-1. Bound: 3n
 * (U+20AC and the other punctuation of 0x80 to 0x9F take 3 bytes).
 */
size_t cp1252_to_utf8(const unsigned char *in, size_t n, char *out);
constexpr size_t cp1252_to_utf8_bound(size_t n)
{
    return 3 * n;
}

/*
 * UTF-8 copied as it is, but each maximal invalid subsequence replaced by
 * one U+FFFD: the longest start of a well-formed sequence that cannot be
 * finished, or else the single byte that starts none (C0, C1, F5 to FF, a
 * stray continuation byte). Overlong forms, surrogates (ED A0 to ED BF)
 * and code points above U+10FFFF are invalid. Not consumed unless `last`:
 * the start of a well-formed sequence cut by the end of the block (at most
 * 3 bytes). Bound: 3n.
 */
size_t utf8_replace(const unsigned char *in, size_t n, bool last, char *out, size_t *used);
constexpr size_t utf8_replace_bound(size_t n)
{
    return 3 * n;
}

/*
 * The offset of the first byte of the first sequence in text[0..n) that
 * is invalid or cut short by the end, as utf8_replace judges them; n when
 * all of it is UTF-8.
 */
size_t utf8_valid_prefix(const char *text, size_t n);

}  // namespace csv_line::input

#endif
