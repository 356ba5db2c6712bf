// The lines the benchmarks split, and the yardstick they are measured
// against: the rules read literally, one byte at a time. Shared by
// split_bench, which times them, and split_count, which runs one of them
// a given number of times for an instruction count.
#ifndef CSV_LINE_BENCH_INPUTS_H
#define CSV_LINE_BENCH_INPUTS_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "csv_line.h"

namespace bench {

constexpr int kRows = 20;

// The rules read literally, with four integer counters: the yardstick.
__attribute__((noinline)) inline int baseline_split(const char *line, char (*fields)[FIELD_SIZE], int max_fields)
{
    int field = 0, position = 0, quoted = 0, length = 0;
    while (line[position] != '\0' && field < max_fields) {
        if (line[position] == '"') {
            quoted = !quoted;
        } else if (line[position] == ',' && !quoted) {
            fields[field][length] = '\0';
            field++;
            length = 0;
        } else if (length < FIELD_SIZE - 1) {
            fields[field][length] = line[position];
            length++;
        }
        position++;
    }
    if (field < max_fields) {
        fields[field][length] = '\0';
        field++;
    }
    return field;
}

struct Input {
    std::string name;
    std::string line;
};

// Copies of a line at set places in 64-byte blocks, split by turns. Where a
// line starts decides which of its bytes share a block, and so what a
// kernel's blocks hold: the same line can take a quarter longer from one
// place than from another. A line wherever the heap put it would be
// measured at one place, chosen by chance, and at another the next build.
// So each is split from several places in turn, the same every run; they
// cover every remainder of 8 and of 16 bytes.
class Placed {
  public:
    static constexpr int kPlaces = 8;
    static constexpr int kOffsets[kPlaces] = {0, 9, 18, 27, 36, 45, 54, 63};

    // A text too large to be held 8 times in the caches, such as a file's
    // worth of records, takes `places` 1: it starts a block.
    explicit Placed(const std::string &line, int places = kPlaces)
        : size_(line.size()), places_(places), stride_((line.size() / 64 + 2) * 64),
          bytes_(static_cast<char *>(std::aligned_alloc(64, stride_ * static_cast<size_t>(places))), std::free)
    {
        if (bytes_ == nullptr)
            std::abort();
        for (int k = 0; k < places_; k++)
            std::memcpy(c_str(k), line.c_str(), line.size() + 1);
    }

    // The copy at place k, modulo the places.
    char *c_str(int k) const
    {
        return bytes_.get() + stride_ * static_cast<size_t>(k % places_) + kOffsets[k % places_];
    }
    size_t size() const { return size_; }

  private:
    size_t size_;
    int places_;
    size_t stride_;
    std::unique_ptr<char, void (*)(void *)> bytes_;
};

// `count` fields of `width` bytes of words and spaces.
inline std::string TextFields(int count, int width)
{
    static const char words[] = "lorem ipsum dolor sit amet consectetur adipiscing elit sed do ";
    std::string line;
    for (int k = 0; k < count; k++) {
        if (k > 0)
            line += ',';
        for (int i = 0; i < width; i++)
            line += words[(k * 7 + i) % (sizeof words - 1)];
    }
    return line;
}

inline std::vector<Input> Inputs()
{
    std::vector<Input> inputs = {
        {"record",
         "Drawstring Hem Crop Hoodie,Female,Tops,Crop Tops,WS,\"{\"\"polyester_virgin\"\":1.0}\","
         "0.296,14031.53,0.607196,0.070728,0.677924,17.760000"},
        {"numeric", ""},
        {"quoted", ""},
    };
    for (int k = 0; k < kRows; k++) {
        char number[32];
        std::snprintf(number, sizeof number, "%s%d.%d", k ? "," : "", k * 137 % 1000, k * 7919 % 100);
        inputs[1].line += number;
        inputs[2].line += std::string(k ? "," : "") + "\"size \"\"" + std::to_string(k) + "\"\", a, b\"";
    }
    for (int width : {8, 32, 60, 128, 512, 2000, 2047})
        inputs.push_back({"fields_" + std::to_string(width), TextFields(kRows, width)});
    // How much quotes cost: the same 20 fields bare, quoted, with doubled
    // quotes, and a quote between every two bytes.
    const auto twenty = [](const std::string &field) {
        std::string line = field;
        for (int k = 1; k < kRows; k++)
            line += "," + field;
        return line;
    };
    inputs.push_back({"bare_8", twenty("abcdefgh")});
    inputs.push_back({"quoted_8", twenty("\"abcdefgh\"")});
    inputs.push_back({"doubled_quotes", twenty("\"ab\"\"cd\"\"ef\"")});
    inputs.push_back({"quote_per_byte", twenty("a\"b\"c\"d\"e\"f\"g\"h")});
    return inputs;
}

}  // namespace bench

#endif
