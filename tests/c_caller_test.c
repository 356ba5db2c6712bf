/* The splitter called from C: the header must compile as C, link with C
   linkage, and FIELD_SIZE must serve as an array bound. */
#include <stdio.h>
#include <string.h>

#include "csv_line.h"

int main(void)
{
    static char table[3][FIELD_SIZE];
    int n = parse_csv_line("id,\"a, b\",", table, 3);

    if (n != 3 || strcmp(table[0], "id") != 0 || strcmp(table[1], "a, b") != 0 ||
        strcmp(table[2], "") != 0) {
        fprintf(stderr, "c caller: got %d fields [%s] [%s] [%s]\n", n, table[0], table[1], table[2]);
        return 1;
    }
    return 0;
}
