// Splits arbitrary text at capacities from -2 to 24 with every kernel this
// processor can run, through every entry, and checks each result against a
// plainly written model of the rules, and every byte of a guarded table
// against stray writes. Aborts on the first broken rule.
//
// Input: the first byte chooses the capacity and where the text starts
// against a 64-byte boundary; the rest is the text. The line entry splits
// the text up to its first NUL; the span entry splits all of it, and then a
// prefix whose length its last byte chooses; the record entry walks the
// text record by record, as a reader of a file would, and splits that
// prefix as one record.

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
    const std::string broken = ModelMismatch(entry, text, offset, capacity);
    if (!broken.empty()) {
        std::fprintf(stderr, "%s broke a split rule on %zu bytes at capacity %d, offset %d: %s\n",
                     EntryName(entry).c_str(), text.size(), capacity, offset, broken.c_str());
        std::abort();
    }
}

// Each record of the text from where the one before ended, up to the last,
// which has no line ending.
void ExpectRecords(const csv_line_kernel &kernel, const std::string &text, int offset, int capacity)
{
    for (size_t at = 0;;) {
        const std::string rest = text.substr(at);
        Expect({kernel, Way::record}, rest, (offset + static_cast<int>(at)) % 64, capacity);
        const int length = ModelRecord(rest, capacity).length;
        if (length == 0)
            return;
        at += static_cast<size_t>(length);
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
    const std::string prefix = text.substr(0, text.size() - cut);

    for (int k = 0; k < csv_line_kernel_count; k++) {
        const csv_line_kernel &kernel = csv_line_kernels[k];
        if (!kernel.runs_here())
            continue;
        Expect({kernel, Way::line}, line, offset, capacity);
        Expect({kernel, Way::span}, text, offset, capacity);
        Expect({kernel, Way::span}, prefix, offset, capacity);
        ExpectRecords(kernel, text, offset, capacity);
        Expect({kernel, Way::record}, prefix, offset, capacity);
    }
    return 0;
}
