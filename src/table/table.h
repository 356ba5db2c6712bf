// A table as it is held: each column's buffers, and how many hold them
// (the table itself and each array exported from it). Internal to the
// library.
#ifndef CSV_LINE_TABLE_TABLE_H
#define CSV_LINE_TABLE_TABLE_H

#include <atomic>

#include "table/cells.h"

namespace csv_line::table {

// One column, once read: Arrow's buffers for its type (see csv_line_column).
struct Column {
    char *name = nullptr;  // malloc'ed, NUL-terminated
    int name_length = 0;
    Kind kind = NONE;
    long long missing = 0;
    Buffer validity;  // bits; empty when no cell is missing
    Buffer values;    // values, or text's rows + 1 offsets
    Buffer bytes;     // text's bytes
};

}  // namespace csv_line::table

struct csv_line_table {
    csv_line_error error{};
    long long rows = 0;
    int count = 0;
    csv_line::table::Column *columns = nullptr;  // count of them
    std::atomic<long> holders{1};                // the table, and each export not yet released
};

namespace csv_line::table {

// Where an empty buffer points: never null, as Arrow wants and as a
// caller reading a text column's first offset expects.
alignas(64) extern const int64_t no_bytes[8];

inline const void *or_no_bytes(const void *buffer)
{
    return buffer != nullptr ? buffer : no_bytes;
}

// A table of no columns, or null without the memory for it.
csv_line_table *make_table() noexcept;

// Lets go of one holder; the last frees the table.
void let_go(csv_line_table *table) noexcept;

// Room for n columns, named later; false without the memory.
bool make_columns(csv_line_table *table, int n) noexcept;

// Names column k with the `length` bytes at `name`; false without the memory.
bool name_column(csv_line_table *table, int k, const char *name, size_t length) noexcept;

}  // namespace csv_line::table

#endif
