// Sniffs arbitrary bytes and checks what any guess must be: the same guess
// twice, a separator that can separate, a confidence from 0 to 1, values of
// their enums, and a valid guess again for the bytes cut after their last
// LF. The input is a copy of its own size, so that a read past its end is
// caught by the address sanitizer.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "csv_line.h"
#include "rules.h"

const char *const fuzzed = "the sniffer";

namespace {

csv_line_dialect Valid(const std::string &text, const std::string &whole)
{
    const std::vector<char> copy(text.begin(), text.end());
    csv_line_dialect d, again;
    const int result = csv_line_sniff(copy.data(), copy.size(), &d);
    const int repeated = csv_line_sniff(copy.data(), copy.size(), &again);
    Check(result == CSV_LINE_SNIFF_FOUND || result == CSV_LINE_SNIFF_CANNOT_TELL, "a result of its enum", whole);
    Check(result == repeated && d.separator == again.separator && d.quoted == again.quoted &&
              d.header == again.header && d.line_ending == again.line_ending && d.encoding == again.encoding &&
              d.records == again.records && d.confidence == again.confidence,
          "the same guess twice", whole);
    Check(d.separator != '"' && d.separator != '\n' && d.separator != '\r' && d.separator != '\0',
          "a separator that can separate", whole);
    Check(d.confidence >= 0 && d.confidence <= 1, "a confidence from 0 to 1", whole);
    Check(d.quoted == 0 || d.quoted == 1, "quoted 0 or 1", whole);
    Check(d.header == 0 || d.header == 1, "header 0 or 1", whole);
    Check(d.line_ending >= CSV_LINE_ENDING_NONE && d.line_ending <= CSV_LINE_ENDING_CR, "a line ending", whole);
    Check(d.encoding >= CSV_LINE_ENCODING_UTF8 && d.encoding <= CSV_LINE_ENCODING_CP1252, "an encoding", whole);
    Check(d.compressed == 0, "nothing compressed in memory", whole);
    Check(d.records >= 0 && static_cast<size_t>(d.records) <= text.size(), "records within the bytes", whole);
    Check(result == CSV_LINE_SNIFF_CANNOT_TELL || d.records > 0, "a guess found on some record", whole);
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    Valid(text, text);
    const size_t last = text.rfind('\n');
    if (last != std::string::npos && last + 1 < text.size())
        Valid(text.substr(0, last + 1), text);
    return 0;
}
