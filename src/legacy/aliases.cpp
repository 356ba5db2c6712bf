// The names of 1.0, each passing its call on to the name that replaced it;
// their options keep the layout of 1.0.

#include "csv_line_legacy.h"
#include "options_1_1.h"

static_assert(sizeof(csv_reader_options) == sizeof(csv_line_reader_options_1_1),
              "the legacy options keep the layout of 1.0");

extern "C" {

int csv_field_content(const char *text, const csv_line_field *field, char *out, int out_size)
{
    return csv_line_field_content(text, field, out, out_size);
}

int csv_field_value(const char *text, const csv_line_field *field, char *out, int out_size)
{
    return csv_line_field_value(text, field, out, out_size);
}

void csv_scan_chunk(const char *text, long long length, csv_line_chunk *summary)
{
    csv_line_chunk_scan(text, length, summary);
}

csv_line_reader *csv_reader_open_path(const char *path, const csv_reader_options *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_path(path, widen(reinterpret_cast<const csv_line_reader_options_1_1 *>(options), &wide));
}

csv_line_reader *csv_reader_open_fd(int fd, const csv_reader_options *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_fd(fd, widen(reinterpret_cast<const csv_line_reader_options_1_1 *>(options), &wide));
}

csv_line_reader *csv_reader_open_file(FILE *file, const csv_reader_options *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_file(file, widen(reinterpret_cast<const csv_line_reader_options_1_1 *>(options), &wide));
}

csv_line_reader *csv_reader_open_read(csv_line_read_fn read, void *context, const csv_reader_options *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_read(read, context,
                                     widen(reinterpret_cast<const csv_line_reader_options_1_1 *>(options), &wide));
}

csv_line_reader *csv_reader_open_memory(const char *bytes, size_t length, const csv_reader_options *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_memory(bytes, length,
                                       widen(reinterpret_cast<const csv_line_reader_options_1_1 *>(options), &wide));
}

int csv_file_ranges(int fd, long long n, long long *starts, long long *lines)
{
    return csv_line_ranges_find_fd(fd, n, starts, lines);
}

int csv_memory_ranges(const char *text, long long length, long long n, long long *starts, long long *lines)
{
    return csv_line_ranges_find_memory(text, length, n, starts, lines);
}

void csv_reader_close(csv_line_reader *reader)
{
    csv_line_reader_close(reader);
}

int csv_reader_next(csv_line_reader *reader, csv_line_batch *batch)
{
    return csv_line_reader_next(reader, batch);
}

int csv_reader_for_each(csv_line_reader *reader, csv_line_batch_fn fn, void *context)
{
    return csv_line_reader_for_each(reader, fn, context);
}

const csv_line_error *csv_reader_error(const csv_line_reader *reader)
{
    return csv_line_reader_error(reader);
}

int csv_reader_column_count(const csv_line_reader *reader)
{
    return csv_line_reader_column_count(reader);
}

csv_line_text csv_reader_column_name(const csv_line_reader *reader, int column)
{
    return csv_line_reader_column_name(reader, column);
}

int csv_reader_column(const csv_line_reader *reader, const char *name, size_t length)
{
    return csv_line_reader_column_find(reader, name, length);
}

csv_line_text csv_batch_decoded(const csv_line_batch *batch, int field)
{
    return csv_line_batch_decoded(batch, field);
}

int csv_batch_malformed(const csv_line_batch *batch, int field)
{
    return csv_line_batch_malformed(batch, field);
}

size_t csv_write_field(char *out, size_t out_size, const char *value, size_t length, char separator)
{
    return csv_line_field_write(out, out_size, value, length, separator);
}

size_t csv_write_record(char *out, size_t out_size, const csv_line_text *fields, int count, char separator)
{
    return csv_line_record_write(out, out_size, fields, count, separator);
}

}
