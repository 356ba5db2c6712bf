/* A program written against csv_line 1.0, by the names of 1.0 alone: it
   must still compile against the current header and, built against either
   that header or 1.0's library, run against the current library. It prints
   what each call gives; names_test.sh compares that with what 1.0 printed. */
#define _POSIX_C_SOURCE 200809L  /* fileno */
#include <stdio.h>
#include <string.h>

#include "csv_line.h"

static const char input[] = "name,note\nada,\"said \"\"hi\"\"\"\nbob,\"a,b\"\n";

static int print_batches(const csv_batch *batch, void *context)
{
    int r, k;
    (void)context;
    for (r = 0; r < batch->count; r++) {
        const csv_record *record = &batch->records[r];
        printf("line %lld:", record->line);
        for (k = 0; k < record->count; k++) {
            csv_text value = csv_batch_value(batch, record->field + k);
            csv_text raw = csv_batch_raw(batch, record->field + k);
            printf(" [%.*s|%.*s|%d]", value.length, value.data, raw.length, raw.data,
                   csv_batch_malformed(batch, record->field + k));
        }
        printf("\n");
    }
    return 0;
}

/* Gives "read,fn" once, then the end. */
static long long read_once(void *context, char *buffer, size_t size)
{
    int *given = context;
    if (*given || size < 7)
        return 0;
    *given = 1;
    memcpy(buffer, "read,fn", 7);
    return 7;
}

int main(void)
{
    csv_reader_options options;
    csv_reader *reader;
    csv_batch batch;
    csv_field fields[4];
    csv_chunk chunk;
    csv_index index;
    csv_text cells[2];
    const csv_error *error;
    char out[64];
    int records[4], n, length;
    long long starts[3], lines[3];
    FILE *file;
    int once = 0;

    memset(&options, 0, sizeof options);
    options.header = 1;
    reader = csv_reader_open_memory(input, sizeof input - 1, &options);
    if (reader == NULL)
        return 1;
    printf("columns %d, note is %d, first is %.*s\n", csv_reader_column_count(reader),
           csv_reader_column(reader, "note", 4), csv_reader_column_name(reader, 0).length,
           csv_reader_column_name(reader, 0).data);
    while ((n = csv_reader_next(reader, &batch)) > 0)
        print_batches(&batch, NULL);
    printf("next %d, code %d\n", n, csv_reader_error(reader)->code == CSV_OK ? 0 : 1);
    csv_reader_close(reader);

    reader = csv_reader_open_memory("a\n\"b\n", 5, NULL);
    n = csv_reader_for_each(reader, print_batches, NULL);
    error = csv_reader_error(reader);
    printf("for_each %d, unclosed %d: %s\n", n, error->code == CSV_ERROR_UNCLOSED, error->message);
    csv_reader_close(reader);

    options.header = 0;
    options.lenient = 1;
    reader = csv_reader_open_path("/nonexistent/csv_line_1_0", &options);
    printf("path: io %d\n", csv_reader_error(reader)->code == CSV_ERROR_IO);
    csv_reader_close(reader);

    file = tmpfile();
    fputs("x,y\n", file);
    rewind(file);
    reader = csv_reader_open_file(file, &options);
    while (csv_reader_next(reader, &batch) > 0)
        print_batches(&batch, NULL);
    csv_reader_close(reader);
    rewind(file);
    reader = csv_reader_open_fd(fileno(file), &options);
    while (csv_reader_next(reader, &batch) > 0)
        print_batches(&batch, NULL);
    csv_reader_close(reader);
    n = csv_file_ranges(fileno(file), 2, starts, lines);
    printf("file ranges %d: %lld %lld\n", n, starts[1], lines[2]);
    fclose(file);
    reader = csv_reader_open_read(read_once, &once, &options);
    while (csv_reader_next(reader, &batch) > 0)
        print_batches(&batch, NULL);
    csv_reader_close(reader);

    n = parse_csv_fields("p,\"q\"\"r\"\n", 9, ',', fields, 4, &length);
    printf("fields %d, length %d", n, length);
    n = csv_field_content("p,\"q\"\"r\"", &fields[1], out, 64);
    printf(", content %d:%s", n, out);
    n = csv_field_value("p,\"q\"\"r\"", &fields[1], out, 64);
    printf(", value %d:%s\n", n, out);
    csv_scan_chunk("a\"b\nc\n", 6, &chunk);
    printf("chunk %lld %lld %lld %lld\n", chunk.quotes, chunk.line_feeds, chunk.first_record[0],
           chunk.first_record[1]);
    index.fields = fields;
    index.field_capacity = 4;
    index.records = records;
    index.record_capacity = 4;
    index.quoted = 0;
    printf("records %d\n", parse_csv_records("a,b\nc\n", 6, ',', &index));
    n = csv_memory_ranges("a\nb\n", 4, 2, starts, lines);
    printf("memory ranges %d: %lld %lld\n", n, starts[1], lines[1]);
    cells[0].data = "x,y";
    cells[0].length = 3;
    cells[1].data = "z";
    cells[1].length = 1;
    n = (int)csv_write_record(out, sizeof out, cells, 2, ',');
    printf("record %.*s", n, out);
    n = (int)csv_write_field(out, sizeof out, "\"", 1, ',');
    printf("field %.*s, limit %d\n", n, out, CSV_DEFAULT_RECORD_LIMIT);
    printf("flags %d %d %d %d, codes %d %d %d %d %d %d\n", CSV_RECORD_MALFORMED, CSV_RECORD_UNCLOSED,
           CSV_RECORD_TOO_LONG, CSV_RECORD_LINE_TOO_LONG, CSV_ERROR_IO, CSV_ERROR_MEMORY, CSV_ERROR_OPTIONS,
           CSV_ERROR_TOO_LONG, CSV_ERROR_UNCLOSED, CSV_ERROR_MALFORMED);
    return 0;
}
