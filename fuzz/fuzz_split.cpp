// Splits arbitrary text at capacities from -2 to 24 with every kernel this
// processor can run, through every entry, and checks each result against a
// plainly written model of the rules, and every byte of a guarded table
// against stray writes. Aborts on the first broken rule.
//
// Input: the first byte chooses the capacity, where the text starts
// against a 64-byte boundary and the position entry's separator (the
// comma most often; the quote, which it must refuse, too); the rest is the
// text. The line entry splits the text up to its first NUL; the span entry
// splits all of it, and then a prefix whose length its last byte chooses;
// the record and position entries walk the text record by record, as a
// reader of a file would, and take that prefix as one record; the record
// entry's texts are summarised as chunks too, and the text, cut into chunks
// of a size its last byte chooses, resolved to its record starts. The two
// models must agree on the text where it holds no NUL.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "split_checks.h"

namespace {

void Expect(const Entry &entry, const std::string &text, int offset, int capacity, char separator = ',')
{
    const std::string broken = entry.way == Way::fields
                                   ? FieldsMismatch(entry.kernel, text, offset, separator, capacity)
                                   : ModelMismatch(entry, text, offset, capacity);
    if (!broken.empty()) {
        std::fprintf(stderr, "%s broke a split rule on %zu bytes at capacity %d, offset %d: %s\n",
                     EntryName(entry).c_str(), text.size(), capacity, offset, broken.c_str());
        std::abort();
    }
}

// Each record of the text from where the one before ended, up to the last,
// which has no line ending.
void ExpectRecords(const Entry &entry, const std::string &text, int offset, int capacity, char separator)
{
    for (size_t at = 0;;) {
        const std::string rest = text.substr(at);
        Expect(entry, rest, (offset + static_cast<int>(at)) % 64, capacity, separator);
        const int length = ModelRecord(rest, capacity).length;
        if (length == 0)
            return;
        at += static_cast<size_t>(length);
    }
}

// The text cut into chunks of `size` bytes, summarised and resolved in
// order, must give the record starts a walk gives. (Each chunk's own
// summary is checked through the record entry, as Expect does.)
void ExpectChunks(const csv_line_kernel &kernel, const std::string &text, size_t size)
{
    const std::string broken = ResolvedChunksMismatch(kernel, text, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "%s broke a chunk rule on %zu bytes in chunks of %zu: %s\n", kernel.name,
                     text.size(), size, broken.c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const char separators[] = {',', ',', ';', '\t', '\0', '"'};
    const int capacity = data[0] % 27 - 2;
    const int offset = data[0] / 27 * 7;
    const char separator = separators[data[0] % sizeof separators];
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string line(text.c_str(), strnlen(text.c_str(), text.size()));
    const size_t cut = size > 1 ? data[size - 1] % size : 0;
    const std::string prefix = text.substr(0, text.size() - cut);

    if (text.find('\0') == std::string::npos) {
        const std::string disagree = ModelsDisagree(text, capacity);
        if (!disagree.empty()) {
            std::fprintf(stderr, "the record and position models disagree: %s\n", disagree.c_str());
            std::abort();
        }
    }
    for (int k = 0; k < csv_line_kernel_count; k++) {
        const csv_line_kernel &kernel = *csv_line_kernels[k];
        if (!csv_line_kernel_runs_here(&kernel))
            continue;
        Expect({kernel, Way::line}, line, offset, capacity);
        Expect({kernel, Way::span}, text, offset, capacity);
        Expect({kernel, Way::span}, prefix, offset, capacity);
        ExpectRecords({kernel, Way::record}, text, offset, capacity, ',');
        Expect({kernel, Way::record}, prefix, offset, capacity);
        ExpectRecords({kernel, Way::fields}, text, offset, capacity, separator);
        ExpectChunks(kernel, text, data[size - 1] % 70 + 1);
        Expect({kernel, Way::fields}, prefix, offset, capacity, separator);
    }
    return 0;
}
