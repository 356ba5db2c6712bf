// Walks a buffer of about 100 MB of records held in memory, as a reader of
// a whole file does, and prints how fast, against a memchr count of its
// lines: each kernel's record entry (which copies every field into rows)
// and position entry (which says where the fields lie). Two buffers: plain
// records of 12 fields, about 100 bytes each, and the same with every text
// field quoted, some holding line breaks, commas and doubled quotes.
// Each kernel's chunk summary (csv_line_chunk_scan) of the whole buffer is timed
// against the same count, and so is its index (parse_csv_records), which
// takes the buffer a batch of about 1 MiB at a time, every record that ends
// in a batch in one call, with tables sized for the batch.
// Each figure is the fastest of several runs. Before timing, every walk
// must find as many records as the model says, and the index the records
// the model finds, where it finds them.
// Usage: walk_bench [MEGABYTES] [RUNS]

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_records.h"
#include "csv_line.h"
#include "kernels/kernels.h"

namespace {

constexpr int kRows = 20;
alignas(64) char rows[kRows][FIELD_SIZE];
csv_line_field positions[kRows];

int Remaining(const char *at, const char *end)
{
    return static_cast<int>(std::min<std::ptrdiff_t>(end - at, INT_MAX));
}

long CountLines(const char *at, const char *end)
{
    long lines = 0;
    while (const void *lf = std::memchr(at, '\n', static_cast<size_t>(end - at))) {
        lines++;
        at = static_cast<const char *>(lf) + 1;
    }
    return lines;
}

long WalkRecords(csv_line_record_fn record, const char *at, const char *end)
{
    long records = 0;
    for (int length; at != end; at += length != 0 ? length : end - at, records++)
        record(at, Remaining(at, end), rows, kRows, &length);
    return records;
}

long WalkFields(csv_line_fields_fn fields, const char *at, const char *end)
{
    long records = 0;
    for (int length; at != end; at += length != 0 ? length : end - at, records++)
        fields(at, Remaining(at, end), ',', positions, kRows, &length);
    return records;
}

// The index's batch, and its tables: room for a field every two bytes and
// a record every eight, far more than the buffers need.
constexpr int kBatch = 1 << 20;
std::vector<csv_line_field> index_fields(kBatch / 2);
std::vector<int> index_records(kBatch / 8);

// Indexes every record of the buffer, batch by batch, each batch starting
// where the one before left its first record out; with `starts`, adds each
// record's start (from `at`) to it. Returns how many records.
long WalkIndex(csv_line_records_fn records, const char *at, const char *end, std::vector<long> *starts = nullptr)
{
    const char *const begin = at;
    long found = 0;
    while (at != end) {
        const int length = std::min(Remaining(at, end), kBatch);
        csv_line_index index = {index_fields.data(), static_cast<int>(index_fields.size()), index_records.data(),
                           static_cast<int>(index_records.size()), 0, 0, 0, 0, 0, 0, 0};
        records(at, length, ',', &index);
        if (starts != nullptr)
            for (int r = 0; r < index.record_count; r++)
                starts->push_back(at - begin + index.fields[index.records[r]].start);
        found += index.record_count;
        if (index.next == 0) {
            if (at + length != end) {
                std::fprintf(stderr, "walk_bench: a record longer than a batch\n");
                std::exit(1);
            }
            // The last record, with no LF to end it.
            if (starts != nullptr)
                starts->push_back(at - begin);
            found++;
            break;
        }
        at += index.next;
    }
    return found;
}

// The fastest of `runs` runs of walk, in seconds; aborts if a run finds
// other than `want` records.
template <typename Walk>
double Fastest(int runs, long want, Walk walk)
{
    double best = 1e9;
    for (int run = 0; run < runs; run++) {
        const auto start = std::chrono::steady_clock::now();
        const long found = walk();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (found != want) {
            std::fprintf(stderr, "walk_bench: a walk found %ld records, want %ld\n", found, want);
            std::exit(1);
        }
        best = std::min(best, took.count());
    }
    return best;
}

// Where the records of the buffer start, as the model finds them: at its
// start and after each LF outside quotes, unless the buffer ends there.
std::vector<long> ModelStarts(const std::string &buffer)
{
    std::vector<long> starts;
    bool quoted = false;
    for (size_t at = 0; at < buffer.size(); at++) {
        if (at == 0 || (buffer[at - 1] == '\n' && !quoted))
            starts.push_back(static_cast<long>(at));
        quoted ^= buffer[at] == '"';
    }
    return starts;
}

}  // namespace

int main(int argc, char **argv)
{
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    std::printf("| buffer | kernel | walk | GB/s | time / memchr count | time / record walk | time / fields walk |\n");
    std::printf("|---|---|---|---:|---:|---:|---:|\n");
    double plain_fields[16] = {};
    for (const bool quoted : {false, true}) {
        const std::string records = Records(megabytes << 20, quoted);
        // A copy that starts a 64-byte block, as a file read into memory does.
        const std::unique_ptr<char, void (*)(void *)> copy(
            static_cast<char *>(std::aligned_alloc(64, (records.size() / 64 + 1) * 64)), std::free);
        std::memcpy(copy.get(), records.data(), records.size());
        const char *begin = copy.get(), *end = begin + records.size();
        const std::vector<long> starts = ModelStarts(records);
        const long want = static_cast<long>(starts.size());
        const double bytes = static_cast<double>(records.size());
        const char *name = quoted ? "quoted" : "plain";
        const double count = Fastest(runs, CountLines(begin, end), [&] { return CountLines(begin, end); });
        std::printf("| %s | | memchr count | %.2f | 1.00 | | |\n", name, bytes / count / 1e9);
        for (int k = 0; k < csv_line_kernel_count; k++) {
            const csv_line_kernel &kernel = *csv_line_kernels[k];
            if (!csv_line_kernel_runs_here(&kernel))
                continue;
            const long lines = CountLines(begin, end);
            const double summary = Fastest(runs, lines, [&] {
                csv_line_chunk chunk;
                kernel.chunk(begin, end - begin, &chunk);
                return static_cast<long>(chunk.line_feeds);
            });
            std::printf("| %s | %s | chunk summary | %.2f | %.2f | | |\n", name, kernel.name, bytes / summary / 1e9,
                        summary / count);
            const double record = Fastest(runs, want, [&] { return WalkRecords(kernel.record, begin, end); });
            const double fields = Fastest(runs, want, [&] { return WalkFields(kernel.fields, begin, end); });
            std::printf("| %s | %s | record | %.2f | %.2f | | |\n", name, kernel.name, bytes / record / 1e9,
                        record / count);
            std::printf("| %s | %s | fields | %.2f | %.2f | %.2f | |\n", name, kernel.name, bytes / fields / 1e9,
                        fields / count, fields / record);
            std::vector<long> indexed;
            WalkIndex(kernel.records, begin, end, &indexed);
            if (indexed != starts) {
                std::fprintf(stderr, "walk_bench: the %s index finds %zu records, the model %zu, or elsewhere\n",
                             kernel.name, indexed.size(), starts.size());
                return 1;
            }
            const double index = Fastest(runs, want, [&] { return WalkIndex(kernel.records, begin, end); });
            std::printf("| %s | %s | index | %.2f | %.2f | %.2f | %.2f |\n", name, kernel.name, bytes / index / 1e9,
                        index / count, index / record, index / fields);
            if (!quoted)
                plain_fields[k] = fields / bytes;
            else
                std::printf("| | %s | fields, quoted / plain per byte | | | %.2f | |\n", kernel.name,
                            fields / bytes / plain_fields[k]);
        }
    }
    return 0;
}
