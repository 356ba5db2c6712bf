/* Names the kernel the library runs, through its public functions alone, as
   any program linked to it (shared or static) sees it. */
#include <stdio.h>
#include <string.h>

#include "csv_line.h"

int main(void)
{
    static char fields[2][FIELD_SIZE];
    if (parse_csv_line("a,\"b,c\"", fields, 2) != 2 || strcmp(fields[1], "b,c") != 0 ||
        parse_csv_span("x,y", 1, fields, 2) != 1 || strcmp(fields[0], "x") != 0) {
        fprintf(stderr, "which_kernel: the library split a line wrongly\n");
        return 1;
    }
    printf("parse_csv_line runs the %s kernel\n", csv_line_kernel_name());
    return 0;
}
