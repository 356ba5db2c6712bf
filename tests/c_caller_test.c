/* The splitter called from C: the header must compile as C, link with C
   linkage, and FIELD_SIZE must serve as an array bound. Every kernel this
   processor runs splits a line, and then every prefix of a longer one held
   in a heap buffer of exactly its size at each start offset, as the portable
   kernel splits the line: with its NUL through the line entry, without one
   through the span entry. Built with MemorySanitizer too: no kernel may let
   a byte it reads past the line decide anything. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "csv_line.h"
#include "kernels.h"

enum { ROWS = 8 };

static char table[ROWS][FIELD_SIZE], model[ROWS][FIELD_SIZE];

/* Splits the first `length` bytes of text from a heap buffer that holds
   them at `offset`, and after them their NUL for the line entry, nothing
   for the span entry. */
static int same_split(const struct csv_line_kernel *kernel, int span, const char *text, size_t length, size_t offset)
{
    static char prefix[FIELD_SIZE];
    char *buffer = malloc(offset + length + !span), *line;
    int n, want, k;

    if (buffer == NULL)
        return 0;
    line = buffer + offset;
    memcpy(prefix, text, length);
    prefix[length] = '\0';
    memcpy(line, prefix, length + !span);
    n = span ? kernel->span(line, (int)length, table, ROWS) : kernel->split(line, table, ROWS);
    free(buffer);
    want = csv_line_split_portable(prefix, model, ROWS);
    if (n != want)
        return 0;
    for (k = 0; k < n; k++)
        if (strcmp(table[k], model[k]) != 0)
            return 0;
    return 1;
}

static int check(const struct csv_line_kernel *kernel)
{
    static const char text[] = "a,\"b,c\"\"d\",,e f,ghijklmnopqrstuvwxyz,0123456789,\"\",x";
    int n = kernel->split("id,\"a, b\",", table, 3), span;
    size_t offset, length;

    if (n != 3 || strcmp(table[0], "id") != 0 || strcmp(table[1], "a, b") != 0 || strcmp(table[2], "") != 0) {
        fprintf(stderr, "%s: got %d fields [%s] [%s] [%s]\n", kernel->name, n, table[0], table[1], table[2]);
        return 1;
    }
    for (span = 0; span < 2; span++)
        for (offset = 0; offset < 16; offset++)
            for (length = 0; length < sizeof text; length++)
                if (!same_split(kernel, span, text, length, offset)) {
                    fprintf(stderr, "%s: splits the first %zu bytes at offset %zu %s unlike portable\n",
                            kernel->name, length, offset, span ? "as a span" : "as a line");
                    return 1;
                }
    return 0;
}

int main(void)
{
    static const struct csv_line_kernel library = {"library", parse_csv_line, parse_csv_span, NULL};
    int failed = check(&library), k;

    for (k = 0; k < csv_line_kernel_count; k++) {
        if (csv_line_kernels[k].runs_here())
            failed |= check(&csv_line_kernels[k]);
        else
            printf("skipped the %s kernel: it cannot run here\n", csv_line_kernels[k].name);
    }
    printf("parse_csv_line runs the %s kernel\n", csv_line_kernel_name());
    return failed;
}
