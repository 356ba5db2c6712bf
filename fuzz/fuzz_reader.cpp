// Reads arbitrary text with the reader and checks what it hands over
// against the position entry walked record by record, and against itself:
// strict against lenient, a stream against memory, and several threads,
// with parts of a size the input chooses, against one. Aborts on the first
// broken rule.
//
// Input: the first byte chooses the separator (comma or semicolon),
// whether the first record is a header, the record limit (none, or a few
// bytes) and the threads' part size; the rest is the text.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "csv_line.h"
#include "rules.h"
#include "reader_checks.h"

const char *const fuzzed = "the reader";

namespace {

bool operator==(const Reading &a, const Reading &b)
{
    return a.names == b.names && a.records == b.records && a.error == b.error && a.error_line == b.error_line &&
           a.error_field == b.error_field && a.message == b.message;
}

// Each record a lenient reader hands over is the position entry's record
// at its offset, its values RFC 4180's, its line the LFs before it; one
// cut at the limit is no longer than it.
void ExpectPositions(const std::string &text, const csv_line_reader_options &options, const Reading &reading)
{
    long long line = 1;
    size_t at = text.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;
    const int limit = options.record_limit > 0 ? options.record_limit : CSV_LINE_DEFAULT_RECORD_LIMIT;
    std::vector<csv_line_field> fields(text.size() + 1);
    char value[64];
    for (const Record &record : reading.records) {
        Check(record.offset == static_cast<long long>(at), "records follow one another", text);
        Check(record.line == line, "a record's line counts the LFs before it", text);
        int length = 0;
        const int rest = static_cast<int>(text.size() - at);
        const int n = parse_csv_fields(text.data() + at, rest, options.separator, fields.data(),
                                       static_cast<int>(fields.size()), &length);
        const bool cut = (record.flags & (CSV_LINE_RECORD_TOO_LONG | CSV_LINE_RECORD_LINE_TOO_LONG)) != 0;
        Check(cut == ((length > 0 ? length : rest) > limit), "a record is cut exactly when over the limit", text);
        if (!cut) {
            const int most = options.field_limit > 0 ? options.field_limit : CSV_LINE_DEFAULT_FIELD_LIMIT;
            Check(((record.flags & CSV_LINE_RECORD_TOO_MANY_FIELDS) != 0) == (n > most),
                  "a record is cut to the field limit exactly when it has more fields", text);
            Check(static_cast<int>(record.raw.size()) == std::min(n, most), "a record's fields are the position entry's",
                  text);
            for (size_t k = 0; k < record.raw.size(); k++) {
                const csv_line_field &field = fields[k];
                const std::string raw =
                    text.substr(at + static_cast<size_t>(field.start), static_cast<size_t>(field.length));
                Check(record.raw[k] == raw, "a field's raw bytes are where it lies", text);
                const int size = csv_line_field_value(raw.data() - field.start, &field, value, sizeof value);
                Check((size < 0) == record.malformed[k], "malformed as RFC 4180 says", text);
                if (size >= 0 && size < static_cast<int>(sizeof value))
                    Check(record.values[k] == std::string(value, static_cast<size_t>(size)), "a value is RFC 4180's",
                          text);
            }
            Check(((record.flags & CSV_LINE_RECORD_UNCLOSED) != 0) ==
                      (length == 0 && std::count(text.begin() + static_cast<long>(at), text.end(), '"') % 2 == 1),
                  "a quote open at the end is flagged", text);
            const size_t end = length > 0 ? at + static_cast<size_t>(length) : text.size();
            line += std::count(text.begin() + static_cast<long>(at), text.begin() + static_cast<long>(end), '\n');
            at = end;
        } else {
            // Read on after the first LF: the record's, or the line's.
            const size_t lf = text.find('\n', at);
            at = lf == std::string::npos ? text.size() : lf + 1;
            if (record.flags & CSV_LINE_RECORD_LINE_TOO_LONG) {
                const size_t rest_lf = text.find('\n', static_cast<size_t>(record.offset) + static_cast<size_t>(limit));
                at = rest_lf == std::string::npos ? text.size() : rest_lf + 1;
            }
            line++;
        }
    }
    Check(at >= text.size() || !reading.names.empty(), "every record is handed over", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const unsigned choice = data[0];
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    // Packed input is read decompressed: fuzz_input's to check.
    if (text.rfind("\x1f\x8b", 0) == 0 || text.rfind("\x28\xb5\x2f\xfd", 0) == 0)
        return 0;
    csv_line_reader_options options = {choice & 1 ? ';' : ',', static_cast<int>((choice >> 1) & 1),
                                  (choice >> 2) & 1 ? static_cast<int>(4 + (choice >> 3) % 29) : 0, 1, 1,
                                  (choice >> 5) & 1 ? static_cast<int>(1 + (choice >> 6)) : 0, 0,
                                  CSV_LINE_ENCODING_UTF8, CSV_LINE_UTF8_RAW, 0};

    const Reading lenient = Drain(csv_line_reader_open_memory(text.data(), text.size(), &options));
    Check(lenient.error == CSV_LINE_OK, "a lenient reader of memory reads to the end", text);
    if (!options.header)
        ExpectPositions(text, options, lenient);

    // Strict: the records before the first problem, then its error. (A
    // header's problems are the header's own.)
    options.lenient = 0;
    const Reading strict = Drain(csv_line_reader_open_memory(text.data(), text.size(), &options));
    size_t clean = 0;
    while (clean < lenient.records.size() && lenient.records[clean].flags == 0)
        clean++;
    if (!options.header) {
        Check(strict.records.size() == clean, "a strict reader stops at the first problem", text);
        for (size_t r = 0; r < clean; r++)
            Check(strict.records[r] == lenient.records[r], "a strict reader's records are the lenient one's", text);
        if (clean < lenient.records.size())
            Check(strict.error_line == lenient.records[clean].line, "the error names the problem's line", text);
    }

    // Values decoded when asked for are those decoded at once.
    options.decode_on_demand = 1;
    Check(Drain(csv_line_reader_open_memory(text.data(), text.size(), &options)) == strict,
          "values decoded when asked are those decoded at once", text);
    options.decode_on_demand = (choice >> 4) & 1;

    // From a stream, and on threads with parts of 1 to 64 bytes.
    for (int lenient_too : {0, 1}) {
        options.lenient = lenient_too;
        const Reading &want = lenient_too ? lenient : strict;
        FILE *stream = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
        if (stream != nullptr) {
            Check(Drain(csv_line_reader_open_file(stream, &options)) == want, "a stream reads as memory", text);
            std::fclose(stream);
        }
        char part[8];
        std::snprintf(part, sizeof part, "%u", 1 + (choice * 7 + static_cast<unsigned>(text.size())) % 64);
        setenv("CSV_LINE_PART_SIZE", part, 1);
#ifdef CSV_LINE_TEST_ONE_THREAD
        const int thread_counts[] = {1};
#else
        const int thread_counts[] = {2, 3};
#endif
        for (int threads : thread_counts) {
            options.threads = threads;
            Check(Drain(csv_line_reader_open_memory(text.data(), text.size(), &options)) == want,
                  "threads read as one thread", text);
        }
        options.threads = 1;
        unsetenv("CSV_LINE_PART_SIZE");
    }
    return 0;
}
