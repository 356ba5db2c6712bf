// Runs arbitrary bytes through the input's converters to UTF-8 and checks
// what must hold of any input: no converter writes past its bound; fed in
// blocks, carrying what each leaves, a streaming converter writes what one
// call on the whole writes; UTF-8 mended, UTF-16 with replacement and both
// code pages always come out valid UTF-8; valid UTF-8 comes out unchanged;
// Latin-1 comes out as the code points of its bytes; utf8_valid_prefix
// ends where a valid prefix ends. Aborts on the first broken rule.
//
// Input: the first byte chooses the byte order and replacement for UTF-16
// and the sizes of the blocks; the rest is the text.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "input/transcode.h"
#include "rules.h"

const char *const fuzzed = "the converters";

namespace {

namespace ti = csv_line::input;

constexpr size_t kGuard = 16;

struct Output {
    std::string text;
    size_t used;
};

// Calls convert(out, &used) on a buffer of bound bytes and guard bytes
// after them, and checks that it wrote within the bound.
template <typename Convert>
Output Within(size_t bound, const std::string &input, Convert convert)
{
    std::vector<char> buffer(bound + kGuard, '\x5A');
    size_t used = 0;
    const size_t length = convert(buffer.data(), &used);
    Check(length <= bound, "returns no more than its bound", input);
    for (size_t k = bound; k < buffer.size(); k++)
        Check(buffer[k] == '\x5A', "writes nothing past its bound", input);
    return {std::string(buffer.data(), length), used};
}

bool Valid(const std::string &s)
{
    return ti::utf8_valid_prefix(s.data(), s.size()) == s.size();
}

// The code points of valid UTF-8.
std::vector<uint32_t> CodePoints(const std::string &s)
{
    std::vector<uint32_t> points;
    for (size_t i = 0; i < s.size();) {
        const unsigned lead = static_cast<unsigned char>(s[i]);
        const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        uint32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
        for (size_t k = 1; k < length; k++)
            c = c << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        points.push_back(c);
        i += length;
    }
    return points;
}

// The output of convert(block, last, out, &used) fed the input in blocks
// of the sizes `seed` picks, each block the rest of the one before and the
// next piece.
template <typename Convert>
std::string Fed(const std::string &input, unsigned seed, size_t (*bound)(size_t), Convert convert)
{
    std::string out, pending;
    size_t from = 0, k = 0;
    for (;;) {
        k++;
        const size_t piece = std::min<size_t>(input.size() - from, 1 + (seed * k + k * k) % 23);
        const std::string block = pending + input.substr(from, piece);
        from += piece;
        const bool last = from == input.size();
        const Output o = Within(bound(block.size()), input, [&](char *to, size_t *used) {
            return convert(reinterpret_cast<const unsigned char *>(block.data()), block.size(), last, to, used);
        });
        Check(o.used <= block.size() && block.size() - o.used <= 3, "leaves at most a character's start", input);
        Check(!last || o.used == block.size(), "consumes everything at the last block", input);
        out += o.text;
        pending = block.substr(o.used);
        if (last)
            return out;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const bool big_endian = data[0] & 1, replace = data[0] & 2;
    const unsigned seed = data[0] >> 2;
    const std::string input(reinterpret_cast<const char *>(data + 1), size - 1);
    const unsigned char *in = data + 1;
    const size_t n = size - 1;

    // UTF-16.
    const auto utf16 = [&](const unsigned char *p, size_t length, bool last, char *out, size_t *used) {
        return ti::utf16_to_utf8(p, length, big_endian, last, replace, out, used);
    };
    const std::string whole16 = Within(ti::utf16_to_utf8_bound(n), input, [&](char *out, size_t *used) {
                                    return utf16(in, n, true, out, used);
                                }).text;
    Check(Fed(input, seed, ti::utf16_to_utf8_bound, utf16) == whole16, "UTF-16 in blocks as in one call", input);
    if (replace)
        Check(Valid(whole16), "UTF-16 with replacement gives UTF-8", input);

    // UTF-8 mended, and checked.
    const auto mend = [](const unsigned char *p, size_t length, bool last, char *out, size_t *used) {
        return ti::utf8_replace(p, length, last, out, used);
    };
    const std::string mended = Within(ti::utf8_replace_bound(n), input, [&](char *out, size_t *used) {
                                   return mend(in, n, true, out, used);
                               }).text;
    Check(Valid(mended), "mended UTF-8 is UTF-8", input);
    Check(Fed(input, seed, ti::utf8_replace_bound, mend) == mended, "UTF-8 mended in blocks as in one call", input);
    const size_t valid = ti::utf8_valid_prefix(input.data(), n);
    Check(valid <= n && ti::utf8_valid_prefix(input.data(), valid) == valid, "the valid prefix is valid", input);
    if (valid == n)
        Check(mended == input, "valid UTF-8 comes out unchanged", input);
    else
        Check(mended.compare(0, valid, input, 0, valid) == 0 && mended.size() > valid &&
                  std::memcmp(mended.data() + valid, ti::kReplacement, 3) == 0,
              "mending keeps the valid prefix and replaces what follows it", input);

    // The code pages.
    const std::string latin1 = Within(ti::latin1_to_utf8_bound(n), input, [&](char *out, size_t *) {
                                   return ti::latin1_to_utf8(in, n, out);
                               }).text;
    Check(Valid(latin1), "Latin-1 gives UTF-8", input);
    Check(CodePoints(latin1) == std::vector<uint32_t>(in, in + n), "Latin-1 bytes are their code points", input);
    const std::string cp1252 = Within(ti::cp1252_to_utf8_bound(n), input, [&](char *out, size_t *) {
                                   return ti::cp1252_to_utf8(in, n, out);
                               }).text;
    Check(Valid(cp1252), "Windows-1252 gives UTF-8", input);
    const std::vector<uint32_t> points = CodePoints(cp1252);
    Check(points.size() == n, "Windows-1252 gives a character a byte", input);
    for (size_t k = 0; k < n; k++)
        Check(in[k] - 0x80u < 0x20 || points[k] == in[k], "Windows-1252 past 0x9F is Latin-1", input);
    return 0;
}
