// Writes records with csv_line::writer from fields given in hex, so that a
// test can hand it any bytes: the first line of standard input is the
// separator's byte as a decimal number; each later line a record, its
// fields separated by spaces, each an 'x' followed by its bytes in hex
// ("x" alone is an empty field). Writes the CSV to standard output.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "csv_line.hpp"

namespace {

int hex_digit(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

std::string from_hex(const std::string &word)
{
    std::string bytes;
    for (size_t k = 1; k + 1 < word.size(); k += 2)
        bytes += static_cast<char>(hex_digit(word[k]) * 16 + hex_digit(word[k + 1]));
    return bytes;
}

} // namespace

int main()
{
    std::string line;
    if (!std::getline(std::cin, line))
        return 2;
    const char separator = static_cast<char>(std::stoi(line));
    try {
        csv_line::writer out(stdout, separator);
        std::vector<std::string> fields;
        while (std::getline(std::cin, line)) {
            std::istringstream words(line);
            fields.clear();
            for (std::string word; words >> word;)
                fields.push_back(from_hex(word));
            out.row(fields);
        }
        out.flush();
    } catch (const csv_line::error &e) {
        std::fprintf(stderr, "write_fields: %s\n", e.what());
        return 1;
    }
    return 0;
}
