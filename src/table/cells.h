// A table's cells: what a cell reads as, and the memory the columns grow
// in. Internal to the library. Nothing here throws or allocates with new:
// it runs inside the reader's callbacks, where an exception has no way out.
#ifndef CSV_LINE_TABLE_CELLS_H
#define CSV_LINE_TABLE_CELLS_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

// The bytes [at, end) as an int64 of at most 18 digits with a '-' or not:
// false for anything else, which parse_int reads.
inline bool read_short_int(const char *at, const char *end, int64_t *out) noexcept
{
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
