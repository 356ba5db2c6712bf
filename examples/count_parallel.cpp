// Counts the records of a CSV file and sums one of its columns on several
// threads at once:
//
//     count_parallel FILE [COLUMN [THREADS]]   (COLUMN: price; THREADS: every core)
//
// Batches of records reach the callback on the reader's threads in no
// order; each batch is summed on its own and merged once, so the threads
// share nothing while they work.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "csv_line.hpp"

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: count_parallel FILE [COLUMN [THREADS]]\n");
        return 2;
    }
    const std::string column = argc >= 3 ? argv[2] : "price";
    int threads = argc == 4 ? std::atoi(argv[3]) : static_cast<int>(std::thread::hardware_concurrency());
    if (threads < 1)
        threads = 1;

    std::atomic<long long> records{0};
    std::mutex merge;
    double total = 0;
    try {
        csv_line::reader in(argv[1], csv_line::options().threads(threads));
        in.for_each([&](const csv_line::batch &batch) {
            double sum = 0;
            for (const auto &row : batch)
                sum += row[column].as<double>();
            records += static_cast<long long>(batch.size());
            const std::lock_guard<std::mutex> lock(merge);
            total += sum;
        });
    } catch (const csv_line::error &e) {
        std::fprintf(stderr, "count_parallel: %s: %s\n", argv[1], e.what());
        return 1;
    }
    std::printf("%lld records, %s %.2f, on %d threads\n", records.load(), column.c_str(), total, threads);
    return 0;
}
