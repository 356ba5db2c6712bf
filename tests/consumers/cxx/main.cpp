// A C++ program outside this project: splits one line and prints its fields.
#include <iostream>

#include "csv_line.h"

int main()
{
    static char fields[4][FIELD_SIZE];
    const int n = parse_csv_line("id,\"Smith, J.\",42", fields, 4);
    std::cout << n;
    for (int i = 0; i < n; i++)
        std::cout << " [" << fields[i] << ']';
    std::cout << '\n';
}
