/* The splitter called from C: the header must compile as C, link with C
   linkage, and FIELD_SIZE must serve as an array bound. Every kernel this
   processor runs splits a line, and then every prefix of a longer text held
   in a heap buffer of exactly its size at each start offset, as the portable
   kernel splits it: with its NUL through the line entry, without one
   through the span, record and position entries, and as a chunk summary. Built with MemorySanitizer too: no
   kernel may let a byte it reads past the line decide anything. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "csv_line.h"
#include "kernels/kernels.h"

enum { ROWS = 8 };
enum way { LINE, SPAN, RECORD, FIELDS, CHUNK };

static char table[ROWS][FIELD_SIZE], model[ROWS][FIELD_SIZE];
static csv_line_field positions[ROWS], model_positions[ROWS];

/* Splits the first `length` bytes of text from a heap buffer that holds
   them at `offset`, and after them their NUL for the line entry, nothing
   for the others. */
static int same_split(const struct csv_line_kernel *kernel, enum way way, const char *text, size_t length,
                      size_t offset)
{
    static char prefix[FIELD_SIZE];
    char *buffer = malloc(offset + length + (way == LINE)), *line;
    int n, want, k, record_length = -1, want_length = -1;

    if (buffer == NULL)
        return 0;
    line = buffer + offset;
    memcpy(prefix, text, length);
    prefix[length] = '\0';
    memcpy(line, prefix, length + (way == LINE));
    if (way == CHUNK) {
        csv_line_chunk got, summary;
        kernel->chunk(line, (long long)length, &got);
        csv_line_portable_kernel.chunk(prefix, (long long)length, &summary);
        free(buffer);
        return memcmp(&got, &summary, sizeof got) == 0;
    }
    if (way == FIELDS) {
        n = kernel->fields(line, (int)length, ',', positions, ROWS, &record_length);
        want = csv_line_portable_kernel.fields(prefix, (int)length, ',', model_positions, ROWS, &want_length);
    } else if (way == RECORD) {
        n = kernel->record(line, (int)length, table, ROWS, &record_length);
        want = csv_line_portable_kernel.record(prefix, (int)length, model, ROWS, &want_length);
    } else {
        n = way == SPAN ? kernel->span(line, (int)length, table, ROWS) : kernel->split(line, table, ROWS);
        want = csv_line_portable_kernel.split(prefix, model, ROWS);
    }
    free(buffer);
    if (n != want || record_length != want_length)
        return 0;
    for (k = 0; k < n; k++)
        if (way == FIELDS ? memcmp(&positions[k], &model_positions[k], sizeof positions[k]) != 0
                          : strcmp(table[k], model[k]) != 0)
            return 0;
    return 1;
}

static int check(const struct csv_line_kernel *kernel)
{
    static const char text[] = "a,\"b,c\"\"d\",,e f,ghijk\r\nlmnopqrstuvwxyz,0123456789,\"\n\",x\r\n\"\",y";
    static const char *const ways[] = {"as a line", "as a span", "as a record", "as positions",
                                       "as a chunk"};
    int n = kernel->split("id,\"a, b\",", table, 3), way;
    size_t offset, length;

    if (n != 3 || strcmp(table[0], "id") != 0 || strcmp(table[1], "a, b") != 0 || strcmp(table[2], "") != 0) {
        fprintf(stderr, "%s: got %d fields [%s] [%s] [%s]\n", kernel->name, n, table[0], table[1], table[2]);
        return 1;
    }
    for (way = LINE; way <= CHUNK; way++)
        for (offset = 0; offset < 16; offset++)
            for (length = 0; length < sizeof text; length++)
                if (!same_split(kernel, (enum way)way, text, length, offset)) {
                    fprintf(stderr, "%s: splits the first %zu bytes at offset %zu %s unlike portable\n",
                            kernel->name, length, offset, ways[way]);
                    return 1;
                }
    return 0;
}

int main(void)
{
    static const struct csv_line_kernel library = {"library", 0, parse_csv_line, parse_csv_span, parse_csv_record,
                                                   parse_csv_fields, csv_line_chunk_scan, parse_csv_records};
    int failed = check(&library), k;

    if (parse_csv_record("a\nb", 3, table, ROWS, NULL) != 1 || parse_csv_fields("a\nb", 3, ';', positions, ROWS, NULL) != 1) {
        fprintf(stderr, "parse_csv_record or parse_csv_fields fails with no record_length\n");
        failed = 1;
    }

    for (k = 0; k < csv_line_kernel_count; k++) {
        if (csv_line_kernel_runs_here(csv_line_kernels[k]))
            failed |= check(csv_line_kernels[k]);
        else
            printf("skipped the %s kernel: it cannot run here\n", csv_line_kernels[k]->name);
    }
    printf("parse_csv_line runs the %s kernel\n", csv_line_kernel_name());
    return failed;
}
