/*
 * The splitter's kernels: one implementation of parse_csv_line,
 * parse_csv_span and parse_csv_record for each instruction set, every one
 * storing exactly what those store.
 * Internal to the library, its tests, benchmark and fuzzer; not installed.
 */
#ifndef CSV_LINE_KERNELS_H
#define CSV_LINE_KERNELS_H

#include "csv_line.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*csv_line_split_fn)(const char *line, char (*fields)[FIELD_SIZE], int max_fields);
typedef int (*csv_line_span_fn)(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields);
typedef int (*csv_line_record_fn)(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields,
                                  int *record_length);

struct csv_line_kernel {
    const char *name;         /* as CSV_LINE_KERNEL names it */
    csv_line_split_fn split;  /* as parse_csv_line */
    csv_line_span_fn span;    /* as parse_csv_span */
    csv_line_record_fn record; /* as parse_csv_record */
    int (*runs_here)(void);   /* 1 when this processor and its OS can run it */
};

/* Where a span of `length` bytes from line ends: a length below 1 is an
   empty line. */
static inline const char *csv_line_span_end(const char *line, int length)
{
    return length > 0 ? line + length : line;
}

/* The kernels built into the library, best first. The last one, portable,
   runs anywhere. */
extern const struct csv_line_kernel csv_line_kernels[];
extern const int csv_line_kernel_count;

int csv_line_split_portable(const char *line, char (*fields)[FIELD_SIZE], int max_fields);
int csv_line_span_portable(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields);
int csv_line_record_portable(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields,
                         int *record_length);
int csv_line_split_sse2(const char *line, char (*fields)[FIELD_SIZE], int max_fields);
int csv_line_span_sse2(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields);
int csv_line_record_sse2(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields,
                         int *record_length);
int csv_line_split_avx2(const char *line, char (*fields)[FIELD_SIZE], int max_fields);
int csv_line_span_avx2(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields);
int csv_line_record_avx2(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields,
                         int *record_length);
int csv_line_split_avx512bw(const char *line, char (*fields)[FIELD_SIZE], int max_fields);
int csv_line_span_avx512bw(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields);
int csv_line_record_avx512bw(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields,
                             int *record_length);
int csv_line_split_avx512(const char *line, char (*fields)[FIELD_SIZE], int max_fields);
int csv_line_span_avx512(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields);
int csv_line_record_avx512(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields,
                         int *record_length);

int csv_line_split_neon(const char *line, char (*fields)[FIELD_SIZE], int max_fields);
int csv_line_span_neon(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields);
int csv_line_record_neon(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields,
                         int *record_length);
int csv_line_split_neon_nopmull(const char *line, char (*fields)[FIELD_SIZE], int max_fields);
int csv_line_span_neon_nopmull(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields);
int csv_line_record_neon_nopmull(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields,
                                 int *record_length);

#ifdef __cplusplus
}

// Where a kernel's scan of a line ends: at its NUL (parse_csv_line); at its
// NUL or its limit (parse_csv_span); at its NUL, its line ending or its
// limit, and the record goes on to its LF (parse_csv_record).
enum class Ends { nul, span, record };
#endif

#endif
