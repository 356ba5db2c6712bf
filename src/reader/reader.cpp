// The reader: an input's bytes held in one buffer, indexed a batch at a
// time by parse_csv_records, each batch's records checked and their lines
// counted before they are handed over. A record that does not end in what
// is held is moved to the buffer's front and indexed again once the buffer
// holds twice its bytes, so no byte is indexed more than a few times
// however the input arrives.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "csv_line.h"
#include "input/transcode.h"
#include "reader.h"

using namespace reading;

namespace {

// Splits `length` bytes at text as one record, the last of the input or
// one cut at a limit, into the reader's tables, up to the field limit:
// *flags gets CSV_LINE_RECORD_TOO_MANY_FIELDS when it has more.
int split_one(csv_line_reader *reader, const char *text, int length, int *flags)
{
    bool cut;
    const int n = split_record(reader->tables, &reader->error, reader->separator, text, length, reader->field_limit, &cut);
    if (cut)
        *flags |= CSV_LINE_RECORD_TOO_MANY_FIELDS;
    return n;
}

// Hands over one record split by split_one, with its flags; a strict
// reader says the problem instead. Returns the batch's count or -1.
int hand_one(csv_line_reader *reader, const char *text, int fields, int flags, long long next_line, csv_line_batch *batch)
{
    Tables &tables = reader->tables;
    if (fields < 0 || !tables.reserve_records(&reader->error, 1))
        return -1;
    tables.starts[0] = 0;
    const long long line = reader->line;
    if (!reader->lenient && flags != 0) {
        if (flags & (CSV_LINE_RECORD_TOO_LONG | CSV_LINE_RECORD_LINE_TOO_LONG)) {
            fail(&reader->error, CSV_LINE_ERROR_TOO_LONG, line, 0, "line %lld: record longer than the limit of %d bytes",
                 line, reader->limit);
        } else if (flags & CSV_LINE_RECORD_TOO_MANY_FIELDS) {
            fail(&reader->error, CSV_LINE_ERROR_TOO_MANY_FIELDS, line, 0,
                 "line %lld: record of more fields than the limit of %d", line, reader->field_limit);
        } else if (flags & CSV_LINE_RECORD_UNCLOSED) {
            // The quote left open took the rest into the last field.
            const int field = opened_amiss(text, tables.fields[fields - 1]) ? fields : 0;
            char where[24] = "";
            if (field != 0)
                std::snprintf(where, sizeof where, "field %d: ", field);
            fail(&reader->error, CSV_LINE_ERROR_UNCLOSED, line, field,
                 "line %lld: %squote not closed by the end of the input", line, where);
        }
        return -1;
    }
    long long counted = line;
    const long long offset = reader->offset + (text - held_bytes(reader));
    const Check check = {&reader->error, reader->lenient, flags, true, true, !reader->decode_later,
                         reader->invalid_utf8 == CSV_LINE_UTF8_STRICT};
    const int kept = check_records(check, tables, text, 0, 1, fields, offset, &counted);
    if (kept < 0)
        return -1;
    if (kept == 0) {
        reader->failed = true;
        return -1;
    }
    reader->line = next_line >= 0 ? next_line : counted;
    point_decoded(tables);
    fill_batch(tables, text, 1, reader->sequence++, batch);
    return 1;
}

// The record at the front of what is held does not end within the limit:
// the record up to its first LF, or the line's first limit bytes.
int hand_too_long(csv_line_reader *reader, csv_line_batch *batch)
{
    const char *text = held_bytes(reader) + reader->at;
    const size_t limit = static_cast<size_t>(reader->limit);
    const void *found = std::memchr(text, '\n', limit);
    const long long next_line = reader->line + 1;
    int flags = found != nullptr ? CSV_LINE_RECORD_TOO_LONG : CSV_LINE_RECORD_LINE_TOO_LONG;
    if (found != nullptr) {
        const char *lf = static_cast<const char *>(found);
        const int length = static_cast<int>(lf - text) - (lf > text && lf[-1] == '\r');
        const int fields = split_one(reader, text, length, &flags);
        const int n = hand_one(reader, text, fields, flags, next_line, batch);
        reader->resume_at = static_cast<size_t>(lf + 1 - held_bytes(reader));
        return n;
    }
    const int fields = split_one(reader, text, static_cast<int>(limit), &flags);
    const int n = hand_one(reader, text, fields, flags, next_line, batch);
    reader->skip_line_next = true;
    reader->resume_at = reader->at + limit;
    return n;
}

}  // namespace

namespace reading {

// The next batch of the reader on one thread (see csv_line_reader_next).
int next_batch(csv_line_reader *reader, csv_line_batch *batch)
{
    if (reader->failed || reader->error.code != CSV_LINE_OK) {
        reader->failed = true;
        return -1;
    }
    // What the last batch used is let go only now: it lay in the buffer.
    reader->at = reader->resume_at;
    if (reader->skip_line_next) {
        reader->skip_line_next = false;
        if (!skip_line(reader))
            return -1;
    }
    Tables &tables = reader->tables;
    for (;;) {
        if (!hold(reader, reader->want))
            return -1;
        const size_t left = reader->held - reader->at;
        if (left == 0 && reader->ended) {
            reader->resume_at = reader->at;
            return say_pending(reader) ? -1 : 0;
        }
        const char *text = held_bytes(reader) + reader->at;
        const size_t limit = static_cast<size_t>(reader->limit);
        const int window = static_cast<int>(left < limit ? left : limit);
        // A table of field_limit entries at most: a record of more fields
        // does not fit, and is found so.
        const int usable = tables.field_capacity < reader->field_limit ? tables.field_capacity : reader->field_limit;
        csv_line_index index = {tables.fields, usable, tables.starts, tables.start_capacity, 0, 0, 0, 0, 0, 0, 0};
        parse_csv_records(text, window, reader->separator, &index);
        if (index.record_count > 0) {
            long long line = reader->line;
            const long long offset = reader->offset + static_cast<long long>(reader->at);
            // Each record ends in an LF: any more are inside some record.
            const Check check = {&reader->error, reader->lenient, 0, index.quotes != 0,
                                 index.line_feeds > index.record_count, !reader->decode_later,
                                 reader->invalid_utf8 == CSV_LINE_UTF8_STRICT};
            const int kept = check_records(check, tables, text, 0, index.record_count, index.field_count, offset, &line);
            if (kept < 0)
                return -1;
            if (kept == 0) {
                reader->failed = true;
                return -1;
            }
            const int used = kept < index.record_count ? tables.fields[tables.starts[kept]].start : index.next;
            reader->resume_at = reader->at + static_cast<size_t>(used);
            reader->line = line;
            reader->want = 1;
            point_decoded(tables);
            fill_batch(tables, text, kept, reader->sequence++, batch);
            return kept;
        }
        if (index.full && (usable < reader->field_limit || tables.start_capacity == 0)) {
            // One record has more fields than the table: a table twice
            // as large, up to the field limit, or a record table at all.
            const long long twice = 2LL * tables.field_capacity;
            if (!tables.reserve_fields(&reader->error, twice < reader->field_limit ? twice : reader->field_limit) ||
                !tables.reserve_records(&reader->error, tables.start_capacity > 0 ? tables.start_capacity : 64))
                return -1;
            continue;
        }
        long long quotes = index.quotes;
        if (index.full) {
            // More fields than the limit: once the record's end is held,
            // its first fields are handed over and the rest dropped.
            csv_line_chunk summary;
            csv_line_chunk_scan(text, window, &summary);
            quotes = summary.quotes;
            if (summary.first_record[0] > 0) {
                const int end = static_cast<int>(summary.first_record[0]);
                int flags = 0;
                const int fields = split_one(reader, text, end, &flags);
                const int n = hand_one(reader, text, fields, flags, reader->line + count_line_feeds(text, static_cast<size_t>(end)),
                                       batch);
                reader->resume_at = reader->at + static_cast<size_t>(end);
                return n;
            }
        }
        if (left > limit)
            return hand_too_long(reader, batch);
        if (!reader->ended) {
            // The record goes on past what is held: twice its bytes, so
            // that it is not indexed again for every small read; at the
            // limit, one byte more tells a last record of `limit` bytes
            // from one over it.
            reader->want = left < limit / 2 ? 2 * left + 1 : limit + 1;
            continue;
        }
        // A read failed after these bytes: they end no record.
        if (say_pending(reader))
            return -1;
        // The input's last record, with no LF after it. The index counted
        // its quotes: an odd count leaves one open.
        int flags = (quotes & 1) != 0 ? CSV_LINE_RECORD_UNCLOSED : 0;
        const int fields = split_one(reader, text, window, &flags);
        const int n = hand_one(reader, text, fields, flags, -1, batch);
        reader->resume_at = reader->held;
        return n;
    }
}

int for_each_batch(csv_line_reader *reader, csv_line_batch_fn fn, void *context)
{
    csv_line_batch batch;
    for (;;) {
        const int n = next_batch(reader, &batch);
        if (n <= 0)
            return n;
        if (const int stop = fn(&batch, context))
            return stop;
    }
}

// Says where the header's first byte that is not UTF-8 lies.
static void say_header_not_utf8(csv_line_reader *reader, const csv_line_batch &batch, const csv_line_record &record)
{
    for (int k = 0; k < record.count; k++) {
        const csv_line_text raw = csv_line_batch_raw(&batch, record.field + k);
        const size_t valid = csv_line::input::utf8_valid_prefix(raw.data, static_cast<size_t>(raw.length));
        if (valid == static_cast<size_t>(raw.length))
            continue;
        const unsigned char byte = static_cast<unsigned char>(raw.data[valid]);
        fail(&reader->error, CSV_LINE_ERROR_ENCODING, record.line, k + 1,
             "line %lld: field %d: the header is not UTF-8 (byte 0x%02X)", record.line, k + 1, static_cast<unsigned>(byte));
        return;
    }
}

void read_header(csv_line_reader *reader)
{
    csv_line_batch batch;
    // Its own limit is the record's: the first batch's first record.
    const bool lenient = reader->lenient;
    reader->lenient = true;  // the header's problems are said below
    const int n = next_batch(reader, &batch);
    reader->lenient = lenient;
    if (n <= 0)
        return;
    const csv_line_record &record = batch.records[0];
    if (!lenient && record.flags != 0) {
        int field = 0;  // the first malformed one, from 1
        while (field < record.count && !csv_line_batch_malformed(&batch, record.field + field))
            field++;
        if (record.flags & CSV_LINE_RECORD_MALFORMED)
            fail(&reader->error, CSV_LINE_ERROR_MALFORMED, record.line, field + 1,
                 "line %lld: field %d: a quote inside an unquoted field or after a closing quote", record.line,
                 field + 1);
        else if (record.flags & (CSV_LINE_RECORD_TOO_LONG | CSV_LINE_RECORD_LINE_TOO_LONG))
            fail(&reader->error, CSV_LINE_ERROR_TOO_LONG, record.line, 0, "line %lld: the header is longer than the record limit",
                 record.line);
        else if (record.flags & CSV_LINE_RECORD_TOO_MANY_FIELDS)
            fail(&reader->error, CSV_LINE_ERROR_TOO_MANY_FIELDS, record.line, 0,
                 "line %lld: the header has more fields than the limit of %d", record.line, reader->field_limit);
        else if (record.flags & CSV_LINE_RECORD_NOT_UTF8)
            say_header_not_utf8(reader, batch, record);
        else
            fail(&reader->error, CSV_LINE_ERROR_UNCLOSED, record.line, 0,
                 "line %lld: the header leaves a quote open at the end of the input", record.line);
        return;
    }
    size_t bytes = 0;
    for (int k = 0; k < record.count; k++)
        bytes += static_cast<size_t>(csv_line_batch_value(&batch, record.field + k).length) + 1;
    reader->names = static_cast<csv_line_text *>(std::calloc(static_cast<size_t>(record.count), sizeof(csv_line_text)));
    reader->name_bytes = static_cast<char *>(std::malloc(bytes));
    if (reader->names == nullptr || reader->name_bytes == nullptr) {
        fail(&reader->error, CSV_LINE_ERROR_MEMORY, 0, 0, "out of memory");
        return;
    }
    char *out = reader->name_bytes;
    for (int k = 0; k < record.count; k++) {
        const csv_line_text value = csv_line_batch_value(&batch, record.field + k);
        std::memcpy(out, value.data, static_cast<size_t>(value.length));
        out[value.length] = '\0';
        reader->names[k] = {out, value.length};
        out += value.length + 1;
    }
    reader->name_count = record.count;
    // The header is no record: the next batch starts after it, whatever
    // else the batch held. (The buffer has not moved since.)
    if (n > 1) {
        reader->resume_at = static_cast<size_t>(batch.records[1].offset - reader->offset);
        reader->line = batch.records[1].line;
    }
    reader->sequence = 0;
}

}  // namespace reading

extern "C" {

int csv_line_reader_next(csv_line_reader *reader, csv_line_batch *batch)
{
    if (reader->threads > 1 && !reader->one_thread)
        return next_parallel(reader, batch);
    return next_batch(reader, batch);
}

int csv_line_reader_for_each(csv_line_reader *reader, csv_line_batch_fn fn, void *context)
{
    if (reader->threads > 1 && !reader->one_thread)
        return for_each_parallel(reader, fn, context);
    return for_each_batch(reader, fn, context);
}

const csv_line_error *csv_line_reader_error(const csv_line_reader *reader) { return &reader->error; }

int csv_line_reader_column_count(const csv_line_reader *reader) { return reader->name_count; }

void csv_line_reader_dialect(const csv_line_reader *reader, csv_line_dialect *dialect)
{
    *dialect = reader->dialect;
}

csv_line_text csv_line_reader_column_name(const csv_line_reader *reader, int column)
{
    if (column < 0 || column >= reader->name_count)
        return {"", 0};
    return reader->names[column];
}

int csv_line_reader_column_find(const csv_line_reader *reader, const char *name, size_t length)
{
    for (int k = 0; k < reader->name_count; k++)
        if (static_cast<size_t>(reader->names[k].length) == length &&
            std::memcmp(reader->names[k].data, name, length) == 0)
            return k;
    return -1;
}

}  // extern "C"
