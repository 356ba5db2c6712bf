#ifndef CSV_LINE_H
#define CSV_LINE_H

/* Marks the library's functions; in a shared build nothing else of it is
   visible. */
#if defined(__GNUC__) || defined(__clang__)
#define CSV_LINE_API __attribute__((visibility("default")))
#else
#define CSV_LINE_API
#endif

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
typedef struct csv_field {
    int start;  /* offset of its first raw byte from the text */
    int length; /* its raw bytes, up to its separator or the record's ending */
    int quotes; /* the double quotes among them */
} csv_field;

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
 * the raw bytes themselves when quotes is 0 (csv_field_content copies it).
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
CSV_LINE_API int parse_csv_fields(const char *text, int length, char separator, csv_field *fields, int max_fields,
                                  int *record_length);

/*
 * Writes the content of a field that parse_csv_fields found in `text`:
 * its raw bytes with every quote dropped. At most out_size - 1 bytes are
 * written, then a NUL; nothing when out_size < 1. Returns the content's
 * whole length, length - quotes, which is out_size or more when the
 * content was cut, as snprintf does.
 */
CSV_LINE_API int csv_field_content(const char *text, const csv_field *field, char *out, int out_size);

/*
 * Writes the value that readers of RFC 4180 files (spreadsheets,
 * databases) give a field that parse_csv_fields found in `text`, when the
 * field is well formed for them: either it holds no quote, and its value
 * is its raw bytes, or it is quoted whole, opening and closing with a
 * quote with every quote between those doubled, and its value is what the
 * outer quotes enclose with each doubled quote as one. Written and bounded
 * as by csv_field_content; returns the value's whole length. Any other
 * field (a quote inside an unquoted field, bytes after a closing quote)
 * writes nothing and returns -1: its content by the splitting rule is what
 * csv_field_content gives.
 */
CSV_LINE_API int csv_field_value(const char *text, const csv_field *field, char *out, int out_size);

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
typedef struct csv_chunk {
    long long quotes;
    long long line_feeds;
    long long first_record[2];
} csv_chunk;

CSV_LINE_API void csv_scan_chunk(const char *text, long long length, csv_chunk *summary);

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

#ifdef __cplusplus
}
#endif

#endif
