// The reader's options as 1.0 and 1.1 laid them out, and as 1.2 and 1.3
// did, which programs built against those versions pass, and their
// widening to today's. Those programs read bytes as they are: no
// transcoding, no check of UTF-8, no guess.
#ifndef CSV_LINE_OPTIONS_1_1_H
#define CSV_LINE_OPTIONS_1_1_H

#include "csv_line.h"

struct csv_line_reader_options_1_1 {
    char separator;
    int header;
    int record_limit;
    int threads;
    int lenient;
};

// Today's options with the old ones' values, the rest at their defaults;
// null for null.
inline const csv_line_reader_options *widen(const csv_line_reader_options_1_1 *old, csv_line_reader_options *out)
{
    if (old == nullptr)
        return nullptr;
    *out = csv_line_reader_options{old->separator, old->header, old->record_limit, old->threads, old->lenient, 0, 0,
                                   CSV_LINE_ENCODING_UTF8, CSV_LINE_UTF8_RAW, 0};
    return out;
}

struct csv_line_reader_options_1_3 {
    char separator;
    int header;
    int record_limit;
    int threads;
    int lenient;
    int field_limit;
    int decode_on_demand;
};

inline const csv_line_reader_options *widen(const csv_line_reader_options_1_3 *old, csv_line_reader_options *out)
{
    if (old == nullptr)
        return nullptr;
    *out = csv_line_reader_options{old->separator,   old->header,           old->record_limit,
                                   old->threads,     old->lenient,          old->field_limit,
                                   old->decode_on_demand, CSV_LINE_ENCODING_UTF8, CSV_LINE_UTF8_RAW, 0};
    return out;
}

struct csv_line_table_options_1_3 {
    csv_line_reader_options_1_3 reader;
    const csv_line_column_spec *columns;
    int column_count;
    int only_columns;
    int infer_dates;
    long long first_line;
};

// The table's options of 1.3; null for null, which reads a header as the
// defaults do.
inline const csv_line_table_options *widen(const csv_line_table_options_1_3 *old, csv_line_table_options *out)
{
    csv_line_table_options_1_3 defaults = {};
    defaults.reader.header = 1;
    const csv_line_table_options_1_3 &given = old != nullptr ? *old : defaults;
    out->reader = *widen(&given.reader, &out->reader);
    out->columns = given.columns;
    out->column_count = given.column_count;
    out->only_columns = given.only_columns;
    out->infer_dates = given.infer_dates;
    out->first_line = given.first_line;
    return out;
}

#endif
