// Splits arbitrary lines at capacities from -2 to 24 and checks each result
// against a plainly written model of the splitting rules, and every byte of a
// guarded table against stray writes. Aborts on the first broken rule.
//
// Input: the first byte chooses the capacity; the rest, up to its first NUL,
// is the line.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "split_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int capacity = data[0] % 27 - 2;
    const char *text = reinterpret_cast<const char *>(data + 1);
    const std::string line(text, strnlen(text, size - 1));

    const std::string broken = SplitMismatch(line, capacity, ModelSplit(line, capacity));
    if (!broken.empty()) {
        std::fprintf(stderr, "split rule broken at capacity %d: %s\n", capacity, broken.c_str());
        std::abort();
    }
    return 0;
}
