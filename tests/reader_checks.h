// What a reader hands over, gathered to be compared: every record's line,
// offset, flags, raw fields, values and malformed fields, the names, and
// how reading ended. Shared by the reader's tests and its fuzz target.
#ifndef CSV_LINE_READER_CHECKS_H
#define CSV_LINE_READER_CHECKS_H

#include <string>
#include <vector>

#include "csv_line.h"

struct Record {
    long long line = 0, offset = 0;
    int flags = 0;
    std::vector<std::string> raw, values;
    std::vector<bool> malformed;
    bool operator==(const Record &o) const
    {
        return line == o.line && offset == o.offset && flags == o.flags && raw == o.raw && values == o.values &&
               malformed == o.malformed;
    }
};

struct Reading {
    std::vector<std::string> names;
    std::vector<Record> records;
    int error = CSV_LINE_OK;
    long long error_line = 0;
    int error_field = 0;
    std::string message;
};

// Everything the reader hands over, and how it ends; closes it.
inline Reading Drain(csv_line_reader *reader)
{
    Reading reading;
    for (int k = 0; k < csv_line_reader_column_count(reader); k++) {
        const csv_line_text name = csv_line_reader_column_name(reader, k);
        reading.names.emplace_back(name.data, static_cast<size_t>(name.length));
    }
    csv_line_batch batch;
    int n;
    while ((n = csv_line_reader_next(reader, &batch)) > 0) {
        for (int r = 0; r < batch.count; r++) {
            const csv_line_record &from = batch.records[r];
            Record record;
            record.line = from.line;
            record.offset = from.offset;
            record.flags = from.flags;
            for (int k = from.field; k < from.field + from.count; k++) {
                const csv_line_text raw = csv_line_batch_raw(&batch, k), value = csv_line_batch_value(&batch, k);
                record.raw.emplace_back(raw.data, static_cast<size_t>(raw.length));
                record.values.emplace_back(value.data, static_cast<size_t>(value.length));
                record.malformed.push_back(csv_line_batch_malformed(&batch, k) != 0);
            }
            reading.records.push_back(record);
        }
    }
    if (n < 0) {
        const csv_line_error *error = csv_line_reader_error(reader);
        reading.error = error->code;
        reading.error_line = error->line;
        reading.error_field = error->field;
        reading.message = error->message;
    }
    csv_line_reader_close(reader);
    return reading;
}

#endif
