// Splits one of the benchmark's lines a given number of times with one
// kernel, or with the literal byte loop ("baseline"), and does nothing
// else: run under an instruction counter twice, with two counts, the
// difference divided by the difference of counts is the instructions a
// line takes. (bench/instructions.sh does that under qemu.)
// Usage: split_count KERNEL|baseline INPUT TIMES

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_inputs.h"
#include "kernels.h"

namespace {

alignas(64) char table[bench::kRows][FIELD_SIZE];

csv_line_split_fn Splitter(const char *name)
{
    if (std::strcmp(name, "baseline") == 0)
        return bench::baseline_split;
    for (int k = 0; k < csv_line_kernel_count; k++)
        if (std::strcmp(csv_line_kernels[k]->name, name) == 0 && csv_line_kernel_runs_here(csv_line_kernels[k]))
            return csv_line_kernels[k]->split;
    return nullptr;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: split_count KERNEL|baseline INPUT TIMES\n");
        return 2;
    }
    const csv_line_split_fn split = Splitter(argv[1]);
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
            fields += split(line.c_str(static_cast<int>(i % bench::Placed::kPlaces)), table, bench::kRows);
            __asm__ volatile("" : : "r"(table) : "memory");  // each split's stores are kept
        }
        std::printf("%d\n", fields);
        return 0;
    }
    std::fprintf(stderr, "split_count: no input %s\n", argv[2]);
    return 2;
}
