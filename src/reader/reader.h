// The reader's parts, shared by its files: the sources and buffer
// (source.cpp), the checks of a batch's records (checks.cpp), its tables
// (batch.cpp), the reader on one thread (reader.cpp) and on several
// (threads.cpp). Internal to the library.
#ifndef CSV_LINE_READER_PARTS_H
#define CSV_LINE_READER_PARTS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "csv_line.h"
#include "input/stage.h"

struct csv_line_reader;

namespace reading {

struct Threads;

// A batch's tables: what the index writes, the records made of it, and
// the values stored apart. Each grows as records need, and is kept.
struct Tables {
    csv_line_field *fields = nullptr;
    int field_capacity = 0;
    int *starts = nullptr;  // the index's records: each one's first field
    int start_capacity = 0;
    csv_line_record *records = nullptr;
    int record_capacity = 0;
    csv_line_decoded *decoded = nullptr;
    int decoded_capacity = 0;
    int decoded_count = 0;
    char *decoded_bytes = nullptr;
    int decoded_bytes_capacity = 0;
    size_t decoded_used = 0;
    std::uint64_t *line_feeds = nullptr;  // the batch's LFs, a bit a byte
    int line_feed_capacity = 0;
    int *marks = nullptr;  // fields to decode
    int mark_capacity = 0;

    bool reserve_fields(csv_line_error *said, long long need);
    bool reserve_records(csv_line_error *said, long long need);
    void release();
};

// Says the reader's first error; later ones are dropped.
void fail(csv_line_error *said, int code, long long line, int field, const char *format, ...)
    __attribute__((format(printf, 5, 6)));
void fail_io(csv_line_error *said, const char *what);

// How records are checked: where a problem is said, whether a malformed
// field is flagged (lenient) or said, flags every record gets, whether
// any field may hold a quote (else only records are made), and whether a
// record may hold an LF between quotes (else each takes one line).
struct Check {
    csv_line_error *error;
    bool lenient;
    int flags;
    bool quoted;
    bool line_breaks = true;
    bool decode = true;  // else a value stored apart is decoded when asked for
    bool utf8 = false;   // the records' bytes must be UTF-8
};

// Makes records of those indexed in tables from `from` to `count` (their
// first fields in tables.starts, field_count fields in all) of `text`,
// whose first byte is `offset` into the input, into tables.records from
// 0: each one's line from *line on, which it moves past them, its offset
// and flags; a field that holds quotes other than two around it gets its
// value stored apart. Returns the records made: all, or those before the
// first with a malformed field when the check is strict (its error then
// said); -1 out of memory, said.
int check_records(const Check &check, Tables &tables, const char *text, int from, int count, int field_count,
                  long long offset, long long *line);

// The LFs among the n bytes at p: eight at a time, a byte that is an LF
// becoming exactly a 1 (no carry runs between bytes), the eight summed by
// a multiply (the reader is built for any x86-64, whose popcount is a
// call), since a record is short and a call of memchr for each costs more.
inline long long count_line_feeds(const char *p, size_t n)
{
    const std::uint64_t ones = 0x0101010101010101u, lows = 0x7F7F7F7F7F7F7F7Fu;
    long long lfs = 0;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        const std::uint64_t x = word ^ (ones * '\n');  // zero where an LF was
        const std::uint64_t found = ~(((x & lows) + lows) | x | lows) >> 7;
        lfs += static_cast<long long>((found * ones) >> 56);
    }
    for (; n > 0; p++, n--)
        lfs += *p == '\n';
    return lfs;
}

// Grows *table to `need` entries of `size` bytes or more, doubling.
bool grow(csv_line_error *said, void **table, int *capacity, long long need, size_t size);

// Splits the record at text, up to its first LF outside quotes or its
// `length` bytes, into tables.fields, grown until its fields fit or hold
// `most` of them; *cut says whether it has more. Returns the fields split,
// or -1 out of memory, said.
int split_record(Tables &tables, csv_line_error *said, char separator, const char *text, int length, int most,
                 bool *cut);

// Writes the value of a field with quotes other than two around it to
// `out` (room for its length and a NUL): decoded when well formed, else
// its content by the splitting rule. Returns its length; *malformed says
// which.
int decode_value(const char *text, const csv_line_field &field, char *out, int *malformed);

// Points the values stored apart at their bytes, once they stay put.
void point_decoded(Tables &tables);

void fill_batch(const Tables &tables, const char *text, int count, long long sequence, csv_line_batch *batch);

// The reader on one thread: the next batch from where it stands.
int next_batch(csv_line_reader *reader, csv_line_batch *batch);
// Hands the rest, batch after batch, to fn on the caller's thread.
int for_each_batch(csv_line_reader *reader, csv_line_batch_fn fn, void *context);
void read_header(csv_line_reader *reader);

// Bytes read ahead by the threads, which a reader on one thread takes
// before reading the source again; each frees its memory once read.
struct Piece {
    const char *bytes;
    size_t size;
    char *owned;
};

// Reads what the reader's source gives next, pieces first, into `out`:
// at most n bytes, as read(2) does; -1 with errno on an error.
long long read_more(csv_line_reader *reader, char *out, size_t n);

// Says why read_more failed: the stage's error, or errno's.
void fail_read(csv_line_reader *reader);

// Says the error that came after the bytes held, once the records they
// end are handed over: true when there was one.
bool say_pending(csv_line_reader *reader);

// Makes at least `want` bytes unread held, or all that is left: the
// unread ones moved to the buffer's front and the buffer grown, up to the
// record limit, as they need. Returns false after an error, said.
bool hold(csv_line_reader *reader, size_t want);

// Drops the rest of a physical line over the limit, up to and with its
// LF. Returns false after a read error, said.
bool skip_line(csv_line_reader *reader);

// Whether the quote left open in a field opened where a well-formed field
// has none: inside an unquoted field, or after the quote that closed it.
// Otherwise the field opens with it and every quote after is doubled.
bool opened_amiss(const char *text, const csv_line_field &field);

// The readers on several threads (threads.cpp).
int next_parallel(csv_line_reader *reader, csv_line_batch *batch);
int for_each_parallel(csv_line_reader *reader, csv_line_batch_fn fn, void *context);
void stop_threads(csv_line_reader *reader);

}  // namespace reading

struct csv_line_reader {
    // Options, defaults filled in.
    char separator;
    bool header;
    int limit;
    int field_limit;
    int threads;
    bool lenient;
    bool decode_later;  // values stored apart are decoded when asked for
    int encoding;       // csv_line_encoding asked for
    int invalid_utf8;   // csv_line_invalid_utf8
    int guess;          // CSV_LINE_GUESS_ bits

    // The source: a descriptor, a stream, a read function or memory.
    int fd;
    bool owns_fd;
    FILE *file;
    csv_line_read_fn read;
    void *read_context;
    const char *memory;
    size_t memory_size;
    char name[256];  // in messages
    csv_line::input::Stage *stage;  // between the source and the buffer, when the input is unpacked or transcoded
    csv_line_dialect dialect;       // what it reads by, once open
    int sniffed;                    // what csv_line_sniff said of the guess

    // What is held: for a descriptor or stream, buffer[0, held); for memory,
    // the window memory[0, held). Bytes before `at` are done with; the last
    // batch handed over lies in [at, resume_at).
    char *buffer;
    size_t capacity;
    size_t at, resume_at, held;
    bool ended;              // the source has given its last byte
    size_t want;             // unread bytes to hold before indexing
    bool skip_line_next;     // the rest of a line over the limit is dropped first
    long long offset;        // the input's byte at buffer[0]
    long long line;          // the physical line of the byte at `at`, from 1

    reading::Tables tables;
    long long sequence;
    csv_line_error error;
    bool failed;
    csv_line_error pending;  // a read that failed after the bytes held: said once their records are handed over

    csv_line_text *names;
    char *name_bytes;
    int name_count;

    reading::Piece *pieces;  // read before the source, from piece_next on
    int piece_count, piece_next;
    size_t piece_taken;
    bool source_ended;       // the source gave its last byte before the pieces were made
    int source_errno;        // or failed: said once the pieces are read

    reading::Threads *workers;  // null until threads start; then the threads' own state
    bool one_thread;                    // the threads handed the rest over to one
};

namespace reading {

// Whether the reader's bytes are text the stage made, not the input's:
// its offsets are then not the input's.
inline bool reads_made_text(const csv_line_reader *reader)
{
    return reader->stage != nullptr;
}

// The bytes that the reader's offsets into what is held count from.
inline const char *held_bytes(const csv_line_reader *reader)
{
    return reader->memory != nullptr ? reader->memory : reader->buffer;
}

}  // namespace reading

#endif
