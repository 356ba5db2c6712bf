/* This library beside the C CSV library Debian ships (libcsv), in one unit:
   with CSV_LINE_NO_LEGACY, none of our names clashes with its names (its
   csv_error is a function, ours of 1.0 a type). Both read the same record
   and must find the same fields. */
#define CSV_LINE_NO_LEGACY
#include <csv.h>
#include <stdio.h>
#include <string.h>

#include "csv_line.h"

static const char record[] = "plain,\"with, comma\",\"doubled \"\"quote\"\"\",,last\n";

struct found {
    char fields[8][32];
    int count;
};

static void on_field(void *data, size_t length, void *context)
{
    struct found *found = context;
    if (found->count < 8 && length < 32) {
        memcpy(found->fields[found->count], data, length);
        found->fields[found->count][length] = '\0';
    }
    found->count++;
}

int main(void)
{
    struct csv_parser parser;
    struct found theirs = {{{0}}, 0};
    csv_line_field fields[8];
    char value[32];
    int n, k, failed = 0, record_length;

    if (csv_init(&parser, CSV_STRICT) != 0)
        return 1;
    if (csv_parse(&parser, record, sizeof record - 1, on_field, NULL, &theirs) != sizeof record - 1 ||
        csv_fini(&parser, on_field, NULL, &theirs) != 0) {
        fprintf(stderr, "libcsv: %s\n", csv_strerror(csv_error(&parser)));
        return 1;
    }
    csv_free(&parser);

    n = parse_csv_fields(record, (int)sizeof record - 1, ',', fields, 8, &record_length);
    if (n != theirs.count || record_length != (int)sizeof record - 1) {
        fprintf(stderr, "%d fields against libcsv's %d\n", n, theirs.count);
        return 1;
    }
    for (k = 0; k < n; k++) {
        csv_line_field_value(record, &fields[k], value, (int)sizeof value);
        if (strcmp(value, theirs.fields[k]) != 0) {
            fprintf(stderr, "field %d: [%s] against libcsv's [%s]\n", k, value, theirs.fields[k]);
            failed = 1;
        }
    }
    if (!failed)
        printf("%d fields, as libcsv reads them\n", n);
    return failed;
}
