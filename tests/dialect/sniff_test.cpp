// csv_line_sniff: the dialect it guesses for texts of known dialect, the
// encodings and line endings it tells, and where it says it cannot tell.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "csv_line.h"

namespace {

struct Row {
    const char *name;
    std::string text;
    char separator;
    int header;
    int quoted;
    int line_ending;
    int result;
};

csv_line_dialect Sniff(const std::string &text, int *result)
{
    csv_line_dialect d;
    std::memset(&d, 0x5A, sizeof d);  // every field must be written
    *result = csv_line_sniff(text.data(), text.size(), &d);
    return d;
}

std::string Repeat(const std::string &line, int times)
{
    std::string out;
    for (int k = 0; k < times; k++)
        out += line;
    return out;
}

// Rows of a few typed columns, numbered so that no two are alike.
std::string Table(const char *separator, const char *ending, int rows, bool header)
{
    std::string out = header ? std::string("id") + separator + "city" + separator + "price" + separator + "day" + ending
                             : "";
    const char *cities[] = {"Oslo", "Rome", "Paris"};
    for (int r = 0; r < rows; r++)
        out += std::to_string(100 + r) + separator + cities[r % 3] + separator + std::to_string(r) + ".5" + separator +
               "2024-03-" + std::to_string(10 + r % 18) + ending;
    return out;
}

const int LF = CSV_LINE_ENDING_LF, CRLF = CSV_LINE_ENDING_CRLF, CR = CSV_LINE_ENDING_CR, NONE = CSV_LINE_ENDING_NONE;
const int FOUND = CSV_LINE_SNIFF_FOUND, CANNOT = CSV_LINE_SNIFF_CANNOT_TELL;

TEST(Sniff, GuessesTheDialectOfEachText)
{
    const std::vector<Row> rows = {
        {"commas with a header", Table(",", "\n", 12, true), ',', 1, 0, LF, FOUND},
        {"commas without one", Table(",", "\n", 12, false), ',', 0, 0, LF, FOUND},
        {"semicolons, CRLF", Table(";", "\r\n", 12, true), ';', 1, 0, CRLF, FOUND},
        {"tabs", Table("\t", "\n", 12, true), '\t', 1, 0, LF, FOUND},
        {"pipes", Table("|", "\n", 12, false), '|', 0, 0, LF, FOUND},
        {"colons", Table(":", "\n", 12, true), ':', 1, 0, LF, FOUND},
        {"lines ended by CRs alone", Table(";", "\r", 12, true), ';', 1, 0, CR, FOUND},
        {"spaces, three columns", "a b c\n1 2 3\n4 5 6\n7 8 9\n10 11 12\n", ' ', 1, 0, LF, FOUND},
        {"two words a line are one column", "Anna Smith\nBen Jones\nCarla King\nDavid Hill\n", ',', 0, 0, LF,
         CANNOT},
        {"quoted fields holding the separator and a line break",
         "id,note\n" + Repeat("1,\"a, b\"\n2,\"two\nlines\"\n3,plain\n", 4), ',', 1, 1, LF, FOUND},
        {"every field quoted", Repeat("\"x\";\"1\";\"2024-01-02\"\n", 8), ';', 0, 1, LF, FOUND},
        {"decimal commas under semicolons",
         "name;price;ratio\n" + Repeat("apple;1,5;0,25\npear;12,75;3,5\nfig;0,99;10,125\n", 4), ';', 1, 0, LF,
         FOUND},
        {"decimal commas, one a row", Repeat("x;1,5\ny;2,25\nz;3,125\n", 4), ';', 0, 0, LF, FOUND},
        {"a preamble of comments", "# exported today\n# by the shop\nid,name,qty\n" + Repeat("1,apple,3\n2,pear,4\n", 5),
         ',', 1, 0, LF, FOUND},
        {"one column", "price\n1.5\n2.5\n3.5\n4.5\n", ',', 1, 0, LF, CANNOT},
        {"one column whose text holds a comma now and then", "hello\nworld, again\nfoo\nbar\nbaz\n", ',', 0, 0, LF,
         CANNOT},
        {"one record of names", "id,name,price\n", ',', 1, 0, LF, FOUND},
        {"one record of data", "7,apple,1.5\n", ',', 0, 0, LF, FOUND},
        {"no line ending", "a;b;c", ';', 1, 0, NONE, FOUND},
        {"empty", "", ',', 0, 0, NONE, CANNOT},
        {"blank lines alone", "\n\n\r\n", ',', 0, 0, LF, CANNOT},
        {"a UTF-8 byte-order mark", "\xEF\xBB\xBF" + Table("|", "\n", 12, true), '|', 1, 0, LF, FOUND},
        {"empty fields", Repeat("1,,x\n,2,\n3,,\n", 5), ',', 0, 0, LF, FOUND},
        // Regressions.
        {"ragged rows over timestamps are not colon-separated",
         "when,qty,city\n" + Repeat("2023-09-21 23:18:57,76,Oslo\n2023-01-19 07:39:35,5,Rome\n2023-10-10 03:40:37\n"
                                    "2023-02-11 04:00:01,7,Oslo\n2023-03-12 05:10:11,8,Rome\n",
                                    6),
         ',', 1, 0, LF, FOUND},
        {"a value a categorical column lacks is no header when there are few rows",
         "pending,a1\nopen,b2\nclosed,c3\nopen,d4\nclosed,e5\n", ',', 0, 0, LF, FOUND},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        int result;
        const csv_line_dialect d = Sniff(row.text, &result);
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(d.separator, row.separator);
        EXPECT_EQ(d.header, row.header);
        EXPECT_EQ(d.quoted, row.quoted);
        EXPECT_EQ(d.line_ending, row.line_ending);
        EXPECT_EQ(d.compressed, 0);
        EXPECT_GE(d.confidence, 0.0);
        EXPECT_LE(d.confidence, 1.0);
        if (result == CANNOT) {
            EXPECT_LT(d.confidence, 0.5);
        }
    }
}

std::string Utf16(const std::string &ascii, bool big_endian)
{
    std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : ascii) {
        out += big_endian ? '\0' : c;
        out += big_endian ? c : '\0';
    }
    return out;
}

TEST(Sniff, TellsTheEncoding)
{
    const std::string table = Table(";", "\n", 12, true);
    struct Case {
        const char *name;
        std::string text;
        int encoding;
    } cases[] = {
        {"ASCII", table, CSV_LINE_ENCODING_UTF8},
        {"UTF-8 accents", "name;city\nJos\xC3\xA9;Z\xC3\xBCrich\nZo\xC3\xAB;K\xC3\xB6ln\n", CSV_LINE_ENCODING_UTF8},
        {"a UTF-8 sequence cut by the sample's end", table + "Z\xC3", CSV_LINE_ENCODING_UTF8},
        {"cp1252 accents and a euro sign", "name;price\nJos\xE9;5 \x80\nZo\xEB;6 \x80\n", CSV_LINE_ENCODING_CP1252},
        {"an overlong UTF-8 sequence", table + "\xC0\xAF\n", CSV_LINE_ENCODING_CP1252},
        {"a UTF-16 surrogate in UTF-8", table + "\xED\xA0\x80\n", CSV_LINE_ENCODING_CP1252},
        {"UTF-16LE after its mark", Utf16(table, false), CSV_LINE_ENCODING_UTF16LE},
        {"UTF-16BE after its mark", Utf16(table, true), CSV_LINE_ENCODING_UTF16BE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int result;
        const csv_line_dialect d = Sniff(c.text, &result);
        EXPECT_EQ(d.encoding, c.encoding);
        EXPECT_EQ(d.separator, ';');
        EXPECT_EQ(result, FOUND);
    }
    // UTF-16 is sniffed as text: its separator and header, its records.
    int result;
    const csv_line_dialect d = Sniff(Utf16(table, false), &result);
    EXPECT_EQ(d.header, 1);
    EXPECT_EQ(d.records, 13);
}

TEST(Sniff, ConfidenceFallsWithFewRecordsAndCloseRunnersUp)
{
    int result;
    const double many = Sniff(Table(",", "\n", 40, true), &result).confidence;
    const double few = Sniff(Table(",", "\n", 2, true), &result).confidence;
    EXPECT_GT(many, 0.9);
    EXPECT_LT(few, many);
    EXPECT_LE(few, 0.3);
    // Commas and semicolons both split every record in two, alike.
    const csv_line_dialect tied = Sniff(Repeat("a,b;c\n", 20), &result);
    EXPECT_EQ(result, CANNOT);
    EXPECT_LT(tied.confidence, 0.1);
}

TEST(Sniff, LastLineCutByALongSampleIsNotCounted)
{
    // A sample as long as csv_line_sniff_path's is the start of an input.
    std::string text;
    while (text.size() < CSV_LINE_SNIFF_SAMPLE)
        text += "1,apple,2.5\n";
    text.resize(CSV_LINE_SNIFF_SAMPLE - 3);
    text += "\n9,";  // the last line, cut
    int result;
    const csv_line_dialect d = Sniff(text, &result);
    EXPECT_EQ(result, FOUND);
    EXPECT_EQ(d.separator, ',');
    EXPECT_GT(d.confidence, 0.9);
    // A shorter sample is the whole input: its last line counts.
    const csv_line_dialect whole = Sniff("a,b\n1,2\n3", &result);
    EXPECT_EQ(whole.records, 3);
    const csv_line_dialect cut = Sniff(text.substr(0, text.size() - 3), &result);
    EXPECT_EQ(Sniff(text, &result).records, cut.records);
}

TEST(Sniff, SameAnswerTwiceAndNoCrashOnAnyBytes)
{
    // A quote left open, NULs, lone CRs, bytes of every value.
    std::string bytes;
    for (int k = 0; k < 4096; k++)
        bytes += static_cast<char>((k * 151 + 7) % 256);
    const std::string texts[] = {bytes, "\"", "\"a,b\nc", std::string("a\0b,c\0d\n", 8), "\r\r\r", "\xFF\xFE",
                                 "\xFE\xFF\xD8\x00", std::string(300, ','), Repeat("x,", 2000) + "\n"};
    for (const std::string &text : texts) {
        SCOPED_TRACE(text.substr(0, 20));
        int first, second;
        const csv_line_dialect a = Sniff(text, &first), b = Sniff(text, &second);
        EXPECT_EQ(first, second);
        EXPECT_EQ(a.separator, b.separator);
        EXPECT_EQ(a.quoted, b.quoted);
        EXPECT_EQ(a.header, b.header);
        EXPECT_EQ(a.line_ending, b.line_ending);
        EXPECT_EQ(a.encoding, b.encoding);
        EXPECT_EQ(a.records, b.records);
        EXPECT_EQ(a.confidence, b.confidence);
        EXPECT_NE(a.separator, '"');
        EXPECT_NE(a.separator, '\n');
        EXPECT_NE(a.separator, '\r');
    }
    csv_line_dialect d;
    EXPECT_EQ(csv_line_sniff(nullptr, 10, &d), CANNOT);
    EXPECT_EQ(d.separator, ',');
    EXPECT_EQ(csv_line_sniff("a,b\n", 4, nullptr), CANNOT);
}

}  // namespace
