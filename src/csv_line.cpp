#include "csv_line.h"

int parse_csv_line(const char *line, char (*fields)[FIELD_SIZE], int max_fields)
{
    if (max_fields < 1)
        return 0;

    int field = 0;   // row being filled; also the number of fields completed
    int length = 0;  // content bytes stored in that row
    bool quoted = false;

    for (; *line != '\0'; line++) {
        const char c = *line;
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields[field][length] = '\0';
            // A separator that fills the table ends the scan: there is no row
            // left for what follows it.
            if (++field == max_fields)
                return field;
            length = 0;
        } else if (length < FIELD_SIZE - 1) {
            // The last byte of a row is kept for the terminator; the surplus
            // of a longer field is skipped, but its quotes still count.
            fields[field][length++] = c;
        }
    }
    fields[field][length] = '\0';
    return field + 1;
}
