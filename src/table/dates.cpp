// Dates and timestamps of a table's cells. Type inference tries every cell
// of a column, so whatever is not a date is refused on its first bytes
// that cannot be one; nothing here allocates, reads the locale or calls
// the C library's time functions, which would bring time zones in.

#include "table/dates.h"

namespace csv_line::table {
namespace {

constexpr std::int64_t micros_per_second = 1000000;
constexpr std::int64_t micros_per_day = 86400 * micros_per_second;

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

// [from, to) without the blanks around it.
void trim(const char *&from, const char *&to)
{
    while (from < to && blank(*from))
        from++;
    while (to > from && blank(to[-1]))
        to--;
}

unsigned digit(char c)
{
    return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0';
}

// The two digits at p into *value; false when either is not one.
bool two_digits(const char *p, int *value)
{
    const unsigned tens = digit(p[0]);
    const unsigned ones = digit(p[1]);
    if (tens > 9 || ones > 9)
        return false;
    *value = static_cast<int>(tens * 10 + ones);
    return true;
}

bool leap(int year)
{
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// Days since 1970-01-01 of a valid date. The year is counted from March,
// so that February's length only matters at the end of one, and in eras
// of 400 years, which the calendar repeats exactly (146097 days each);
// 719468 is the day of 1970-01-01 counted from 0000-03-01.
std::int32_t days_from_civil(int year, int month, int day)
{
    const int y = month <= 2 ? year - 1 : year;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int year_of_era = y - era * 400;
    const int day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// The ten bytes at p as YYYY-MM-DD into *days. The dashes come first: a
// number or a word is refused there, before any digit is looked at.
bool read_date(const char *p, std::int32_t *days)
{
    if (p[4] != '-' || p[7] != '-')
        return false;
    int century = 0;
    int year_in_century = 0;
    int month = 0;
    int day = 0;
    if (!two_digits(p, &century) || !two_digits(p + 2, &year_in_century) || !two_digits(p + 5, &month) ||
        !two_digits(p + 8, &day))
        return false;
    const int year = century * 100 + year_in_century;
    static constexpr unsigned char month_days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1)
        return false;
    const int last = month_days[month - 1] + (month == 2 && leap(year) ? 1 : 0);
    if (day > last)
        return false;
    *days = days_from_civil(year, month, day);
    return true;
}

// The time of day at [p, end), from its hour to the end of its offset, as
// microseconds from the date's midnight UTC; false unless it is one and
// nothing follows.
bool read_time(const char *p, const char *end, std::int64_t *micros)
{
    int hour = 0;
    int minute = 0;
    if (end - p < 5 || p[2] != ':' || !two_digits(p, &hour) || !two_digits(p + 3, &minute) || hour > 23 ||
        minute > 59)
        return false;
    p += 5;
    int second = 0;
    std::int64_t fraction = 0;
    if (p < end && *p == ':') {
        if (end - p < 3 || !two_digits(p + 1, &second) || second > 59)
            return false;
        p += 3;
        if (p < end && *p == '.') {
            p++;
            const char *first = p;
            std::int64_t scale = micros_per_second;
            for (; p < end && digit(*p) <= 9; p++) {
                if (scale > 1) {
                    scale /= 10;
                    fraction += digit(*p) * scale;
                }
            }
            if (p == first)
                return false;
        }
    }
    int offset = 0;  // minutes east of UTC
    if (p < end) {
        if (*p == 'Z' || *p == 'z') {
            p++;
        } else if (*p == '+' || *p == '-') {
            const bool west = *p == '-';
            int offset_hours = 0;
            int offset_minutes = 0;
            p++;
            if (end - p < 2 || !two_digits(p, &offset_hours) || offset_hours > 23)
                return false;
            p += 2;
            if (p < end) {
                if (*p == ':')
                    p++;
                if (end - p < 2 || !two_digits(p, &offset_minutes) || offset_minutes > 59)
                    return false;
                p += 2;
            }
            offset = offset_hours * 60 + offset_minutes;
            if (west)
                offset = -offset;
        } else {
            return false;
        }
        if (p != end)
            return false;
    }
    const int seconds = (hour * 60 + minute - offset) * 60 + second;
    *micros = seconds * micros_per_second + fraction;
    return true;
}

}  // namespace

bool parse_date(const char *text, size_t n, std::int32_t *days) noexcept
{
    const char *from = text;
    const char *to = text + n;
    trim(from, to);
    return to - from == 10 && read_date(from, days);
}

bool parse_timestamp(const char *text, size_t n, std::int64_t *micros) noexcept
{
    const char *from = text;
    const char *to = text + n;
    trim(from, to);
    std::int32_t days = 0;
    if (to - from < 10 || !read_date(from, &days))
        return false;
    const char *p = from + 10;
    std::int64_t time = 0;
    if (p < to) {
        if (*p != ' ' && *p != 'T' && *p != 't')
            return false;
        if (!read_time(p + 1, to, &time))
            return false;
    }
    *micros = days * micros_per_day + time;
    return true;
}

}  // namespace csv_line::table
