#ifndef CSV_LINE_LEGACY_H
#define CSV_LINE_LEGACY_H

/*
 * The names of csv_line 1.0, for programs written against them: types as
 * typedefs, constants as macros, functions as deprecated aliases that the
 * library still exports, so that programs built against 1.0 keep running.
 * csv_line.h includes this header unless CSV_LINE_NO_LEGACY is defined;
 * define it to include csv_line.h beside another library whose names
 * clash with these (csv_error, say). Each name does what the one it stands
 * for does.
 */

#include "csv_line.h"

#if defined(__GNUC__) || defined(__clang__)
#define CSV_LINE_DEPRECATED(name) __attribute__((deprecated("use " #name)))
#else
#define CSV_LINE_DEPRECATED(name)
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef csv_line_field csv_field;
typedef csv_line_chunk csv_chunk;
typedef csv_line_index csv_index;
/* The options as 1.0 laid them out: the functions of 1.0 read these. */
typedef struct csv_reader_options {
    char separator;
    int header;
    int record_limit;
    int threads;
    int lenient;
} csv_reader_options;
typedef csv_line_error csv_error;
typedef csv_line_text csv_text;
typedef csv_line_record csv_record;
typedef csv_line_decoded csv_decoded;
typedef csv_line_batch csv_batch;
typedef csv_line_reader csv_reader;
typedef csv_line_read_fn csv_read_fn;
typedef csv_line_batch_fn csv_batch_fn;

#define CSV_DEFAULT_RECORD_LIMIT CSV_LINE_DEFAULT_RECORD_LIMIT
#define CSV_OK CSV_LINE_OK
#define CSV_ERROR_IO CSV_LINE_ERROR_IO
#define CSV_ERROR_MEMORY CSV_LINE_ERROR_MEMORY
#define CSV_ERROR_OPTIONS CSV_LINE_ERROR_OPTIONS
#define CSV_ERROR_TOO_LONG CSV_LINE_ERROR_TOO_LONG
#define CSV_ERROR_UNCLOSED CSV_LINE_ERROR_UNCLOSED
#define CSV_ERROR_MALFORMED CSV_LINE_ERROR_MALFORMED
#define CSV_RECORD_MALFORMED CSV_LINE_RECORD_MALFORMED
#define CSV_RECORD_UNCLOSED CSV_LINE_RECORD_UNCLOSED
#define CSV_RECORD_TOO_LONG CSV_LINE_RECORD_TOO_LONG
#define CSV_RECORD_LINE_TOO_LONG CSV_LINE_RECORD_LINE_TOO_LONG

CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_field_content) int csv_field_content(const char *text,
                                                                                const csv_line_field *field,
                                                                                char *out, int out_size);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_field_value) int csv_field_value(const char *text,
                                                                            const csv_line_field *field, char *out,
                                                                            int out_size);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_chunk_scan) void csv_scan_chunk(const char *text, long long length,
                                                                           csv_line_chunk *summary);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_reader_open_path) csv_line_reader *csv_reader_open_path(
    const char *path, const csv_reader_options *options);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_reader_open_fd) csv_line_reader *csv_reader_open_fd(
    int fd, const csv_reader_options *options);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_reader_open_file) csv_line_reader *csv_reader_open_file(
    FILE *file, const csv_reader_options *options);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_reader_open_read) csv_line_reader *csv_reader_open_read(
    csv_line_read_fn read, void *context, const csv_reader_options *options);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_reader_open_memory) csv_line_reader *csv_reader_open_memory(
    const char *bytes, size_t length, const csv_reader_options *options);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_ranges_find_fd) int csv_file_ranges(int fd, long long n,
                                                                               long long *starts, long long *lines);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_ranges_find_memory) int csv_memory_ranges(const char *text,
                                                                                     long long length, long long n,
                                                                                     long long *starts,
                                                                                     long long *lines);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_reader_close) void csv_reader_close(csv_line_reader *reader);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_reader_next) int csv_reader_next(csv_line_reader *reader,
                                                                            csv_line_batch *batch);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_reader_for_each) int csv_reader_for_each(csv_line_reader *reader,
                                                                                    csv_line_batch_fn fn,
                                                                                    void *context);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_reader_error) const csv_line_error *csv_reader_error(
    const csv_line_reader *reader);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_reader_column_count) int csv_reader_column_count(
    const csv_line_reader *reader);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_reader_column_name) csv_line_text csv_reader_column_name(
    const csv_line_reader *reader, int column);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_reader_column_find) int csv_reader_column(const csv_line_reader *reader,
                                                                                     const char *name,
                                                                                     size_t length);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_batch_decoded) csv_line_text csv_batch_decoded(const csv_line_batch *batch,
                                                                                          int field);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_batch_malformed) int csv_batch_malformed(const csv_line_batch *batch,
                                                                                    int field);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_field_write) size_t csv_write_field(char *out, size_t out_size,
                                                                               const char *value, size_t length,
                                                                               char separator);
CSV_LINE_API CSV_LINE_DEPRECATED(csv_line_record_write) size_t csv_write_record(char *out, size_t out_size,
                                                                                 const csv_line_text *fields,
                                                                                 int count, char separator);

/* Inline in 1.0, so never exported. */
CSV_LINE_DEPRECATED(csv_line_batch_raw)
static inline csv_line_text csv_batch_raw(const csv_line_batch *batch, int field)
{
    return csv_line_batch_raw(batch, field);
}

CSV_LINE_DEPRECATED(csv_line_batch_value)
static inline csv_line_text csv_batch_value(const csv_line_batch *batch, int field)
{
    return csv_line_batch_value(batch, field);
}

#ifdef __cplusplus
}
#endif

#endif
