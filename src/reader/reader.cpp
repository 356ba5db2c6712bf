// The reader: an input's bytes held in one buffer, indexed a batch at a
// time by parse_csv_records, each batch's records checked and their lines
// counted before they are handed over. A record that does not end in what
// is held is moved to the buffer's front and indexed again once the buffer
// holds twice its bytes, so no byte is indexed more than a few times
// however the input arrives.

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "csv_line.h"
#include "reader.h"

namespace {

constexpr size_t READ_SIZE = 1 << 18;      // bytes asked of a descriptor or stream at a time
constexpr size_t MEMORY_WINDOW = 1 << 20;  // bytes of memory indexed at a time
constexpr int FIRST_FIELDS = 1 << 14;      // table entries to begin with; they grow as records need

}  // namespace

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

// Grows *table to hold `need` entries of `size` bytes, doubling; false,
// with the error said, when memory runs out.
bool grow(csv_line_error *said, void **table, int *capacity, long long need, size_t size)
{
    if (need <= *capacity)
        return true;
    long long more = *capacity > 0 ? *capacity : 16;
    while (more < need)
        more *= 2;
    if (more > (1LL << 31) - 1)
        more = (1LL << 31) - 1;
    void *bigger = more >= need ? std::realloc(*table, static_cast<size_t>(more) * size) : nullptr;
    if (bigger == nullptr) {
        fail(said, CSV_LINE_ERROR_MEMORY, 0, 0, "out of memory");
        return false;
    }
    *table = bigger;
    *capacity = static_cast<int>(more);
    return true;
}

bool Tables::reserve_fields(csv_line_error *said, long long need)
{
    return grow(said, reinterpret_cast<void **>(&fields), &field_capacity, need, sizeof *fields);
}

bool Tables::reserve_records(csv_line_error *said, long long need)
{
    return grow(said, reinterpret_cast<void **>(&starts), &start_capacity, need, sizeof *starts) &&
           grow(said, reinterpret_cast<void **>(&records), &record_capacity, need, sizeof *records);
}

void Tables::release()
{
    std::free(fields);
    std::free(starts);
    std::free(records);
    std::free(decoded);
    std::free(decoded_bytes);
    *this = Tables{};
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

void point_decoded(Tables &tables)
{
    size_t used = 0;
    for (int k = 0; k < tables.decoded_count; k++) {
        tables.decoded[k].value.data = tables.decoded_bytes + used;
        used += static_cast<size_t>(tables.decoded[k].value.length) + 1;
    }
}

void fill_batch(const Tables &tables, const char *text, int count, long long sequence, csv_line_batch *batch)
{
    batch->text = text;
    batch->fields = tables.fields;
    batch->records = tables.records;
    batch->count = count;
    batch->sequence = sequence;
    batch->decoded = tables.decoded;
    batch->decoded_count = tables.decoded_count;
}

}  // namespace reading

using namespace reading;

namespace reading {

long long read_more(csv_line_reader *reader, char *out, size_t n)
{
    while (reader->piece_next < reader->piece_count) {
        Piece &piece = reader->pieces[reader->piece_next];
        const size_t left = piece.size - reader->piece_taken;
        if (left == 0) {
            std::free(piece.owned);
            piece.owned = nullptr;
            reader->piece_next++;
            reader->piece_taken = 0;
            continue;
        }
        const size_t taken = n < left ? n : left;
        std::memcpy(out, piece.bytes + reader->piece_taken, taken);
        reader->piece_taken += taken;
        return static_cast<long long>(taken);
    }
    if (reader->read != nullptr) {
        errno = 0;
        const long long got = reader->read(reader->read_context, out, n);
        if (got < 0 || static_cast<unsigned long long>(got) > n) {
            errno = errno != 0 ? errno : EIO;
            return -1;
        }
        return got;
    }
    if (reader->file != nullptr) {
        const size_t got = std::fread(out, 1, n, reader->file);
        if (got == 0 && std::ferror(reader->file)) {
            errno = errno != 0 ? errno : EIO;
            return -1;
        }
        return static_cast<long long>(got);
    }
    for (;;) {
        const ssize_t got = read(reader->fd, out, n);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

}  // namespace reading

namespace {

// Makes at least `want` bytes unread held, or all that is left: the
// unread ones moved to the buffer's front and the buffer grown, up to the
// record limit, as they need. Returns false after an error, said.
bool hold(csv_line_reader *reader, size_t want)
{
    if (reader->memory != nullptr) {
        // Memory is all held already; a window of it is indexed at a time.
        const size_t window = want > MEMORY_WINDOW ? want : MEMORY_WINDOW;
        const size_t left = reader->memory_size - reader->at;
        reader->held = reader->at + (left < window ? left : window);
        reader->ended = reader->held == reader->memory_size;
        return true;
    }
    if (reader->held - reader->at >= want || reader->ended)
        return true;
    if (reader->at > 0) {
        std::memmove(reader->buffer, reader->buffer + reader->at, reader->held - reader->at);
        reader->offset += static_cast<long long>(reader->at);
        reader->held -= reader->at;
        reader->at = 0;
    }
    const size_t wanted_room = want > READ_SIZE ? want : READ_SIZE;  // at most the limit and a byte
    if (reader->capacity < wanted_room) {
        char *bigger = static_cast<char *>(std::realloc(reader->buffer, wanted_room));
        if (bigger == nullptr) {
            fail(&reader->error, CSV_LINE_ERROR_MEMORY, 0, 0, "out of memory");
            return false;
        }
        reader->buffer = bigger;
        reader->capacity = wanted_room;
    }
    while (reader->held < want && !reader->ended) {
        const long long got = read_more(reader, reader->buffer + reader->held, reader->capacity - reader->held);
        if (got < 0) {
            fail_io(&reader->error, reader->name);
            return false;
        }
        reader->ended = got == 0;
        reader->held += static_cast<size_t>(got);
    }
    return true;
}

const char *held_bytes(const csv_line_reader *reader)
{
    return reader->memory != nullptr ? reader->memory : reader->buffer;
}

// Drops the rest of a physical line over the limit, up to and with its
// LF. Returns false after a read error, said.
bool skip_line(csv_line_reader *reader)
{
    for (;;) {
        const char *bytes = held_bytes(reader);
        const void *lf = std::memchr(bytes + reader->at, '\n', reader->held - reader->at);
        if (lf != nullptr) {
            reader->at = static_cast<size_t>(static_cast<const char *>(lf) - bytes) + 1;
            return true;
        }
        reader->at = reader->held;
        if (reader->ended && (reader->memory == nullptr || reader->held == reader->memory_size))
            return true;
        if (!hold(reader, 1))
            return false;
        if (reader->held == reader->at)
            return true;
    }
}

// Whether the quote left open in a field opened where a well-formed field
// has none: inside an unquoted field, or after the quote that closed it.
// Otherwise the field opens with it and every quote after is doubled.
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

// Splits `length` bytes at text as one record, the last of the input or
// one cut at the limit, into the reader's tables.
int split_one(csv_line_reader *reader, const char *text, int length)
{
    return split_record(reader->tables, &reader->error, reader->separator, text, length);
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
        if (flags & CSV_LINE_RECORD_UNCLOSED) {
            // The quote left open took the rest into the last field.
            const int field = opened_amiss(text, tables.fields[fields - 1]) ? fields : 0;
            if (field != 0)
                fail(&reader->error, CSV_LINE_ERROR_UNCLOSED, line, field,
                     "line %lld: field %d: quote not closed by the end of the input", line, field);
            else
                fail(&reader->error, CSV_LINE_ERROR_UNCLOSED, line, 0,
                     "line %lld: quote not closed by the end of the input", line);
        } else
            fail(&reader->error, CSV_LINE_ERROR_TOO_LONG, line, 0, "line %lld: record longer than the limit of %d bytes", line,
                 reader->limit);
        return -1;
    }
    long long counted = line;
    const long long offset = reader->offset + (text - held_bytes(reader));
    const Check check = {&reader->error, reader->lenient, flags, true};
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
    if (found != nullptr) {
        const char *lf = static_cast<const char *>(found);
        const int length = static_cast<int>(lf - text) - (lf > text && lf[-1] == '\r');
        const int n = hand_one(reader, text, split_one(reader, text, length), CSV_LINE_RECORD_TOO_LONG, next_line, batch);
        reader->resume_at = static_cast<size_t>(lf + 1 - held_bytes(reader));
        return n;
    }
    const int n = hand_one(reader, text, split_one(reader, text, static_cast<int>(limit)), CSV_LINE_RECORD_LINE_TOO_LONG,
                           next_line, batch);
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
            return 0;
        }
        const char *text = held_bytes(reader) + reader->at;
        const size_t limit = static_cast<size_t>(reader->limit);
        const int window = static_cast<int>(left < limit ? left : limit);
        csv_line_index index = {tables.fields, tables.field_capacity, tables.starts, tables.start_capacity, 0,
                           0,             0,                     0,             0,                     0, 0};
        parse_csv_records(text, window, reader->separator, &index);
        if (index.record_count > 0) {
            long long line = reader->line;
            const long long offset = reader->offset + static_cast<long long>(reader->at);
            // Each record ends in an LF: any more are inside some record.
            const Check check = {&reader->error, reader->lenient, 0, index.quotes != 0,
                                 index.line_feeds > index.record_count};
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
        if (index.full) {
            // One record has more fields than the table: a table twice
            // as large, or a record table at all.
            if (!tables.reserve_fields(&reader->error, 2LL * tables.field_capacity) ||
                !tables.reserve_records(&reader->error, tables.start_capacity > 0 ? tables.start_capacity : 64))
                return -1;
            continue;
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
        // The input's last record, with no LF after it. The index counted
        // its quotes: an odd count leaves one open.
        const int flags = (index.quotes & 1) != 0 ? CSV_LINE_RECORD_UNCLOSED : 0;
        const int n = hand_one(reader, text, split_one(reader, text, window), flags, -1, batch);
        reader->resume_at = reader->held;
        return n;
    }
}

int split_record(Tables &tables, csv_line_error *said, char separator, const char *text, int length)
{
    for (;;) {
        const int n = parse_csv_fields(text, length, separator, tables.fields, tables.field_capacity, nullptr);
        if (n < tables.field_capacity)
            return n;
        if (!tables.reserve_fields(said, 2LL * tables.field_capacity + 16))
            return -1;
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

}  // namespace reading

namespace {

csv_line_reader *new_reader(const csv_line_reader_options *options, const char *name)
{
    csv_line_reader *reader = static_cast<csv_line_reader *>(std::calloc(1, sizeof(csv_line_reader)));
    if (reader == nullptr)
        return nullptr;
    reader->fd = -1;
    reader->want = 1;
    std::snprintf(reader->name, sizeof reader->name, "%s", name);
    const csv_line_reader_options none = {0, 0, 0, 0, 0};
    const csv_line_reader_options &given = options != nullptr ? *options : none;
    reader->separator = given.separator != 0 ? given.separator : ',';
    reader->header = given.header != 0;
    reader->limit = given.record_limit != 0 ? given.record_limit : CSV_LINE_DEFAULT_RECORD_LIMIT;
    reader->threads = given.threads != 0 ? given.threads : 1;
    reader->lenient = given.lenient != 0;
    csv_line_field probe;
    if (parse_csv_fields("", 0, reader->separator, &probe, 1, nullptr) < 0)
        fail(&reader->error, CSV_LINE_ERROR_OPTIONS, 0, 0, "the separator cannot be %s: it ends or quotes fields",
             reader->separator == '"' ? "the quote" : reader->separator == '\n' ? "LF" : "CR");
    else if (reader->limit < 0 || reader->threads < 0)
        fail(&reader->error, CSV_LINE_ERROR_OPTIONS, 0, 0, "a negative %s", reader->limit < 0 ? "record limit" : "thread count");
    if (!reader->tables.reserve_fields(&reader->error, FIRST_FIELDS) || !reader->tables.reserve_records(&reader->error, FIRST_FIELDS / 8))
        reader->failed = true;
    return reader;
}

// Drops a byte-order mark and reads the header, once the source is set.
csv_line_reader *start(csv_line_reader *reader)
{
    if (reader == nullptr || reader->error.code != CSV_LINE_OK)
        return reader;
    reader->line = 1;
    if (!hold(reader, 3))
        return reader;
    if (reader->held - reader->at >= 3 && std::memcmp(held_bytes(reader) + reader->at, "\xef\xbb\xbf", 3) == 0)
        reader->at += 3;
    reader->resume_at = reader->at;
    if (reader->header)
        read_header(reader);
    return reader;
}

}  // namespace

namespace reading {

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
        else
            fail(&reader->error, record.flags & CSV_LINE_RECORD_UNCLOSED ? CSV_LINE_ERROR_UNCLOSED : CSV_LINE_ERROR_TOO_LONG,
                 record.line, 0, "line %lld: the header %s", record.line,
                 record.flags & CSV_LINE_RECORD_UNCLOSED ? "leaves a quote open at the end of the input"
                                                     : "is longer than the record limit");
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

csv_line_reader *csv_line_reader_open_path(const char *path, const csv_line_reader_options *options)
{
    csv_line_reader *reader = new_reader(options, path);
    if (reader == nullptr || reader->error.code != CSV_LINE_OK)
        return reader;
    reader->fd = open(path, O_RDONLY | O_CLOEXEC);
    if (reader->fd < 0) {
        fail_io(&reader->error, path);
        return reader;
    }
    reader->owns_fd = true;
    return start(reader);
}

csv_line_reader *csv_line_reader_open_fd(int fd, const csv_line_reader_options *options)
{
    char name[32];
    std::snprintf(name, sizeof name, "descriptor %d", fd);
    csv_line_reader *reader = new_reader(options, fd == 0 ? "standard input" : name);
    if (reader != nullptr)
        reader->fd = fd;
    return start(reader);
}

csv_line_reader *csv_line_reader_open_file(FILE *file, const csv_line_reader_options *options)
{
    csv_line_reader *reader = new_reader(options, file == stdin ? "standard input" : "stream");
    if (reader != nullptr)
        reader->file = file;
    return start(reader);
}

csv_line_reader *csv_line_reader_open_read(csv_line_read_fn read, void *context, const csv_line_reader_options *options)
{
    csv_line_reader *reader = new_reader(options, "input");
    if (reader != nullptr) {
        reader->read = read;
        reader->read_context = context;
    }
    return start(reader);
}

csv_line_reader *csv_line_reader_open_memory(const char *bytes, size_t length, const csv_line_reader_options *options)
{
    csv_line_reader *reader = new_reader(options, "memory");
    if (reader != nullptr) {
        reader->memory = length > 0 ? bytes : "";
        reader->memory_size = length;
    }
    return start(reader);
}

void csv_line_reader_close(csv_line_reader *reader)
{
    if (reader == nullptr)
        return;
    stop_threads(reader);
    for (int k = reader->piece_next; k < reader->piece_count; k++)
        std::free(reader->pieces[k].owned);
    std::free(reader->pieces);
    if (reader->owns_fd)
        close(reader->fd);
    std::free(reader->buffer);
    reader->tables.release();
    std::free(reader->names);
    std::free(reader->name_bytes);
    std::free(reader);
}

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

// The entry for `field`: entries are by field, ascending, and most often
// spread evenly, so the search starts where the field's share of the
// batch's fields puts it, gallops to the side the entry lies on, and
// halves what is left.
static const csv_line_decoded *decoded_entry(const csv_line_batch *batch, int field)
{
    const csv_line_decoded *decoded = batch->decoded;
    const int count = batch->decoded_count;
    if (count == 0 || batch->count == 0)
        return nullptr;
    const csv_line_record &last = batch->records[batch->count - 1];
    const long long fields = last.field + last.count;
    long long share = fields > 0 ? static_cast<long long>(field) * count / fields : 0;
    const int guess = static_cast<int>(share < 0 ? 0 : share >= count ? count - 1 : share);
    // The first entry at or past `field` lies in [low, high].
    int low, high;
    if (decoded[guess].field < field) {
        low = guess + 1;
        int probe = low;
        for (int step = 1; probe < count && decoded[probe].field < field; probe += step, step *= 2)
            low = probe + 1;
        high = probe < count ? probe : count;
    } else {
        high = guess;
        int probe = guess - 1;
        for (int step = 1; probe >= 0 && decoded[probe].field >= field; probe -= step, step *= 2)
            high = probe;
        low = probe + 1 > 0 ? probe + 1 : 0;
    }
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (decoded[middle].field < field)
            low = middle + 1;
        else
            high = middle;
    }
    return low < count && decoded[low].field == field ? &decoded[low] : nullptr;
}

csv_line_text csv_line_batch_decoded(const csv_line_batch *batch, int field)
{
    if (const csv_line_decoded *entry = decoded_entry(batch, field))
        return entry->value;
    const csv_line_field &f = batch->fields[field];
    const char *raw = batch->text + f.start;
    if (csv_line_field_quoted_whole(batch->text, &f))
        return {raw + 1, f.length - 2};
    return {raw, f.length};
}

int csv_line_batch_malformed(const csv_line_batch *batch, int field)
{
    const csv_line_decoded *entry = decoded_entry(batch, field);
    return entry != nullptr && entry->malformed;
}

}  // extern "C"
