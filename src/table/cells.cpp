// What a cell reads as, and the columns' memory.
#include "table/cells.h"

#include <sys/mman.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

namespace csv_line::table {

Kind join(Kind a, Kind b) noexcept
{
    if (a == NONE || a == b)
        return b;
    if (b == NONE)
        return a;
    if ((a == INT && b == FLOAT) || (a == FLOAT && b == INT))
        return FLOAT;
    if ((a == DATE && b == TIMESTAMP) || (a == TIMESTAMP && b == DATE))
        return TIMESTAMP;
    return TEXT;
}

Kind kind_of(int type) noexcept
{
    switch (type) {
    case CSV_LINE_TYPE_INT64: return INT;
    case CSV_LINE_TYPE_FLOAT64: return FLOAT;
    case CSV_LINE_TYPE_BOOL: return BOOL;
    case CSV_LINE_TYPE_TEXT: return TEXT;
    case CSV_LINE_TYPE_DATE: return DATE;
    case CSV_LINE_TYPE_TIMESTAMP: return TIMESTAMP;
    default: return NONE;
    }
}

int type_of(Kind kind) noexcept
{
    static const int types[] = {CSV_LINE_TYPE_TEXT, CSV_LINE_TYPE_INT64, CSV_LINE_TYPE_FLOAT64, CSV_LINE_TYPE_BOOL,
                                CSV_LINE_TYPE_DATE, CSV_LINE_TYPE_TIMESTAMP, CSV_LINE_TYPE_TEXT};
    return types[kind];
}

const char *type_name(Kind kind) noexcept
{
    static const char *const names[] = {"a value", "an int64", "a float64", "a bool", "a date", "a timestamp", "text"};
    return names[kind];
}

namespace {

// The cell without the spaces and TABs around it, nor a '+' before a
// number.
const char *trimmed(csv_line_text text, const char **end)
{
    const char *begin = text.data;
    *end = text.data + text.length;
    while (begin < *end && (*begin == ' ' || *begin == '\t'))
        begin++;
    while (*end > begin && ((*end)[-1] == ' ' || (*end)[-1] == '\t'))
        --*end;
    if (begin < *end && *begin == '+' && *end - begin > 1 && begin[1] != '-' && begin[1] != '+')
        begin++;
    return begin;
}

}  // namespace

bool parse_int(csv_line_text text, int64_t *out) noexcept
{
    const char *end, *at = trimmed(text, &end);
    const bool negative = at < end && *at == '-';
    at += negative;
    if (end - at > 19) {  // rare: leading zeros, or too large
        const auto [stop, error] = std::from_chars(at - negative, end, *out);
        return error == std::errc() && stop == end;
    }
    if (at == end)
        return false;
    uint64_t value = 0;
    for (; at < end; at++) {
        const unsigned digit = static_cast<unsigned char>(*at) - '0';
        if (digit > 9)
            return false;
        value = value * 10 + digit;  // 19 digits never overflow 64 bits
    }
    if (value > static_cast<uint64_t>(INT64_MAX) + negative)
        return false;
    *out = negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
    return true;
}

// Decimal numbers of at most 19 digits whose value and power of ten are
// both exact in a double: their quotient or product is rounded once, as
// the number itself would be. False for any other spelling.
bool read_decimal(const char *at, const char *end, double *out) noexcept
{
    static const double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const bool negative = at < end && *at == '-';
    at += negative;
    const char *first = at;
    uint64_t mantissa = 0;
    unsigned digit;
    for (; at < end && (digit = static_cast<unsigned char>(*at) - '0') <= 9; at++)
        mantissa = mantissa * 10 + digit;
    int whole = static_cast<int>(at - first), scale = 0;
    if (at < end && *at == '.') {
        const char *point = ++at;
        for (; at < end && (digit = static_cast<unsigned char>(*at) - '0') <= 9; at++)
            mantissa = mantissa * 10 + digit;
        scale = -static_cast<int>(at - point);
        whole -= scale;
    }
    // Up to 19 digits, leading zeros among them, never overflow.
    if (whole == 0 || whole > 19)
        return false;
    if (at < end && (*at == 'e' || *at == 'E')) {
        at++;
        const bool down = at < end && *at == '-';
        at += at < end && (*at == '-' || *at == '+');
        const char *digits = at;
        int exponent = 0;
        for (; at < end && at - digits < 4 && (digit = static_cast<unsigned char>(*at) - '0') <= 9; at++)
            exponent = exponent * 10 + static_cast<int>(digit);
        if (at == digits)
            return false;
        scale += down ? -exponent : exponent;
    }
    if (at != end || mantissa > (1ULL << 53) || scale < -22 || scale > 22)
        return false;
    const double value = static_cast<double>(mantissa);
    *out = scale < 0 ? value / powers[-scale] : value * powers[scale];
    if (negative)
        *out = -*out;
    return true;
}


// "inf" and "infinity" are numbers, a spelled NaN is not (only an empty
// cell is missing), and neither is one too large for a double; one too
// small is 0 or subnormal, which strtod rounds, from a NUL-terminated copy.
Parsed parse_float(csv_line_text text, double *out) noexcept
{
    const char *end, *begin = trimmed(text, &end);
    if (read_decimal(begin, end, out))
        return PARSED;
    const char *digits = begin < end && (*begin == '-' || *begin == '+') ? begin + 1 : begin;
    if (digits < end && (*digits == 'n' || *digits == 'N'))
        return NOT_A_NUMBER;
    const auto [stop, error] = std::from_chars(begin, end, *out);
    if (error == std::errc::result_out_of_range && stop == end) {
        const size_t length = static_cast<size_t>(end - begin);
        char here[128];
        char *copy = length < sizeof here ? here : static_cast<char *>(std::malloc(length + 1));
        if (copy == nullptr)
            return NO_MEMORY;
        std::memcpy(copy, begin, length);
        copy[length] = '\0';
        *out = std::strtod(copy, nullptr);
        if (copy != here)
            std::free(copy);
        return std::isinf(*out) ? NOT_A_NUMBER : PARSED;
    }
    return error == std::errc() && stop == end && begin < end ? PARSED : NOT_A_NUMBER;
}

bool parse_bool(csv_line_text text, int64_t *out) noexcept
{
    const std::string_view value(text.data, static_cast<size_t>(text.length));
    if (value == "true" || value == "True" || value == "TRUE")
        return *out = 1, true;
    if (value == "false" || value == "False" || value == "FALSE")
        return *out = 0, true;
    return false;
}

bool Buffer::reserve(size_t bytes) noexcept
{
    constexpr size_t STEP = 2 << 20;
    if (bytes <= room)
        return true;
    if (bytes > SIZE_MAX / 2)
        return false;
    size_t want = std::max(bytes, room + room / 2);
    want = (want + STEP - 1) / STEP * STEP;
#ifdef MREMAP_MAYMOVE
    void *moved = data != nullptr ? mremap(data, room, want, MREMAP_MAYMOVE)
                                  : mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#else
    void *moved = mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (moved != MAP_FAILED && data != nullptr) {
        std::memcpy(moved, data, size);
        munmap(data, room);
    }
#endif
    if (moved == MAP_FAILED)
        return false;
    data = moved;
    room = want;
    return true;
}

bool Buffer::grow(size_t n) noexcept
{
    if (n > SIZE_MAX - size || !reserve(size + n))
        return false;
    size += n;  // fresh pages are zero, and bytes once used are never given back
    return true;
}

bool Buffer::append(const void *bytes, size_t n) noexcept
{
    if (n > SIZE_MAX - size || !reserve(size + n))
        return false;
    if (n > 0)
        std::memcpy(static_cast<char *>(data) + size, bytes, n);
    size += n;
    return true;
}

void Buffer::release() noexcept
{
    if (data != nullptr)
        munmap(data, room);
    data = nullptr;
    size = room = 0;
}

}  // namespace csv_line::table
