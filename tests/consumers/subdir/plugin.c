/* A parent's shared library that splits lines with csv_line inside it. */
#include <stdio.h>

#include "csv_line.h"

int plugin_print_fields(const char *line)
{
    static char fields[4][FIELD_SIZE];
    const int n = parse_csv_line(line, fields, 4);
    printf("%d", n);
    for (int i = 0; i < n; i++)
        printf(" [%s]", fields[i]);
    printf("\n");
    return n;
}
