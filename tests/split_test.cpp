#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "csv_line.h"

namespace {

struct Case {
    const char *what;
    std::string line;
    int capacity;
    std::vector<std::string> fields;
};

std::string Repeat(char c, int n) { return std::string(static_cast<size_t>(n), c); }
const std::string kRowFull = Repeat('x', FIELD_SIZE - 1);

// Splits c.line into a table of c.capacity rows that sits between two guard
// rows, all of it pre-filled with a pattern. Checks the count, every field,
// and that no byte other than a stored field and its terminator changed.
void ExpectSplit(const Case &c)
{
    SCOPED_TRACE(c.what);
    const int rows = c.capacity > 0 ? c.capacity : 0;
    const size_t size = static_cast<size_t>(rows + 2) * FIELD_SIZE;
    std::unique_ptr<char[][FIELD_SIZE]> block(new char[rows + 2][FIELD_SIZE]);
    char *bytes = block[0];
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<char>(0x80 | (i * 7 % 127));
    std::vector<char> want(bytes, bytes + size);

    const int n = parse_csv_line(c.line.c_str(), block.get() + 1, c.capacity);

    ASSERT_EQ(n, static_cast<int>(c.fields.size()));
    for (int k = 0; k < n; k++) {
        const char *row = block[k + 1];
        EXPECT_EQ(std::string(row, strnlen(row, FIELD_SIZE)), c.fields[k]) << "field " << k;
        const std::string &field = c.fields[k];
        std::memcpy(&want[(k + 1) * FIELD_SIZE], field.c_str(), field.size() + 1);
    }
    for (size_t i = 0; i < size; i++) {
        if (bytes[i] != want[i]) {
            ADD_FAILURE() << "byte " << i % FIELD_SIZE << " of row "
                          << static_cast<long>(i / FIELD_SIZE) - 1
                          << " changed outside the stored fields";
            break;
        }
    }
}

void ExpectSplits(const std::vector<Case> &cases)
{
    for (const Case &c : cases)
        ExpectSplit(c);
}

TEST(ParseCsvLine, SeparatesOnCommas)
{
    ExpectSplits({
        {"empty line", "", 4, {""}},
        {"one comma", ",", 4, {"", ""}},
        {"trailing comma", "a,", 4, {"a", ""}},
        {"adjacent commas", "a,,b", 4, {"a", "", "b"}},
        {"spaces are kept", " a , b ", 4, {" a ", " b "}},
        {"line ending is content", "a,b\r\n", 4, {"a", "b\r\n"}},
        {"utf-8 passes through", "gr\xC3\xB6\xC3\x9F" "e,\xE2\x82\xAC" "5", 4,
         {"gr\xC3\xB6\xC3\x9F" "e", "\xE2\x82\xAC" "5"}},
        {"high and control bytes", "\xFF\x80\t,\x01\x7F", 4, {"\xFF\x80\t", "\x01\x7F"}},
    });
}

TEST(ParseCsvLine, QuotesToggleAndVanish)
{
    ExpectSplits({
        {"quoted stretch mid-field", "a\"b,c\"d", 4, {"ab,cd"}},
        {"doubled quote", "a\"\"b", 4, {"ab"}},
        {"quoted fields", "\"a\",\"b\"", 4, {"a", "b"}},
        {"only quotes", "\"\",\"\"", 4, {"", ""}},
        {"unclosed quote keeps commas", "\"x,y", 4, {"x,y"}},
        {"quote opened at the end", "a,\"", 4, {"a", ""}},
        {"doubled quotes inside quotes", "\"{\"\"k\"\":1}\",2", 4, {"{k:1}", "2"}},
    });
}

TEST(ParseCsvLine, StopsAtCapacity)
{
    ExpectSplits({
        {"zero rows", "a,b", 0, {}},
        {"negative capacity", "a,b", -1, {}},
        {"lowest capacity", "", INT_MIN, {}},
        {"one row takes up to the first separator", "a\",\"b,c", 1, {"a,b"}},
        {"exactly full", "x,y", 2, {"x", "y"}},
        {"rest of the line ignored", "x,y,z", 2, {"x", "y"}},
        {"separator at the end of a full table", "x,y,", 2, {"x", "y"}},
        {"rows beyond the count untouched", "x", 3, {"x"}},
    });
}

TEST(ParseCsvLine, CutsFieldsToTheRowWidth)
{
    ExpectSplits({
        {"2047 bytes fit", kRowFull + ",y", 3, {kRowFull, "y"}},
        {"2048 bytes lose the last", kRowFull + "z,y", 3, {kRowFull, "y"}},
        {"quotes do not count towards the width", Repeat('x', FIELD_SIZE - 2) + "\"\"y", 2,
         {Repeat('x', FIELD_SIZE - 2) + "y"}},
        {"quotes in the surplus still toggle", Repeat('x', 3000) + "\"a,b\"c,tail", 3,
         {kRowFull, "tail"}},
        {"long field in the last row", "a," + Repeat('x', 5000), 2, {"a", kRowFull}},
        {"long unclosed field in the last row", "a,\"" + Repeat(',', 4000), 2, {"a", Repeat(',', FIELD_SIZE - 1)}},
    });
}

TEST(ParseCsvLine, SplitsTheProductRecord)
{
    ExpectSplit({"product record",
                 "Drawstring Hem Crop Hoodie,Female,Tops,Crop Tops,WS,"
                 "\"{\"\"polyester_virgin\"\":1.0}\","
                 "0.296,14031.53,0.607196,0.070728,0.677924,17.760000",
                 20,
                 {"Drawstring Hem Crop Hoodie", "Female", "Tops", "Crop Tops", "WS",
                  "{polyester_virgin:1.0}", "0.296", "14031.53", "0.607196", "0.070728",
                  "0.677924", "17.760000"}});
}

}  // namespace
