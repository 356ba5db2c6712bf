// A table's life and what callers ask of it.
#include "table/table.h"


using namespace csv_line::table;

namespace csv_line::table {

alignas(64) const int64_t no_bytes[8] = {};

csv_line_table *make_table() noexcept
{
    return make_objects<csv_line_table>(1);
}

bool make_columns(csv_line_table *table, int n) noexcept
{
    table->columns = make_objects<Column>(static_cast<size_t>(n));
    if (table->columns == nullptr)
        return false;
    table->count = n;
    return true;
}

bool name_column(csv_line_table *table, int k, const char *name, size_t length) noexcept
{
    Column &column = table->columns[k];
    if (length > static_cast<size_t>(INT32_MAX))
        return false;
    column.name = static_cast<char *>(std::malloc(length + 1));
    if (column.name == nullptr)
        return false;
    if (length > 0)
        std::memcpy(column.name, name, length);
    column.name[length] = '\0';
    column.name_length = static_cast<int>(length);
    return true;
}

void let_go(csv_line_table *table) noexcept
{
    if (table == nullptr || table->holders.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    for (int k = 0; k < table->count; k++)
        std::free(table->columns[k].name);
    free_objects(table->columns, static_cast<size_t>(table->count));
    free_objects(table, 1);
}

}  // namespace csv_line::table

extern "C" {

CSV_LINE_API void csv_line_table_close(csv_line_table *table)
{
    let_go(table);
}

CSV_LINE_API const csv_line_error *csv_line_table_error(const csv_line_table *table)
{
    return &table->error;
}

CSV_LINE_API long long csv_line_table_rows(const csv_line_table *table)
{
    return table->rows;
}

CSV_LINE_API int csv_line_table_column_count(const csv_line_table *table)
{
    return table->count;
}

CSV_LINE_API int csv_line_table_column_find(const csv_line_table *table, const char *name, size_t length)
{
    for (int k = 0; k < table->count; k++) {
        const Column &column = table->columns[k];
        if (static_cast<size_t>(column.name_length) == length && (length == 0 || std::memcmp(column.name, name, length) == 0))
            return k;
    }
    return -1;
}

CSV_LINE_API int csv_line_table_column(const csv_line_table *table, int k, csv_line_column *out)
{
    if (k < 0 || k >= table->count)
        return -1;
    const Column &column = table->columns[k];
    out->name = csv_line_text{column.name, column.name_length};
    out->type = type_of(column.kind);
    out->rows = table->rows;
    out->missing = column.missing;
    out->validity = column.missing > 0 ? column.validity.as<const unsigned char>() : nullptr;
    out->values = or_no_bytes(column.values.data);
    out->data = column.kind == TEXT || column.kind == NONE ? static_cast<const char *>(or_no_bytes(column.bytes.data))
                                                          : nullptr;
    return 0;
}

}  // extern "C"
