#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "csv_line.h"
#include "every_kernel.h"
#include "split_checks.h"

namespace {

struct Case {
    std::string what;
    std::string line;
    int capacity;
    std::vector<std::string> fields;
};

std::string Repeat(char c, int n) { return std::string(static_cast<size_t>(n), c); }
const std::string kRowFull = Repeat('x', FIELD_SIZE - 1);

// Runs every row with the line starting at every offset from a 64-byte
// boundary, so that each of its bytes meets each position in a block.
void ExpectSplits(const Entry &entry, const std::vector<Case> &cases)
{
    for (const Case &c : cases)
        for (int offset = 0; offset < 64; offset++) {
            SCOPED_TRACE(c.what + ", line at offset " + std::to_string(offset));
            ASSERT_EQ(SplitMismatch(entry, c.line, offset, c.capacity, c.fields), "");
        }
}

TEST_P(EveryKernel, SeparatesOnCommas)
{
    ExpectSplits(GetParam(), {
        {"empty line", "", 4, {""}},
        {"one comma", ",", 4, {"", ""}},
        {"trailing comma", "a,", 4, {"a", ""}},
        {"adjacent commas", "a,,b", 4, {"a", "", "b"}},
        {"spaces are kept", " a , b ", 4, {" a ", " b "}},
        {"line ending is content", "a,b\r\n", 4, {"a", "b\r\n"}},
        {"utf-8 passes through", "gr\xC3\xB6\xC3\x9F" "e,\xE2\x82\xAC" "5", 4,
         {"gr\xC3\xB6\xC3\x9F" "e", "\xE2\x82\xAC" "5"}},
        {"high and control bytes", "\xFF\x80\t,\x01\x7F", 4, {"\xFF\x80\t", "\x01\x7F"}},
        {"a NUL ends the line", std::string("a,b\0c,d", 7), 4, {"a", "b"}},
        {"a NUL ends the line inside quotes", std::string("\"a\0,b\"", 6), 4, {"a"}},
    });
}

TEST_P(EveryKernel, QuotesToggleAndVanish)
{
    ExpectSplits(GetParam(), {
        {"quoted stretch mid-field", "a\"b,c\"d", 4, {"ab,cd"}},
        {"doubled quote", "a\"\"b", 4, {"ab"}},
        {"quoted fields", "\"a\",\"b\"", 4, {"a", "b"}},
        {"only quotes", "\"\",\"\"", 4, {"", ""}},
        {"unclosed quote keeps commas", "\"x,y", 4, {"x,y"}},
        {"quote opened at the end", "a,\"", 4, {"a", ""}},
        {"doubled quotes inside quotes", "\"{\"\"k\"\":1}\",2", 4, {"{k:1}", "2"}},
    });
}

TEST_P(EveryKernel, StopsAtCapacity)
{
    ExpectSplits(GetParam(), {
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

TEST_P(EveryKernel, CutsFieldsToTheRowWidth)
{
    ExpectSplits(GetParam(), {
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

TEST_P(EveryKernel, SplitsTheProductRecord)
{
    ExpectSplits(GetParam(), {{"product record",
                 "Drawstring Hem Crop Hoodie,Female,Tops,Crop Tops,WS,"
                 "\"{\"\"polyester_virgin\"\":1.0}\","
                 "0.296,14031.53,0.607196,0.070728,0.677924,17.760000",
                 20,
                 {"Drawstring Hem Crop Hoodie", "Female", "Tops", "Crop Tops", "WS",
                  "{polyester_virgin:1.0}", "0.296", "14031.53", "0.607196", "0.070728",
                  "0.677924", "17.760000"}}});
}

TEST(Span, BelowOneByteIsAnEmptyLine)
{
    for (const csv_line_kernel &kernel : KernelsUnderTest()) {
        if (!kernel.runs_here())
            continue;
        for (const int length : {0, -1, INT_MIN}) {
            SCOPED_TRACE(std::string(kernel.name) + ", length " + std::to_string(length));
            GuardedTable table(2);
            EXPECT_EQ(table.Mismatch(kernel.span("a,b", length, table.Rows(), 2), {""}), "");
        }
    }
}

// Rows placed against block boundaries: at offset 0, byte `at` is the last
// of a 16-, 32- or 64-byte block, or the first of the next.
TEST_P(EveryKernel, MeetsBlockBoundaries)
{
    std::vector<Case> cases;
    for (int at : {15, 16, 31, 32, 63, 64, 127, 128}) {
        const std::string x = Repeat('x', at), where = " at byte " + std::to_string(at);
        cases.push_back({"NUL" + where, x, 4, {x}});
        cases.push_back({"NUL and more" + where, x + std::string(1, '\0') + ",y", 4, {x}});
        cases.push_back({"separator" + where, x + ",y", 4, {x, "y"}});
        cases.push_back({"separators either side" + where, Repeat('x', at - 1) + ",,y", 4,
                         {Repeat('x', at - 1), "", "y"}});
        cases.push_back({"quote" + where, x + "\",\"y", 4, {x + ",y"}});
        cases.push_back({"doubled quote across" + where, Repeat('x', at - 1) + "\"\"y,z", 4,
                         {Repeat('x', at - 1) + "y", "z"}});
        cases.push_back({"full table" + where, x + ",y,z", 2, {x, "y"}});
    }
    cases.push_back({"quoted stretch across blocks", "a\"" + Repeat(',', 200) + "\"b,c", 4,
                     {"a" + Repeat(',', 200) + "b", "c"}});
    cases.push_back({"quoted stretch with doubled quotes across blocks",
                     "\"" + Repeat('q', 60) + "\"\"" + Repeat(',', 70) + "\"\"\",z", 4,
                     {Repeat('q', 60) + Repeat(',', 70), "z"}});
    ExpectSplits(GetParam(), cases);
}

// The row fills at every position of a block, with quotes and the field's
// separator near the cut.
TEST_P(EveryKernel, FillsTheRowInsideABlock)
{
    std::vector<Case> cases;
    for (int width = FIELD_SIZE - 70; width <= FIELD_SIZE + 70; width++) {
        const std::string x = Repeat('x', width), field = x.substr(0, FIELD_SIZE - 1);
        const std::string where = std::to_string(width) + " bytes";
        cases.push_back({"field of " + where, x + ",y", 3, {field, "y"}});
        cases.push_back({"quoted field of " + where, "\"" + x + "\",\"y\"", 3, {field, "y"}});
        const std::string quoted = x.substr(0, static_cast<size_t>(width) - 3) + "\"a,b\"c";
        cases.push_back({"quotes near the end of " + where, quoted + ",y", 3,
                         {(x.substr(0, static_cast<size_t>(width) - 3) + "a,bc").substr(0, FIELD_SIZE - 1), "y"}});
    }
    ExpectSplits(GetParam(), cases);
}

}  // namespace
