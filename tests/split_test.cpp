#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
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
// Through a record entry a row runs as a record: as it stands, ended by LF
// or CR LF, and followed by another record; the row's fields must be what
// the model gives for the record it ends by LF.
// Through the position entry it runs as through a record entry, its
// positions checked against their model, whose fields' content must be what
// the record model stores (for a row without NUL); the separator is the
// comma, the semicolon or TAB by turns, swapped with the comma in the text.
// The index takes the same texts, checked by IndexMismatch in the shape
// that SweepShape gives each offset.
void ExpectSplits(const Entry &entry, const std::vector<Case> &cases)
{
    const bool records = entry.way == Way::record || entry.way == Way::fields || entry.way == Way::index;
    for (const Case &c : cases) {
        if (records) {
            const ModelRecordResult ended = ModelRecord(c.line + "\n", c.capacity);
            if (ended.length == static_cast<int>(c.line.size()) + 1) {
                ASSERT_EQ(ended.fields, c.fields) << c.what;
            }
        }
        const std::vector<std::string> texts =
            records ? std::vector<std::string>{c.line, c.line + "\n", c.line + "\r\n", c.line + "\nz,\"\n\n"}
                    : std::vector<std::string>{c.line};
        for (const std::string &text : texts) {
            if (entry.way == Way::fields && text.find('\0') == std::string::npos) {
                ASSERT_EQ(ModelsDisagree(text, c.capacity), "") << c.what;
            }
            // The model's answer, once for each separator the offsets take.
            std::vector<ModelWant> wants;
            for (const char separator : {',', ';', '\t'})
                if (records)
                    wants.push_back(Want(entry, text, c.capacity, separator));
            for (int offset = 0; offset < 64; offset++) {
                SCOPED_TRACE(c.what + ", " + std::to_string(text.size()) + " bytes at offset " + std::to_string(offset));
                if (records)
                    ASSERT_EQ(ModelMismatch(entry, wants[static_cast<size_t>(offset % 3)], offset, c.capacity,
                                            ",;\t"[offset % 3]),
                              "");
                else
                    ASSERT_EQ(SplitMismatch(entry, text, offset, c.capacity, c.fields), "");
            }
        }
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
        if (!csv_line_kernel_runs_here(&kernel))
            continue;
        for (const int length : {0, -1, INT_MIN}) {
            SCOPED_TRACE(std::string(kernel.name) + ", length " + std::to_string(length));
            GuardedTable table(2);
            EXPECT_EQ(table.Mismatch(kernel.span("a,b", length, table.Rows(), 2), {""}), "");
            int record_length = -1;
            EXPECT_EQ(table.Mismatch(kernel.record("a\nb", length, table.Rows(), 2, &record_length), {""}), "");
            EXPECT_EQ(record_length, 0);
            GuardedFields positions(2);
            record_length = -1;
            EXPECT_EQ(positions.Mismatch(kernel.fields("a\nb", length, ',', positions.Entries(), 2, &record_length),
                                         {{0, 0, 0}}),
                      "");
            EXPECT_EQ(record_length, 0);
            // No record: nothing written but the index's results.
            GuardedRecords records(2);
            positions = GuardedFields(2);
            csv_line_index index = {positions.Entries(), 2, records.Entries(), 2, 1, -7, -7, -7, -7, -7, -7};
            EXPECT_EQ(kernel.records("a\nb", length, ',', &index), 0);
            EXPECT_EQ(Describe(index), "{0 records, 0 fields, next 0, full 0, 0 quotes, 0 LFs}");
            EXPECT_EQ(positions.Mismatch(0, {}), "");
            EXPECT_EQ(records.Mismatch(false), "");
        }
    }
}

TEST(Record, LengthMayBeNull)
{
    for (const csv_line_kernel &kernel : KernelsUnderTest()) {
        if (!csv_line_kernel_runs_here(&kernel))
            continue;
        SCOPED_TRACE(kernel.name);
        GuardedTable table(2);
        EXPECT_EQ(table.Mismatch(kernel.record("a,b\nc", 5, table.Rows(), 2, nullptr), {"a", "b"}), "");
        GuardedFields positions(2);
        EXPECT_EQ(positions.Mismatch(kernel.fields("a,b\nc", 5, ',', positions.Entries(), 2, nullptr),
                                     {{0, 1, 0}, {2, 1, 0}}),
                  "");
    }
}

// The double quote, LF and CR cannot separate fields: refused, with
// nothing written, not even the record's length.
TEST(Fields, RefusesQuoteLFAndCRAsSeparators)
{
    for (const csv_line_kernel &kernel : KernelsUnderTest()) {
        if (!csv_line_kernel_runs_here(&kernel))
            continue;
        for (const char separator : {'"', '\n', '\r'}) {
            SCOPED_TRACE(std::string(kernel.name) + ", separator " + std::to_string(separator));
            GuardedFields positions(4);
            int record_length = 12345;
            EXPECT_EQ(kernel.fields("a,b\"\r\nc", 7, separator, positions.Entries(), 4, &record_length), -1);
            EXPECT_EQ(positions.Mismatch(0, {}), "");
            EXPECT_EQ(record_length, 12345);
        }
    }
}

struct RecordCase {
    std::string what;
    std::string text;
    int capacity;
    std::vector<std::string> fields;
    int length;
};

// Runs each row through a record entry at every offset from a 64-byte
// boundary; other entries skip it.
// The position entry runs them too, checked against its model, which must
// agree with the row where the record holds no NUL; and so does the index.
void ExpectRecords(const Entry &entry, const std::vector<RecordCase> &cases)
{
    if (entry.way != Way::record && entry.way != Way::fields && entry.way != Way::index)
        return;
    for (const RecordCase &c : cases) {
        const ModelRecordResult model = ModelRecord(c.text, c.capacity);
        ASSERT_EQ(model.fields, c.fields) << c.what << " (the model)";
        ASSERT_EQ(model.length, c.length) << c.what << " (the model)";
        if (entry.way == Way::fields && c.text.find('\0') == std::string::npos) {
            ASSERT_EQ(ModelsDisagree(c.text, c.capacity), "") << c.what;
        }
        const std::vector<ModelWant> wants = {Want(entry, c.text, c.capacity, ','), Want(entry, c.text, c.capacity, ';'),
                                              Want(entry, c.text, c.capacity, '\t')};
        for (int offset = 0; offset < 64; offset++) {
            SCOPED_TRACE(c.what + ", at offset " + std::to_string(offset));
            ASSERT_EQ(ModelMismatch(entry, wants[static_cast<size_t>(offset % 3)], offset, c.capacity, ",;\t"[offset % 3]), "");
        }
    }
}

TEST_P(EveryKernel, RecordsEndAtAnLFOutsideQuotes)
{
    ExpectRecords(GetParam(), {
        {"LF", "a,b\nc,d\n", 4, {"a", "b"}, 4},
        {"CR LF", "a,b\r\nc", 4, {"a", "b"}, 5},
        {"only LF", "\n", 4, {""}, 1},
        {"only CR LF", "\r\nx", 4, {""}, 2},
        {"empty field before the ending", "a,\r\n", 4, {"a", ""}, 4},
        {"no ending", "a,b", 4, {"a", "b"}, 0},
        {"CR alone is content", "a\rb,c\r", 4, {"a\rb", "c\r"}, 0},
        {"CR alone before the ending", "a\r\r\n", 4, {"a\r"}, 4},
        {"LF inside quotes is content", "a,\"x\ny\",b\nz", 4, {"a", "x\ny", "b"}, 10},
        {"CR LF inside quotes is content", "\"x\r\n\"\r\n", 4, {"x\r\n"}, 7},
        {"quote opened across the line break", "a\"b\nc\"d,e\nf", 4, {"ab\ncd", "e"}, 10},
        {"unclosed quote takes the rest", "a,\"b\nc,d\n", 4, {"a", "b\nc,d\n"}, 0},
        {"quote after the ending does not count", "a\n\"b\n", 4, {"a"}, 2},
        {"NUL ends the fields, not the record", std::string("a\0b,c\nd", 7), 4, {"a"}, 6},
        {"quotes after a NUL still count", std::string("a\0\"\n\",x\ny", 9), 4, {"a"}, 8},
        {"NUL inside quotes", std::string("\"a\0\n\"\nb", 7), 4, {"a"}, 6},
        {"NUL just before the CR", std::string("a\0\r\n", 4), 4, {"a"}, 4},
    });
}

TEST_P(EveryKernel, RecordsEndEvenWhenTheTableFills)
{
    ExpectRecords(GetParam(), {
        {"full table", "x,y,z\"\n\",w\nnext", 2, {"x", "y"}, 11},
        {"full table, separator before the ending", "x,y,\r\nz", 2, {"x", "y"}, 6},
        {"full table, no ending", "x,y,z", 2, {"x", "y"}, 0},
        {"one row", "x,\"\n\"\ny", 1, {"x"}, 6},
        {"zero rows", "a,\"b\nc\"\nd", 0, {}, 8},
        {"negative capacity", "a\r\nb", -3, {}, 3},
        {"zero rows, no ending", "a,\"\n", 0, {}, 0},
        {"full table, then a NUL", std::string("x,y,\0\"\n\"\n", 9), 2, {"x", "y"}, 9},
        {"full table, ending blocks away", "x,y," + Repeat('z', 300) + "\"\n\"" + Repeat('w', 100) + "\nv", 2,
         {"x", "y"}, 408},
    });
}

// A record's ending against block boundaries, and fields that fill their
// row just before it: the CR of a CR LF that straddles two blocks was stored
// with the first unless the row had no room left for it.
TEST_P(EveryKernel, RecordEndingsMeetBlockBoundariesAndFullRows)
{
    std::vector<RecordCase> cases;
    for (int at : {15, 16, 31, 32, 63, 64, 127, 128}) {
        const std::string x = Repeat('x', at), where = " at byte " + std::to_string(at);
        cases.push_back({"LF" + where, x + "\nb", 4, {x}, at + 1});
        cases.push_back({"CR LF" + where, x + "\r\nb", 4, {x}, at + 2});
        cases.push_back({"CR LF after a quote" + where, Repeat('x', at - 1) + "\"\r\n\"\r\nb", 4,
                         {Repeat('x', at - 1) + "\r\n"}, at + 5});
        cases.push_back({"quoted LF" + where, "\"" + x + "\n\",y\n", 4, {x + "\n", "y"}, at + 6});
        cases.push_back({"separator then LF" + where, x + ",\nb", 4, {x, ""}, at + 2});
        cases.push_back({"NUL then LF" + where, x + std::string("\0\n", 2), 4, {x}, at + 2});
    }
    const std::string full = Repeat('x', FIELD_SIZE - 1);
    cases.push_back({"CR LF behind a full row", full + "\r\n", 2, {full}, FIELD_SIZE + 1});
    cases.push_back({"CR that fills the row", Repeat('x', FIELD_SIZE - 2) + "\r\n", 2,
                     {Repeat('x', FIELD_SIZE - 2)}, FIELD_SIZE});
    cases.push_back({"CR kept, CR of the ending dropped", Repeat('x', FIELD_SIZE - 2) + "\r\r\n", 2,
                     {Repeat('x', FIELD_SIZE - 2) + "\r"}, FIELD_SIZE + 1});
    cases.push_back({"long quoted field with line breaks", "a,\"" + Repeat('\n', 3000) + "\"\r\nb", 3,
                     {"a", Repeat('\n', FIELD_SIZE - 1)}, 3006});
    ExpectRecords(GetParam(), cases);
}

// A buffer of many records, walked from its start as a reader of a file
// would, each record's split and length checked against the model.
TEST_P(EveryKernel, WalksABufferOfRecords)
{
    if (GetParam().way != Way::record && GetParam().way != Way::fields && GetParam().way != Way::index)
        return;
    std::string text;
    for (int k = 0; k < 300; k++) {
        text += std::to_string(k * 7919) + ",\"a " + Repeat(',', k % 70) + (k % 3 ? "\n" : "") + "\"";
        text += k % 5 ? "," + Repeat('y', k * 13 % 150) : "";
        text += k % 4 ? "\n" : "\r\n";
    }
    if (GetParam().way == Way::index) {
        // Indexed from each call's next on, as a reader of a file would, with
        // tables that hold everything, a few records, or one at most.
        std::vector<int> walked;  // each record's start, walked one by one
        for (size_t at = 0; at < text.size(); at += static_cast<size_t>(ModelRecord(text.substr(at), 0).length))
            walked.push_back(static_cast<int>(at));
        ASSERT_EQ(walked.size(), 300u);
        const IndexShape shapes[] = {{',', 1000, 300, 0}, {',', 9, 4, 0}, {',', 3, 300, 0}};
        for (const IndexShape &shape : shapes) {
            for (int offset : {0, 1, 17, 63}) {
                SCOPED_TRACE("tables of " + std::to_string(shape.field_capacity) + " fields and " +
                             std::to_string(shape.record_capacity) + " records, buffer at offset " +
                             std::to_string(offset));
                std::vector<int> starts;
                int calls = 0;
                for (size_t at = 0; at < text.size(); calls++) {
                    IndexFound found;
                    ASSERT_EQ(IndexMismatch(GetParam().kernel, text.substr(at), (offset + static_cast<int>(at)) % 64,
                                            shape, &found),
                              "") << "the call from byte " << at;
                    ASSERT_TRUE(found.full || found.next == static_cast<int>(text.size() - at));
                    ASSERT_GT(found.next, 0) << "no record fits the tables";
                    for (const int start : found.starts)
                        starts.push_back(start + static_cast<int>(at));
                    at += static_cast<size_t>(found.next);
                }
                EXPECT_EQ(starts, walked);
                if (shape.record_capacity == 300) {
                    EXPECT_EQ(calls, shape.field_capacity == 1000 ? 1 : 300);
                }
            }
        }
        return;
    }
    for (int offset : {0, 1, 17, 63}) {
        SCOPED_TRACE("buffer at offset " + std::to_string(offset));
        const PlacedCopy placed(text.data(), text.size(), offset);
        ASSERT_TRUE(placed.ok());
        char *copy = placed.at();
        int records = 0;
        for (size_t at = 0; at < text.size(); records++) {
            const ModelRecordResult want = ModelRecord(text.substr(at), 4);
            int length = -1;
            if (GetParam().way == Way::fields) {
                const ModelFieldsResult positions = ModelFields(text.substr(at), ',', 4);
                GuardedFields table(4);
                const int count = GetParam().kernel.fields(copy + at, static_cast<int>(text.size() - at), ',',
                                                           table.Entries(), 4, &length);
                ASSERT_EQ(table.Mismatch(count, positions.fields), "") << "record " << records << " at byte " << at;
            } else {
                GuardedTable table(4);
                const int count = GetParam().kernel.record(copy + at, static_cast<int>(text.size() - at), table.Rows(), 4, &length);
                ASSERT_EQ(table.Mismatch(count, want.fields), "") << "record " << records << " at byte " << at;
            }
            ASSERT_EQ(length, want.length) << "record " << records << " at byte " << at;
            ASSERT_GT(length, 0);
            at += static_cast<size_t>(length);
        }
        EXPECT_EQ(records, 300);
    }
    // The same buffer cut into chunks, summarised and resolved: record
    // starts fall on chunk edges, inside quotes, between CR and LF.
    if (GetParam().way == Way::record)
        for (const int size : {1, 2, 3, 7, 63, 64, 65, 100, 1000, 100000}) {
            SCOPED_TRACE("chunks of " + std::to_string(size) + " bytes");
            ASSERT_EQ(ResolvedChunksMismatch(GetParam().kernel, text, static_cast<size_t>(size)), "");
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

// Quotes at every position of a 64-byte block, and so of every 8-byte group
// a block is packed by: alone, doubled, in a run, and between every byte.
TEST_P(EveryKernel, DropsQuotesAtEveryPosition)
{
    std::vector<Case> cases;
    for (int at = 0; at < 72; at++) {
        const std::string x = Repeat('x', at), where = " at byte " + std::to_string(at);
        cases.push_back({"quote" + where, x + "\"ab,c\"d,e", 4, {x + "ab,cd", "e"}});
        cases.push_back({"doubled quote" + where, x + "\"\"y,\"z\"", 4, {x + "y", "z"}});
        cases.push_back({"run of five quotes" + where, x + "\"\"\"\"\"a,b\",c", 4, {x + "a,b", "c"}});
        cases.push_back({"quote between every byte" + where, x + "a\"b\"c\"d\"e\"f\"g\"h\",i", 4,
                         {x + "abcdefgh", "i"}});
        cases.push_back({"quoted fields" + where, x + ",\"a\",\"\",\"b\"\"c\",\"\"\"\"", 6, {x, "a", "", "bc", ""}});
        cases.push_back({"quotes before a separator" + where, x + "a\"\",b\"\"\",c\"", 4, {x + "a", "b,c"}});
    }
    ExpectSplits(GetParam(), cases);
}

// Quotes that fill a whole 64-byte block just after a separator: the run
// of quotes reaches the block's end, where counting it found the lowest
// bit of nothing (undefined; the address and UB sanitizers' build aborts).
TEST_P(EveryKernel, RegressionQuotesFillABlockAfterASeparator)
{
    ExpectSplits(GetParam(), {
        {"64 quotes after a separator at a block's end", Repeat('x', 63) + "," + Repeat('"', 64) + "y,z", 4,
         {Repeat('x', 63), "y", "z"}},
        {"128 quotes after a separator at a block's end", Repeat('x', 63) + "," + Repeat('"', 128) + ",z", 4,
         {Repeat('x', 63), "", "z"}},
    });
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

struct PositionCase {
    std::string what;
    std::string text;
    char separator;
    int capacity;
    std::vector<csv_line_field> fields;
    int length;
};

// Runs each row through a position entry at every offset from a 64-byte
// boundary, after checking it against the model; other entries skip it.
// The index runs them too, in the shape SweepShape gives each offset.
void ExpectPositions(const Entry &entry, const std::vector<PositionCase> &cases)
{
    if (entry.way != Way::fields && entry.way != Way::index)
        return;
    for (const PositionCase &c : cases) {
        const ModelFieldsResult model = ModelFields(c.text, c.separator, c.capacity);
        ASSERT_EQ(model.fields, c.fields) << c.what << " (the model)";
        ASSERT_EQ(model.length, c.length) << c.what << " (the model)";
        for (int offset = 0; offset < 64; offset++) {
            SCOPED_TRACE(c.what + ", at offset " + std::to_string(offset));
            if (entry.way == Way::index)
                ASSERT_EQ(IndexMismatch(entry.kernel, c.text, offset, SweepShape(offset, c.separator, c.capacity)), "");
            else
                ASSERT_EQ(FieldsMismatch(entry.kernel, c.text, offset, c.separator, c.capacity), "");
        }
    }
}

TEST_P(EveryKernel, FindsWhereFieldsLie)
{
    const std::string long_field = Repeat('x', 5000);
    // Separators that fill whole blocks: more than sixteen a block.
    std::vector<csv_line_field> empties;
    for (int k = 0; k <= 70; k++)
        empties.push_back({k, 0, 0});
    ExpectPositions(GetParam(), {
        {"seventy separators in a row", Repeat(',', 70) + "\n", ',', 80, empties, 71},
        {"field longer than a row", "a," + long_field + ",b\n", ',', 4, {{0, 1, 0}, {2, 5000, 0}, {5003, 1, 0}}, 5005},
        {"quoted field longer than a row", "\"" + long_field + "\"\r\n", ',', 4, {{0, 5002, 2}}, 5004},
        {"separator between quotes", "\"a;b\";c\n", ';', 4, {{0, 5, 2}, {6, 1, 0}}, 8},
        {"comma is content with TAB", "a,b\tc\n", '\t', 4, {{0, 3, 0}, {4, 1, 0}}, 6},
        {"NUL is content", std::string("a\0b,c\n", 6), ',', 4, {{0, 3, 0}, {4, 1, 0}}, 6},
        {"NUL as the separator", std::string("a\0b,c\n", 6), '\0', 4, {{0, 1, 0}, {2, 3, 0}}, 6},
        {"doubled quotes counted", "\"say \"\"hi\"\"\",x\r\n", ',', 4, {{0, 12, 6}, {13, 1, 0}}, 16},
        {"full table, end still found", "a,b,\"c\n\",d\ne", ',', 2, {{0, 1, 0}, {2, 1, 0}}, 11},
        {"table filled by one block's separators", "a,b,c,d\n", ',', 3, {{0, 1, 0}, {2, 1, 0}, {4, 1, 0}}, 8},
        {"table filled by one block's quoted fields", "\"a\",b,\"\"\"\",d\n", ',', 3,
         {{0, 3, 2}, {4, 1, 0}, {6, 4, 4}}, 13},
        {"one entry, end blocks away", "a," + long_field + "\n", ',', 1, {{0, 1, 0}}, 5003},
        {"zero entries", "a,\"\n\"\nb", ',', 0, {}, 6},
        {"empty record", "\n", ',', 4, {{0, 0, 0}}, 1},
        {"empty fields around the ending", ";\r\n", ';', 4, {{0, 0, 0}, {1, 0, 0}}, 3},
    });
}

struct IndexCase {
    std::string what;
    std::string text;
    IndexShape shape;
    std::vector<int> starts;  // each indexed record's start
    int next;
    int full;
};

// Runs each row through the index at every offset from a 64-byte boundary,
// checked by IndexMismatch, and against the row's own records, next and
// full; other entries skip it.
void ExpectIndexes(const Entry &entry, const std::vector<IndexCase> &cases)
{
    if (entry.way != Way::index)
        return;
    for (const IndexCase &c : cases)
        for (int offset = 0; offset < 64; offset++) {
            SCOPED_TRACE(c.what + ", at offset " + std::to_string(offset));
            IndexFound found;
            ASSERT_EQ(IndexMismatch(entry.kernel, c.text, offset, c.shape, &found), "");
            EXPECT_EQ(found.starts, c.starts);
            EXPECT_EQ(found.next, c.next);
            EXPECT_EQ(found.full, c.full);
        }
}

TEST_P(EveryKernel, IndexesEveryRecord)
{
    const IndexShape roomy = {',', 128, 16, 0};
    const std::string x62 = Repeat('x', 62);
    ExpectIndexes(GetParam(), {
        {"empty text", "", roomy, {}, 0, 0},
        {"several records in one block", "a,b\nc\n\nd,e,f\n", roomy, {0, 4, 6, 7}, 13, 0},
        {"CR LF endings", "a\r\nb,c\r\n\r\n", roomy, {0, 3, 8}, 10, 0},
        {"CR LF across a block's end", x62 + ",\r\ny\r\n", roomy, {0, 65}, 68, 0},
        {"CR alone is content", "a\r\r\nb\rc\n", roomy, {0, 4}, 8, 0},
        {"quoted LFs are content", "\"x\ny\",z\nw\"\n\"\n", roomy, {0, 8}, 13, 0},
        {"empty records", "\n\n\r\n\n", roomy, {0, 1, 2, 4}, 5, 0},
        {"a text ending without LF", "a\nb,c", roomy, {0}, 2, 0},
        {"a quote left open", "a\n\"b\nc\n", roomy, {0}, 2, 0},
        {"records past blocks", "a," + Repeat('z', 200) + "\nb\n" + Repeat(',', 70) + "\n", roomy,
         {0, 203, 205}, 276, 0},
        {"starting between quotes", "x\n\",y\nz\n", {',', 64, 16, 1}, {0, 6}, 8, 0},
        {"starting between quotes, never leaving them", "x\ny,z\n", {',', 64, 16, 1}, {}, 0, 0},
        {"semicolons", "a;\"b;c\"\r\nd;e\n", {';', 64, 16, 0}, {0, 9}, 13, 0},
        {"TAB", "a\tb,c\n\t\n", {'\t', 64, 16, 0}, {0, 6}, 8, 0},
        {"NUL as content", std::string("a\0b,c\n\0\n\0", 9), roomy, {0, 6}, 8, 0},
        {"NUL as the separator", std::string("a\0b\nc\0\n", 7), {'\0', 64, 16, 0}, {0, 4}, 7, 0},
        {"field table full at an LF", "a,b\nc,d\n", {',', 3, 16, 0}, {0}, 4, 1},
        {"field table exactly full", "a,b\nc,d\n", {',', 4, 16, 0}, {0, 4}, 8, 0},
        {"field table full, nothing after", "a,b\nc", {',', 2, 16, 0}, {0}, 4, 0},
        {"separators overflow a record that does not end", "a\nb,c,d", {',', 2, 16, 0}, {0}, 2, 1},
        {"field table full in the first record", "a,b,c\nd\n", {',', 2, 16, 0}, {}, 0, 1},
        {"no field table", "a\n", {',', 0, 16, 0}, {}, 0, 1},
        {"no field table, no field end", "abc", {',', 0, 16, 0}, {}, 0, 0},
        {"record table full", "a\nb\nc", {',', 64, 1, 0}, {0}, 2, 1},
        {"record table full, last record not ending", "a\nb,c", {',', 64, 1, 0}, {0}, 2, 0},
        {"no record table", "a,b\n", {',', 64, 0, 0}, {}, 0, 1},
        {"negative capacities", "a,b\n", {',', -1, -1, 0}, {}, 0, 1},
        {"the quote refused", "a,b\n", {'"', 64, 16, 0}, {}, 0, 0},
        {"LF refused", "a,b\n", {'\n', 64, 16, 0}, {}, 0, 0},
        {"CR refused", "a,b\r\n", {'\r', 64, 16, 0}, {}, 0, 0},
    });
}

// Records of one to four fields against tables of every size up to what
// they need in all, with the text at every offset: a table fills at every
// record, and at every field of each.
TEST_P(EveryKernel, IndexesUntilATableFills)
{
    if (GetParam().way != Way::index)
        return;
    std::string text;
    for (int k = 0; k < 12; k++)
        text += Repeat('a', k * 5 % 11) + Repeat(',', k % 4) + (k % 3 == 1 ? "\"q\n\"" : "") +
                (k % 2 ? "\r\n" : "\n");
    text += "tail,t";
    for (int fields = 0; fields <= 32; fields++)
        for (int records = 0; records <= 13; records++)
            for (int offset = 0; offset < 64; offset += 7) {
                SCOPED_TRACE(std::to_string(fields) + " fields, " + std::to_string(records) + " records, offset " +
                             std::to_string(offset));
                ASSERT_EQ(IndexMismatch(GetParam().kernel, text, offset, {',', fields, records, 0}), "");
            }
}

// A field's content by the splitting rule, and its value as RFC 4180
// readers give it, or -1 where it is not well formed for them.
TEST(Fields, ContentAndValue)
{
    struct Row {
        std::string field, content;
        int value_length;  // -1: not well formed
        std::string value;
    };
    const std::vector<Row> rows = {
        {"abc", "abc", 3, "abc"},
        {"", "", 0, ""},
        {"\"x,y\"", "x,y", 3, "x,y"},
        {"\"say \"\"hi\"\"\"", "say hi", 8, "say \"hi\""},
        {"\"\"", "", 0, ""},
        {"\"\"\"\"", "", 1, "\""},
        {"\"\"\"\"\"\"", "", 2, "\"\""},
        {"12\" pipe", "12 pipe", -1, ""},
        {"\"a\"b", "ab", -1, ""},
        {"a\"\"b", "ab", -1, ""},
        {"\"a", "a", -1, ""},
        {"\"", "", -1, ""},
        {"\"a\"\"", "a", -1, ""},
        {"\"a\"\"\"b\"", "ab", -1, ""},
        {std::string("\"a\0b\"", 5), std::string("a\0b", 3), 3, std::string("a\0b", 3)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE("field [" + row.field + "]");
        // The field as the position entry finds it, in a text of its own.
        csv_line_field field;
        ASSERT_EQ(parse_csv_fields(row.field.data(), static_cast<int>(row.field.size()), ',', &field, 1, nullptr), 1);
        ASSERT_EQ(field.length, static_cast<int>(row.field.size()));
        // Written whole, then cut at each size: always a NUL after what
        // fits, and not one byte past out_size.
        for (int size = 0; size <= static_cast<int>(row.field.size()) + 1; size++) {
            std::string out(static_cast<size_t>(size) + 1, '#');
            ASSERT_EQ(csv_line_field_content(row.field.data(), &field, &out[0], size), static_cast<int>(row.content.size()));
            const size_t kept = std::min(row.content.size(), static_cast<size_t>(std::max(size - 1, 0)));
            EXPECT_EQ(out, size == 0 ? "#" : row.content.substr(0, kept) + '\0' + std::string(static_cast<size_t>(size) - kept, '#'))
                << "content into " << size << " bytes";
            out.assign(static_cast<size_t>(size) + 1, '#');
            ASSERT_EQ(csv_line_field_value(row.field.data(), &field, &out[0], size), row.value_length);
            const size_t value_kept = std::min(row.value.size(), static_cast<size_t>(std::max(size - 1, 0)));
            EXPECT_EQ(out, size == 0 || row.value_length < 0
                               ? std::string(static_cast<size_t>(size) + 1, '#')
                               : row.value.substr(0, value_kept) + '\0' + std::string(static_cast<size_t>(size) - value_kept, '#'))
                << "value into " << size << " bytes";
        }
    }
}

}  // namespace
