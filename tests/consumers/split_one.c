/* A program outside this project: splits one line and prints its fields. */
#include <stdio.h>

#include "csv_line.h"

int main(void)
{
    static char fields[4][FIELD_SIZE];
    int n = parse_csv_line("id,\"Smith, J.\",42", fields, 4);
    int i;

    printf("%d", n);
    for (i = 0; i < n; i++)
        printf(" [%s]", fields[i]);
    printf("\n");
    return 0;
}
