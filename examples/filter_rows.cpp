// Copies the header and the records whose COLUMN holds exactly VALUE from
// one CSV file to a new one, and says how many it kept:
//
//     filter_rows INPUT OUTPUT COLUMN VALUE
//
// Values are compared as CSV readers read them (quotes removed), and the
// kept records are written again, quoted where they need it.
#include <cstdio>
#include <fstream>
#include <string_view>

#include "csv_line.hpp"

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: filter_rows INPUT OUTPUT COLUMN VALUE\n");
        return 2;
    }
    const std::string_view column = argv[3], wanted = argv[4];
    try {
        csv_line::reader in(argv[1]);
        if (in.column(column) < 0) {
            std::fprintf(stderr, "filter_rows: %s: no column named '%s'\n", argv[1], argv[3]);
            return 1;
        }
        std::ofstream file(argv[2], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "filter_rows: cannot create %s\n", argv[2]);
            return 1;
        }
        csv_line::writer out(file);
        out.row(in.columns());
        long long kept = 0;
        for (const auto &row : in)
            if (row[column].value() == wanted) {
                out.row(row);
                kept++;
            }
        out.flush();
        std::printf("%lld\n", kept);
    } catch (const csv_line::error &e) {
        std::fprintf(stderr, "filter_rows: %s\n", e.what());
        return 1;
    }
    return 0;
}
