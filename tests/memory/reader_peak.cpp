// The reader's peak memory on the inputs that make its buffer and tables
// largest, against the bound its header states, on one thread and on two.
// Usage: reader_peak INPUT THREADS [lenient]   (MIB=n: n MiB, not 16)
//        reader_peak table INPUT THREADS: the input read into a table,
//        against its own bytes and 64 MiB
//   separators  16 MiB of commas, one record: over the field limit
//   lines       16 MiB of commas with an LF every 64 KiB: records of 65536
//               fields, cut into ranges on threads
//   blank       16 MiB of LFs: a record a byte
//   text        64 MiB of short quoted records, as files usually are
// Prints the peak resident growth; exits 1 when it passes the bound.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "csv_line.h"

namespace {

long long peak_kib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Writes the input in pieces, so that making it raises no peak.
bool write_input(const char *kind, FILE *out)
{
    char piece[1 << 16];
    const long long mib = 1 << 20;
    if (std::strcmp(kind, "separators") == 0 || std::strcmp(kind, "lines") == 0 || std::strcmp(kind, "blank") == 0) {
        std::memset(piece, std::strcmp(kind, "blank") == 0 ? '\n' : ',', sizeof piece);
        if (std::strcmp(kind, "lines") == 0)
            piece[sizeof piece - 1] = '\n';
        const long long size = (std::getenv("MIB") ? std::atoll(std::getenv("MIB")) : 16) * mib;
        for (long long at = 0; at < size; at += static_cast<long long>(sizeof piece))
            if (std::fwrite(piece, 1, sizeof piece, out) != sizeof piece)
                return false;
        return true;
    }
    if (std::strcmp(kind, "text") == 0) {
        for (long long at = 0, k = 0; at < 64 * mib; k++) {
            const int n = std::snprintf(piece, sizeof piece, "%lld,\"item %lld, \"\"boxed\"\"\",%lld.%02lld,\"line\nbreak\"\n", k,
                                        k % 977, k % 10000, k % 100);
            if (std::fwrite(piece, 1, static_cast<size_t>(n), out) != static_cast<size_t>(n))
                return false;
            at += n;
        }
        return true;
    }
    return false;
}

}  // namespace

// The bytes of a table's buffers.
long long table_bytes(const csv_line_table *table)
{
    long long bytes = 0;
    for (int k = 0; k < csv_line_table_column_count(table); k++) {
        csv_line_column c;
        csv_line_table_column(table, k, &c);
        bytes += c.validity != nullptr ? (c.rows + 7) / 8 : 0;
        if (c.type == CSV_LINE_TYPE_TEXT)
            bytes += 8 * (c.rows + 1) + static_cast<const long long *>(c.values)[c.rows];
        else
            bytes += c.type == CSV_LINE_TYPE_BOOL ? (c.rows + 7) / 8 : c.type == CSV_LINE_TYPE_DATE ? 4 * c.rows : 8 * c.rows;
    }
    return bytes;
}

// A table's peak: its own bytes and 64 MiB at most, at any thread count.
int table_peak(const char *path, const char *input, int threads)
{
    const long long before = peak_kib();
    csv_line_table_options options{};
    options.reader.threads = threads;
    csv_line_table *table = csv_line_table_read_path(path, &options);
    const long long grown = peak_kib() - before, bytes = table_bytes(table);
    const int code = csv_line_table_error(table)->code;
    std::printf("table of %s on %d threads: %lld rows, code %d; peak %.1f MiB beyond the start, table %.1f MiB\n", input,
                threads, csv_line_table_rows(table), code, static_cast<double>(grown) / 1024,
                static_cast<double>(bytes) / (1 << 20));
    csv_line_table_close(table);
    return code == CSV_LINE_OK && grown * 1024 <= bytes + (64LL << 20) ? 0 : 1;
}

int main(int argc, char **argv)
{
    const bool table = argc > 1 && std::strcmp(argv[1], "table") == 0;
    argv += table;
    argc -= table;
    if (argc < 3) {
        std::fprintf(stderr, "usage: reader_peak separators|lines|blank|text THREADS [lenient]\n");
        return 2;
    }
    char path[] = "/tmp/reader_peak_XXXXXX";
    const int fd = mkstemp(path);
    FILE *out = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (out == nullptr || !write_input(argv[1], out) || std::fclose(out) != 0) {
        std::fprintf(stderr, "reader_peak: cannot write the input %s\n", argv[1]);
        unlink(path);
        return 2;
    }
    if (table) {
        const int failed = table_peak(path, argv[1], std::atoi(argv[2]));
        unlink(path);
        return failed;
    }
    const long long before = peak_kib();
    csv_line_reader_options options = {',', 0, 0, std::atoi(argv[2]), argc > 3, 0, 0, 0, 0, 0};
    csv_line_reader *reader = csv_line_reader_open_path(path, &options);
    csv_line_batch batch;
    long long records = 0, bytes = 0;
    int n;
    while ((n = csv_line_reader_next(reader, &batch)) > 0)
        for (int r = 0; r < batch.count; r++) {
            records++;
            const csv_line_record &record = batch.records[r];
            for (int k = 0; k < record.count; k++)
                bytes += csv_line_batch_value(&batch, record.field + k).length;
        }
    const int code = n < 0 ? csv_line_reader_error(reader)->code : CSV_LINE_OK;
    csv_line_reader_close(reader);
    unlink(path);
    const long long grown = peak_kib() - before;
    // The bound csv_line.h states, with the default limits: one thread's
    // buffer and tables, and with threads their ranges.
    const long long limit = CSV_LINE_DEFAULT_RECORD_LIMIT, fields = CSV_LINE_DEFAULT_FIELD_LIMIT, mib = 1 << 20;
    long long bound = 2 * limit + 40 * fields;
    if (options.threads > 1)
        bound += (2LL * options.threads + 2) * 2 * mib + limit + 12 * fields;
    bound /= 1024;
    std::printf("%s on %d threads: %lld records, %lld value bytes, code %d; peak %.1f MiB beyond the start, bound %.1f MiB\n",
                argv[1], options.threads, records, bytes, code, static_cast<double>(grown) / 1024,
                static_cast<double>(bound) / 1024);
    return grown <= bound ? 0 : 1;
}
