// Sums one column of a CSV file, named by its header:
//
//     sum_column FILE [COLUMN]      (COLUMN: price when left out)
//
// Prints the sum with two decimals. A value that is not a number stops it
// with a message naming its line and column, and status 1.
#include <cstdio>
#include <string>

#include "csv_line.hpp"

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: sum_column FILE [COLUMN]\n");
        return 2;
    }
    const std::string column = argc == 3 ? argv[2] : "price";
    try {
        csv_line::reader in(argv[1]);
        double total = 0;
        for (const auto &row : in)
            total += row[column].as<double>();
        std::printf("%.2f\n", total);
    } catch (const csv_line::error &e) {
        std::fprintf(stderr, "sum_column: %s: %s\n", argv[1], e.what());
        return 1;
    }
    return 0;
}
