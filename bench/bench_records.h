// The records the whole-buffer benchmarks walk and read.
#ifndef CSV_LINE_BENCH_RECORDS_H
#define CSV_LINE_BENCH_RECORDS_H

#include <cstdio>
#include <random>
#include <string>

// Records of 12 fields: text, numbers and codes, about 100 bytes, ended by
// LF. With `quoted`, every text field is quoted, and one in eight holds a
// line break, one in eight a doubled quote, one in four a comma.
inline std::string Records(size_t size, bool quoted)
{
    static const char *const words[] = {"hoodie", "crop", "tee", "grey", "cotton", "blend", "slim", "fit",
                                        "wool", "linen", "summer", "winter", "classic", "zip", "hem"};
    std::mt19937_64 random(quoted ? 2 : 1);
    const auto word = [&] { return std::string(words[random() % 15]); };
    const auto text = [&] {
        std::string cell = word() + " " + word();
        if (!quoted)
            return cell;
        const unsigned pick = static_cast<unsigned>(random() % 8);
        if (pick == 0)
            cell += "\n" + word();
        else if (pick == 1)
            cell += " \"\"" + word() + "\"\"";
        else if (pick < 4)
            cell += ", " + word();
        return "\"" + cell + "\"";
    };
    std::string buffer;
    buffer.reserve(size + 256);
    char number[64];
    for (long k = 0; buffer.size() < size; k++) {
        std::snprintf(number, sizeof number, "SKU%08ld,", k);
        buffer += number;
        buffer += text() + "," + text() + ",";
        std::snprintf(number, sizeof number, "%.2f,%d,%s,%.6f,", static_cast<double>(random() % 50000) / 100,
                      static_cast<int>(random() % 100000), "XL", static_cast<double>(random() % 1000000) / 1e6);
        buffer += number;
        buffer += text() + ",";
        std::snprintf(number, sizeof number, "%d,%c,%.3f,", static_cast<int>(random() % 1000), "FMU"[random() % 3],
                      static_cast<double>(random() % 1000) / 1e3);
        buffer += number;
        buffer += text() + "\n";
    }
    return buffer;
}

// Records of 60 fields, numbers and short words, about 400 bytes.
inline std::string WideRecords(size_t size)
{
    std::mt19937_64 random(3);
    std::string buffer;
    buffer.reserve(size + 1024);
    char cell[32];
    while (buffer.size() < size) {
        for (int k = 0; k < 60; k++) {
            const unsigned pick = static_cast<unsigned>(random() % 3);
            if (pick == 0)
                std::snprintf(cell, sizeof cell, "%d", static_cast<int>(random() % 100000));
            else if (pick == 1)
                std::snprintf(cell, sizeof cell, "%.4f", static_cast<double>(random() % 1000000) / 1e3);
            else
                std::snprintf(cell, sizeof cell, "w%u", static_cast<unsigned>(random() % 1000));
            buffer += cell;
            buffer += k < 59 ? ',' : '\n';
        }
    }
    return buffer;
}

// Records of 6 fields, two of them quoted notes of two to six lines.
inline std::string MultilineRecords(size_t size)
{
    std::mt19937_64 random(4);
    std::string buffer;
    buffer.reserve(size + 1024);
    char head[64];
    const auto note = [&] {
        std::string text = "\"";
        const int lines = 2 + static_cast<int>(random() % 5);
        for (int line = 0; line < lines; line++)
            text += (line > 0 ? "\n" : "") + std::string("line ") + std::to_string(random() % 1000) + " of the note";
        return text + "\"";
    };
    for (long k = 0; buffer.size() < size; k++) {
        std::snprintf(head, sizeof head, "%ld,%d,", k, static_cast<int>(random() % 10000));
        buffer += head + note() + "," + std::to_string(random() % 100) + "," + note() + ",end\n";
    }
    return buffer;
}

#endif
