// The input's converters over a million characters of CSV-like text, as the
// reading stage calls them: UTF-16 both ways, Latin-1, Windows-1252, the
// UTF-8 check and replacement. Each text mostly ASCII with an accented
// letter or a sign now and then, and for the check and the UTF-16 pure
// ASCII too. Bytes per second are of input.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "input/transcode.h"

namespace ti = csv_line::input;

namespace {

constexpr size_t kCharacters = 1 << 20;

// Records of short fields; one character in `rare` is U+00E9, U+20AC or
// U+1F600 in turn, the rest ASCII.
std::u32string Text(unsigned rare)
{
    std::mt19937 random(7);
    std::u32string text;
    const char32_t others[] = {0xE9, 0x20AC, 0x1F600};
    size_t other = 0;
    while (text.size() < kCharacters) {
        const uint32_t r = static_cast<uint32_t>(random());
        if (rare != 0 && r % rare == 0)
            text += others[other++ % 3];
        else if (r % 9 == 0)
            text += r % 2 ? U',' : U'\n';
        else
            text += static_cast<char32_t>('a' + r % 26);
    }
    return text;
}

std::string Utf16(const std::u32string &text, bool big_endian)
{
    std::string s;
    auto unit = [&](uint32_t u) {
        const char high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xFF);
        s += big_endian ? std::string{high, low} : std::string{low, high};
    };
    for (char32_t c : text) {
        if (c < 0x10000) {
            unit(c);
        } else {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return s;
}

std::string Utf8(const std::u32string &text)
{
    std::string in = Utf16(text, false), out(ti::utf16_to_utf8_bound(in.size()), '\0');
    size_t used;
    out.resize(ti::utf16_to_utf8(reinterpret_cast<const unsigned char *>(in.data()), in.size(), false, true,
                                 false, out.data(), &used));
    return out;
}

// Latin-1 and Windows-1252 bytes: each character past ASCII becomes 0xE9
// or 0x80.
std::string OneByte(const std::u32string &text)
{
    std::string s;
    for (char32_t c : text)
        s += c < 0x80 ? static_cast<char>(c) : c == 0xE9 ? '\xE9' : '\x80';
    return s;
}

template <typename Convert>
void Run(benchmark::State &state, const std::string &in, size_t bound, Convert convert)
{
    std::vector<char> out(bound);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(in.data());
    for (auto _ : state)
        benchmark::DoNotOptimize(convert(bytes, in.size(), out.data()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.size()));
}

void Register()
{
    struct Kind {
        const char *name;
        unsigned rare;
    };
    static const Kind kinds[] = {{"ascii", 0}, {"1_in_64", 64}, {"1_in_8", 8}};
    for (const Kind &kind : kinds) {
        const std::u32string text = Text(kind.rare);
        for (bool big_endian : {false, true}) {
            const std::string in = Utf16(text, big_endian);
            benchmark::RegisterBenchmark(
                (std::string("utf16") + (big_endian ? "be" : "le") + "_to_utf8/" + kind.name).c_str(),
                [in, big_endian](benchmark::State &state) {
                    Run(state, in, ti::utf16_to_utf8_bound(in.size()),
                        [big_endian](const unsigned char *p, size_t n, char *out) {
                            size_t used;
                            return ti::utf16_to_utf8(p, n, big_endian, false, true, out, &used);
                        });
                });
        }
        const std::string utf8 = Utf8(text), one_byte = OneByte(text);
        benchmark::RegisterBenchmark((std::string("utf8_valid_prefix/") + kind.name).c_str(),
                                     [utf8](benchmark::State &state) {
                                         Run(state, utf8, 0, [](const unsigned char *p, size_t n, char *) {
                                             return ti::utf8_valid_prefix(reinterpret_cast<const char *>(p), n);
                                         });
                                     });
        benchmark::RegisterBenchmark((std::string("utf8_replace/") + kind.name).c_str(),
                                     [utf8](benchmark::State &state) {
                                         Run(state, utf8, ti::utf8_replace_bound(utf8.size()),
                                             [](const unsigned char *p, size_t n, char *out) {
                                                 size_t used;
                                                 return ti::utf8_replace(p, n, false, out, &used);
                                             });
                                     });
        benchmark::RegisterBenchmark((std::string("latin1_to_utf8/") + kind.name).c_str(),
                                     [one_byte](benchmark::State &state) {
                                         Run(state, one_byte, ti::latin1_to_utf8_bound(one_byte.size()),
                                             ti::latin1_to_utf8);
                                     });
        benchmark::RegisterBenchmark((std::string("cp1252_to_utf8/") + kind.name).c_str(),
                                     [one_byte](benchmark::State &state) {
                                         Run(state, one_byte, ti::cp1252_to_utf8_bound(one_byte.size()),
                                             ti::cp1252_to_utf8);
                                     });
    }
}

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    Register();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
