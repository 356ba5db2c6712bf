// table_bench FILE THREADS REPS: the file read into a table REPS times on
// THREADS threads; prints "best_seconds rows checksum", the checksum the
// sum of every numeric column (as the peers' scripts print it), so that the
// readers' figures can be set side by side, and on standard error the
// table's own bytes, to set beside the process's peak resident size.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "csv_line.h"

// The bytes of the table's buffers.
static long long table_bytes(const csv_line_table *table)
{
    long long bytes = 0;
    for (int k = 0; k < csv_line_table_column_count(table); k++) {
        csv_line_column c;
        csv_line_table_column(table, k, &c);
        bytes += c.validity != nullptr ? (c.rows + 7) / 8 : 0;
        switch (c.type) {
        case CSV_LINE_TYPE_BOOL: bytes += (c.rows + 7) / 8; break;
        case CSV_LINE_TYPE_DATE: bytes += 4 * c.rows; break;
        case CSV_LINE_TYPE_TEXT: bytes += 8 * (c.rows + 1) + static_cast<const long long *>(c.values)[c.rows]; break;
        default: bytes += 8 * c.rows;
        }
    }
    return bytes;
}

static double checksum(const csv_line_table *table)
{
    double sum = 0;
    for (int k = 0; k < csv_line_table_column_count(table); k++) {
        csv_line_column c;
        csv_line_table_column(table, k, &c);
        for (long long r = 0; r < c.rows; r++) {
            if (c.validity != nullptr && !(c.validity[r / 8] >> (r % 8) & 1))
                continue;
            if (c.type == CSV_LINE_TYPE_INT64)
                sum += static_cast<double>(static_cast<const long long *>(c.values)[r]);
            else if (c.type == CSV_LINE_TYPE_FLOAT64)
                sum += static_cast<const double *>(c.values)[r];
        }
    }
    return sum;
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: table_bench FILE THREADS REPS\n");
        return 2;
    }
    csv_line_table_options options{};
    options.reader.header = 1;
    options.reader.threads = std::atoi(argv[2]);
    const int reps = std::atoi(argv[3]);
    double best = 1e300, sum = 0;
    long long rows = 0, bytes = 0;
    for (int k = 0; k < reps; k++) {
        const auto start = std::chrono::steady_clock::now();
        csv_line_table *table = csv_line_table_read_path(argv[1], &options);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (table == nullptr || csv_line_table_error(table)->code != CSV_LINE_OK) {
            std::printf("ERROR %s\n", table != nullptr ? csv_line_table_error(table)->message : "out of memory");
            return 1;
        }
        best = seconds < best ? seconds : best;
        rows = csv_line_table_rows(table);
        sum = checksum(table);
        bytes = table_bytes(table);
        csv_line_table_close(table);
    }
    std::printf("%.4f %lld %.17g\n", best, rows, sum);
    std::fprintf(stderr, "table bytes: %lld (%.1f MiB)\n", bytes, bytes / 1048576.0);
    return 0;
}
