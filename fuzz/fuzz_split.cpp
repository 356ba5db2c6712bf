// Splits arbitrary lines at capacities from -2 to 24 with every kernel this
// processor can run, and checks each result against a plainly written model
// of the splitting rules, and every byte of a guarded table against stray
// writes. Aborts on the first broken rule.
//
// Input: the first byte chooses the capacity and where the line starts
// against a 64-byte boundary; the rest, up to its first NUL, is the line.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "split_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int capacity = data[0] % 27 - 2;
    const int offset = data[0] / 27 * 7;
    const char *text = reinterpret_cast<const char *>(data + 1);
    const std::string line(text, strnlen(text, size - 1));
    const std::vector<std::string> want = ModelSplit(line, capacity);

    for (int k = 0; k < csv_line_kernel_count; k++) {
        const csv_line_kernel &kernel = csv_line_kernels[k];
        if (!kernel.runs_here())
            continue;
        const std::string broken = SplitMismatch(kernel.split, line, offset, capacity, want);
        if (!broken.empty()) {
            std::fprintf(stderr, "%s kernel broke a split rule at capacity %d, offset %d: %s\n",
                         kernel.name, capacity, offset, broken.c_str());
            std::abort();
        }
    }
    return 0;
}
