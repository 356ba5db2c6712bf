// The splitters' entries: each runs the kernel chosen for this processor.

#include "csv_line.h"

#include "kernels/kernels.h"

int parse_csv_line(const char *line, char (*fields)[FIELD_SIZE], int max_fields)
{
    return csv_line_kernel_in_use()->split(line, fields, max_fields);
}

int parse_csv_span(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields)
{
    return csv_line_kernel_in_use()->span(line, length, fields, max_fields);
}

int parse_csv_record(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields, int *record_length)
{
    return csv_line_kernel_in_use()->record(text, length, fields, max_fields, record_length);
}

int parse_csv_fields(const char *text, int length, char separator, csv_line_field *fields, int max_fields,
                     int *record_length)
{
    return csv_line_kernel_in_use()->fields(text, length, separator, fields, max_fields, record_length);
}

void csv_line_chunk_scan(const char *text, long long length, csv_line_chunk *summary)
{
    csv_line_kernel_in_use()->chunk(text, length, summary);
}

int parse_csv_records(const char *text, int length, char separator, csv_line_index *index)
{
    return csv_line_kernel_in_use()->records(text, length, separator, index);
}

const char *csv_line_kernel_name(void) { return csv_line_kernel_in_use()->name; }
