// Reads a file of about 100 MB from the page cache with the reader,
// visiting every field's value, and prints how fast against the index
// walk of the same bytes held in memory (parse_csv_records a batch of
// about 1 MiB at a time) and a memchr count of its lines: the C batch loop
// and the C++ range-for on one thread, the reader on two, and for_each on
// one and two threads, from the file and from the bytes in memory (no
// copy). Four files: the same two buffers as walk_bench (plain records
// of 12 fields, about 100 bytes each, and the same with every text field
// quoted, some holding line breaks, commas and doubled quotes), records
// whose quoted notes hold several lines each, and records of 60 fields.
// Each figure is the fastest of several runs; every run must visit the
// same values. A last table gives the ratios the threads and the row
// reader are held to.
// Usage: reader_bench [MEGABYTES] [RUNS]

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_records.h"
#include "csv_line.h"
#include "csv_line.hpp"

namespace {

// What a visit of every value adds up: the values' bytes and their first
// bytes, so that no value goes unread.
struct Visit {
    long long records = 0, bytes = 0, first = 0;
    bool operator==(const Visit &o) const { return records == o.records && bytes == o.bytes && first == o.first; }
};

inline void Add(Visit &visit, const char *data, int length)
{
    visit.bytes += length;
    visit.first += length > 0 ? static_cast<unsigned char>(data[0]) : 0;
}

void VisitBatch(const csv_line_batch *batch, Visit &visit)
{
    visit.records += batch->count;
    if (batch->count == 0)
        return;
    const csv_line_record &last = batch->records[batch->count - 1];
    for (int k = batch->records[0].field; k < last.field + last.count; k++) {
        const csv_line_text value = csv_line_batch_value(batch, k);
        Add(visit, value.data, value.length);
    }
}

Visit ReadC(const char *path, int threads)
{
    csv_line_reader_options options = {',', 0, 0, threads, 0, 0, 0, 0, 0, 0};
    csv_line_reader *reader = csv_line_reader_open_path(path, &options);
    csv_line_batch batch;
    Visit visit;
    while (csv_line_reader_next(reader, &batch) > 0)
        VisitBatch(&batch, visit);
    csv_line_reader_close(reader);
    return visit;
}

Visit ReadCxx(const char *path)
{
    csv_line::reader in(path, csv_line::options().header(false));
    Visit visit;
    for (const auto &row : in) {
        visit.records++;
        for (std::size_t k = 0; k < row.size(); k++) {
            const std::string_view value = row.at(k).value();
            Add(visit, value.data(), static_cast<int>(value.size()));
        }
    }
    return visit;
}

// for_each over the file, or over `memory` (its bytes held, so that no
// copy is made) when given.
Visit ForEach(const char *path, int threads, const std::string *memory = nullptr)
{
    csv_line_reader_options options = {',', 0, 0, threads, 0, 0, 0, 0, 0, 0};
    csv_line_reader *reader = memory != nullptr ? csv_line_reader_open_memory(memory->data(), memory->size(), &options)
                                           : csv_line_reader_open_path(path, &options);
    struct Sums {
        std::atomic<long long> records{0}, bytes{0}, first{0};
    } sums;
    csv_line_reader_for_each(
        reader,
        [](const csv_line_batch *batch, void *context) {
            Visit visit;
            VisitBatch(batch, visit);
            Sums &into = *static_cast<Sums *>(context);
            into.records += visit.records;
            into.bytes += visit.bytes;
            into.first += visit.first;
            return 0;
        },
        &sums);
    csv_line_reader_close(reader);
    Visit visit;
    visit.records = sums.records;
    visit.bytes = sums.bytes;
    visit.first = sums.first;
    return visit;
}

long long IndexWalk(const std::string &text)
{
    constexpr int batch = 1 << 20;
    static std::vector<csv_line_field> fields(batch / 2);
    static std::vector<int> records(batch / 8);
    long long found = 0;
    for (size_t at = 0; at < text.size();) {
        const int length = static_cast<int>(std::min<size_t>(text.size() - at, batch));
        csv_line_index index = {fields.data(), static_cast<int>(fields.size()), records.data(),
                           static_cast<int>(records.size()), 0, 0, 0, 0, 0, 0, 0};
        parse_csv_records(text.data() + at, length, ',', &index);
        found += index.record_count;
        if (index.next == 0)
            break;
        at += static_cast<size_t>(index.next);
    }
    return found;
}

long long CountLines(const std::string &text)
{
    long long lines = 0;
    for (const char *p = text.data(), *end = p + text.size();
         (p = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) != nullptr; p++)
        lines++;
    return lines;
}

template <typename Run>
double Fastest(int runs, Run run)
{
    double best = 1e9;
    for (int k = 0; k < runs; k++) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

}  // namespace

int main(int argc, char **argv)
{
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    std::printf("kernel %s\n\n", csv_line_kernel_name());
    std::printf("| file | way | GB/s | time / index walk | time / memchr count |\n|---|---|---:|---:|---:|\n");
    struct Ratios {
        const char *name;
        double next, for_each, for_each_memory, rows;
    };
    std::vector<Ratios> ratios;
    const char *const names[] = {"plain", "quoted", "multiline", "wide"};
    for (const char *name : names) {
        const std::string text = std::strcmp(name, "plain") == 0    ? Records(megabytes << 20, false)
                                 : std::strcmp(name, "quoted") == 0 ? Records(megabytes << 20, true)
                                 : std::strcmp(name, "wide") == 0   ? WideRecords(megabytes << 20)
                                                                    : MultilineRecords(megabytes << 20);
        char path[] = "/tmp/reader_bench_XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            std::fprintf(stderr, "reader_bench: cannot write %s\n", path);
            return 1;
        }
        close(fd);
        const double bytes = static_cast<double>(text.size());
        volatile long long sink = 0;  // so that no walk is optimised away
        const double count = Fastest(runs, [&] { sink = sink + CountLines(text); });
        const double index = Fastest(runs, [&] { sink = sink + IndexWalk(text); });
        const auto row = [&](const char *way, double seconds) {
            std::printf("| %s | %s | %.2f | %.2f | %.2f |\n", name, way, bytes / seconds / 1e9, seconds / index,
                        seconds / count);
            return seconds;
        };
        row("memchr count (memory)", count);
        row("index walk (memory)", index);
        // Every way must visit what the C loop on one thread visits.
        const Visit want = ReadC(path, 1);
        const auto timed = [&](const char *way, auto read) {
            return row(way, Fastest(runs, [&] {
                           if (!(read() == want)) {
                               std::fprintf(stderr, "reader_bench: %s visits other values\n", way);
                               std::exit(1);
                           }
                       }));
        };
        const double c1 = timed("C batch loop, 1 thread", [&] { return ReadC(path, 1); });
        const double rows = timed("C++ range-for, 1 thread", [&] { return ReadCxx(path); });
        const double c2 = timed("C batch loop, 2 threads", [&] { return ReadC(path, 2); });
        const double f1 = timed("for_each, 1 thread", [&] { return ForEach(path, 1); });
        const double f2 = timed("for_each, 2 threads", [&] { return ForEach(path, 2); });
        const double m1 = timed("for_each, 1 thread, memory", [&] { return ForEach(path, 1, &text); });
        const double m2 = timed("for_each, 2 threads, memory", [&] { return ForEach(path, 2, &text); });
        ratios.push_back({name, c2 / c1, f2 / f1, m2 / m1, rows / index});
        unlink(path);
    }
    std::printf("\n| file | next, 2 threads / 1 | for_each, 2 threads / 1 | for_each from memory, 2 / 1 | "
                "C++ range-for / index walk |\n|---|---:|---:|---:|---:|\n");
    for (const Ratios &r : ratios)
        std::printf("| %s | %.2f | %.2f | %.2f | %.2f |\n", r.name, r.next, r.for_each, r.for_each_memory, r.rows);
    return 0;
}
