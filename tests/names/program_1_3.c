/* A program built against csv_line 1.3, whose reader options ended at
   `decode_on_demand` and whose table options held them: linked against a
   library of 1.3's versions, it must run against the current one, whose
   options are longer, and read bytes as 1.3 did: bytes that are not UTF-8
   handed over as they are, a UTF-16 mark as bytes. Its options are
   followed here by an encoding of -1, which the current library refuses:
   read past `decode_on_demand`, they would open a reader in error. */
#include <stdio.h>
#include <string.h>

/* csv_line.h declares today's; this program calls 1.3's. */
#define csv_line_reader_open_memory csv_line_reader_open_memory_of_today
#define csv_line_table_read_memory csv_line_table_read_memory_of_today
#define CSV_LINE_NO_LEGACY
#include "csv_line.h"
#undef csv_line_reader_open_memory
#undef csv_line_table_read_memory

struct options_1_3 {
    char separator;
    int header;
    int record_limit;
    int threads;
    int lenient;
    int field_limit;
    int decode_on_demand;
};

struct table_options_1_3 {
    struct options_1_3 reader;
    const csv_line_column_spec *columns;
    int column_count;
    int only_columns;
    int infer_dates;
    long long first_line;
};

csv_line_reader *csv_line_reader_open_memory(const char *bytes, size_t length, const struct options_1_3 *options);
csv_line_table *csv_line_table_read_memory(const char *bytes, size_t length, const struct table_options_1_3 *options);

static const char input[] = "id;note\n1;caf\xe9\n2;\"a\"\"b\"\n";
static const char utf16[] = "\xff\xfe" "a\0";

int main(void)
{
    struct {
        struct options_1_3 options;
        int poison[4];
    } given = {{';', 1, 0, 1, 0, 0, 0}, {-1, -1, -1, -1}};
    struct {
        struct table_options_1_3 options;
        int poison[4];
    } table_given = {{{';', 1, 0, 2, 0, 0, 0}, NULL, 0, 0, 0, 0}, {-1, -1, -1, -1}};
    csv_line_reader *reader = csv_line_reader_open_memory(input, sizeof input - 1, &given.options);
    csv_line_table *table;
    csv_line_column column;
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

    given.options.header = 0;
    reader = csv_line_reader_open_memory(utf16, sizeof utf16 - 1, &given.options);
    n = csv_line_reader_next(reader, &batch);
    printf("a UTF-16 mark: %d record, its first field %d bytes\n", n, n > 0 ? batch.fields[0].length : -1);
    csv_line_reader_close(reader);

    table = csv_line_table_read_memory(input, sizeof input - 1, &table_given.options);
    printf("table: %lld rows, error %d", (long long)csv_line_table_rows(table), csv_line_table_error(table)->code);
    if (csv_line_table_column(table, 1, &column) == 0) {
        const long long *ends = (const long long *)column.values;
        printf(", note[0] %.*s", (int)(ends[1] - ends[0]), column.data + ends[0]);
    }
    printf("\n");
    csv_line_table_close(table);
    return 0;
}
