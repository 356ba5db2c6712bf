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
// models must agree on the text where it holds no NUL. The index takes the
// text in one call with room for every record, whose starts must be those
// of a walk record by record, and call after call from each one's next with
// tables whose capacities the first and last bytes choose, starting between
// quotes now and then; each call is checked against the position entry
// record by record, the chunk summary and the portable kernel.

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

void ExpectIndexed(const csv_line_kernel &kernel, const std::string &text, size_t at, int offset,
                   const IndexShape &shape, IndexFound &found)
{
    const std::string broken =
        IndexMismatch(kernel, text.substr(at), (offset + static_cast<int>(at)) % 64, shape, &found);
    if (!broken.empty()) {
        std::fprintf(stderr, "%s broke an index rule on %zu bytes from byte %zu at offset %d, tables of %d fields "
                     "and %d records, separator %d, quoted %d: %s\n",
                     kernel.name, text.size() - at, at, offset, shape.field_capacity, shape.record_capacity,
                     shape.separator, shape.quoted, broken.c_str());
        std::abort();
    }
}

// The index in one call with room for everything, against a walk with the
// record model; then from each call's next on, while records fit, in the
// shape given.
void ExpectIndex(const csv_line_kernel &kernel, const std::string &text, int offset, IndexShape shape)
{
    IndexFound found;
    const int everything = static_cast<int>(text.size()) + 1;
    ExpectIndexed(kernel, text, 0, offset, {',', everything, everything, 0}, found);
    std::vector<int> walked;
    for (size_t at = 0;;) {
        const int length = ModelRecord(text.substr(at), 0).length;
        if (length == 0)
            break;
        walked.push_back(static_cast<int>(at));
        at += static_cast<size_t>(length);
    }
    if (found.starts != walked) {
        std::fprintf(stderr, "%s indexed %zu records, a walk finds %zu\n", kernel.name, found.starts.size(),
                     walked.size());
        std::abort();
    }
    for (size_t at = 0;;) {
        ExpectIndexed(kernel, text, at, offset, shape, found);
        if (!found.full || found.next == 0)
            return;
        at += static_cast<size_t>(found.next);
        shape.quoted = 0;  // a record ends outside quotes
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
        ExpectIndex(kernel, text, offset,
                    {separator, capacity, data[size - 1] % 8 - 1, data[size - 1] / 8 % 4 == 0 ? 1 : 0});
    }
    return 0;
}
