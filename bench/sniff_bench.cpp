// csv_line_sniff over a sample of CSV_LINE_SNIFF_SAMPLE bytes, as a reader
// asked to guess takes it: a table of typed columns under each separator, a
// table of quoted text, one of decimal commas under semicolons, a wide one,
// and the same text in UTF-16. Bytes per second are of the sample.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "csv_line.h"

namespace {

const char *const kCities[] = {"Oslo", "Rome", "Paris", "Lisbon", "Prague", "Dublin"};

// Records of an id, a city, a price, a date and a note until the sample is
// full; the last one cut where the sample ends.
std::string Table(char separator, bool quoted, bool decimal_comma, int extra_columns)
{
    std::mt19937 random(11);
    std::string text = "id,city,price,day,note";
    for (auto &c : text)
        c = c == ',' ? separator : c;
    text += '\n';
    for (int r = 0; text.size() < CSV_LINE_SNIFF_SAMPLE; r++) {
        const uint32_t n = static_cast<uint32_t>(random());
        std::string price = std::to_string(n % 900) + (decimal_comma ? "," : ".") + std::to_string(n % 100);
        const std::string note = quoted ? "\"a note, with \"\"quotes\"\" and " + std::to_string(n % 77) + "\""
                                        : "note " + std::to_string(n % 77);
        text += std::to_string(1000 + r) + separator + kCities[n % 6] + separator + price + separator + "2024-0" +
                std::to_string(1 + n % 9) + "-1" + std::to_string(n % 10) + separator + note;
        for (int k = 0; k < extra_columns; k++)
            text += separator + std::to_string((n >> (k % 16)) % 1000);
        text += '\n';
    }
    text.resize(CSV_LINE_SNIFF_SAMPLE);
    return text;
}

std::string Utf16le(const std::string &ascii)
{
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    out.resize(CSV_LINE_SNIFF_SAMPLE);
    return out;
}

void Sniff(benchmark::State &state, const std::string &sample)
{
    csv_line_dialect dialect;
    for (auto _ : state) {
        benchmark::DoNotOptimize(csv_line_sniff(sample.data(), sample.size(), &dialect));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(sample.size()));
}

}  // namespace

BENCHMARK_CAPTURE(Sniff, commas, Table(',', false, false, 0));
BENCHMARK_CAPTURE(Sniff, tabs, Table('\t', false, false, 0));
BENCHMARK_CAPTURE(Sniff, quoted_text, Table(',', true, false, 0));
BENCHMARK_CAPTURE(Sniff, decimal_commas, Table(';', false, true, 0));
BENCHMARK_CAPTURE(Sniff, wide_40_columns, Table('|', false, false, 35));
BENCHMARK_CAPTURE(Sniff, utf16le, Utf16le(Table(',', false, false, 0)));

BENCHMARK_MAIN();
