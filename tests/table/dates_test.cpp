// Dates and timestamps of cells: spellings read and refused, then every day
// from 1900 to 2100 against the C library's own calendar (timegm).

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "table/dates.h"

using csv_line::table::parse_date;
using csv_line::table::parse_timestamp;

namespace {

constexpr std::int64_t second = 1000000;
constexpr std::int64_t day = 86400 * second;
constexpr std::int32_t untouched32 = 123456789;
constexpr std::int64_t untouched64 = 987654321;

struct Row {
    std::string text;
    bool read;
    std::int64_t value;  // days or microseconds, when read
};

TEST(Dates, Spellings)
{
    const Row rows[] = {
        {"1970-01-01", true, 0}, {"1969-12-31", true, -1}, {"2000-02-29", true, 11016},
        {"0000-01-01", true, -719528}, {"0000-02-29", true, -719469}, {"9999-12-31", true, 2932896},
        {" \t2024-03-01\t ", true, 19783}, {"1900-02-29", false, 0}, {"2023-02-29", false, 0},
        {"2023-13-01", false, 0}, {"2023-00-10", false, 0}, {"2023-04-31", false, 0}, {"2023-01-00", false, 0},
        {"", false, 0}, {"1970-1-01", false, 0}, {"19700101", false, 0}, {"1970/01/01", false, 0},
        {"+1970-01-01", false, 0}, {"12345-01-01", false, 0}, {"1970-01-0a", false, 0}, {"1970-01-01x", false, 0},
        {"1970-01-01 00:00", false, 0}, {"1970-01-01\n", false, 0}, {std::string("1970-01-01\0", 11), false, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE("[" + row.text + "]");
        std::int32_t days = untouched32;
        EXPECT_EQ(parse_date(row.text.data(), row.text.size(), &days), row.read);
        EXPECT_EQ(days, row.read ? row.value : untouched32);
    }
}

TEST(Timestamps, Spellings)
{
    const Row rows[] = {
        {"1970-01-01T00:00Z", true, 0}, {"1970-01-01", true, 0}, {" 1970-01-01 00:00:01\t", true, second},
        {"1969-12-31T23:59:59.999999Z", true, -1}, {"1970-01-01t00:00:00.000000999z", true, 0},
        {"1970-01-01T05:30+05:30", true, 0}, {"1970-01-01T05:30+0530", true, 0}, {"1970-01-01T05:00+05", true, 0},
        {"1969-12-31T16:00-0800", true, 0}, {"1969-12-31 16:00:00.5-08:00", true, second / 2},
        {"1970-01-01T00:00-00:00", true, 0}, {"2000-02-29T12:00:00Z", true, 951825600 * second},
        {"9999-12-31T23:59:59.999999Z", true, 253402300800 * second - 1},
        {"0000-01-01T00:00+23:59", true, -62167219200 * second - 86340 * second},
        {"1970-01-01T24:00", false, 0}, {"1970-01-01T23:60", false, 0}, {"1970-01-01T23:59:60", false, 0},
        {"1970-01-01T00:00:00.", false, 0}, {"1970-01-01T00:00.5", false, 0}, {"1970-01-01T00:00:00,5", false, 0},
        {"1970-01-01T00:00+24:00", false, 0}, {"1970-01-01T00:00+05:60", false, 0}, {"1970-01-01T00:00+5", false, 0},
        {"1970-01-01T00:00+05:", false, 0}, {"1970-01-01T00:00+053", false, 0}, {"1970-01-01T00:00+05:30:00", false, 0},
        {"1970-01-01T", false, 0}, {"1970-01-01X00:00", false, 0}, {"1970-01-01T0:00", false, 0},
        {"1970-01-01  00:00", false, 0}, {"1970-01-01T00:00 Z", false, 0}, {"1970-01-01T00:00ZZ", false, 0},
        {"1970-01-01Z", false, 0}, {"1900-02-29T00:00", false, 0}, {"1970-01-01T00:00:00.5 x", false, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE("[" + row.text + "]");
        std::int64_t micros = untouched64;
        EXPECT_EQ(parse_timestamp(row.text.data(), row.text.size(), &micros), row.read);
        EXPECT_EQ(micros, row.read ? row.value : untouched64);
    }
}

TEST(Timestamps, FractionsOfOneToNineDigits)
{
    const std::int64_t wants[] = {100000, 120000, 123000, 123400, 123450, 123456, 123456, 123456, 123456};
    for (size_t digits = 1; digits <= 9; digits++) {
        const std::string text = "1970-01-02T00:00:00." + std::string("123456789", digits);
        SCOPED_TRACE(text);
        std::int64_t micros = 0;
        ASSERT_TRUE(parse_timestamp(text.data(), text.size(), &micros));
        EXPECT_EQ(micros, day + wants[digits - 1]);
    }
}

// Each day read as a date and, at one of a few times and offsets, as a
// timestamp; the day after each month's last is refused by both. Where
// time_t has 32 bits the years it holds only.
TEST(DatesAndTimestamps, EveryDayAgreesWithTimegm)
{
    struct Time {
        int hour, minute, second;
        const char *fraction;
        std::int64_t micros;
        const char *offset;
        int east;  // minutes
    };
    const Time times[] = {
        {0, 0, 0, "", 0, "", 0},           {23, 59, 59, ".999999", 999999, "Z", 0},
        {12, 34, 56, ".5", 500000, "+05:30", 330}, {1, 2, 3, ".0000019", 1, "-0800", -480},
        {7, 8, 9, "", 0, "+23:59", 1439},
    };
    const bool wide = sizeof(std::time_t) >= 8;
    std::tm first = {};
    first.tm_year = wide ? 0 : 2;
    first.tm_mday = 1;
    const std::time_t last_year = wide ? 2100 : 2037;
    size_t checked = 0;
    for (std::time_t t = timegm(&first);; t += 86400) {
        std::tm date = {};
        gmtime_r(&t, &date);
        if (date.tm_year + 1900 > last_year)
            break;
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.tm_year + 1900, date.tm_mon + 1, date.tm_mday);
        SCOPED_TRACE(text);
        std::int32_t days = 0;
        ASSERT_TRUE(parse_date(text, 10, &days));
        ASSERT_EQ(days, t / 86400);

        const Time &at = times[checked++ % (sizeof times / sizeof times[0])];
        std::tm local = date;
        local.tm_hour = at.hour;
        local.tm_min = at.minute - at.east;
        local.tm_sec = at.second;
        const int length = std::snprintf(text + 10, sizeof text - 10, "T%02d:%02d:%02d%s%s", at.hour, at.minute,
                                         at.second, at.fraction, at.offset);
        std::int64_t micros = 0;
        ASSERT_TRUE(parse_timestamp(text, 10 + static_cast<size_t>(length), &micros)) << text;
        ASSERT_EQ(micros, timegm(&local) * second + at.micros) << text;

        const std::time_t next = t + 86400;
        std::tm after = {};
        gmtime_r(&next, &after);
        if (after.tm_mday == 1) {
            std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.tm_year + 1900, date.tm_mon + 1, date.tm_mday + 1);
            EXPECT_FALSE(parse_date(text, 10, &days)) << text;
            EXPECT_FALSE(parse_timestamp(text, 10, &micros)) << text;
        }
    }
    EXPECT_GT(checked, 365u * 100);
}

}  // namespace
