// A batch's records checked: each one's line counted, each field that
// holds quotes other than two around it decoded, a malformed field flagged
// or said; and the reader's errors, said once.

#include <errno.h>

#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "csv_line.h"
#include "input/transcode.h"
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

int decode_value(const char *text, const csv_line_field &field, char *out, int *malformed)
{
    const int length = csv_line_field_value(text, &field, out, field.length + 1);
    *malformed = length < 0;
    return length >= 0 ? length : csv_line_field_content(text, &field, out, field.length + 1);
}

// Makes the entry of field k, which holds quotes other than two that
// enclose it, among the values stored apart, with room for its value (no
// longer than its raw bytes): the value decoded now, or when asked for
// (its length -1 until then). Returns 0, 1 for a malformed field, or -1
// out of memory.
static int store_apart(const Check &check, Tables &tables, const char *text, int k)
{
    const csv_line_field &field = tables.fields[k];
    if (!grow(check.error, reinterpret_cast<void **>(&tables.decoded), &tables.decoded_capacity,
              tables.decoded_count + 1LL, sizeof *tables.decoded))
        return -1;
    const long long need = static_cast<long long>(tables.decoded_used) + field.length + 1;
    if (!grow(check.error, reinterpret_cast<void **>(&tables.decoded_bytes), &tables.decoded_bytes_capacity, need, 1))
        return -1;
    int malformed, length = -1;
    if (check.decode)
        length = decode_value(text, field, tables.decoded_bytes + tables.decoded_used, &malformed);
    else
        malformed = csv_line_field_value(text, &field, nullptr, 0) < 0;
    csv_line_decoded &entry = tables.decoded[tables.decoded_count++];
    entry.field = k;
    entry.malformed = malformed;
    // An offset until the batch is complete: the bytes may still move.
    entry.value.data = nullptr;
    entry.value.length = length;
    tables.decoded_used += static_cast<size_t>(length >= 0 ? length : field.length) + 1;
    return malformed;
}

// The LFs of text[0, n) as bits, bit i of word i / 64 for byte i.
static void find_line_feeds(const char *text, int n, std::uint64_t *words)
{
    int at = 0;
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    for (; n - at >= 64; at += 64) {
        std::uint64_t word = 0;
        for (int part = 0; part < 4; part++) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + at + 16 * part));
            word |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lf))))
                    << (16 * part);
        }
        words[at / 64] = word;
    }
#endif
    for (; at < n; at += 64) {
        std::uint64_t word = 0;
        for (int k = 0; k < 64 && at + k < n; k++)
            word |= static_cast<std::uint64_t>(text[at + k] == '\n') << k;
        words[at / 64] = word;
    }
}

// Gives each record its line, from *line on: one line for its LF and one
// for each LF inside its fields, which only quotes hold. The LFs are found
// for the whole batch at once and taken in turn, record by record.
static bool count_lines(const Check &check, Tables &tables, const char *text, int made, long long *line)
{
    long long at_line = *line;
    if (!check.quoted || !check.line_breaks || made == 0) {
        for (int r = 0; r < made; r++)
            tables.records[r].line = at_line++;
        *line = at_line;
        return true;
    }
    const csv_line_field *fields = tables.fields;
    const csv_line_record &last = tables.records[made - 1];
    const int start = fields[tables.records[0].field].start;
    const int end = fields[last.field + last.count - 1].start + fields[last.field + last.count - 1].length;
    if (made == 1) {  // a record alone, over the limit or the input's last: no table
        tables.records[0].line = at_line;
        *line = at_line + 1 + count_line_feeds(text + start, static_cast<size_t>(end - start));
        return true;
    }
    const int words = (end - start + 63) / 64;
    if (!grow(check.error, reinterpret_cast<void **>(&tables.line_feeds), &tables.line_feed_capacity, words + 1LL,
              sizeof *tables.line_feeds))
        return false;
    find_line_feeds(text + start, end - start, tables.line_feeds);
    // The next LF at or after the records so far: word w, its bits left.
    int w = 0;
    std::uint64_t left = words > 0 ? tables.line_feeds[0] : 0;
    const auto next_lf = [&]() -> int {
        while (left == 0) {
            if (++w >= words)
                return end;
            left = tables.line_feeds[w];
        }
        return start + 64 * w + __builtin_ctzll(left);
    };
    int lf = next_lf();
    for (int r = 0; r < made; r++) {
        csv_line_record &record = tables.records[r];
        record.line = at_line++;
        const csv_line_field &final_field = fields[record.field + record.count - 1];
        const int fields_end = final_field.start + final_field.length;
        const int next_start = r + 1 < made ? fields[tables.records[r + 1].field].start : end;
        for (; lf < next_start; left &= left - 1, lf = next_lf())
            at_line += lf < fields_end;  // the LF that ends the record is counted already
    }
    *line = at_line;
    return true;
}

// The first of the `made` records whose bytes are not all UTF-8, or
// `made`; with a lenient check each such record is flagged instead, and
// then `made`. *bad is the offset of the first bad byte into text.
static int find_not_utf8(const Check &check, Tables &tables, const char *text, int made, int *bad)
{
    const csv_line_field *fields = tables.fields;
    const csv_line_field &final_field = fields[tables.records[made - 1].field + tables.records[made - 1].count - 1];
    const int end = final_field.start + final_field.length;
    int r = 0;
    while (r < made) {
        const int start = fields[tables.records[r].field].start;
        const int valid = static_cast<int>(csv_line::input::utf8_valid_prefix(text + start, static_cast<size_t>(end - start)));
        if (start + valid == end)
            return made;
        *bad = start + valid;
        while (r + 1 < made && fields[tables.records[r + 1].field].start <= *bad)
            r++;
        if (!check.lenient)
            return r;
        tables.records[r++].flags |= CSV_LINE_RECORD_NOT_UTF8;
    }
    return made;
}

// Says where the bad byte of record r lies: its line, field and column,
// the column counted in characters from the line's start.
static void say_not_utf8(const Check &check, const Tables &tables, const char *text, int r, int bad)
{
    const csv_line_record &record = tables.records[r];
    const int start = tables.fields[record.field].start;
    long long at_line = record.line;
    int line_start = start;
    for (int k = start; k < bad; k++)
        if (text[k] == '\n') {
            at_line++;
            line_start = k + 1;
        }
    long long column = 1;
    for (int k = line_start; k < bad; k++)
        column += (static_cast<unsigned char>(text[k]) & 0xC0) != 0x80;
    int field = 1;
    while (field < record.count && tables.fields[record.field + field].start <= bad)
        field++;
    fail(check.error, CSV_LINE_ERROR_ENCODING, record.line, field,
         "line %lld: field %d: column %lld: not UTF-8 (byte 0x%02X)", at_line, field, column,
         static_cast<unsigned>(static_cast<unsigned char>(text[bad])));
}

// The fields of the `made` records checked: those that hold quotes other
// than two around them decoded, a malformed one flagged or said. Returns
// the records to hand over.
static int check_fields(const Check &check, Tables &tables, const char *text, int from, int made, int field_count,
                        long long *line)
{
    if (!check.quoted || made == 0)
        return made;
    // The fields whose value is neither their bytes nor those between two
    // quotes around them, found in one pass over the fields' quote counts,
    // then decoded record by record.
    const int first_field = tables.starts[from];
    if (!grow(check.error, reinterpret_cast<void **>(&tables.marks), &tables.mark_capacity,
              static_cast<long long>(field_count) - first_field + 1, sizeof *tables.marks))
        return -1;
    int marked = 0;
    for (int k = first_field; k < field_count; k++) {
        const csv_line_field &field = tables.fields[k];
        tables.marks[marked] = k;
        marked += field.quotes != 0 && !csv_line_field_quoted_whole(text, &field);
    }
    int r = 0;  // the record of the field marked
    for (int m = 0; m < marked; m++) {
        const int k = tables.marks[m];
        while (r + 1 < made && tables.records[r + 1].field <= k)
            r++;
        const int decoded = store_apart(check, tables, text, k);
        if (decoded < 0)
            return -1;
        if (decoded == 0)
            continue;
        csv_line_record &record = tables.records[r];
        if (check.lenient) {
            record.flags |= CSV_LINE_RECORD_MALFORMED;
            continue;
        }
        const int field = k - record.field + 1;
        fail(check.error, CSV_LINE_ERROR_MALFORMED, record.line, field,
             "line %lld: field %d: a quote inside an unquoted field or after a closing quote", record.line, field);
        // The records before it are handed over; their decoded values
        // stay, the problem's are dropped.
        while (tables.decoded_count > 0 && tables.decoded[tables.decoded_count - 1].field >= record.field)
            tables.decoded_count--;
        *line = record.line;
        return r;
    }
    return made;
}

int check_records(const Check &check, Tables &tables, const char *text, int from, int count, int field_count,
                  long long offset, long long *line)
{
    tables.decoded_count = 0;
    tables.decoded_used = 0;
    int made = count - from;
    for (int r = from; r < count; r++) {
        const int first = tables.starts[r];
        const int last = r + 1 < count ? tables.starts[r + 1] : field_count;
        tables.records[r - from] = {0, offset + tables.fields[first].start, first, last - first, check.flags};
    }
    if (!count_lines(check, tables, text, made, line))
        return -1;
    // A record of bad bytes ends the batch before it, once the fields
    // before it are checked: the first problem in input order is said.
    int bad = 0;
    const int good = check.utf8 && made > 0 ? find_not_utf8(check, tables, text, made, &bad) : made;
    if (good < made) {
        *line = tables.records[good].line;
        made = good;
        field_count = tables.records[good].field;
    }
    const int decoded = check_fields(check, tables, text, from, made, field_count, line);
    if (decoded < made || good == count - from)
        return decoded;
    say_not_utf8(check, tables, text, good, bad);
    return good;
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
