// Splits one embedded product record and prints a report of its fields.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "csv_line.h"

namespace {

constexpr int MAX_FIELDS = 20;
constexpr int MATERIALS_FIELD = 5;

#ifdef REPORT_TEST_RECORD
// Tests build the program around records of other shapes.
constexpr char RECORD[] = REPORT_TEST_RECORD;
#else
constexpr char RECORD[] =
    "Drawstring Hem Crop Hoodie,Female,Tops,Crop Tops,WS,"
    "\"{\"\"polyester_virgin\"\":1.0}\","
    "0.296,14031.53,0.607196,0.070728,0.677924,17.760000";
#endif

}  // namespace

int main()
{
    char table[MAX_FIELDS][FIELD_SIZE];
    const char *line = RECORD;
    const int count = parse_csv_line(line, table, MAX_FIELDS);

    std::printf("Parsed %d fields:\n", count);
    for (int i = 0; i < count; i++)
        std::printf("Field %d: [%s]\n", i, table[i]);
    // A row the split did not reach holds whatever the stack held before.
    const char *materials = count > MATERIALS_FIELD ? table[MATERIALS_FIELD] : "";
    std::printf("\nField 5 (materials): [%s]\n", materials);

    // The report is the program's only product: losing it is a failure.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "test_csv_parse: cannot write the report: %s\n",
                     std::strerror(errno));
        return 1;
    }
    return 0;
}
