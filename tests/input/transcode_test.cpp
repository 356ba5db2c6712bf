// The converters against references written here, one character at a
// time and as plainly as the encodings' definitions read, over every
// UTF-16 unit and surrogate pair, every byte of the code pages, and every
// UTF-8 sequence of up to three bytes; known cases of replacement; and the
// same output however the input is cut into blocks. Built twice: over the
// library's objects, and with the portable path alone (TRANSCODE_PORTABLE).

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "input/transcode.h"

namespace ti = csv_line::input;

namespace {

#define FFFD "\xEF\xBF\xBD"

// 32 random bits a call, on every platform.
struct Random {
    std::mt19937 engine;
    explicit Random(unsigned seed) : engine(seed) {}
    uint32_t operator()() { return static_cast<uint32_t>(engine()); }
};

// c in UTF-8, surrogates in the 3-byte form too.
std::string Utf8(uint32_t c)
{
    if (c < 0x80)
        return std::string(1, static_cast<char>(c));
    int length = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    std::string s(static_cast<size_t>(length), '\0');
    for (int k = length - 1; k > 0; k--) {
        s[static_cast<size_t>(k)] = static_cast<char>(0x80 + c % 64);
        c /= 64;
    }
    const unsigned lead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
    s[0] = static_cast<char>(lead[length] + c);
    return s;
}

std::string Unit(uint32_t u, bool big_endian)
{
    const char high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xFF);
    return big_endian ? std::string{high, low} : std::string{low, high};
}

std::string Bytes(const std::vector<unsigned> &values)
{
    std::string s;
    for (unsigned v : values)
        s += static_cast<char>(v);
    return s;
}

const unsigned char *U(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}

// Runs a converter into a buffer of exactly its bound followed by guard
// bytes, and fails if it writes past the bound or says it did.
constexpr size_t kGuard = 64;

template <typename Convert>
std::string Into(size_t bound, Convert convert)
{
    std::vector<char> buffer(bound + kGuard, '\x5A');
    const size_t length = convert(buffer.data());
    EXPECT_LE(length, bound);
    for (size_t k = bound; k < buffer.size(); k++)
        if (buffer[k] != '\x5A') {
            ADD_FAILURE() << "written past the bound at " << k - bound;
            break;
        }
    return std::string(buffer.data(), std::min(length, bound));
}

struct Result {
    std::string out;
    size_t used;
};

Result Utf16(const std::string &in, bool big_endian, bool last, bool replace)
{
    Result r{};
    r.out = Into(ti::utf16_to_utf8_bound(in.size()), [&](char *out) {
        return ti::utf16_to_utf8(U(in), in.size(), big_endian, last, replace, out, &r.used);
    });
    return r;
}

Result Replace(const std::string &in, bool last)
{
    Result r{};
    r.out = Into(ti::utf8_replace_bound(in.size()),
                 [&](char *out) { return ti::utf8_replace(U(in), in.size(), last, out, &r.used); });
    return r;
}

std::string Latin1(const std::string &in)
{
    return Into(ti::latin1_to_utf8_bound(in.size()),
                [&](char *out) { return ti::latin1_to_utf8(U(in), in.size(), out); });
}

std::string Cp1252(const std::string &in)
{
    return Into(ti::cp1252_to_utf8_bound(in.size()),
                [&](char *out) { return ti::cp1252_to_utf8(U(in), in.size(), out); });
}

// Where the first sequence that is not UTF-8, or is cut off, starts:
// each sequence decoded by its length bits, then held to the shortest
// form, outside the surrogates, at most U+10FFFF.
size_t ReferenceValidPrefix(const std::string &s)
{
    size_t i = 0;
    while (i < s.size()) {
        const unsigned lead = static_cast<unsigned char>(s[i]);
        size_t length;
        uint32_t c;
        if (lead < 0x80) {
            length = 1, c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, c = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, c = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, c = lead & 0x07;
        } else {
            return i;
        }
        if (s.size() - i < length)
            return i;
        for (size_t k = 1; k < length; k++) {
            const unsigned b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80)
                return i;
            c = c << 6 | (b & 0x3F);
        }
        const uint32_t shortest[5] = {0, 0, 0x80, 0x800, 0x10000};
        if ((length > 1 && c < shortest[length]) || (c >= 0xD800 && c < 0xE000) || c > 0x10FFFF)
            return i;
        i += length;
    }
    return s.size();
}

// Surrounds text with enough ASCII that the block paths meet it at other
// offsets than 0.
std::string Padded(const std::string &text, size_t before, size_t after)
{
    return std::string(before, 'a') + text + std::string(after, 'z');
}

TEST(Utf16, EveryUnitAloneAndAmongAscii)
{
    for (bool big_endian : {false, true})
        for (bool replace : {false, true})
            for (uint32_t u = 0; u < 0x10000; u++) {
                const bool surrogate = u >= 0xD800 && u < 0xE000;
                const std::string want = surrogate && replace ? FFFD : Utf8(u);
                const std::string alone = Unit(u, big_endian);
                std::string padded;
                for (size_t k = 0; k < 19; k++)
                    padded += Unit('a', big_endian);
                padded += alone;
                for (size_t k = 0; k < 17; k++)
                    padded += Unit('z', big_endian);
                const Result a = Utf16(alone, big_endian, true, replace);
                const Result p = Utf16(padded, big_endian, true, replace);
                if (a.out != want || p.out != Padded(want, 19, 17) || a.used != 2 || p.used != padded.size()) {
                    ADD_FAILURE() << "unit " << std::hex << u << (big_endian ? " big" : " little")
                                  << "-endian, replace " << replace;
                    return;
                }
            }
}

TEST(Utf16, EverySurrogatePair)
{
    for (bool big_endian : {false, true}) {
        std::string in, want;
        for (uint32_t high = 0xD800; high < 0xDC00; high++)
            for (uint32_t low = 0xDC00; low < 0xE000; low++) {
                in += Unit(high, big_endian) + Unit(low, big_endian);
                want += Utf8(0x10000 + (high - 0xD800) * 0x400 + (low - 0xDC00));
            }
        for (bool replace : {false, true}) {
            SCOPED_TRACE(testing::Message() << "big-endian " << big_endian << ", replace " << replace);
            const Result r = Utf16(in, big_endian, true, replace);
            EXPECT_EQ(r.used, in.size());
            EXPECT_TRUE(r.out == want);
        }
    }
}

// Units given as code unit values, then maybe an odd byte (value, or -1).
struct Utf16Row {
    const char *name;
    std::vector<uint32_t> units;
    int odd;
    bool last;
    const char *replaced;  // the output with replace
    const char *kept;      // without
    size_t unused;         // bytes left for the next block
};

TEST(Utf16, SurrogatesAndEndsRows)
{
    const Utf16Row rows[] = {
        {"high then ASCII", {0xD800, 'A'}, -1, true, FFFD "A", "\xED\xA0\x80" "A", 0},
        {"high then the unit after the lows", {0xDBFF, 0xE000}, -1, true, FFFD "\xEE\x80\x80",
         "\xED\xAF\xBF\xEE\x80\x80", 0},
        {"high then the unit before the lows", {0xDBFF, 0xDBFF}, -1, true, FFFD FFFD,
         "\xED\xAF\xBF\xED\xAF\xBF", 0},
        {"low alone", {0xDC00}, -1, true, FFFD, "\xED\xB0\x80", 0},
        {"low before high", {0xDFFF, 0xDBFF}, -1, true, FFFD FFFD, "\xED\xBF\xBF\xED\xAF\xBF", 0},
        {"high, high, low", {0xD800, 0xD800, 0xDC00}, -1, true, FFFD "\xF0\x90\x80\x80",
         "\xED\xA0\x80\xF0\x90\x80\x80", 0},
        {"high at the end", {'x', 0xDBFF}, -1, true, "x" FFFD, "x\xED\xAF\xBF", 0},
        {"high and an odd byte at the end", {'x', 0xD800}, 0x41, true, "x" FFFD, "x\xED\xA0\x80\xFF", 0},
        {"odd byte at the end", {'x'}, 0x00, true, "x" FFFD, "x\xFF", 0},
        {"high at the end of a block", {'x', 0xD800}, -1, false, "x", "x", 2},
        {"high and an odd byte at the end of a block", {'x', 0xD800}, 0x00, false, "x", "x", 3},
        {"odd byte at the end of a block", {'x', 0xE9}, 0x12, false, "x\xC3\xA9", "x\xC3\xA9", 1},
        {"lone high at the end of a block", {0xD800, 'y'}, -1, false, FFFD "y", "\xED\xA0\x80y", 0},
        {"byte-order mark", {0xFEFF, 'a'}, -1, true, "\xEF\xBB\xBF" "a", "\xEF\xBB\xBF" "a", 0},
        {"last BMP and first supplementary", {0xFFFF, 0xD800, 0xDC00}, -1, true, "\xEF\xBF\xBF\xF0\x90\x80\x80",
         "\xEF\xBF\xBF\xF0\x90\x80\x80", 0},
    };
    for (const Utf16Row &row : rows)
        for (bool big_endian : {false, true})
            for (bool replace : {false, true}) {
                SCOPED_TRACE(testing::Message() << row.name << ", big-endian " << big_endian << ", replace "
                                                << replace);
                std::string in;
                for (uint32_t u : row.units)
                    in += Unit(u, big_endian);
                if (row.odd >= 0)
                    in += static_cast<char>(row.odd);
                const Result r = Utf16(in, big_endian, row.last, replace);
                EXPECT_EQ(r.out, replace ? row.replaced : row.kept);
                EXPECT_EQ(in.size() - r.used, row.unused);
                if (!replace) {
                    EXPECT_EQ(ti::utf8_valid_prefix(r.out.data(), r.out.size()) == r.out.size(),
                              std::string(row.kept) == row.replaced);
                }
            }
}

// The 256 code points of each code page's bytes.
std::vector<uint32_t> Latin1Table()
{
    std::vector<uint32_t> table;
    for (uint32_t b = 0; b < 256; b++)
        table.push_back(b);
    return table;
}

std::vector<uint32_t> Cp1252Table()
{
    std::vector<uint32_t> table = Latin1Table();
    const uint32_t row_80[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // € (81) ‚ ƒ „ … † ‡
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // ˆ ‰ Š ‹ Œ (8D) Ž (8F)
        0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // (90) ‘ ’ “ ” • – —
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // ˜ ™ š › œ (9D) ž Ÿ
    };
    for (uint32_t b = 0; b < 32; b++)
        table[0x80 + b] = row_80[b];
    return table;
}

TEST(CodePages, EveryByteAloneAmongAsciiAndAllTogether)
{
    struct Page {
        const char *name;
        std::vector<uint32_t> table;
        std::string (*convert)(const std::string &);
    };
    const Page pages[] = {{"latin-1", Latin1Table(), Latin1}, {"cp1252", Cp1252Table(), Cp1252}};
    for (const Page &page : pages) {
        SCOPED_TRACE(page.name);
        std::string all, want_all;
        for (uint32_t b = 0; b < 256; b++) {
            SCOPED_TRACE(testing::Message() << "byte " << b);
            const std::string in(1, static_cast<char>(b));
            const std::string want = Utf8(page.table[b]);
            EXPECT_EQ(page.convert(in), want);
            EXPECT_EQ(page.convert(Padded(in, 21, 40)), Padded(want, 21, 40));
            all += in;
            want_all += want;
        }
        // Every byte at every offset of a block, twice over.
        const std::string twice = page.convert(all + all);
        EXPECT_EQ(twice, want_all + want_all);
        EXPECT_EQ(ti::utf8_valid_prefix(twice.data(), twice.size()), twice.size());
    }
}

// Checks utf8_valid_prefix on text alone and with ASCII on either side,
// where the block paths meet it at offsets 33 (before) and 0 (after).
void ExpectValidPrefix(const std::string &text)
{
    const size_t want = ReferenceValidPrefix(text);
    const size_t got = ti::utf8_valid_prefix(text.data(), text.size());
    const std::string padded = Padded(text, 33, 0);
    const size_t got_padded = ti::utf8_valid_prefix(padded.data(), padded.size());
    const std::string followed = text + std::string(40, 'q');
    const size_t want_followed = ReferenceValidPrefix(followed);
    const size_t got_followed = ti::utf8_valid_prefix(followed.data(), followed.size());
    if (got != want || got_padded != want + 33 || got_followed != want_followed) {
        std::string hex;
        for (char c : text)
            hex += " " + std::to_string(static_cast<unsigned char>(c));
        ADD_FAILURE() << "bytes" << hex << ": " << got << " for " << want << ", padded " << got_padded
                      << ", followed " << got_followed << " for " << want_followed;
    }
}

TEST(Utf8ValidPrefix, EveryOneAndTwoByteSequence)
{
    for (unsigned a = 0; a < 256; a++) {
        ExpectValidPrefix(Bytes({a}));
        for (unsigned b = 0; b < 256; b++)
            ExpectValidPrefix(Bytes({a, b}));
    }
}

TEST(Utf8ValidPrefix, EveryThreeByteSequenceAfterAValidLead)
{
    for (unsigned a = 0xC2; a <= 0xF4; a++)
        for (unsigned b = 0; b < 256; b++)
            for (unsigned c = 0; c < 256; c++) {
                const std::string s = Bytes({a, b, c});
                if (ti::utf8_valid_prefix(s.data(), 3) != ReferenceValidPrefix(s)) {
                    ADD_FAILURE() << "bytes " << a << " " << b << " " << c;
                    return;
                }
            }
}

// Text of valid characters of every length, with a byte here and there
// made random; and the same characters without the damage.
std::string RandomText(Random &random, size_t characters, int damage_in_100)
{
    static const uint32_t firsts[] = {0, 0x80, 0x800, 0xE000, 0x10000};
    static const uint32_t spans[] = {0x80, 0x780, 0xD000, 0x2000, 0x100000};
    std::string s;
    for (size_t k = 0; k < characters; k++) {
        // Mostly ASCII, as CSV files are.
        const uint32_t pick = random() % 10;
        const size_t kind = pick < 6 ? 0 : pick - 5;
        s += Utf8(firsts[kind] + random() % spans[kind]);
        if (static_cast<int>(random() % 100) < damage_in_100)
            s[random() % s.size()] = static_cast<char>(random());
    }
    return s;
}

TEST(Utf8ValidPrefix, RandomLongerTextAgainstTheReference)
{
    Random random(1252);
    for (int round = 0; round < 20000; round++) {
        const std::string s = RandomText(random, random() % 80, round % 4 == 0 ? 0 : 3);
        ExpectValidPrefix(s);
    }
}

struct ReplaceRow {
    std::string in;
    std::string want;
};

// Cases Python's bytes.decode('utf-8', 'replace') gives, at the end of
// the input.
TEST(Utf8Replace, KnownCases)
{
    const ReplaceRow rows[] = {
        {"\x80", FFFD},
        {"\xBF", FFFD},
        {"\xC0\x80", FFFD FFFD},
        {"\xC1\xBF", FFFD FFFD},
        {"\xC2", FFFD},
        {"\xC2" "A", FFFD "A"},
        {"\xC2\x80", "\xC2\x80"},
        {"\xE0\x80\x80", FFFD FFFD FFFD},
        {"\xE0\x9F\xBF", FFFD FFFD FFFD},
        {"\xE0\xA0", FFFD},
        {"\xE0\xA0" "A", FFFD "A"},
        {"\xED\xA0\x80", FFFD FFFD FFFD},
        {"\xED\xBF\xBF", FFFD FFFD FFFD},
        {"\xED\x9F\xBF", "\xED\x9F\xBF"},
        {"\xF0\x80\x80\x80", FFFD FFFD FFFD FFFD},
        {"\xF0\x8F\xBF\xBF", FFFD FFFD FFFD FFFD},
        {"\xF0\x90\x80", FFFD},
        {"\xF0\x90\x80" "A", FFFD "A"},
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},
        {"\xF5\x80\x80\x80", FFFD FFFD FFFD FFFD},
        {"\xF8\x88\x80\x80\x80", FFFD FFFD FFFD FFFD FFFD},
        {"\xFE", FFFD},
        {"\xFF", FFFD},
        {"\xE1\x80\xE1\x80\x80", FFFD "\xE1\x80\x80"},
        {"\xF1\x80\x80\xF1", FFFD FFFD},
        {"a\xE2\x82\xAC" "b", "a\xE2\x82\xAC" "b"},
    };
    for (const ReplaceRow &row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.in));
        const Result r = Replace(row.in, true);
        EXPECT_EQ(r.out, row.want);
        EXPECT_EQ(r.used, row.in.size());
        // The same amid ASCII that the block paths read.
        EXPECT_EQ(Replace(Padded(row.in, 37, 20), true).out, Padded(row.want, 37, 20));
    }
}

TEST(Utf8Replace, CutSequenceWaitsForTheNextBlock)
{
    const struct {
        std::string in, want;
        size_t waiting;
    } rows[] = {
        {"ab\xC3", "ab", 1}, {"ab\xE2\x82", "ab", 2}, {"\xF0\x9F\x98", "", 3},
        // Already invalid: nothing to wait for.
        {"ab\xC3" "c", "ab" FFFD "c", 0}, {"ab\xE0\x80", "ab" FFFD FFFD, 0}, {"ab\xF5", "ab" FFFD, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.in));
        const Result r = Replace(row.in, false);
        EXPECT_EQ(r.out, row.want);
        EXPECT_EQ(row.in.size() - r.used, row.waiting);
    }
}

TEST(Utf8Replace, ValidTextUnchangedAndOutputAlwaysValid)
{
    Random random(8);
    for (int round = 0; round < 5000; round++) {
        const std::string clean = RandomText(random, random() % 100, 0);
        EXPECT_EQ(Replace(clean, true).out, clean);
        const std::string damaged = RandomText(random, random() % 100, 10);
        const std::string out = Replace(damaged, true).out;
        ASSERT_EQ(ti::utf8_valid_prefix(out.data(), out.size()), out.size());
    }
}

// The worst input of each converter writes its whole bound, and no more
// (Into checks that).
TEST(Bounds, WorstCasesFillThem)
{
    std::string units;
    for (int k = 0; k < 40; k++)
        units += Unit(0x0800, false);
    const struct {
        const char *name;
        size_t written, bound;
    } rows[] = {
        {"UTF-16 of 3-byte units and an odd byte", Utf16(units + "x", false, true, true).out.size(),
         ti::utf16_to_utf8_bound(81)},
        {"UTF-16 of lone surrogates", Utf16(std::string(80, '\xDC'), true, true, false).out.size(),
         ti::utf16_to_utf8_bound(80)},
        {"latin-1", Latin1(std::string(100, '\xFF')).size(), ti::latin1_to_utf8_bound(100)},
        {"cp1252", Cp1252(std::string(100, '\x80')).size(), ti::cp1252_to_utf8_bound(100)},
        {"UTF-8 of bytes that start nothing", Replace(std::string(50, '\xFF'), true).out.size(),
         ti::utf8_replace_bound(50)},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.written, row.bound);
    }
}

// Feeds in to a streaming converter in blocks that end at cuts, each
// block the unconsumed rest of the one before and the next piece, as the
// reader passes them; the whole output.
template <typename Convert>
std::string Fed(const std::string &in, const std::vector<size_t> &cuts, Convert convert)
{
    std::string out, pending;
    size_t from = 0;
    for (size_t k = 0; k <= cuts.size(); k++) {
        const size_t to = k < cuts.size() ? cuts[k] : in.size();
        const std::string block = pending + in.substr(from, to - from);
        from = to;
        const Result r = convert(block, k == cuts.size());
        EXPECT_LE(block.size() - r.used, 3u) << "more carried than a character's start";
        out += r.out;
        pending = block.substr(r.used);
    }
    EXPECT_TRUE(pending.empty());
    return out;
}

// Random UTF-16 of every kind of unit, lone surrogates too, maybe an odd
// byte at the end.
std::string RandomUtf16(Random &random, size_t units, bool big_endian)
{
    static const uint32_t kinds[][2] = {{0x20, 0x5F}, {0x80, 0x780}, {0x800, 0xD000}, {0xD800, 0x800}};
    std::string s;
    for (size_t k = 0; k < units; k++) {
        const uint32_t pick = random() % 8;
        if (pick == 7) {
            s += Unit(0xD800 + random() % 0x400, big_endian) + Unit(0xDC00 + random() % 0x400, big_endian);
        } else {
            const auto &kind = kinds[pick < 4 ? 0 : pick - 3];
            s += Unit(kind[0] + random() % kind[1], big_endian);
        }
    }
    if (random() % 3 == 0)
        s += static_cast<char>(random());
    return s;
}

TEST(Streaming, AnyCutGivesWhatOneCallGives)
{
    Random random(16);
    for (int round = 0; round < 300; round++) {
        const bool big_endian = round % 2 != 0, replace = round % 3 != 0;
        const std::string utf16 = RandomUtf16(random, random() % 60, big_endian);
        const std::string utf8 = RandomText(random, random() % 60, 8);
        const auto convert16 = [&](const std::string &block, bool last) {
            return Utf16(block, big_endian, last, replace);
        };
        const auto convert8 = [&](const std::string &block, bool last) { return Replace(block, last); };
        const std::string whole16 = convert16(utf16, true).out, whole8 = convert8(utf8, true).out;
        if (replace) {
            EXPECT_EQ(ti::utf8_valid_prefix(whole16.data(), whole16.size()), whole16.size());
        }
        // Every single cut, then a few random sets of cuts.
        for (size_t cut = 0; cut <= utf16.size(); cut++)
            ASSERT_EQ(Fed(utf16, {cut}, convert16), whole16) << "UTF-16 cut at " << cut;
        for (size_t cut = 0; cut <= utf8.size(); cut++)
            ASSERT_EQ(Fed(utf8, {cut}, convert8), whole8) << "UTF-8 cut at " << cut;
        for (int k = 0; k < 10; k++) {
            std::vector<size_t> cuts16, cuts8;
            for (size_t at = 0; at < utf16.size(); at += 1 + random() % 5)
                cuts16.push_back(at);
            for (size_t at = 0; at < utf8.size(); at += 1 + random() % 5)
                cuts8.push_back(at);
            ASSERT_EQ(Fed(utf16, cuts16, convert16), whole16);
            ASSERT_EQ(Fed(utf8, cuts8, convert8), whole8);
        }
    }
}

}  // namespace
