#ifndef CSV_LINE_H
#define CSV_LINE_H

/* Marks the library's functions; in a shared build nothing else of it is
   visible. */
#if defined(__GNUC__) || defined(__clang__)
#define CSV_LINE_API __attribute__((visibility("default")))
#else
#define CSV_LINE_API
#endif

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Width in bytes of one row of a field table: a field's content and its NUL. */
enum { FIELD_SIZE = 2048 };

/*
 * Splits the NUL-terminated line into comma-separated fields and stores
 * field k as a NUL-terminated string at the start of fields[k].
 *
 * A comma separates fields unless it stands between double quotes; every
 * double quote toggles that state and is never stored, so a doubled quote
 * vanishes. Nothing is trimmed: spaces, CR and LF are content. The line is
 * only read, up to its NUL. Reads may reach into the bytes around the line
 * within the aligned 64-byte blocks that hold its first byte and its NUL,
 * never beyond them; such a block never crosses a page, so they cannot fault.
 *
 * fields has max_fields rows of FIELD_SIZE bytes. A field keeps at most
 * FIELD_SIZE - 1 content bytes; the rest of a longer one is dropped. Only a
 * stored field's content and its terminator are written: bytes behind it,
 * rows from the result on and everything outside the table stay untouched.
 *
 * Returns the number of fields stored: the number of separating commas plus
 * one, but at most max_fields (a full table may mean the line was cut short),
 * and 0 when max_fields < 1. Nothing is allocated; no state is kept between
 * calls.
 */
CSV_LINE_API int parse_csv_line(const char *line, char (*fields)[FIELD_SIZE], int max_fields);

/*
 * Splits the line held in the first `length` bytes at `line`, which need no
 * NUL after them, exactly as parse_csv_line splits a NUL-terminated copy of
 * those bytes: a NUL among them ends the line there, and a length below 1 is
 * an empty line. Nothing before `line` is read, nor anything past its last
 * byte beyond the aligned 64-byte block that holds that byte. Writes, result
 * and capacity as for parse_csv_line; nothing is allocated.
 */
CSV_LINE_API int parse_csv_span(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields);

/*
 * Splits the record at the start of the `length` bytes at `text` and says
 * where the next one starts. The record runs up to the first LF that stands
 * outside quotes, the quotes counted from `text` by the same toggle (a NUL
 * counts as an ordinary byte here); an LF between quotes is content. Its
 * fields are exactly those parse_csv_span stores for the record's bytes
 * without its line ending, which is that LF and a CR just before it.
 *
 * *record_length is set to the bytes the record takes, line ending
 * included, so the next record starts at text + *record_length. When no LF
 * stands outside quotes, all `length` bytes are split as the record and
 * *record_length is 0: at the end of the input, use the fields; with more
 * to come, read more and call again from the same place. A length below 1
 * is an empty record: one empty field, *record_length 0. The record's end
 * is found even when separators fill the table first, or max_fields < 1.
 * record_length may be null.
 *
 * Reads as parse_csv_span reads; writes, result and capacity as for
 * parse_csv_line. Nothing is allocated.
 */
CSV_LINE_API int parse_csv_record(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields,
                                  int *record_length);

/* Where one field of a record lies in the text it was found in. */
typedef struct csv_line_field {
    int start;  /* offset of its first raw byte from the text */
    int length; /* its raw bytes, up to its separator or the record's ending */
    int quotes; /* the double quotes among them */
} csv_line_field;

/*
 * Finds where the fields of the record at the start of the `length` bytes
 * at `text` lie, and where the next record starts, storing no byte of
 * them. The record is found as parse_csv_record finds it: up to the first
 * LF outside quotes, every double quote toggling, and that LF and a CR just
 * before it are its ending, in no field. `separator` separates fields where
 * it stands outside quotes; between quotes it is content. A NUL is content
 * too. No field has a length limit.
 *
 * fields[k] says where field k's raw bytes lie. By the splitting rule its
 * content is those bytes with every quote dropped: length - quotes bytes,
 * the raw bytes themselves when quotes is 0 (csv_line_field_content copies it).
 * For a comma and a record without NUL, that is what parse_csv_record
 * stores, without its cut at FIELD_SIZE - 1 bytes.
 *
 * *record_length, which may be null, is set as parse_csv_record sets it:
 * the record's bytes with its ending, or 0 when no LF stands outside
 * quotes. A length below 1 is an empty record: one field {0, 0, 0}.
 *
 * Returns the number of fields stored, at most max_fields; once the table
 * is full nothing more is stored, but the record's end is still found (so
 * a full table may mean fields were left out). Returns 0 when
 * max_fields < 1, and -1, writing nothing at all, when the separator is
 * the double quote, LF or CR. Writes nothing but fields[0] to
 * fields[result - 1] and *record_length; reads as parse_csv_span reads.
 * Nothing is allocated.
 */
CSV_LINE_API int parse_csv_fields(const char *text, int length, char separator, csv_line_field *fields, int max_fields,
                                  int *record_length);

/*
 * Writes the content of a field that parse_csv_fields found in `text`:
 * its raw bytes with every quote dropped. At most out_size - 1 bytes are
 * written, then a NUL; nothing when out_size < 1. Returns the content's
 * whole length, length - quotes, which is out_size or more when the
 * content was cut, as snprintf does.
 */
CSV_LINE_API int csv_line_field_content(const char *text, const csv_line_field *field, char *out, int out_size);

/*
 * Writes the value that readers of RFC 4180 files (spreadsheets,
 * databases) give a field that parse_csv_fields found in `text`, when the
 * field is well formed for them: either it holds no quote, and its value
 * is its raw bytes, or it is quoted whole, opening and closing with a
 * quote with every quote between those doubled, and its value is what the
 * outer quotes enclose with each doubled quote as one. Written and bounded
 * as by csv_line_field_content; returns the value's whole length. Any other
 * field (a quote inside an unquoted field, bytes after a closing quote)
 * writes nothing and returns -1: its content by the splitting rule is what
 * csv_line_field_content gives.
 */
CSV_LINE_API int csv_line_field_value(const char *text, const csv_line_field *field, char *out, int out_size);

/*
 * A summary of one chunk of a larger text, from which chunks scanned apart
 * (on other threads, in any order) give where the text's records begin:
 *
 *   quotes, line_feeds  the chunk's quote and LF bytes;
 *   first_record[s]     the offset from the chunk's start just past its
 *                       first LF that stands outside quotes, when the chunk
 *                       begins outside quotes (s = 0) or between them
 *                       (s = 1); -1 when it has none.
 *
 * Every quote toggles, so a byte stands between quotes exactly when the
 * quotes before it are odd in number. The text's first chunk begins outside
 * quotes and its first record at 0; each later chunk begins in the state of
 * the one before, flipped by an odd count:
 *
 *     int state = 0;
 *     for (int k = 1; k < chunks; k++) {
 *         state ^= (int)(summary[k - 1].quotes & 1);
 *         first[k] = summary[k].first_record[state];
 *     }
 *
 * first[k] is then where the first record that begins after chunk k's first
 * byte begins, as parse_csv_record finds records walking from the text's
 * start; -1 when none does. Counting line_feeds the same way gives each
 * chunk's first physical line.
 *
 * Writes nothing but *summary; reads as parse_csv_span reads, length bytes
 * from text (a NUL is an ordinary byte). A length below 1 is an empty
 * chunk: no quotes, no LF, no record. Nothing is allocated.
 */
typedef struct csv_line_chunk {
    long long quotes;
    long long line_feeds;
    long long first_record[2];
} csv_line_chunk;

CSV_LINE_API void csv_line_chunk_scan(const char *text, long long length, csv_line_chunk *summary);

/*
 * Where the records of a buffer lie: the tables parse_csv_records fills,
 * and what it says of them.
 *
 * Set by the caller:
 *   fields, field_capacity    a table of field_capacity csv_line_field entries
 *   records, record_capacity  a table of record_capacity ints
 *   quoted                    1 when text[0] stands between quotes (a chunk
 *                             cut from the middle of a larger text), else 0
 *
 * Set by parse_csv_records:
 *   record_count  the records indexed. records[r] is the index in fields of
 *                 record r's first field; its fields run up to records[r + 1],
 *                 or field_count for the last record.
 *   field_count   the fields of those records, in order.
 *   next          the offset just past the last indexed record's ending:
 *                 where the first record not indexed begins.
 *   full          1 when a table had no room for the record at next, which
 *                 may or may not end in the text; 0 when no LF outside quotes
 *                 stands from next to the text's end, so the record there,
 *                 if any byte is left, does not end in the text.
 *   quotes, line_feeds
 *                 the quote and LF bytes in the bytes the call scanned: up to
 *                 next when full, else all `length` bytes (the counts of
 *                 csv_line_chunk_scan).
 */
typedef struct csv_line_index {
    csv_line_field *fields;
    int field_capacity;
    int *records;
    int record_capacity;
    int quoted;
    int record_count;
    int field_count;
    int next;
    int full;
    long long quotes;
    long long line_feeds;
} csv_line_index;

/*
 * Indexes every record that ends in the `length` bytes at `text`, in one
 * pass: record after record from text[0], each up to the first LF outside
 * quotes, found as parse_csv_fields finds one. Record r begins at
 * fields[records[r]].start; its fields are exactly those parse_csv_fields
 * gives for the text from there, their starts counted from `text`. (With
 * `quoted` set, the first record is the rest of one begun before the text,
 * its first field starting between quotes.) The separator rules are
 * parse_csv_fields': `separator` separates fields outside quotes, a NUL is
 * content, and that LF and a CR just before it are the record's ending.
 *
 * Records go into the tables in order as long as both have room for a whole
 * record: a record whose fields do not all fit, or that finds the record
 * table full, is left for a later call from `next`, with full set. A record
 * that does not end in the text is never indexed: next says where it
 * begins, so that the caller can read more and call again from there (at
 * the end of the input, parse_csv_fields splits it).
 *
 * Writes nothing but *index's results, fields[0] to
 * fields[field_capacity - 1] and records[0] to records[record_capacity - 1];
 * entries past field_count and record_count hold nothing of use. Reads as
 * parse_csv_span reads, the `length` bytes at text. A length below 1 is an
 * empty text: no record, next 0. Returns record_count, or -1, writing
 * nothing at all, when the separator is the double quote, LF or CR.
 * Nothing is allocated.
 */
CSV_LINE_API int parse_csv_records(const char *text, int length, char separator, csv_line_index *index);

/*
 * Names the kernel that the splitters run on this processor: "avx512",
 * "avx512bw", "avx2", "sse2" or "portable" (on 64-bit ARM "neon",
 * "neon_nopmull" or "portable"). The library chooses the fastest one the
 * processor and its operating system support, once, on the first call of
 * any function here; CSV_LINE_KERNEL=<one of those names> in the
 * environment forces one (a name it cannot run is reported once on standard
 * error, and its own choice stands). Every kernel splits alike.
 */
CSV_LINE_API const char *csv_line_kernel_name(void);

/*
 * Reading whole inputs
 *
 * A reader takes its bytes from a file, a descriptor, a stream or memory and
 * hands over its records in batches, in input order: every record of the
 * input, each with its fields' positions, its physical line and its byte
 * offset. A record ends at the first LF outside quotes, as parse_csv_records
 * finds it; the input's last record may end without one. A UTF-8 byte-order
 * mark at the input's very start is dropped. Problems are never passed over:
 * by default the first one stops the reader with an error naming its line;
 * a lenient reader flags the record instead and reads on.
 */

/* What a reader's options leave at 0 gets its default. (Version 1.1's
   options ended at `lenient`, 1.2's and 1.3's at `decode_on_demand`; a
   program built then keeps the functions it was linked with, which read
   those alone, and read bytes as they are.) */
typedef struct csv_line_reader_options {
    char separator;   /* between fields: ',' when 0; refused as parse_csv_fields refuses */
    int header;       /* 1: the first record holds the columns' names, and is no record */
    int record_limit; /* the most bytes a record may take, ending included: 16 MiB when 0 */
    int threads;      /* threads that read (1 when 0): records still come in order */
    int lenient;      /* 1: flag problems on their records and read on (CSV_LINE_RECORD_ bits) */
    int field_limit;  /* the most fields a record may have: 1048576 (2^20) when 0 */
    int decode_on_demand; /* 1: every field is checked, but a value stored apart is decoded only
                             when csv_line_batch_value or csv_line_batch_decoded asks for it: for
                             callers that use fields' raw bytes (see csv_line_batch) */
    int encoding;     /* a csv_line_encoding: what the input's bytes are. 0: UTF-8, or UTF-16 after its
                         byte-order mark. Any other is turned into UTF-8 as it is read */
    int invalid_utf8; /* a csv_line_invalid_utf8: what text that is not UTF-8 does (0: an error) */
    int guess;        /* CSV_LINE_GUESS_ bits: the separator, or whether a header comes first, found
                         by csv_line_sniff from the input's first CSV_LINE_SNIFF_SAMPLE bytes */
} csv_line_reader_options;

/*
 * An input that begins with the magic bytes of gzip or zstd is read
 * decompressed, whatever its name; then it is text in its encoding. Once
 * it is turned into UTF-8, the records' lines and offsets are those of the
 * text, not of the bytes read.
 */
enum csv_line_encoding {
    CSV_LINE_ENCODING_AUTO = 0, /* UTF-8; UTF-16 (LE or BE) when it begins with its byte-order mark */
    CSV_LINE_ENCODING_UTF8,     /* UTF-8, whatever it begins with */
    CSV_LINE_ENCODING_UTF16LE,  /* a byte-order mark first is dropped */
    CSV_LINE_ENCODING_UTF16BE,
    CSV_LINE_ENCODING_LATIN1,   /* ISO 8859-1: each byte the code point of its value */
    CSV_LINE_ENCODING_CP1252    /* Windows-1252; its five unassigned bytes are the code points of their values */
};

enum csv_line_invalid_utf8 {
    CSV_LINE_UTF8_STRICT = 0, /* CSV_LINE_ERROR_ENCODING (flagged CSV_LINE_RECORD_NOT_UTF8 when lenient) */
    CSV_LINE_UTF8_REPLACE,    /* each bad sequence becomes U+FFFD, as Python's "replace" does */
    CSV_LINE_UTF8_RAW         /* bytes as they are: the reader does not look */
};

enum { CSV_LINE_GUESS_SEPARATOR = 1 << 0, CSV_LINE_GUESS_HEADER = 1 << 1 };

enum { CSV_LINE_DEFAULT_RECORD_LIMIT = 16 << 20, CSV_LINE_DEFAULT_FIELD_LIMIT = 1 << 20 };

/* What went wrong; a message says it with the line. */
enum csv_line_error_code {
    CSV_LINE_OK = 0,
    CSV_LINE_ERROR_IO,        /* a read failed or a file could not be opened: csv_line_error.system is errno */
    CSV_LINE_ERROR_MEMORY,    /* out of memory */
    CSV_LINE_ERROR_OPTIONS,   /* a separator refused, a negative limit or thread count, an encoding,
                                 policy or guess unknown */
    CSV_LINE_ERROR_TOO_LONG,  /* a record over the record limit */
    CSV_LINE_ERROR_UNCLOSED,  /* a quote left open at the end of the input */
    CSV_LINE_ERROR_MALFORMED, /* a field not well formed (see csv_line_field_value) */
    CSV_LINE_ERROR_TOO_MANY_FIELDS, /* a record of more fields than the field limit */
    CSV_LINE_ERROR_COMPRESSED, /* a compressed input cut off or corrupt (the message names the byte of the
                                  compressed input), or of a kind this build cannot read */
    CSV_LINE_ERROR_ENCODING    /* text that is not UTF-8; the message names its line, field and column */
};

typedef struct csv_line_error {
    int code;          /* a csv_line_error_code */
    int system;        /* errno, for CSV_LINE_ERROR_IO; else 0 */
    long long line;    /* the physical line where the record began, from 1; 0 for none */
    int field;         /* the field, from 1, for CSV_LINE_ERROR_MALFORMED, and for CSV_LINE_ERROR_UNCLOSED
                          when the quote opened inside an unquoted field or after a closing quote; else 0 */
    char message[256]; /* e.g. "line 4: field 2: a quote inside an unquoted field or after a closing quote" */
} csv_line_error;

/* A lenient reader's flags on a record (csv_line_record.flags). A strict one
   stops with the error of the same name instead. */
enum {
    CSV_LINE_RECORD_MALFORMED = 1 << 0, /* a field is not well formed: its value is its content by the splitting rule */
    CSV_LINE_RECORD_UNCLOSED = 1 << 1,  /* a quote open at the input's end took the rest into this record */
    CSV_LINE_RECORD_TOO_LONG = 1 << 2,  /* over the limit: ended at its first LF, and read on from there */
    CSV_LINE_RECORD_LINE_TOO_LONG = 1 << 3, /* a line over the limit: the fields of its first record_limit
                                         bytes, the rest of the line dropped */
    CSV_LINE_RECORD_TOO_MANY_FIELDS = 1 << 4, /* its first field_limit fields, the rest of the record dropped */
    CSV_LINE_RECORD_NOT_UTF8 = 1 << 5 /* its bytes are not all UTF-8: they are handed over as they are */
};

/* A run of bytes: not NUL-terminated. */
typedef struct csv_line_text {
    const char *data;
    int length;
} csv_line_text;

/* One record of a batch. */
typedef struct csv_line_record {
    long long line;   /* the physical line where it begins, from 1 */
    long long offset; /* the input's byte where it begins (a byte-order mark counts) */
    int field;        /* its first field's index in the batch's fields */
    int count;        /* its fields, 1 or more */
    int flags;        /* CSV_LINE_RECORD_ bits; 0 unless lenient */
} csv_line_record;

/* A field's value stored apart: one holding doubled quotes, or flagged. */
typedef struct csv_line_decoded {
    int field;     /* its index in the batch's fields */
    int malformed; /* 1: not well formed, the value is its content by the splitting rule */
    csv_line_text value;
} csv_line_decoded;

/* Records handed over together. Everything it points to is the reader's and
   stays as it is until the reader's next call (for csv_line_reader_for_each,
   until the callback returns); but with decode_on_demand a value stored
   apart is written into its entry when first asked for (its length is -1
   until then), so one batch's values are asked for from one thread at a
   time. */
typedef struct csv_line_batch {
    const char *text;          /* fields' starts count from here */
    const csv_line_field *fields;   /* every field of the batch's records, in order */
    const csv_line_record *records;
    int count;                 /* records */
    long long sequence;        /* the batch's place in the input: 0, 1, 2, ... */
    const csv_line_decoded *decoded; /* by field index, ascending */
    int decoded_count;
} csv_line_batch;

typedef struct csv_line_reader csv_line_reader;

/*
 * Opens a reader of the file at `path`, of the descriptor `fd` (read from
 * where it stands, pipes included, whose buffer it asks to grow to 1 MiB;
 * not closed), of `file` (read with fread;
 * not closed), of what `read` gives, or of the `length` bytes at `bytes`
 * (not copied: they must stay as they are while the reader is open).
 *
 * `read` is called as read(context, buffer, size), on the thread that
 * calls csv_line_reader_next or csv_line_reader_for_each, one call at a time; it
 * writes at most `size` bytes at `buffer` and returns how many, 0 at the
 * input's end, or -1 on an error (with errno set, else EIO is said). options may be null: the
 * defaults. With a header the first record is read at once.
 *
 * Returns the reader, to be closed by csv_line_reader_close; null only when
 * memory for it could not be had. An input that cannot be opened or read,
 * bad options or a bad header leave the reader in error: csv_line_reader_error
 * says which, and reading returns -1.
 *
 * Memory, whatever the input: on one thread, a buffer of record_limit + 1
 * bytes at most, and one batch's tables: 12 bytes a field, 36 a record,
 * and a field's bytes and 24 more for each value stored apart. A batch
 * holds field_limit fields at most, so the reader holds at most
 * 2 * record_limit + 40 * field_limit bytes (72 MiB with the defaults;
 * about 1 MiB on usual text), and a header's names up to record_limit +
 * 16 * field_limit more. With n threads, add 2n + 2 ranges of about 128
 * KiB or 4096 lines, each about 2 MiB at most with its tables, and the
 * ranges that hold records over 128 KiB: record_limit + 12 * field_limit
 * bytes between them.
 */
CSV_LINE_API csv_line_reader *csv_line_reader_open_path(const char *path, const csv_line_reader_options *options);
CSV_LINE_API csv_line_reader *csv_line_reader_open_fd(int fd, const csv_line_reader_options *options);
CSV_LINE_API csv_line_reader *csv_line_reader_open_file(FILE *file, const csv_line_reader_options *options);
typedef long long (*csv_line_read_fn)(void *context, char *buffer, size_t size);
CSV_LINE_API csv_line_reader *csv_line_reader_open_read(csv_line_read_fn read, void *context,
                                                       const csv_line_reader_options *options);
CSV_LINE_API csv_line_reader *csv_line_reader_open_memory(const char *bytes, size_t length,
                                                         const csv_line_reader_options *options);

/*
 * Cuts the regular file open at `fd` into n byte ranges that each begin at
 * a record start, for spreading one file over threads, processes or hosts:
 * range k is [starts[k], starts[k + 1]), a reader of its bytes alone reads
 * exactly its records, and the ranges together read as the whole file. (A
 * reader drops a byte-order mark at its start; a range after the first
 * whose first record begins with the bytes EF BB BF keeps them when read
 * from the LF before it, starts[k] - 1, the blank line that LF makes left
 * out.)
 * Range k begins at the first record start at or after byte size * k / n,
 * or at the file's end when none does, so a range may be empty. starts
 * takes n + 1 entries: starts[0] is 0 and starts[n] the file's size.
 * lines, when not null, takes n + 1 entries too: lines[k] is the physical
 * line (from 1) where range k begins, lines[n] the one past the file's last.
 *
 * Reads the whole file once with pread; the descriptor's offset is left as
 * it stands. Returns 0, or -1 with errno set: EINVAL for n < 1, ESPIPE for
 * no regular file, ENOTSUP for a compressed one (gzip or zstd, whose bytes
 * are no records), ENOMEM, or a read's error (EIO when the file is cut
 * short while read). Writes nothing else; allocates 1 MiB while it runs.
 */
CSV_LINE_API int csv_line_ranges_find_fd(int fd, long long n, long long *starts, long long *lines);

/* The same ranges of the `length` bytes at `text` (a file mapped, say):
   reads them once, allocates nothing. Returns 0, or -1 with errno EINVAL
   for n < 1 or a negative length, ENOTSUP for compressed bytes. */
CSV_LINE_API int csv_line_ranges_find_memory(const char *text, long long length, long long n, long long *starts,
                                   long long *lines);

/* Frees the reader and all it holds; a null reader is ignored. */
CSV_LINE_API void csv_line_reader_close(csv_line_reader *reader);

/*
 * Hands over the next records, in input order, into *batch. Returns how
 * many (1 or more), 0 once every record has been handed over, or -1 on an
 * error, which csv_line_reader_error then says. A strict reader hands over the
 * records before a problem first, and the error on the call after; every
 * call after an error returns -1 again.
 */
CSV_LINE_API int csv_line_reader_next(csv_line_reader *reader, csv_line_batch *batch);

/*
 * Hands every batch left to `fn`, on the reader's threads at once and in
 * no order (each batch says its sequence and its records their lines),
 * and returns once all have been handed: 0, -1 on an error (as
 * csv_line_reader_next), or fn's result when one was not 0, which stops the
 * handing. The batches are those csv_line_reader_next would hand, records,
 * problems and errors alike; none after a batch that holds an error's
 * record is handed, and none after one that fn stopped at is begun. The
 * batches are begun in sequence: a callback may wait for the ones before
 * its own (to write in input order), as those are under way already. It
 * goes on from where csv_line_reader_next left off. On several threads,
 * once fn has stopped it the reader hands nothing more: later calls
 * return 0.
 */
typedef int (*csv_line_batch_fn)(const csv_line_batch *batch, void *context);
CSV_LINE_API int csv_line_reader_for_each(csv_line_reader *reader, csv_line_batch_fn fn, void *context);

/* The reader's error: code CSV_LINE_OK while there is none. */
CSV_LINE_API const csv_line_error *csv_line_reader_error(const csv_line_reader *reader);

/* With a header: the number of names, and name k as its value (as
   csv_line_field_value reads it; a malformed one by the splitting rule). Name
   k of none, or without a header, is empty. */
CSV_LINE_API int csv_line_reader_column_count(const csv_line_reader *reader);
CSV_LINE_API csv_line_text csv_line_reader_column_name(const csv_line_reader *reader, int column);

/* The column whose name is the `length` bytes at `name`: its index from 0,
   the first of several, or -1 when none is. */
CSV_LINE_API int csv_line_reader_column_find(const csv_line_reader *reader, const char *name, size_t length);

/* The value of field `field` of a batch that csv_line_batch_value found stored
   apart; for any other field, as csv_line_batch_value. */
CSV_LINE_API csv_line_text csv_line_batch_decoded(const csv_line_batch *batch, int field);

/* Field `field` of the batch (a record's k-th field is record.field + k):
   its raw bytes, its value as RFC 4180 readers read it, and whether it is
   malformed (only a lenient reader hands such fields over). A value points
   into the text when it holds no doubled quote, else into the batch. */
static inline csv_line_text csv_line_batch_raw(const csv_line_batch *batch, int field)
{
    csv_line_text raw;
    raw.data = batch->text + batch->fields[field].start;
    raw.length = batch->fields[field].length;
    return raw;
}

/* 1 when the only quotes of a field found in `text` are the two that open
   and close it: its value is then the raw bytes between them. */
static inline int csv_line_field_quoted_whole(const char *text, const csv_line_field *field)
{
    return field->quotes == 2 && text[field->start] == '"' && text[field->start + field->length - 1] == '"';
}

static inline csv_line_text csv_line_batch_value(const csv_line_batch *batch, int field)
{
    const csv_line_field *f = &batch->fields[field];
    csv_line_text value;
    value.data = batch->text + f->start;
    value.length = f->length;
    if (f->quotes == 0)
        return value;
    if (csv_line_field_quoted_whole(batch->text, f)) {
        value.data++;
        value.length -= 2;
        return value;
    }
    return csv_line_batch_decoded(batch, field);
}

CSV_LINE_API int csv_line_batch_malformed(const csv_line_batch *batch, int field);

/*
 * Writing
 *
 * Writes one field as a CSV writer does: quoted, with its quotes doubled,
 * exactly when its `length` bytes hold the separator, a quote, CR or LF;
 * else as it is. Writes at most out_size bytes at `out` (no NUL) and
 * returns how many the whole field takes, which is more than out_size when
 * it was cut, as snprintf does.
 */
CSV_LINE_API size_t csv_line_field_write(char *out, size_t out_size, const char *value, size_t length, char separator);

/*
 * Writes a record of `count` fields as csv_line_field_write writes each,
 * separated by `separator` and ended by an LF; a record of one empty field
 * is written "" (an empty line reads back as no field). Bounded and counted
 * as csv_line_field_write; count < 1 writes the LF alone.
 */
CSV_LINE_API size_t csv_line_record_write(char *out, size_t out_size, const csv_line_text *fields, int count,
                                          char separator);

/*
 * Dialects: what an input's first bytes say of it
 */

/* The bytes of text csv_line_sniff_path looks at, and a reader asked to guess. */
enum { CSV_LINE_SNIFF_SAMPLE = 64 << 10 };

enum csv_line_line_ending {
    CSV_LINE_ENDING_NONE = 0, /* no line ends in the sample */
    CSV_LINE_ENDING_LF,
    CSV_LINE_ENDING_CRLF,
    CSV_LINE_ENDING_CR        /* CRs alone: the splitting rule ends records at LFs only */
};

typedef struct csv_line_dialect {
    char separator;    /* the separator guessed: ',' when it cannot tell */
    int quoted;        /* 1: some field in the sample opens with a quote */
    int header;        /* 1: the first record names the columns */
    int line_ending;   /* a csv_line_line_ending */
    int encoding;      /* a csv_line_encoding: UTF-16LE/BE by a byte-order mark; UTF8 when the sample is
                          UTF-8; CP1252 when it is not */
    int compressed;    /* csv_line_sniff_path only: 1 gzip, 2 zstd, 0 neither */
    double confidence; /* from 0 to 1: how far the guess stands above the next one */
    int records;       /* the records of the sample the guess rests on */
} csv_line_dialect;

/* What csv_line_sniff found. */
enum { CSV_LINE_SNIFF_CANNOT_TELL = 0, CSV_LINE_SNIFF_FOUND = 1 };

/*
 * Guesses the dialect of the `length` bytes of text at `bytes`, the first
 * bytes of an input (a last line cut short is not counted), into *dialect.
 *
 * Each candidate separator splits the sample by the splitting rule, quotes
 * honoured; the one under which the records agree most on their field
 * count wins, and the types its columns' cells take break ties. The header
 * is found by comparing the first record's cells with the types of the
 * columns below them.
 *
 * Returns CSV_LINE_SNIFF_FOUND, or CSV_LINE_SNIFF_CANNOT_TELL when no
 * separator stands out (too few records, one column, or two candidates as
 * good): then *dialect holds the best guess anyway, a low confidence, and
 * ',' when none splits at all. Reads `bytes` only; allocates nothing that
 * outlives the call.
 */
CSV_LINE_API int csv_line_sniff(const char *bytes, size_t length, csv_line_dialect *dialect);

/*
 * What the reader reads by: its separator and whether it took the first
 * record as a header (guessed or as asked), the encoding it found, and
 * whether the input is compressed; the rest as its guess found them, when
 * it guessed (else 0).
 */
CSV_LINE_API void csv_line_reader_dialect(const csv_line_reader *reader, csv_line_dialect *dialect);

/*
 * The same for the file at `path`, from its first CSV_LINE_SNIFF_SAMPLE
 * bytes of text: decompressed and turned into UTF-8 as a reader would.
 * Returns as csv_line_sniff does, or -1 when the file cannot be read
 * (*error says why; error may be null).
 */
CSV_LINE_API int csv_line_sniff_path(const char *path, csv_line_dialect *dialect, csv_line_error *error);

/*
 * Tables: typed columns
 *
 * A table reader reads a whole input, as a reader does, into typed columns
 * laid out as Arrow lays them out: a column of numbers is one buffer of
 * values, a text column int64 offsets and the bytes, and each column that
 * misses a cell a validity bitmap. Blank lines are no rows. A row may have
 * fewer fields than there are columns (the cells past its last are
 * missing), never more. An empty cell is missing. The same input and
 * options give the same table and the same first error at every thread
 * count.
 */

/* A column's type. */
enum csv_line_type {
    CSV_LINE_TYPE_INFER = 0, /* options only: found from the cells (see csv_line_column_spec) */
    CSV_LINE_TYPE_INT64,     /* int64_t; digits with a sign, spaces and TABs around them ignored */
    CSV_LINE_TYPE_FLOAT64,   /* double; as strtod reads decimal (not hexadecimal) numbers, "inf" and "infinity" too,
                                spaces and TABs around them ignored; never a spelled NaN, never
                                a number too large for a double */
    CSV_LINE_TYPE_BOOL,      /* true, True, TRUE, false, False, FALSE; one bit a cell (Arrow's layout) */
    CSV_LINE_TYPE_TEXT,      /* the cells' values, as csv_line_batch_value reads them */
    CSV_LINE_TYPE_DATE,      /* int32_t days since 1970-01-01: YYYY-MM-DD */
    CSV_LINE_TYPE_TIMESTAMP  /* int64_t microseconds since 1970-01-01 00:00:00 UTC: a date, then a
                                space or T and HH:MM[:SS[.fraction]], then Z or an offset
                                +HH[:MM] / -HH[:MM] or nothing (UTC); fractions past microseconds
                                are cut off */
};

/*
 * One column of a table's options: which field, and what type. With
 * csv_line_table_options.only_columns, the columns named are the table's,
 * in the order named; without it, they set the types of the columns they
 * name and every column is read.
 *
 * An inferred column is int64 when every cell present reads as one, else
 * float64 when every one reads as a number, else bool when every one reads
 * as one, else (with infer_dates) date, else timestamp, else text; a
 * column with no cell present is text. A cell that does not read as the
 * type asked for is an error naming its line and column; so is an empty
 * cell in a column marked `required`.
 */
typedef struct csv_line_column_spec {
    const char *name; /* the header's name for it, NUL-terminated; or null, and then: */
    int index;        /* its field, from 0 */
    int type;         /* a csv_line_type */
    int required;     /* 1: an empty cell is an error, not a missing one */
} csv_line_column_spec;

/* What a table's options leave at 0 gets its default. */
typedef struct csv_line_table_options {
    csv_line_reader_options reader; /* separator, header, limits, threads, lenient, as a reader takes them */
    const csv_line_column_spec *columns; /* column_count of them, or null */
    int column_count;
    int only_columns;     /* 1: the table holds the columns named in `columns` alone */
    int infer_dates;      /* 1: inferred columns may be dates or timestamps */
    long long first_line; /* the line number of the input's first line (1 when 0): for a range of a file */
} csv_line_table_options;

typedef struct csv_line_table csv_line_table;

/* The table's problems, beyond a reader's (csv_line_error.code). */
enum {
    CSV_LINE_ERROR_CELL = 16, /* a cell not of its column's type; csv_line_error.field is the field, from 1 */
    CSV_LINE_ERROR_WIDTH,     /* a record of more fields than the table has columns */
    CSV_LINE_ERROR_COLUMN     /* a column named in the options that the input does not have */
};

/*
 * Reads the file at `path`, the descriptor `fd` from where it stands (not
 * closed) or the `length` bytes at `bytes` (only read, and not kept) into
 * a table; options may be null: the defaults, which read a header.
 *
 * Without a header the columns are named "1", "2", ...; without columns
 * named, a table has as many as the header, or else as the first record
 * that is not a blank line.
 *
 * Returns the table, to be closed by csv_line_table_close; null only when
 * memory for it could not be had. Whatever went wrong leaves the table in
 * error, holding no rows: csv_line_table_error says what, with the line of
 * the first problem in input order.
 *
 * Memory: the table's own bytes, plus a reader's (see
 * csv_line_reader_open_path) and, on each thread, the columns of the
 * records it holds. A column that changes type part of the way through,
 * from numbers to text, has its earlier records read again from the file
 * or the bytes (a file that changes meanwhile is an IO error): a
 * compressed or transcoded input from its start, decompressed again; from
 * a path or descriptor that is no file, the table keeps the bytes of such
 * records until the end.
 */
CSV_LINE_API csv_line_table *csv_line_table_read_path(const char *path, const csv_line_table_options *options);
CSV_LINE_API csv_line_table *csv_line_table_read_fd(int fd, const csv_line_table_options *options);
CSV_LINE_API csv_line_table *csv_line_table_read_memory(const char *bytes, size_t length,
                                                       const csv_line_table_options *options);

/* Lets go of the table: its memory is freed once nothing exported from it
   is held either. A null table is ignored. */
CSV_LINE_API void csv_line_table_close(csv_line_table *table);

/* The table's error: code CSV_LINE_OK when there is none. */
CSV_LINE_API const csv_line_error *csv_line_table_error(const csv_line_table *table);

/* Its rows and columns. */
CSV_LINE_API long long csv_line_table_rows(const csv_line_table *table);
CSV_LINE_API int csv_line_table_column_count(const csv_line_table *table);

/* The column whose name is the `length` bytes at `name`: its index from 0,
   the first of several, or -1 when none is. */
CSV_LINE_API int csv_line_table_column_find(const csv_line_table *table, const char *name, size_t length);

/*
 * Column k of a table, as Arrow lays it out. Cell r is missing when
 * validity is not null and bit r of it is 0 (bit r % 8 of byte r / 8,
 * least significant first); validity is null when no cell is. values
 * holds `rows` entries of the type (int64_t, double, int32_t days, int64_t
 * microseconds), or for bool one bit a cell, as validity; a missing cell's
 * value is 0. For text, values holds rows + 1 int64_t offsets into data:
 * cell r is the bytes [offsets[r], offsets[r + 1]), empty when missing.
 * No pointer but validity is null. They stay valid until the table is
 * closed.
 */
typedef struct csv_line_column {
    csv_line_text name;
    int type;                /* a csv_line_type, never CSV_LINE_TYPE_INFER */
    long long rows;
    long long missing;       /* cells missing */
    const unsigned char *validity;
    const void *values;
    const char *data;        /* text: the cells' bytes; else null */
} csv_line_column;

/* Writes column k into *column; returns 0, or -1 (nothing written) when
   there is no column k. */
CSV_LINE_API int csv_line_table_column(const csv_line_table *table, int column, csv_line_column *out);

/*
 * Arrow's C Data and C Stream interfaces, their structs laid out as every
 * Arrow consumer reads them (and left to Arrow's own definitions where
 * those came first), for handing a table over without a copy.
 */
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4
struct ArrowSchema {
    const char *format;
    const char *name;
    const char *metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema **children;
    struct ArrowSchema *dictionary;
    void (*release)(struct ArrowSchema *);
    void *private_data;
};
struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void **buffers;
    struct ArrowArray **children;
    struct ArrowArray *dictionary;
    void (*release)(struct ArrowArray *);
    void *private_data;
};
#endif
#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream *, struct ArrowSchema *out);
    int (*get_next)(struct ArrowArrayStream *, struct ArrowArray *out);
    const char *(*get_last_error)(struct ArrowArrayStream *);
    void (*release)(struct ArrowArrayStream *);
    void *private_data;
};
#endif

/*
 * Exports the table as one Arrow struct array of its columns (formats l,
 * g, b, U, tdD and tsu:UTC), into *schema and *array, or as a stream of
 * that one array into *stream. What is exported holds the table's memory
 * until its release callbacks have been called, whether or not the table
 * is closed first. Returns 0, or an errno value (EINVAL for a table in
 * error, ENOMEM) with nothing written.
 */
CSV_LINE_API int csv_line_table_export(csv_line_table *table, struct ArrowSchema *schema, struct ArrowArray *array);
CSV_LINE_API int csv_line_table_export_stream(csv_line_table *table, struct ArrowArrayStream *stream);

#ifdef __cplusplus
}
#endif

/* The names of 1.0 (see csv_line_legacy.h). */
#ifndef CSV_LINE_NO_LEGACY
#include "csv_line_legacy.h"
#endif

#endif
