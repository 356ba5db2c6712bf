// A C++ program outside this project: reads a small CSV held in memory
// through csv_line.hpp, sums a column by its header's name, and writes
// what it found as a CSV record.
#include <iostream>
#include <string_view>

#include "csv_line.hpp"

int main()
{
    const std::string_view text = "sku,price\n7,1.25\n\"8, large\",2.5\n9,\"3\"\n";
    csv_line::reader in(text);
    long long rows = 0;
    double total = 0;
    for (const auto &row : in) {
        total += row["price"].as<double>();
        rows++;
    }
    csv_line::writer(std::cout).row("rows", rows, "total", total);
}
