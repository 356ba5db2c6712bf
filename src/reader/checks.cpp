// A batch's records checked: each one's line counted, each field that
// holds quotes other than two around it decoded, a malformed field flagged
// or said; and the reader's errors, said once.

#include <errno.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "csv_line.h"
#include "reader.h"

namespace reading {

void fail(csv_line_error *said, int code, long long line, int field, const char *format, ...)
{
    if (said->code != CSV_LINE_OK)
        return;  // the first error stands
    csv_line_error &error = *said;
    error.code = code;
    error.system = code == CSV_LINE_ERROR_IO ? errno : 0;
    error.line = line;
    error.field = field;
    va_list args;
    va_start(args, format);
    std::vsnprintf(error.message, sizeof error.message, format, args);
    va_end(args);
}

void fail_io(csv_line_error *said, const char *what)
{
    const int system = errno != 0 ? errno : EIO;
    errno = system;
    fail(said, CSV_LINE_ERROR_IO, 0, 0, "%s: %s", what, std::strerror(system));
}

// Stores the value of field k, which holds quotes other than two that
// enclose it: decoded when well formed, else its content by the splitting
// rule. Returns 0, 1 for a malformed field, or -1 out of memory.
static int decode(csv_line_error *said, Tables &tables, const char *text, int k)
{
    const csv_line_field &field = tables.fields[k];
    if (!grow(said, reinterpret_cast<void **>(&tables.decoded), &tables.decoded_capacity,
              tables.decoded_count + 1LL, sizeof *tables.decoded))
        return -1;
    // Either way the value is no longer than the raw bytes: written once.
    const long long need = static_cast<long long>(tables.decoded_used) + field.length + 1;
    if (!grow(said, reinterpret_cast<void **>(&tables.decoded_bytes), &tables.decoded_bytes_capacity, need, 1))
        return -1;
    char *out = tables.decoded_bytes + tables.decoded_used;
    int length = csv_line_field_value(text, &field, out, field.length + 1);
    const int malformed = length < 0;
    if (malformed)
        length = csv_line_field_content(text, &field, out, field.length + 1);
    csv_line_decoded &entry = tables.decoded[tables.decoded_count++];
    entry.field = k;
    entry.malformed = malformed;
    // An offset until the batch is complete: the bytes may still move.
    entry.value.data = nullptr;
    entry.value.length = length;
    tables.decoded_used += static_cast<size_t>(length) + 1;
    return malformed;
}

int check_records(const Check &check, Tables &tables, const char *text, int from, int count, int field_count,
                  long long offset, long long *line)
{
    tables.decoded_count = 0;
    tables.decoded_used = 0;
    if (!check.quoted) {
        // No field holds a quote: each record is its fields and its LF.
        for (int r = from; r < count; r++) {
            const int first = tables.starts[r];
            const int last = r + 1 < count ? tables.starts[r + 1] : field_count;
            tables.records[r - from] = {(*line)++, offset + tables.fields[first].start, first, last - first,
                                        check.flags};
        }
        return count - from;
    }
    for (int r = from; r < count; r++) {
        const int first = tables.starts[r];
        const int last = r + 1 < count ? tables.starts[r + 1] : field_count;
        csv_line_record &record = tables.records[r - from];
        record.line = *line;
        record.offset = offset + tables.fields[first].start;
        record.field = first;
        record.count = last - first;
        record.flags = check.flags;
        long long lfs = 1;  // its LF
        int malformed_field = 0;
        bool quoted = false;
        for (int k = first; k < last; k++) {
            const csv_line_field &field = tables.fields[k];
            if (field.quotes == 0)
                continue;
            quoted = true;
            if (csv_line_field_quoted_whole(text, &field))
                continue;
            const int decoded = decode(check.error, tables, text, k);
            if (decoded < 0)
                return -1;
            if (decoded && malformed_field == 0)
                malformed_field = k - first + 1;
        }
        // Only quotes hold LFs inside a record: counted once for all its
        // fields, its ending left out.
        if (quoted && check.line_breaks) {
            const csv_line_field &end = tables.fields[last - 1];
            const int start = tables.fields[first].start;
            lfs += count_line_feeds(text + start, static_cast<size_t>(end.start + end.length - start));
        }
        if (malformed_field != 0) {
            if (!check.lenient) {
                fail(check.error, CSV_LINE_ERROR_MALFORMED, record.line, malformed_field,
                     "line %lld: field %d: a quote inside an unquoted field or after a closing quote", record.line,
                     malformed_field);
                // The records before it are handed over; their decoded
                // values stay, the problem's are dropped.
                while (tables.decoded_count > 0 && tables.decoded[tables.decoded_count - 1].field >= first)
                    tables.decoded_count--;
                return r - from;
            }
            record.flags |= CSV_LINE_RECORD_MALFORMED;
        }
        *line += lfs;
    }
    return count - from;
}

bool opened_amiss(const char *text, const csv_line_field &field)
{
    const char *raw = text + field.start;
    if (field.length == 0 || raw[0] != '"')
        return true;
    for (int k = 1; k < field.length; k++)
        if (raw[k] == '"' && (k + 1 == field.length || raw[++k] != '"'))
            return true;
    return false;
}

}  // namespace reading
