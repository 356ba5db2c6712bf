// The openers as 1.1 exported them, whose options ended at `lenient`.
// Programs linked against 1.1 keep calling these, bound to the version
// they were linked with; programs built now call today's, which read the
// options of today.

#include "csv_line.h"
#include "options_1_1.h"

#if defined(CSV_LINE_SYMBOL_VERSIONS)

extern "C" {

CSV_LINE_API csv_line_reader *csv_line_reader_open_path_1_1(const char *path, const csv_line_reader_options_1_1 *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_path(path, widen(options, &wide));
}

CSV_LINE_API csv_line_reader *csv_line_reader_open_fd_1_1(int fd, const csv_line_reader_options_1_1 *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_fd(fd, widen(options, &wide));
}

CSV_LINE_API csv_line_reader *csv_line_reader_open_file_1_1(FILE *file, const csv_line_reader_options_1_1 *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_file(file, widen(options, &wide));
}

CSV_LINE_API csv_line_reader *csv_line_reader_open_read_1_1(csv_line_read_fn read, void *context,
                                                            const csv_line_reader_options_1_1 *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_read(read, context, widen(options, &wide));
}

CSV_LINE_API csv_line_reader *csv_line_reader_open_memory_1_1(const char *bytes, size_t length,
                                                              const csv_line_reader_options_1_1 *options)
{
    csv_line_reader_options wide;
    return csv_line_reader_open_memory(bytes, length, widen(options, &wide));
}

}  // extern "C"

__asm__(".symver csv_line_reader_open_path_1_1, csv_line_reader_open_path@CSV_LINE_1.1");
__asm__(".symver csv_line_reader_open_fd_1_1, csv_line_reader_open_fd@CSV_LINE_1.1");
__asm__(".symver csv_line_reader_open_file_1_1, csv_line_reader_open_file@CSV_LINE_1.1");
__asm__(".symver csv_line_reader_open_read_1_1, csv_line_reader_open_read@CSV_LINE_1.1");
__asm__(".symver csv_line_reader_open_memory_1_1, csv_line_reader_open_memory@CSV_LINE_1.1");

#endif
