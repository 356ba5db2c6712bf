// Splits one of the benchmark's lines a given number of times with one
// kernel's line or position entry, or with the literal byte loop
// ("baseline"), and does nothing else: run under an instruction counter twice, with two counts, the
// difference divided by the difference of counts is the instructions a
// line takes. (bench/instructions.sh does that under qemu.)
// Usage: split_count KERNEL[_span|_fields]|baseline INPUT TIMES

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "bench_inputs.h"
#include "kernels/kernels.h"

namespace {

alignas(64) char table[bench::kRows][FIELD_SIZE];

csv_line_field positions[bench::kRows];

// The entry named: a kernel's line entry ("avx2"), its span entry
// ("avx2_span"), its position entry ("avx2_fields"), or the literal byte
// loop ("baseline").
std::function<int(const char *, int)> Splitter(const std::string &name)
{
    if (name == "baseline")
        return [](const char *line, int) { return bench::baseline_split(line, table, bench::kRows); };
    std::string kernel = name;
    // Takes suffix off the kernel's name; true when it was there.
    const auto strip = [&kernel](const std::string &suffix) {
        if (kernel.size() <= suffix.size() || kernel.compare(kernel.size() - suffix.size(), suffix.size(), suffix) != 0)
            return false;
        kernel.resize(kernel.size() - suffix.size());
        return true;
    };
    const bool fields = strip("_fields"), span = !fields && strip("_span");
    for (int k = 0; k < csv_line_kernel_count; k++) {
        const csv_line_kernel *found = csv_line_kernels[k];
        if (kernel != found->name || !csv_line_kernel_runs_here(found))
            continue;
        if (fields)
            return [found](const char *line, int size) {
                return found->fields(line, size, ',', positions, bench::kRows, nullptr);
            };
        if (span)
            return [found](const char *line, int size) { return found->span(line, size, table, bench::kRows); };
        return [found](const char *line, int) { return found->split(line, table, bench::kRows); };
    }
    return nullptr;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: split_count KERNEL[_span|_fields]|baseline INPUT TIMES\n");
        return 2;
    }
    const auto split = Splitter(argv[1]);
    if (split == nullptr) {
        std::fprintf(stderr, "split_count: no kernel %s runs here\n", argv[1]);
        return 2;
    }
    for (const bench::Input &input : bench::Inputs()) {
        if (input.name != argv[2])
            continue;
        // From each place in turn, as split_bench splits it: a count that
        // is a multiple of the places weighs each alike.
        const bench::Placed line(input.line);
        const long times = std::strtol(argv[3], nullptr, 10);
        int fields = 0;
        for (long i = 0; i < times; i++) {
            fields += split(line.c_str(static_cast<int>(i % bench::Placed::kPlaces)), static_cast<int>(line.size()));
            __asm__ volatile("" : : "r"(table), "r"(positions) : "memory");  // each split's stores are kept
        }
        std::printf("%d\n", fields);
        return 0;
    }
    std::fprintf(stderr, "split_count: no input %s\n", argv[2]);
    return 2;
}
