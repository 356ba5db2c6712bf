// Reads arbitrary text as the reader meets it, compressed, in another
// encoding or with bytes that are not UTF-8, and checks each way against
// the reading of the bytes as they are:
//   - compressed with gzip (one member or two) or zstd, it reads the same,
//     on one thread or several;
//   - cut short, it hands over the records before the cut, then says so;
//   - the text itself taken for a compressed stream reads the same on one
//     thread as on several;
//   - UTF-8 text in UTF-16 reads as the text after UTF-8's mark;
//   - checked strictly, the records before the first bad byte, each the
//     raw reading's; replaced, and read as Latin-1, the same records and
//     fields, each field's bytes UTF-8 (Latin-1's each byte's character).
// Aborts on the first broken rule.
//
// Input: the first byte chooses the separator, leniency, the thread count
// and the threads' part size, and where a compressed text is cut; the
// rest is the text.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "csv_line.h"
#include "input/transcode.h"
#include "packings.h"
#include "reader_checks.h"
#include "rules.h"

const char *const fuzzed = "the reader of packed and encoded input";

namespace {

// Equal but for the input's name in a message.
bool SameReading(const Reading &a, const Reading &b)
{
    return a.names == b.names && a.records == b.records && a.error == b.error && a.error_line == b.error_line &&
           a.error_field == b.error_field;
}

Reading ReadMemory(const std::string &bytes, csv_line_reader_options options)
{
    return Drain(csv_line_reader_open_memory(bytes.data(), bytes.size(), &options));
}

bool IsUtf8(const std::string &text)
{
    return csv_line::input::utf8_valid_prefix(text.data(), text.size()) == text.size();
}

// The records of `part` are the first of `whole`'s.
bool Prefix(const Reading &part, const Reading &whole)
{
    if (part.records.size() > whole.records.size())
        return false;
    for (size_t r = 0; r < part.records.size(); r++)
        if (!(part.records[r] == whole.records[r]))
            return false;
    return true;
}

// Each record has the same fields as the raw reading's, each one's bytes
// `turned` of the raw one's. (Not values: a quote dropped from a value
// may join bytes that were apart, as the text never had them.)
template <class Turn>
void ExpectTurned(const Reading &got, const Reading &raw, Turn turned, const char *rule, const std::string &text)
{
    Check(got.records.size() == raw.records.size() && got.error == raw.error, rule, text);
    for (size_t r = 0; r < raw.records.size(); r++) {
        Check(got.records[r].raw.size() == raw.records[r].raw.size(), rule, text);
        for (size_t k = 0; k < raw.records[r].raw.size(); k++)
            Check(got.records[r].raw[k] == turned(raw.records[r].raw[k]), rule, text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const unsigned choice = data[0];
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    csv_line_reader_options options = {choice & 1 ? ';' : ',', 0, 0, 1, static_cast<int>((choice >> 1) & 1), 0, 0,
                                       CSV_LINE_ENCODING_UTF8, CSV_LINE_UTF8_RAW, 0};
#ifdef CSV_LINE_TEST_ONE_THREAD
    const int threads = 1;
#else
    const int threads = 1 + static_cast<int>((choice >> 2) & 3);
#endif
    char part[8];
    std::snprintf(part, sizeof part, "%u", 1 + (choice * 7 + static_cast<unsigned>(text.size())) % 64);
    setenv("CSV_LINE_PART_SIZE", part, 1);

    // The text taken for a compressed stream: one thread or several, the same.
    for (const char *magic : {"\x1f\x8b", "\x28\xb5\x2f\xfd"}) {
        const std::string packed = magic + text;
        options.threads = 1;
        const Reading one = ReadMemory(packed, options);
        options.threads = threads;
        Check(SameReading(ReadMemory(packed, options), one), "a stream taken for compressed reads alike on threads",
              text);
    }
    options.threads = 1;
    if (text.rfind("\x1f\x8b", 0) == 0 || text.rfind("\x28\xb5\x2f\xfd", 0) == 0) {
        unsetenv("CSV_LINE_PART_SIZE");
        return 0;  // read as compressed itself
    }
    const Reading raw = ReadMemory(text, options);

    options.threads = threads;
    for (Packing packing : Packings()) {
        if (packing == Packing::plain || packing == Packing::utf16le || packing == Packing::utf16be)
            continue;
        const std::string packed = Pack(text, packing);
        Check(SameReading(ReadMemory(packed, options), raw), "a compressed text reads as the text", text);
        // Cut before its end, past its magic bytes: the records before the
        // cut, then an error; cut where the first member or frame ends, the
        // text it holds.
        const size_t cut = 4 + (choice * 131 + text.size()) % (packed.size() - 4);
        const Reading cut_off = ReadMemory(packed.substr(0, cut), options);
        const std::string head = text.substr(0, text.size() / 3);
        const Packing one = packing == Packing::gzip_members ? Packing::gzip
                            : packing == Packing::zstd_frames ? Packing::zstd
                                                              : packing;
        if (one != packing && cut == Pack(head, one).size()) {
            Check(SameReading(cut_off, ReadMemory(head, options)), "a stream cut where a member ends reads as its text",
                  text);
            continue;
        }
        // (A strict reader's error before the cut is said first.)
        Check(cut_off.error == CSV_LINE_ERROR_COMPRESSED ||
                  (cut_off.error == raw.error && cut_off.error_line == raw.error_line),
              "a compressed text cut short is an error", text);
        Check(Prefix(cut_off, raw), "a compressed text cut short hands over the records before the cut", text);
    }

    if (IsUtf8(text)) {
        options.encoding = CSV_LINE_ENCODING_AUTO;
        const Reading marked = ReadMemory("\xef\xbb\xbf" + text, options);
        for (bool big_endian : {false, true})
            Check(SameReading(ReadMemory(Utf16(text, big_endian), options), marked),
                  "UTF-16 reads as the UTF-8 text after its mark", text);
        options.encoding = CSV_LINE_ENCODING_UTF8;
    }

    // Strictly: the raw reading's records up to the first bad byte.
    options.invalid_utf8 = CSV_LINE_UTF8_STRICT;
    const Reading strict = ReadMemory(text, options);
    if (options.lenient) {
        Check(strict.records.size() == raw.records.size(), "a lenient reader flags text that is not UTF-8", text);
        for (size_t r = 0; r < raw.records.size(); r++) {
            bool utf8 = true;
            for (const std::string &field : raw.records[r].raw)
                utf8 = utf8 && IsUtf8(field);
            Check(((strict.records[r].flags & CSV_LINE_RECORD_NOT_UTF8) == 0) == utf8,
                  "the records flagged are those whose fields are not UTF-8", text);
        }
    } else {
        Check(Prefix(strict, raw), "a strict reader hands over the raw reader's records", text);
        Check(strict.error != CSV_LINE_OK || SameReading(strict, raw), "UTF-8 reads as the raw bytes", text);
    }

    // Replaced, and read as Latin-1: the records and fields of the raw
    // reading, each value UTF-8.
    options.invalid_utf8 = CSV_LINE_UTF8_REPLACE;
    const Reading replaced = ReadMemory(text, options);
    ExpectTurned(
        replaced, raw,
        [](const std::string &value) {
            std::string out(csv_line::input::utf8_replace_bound(value.size()), '\0');
            size_t used;
            out.resize(csv_line::input::utf8_replace(reinterpret_cast<const unsigned char *>(value.data()),
                                                     value.size(), true, &out[0], &used));
            return out;
        },
        "bad bytes replaced leave the records and fields as they are", text);
    options.invalid_utf8 = CSV_LINE_UTF8_STRICT;
    options.encoding = CSV_LINE_ENCODING_LATIN1;
    if (text.rfind("\xef\xbb\xbf", 0) == 0) {  // in Latin-1, three characters and no mark
        unsetenv("CSV_LINE_PART_SIZE");
        return 0;
    }
    ExpectTurned(
        ReadMemory(text, options), raw,
        [](const std::string &value) {
            std::string out;
            for (char c : value) {
                const unsigned char byte = static_cast<unsigned char>(c);
                out += byte < 0x80 ? std::string(1, static_cast<char>(byte))
                                   : std::string{static_cast<char>(0xC0 | byte >> 6), static_cast<char>(0x80 | (byte & 0x3F))};
            }
            return out;
        },
        "Latin-1 reads each byte as its character", text);
    unsetenv("CSV_LINE_PART_SIZE");
    return 0;
}
