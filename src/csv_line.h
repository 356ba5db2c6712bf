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
