#ifndef CSV_LINE_TESTS_SPLIT_CHECKS_H
#define CSV_LINE_TESTS_SPLIT_CHECKS_H

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "csv_line.h"
#include "kernels/kernels.h"

// The rules on whole strings, written plainly: split on every comma outside
// quotes and drop the quotes; then keep the first `capacity` fields, each cut
// to fit its row.
inline std::vector<std::string> ModelSplit(const std::string &line, int capacity)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (const char c : line) {
        if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    fields.resize(static_cast<size_t>(std::max(0, std::min(capacity, static_cast<int>(fields.size())))));
    for (std::string &field : fields)
        if (field.size() > FIELD_SIZE - 1)
            field.resize(FIELD_SIZE - 1);
    return fields;
}

// A heap copy of `size` bytes starting `offset` bytes past a 64-byte
// boundary, and not one byte more, so that the address sanitizer reports
// any read past them.
class PlacedCopy {
public:
    PlacedCopy(const char *bytes, size_t size, int offset) : owned_(nullptr, &std::free)
    {
        void *buffer = nullptr;
        if (posix_memalign(&buffer, 64, static_cast<size_t>(offset) + size) != 0)
            return;
        owned_.reset(static_cast<char *>(buffer));
        allocated_ = true;
        at_ = owned_.get() + offset;
        if (size > 0)
            std::memcpy(at_, bytes, size);
    }

    bool ok() const { return allocated_; }
    char *at() const { return at_; }

private:
    std::unique_ptr<char, decltype(&std::free)> owned_;
    bool allocated_ = false;
    char *at_ = nullptr;
};

// A field table of `capacity` rows between two guard rows, every byte of it
// filled with a pattern, so that a check after a split sees any stray write.
class GuardedTable {
public:
    explicit GuardedTable(int capacity)
        : rows_(capacity > 0 ? capacity : 0), block_(new char[static_cast<size_t>(rows_) + 2][FIELD_SIZE])
    {
        std::memcpy(Bytes(), Pattern(Size()), Size());
    }

    char (*Rows())[FIELD_SIZE] { return block_.get() + 1; }

    // Empty when a split that returned `count` stored exactly `want`, each
    // field followed by its NUL, and changed no other byte; otherwise the
    // first rule it broke.
    std::string Mismatch(int count, const std::vector<std::string> &want) const
    {
        if (count != static_cast<int>(want.size()))
            return "count is " + std::to_string(count) + ", want " + std::to_string(want.size());
        for (size_t k = 0; k < want.size(); k++) {
            const char *row = block_[k + 1];
            const std::string got(row, strnlen(row, FIELD_SIZE));
            if (got != want[k])
                return "field " + std::to_string(k) + " has " + std::to_string(got.size()) +
                       " bytes, want " + std::to_string(want[k].size()) + ": [" + got.substr(0, 60) +
                       "] vs [" + want[k].substr(0, 60) + "]";
        }
        const char *pattern = Pattern(Size());
        for (int row = -1; row <= rows_; row++) {
            const size_t stored = row >= 0 && row < count ? want[static_cast<size_t>(row)].size() + 1 : 0;
            const size_t start = static_cast<size_t>(row + 1) * FIELD_SIZE;
            const char *begin = Bytes() + start;
            if (std::memcmp(begin + stored, pattern + start + stored, FIELD_SIZE - stored) == 0)
                continue;
            const char *changed = std::mismatch(begin + stored, begin + FIELD_SIZE, pattern + start + stored).first;
            return Where(row, count) + " changed at byte " + std::to_string(changed - begin);
        }
        return "";
    }

private:
    // The fill: no NUL, no quote, no comma, and no two rows alike.
    static const char *Pattern(size_t size)
    {
        static std::vector<char> pattern;
        for (size_t i = pattern.size(); i < size; i++)
            pattern.push_back(static_cast<char>(0x80 | (i * 7 % 127)));
        return pattern.data();
    }
    size_t Size() const { return static_cast<size_t>(rows_ + 2) * FIELD_SIZE; }
    char *Bytes() const { return block_[0]; }

    std::string Where(int row, int count) const
    {
        if (row < 0)
            return "guard row before the table";
        if (row == rows_)
            return "guard row after the table";
        if (row >= count)
            return "row " + std::to_string(row) + " beyond the count";
        return "row " + std::to_string(row) + " behind its terminator";
    }

    int rows_;
    std::unique_ptr<char[][FIELD_SIZE]> block_;
};

// What a record entry stores and says, by the model.
struct ModelRecordResult {
    std::vector<std::string> fields;
    int length;  // the record with its line ending, or 0 when it has none
};

// The record rule, written plainly: the record ends at the first LF outside
// quotes (a NUL counts as any byte), and its fields are the split of what
// comes before that LF and a CR just before it, up to a NUL.
inline ModelRecordResult ModelRecord(const std::string &text, int capacity)
{
    bool quoted = false;
    size_t end = text.size();
    int length = 0;
    for (size_t i = 0; i < text.size() && length == 0; i++) {
        if (text[i] == '"') {
            quoted = !quoted;
        } else if (text[i] == '\n' && !quoted) {
            end = i > 0 && text[i - 1] == '\r' ? i - 1 : i;
            length = static_cast<int>(i + 1);
        }
    }
    const std::string record = text.substr(0, end);
    return {ModelSplit(record.substr(0, strnlen(record.c_str(), record.size())), capacity), length};
}

// The library's entries themselves, then every kernel built into the
// library; the tests and the fuzz target run each one the processor can
// run.
inline std::vector<csv_line_kernel> KernelsUnderTest()
{
    std::vector<csv_line_kernel> kernels = {
        {"library", 0, parse_csv_line, parse_csv_span, parse_csv_record, parse_csv_fields, csv_line_chunk_scan,
         parse_csv_records}};
    for (int k = 0; k < csv_line_kernel_count; k++)
        kernels.push_back(*csv_line_kernels[k]);
    return kernels;
}

// The ways into a kernel: the NUL-terminated line, the span of bytes, the
// record at the start of the bytes, where that record's fields lie, and
// where every record of the bytes lies.
enum class Way { line, span, record, fields, index };

struct Entry {
    csv_line_kernel kernel;
    Way way;
};

inline std::vector<Entry> EntriesUnderTest()
{
    std::vector<Entry> entries;
    for (const csv_line_kernel &kernel : KernelsUnderTest())
        for (const Way way : {Way::line, Way::span, Way::record, Way::fields, Way::index})
            entries.push_back({kernel, way});
    return entries;
}

inline std::string EntryName(const Entry &entry)
{
    static const char *const ways[] = {"_line", "_span", "_record", "_fields", "_index"};
    return entry.kernel.name + std::string(ways[static_cast<int>(entry.way)]);
}

// Splits the `length` bytes at `at`, which a line entry needs followed by a
// NUL and the others do not. A record entry sets *record_length.
inline int Split(const Entry &entry, const char *at, int length, char (*rows)[FIELD_SIZE], int capacity,
                 int *record_length)
{
    switch (entry.way) {
    case Way::line:
        return entry.kernel.split(at, rows, capacity);
    case Way::span:
        return entry.kernel.span(at, length, rows, capacity);
    case Way::record:
        return entry.kernel.record(at, length, rows, capacity, record_length);
    case Way::fields:
    case Way::index:
        break;  // store positions, not rows: see FieldsMismatch and IndexMismatch
    }
    return -1;
}

inline bool operator==(const csv_line_field &a, const csv_line_field &b)
{
    return a.start == b.start && a.length == b.length && a.quotes == b.quotes;
}

inline std::string Describe(const csv_line_field &field)
{
    return "{" + std::to_string(field.start) + ", " + std::to_string(field.length) + ", " +
           std::to_string(field.quotes) + "}";
}

// What the position entry stores and says, by the model.
struct ModelFieldsResult {
    std::vector<csv_line_field> fields;
    int length;  // the record with its line ending, or 0 when it has none
};

// The position rule, written plainly: the record ends at the first LF
// outside quotes; each separator outside quotes before it ends a field,
// and the record's last field ends at that LF, or at a CR just before it.
// With `quoted`, the text starts between quotes.
inline ModelFieldsResult ModelFields(const std::string &text, char separator, int capacity, bool quoted = false)
{
    std::vector<csv_line_field> fields;
    csv_line_field open = {0, 0, 0};
    int length = 0;
    size_t i = 0;
    for (; i < text.size(); i++) {
        if (text[i] == '"') {
            quoted = !quoted;
            open.quotes++;
        } else if (text[i] == separator && !quoted) {
            open.length = static_cast<int>(i) - open.start;
            fields.push_back(open);
            open = {static_cast<int>(i) + 1, 0, 0};
        } else if (text[i] == '\n' && !quoted) {
            length = static_cast<int>(i) + 1;
            break;
        }
    }
    const int end = static_cast<int>(i);
    open.length = end - open.start - (length != 0 && end > open.start && text[i - 1] == '\r' ? 1 : 0);
    fields.push_back(open);
    fields.resize(static_cast<size_t>(std::max(0, std::min(capacity, static_cast<int>(fields.size())))));
    return {fields, length};
}

// A field's content: its raw bytes with every quote dropped.
inline std::string Content(const std::string &text, const csv_line_field &field)
{
    std::string content;
    for (const char c : text.substr(static_cast<size_t>(field.start), static_cast<size_t>(field.length)))
        if (c != '"')
            content += c;
    return content;
}

// Empty when the two models agree on a text of a record without NUL: the
// content of each field the position model finds, cut to a row, is what
// the record model stores.
inline std::string ModelsDisagree(const std::string &text, int capacity)
{
    const ModelFieldsResult positions = ModelFields(text, ',', capacity);
    const ModelRecordResult record = ModelRecord(text, capacity);
    std::vector<std::string> contents;
    for (const csv_line_field &field : positions.fields)
        contents.push_back(Content(text, field).substr(0, FIELD_SIZE - 1));
    if (positions.length != record.length)
        return "the models end the record at " + std::to_string(positions.length) + " and " +
               std::to_string(record.length);
    return contents == record.fields ? "" : "the models find other fields";
}

// A table of positions between two guard entries, every byte of it filled
// with a pattern, so that a check after a split sees any stray write.
class GuardedFields {
public:
    explicit GuardedFields(int capacity)
        : entries_(static_cast<size_t>(std::max(capacity, 0)) + 2, csv_line_field{kFill, kFill, kFill})
    {
    }

    csv_line_field *Entries() { return entries_.data() + 1; }

    // Empty when a call that returned `count` stored exactly `want` and
    // changed no other entry; otherwise the first rule it broke.
    std::string Mismatch(int count, const std::vector<csv_line_field> &want) const
    {
        if (count != static_cast<int>(want.size()))
            return "count is " + std::to_string(count) + ", want " + std::to_string(want.size());
        for (size_t k = 0; k < entries_.size(); k++) {
            const bool stored = k >= 1 && k <= want.size();
            const csv_line_field expected = stored ? want[k - 1] : csv_line_field{kFill, kFill, kFill};
            if (!(entries_[k] == expected))
                return (stored ? "field " + std::to_string(k - 1) : "entry " + std::to_string(k) + " of the guarded table") +
                       " is " + Describe(entries_[k]) + ", want " + Describe(expected);
        }
        return "";
    }

    // Empty when the guard entries either side of the table are untouched:
    // for a call that may leave anything in the table's entries.
    std::string GuardsMismatch() const
    {
        const csv_line_field fill = {kFill, kFill, kFill};
        if (!(entries_.front() == fill))
            return "the guard entry before the table is " + Describe(entries_.front());
        if (!(entries_.back() == fill))
            return "the guard entry after the table is " + Describe(entries_.back());
        return "";
    }

private:
    static constexpr int kFill = -0x5A5A5A5B;
    std::vector<csv_line_field> entries_;
};

// A table of ints between two guard entries, for an index's records.
class GuardedRecords {
public:
    explicit GuardedRecords(int capacity) : entries_(static_cast<size_t>(std::max(capacity, 0)) + 2, kFill) {}

    int *Entries() { return entries_.data() + 1; }

    // Empty when nothing outside the table was written and, unless the
    // table may change, nothing in it.
    std::string Mismatch(bool table_may_change) const
    {
        for (size_t k = 0; k < entries_.size(); k++)
            if (entries_[k] != kFill && (!table_may_change || k == 0 || k + 1 == entries_.size()))
                return "entry " + std::to_string(k) + " of the guarded record table is " + std::to_string(entries_[k]);
        return "";
    }

private:
    static constexpr int kFill = -0x3C3C3C3D;
    std::vector<int> entries_;
};

// Finds the fields of a heap copy of text, starting `offset` bytes past a
// 64-byte boundary, held in exactly its bytes (so the address sanitizer
// reports any read past them), into a guarded table of `capacity` entries.
// Empty when the entry stored what the model gives, changed no other entry
// and said the record's length as the model does; or, for a separator it
// must refuse, returned -1 and wrote nothing.
inline std::string FieldsMismatch(const csv_line_kernel &kernel, const std::string &text, int offset, char separator,
                                  int capacity, const ModelFieldsResult &want)
{
    const PlacedCopy placed(text.data(), text.size(), offset);
    if (!placed.ok())
        return "out of memory";
    char *copy = placed.at();
    GuardedFields table(capacity);
    int length = -1;
    const int count = kernel.fields(copy, static_cast<int>(text.size()), separator, table.Entries(), capacity, &length);
    if (csv_line_separator_refused(separator)) {
        if (count != -1 || length != -1)
            return "a refused separator returned " + std::to_string(count) + " and set the length";
        return table.Mismatch(0, {});
    }
    if (length != want.length)
        return "record length is " + std::to_string(length) + ", want " + std::to_string(want.length);
    return table.Mismatch(count, want.fields);
}

inline std::string FieldsMismatch(const csv_line_kernel &kernel, const std::string &text, int offset, char separator,
                                  int capacity)
{
    return FieldsMismatch(kernel, text, offset, separator, capacity, ModelFields(text, separator, capacity));
}

// The text with the comma and `separator` swapped, so that the same fields
// are found with that separator.
inline std::string WithSeparator(std::string text, char separator)
{
    for (char &c : text)
        c = c == ',' ? separator : c == separator ? ',' : c;
    return text;
}

// A chunk's summary, written plainly: each starting state walked apart.
inline csv_line_chunk ModelChunk(const std::string &chunk)
{
    csv_line_chunk want = {0, 0, {-1, -1}};
    for (const char c : chunk) {
        want.quotes += c == '"';
        want.line_feeds += c == '\n';
    }
    for (int state = 0; state < 2; state++) {
        bool quoted = state == 1;
        for (size_t i = 0; i < chunk.size() && want.first_record[state] < 0; i++) {
            if (chunk[i] == '"')
                quoted = !quoted;
            else if (chunk[i] == '\n' && !quoted)
                want.first_record[state] = static_cast<long long>(i) + 1;
        }
    }
    return want;
}

inline std::string Describe(const csv_line_chunk &chunk)
{
    return "{" + std::to_string(chunk.quotes) + " quotes, " + std::to_string(chunk.line_feeds) + " LFs, first " +
           std::to_string(chunk.first_record[0]) + " / " + std::to_string(chunk.first_record[1]) + "}";
}

// Summarises a heap copy of text, starting `offset` bytes past a 64-byte
// boundary and held in exactly its bytes. Empty when the summary is the
// model's.
inline std::string ChunkMismatch(const csv_line_kernel &kernel, const std::string &text, int offset,
                                 const csv_line_chunk &want)
{
    const PlacedCopy placed(text.data(), text.size(), offset);
    if (!placed.ok())
        return "out of memory";
    csv_line_chunk got = {-7, -7, {-7, -7}};
    kernel.chunk(placed.at(), static_cast<long long>(text.size()), &got);
    if (got.quotes != want.quotes || got.line_feeds != want.line_feeds ||
        got.first_record[0] != want.first_record[0] || got.first_record[1] != want.first_record[1])
        return "summary is " + Describe(got) + ", want " + Describe(want);
    return "";
}

// Cuts text into chunks of `size` bytes, summarises each where it lies in
// one copy, and resolves them in order as a reader on many threads would.
// Empty when the first record of each chunk is where a walk from the
// text's start, record by record, finds it.
inline std::string ResolvedChunksMismatch(const csv_line_kernel &kernel, const std::string &text, size_t size)
{
    const PlacedCopy placed(text.data(), text.size(), 0);
    if (!placed.ok())
        return "out of memory";
    std::vector<long long> starts;  // every record's start after the text's first byte
    for (size_t at = 0;;) {
        const int length = ModelRecord(text.substr(at), 0).length;
        if (length == 0)
            break;
        at += static_cast<size_t>(length);
        starts.push_back(static_cast<long long>(at));
    }
    int state = 0;
    long long lines = 0;
    for (size_t from = 0; from < text.size(); from += size) {
        const long long length = static_cast<long long>(std::min(size, text.size() - from));
        csv_line_chunk summary;
        kernel.chunk(placed.at() + from, length, &summary);
        const auto next = std::upper_bound(starts.begin(), starts.end(), static_cast<long long>(from));
        const long long want = next != starts.end() && *next <= static_cast<long long>(from) + length
                                   ? *next - static_cast<long long>(from)
                                   : -1;
        if (summary.first_record[state] != want)
            return "the chunk at " + std::to_string(from) + " gives its first record at " +
                   std::to_string(summary.first_record[state]) + ", want " + std::to_string(want);
        state ^= static_cast<int>(summary.quotes & 1);
        lines += summary.line_feeds;
    }
    if (lines != std::count(text.begin(), text.end(), '\n'))
        return "the chunks count " + std::to_string(lines) + " LFs";
    return "";
}

// How an index is asked for: its separator, its tables' capacities and
// whether the text starts between quotes.
struct IndexShape {
    char separator;
    int field_capacity;
    int record_capacity;
    int quoted;
};

// What an index said, for a walk that calls again from next.
struct IndexFound {
    std::vector<int> starts;  // each record's start
    int next = 0;
    int full = 0;
};

inline std::string Describe(const csv_line_index &index)
{
    return "{" + std::to_string(index.record_count) + " records, " + std::to_string(index.field_count) +
           " fields, next " + std::to_string(index.next) + ", full " + std::to_string(index.full) + ", " +
           std::to_string(index.quotes) + " quotes, " + std::to_string(index.line_feeds) + " LFs}";
}

// Indexes a heap copy of text, starting `offset` bytes past a 64-byte
// boundary and held in exactly its bytes, into guarded tables. Empty when
// - each record has the fields that the kernel's position entry finds from
//   its start (a first record that starts between quotes, those of the
//   position model), counted from the text's start, and the records follow
//   one another from the text's start, each where the one before ends;
// - next is where the last ends, and full is set exactly when the record
//   there meets a field end (a separator, or its LF) with no room left in
//   the field table, or its LF with the record table full; else that record
//   does not end in the text;
// - the quotes and LFs are the kernel's chunk summary of the bytes up to
//   next when full, else of them all;
// - nothing outside the tables was written;
// - all of it is what the portable kernel says.
// For a separator the entry must refuse: -1, with nothing written at all.
inline std::string IndexMismatch(const csv_line_kernel &kernel, const std::string &text, int offset,
                                 const IndexShape &shape, IndexFound *found = nullptr)
{
    const PlacedCopy placed(text.data(), text.size(), offset);
    if (!placed.ok())
        return "out of memory";
    const char *copy = placed.at();
    const int length = static_cast<int>(text.size());
    GuardedFields fields(shape.field_capacity);
    GuardedRecords records(shape.record_capacity);
    const csv_line_index unset = {fields.Entries(), shape.field_capacity, records.Entries(), shape.record_capacity,
                             shape.quoted, -7, -7, -7, -7, -7, -7};
    csv_line_index index = unset;
    const int count = kernel.records(copy, length, shape.separator, &index);
    if (csv_line_separator_refused(shape.separator)) {
        if (count != -1 || Describe(index) != Describe(unset))
            return "a refused separator returned " + std::to_string(count) + " and said " + Describe(index);
        return fields.Mismatch(0, {}) + records.Mismatch(false);
    }
    const std::string guards = fields.GuardsMismatch() + records.Mismatch(true);
    if (!guards.empty())
        return guards;
    if (count != index.record_count || count < 0 || count > std::max(shape.record_capacity, 0) ||
        index.field_count < 0 || index.field_count > std::max(shape.field_capacity, 0))
        return "returned " + std::to_string(count) + " and said " + Describe(index);

    const csv_line_field *got = fields.Entries();
    const int *firsts = records.Entries();
    int at = 0;  // where the record starts
    for (int r = 0; r < count; r++) {
        const std::string which = "record " + std::to_string(r) + " at " + std::to_string(at);
        const int first = firsts[r], last = r + 1 < count ? firsts[r + 1] : index.field_count;
        if ((r == 0 && first != 0) || first >= last || last > index.field_count)
            return which + " has fields " + std::to_string(first) + " to " + std::to_string(last);
        std::vector<csv_line_field> want;
        int want_length = -1;
        if (r == 0 && shape.quoted) {
            const ModelFieldsResult model = ModelFields(text, shape.separator, INT_MAX, true);
            want = model.fields;
            want_length = model.length;
        } else {
            // Room for one more than the index holds, so that one it left
            // out shows.
            std::vector<csv_line_field> entries(static_cast<size_t>(last - first + 1));
            const int n = kernel.fields(copy + at, length - at, shape.separator, entries.data(), last - first + 1,
                                        &want_length);
            for (int k = 0; k < n; k++)
                want.push_back({entries[static_cast<size_t>(k)].start + at, entries[static_cast<size_t>(k)].length,
                                entries[static_cast<size_t>(k)].quotes});
        }
        if (want_length <= 0)
            return which + " does not end in the text";
        if (static_cast<int>(want.size()) != last - first)
            return which + " has " + std::to_string(last - first) + " fields, want " + std::to_string(want.size());
        for (size_t k = 0; k < want.size(); k++)
            if (!(got[static_cast<size_t>(first) + k] == want[k]))
                return which + ", field " + std::to_string(k) + " is " + Describe(got[static_cast<size_t>(first) + k]) +
                       ", want " + Describe(want[k]);
        at += want_length;
    }
    if (index.next != at)
        return "next is " + std::to_string(index.next) + ", want " + std::to_string(at);

    // The record at next: left for want of room, or not ending in the text.
    const ModelFieldsResult rest =
        ModelFields(text.substr(static_cast<size_t>(at)), shape.separator, INT_MAX, shape.quoted != 0 && count == 0);
    const int field_ends = static_cast<int>(rest.fields.size()) - (rest.length == 0 ? 1 : 0);
    const bool no_room = field_ends > std::max(shape.field_capacity - index.field_count, 0) ||
                         (rest.length != 0 && count >= shape.record_capacity);
    if (index.full != (no_room ? 1 : 0))
        return "full is " + std::to_string(index.full) + " for a record of " + std::to_string(field_ends) +
               " field ends, " + (rest.length != 0 ? "ending" : "not ending") + " in the text, after " +
               Describe(index);
    if (!no_room && rest.length != 0)
        return "the record at next ends in the text and fits, yet was left out: " + Describe(index);

    csv_line_chunk summary = {0, 0, {-1, -1}};
    kernel.chunk(copy, index.full ? index.next : length, &summary);
    if (summary.quotes != index.quotes || summary.line_feeds != index.line_feeds)
        return "the counts are " + Describe(index) + ", the chunk summary's " + Describe(summary);

    GuardedFields reference_fields(shape.field_capacity);
    GuardedRecords reference_records(shape.record_capacity);
    csv_line_index reference = {reference_fields.Entries(), shape.field_capacity, reference_records.Entries(),
                           shape.record_capacity, shape.quoted, 0, 0, 0, 0, 0, 0};
    csv_line_portable_kernel.records(copy, length, shape.separator, &reference);
    if (Describe(reference) != Describe(index))
        return "said " + Describe(index) + ", the portable kernel " + Describe(reference);
    for (int k = 0; k < index.field_count; k++)
        if (!(reference.fields[k] == index.fields[k]))
            return "field " + std::to_string(k) + " is " + Describe(index.fields[k]) + ", the portable kernel's " +
                   Describe(reference.fields[k]);
    for (int r = 0; r < count; r++)
        if (reference.records[r] != index.records[r])
            return "record " + std::to_string(r) + " starts at field " + std::to_string(index.records[r]) +
                   ", the portable kernel's at " + std::to_string(reference.records[r]);

    if (found != nullptr) {
        found->starts.clear();
        for (int r = 0; r < count; r++)
            found->starts.push_back(got[firsts[r]].start);
        found->next = index.next;
        found->full = index.full;
    }
    return "";
}

// An index's shape at one offset of a sweep over every offset: the row's
// capacity for fields; room for 64 records at most offsets and, at some,
// for one or two, so that the record table fills; and at the last eight,
// the text starting between quotes.
inline IndexShape SweepShape(int offset, char separator, int capacity)
{
    static const int record_capacities[] = {64, 64, 1, 2};
    return {separator, capacity, record_capacities[offset / 3 % 4], offset >= 56 ? 1 : 0};
}

// Splits a heap copy of text, starting `offset` bytes past a 64-byte
// boundary, into a guarded table of `capacity` rows. The copy holds the
// text and not one byte more (so the address sanitizer reports any read
// past it): its NUL for a line entry, nothing for the others. Empty when the
// split stored exactly `want`, changed no other byte and, through a record
// entry, said the record takes `want_length` bytes; otherwise the first rule
// it broke.
inline std::string SplitMismatch(const Entry &entry, const std::string &text, int offset, int capacity,
                                 const std::vector<std::string> &want, int want_length = 0)
{
    const PlacedCopy placed(text.c_str(), text.size() + (entry.way == Way::line ? 1 : 0), offset);
    if (!placed.ok())
        return "out of memory";
    char *copy = placed.at();
    GuardedTable table(capacity);
    int length = -1;
    const int count = Split(entry, copy, static_cast<int>(text.size()), table.Rows(), capacity, &length);
    if (entry.way == Way::record && length != want_length)
        return "record length is " + std::to_string(length) + ", want " + std::to_string(want_length);
    return table.Mismatch(count, want);
}

// What the model says an entry should store and say for one text, worked
// out once and checked at every offset. The position entry finds the
// fields of the text with the comma as its separator or, swapped with it,
// `separator`.
struct ModelWant {
    std::string text;  // as the entry is given it
    std::vector<std::string> rows;
    int length = 0;
    ModelFieldsResult fields;
    csv_line_chunk chunk = {0, 0, {-1, -1}};
};

inline ModelWant Want(const Entry &entry, const std::string &text, int capacity, char separator = ',')
{
    ModelWant want;
    want.text = text;
    if (entry.way == Way::index) {
        want.text = WithSeparator(text, separator);  // checked by IndexMismatch
    } else if (entry.way == Way::fields) {
        want.text = WithSeparator(text, separator);
        want.fields = ModelFields(want.text, separator, capacity);
    } else if (entry.way == Way::record) {
        const ModelRecordResult record = ModelRecord(text, capacity);
        want.rows = record.fields;
        want.length = record.length;
        want.chunk = ModelChunk(text);
    } else {
        want.rows = ModelSplit(std::string(text.c_str(), strnlen(text.c_str(), text.size())), capacity);
    }
    return want;
}

// Runs the entry on a copy of the text at `offset` against what the model
// said. A record entry's text is also summarised as a chunk; the index is
// asked for in the sweep's shape at that offset.
inline std::string ModelMismatch(const Entry &entry, const ModelWant &want, int offset, int capacity,
                                 char separator = ',')
{
    if (entry.way == Way::index)
        return IndexMismatch(entry.kernel, want.text, offset, SweepShape(offset, separator, capacity));
    if (entry.way == Way::fields)
        return FieldsMismatch(entry.kernel, want.text, offset, separator, capacity, want.fields);
    if (entry.way == Way::record) {
        const std::string summary = ChunkMismatch(entry.kernel, want.text, offset, want.chunk);
        if (!summary.empty())
            return summary;
    }
    return SplitMismatch(entry, want.text, offset, capacity, want.rows, want.length);
}

inline std::string ModelMismatch(const Entry &entry, const std::string &text, int offset, int capacity,
                                 char separator = ',')
{
    return ModelMismatch(entry, Want(entry, text, capacity, separator), offset, capacity, separator);
}

#endif
