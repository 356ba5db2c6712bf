/* The splitter called from C: the header must compile as C, link with C
   linkage, and FIELD_SIZE must serve as an array bound. Every kernel this
   processor runs splits a line, and then every prefix of a longer one held
   in a heap buffer of exactly its size at each start offset, as the portable
   kernel does. Built with MemorySanitizer too: no kernel may let a byte it
   reads past the line decide anything. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "csv_line.h"
#include "kernels.h"

enum { ROWS = 8 };

static char table[ROWS][FIELD_SIZE], model[ROWS][FIELD_SIZE];

static int same_split(const char *line, csv_line_split_fn split)
{
    int n = split(line, table, ROWS), want = csv_line_split_portable(line, model, ROWS), k;
    if (n != want)
        return 0;
    for (k = 0; k < n; k++)
        if (strcmp(table[k], model[k]) != 0)
            return 0;
    return 1;
}

static int check(const char *name, csv_line_split_fn split)
{
    static const char text[] = "a,\"b,c\"\"d\",,e f,ghijklmnopqrstuvwxyz,0123456789,\"\",x";
    int n = split("id,\"a, b\",", table, 3);
    size_t offset, length;

    if (n != 3 || strcmp(table[0], "id") != 0 || strcmp(table[1], "a, b") != 0 || strcmp(table[2], "") != 0) {
        fprintf(stderr, "%s: got %d fields [%s] [%s] [%s]\n", name, n, table[0], table[1], table[2]);
        return 1;
    }
    for (offset = 0; offset < 16; offset++)
        for (length = 0; length < sizeof text; length++) {
            char *buffer = malloc(offset + length + 1), *line = buffer + offset;
            int same;
            if (buffer == NULL)
                return 1;
            memcpy(line, text, length);
            line[length] = '\0';
            same = same_split(line, split);
            free(buffer);
            if (!same) {
                fprintf(stderr, "%s: splits the first %zu bytes at offset %zu unlike portable\n", name, length, offset);
                return 1;
            }
        }
    return 0;
}

int main(void)
{
    int failed = check("parse_csv_line", parse_csv_line), k;

    for (k = 0; k < csv_line_kernel_count; k++) {
        if (csv_line_kernels[k].runs_here())
            failed |= check(csv_line_kernels[k].name, csv_line_kernels[k].split);
        else
            printf("skipped the %s kernel: it cannot run here\n", csv_line_kernels[k].name);
    }
    printf("parse_csv_line runs the %s kernel\n", csv_line_kernel_name());
    return failed;
}
