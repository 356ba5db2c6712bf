// The openers and table readers as 1.2 and 1.3 exported them, whose
// options ended at decode_on_demand. Programs linked against those
// versions keep calling these and reading bytes as they are.

#include "csv_line.h"
#include "options_1_1.h"

#if defined(CSV_LINE_SYMBOL_VERSIONS)

extern "C" {

CSV_LINE_API csv_line_reader *csv_line_reader_open_path_1_3(const char *path, const csv_line_reader_options_1_3 *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_path(path, widen(options, &wide));
}

CSV_LINE_API csv_line_reader *csv_line_reader_open_fd_1_3(int fd, const csv_line_reader_options_1_3 *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_fd(fd, widen(options, &wide));
}

CSV_LINE_API csv_line_reader *csv_line_reader_open_file_1_3(FILE *file, const csv_line_reader_options_1_3 *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_file(file, widen(options, &wide));
}

CSV_LINE_API csv_line_reader *csv_line_reader_open_read_1_3(csv_line_read_fn read, void *context,
                                                            const csv_line_reader_options_1_3 *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_read(read, context, widen(options, &wide));
}

CSV_LINE_API csv_line_reader *csv_line_reader_open_memory_1_3(const char *bytes, size_t length,
                                                              const csv_line_reader_options_1_3 *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_memory(bytes, length, widen(options, &wide));
}

CSV_LINE_API csv_line_table *csv_line_table_read_path_1_3(const char *path, const csv_line_table_options_1_3 *options)
{
    csv_line_table_options wide;
    return csv_line_table_read_path(path, widen(options, &wide));
}

CSV_LINE_API csv_line_table *csv_line_table_read_fd_1_3(int fd, const csv_line_table_options_1_3 *options)
{
    csv_line_table_options wide;
    return csv_line_table_read_fd(fd, widen(options, &wide));
}

CSV_LINE_API csv_line_table *csv_line_table_read_memory_1_3(const char *bytes, size_t length,
                                                           const csv_line_table_options_1_3 *options)
{
    csv_line_table_options wide;
    return csv_line_table_read_memory(bytes, length, widen(options, &wide));
}

}  // extern "C"

__asm__(".symver csv_line_reader_open_path_1_3, csv_line_reader_open_path@CSV_LINE_1.2");
__asm__(".symver csv_line_reader_open_fd_1_3, csv_line_reader_open_fd@CSV_LINE_1.2");
__asm__(".symver csv_line_reader_open_file_1_3, csv_line_reader_open_file@CSV_LINE_1.2");
__asm__(".symver csv_line_reader_open_read_1_3, csv_line_reader_open_read@CSV_LINE_1.2");
__asm__(".symver csv_line_reader_open_memory_1_3, csv_line_reader_open_memory@CSV_LINE_1.2");
__asm__(".symver csv_line_table_read_path_1_3, csv_line_table_read_path@CSV_LINE_1.3");
__asm__(".symver csv_line_table_read_fd_1_3, csv_line_table_read_fd@CSV_LINE_1.3");
__asm__(".symver csv_line_table_read_memory_1_3, csv_line_table_read_memory@CSV_LINE_1.3");

#endif
