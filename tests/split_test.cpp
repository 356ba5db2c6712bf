#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "csv_line.h"
#include "split_checks.h"

namespace {

struct Case {
    const char *what;
    std::string line;
    int capacity;
    std::vector<std::string> fields;
};

std::string Repeat(char c, int n) { return std::string(static_cast<size_t>(n), c); }
const std::string kRowFull = Repeat('x', FIELD_SIZE - 1);

void ExpectSplit(const Case &c)
{
    SCOPED_TRACE(c.what);
    EXPECT_EQ(SplitMismatch(c.line, c.capacity, c.fields), "");
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
