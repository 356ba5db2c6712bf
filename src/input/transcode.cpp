// Text made UTF-8 and UTF-8 checked. Runs of ASCII, most of any CSV file,
// go a block at a time: 16 or 32 bytes with SSE2, two 8-byte words
// elsewhere; everything else one character at a time. Words are loaded by
// memcpy and tested against masks laid out byte by byte the same way, so
// nothing depends on the processor's byte order.
//
// CSV_LINE_TRANSCODE_PORTABLE leaves SSE2 out, so that the tests check the
// word path on x86-64 too.

#include "input/transcode.h"

#include <stdint.h>
#include <string.h>

#if defined(__SSE2__) && !defined(CSV_LINE_TRANSCODE_PORTABLE)
#define CSV_LINE_TRANSCODE_SSE2 1
#include <emmintrin.h>
#endif

namespace csv_line::input {
namespace {

#ifndef CSV_LINE_TRANSCODE_SSE2
inline uint64_t load64(const unsigned char *p)
{
    uint64_t w;
    memcpy(&w, p, sizeof w);
    return w;
}

// A word whose bytes in memory are first, second, first, second...
inline uint64_t pairs(unsigned char first, unsigned char second)
{
    const unsigned char bytes[8] = {first, second, first, second, first, second, first, second};
    return load64(bytes);
}

constexpr uint64_t kHighBits = 0x8080808080808080u;
#endif

// c as UTF-8 at out (c below 0x110000; surrogates too, in the 3-byte form);
// the end of what was written.
inline char *put(char *out, uint32_t c)
{
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return out + 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | c >> 6);
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return out + 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | c >> 12);
        out[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return out + 3;
    }
    out[0] = static_cast<char>(0xF0 | c >> 18);
    out[1] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out[2] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return out + 4;
}

inline char *put_replacement(char *out)
{
    memcpy(out, kReplacement, sizeof kReplacement);
    return out + sizeof kReplacement;
}

// How many of the n bytes at in, from the start, are ASCII, counted in
// whole blocks: it may stop short of the first other byte, never past it.
size_t ascii_prefix(const unsigned char *in, size_t n)
{
    size_t k = 0;
#ifdef CSV_LINE_TRANSCODE_SSE2
    for (; n - k >= 64; k += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + k + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + k + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + k + 48));
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0)
            break;
    }
    for (; n - k >= 16; k += 16) {
        const int high = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + k)));
        if (high != 0)
            return k + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(high)));
    }
#else
    for (; n - k >= 16; k += 16)
        if ((load64(in + k) | load64(in + k + 8)) & kHighBits)
            break;
#endif
    return k;
}

// Copies the ASCII bytes at the start of in[0..n) to out, in whole blocks
// as ascii_prefix counts them; how many.
size_t copy_ascii(const unsigned char *in, size_t n, char *out)
{
    size_t k = 0;
#ifdef CSV_LINE_TRANSCODE_SSE2
    for (; n - k >= 16; k += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + k));
        const int high = _mm_movemask_epi8(v);
        // Stored whole even when it holds other bytes: the caller's bound
        // leaves room, and what follows the ASCII is written over.
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + k), v);
        if (high != 0)
            return k + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(high)));
    }
#else
    for (; n - k >= 16; k += 16) {
        const uint64_t a = load64(in + k), b = load64(in + k + 8);
        if ((a | b) & kHighBits)
            break;
        memcpy(out + k, &a, 8);
        memcpy(out + k + 8, &b, 8);
    }
#endif
    return k;
}

// Writes the leading units of in[0..2 * units) below U+0080 to out, one
// byte each, in whole blocks; how many. `hi` is the offset of a unit's
// high byte: 0 big-endian, 1 little-endian.
size_t copy_ascii_units(const unsigned char *in, size_t units, unsigned hi, char *out)
{
    size_t k = 0;
#ifdef CSV_LINE_TRANSCODE_SSE2
    // x86 loads lanes little-endian: a big-endian unit is swapped first.
    const __m128i other = _mm_set1_epi16(static_cast<short>(0xFF80));
    for (; units - k >= 16; k += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 2 * k));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 2 * k + 16));
        if (hi == 0) {
            a = _mm_or_si128(_mm_srli_epi16(a, 8), _mm_slli_epi16(a, 8));
            b = _mm_or_si128(_mm_srli_epi16(b, 8), _mm_slli_epi16(b, 8));
        }
        const __m128i zero = _mm_setzero_si128();
        const unsigned ascii_a =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(a, other), zero)));
        const unsigned ascii_b =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(b, other), zero)));
        // 16 bytes for 16 units, whose bound is 48: room enough, and the
        // bytes past the ASCII are written over.
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + k), _mm_packus_epi16(a, b));
        const uint32_t ascii = ascii_a | ascii_b << 16;  // two bits a unit
        if (ascii != 0xFFFFFFFFu)
            return k + static_cast<size_t>(__builtin_ctz(~ascii)) / 2;
    }
#else
    const uint64_t other = hi ? pairs(0x80, 0xFF) : pairs(0xFF, 0x80);
    const unsigned lo = hi ^ 1;
    for (; units - k >= 8; k += 8) {
        const unsigned char *at = in + 2 * k;
        if ((load64(at) | load64(at + 8)) & other)
            break;
        for (size_t j = 0; j < 8; j++)
            out[k + j] = static_cast<char>(at[2 * j + lo]);
    }
#endif
    return k;
}

// A UTF-8 sequence whose lead byte is 0x80 or above, as far as n bytes
// show it: `good`, how many bytes from the lead on could start a valid
// sequence (0 when the lead byte starts none); `need`, how long that
// sequence is (1 when the lead starts none). Valid when good == need.
struct Sequence {
    size_t good, need;
};

inline Sequence read_sequence(const unsigned char *s, size_t n)
{
    const unsigned lead = s[0];
    // The second byte's range excludes overlong forms (after E0, F0),
    // surrogates (after ED) and code points past U+10FFFF (after F4).
    unsigned min = 0x80, max = 0xBF;
    size_t need;
    if (lead < 0xC2 || lead > 0xF4)
        return {0, 1};
    if (lead < 0xE0) {
        need = 2;
    } else if (lead < 0xF0) {
        need = 3;
        min = lead == 0xE0 ? 0xA0 : min;
        max = lead == 0xED ? 0x9F : max;
    } else {
        need = 4;
        min = lead == 0xF0 ? 0x90 : min;
        max = lead == 0xF4 ? 0x8F : max;
    }
    if (n < 2 || s[1] < min || s[1] > max)
        return {1, need};
    size_t good = 2;
    while (good < need && good < n && (s[good] & 0xC0) == 0x80)
        good++;
    return {good, need};
}

// 0x80 to 0x9F of Windows-1252; the unassigned five are their own values.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

size_t utf16_to_utf8(const unsigned char *in, size_t n, bool big_endian, bool last, bool replace, char *out,
                     size_t *used)
{
    const unsigned hi = big_endian ? 0 : 1;
    char *const start = out;
    size_t i = 0;
    while (n - i >= 2) {
        const size_t run = copy_ascii_units(in + i, (n - i) / 2, hi, out);
        i += 2 * run;
        out += run;
        if (n - i < 2)
            break;
        const uint32_t unit = static_cast<uint32_t>(in[i + hi]) << 8 | in[i + (hi ^ 1)];
        if (unit - 0xD800 >= 0x800) {
            out = put(out, unit);
            i += 2;
            continue;
        }
        if (unit < 0xDC00) {
            if (n - i < 4) {
                if (!last)
                    break;
                // Python's decoder replaces a cut-off pair, odd byte and
                // all, by one U+FFFD.
                if (replace) {
                    out = put_replacement(out);
                    i = n;
                    break;
                }
            } else {
                const uint32_t next = static_cast<uint32_t>(in[i + 2 + hi]) << 8 | in[i + 2 + (hi ^ 1)];
                if (next - 0xDC00 < 0x400) {
                    out = put(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                    i += 4;
                    continue;
                }
            }
        }
        out = replace ? put_replacement(out) : put(out, unit);
        i += 2;
    }
    if (last && i < n) {
        if (replace)
            out = put_replacement(out);
        else
            *out++ = static_cast<char>(0xFF);
        i = n;
    }
    *used = i;
    return static_cast<size_t>(out - start);
}

namespace {

// A code page of one byte a character: ASCII runs copied, each other byte
// the code point `point` gives it.
template <class Point>
size_t single_bytes_to_utf8(const unsigned char *in, size_t n, char *out, Point point)
{
    char *const start = out;
    size_t i = 0;
    while (i < n) {
        const size_t run = copy_ascii(in + i, n - i, out);
        i += run;
        out += run;
        if (i == n)
            break;
        out = put(out, point(in[i++]));
    }
    return static_cast<size_t>(out - start);
}

}  // namespace

size_t latin1_to_utf8(const unsigned char *in, size_t n, char *out)
{
    return single_bytes_to_utf8(in, n, out, [](unsigned c) { return c; });
}

size_t cp1252_to_utf8(const unsigned char *in, size_t n, char *out)
{
    return single_bytes_to_utf8(in, n, out, [](unsigned c) { return c - 0x80 < 32 ? kCp1252High[c - 0x80] : c; });
}

size_t utf8_valid_prefix(const char *text, size_t n)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
    size_t i = 0;
    while (i < n) {
        i += ascii_prefix(s + i, n - i);
        if (i == n)
            break;
        if (s[i] < 0x80) {
            i++;
            continue;
        }
        const Sequence q = read_sequence(s + i, n - i);
        if (q.good != q.need)
            return i;
        i += q.need;
    }
    return n;
}

size_t utf8_replace(const unsigned char *in, size_t n, bool last, char *out, size_t *used)
{
    char *const start = out;
    size_t i = 0;
    while (i < n) {
        const size_t valid = utf8_valid_prefix(reinterpret_cast<const char *>(in + i), n - i);
        memcpy(out, in + i, valid);
        out += valid;
        i += valid;
        if (i == n)
            break;
        const Sequence q = read_sequence(in + i, n - i);
        if (!last && q.good == n - i)
            break;  // a sequence the next block may finish
        out = put_replacement(out);
        i += q.good != 0 ? q.good : 1;
    }
    *used = i;
    return static_cast<size_t>(out - start);
}

}  // namespace csv_line::input
