// A table's cells: what a cell reads as, and the memory the columns grow
// in. Internal to the library. Nothing here throws or allocates with new:
// it runs inside the reader's callbacks, where an exception has no way out.
#ifndef CSV_LINE_TABLE_CELLS_H
#define CSV_LINE_TABLE_CELLS_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "csv_line.h"

namespace csv_line::table {

// What a column's cells have been so far, in the order inference tries
// them. The join of two is the narrowest that holds both: NONE joins
// anything, INT and FLOAT make FLOAT, DATE and TIMESTAMP make TIMESTAMP,
// any other pair TEXT.
enum Kind : uint8_t { NONE, INT, FLOAT, BOOL, DATE, TIMESTAMP, TEXT };

Kind join(Kind a, Kind b) noexcept;

// The kind a csv_line_type asks for (NONE for CSV_LINE_TYPE_INFER), and
// the type a column of a kind is (text for NONE).
Kind kind_of(int type) noexcept;
int type_of(Kind kind) noexcept;

// The type's name in messages: "an int64", "a date", ...
const char *type_name(Kind kind) noexcept;

// A cell as each type reads it: true with *out written, else false. A
// number may have spaces and TABs around it, and a '+' before it.
bool parse_int(csv_line_text text, int64_t *out) noexcept;
bool parse_bool(csv_line_text text, int64_t *out) noexcept;

enum Parsed { NOT_A_NUMBER, PARSED, NO_MEMORY };
Parsed parse_float(csv_line_text text, double *out) noexcept;

// The bytes [at, end) as a decimal number of at most 19 digits, with a
// '-', a point and an exponent or not, exact in a double by its digits and
// its power of ten: false for anything else, which parse_float reads.
bool read_decimal(const char *at, const char *end, double *out) noexcept;


// Eight bytes of text at a time, where the text may be read that far
// (`limit`, the end of what may be read): up to eight digits made a number
// in a few steps, whatever their count, where a loop takes one a digit.
// On little-endian processors; elsewhere the loops below do it all.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define CSV_LINE_EIGHT_AT_ONCE 1

inline uint64_t eight_bytes(const char *at) noexcept
{
    uint64_t bytes;
    std::memcpy(&bytes, at, sizeof bytes);
    return bytes;
}

// The n (1 to 8) bytes at `at` as digits: false when one is not a digit.
// Eight bytes at `at` are read.
inline bool eight_digits(const char *at, size_t n, uint64_t *out) noexcept
{
    uint64_t bytes = eight_bytes(at);
    const unsigned shift = static_cast<unsigned>(8 * (8 - n));
    if (shift > 0)  // the digits moved up, '0's before them
        bytes = bytes << shift | 0x3030303030303030ULL >> (64 - shift);
    if (((bytes + 0x4646464646464646ULL) | (bytes - 0x3030303030303030ULL)) & 0x8080808080808080ULL)
        return false;
    bytes -= 0x3030303030303030ULL;
    bytes = bytes * 10 + (bytes >> 8);
    *out = (((bytes & 0x000000FF000000FFULL) * 0x000F424000000064ULL) +
            (((bytes >> 16) & 0x000000FF000000FFULL) * 0x0000271000000001ULL)) >> 32;
    return true;
}

// How many of the eight bytes at `at` are digits before the first that
// is not (8 when all are).
inline size_t digits_before(const char *at) noexcept
{
    const uint64_t bytes = eight_bytes(at) ^ 0x3030303030303030ULL;
    // A byte is no digit when its high half is not 0 or its low half over 9;
    // a carry out of a byte only reaches those after it.
    const uint64_t no_digit =
        (bytes & 0xF0F0F0F0F0F0F0F0ULL) | ((bytes + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL);
    return no_digit == 0 ? 8 : static_cast<size_t>(__builtin_ctzll(no_digit)) / 8;
}
#endif

// The bytes [at, end) as an int64 of at most 18 digits with a '-' or not:
// false for anything else, which parse_int reads. Reads up to `limit`.
inline bool read_short_int(const char *at, const char *end, const char *limit, int64_t *out) noexcept
{
#ifdef CSV_LINE_EIGHT_AT_ONCE
    const bool minus = *at == '-';
    const char *digits = at + minus;
    const size_t n = static_cast<size_t>(end - digits);
    uint64_t high, low;
    if (n >= 1 && n <= 8 && limit - digits >= 8) {
        if (!eight_digits(digits, n, &low))
            return false;
        *out = minus ? -static_cast<int64_t>(low) : static_cast<int64_t>(low);
        return true;
    }
    if (n > 8 && n <= 16 && limit - digits >= 8) {
        if (!eight_digits(digits, n - 8, &high) || !eight_digits(end - 8, 8, &low))
            return false;
        const int64_t value = static_cast<int64_t>(high * 100000000 + low);
        *out = minus ? -value : value;
        return true;
    }
#else
    (void)limit;
#endif
    const bool negative = *at == '-';
    at += negative;
    if (at == end || end - at > 18)
        return false;
    int64_t value = 0;
    for (; at < end; at++) {
        const unsigned digit = static_cast<unsigned char>(*at) - '0';
        if (digit > 9)
            return false;
        value = value * 10 + static_cast<int64_t>(digit);
    }
    *out = negative ? -value : value;
    return true;
}

// read_decimal, reading up to `limit`: a number with a point and at most
// eight digits before and after it takes a few steps.
inline bool read_decimal(const char *at, const char *end, const char *limit, double *out) noexcept
{
#ifdef CSV_LINE_EIGHT_AT_ONCE
    static const double powers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
    const bool minus = *at == '-';
    const char *digits = at + minus;
    if (limit - digits >= 8) {
        const size_t whole = digits_before(digits);
        const char *fraction = digits + whole + 1;  // past the point, when there is one
        const size_t n = fraction <= end ? static_cast<size_t>(end - fraction) : 0;
        uint64_t high, low;
        if (whole >= 1 && fraction <= end && digits[whole] == '.' && n <= 8 && limit - fraction >= 8 &&
            eight_digits(digits, whole, &high) && (n == 0 || eight_digits(fraction, n, &low))) {
            const uint64_t mantissa = n == 0 ? high : high * static_cast<uint64_t>(powers[n]) + low;
            if (mantissa <= (1ULL << 53)) {
                const double value = static_cast<double>(mantissa) / powers[n];
                *out = minus ? -value : value;
                return true;
            }
        }
    }
#else
    (void)limit;
#endif
    return read_decimal(at, end, out);
}

inline int64_t double_bits(double value)
{
    int64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline double bits_double(int64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// n objects had with malloc and made in place, or null without the
// memory: libstdc++'s nothrow new throws and catches inside itself, and
// on a thread whose exception state cannot be had that ends the process.
template <class T>
T *make_objects(size_t n) noexcept
{
    if (n > SIZE_MAX / sizeof(T) - 1)
        return nullptr;
    T *objects = static_cast<T *>(std::malloc((n > 0 ? n : 1) * sizeof(T)));
    if (objects != nullptr)
        for (size_t k = 0; k < n; k++)
            new (objects + k) T();
    return objects;
}

// Frees what make_objects made, n objects; null is ignored.
template <class T>
void free_objects(T *objects, size_t n) noexcept
{
    if (objects == nullptr)
        return;
    for (size_t k = n; k > 0; k--)
        objects[k - 1].~T();
    std::free(objects);
}

// An array grown with realloc, that says when memory runs out where a
// vector would throw. T is trivially copyable; new entries are zeroed.
template <class T>
struct Grown {
    T *at = nullptr;
    size_t size = 0, capacity = 0;

    Grown() = default;
    Grown(const Grown &) = delete;
    Grown &operator=(const Grown &) = delete;
    ~Grown() { std::free(at); }

    bool reserve(size_t n) noexcept
    {
        if (n <= capacity)
            return true;
        size_t more = capacity > 0 ? capacity : 64;
        while (more < n)
            more = more <= SIZE_MAX / 2 ? 2 * more : n;
        if (more > SIZE_MAX / sizeof(T))
            return false;
        T *grown = static_cast<T *>(std::realloc(at, more * sizeof(T)));
        if (grown == nullptr)
            return false;
        std::memset(static_cast<void *>(grown + capacity), 0, (more - capacity) * sizeof(T));
        at = grown;
        capacity = more;
        return true;
    }

    // Room for n more.
    bool more(size_t n) noexcept { return n <= SIZE_MAX - size && reserve(size + n); }

    bool push(const T &value) noexcept
    {
        if (!more(1))
            return false;
        at[size++] = value;
        return true;
    }

    void clear() noexcept
    {
        std::free(at);
        at = nullptr;
        size = capacity = 0;
    }
};

// A column's memory: it grows in place (mremap where there is one), so
// that each page is touched once. Not in huge pages: the kernel may stop
// to gather them (a first read of a file took 2.5 times as long); nor are
// pages had ahead of use (MADV_POPULATE_WRITE), which made two threads
// slower than one. Zeroed when had.
struct Buffer {
    void *data = nullptr;
    size_t size = 0;       // bytes in use
    size_t room = 0;       // bytes had

    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { release(); }

    // Room for `bytes` in all; false when the memory cannot be had.
    bool reserve(size_t bytes) noexcept;
    bool append(const void *bytes, size_t n) noexcept;
    // n more bytes in use, zeroed; false without the memory.
    bool grow(size_t n) noexcept;
    void release() noexcept;

    void swap(Buffer &other) noexcept
    {
        std::swap(data, other.data);
        std::swap(size, other.size);
        std::swap(room, other.room);
    }

    template <class T>
    T *as() const
    {
        return static_cast<T *>(data);
    }
};

}  // namespace csv_line::table

#endif
