/* A program built against csv_line 1.1, whose reader options ended at
   `lenient`: linked against a library of 1.1's versions, it must run
   against the current one, whose options are longer. Its options are
   followed here by a field limit of -1, which the current library refuses:
   read past `lenient`, they would open a reader in error. */
#include <stdio.h>
#include <string.h>

/* csv_line.h declares today's openers; this program calls 1.1's. */
#define csv_line_reader_open_memory csv_line_reader_open_memory_of_today
#define CSV_LINE_NO_LEGACY
#include "csv_line.h"
#undef csv_line_reader_open_memory

struct options_1_1 {
    char separator;
    int header;
    int record_limit;
    int threads;
    int lenient;
};

csv_line_reader *csv_line_reader_open_memory(const char *bytes, size_t length, const struct options_1_1 *options);

static const char input[] = "id,note\n1,\"a\"\"b\"\n2,xxxxxxxxxxxxxxxx\n3,c\"d\n";

int main(void)
{
    struct {
        struct options_1_1 options;
        int poison[4];
    } given = {{',', 1, 12, 1, 1}, {-1, -1, -1, -1}};
    csv_line_reader *reader = csv_line_reader_open_memory(input, sizeof input - 1, &given.options);
    csv_line_batch batch;
    int n, r, k;

    printf("columns %d\n", csv_line_reader_column_count(reader));
    while ((n = csv_line_reader_next(reader, &batch)) > 0)
        for (r = 0; r < batch.count; r++) {
            const csv_line_record *record = &batch.records[r];
            printf("line %lld flags %d:", record->line, record->flags);
            for (k = 0; k < record->count; k++) {
                csv_line_text value = csv_line_batch_value(&batch, record->field + k);
                printf(" [%.*s]", value.length, value.data);
            }
            printf("\n");
        }
    printf("end %d: %s\n", n, csv_line_reader_error(reader)->message);
    csv_line_reader_close(reader);
    return 0;
}
