// Splits arbitrary lines at capacities from -2 to 24 with every kernel this
// processor can run, through both entries, and checks each result against a
// plainly written model of the splitting rules, and every byte of a guarded
// table against stray writes. Aborts on the first broken rule.
//
// Input: the first byte chooses the capacity and where the line starts
// against a 64-byte boundary; the rest is the text. The line entry splits
// the text up to its first NUL; the span entry splits all of it, and then
// a prefix whose length its last byte chooses.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "split_checks.h"

namespace {

void Expect(const Entry &entry, const std::string &text, int offset, int capacity)
{
    const std::string line(text.c_str(), strnlen(text.c_str(), text.size()));
    const std::string broken = SplitMismatch(entry, text, offset, capacity, ModelSplit(line, capacity));
    if (!broken.empty()) {
        std::fprintf(stderr, "%s broke a split rule on %zu bytes at capacity %d, offset %d: %s\n",
                     EntryName(entry).c_str(), text.size(), capacity, offset, broken.c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int capacity = data[0] % 27 - 2;
    const int offset = data[0] / 27 * 7;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string line(text.c_str(), strnlen(text.c_str(), text.size()));
    const size_t cut = size > 1 ? data[size - 1] % size : 0;

    for (int k = 0; k < csv_line_kernel_count; k++) {
        const csv_line_kernel &kernel = csv_line_kernels[k];
        if (!kernel.runs_here())
            continue;
        Expect({kernel, false}, line, offset, capacity);
        Expect({kernel, true}, text, offset, capacity);
        Expect({kernel, true}, text.substr(0, text.size() - cut), offset, capacity);
    }
    return 0;
}
