// Reads standard input, converts it to UTF-8 as the named encoding, fed
// to the converter in blocks of the given size as the reading stage feeds
// it, and writes the result: for the Python comparison.
// Usage: transcode_print ENCODING BLOCK_SIZE
//   ENCODING: utf-16-le, utf-16-be, utf-16-le-replace, utf-16-be-replace,
//   latin-1, cp1252, utf-8-replace

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "input/transcode.h"

namespace ti = csv_line::input;

int main(int argc, char **argv)
{
    if (argc != 3 || std::atoi(argv[2]) <= 0) {
        std::fprintf(stderr, "usage: transcode_print ENCODING BLOCK_SIZE\n");
        return 2;
    }
    const std::string encoding = argv[1];
    const size_t block_size = static_cast<size_t>(std::atoi(argv[2]));
    std::string input;
    char chunk[65536];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, stdin)) > 0;)
        input.append(chunk, got);

    std::string out, pending;
    for (size_t from = 0;;) {
        const size_t piece = std::min(block_size, input.size() - from);
        const std::string block = pending + input.substr(from, piece);
        from += piece;
        const bool last = from == input.size();
        const unsigned char *in = reinterpret_cast<const unsigned char *>(block.data());
        std::vector<char> buffer(3 * block.size() + 3);
        size_t used = block.size(), written;
        if (encoding.rfind("utf-16-", 0) == 0)
            written = ti::utf16_to_utf8(in, block.size(), encoding.compare(7, 2, "be") == 0, last,
                                        encoding.size() > 9, buffer.data(), &used);
        else if (encoding == "latin-1")
            written = ti::latin1_to_utf8(in, block.size(), buffer.data());
        else if (encoding == "cp1252")
            written = ti::cp1252_to_utf8(in, block.size(), buffer.data());
        else if (encoding == "utf-8-replace")
            written = ti::utf8_replace(in, block.size(), last, buffer.data(), &used);
        else {
            std::fprintf(stderr, "transcode_print: no encoding %s\n", argv[1]);
            return 2;
        }
        out.append(buffer.data(), written);
        pending = block.substr(used);
        if (last)
            break;
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
