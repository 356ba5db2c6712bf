// Dates and timestamps of a table's cells, read from their bytes. Internal
// to the library.
#ifndef CSV_LINE_TABLE_DATES_H
#define CSV_LINE_TABLE_DATES_H

#include <cstddef>
#include <cstdint>

namespace csv_line::table {

// What both read: spaces and TABs before and after the value are ignored,
// as around a number; any other byte outside what is described makes the
// result false, with nothing written. Years are exactly four digits, 0000
// to 9999, of the Gregorian calendar carried back before its adoption
// (0000 is the year before 0001, and a leap year); months 01 to 12, days
// 01 to the last of the month, February's 29th in leap years only (2000
// is one, 1900 is not).

// The n bytes at text as a date YYYY-MM-DD: the days since 1970-01-01
// (negative before it) into *days; true when it is one.
bool parse_date(const char *text, size_t n, std::int32_t *days) noexcept;

// The n bytes at text as a timestamp: a date, then a space, 'T' or 't',
// then HH:MM or HH:MM:SS or HH:MM:SS.fraction (hours 00 to 23, minutes
// and seconds 00 to 59: a leap second, :60, is refused; a fraction is a
// '.' and one digit or more), then 'Z' or 'z', or an offset from UTC +HH,
// +HHMM or +HH:MM, or the same with '-' (hours 00 to 23, minutes 00 to
// 59), or nothing, which is UTC. A date alone is a timestamp too: its
// midnight, UTC. The microseconds since 1970-01-01 00:00:00 UTC (negative
// before it) into *micros; fraction digits past the sixth are cut off, not
// rounded. true when it is one.
bool parse_timestamp(const char *text, size_t n, std::int64_t *micros) noexcept;

}  // namespace csv_line::table

#endif
