// The portable kernel: one byte at a time, for any processor.

#include "copy_bytes.h"
#include "kernels.h"
#include "scan_ends.h"

namespace {

// For each byte, the states in which it stops a scan: bit 0 outside quotes,
// bit 1 inside, bit 2 outside quotes in a record. The NUL and the quote stop
// it in every state, the comma only outside quotes, the LF only outside
// quotes in a record.
struct StopTable {
    unsigned char in[256] = {};
    constexpr StopTable()
    {
        in[0] = in[static_cast<unsigned char>('"')] = 7;
        in[static_cast<unsigned char>(',')] = 5;
        in[static_cast<unsigned char>('\n')] = 4;
    }
};
constexpr StopTable stops;

// The line's next stop from p on: a quote, a separator (a comma outside
// quotes), the NUL, in a record its LF, or limit.
template <Ends E>
inline const char *next_stop(const char *p, const char *limit, int quoted)
{
    const unsigned char state = quoted ? 2 : E == Ends::record ? 4 : 1;
    // Four bytes a round, in order, so that a bound is tested once a round
    // and no byte past a stop is read. Only a bounded scan leaves the loop.
    for (; E == Ends::nul || limit - p >= 4; p += 4)
        for (int i = 0; i < 4; i++)
            if (stops.in[static_cast<unsigned char>(p[i])] & state)
                return p + i;
    while (p != limit && !(stops.in[static_cast<unsigned char>(*p)] & state))
        p++;
    return p;
}

// The length of the record at text from p on, where `quoted` holds: up to
// the first LF outside quotes and that LF, or 0 when there is none before
// limit. A NUL is an ordinary byte here.
int record_length(const char *text, const char *p, const char *limit, int quoted)
{
    for (; p != limit; p++) {
        if (*p == '"')
            quoted = !quoted;
        else if (*p == '\n' && !quoted)
            return static_cast<int>(p + 1 - text);
    }
    return 0;
}

// Splits the line from `line` to its end (see Ends) and, for a record, sets
// *length_out to the record's length. limit is used unless E is Ends::nul.
template <Ends E>
int split_bytes(const char *line, const char *limit, char (*fields)[FIELD_SIZE], int max_fields,
                int *length_out = nullptr)
{
    if (max_fields < 1) {
        if constexpr (E == Ends::record)
            *length_out = record_length(line, line, limit, 0);
        return 0;
    }

    int field = 0;   // the row being filled; also the fields completed
    int length = 0;  // content bytes stored in that row
    int quoted = 0;
    for (const char *content = line;;) {
        const char *stop = next_stop<E>(content, limit, quoted);
        const bool at_limit = E != Ends::nul && stop == limit;  // limit itself is never read
        // In a record, a CR just before its LF belongs to the line ending.
        const bool lf = E == Ends::record && !at_limit && *stop == '\n';
        const char *content_end = lf && stop != content && stop[-1] == '\r' ? stop - 1 : stop;
        // The bytes up to the stop are content, as far as the row has room;
        // the surplus of a longer field is dropped.
        const int room = FIELD_SIZE - 1 - length;
        const int run = content_end - content < room ? static_cast<int>(content_end - content) : room;
        copy_bytes(fields[field] + length, content, run);
        length += run;

        if (at_limit || lf || *stop == '\0') {
            fields[field][length] = '\0';
            if constexpr (E == Ends::record)
                *length_out = at_limit ? 0 : lf ? static_cast<int>(stop + 1 - line)
                                                : record_length(line, stop + 1, limit, quoted);
            return field + 1;
        }
        content = stop + 1;
        if (*stop == '"') {
            quoted = !quoted;  // a quote is never stored
        } else {
            fields[field][length] = '\0';
            // A separator that fills the table ends the fields: there is no
            // row left for what follows it.
            if (++field == max_fields) {
                if constexpr (E == Ends::record)
                    *length_out = record_length(line, content, limit, 0);
                return field;
            }
            length = 0;
        }
    }
}

// Finds where the fields of the record at text lie, up to limit (see
// parse_csv_fields).
int fields_bytes(const char *text, int length, char separator, csv_line_field *fields, int max_fields,
                 int *length_out)
{
    if (csv_line_separator_refused(separator))
        return -1;
    const char *limit = csv_line_span_end(text, length);
    if (max_fields < 1) {
        if (length_out != nullptr)
            *length_out = record_length(text, text, limit, 0);
        return 0;
    }
    int stored = 0;
    int start = 0;   // the open field's first byte
    int quotes = 0;  // quotes in it so far
    bool quoted = false;
    const char *p = text;
    for (; p != limit; p++) {
        if (*p == '"') {
            quoted = !quoted;
            quotes++;
        } else if (!quoted && *p == separator) {
            const int end = static_cast<int>(p - text);
            fields[stored++] = {start, end - start, quotes};
            // A full table stores no more; the record's end is still found.
            if (stored == max_fields) {
                if (length_out != nullptr)
                    *length_out = record_length(text, p + 1, limit, 0);
                return stored;
            }
            start = end + 1;
            quotes = 0;
        } else if (!quoted && *p == '\n') {
            break;
        }
    }
    int end = static_cast<int>(p - text);
    if (length_out != nullptr)
        *length_out = p != limit ? end + 1 : 0;
    if (p != limit && end > start && p[-1] == '\r')
        end--;  // a CR just before the LF belongs to the ending
    fields[stored++] = {start, end - start, quotes};
    return stored;
}

int split_line(const char *line, char (*fields)[FIELD_SIZE], int max_fields)
{
    return split_bytes<Ends::nul>(line, nullptr, fields, max_fields);
}

int split_span(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields)
{
    return split_bytes<Ends::span>(line, csv_line_span_end(line, length), fields, max_fields);
}

int split_record(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields, int *record_length)
{
    int found;
    const int count = split_bytes<Ends::record>(text, csv_line_span_end(text, length), fields, max_fields, &found);
    if (record_length != nullptr)
        *record_length = found;
    return count;
}

void scan_chunk(const char *text, long long length, csv_line_chunk *summary)
{
    csv_line_chunk found = {0, 0, {-1, -1}};
    int between = 0;  // for a chunk that begins outside quotes
    for (long long at = 0; at < length; at++) {
        if (text[at] == '"') {
            found.quotes++;
            between = !between;
        } else if (text[at] == '\n') {
            found.line_feeds++;
            if (found.first_record[between] < 0)
                found.first_record[between] = at + 1;
        }
    }
    *summary = found;
}

// Indexes the records of the text (parse_csv_records): one byte at a
// time, a record's fields stored as their ends are met and the record
// kept once its LF is.
int index_bytes(const char *text, int length, char separator, csv_line_index *index)
{
    if (csv_line_separator_refused(separator))
        return -1;
    int stored = 0;         // fields written, the open record's included
    int records = 0;        // records kept
    int record_first = 0;   // the open record's first field
    int start = 0;          // the open field's first byte
    int field_quotes = 0;   // quotes in it so far
    long long quotes = 0, line_feeds = 0;
    long long kept_quotes = 0, kept_line_feeds = 0;  // up to the last record kept
    int next = 0;
    bool quoted = index->quoted != 0;
    bool full = false;
    for (int at = 0; at < length && !full; at++) {
        const char c = text[at];
        if (c == '"') {
            quoted = !quoted;
            field_quotes++;
            quotes++;
            continue;
        }
        const bool lf = c == '\n';
        line_feeds += lf;
        if (quoted || (c != separator && !lf))
            continue;
        // (A capacity below 1 is no room at all.)
        if (stored >= index->field_capacity || (lf && records >= index->record_capacity)) {
            full = true;  // the open record does not fit: it is left for the next call
            break;
        }
        // A CR just before the LF belongs to the ending.
        const int end = lf && at > start && text[at - 1] == '\r' ? at - 1 : at;
        index->fields[stored++] = {start, end - start, field_quotes};
        start = at + 1;
        field_quotes = 0;
        if (lf) {
            index->records[records++] = record_first;
            record_first = stored;
            next = at + 1;
            kept_quotes = quotes;
            kept_line_feeds = line_feeds;
        }
    }
    index->record_count = records;
    index->field_count = record_first;
    index->next = next;
    index->full = full;
    index->quotes = full ? kept_quotes : quotes;
    index->line_feeds = full ? kept_line_feeds : line_feeds;
    return records;
}

}  // namespace

extern "C" const csv_line_kernel csv_line_portable_kernel = {
    "portable", 0, split_line, split_span, split_record, fields_bytes, scan_chunk, index_bytes};
