// Tables: the columns and types a text reads as, its errors, the same
// table from every source and thread count, and its export to Arrow.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "csv_line.h"
#include "packings.h"

namespace {

// Where threads cannot start (qemu-i386 here), tables are read on one, and
// no pipe is fed by a thread of the test's.
#ifdef CSV_LINE_TEST_ONE_THREAD
const std::vector<int> thread_counts = {1};
#else
const std::vector<int> thread_counts = {1, 2, 3, 8};
#endif

struct Spec {
    const char *name;
    int index;
    int type;
    int required;
};

struct Options {
    int header = 1;
    int dates = 0;
    char separator = 0;
    bool only = false;
    std::vector<Spec> specs;
    long long first_line = 0;
    int threads = 1;
};

csv_line_table_options c_options(const Options &given, std::vector<csv_line_column_spec> *specs)
{
    for (const Spec &s : given.specs)
        specs->push_back({s.name, s.index, s.type, s.required});
    csv_line_table_options o{};
    o.reader.header = given.header;
    o.reader.separator = given.separator;
    o.reader.threads = given.threads;
    o.columns = specs->empty() ? nullptr : specs->data();
    o.column_count = static_cast<int>(specs->size());
    o.only_columns = given.only;
    o.infer_dates = given.dates;
    o.first_line = given.first_line;
    return o;
}

const char *const type_names[] = {"?", "int64", "float64", "bool", "text", "date", "timestamp"};

bool present(const csv_line_column &c, long long r)
{
    return c.validity == nullptr || (c.validity[r / 8] >> (r % 8) & 1);
}

// The table as a line of text: each column's name, type and cells, NA
// where missing; or the error.
std::string Show(const csv_line_table *t)
{
    const csv_line_error *e = csv_line_table_error(t);
    if (e->code != CSV_LINE_OK)
        return "error " + std::to_string(e->code) + " line " + std::to_string(e->line) + " field " +
               std::to_string(e->field) + ": " + e->message;
    std::string out;
    for (int k = 0; k < csv_line_table_column_count(t); k++) {
        csv_line_column c;
        EXPECT_EQ(csv_line_table_column(t, k, &c), 0);
        EXPECT_EQ(c.rows, csv_line_table_rows(t));
        out += (k > 0 ? "; " : "") + std::string(c.name.data, static_cast<size_t>(c.name.length)) + ":" +
               type_names[c.type];
        long long missing = 0;
        for (long long r = 0; r < c.rows; r++) {
            char cell[64];
            if (c.type == CSV_LINE_TYPE_TEXT) {
                const int64_t *at = static_cast<const int64_t *>(c.values);
                EXPECT_TRUE(at[r] <= at[r + 1] && (present(c, r) || at[r] == at[r + 1]))
                    << "text offsets rise, and stay where a cell is missing: row " << r;
            }
            if (!present(c, r)) {
                out += " NA";
                missing++;
                continue;
            }
            switch (c.type) {
            case CSV_LINE_TYPE_INT64:
            case CSV_LINE_TYPE_TIMESTAMP:
                std::snprintf(cell, sizeof cell, " %" PRId64, static_cast<const int64_t *>(c.values)[r]);
                break;
            case CSV_LINE_TYPE_FLOAT64: std::snprintf(cell, sizeof cell, " %.17g", static_cast<const double *>(c.values)[r]); break;
            case CSV_LINE_TYPE_DATE: std::snprintf(cell, sizeof cell, " %" PRId32, static_cast<const int32_t *>(c.values)[r]); break;
            case CSV_LINE_TYPE_BOOL:
                std::snprintf(cell, sizeof cell, " %d", static_cast<const unsigned char *>(c.values)[r / 8] >> (r % 8) & 1);
                break;
            default: {
                const int64_t *at = static_cast<const int64_t *>(c.values);
                out += " [" + std::string(c.data + at[r], static_cast<size_t>(at[r + 1] - at[r])) + "]";
                continue;
            }
            }
            out += cell;
        }
        EXPECT_EQ(missing, c.missing) << out;
    }
    return out;
}

std::string ReadShow(const std::string &text, const Options &given)
{
    std::vector<csv_line_column_spec> specs;
    const csv_line_table_options o = c_options(given, &specs);
    csv_line_table *t = csv_line_table_read_memory(text.data(), text.size(), &o);
    std::string shown = Show(t);
    csv_line_table_close(t);
    return shown;
}

Options Typed(std::vector<Spec> specs, bool only = false)
{
    Options o;
    o.specs = std::move(specs);
    o.only = only;
    return o;
}

Options NoHeader()
{
    Options o;
    o.header = 0;
    return o;
}

Options Dates()
{
    Options o;
    o.dates = 1;
    return o;
}

struct Row {
    const char *name;
    std::string text;
    Options options;
    std::string want;
};

TEST(Table, ReadsEachColumnAsItsType)
{
    const Row rows[] = {
        {"one of each", "i,f,b,t\n1,2.5,true,x\n-2,1e3,False,y\n", {}, "i:int64 1 -2; f:float64 2.5 1000; b:bool 1 0; t:text [x] [y]"},
        {"ints then a float", "a\n1\n2\n0.5\n", {}, "a:float64 1 2 0.5"},
        {"a missing int stays int", "a,b\n1,x\n,y\n3,z\n", {}, "a:int64 1 NA 3; b:text [x] [y] [z]"},
        // Each batch of one kind, neither text: the text was never made.
        {"an int batch then a bool batch are text", "a\n0\ntrue", {}, "a:text [0] [true]"},
        {"ints then a word are text, spelled as written", "a\n007\n+1\nabc\n", {}, "a:text [007] [+1] [abc]"},
        {"no cell present is text", "a,b\n,1\n,2\n", {}, "a:text NA NA; b:int64 1 2"},
        {"blank lines are no rows", "a\n\n1\n\n\n2\n", {}, "a:int64 1 2"},
        {"short rows miss their last cells", "a,b,c\n1\n2,3\n", {}, "a:int64 1 2; b:int64 NA 3; c:text NA NA"},
        {"without a header, names count from 1", "1,x\n2,y\n", NoHeader(), "1:int64 1 2; 2:text [x] [y]"},
        {"without a header, a blank first line", "\n\n5,6\n", NoHeader(), "1:int64 5; 2:int64 6"},
        {"numbers with blanks and signs", "a,b\n 7 ,+1.5\n\t-3\t,-inf\n", {}, "a:int64 7 -3; b:float64 1.5 -inf"},
        {"a spelled NaN is text", "a\n1.5\nnan\n", {}, "a:text [1.5] [nan]"},
        {"a number too large for a double is text", "a\n1\n1e400\n", {}, "a:text [1] [1e400]"},
        {"an int too large for int64 is a float", "a\n1\n99999999999999999999\n", {}, "a:float64 1 1e+20"},
        {"quoted cells are their values", "a,b\n\"1\",\"x,\"\"y\"\"\"\n\"2\",\"line\nbreak\"\n", {},
         "a:int64 1 2; b:text [x,\"y\"] [line\nbreak]"},
        {"bools in three cases only", "a,b\nTRUE,true\nfalse,tRuE\n", {}, "a:bool 1 0; b:text [true] [tRuE]"},
        {"CRLF endings", "a,b\r\n1,x\r\n2,y\r\n", {}, "a:int64 1 2; b:text [x] [y]"},
        {"dates are text unless asked", "d\n2024-03-01\n", {}, "d:text [2024-03-01]"},
        {"dates when asked", "d\n1970-01-02\n2024-02-29\n", Dates(), "d:date 1 19782"},
        {"dates and timestamps are timestamps", "d\n1970-01-02\n1970-01-01T00:00:01.5Z\n", Dates(),
         "d:timestamp 86400000000 1500000"},
        {"a date and a word are text", "d\n2024-03-01\nsoon\n", Dates(), "d:text [2024-03-01] [soon]"},
        {"a type asked keeps the spelling", "a,b\n007,1\n", Typed({{"a", 0, CSV_LINE_TYPE_TEXT, 0}}), "a:text [007]; b:int64 1"},
        {"an int asked as float", "a\n1\n2\n", Typed({{nullptr, 0, CSV_LINE_TYPE_FLOAT64, 0}}), "a:float64 1 2"},
        {"columns chosen by name, in that order", "a,b,c\n1,x,2.5\n", Typed({{"c", 0, 0, 0}, {"a", 0, 0, 0}}, true),
         "c:float64 2.5; a:int64 1"},
        {"columns chosen by index", "a,b\n1,x\n", Typed({{nullptr, 1, 0, 0}}, true), "b:text [x]"},
        {"a header alone", "a,b\n", {}, "a:text; b:text"},
        {"nothing at all", "", {}, ""},
        {"another separator", "a;b\n1,5;2\n", [] { Options o; o.separator = ';'; return o; }(), "a:text [1,5]; b:int64 2"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ReadShow(row.text, row.options), row.want);
    }
}

TEST(Table, ErrorsSayTheFirstProblemInInputOrder)
{
    Options first_line;
    first_line.first_line = 10;
    first_line.specs = {{"a", 0, CSV_LINE_TYPE_INT64, 0}};
    const Row rows[] = {
        {"a cell not of the type asked", "a\n1\nx\n", Typed({{"a", 0, CSV_LINE_TYPE_INT64, 0}}),
         "error 16 line 3 field 1: line 3: column 'a': 'x' is not an int64"},
        {"an empty cell where one is required", "a,b\n1,2\n3,\n", Typed({{"b", 0, CSV_LINE_TYPE_INFER, 1}}),
         "error 16 line 3 field 2: line 3: column 'b': an empty cell"},
        {"a record wider than the header", "a,b\n1,2\n1,2,3\n", {}, "error 17 line 3 field 0: line 3: 3 fields, 2 expected"},
        {"a record wider than the first", "1\n2,3\n", NoHeader(), "error 17 line 2 field 0: line 2: 2 fields, 1 expected"},
        {"a name the header lacks", "a\n1\n", Typed({{"b", 0, 0, 0}}),
         "error 18 line 0 field 0: column 'b' is not in the header"},
        {"an index past the header", "a\n1\n", Typed({{nullptr, 3, 0, 0}}, true), "error 18 line 0 field 0: column 4: the input has 1"},
        {"a type that is none", "a\n1\n", Typed({{"a", 0, 99, 0}}),
         "error 3 line 0 field 0: a column type that is none of csv_line_type"},
        {"the reader's own error", "a\n1\n\"x\"y\n", {},
         "error 6 line 3 field 1: line 3: field 1: a quote inside an unquoted field or after a closing quote"},
        // Blank lines alone stopped the reading before the error came.
        {"blank lines, then the reader's error", "\n\na\"b\n", NoHeader(),
         "error 5 line 3 field 1: line 3: field 1: quote not closed by the end of the input"},
        {"lines counted from first_line", "a\n1\nx\n", first_line,
         "error 16 line 12 field 1: line 12: column 'a': 'x' is not an int64"},
        // The reader's message kept its own count.
        {"the reader's lines counted from first_line too", "a,b\n1,2\n3,x\"y\"\n", [] { Options o; o.first_line = 10; return o; }(),
         "error 6 line 12 field 2: line 12: field 2: a quote inside an unquoted field or after a closing quote"},
        {"the cell shown is cut before a character", "a\n1\n" + std::string(39, 'x') + "\xc3\xa9\n",
         Typed({{"a", 0, CSV_LINE_TYPE_INT64, 0}}),
         "error 16 line 3 field 1: line 3: column 'a': '" + std::string(39, 'x') + "' is not an int64"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ReadShow(row.text, row.options), row.want);
    }
}

// Numbers of every shape read as strtoll and strtod read them, to the bit.
TEST(Table, NumbersReadAsTheCLibraryReadsThem)
{
    std::mt19937_64 random(7);
    std::vector<std::string> ints = {"0", "-0", "9223372036854775807", "-9223372036854775808", "00000000000000000000042",
                                     "-00000000000000000000042", "1234567890123456789"};
    std::vector<std::string> reals = {"0.1", "1.", ".5", "-.5", "1e22", "1e23", "9007199254740993", "9007199254740992.0",
                                      "0.000000000000000000000001", "123456789012345678901234", "1e-300", "4.9e-324",
                                      "2.2250738585072011e-308", "1.7976931348623157e308", "-0.0", "1E+5", "inf",
                                      "-Infinity", "0000000000000000000000.5"};
    for (int k = 0; k < 20000; k++) {
        std::string digits = std::to_string((random() >> 1) >> (random() % 63));
        ints.push_back((random() % 2 ? "-" : "") + digits);
        std::string real = digits;
        if (random() % 3)
            real.insert(static_cast<size_t>(random() % (real.size() + 1)), ".");
        if (random() % 4 == 0)
            real += "e" + std::string(random() % 2 ? "-" : "") + std::to_string(random() % 40);
        reals.push_back((random() % 2 ? "-" : "") + real);
    }
    std::string text = "i,r\n";
    for (size_t k = 0; k < std::max(ints.size(), reals.size()); k++)
        text += (k < ints.size() ? ints[k] : "") + "," + (k < reals.size() ? reals[k] : "") + "\n";
    Options options;
    std::vector<csv_line_column_spec> specs;
    const csv_line_table_options o = c_options(options, &specs);
    csv_line_table *t = csv_line_table_read_memory(text.data(), text.size(), &o);
    csv_line_column i, r;
    ASSERT_EQ(csv_line_table_column(t, 0, &i), 0);
    ASSERT_EQ(csv_line_table_column(t, 1, &r), 0);
    ASSERT_EQ(i.type, CSV_LINE_TYPE_INT64);
    ASSERT_EQ(r.type, CSV_LINE_TYPE_FLOAT64);
    for (size_t k = 0; k < ints.size(); k++) {
        SCOPED_TRACE(ints[k]);
        EXPECT_EQ(static_cast<const int64_t *>(i.values)[k], std::strtoll(ints[k].c_str(), nullptr, 10));
    }
    for (size_t k = 0; k < reals.size(); k++) {
        SCOPED_TRACE(reals[k]);
        const double want = std::strtod(reals[k].c_str(), nullptr), got = static_cast<const double *>(r.values)[k];
        EXPECT_EQ(std::memcmp(&want, &got, sizeof want), 0) << got << " " << want;
    }
    csv_line_table_close(t);
}

// A text of random columns: ints, floats, bools, words with quotes,
// commas and line breaks, dates, and columns that turn from numbers to
// text late; cells missing and blank lines here and there.
std::string RandomText(std::mt19937 &random, int rows)
{
    const int columns = 1 + static_cast<int>(random() % 6);
    std::vector<int> kinds(static_cast<size_t>(columns));
    std::string text;
    for (int c = 0; c < columns; c++) {
        kinds[static_cast<size_t>(c)] = static_cast<int>(random() % 6);
        text += (c > 0 ? "," : "") + std::string("c") + std::to_string(c);
    }
    text += "\n";
    for (int r = 0; r < rows; r++) {
        if (random() % 17 == 0)
            text += "\n";
        const int width = random() % 23 == 0 ? 1 + static_cast<int>(random() % static_cast<unsigned>(columns)) : columns;
        for (int c = 0; c < width; c++) {
            if (c > 0)
                text += ",";
            if (random() % 9 == 0)
                continue;
            const long long n = static_cast<long long>(random() % 2000) - 1000;
            switch (kinds[static_cast<size_t>(c)]) {
            case 0: text += std::to_string(n); break;
            case 1: text += std::to_string(n) + (random() % 3 ? ".25" : ""); break;
            case 2: text += random() % 2 ? "true" : "False"; break;
            case 3: text += random() % 3 ? "\"w" + std::to_string(n) + ",\"\"q\"\"\nx\"" : "w" + std::to_string(n); break;
            case 4: text += "20" + std::to_string(10 + random() % 20) + "-0" + std::to_string(1 + random() % 9) + "-1" +
                            std::to_string(random() % 9); break;
            default: text += r > rows * 9 / 10 && random() % 5 == 0 ? "late" : "0" + std::to_string(n + 1000); break;
            }
        }
        text += "\n";
    }
    return text;
}

enum class Source { MEMORY, PATH, FILE_FD, PIPE, FIFO };

std::string ReadFrom(const std::string &text, const Options &given, Source source)
{
    std::vector<csv_line_column_spec> specs;
    const csv_line_table_options o = c_options(given, &specs);
    csv_line_table *t = nullptr;
    if (source == Source::MEMORY) {
        t = csv_line_table_read_memory(text.data(), text.size(), &o);
    } else if (source == Source::PIPE || source == Source::FIFO) {
        // A path to a pipe is read as the pipe is: never opened again.
        char path[64] = "/tmp/table_test_fifo_XXXXXX";  // room for "/p" after the folder
        int ends[2] = {-1, -1};
        if (source == Source::FIFO) {
            EXPECT_NE(mkdtemp(path), nullptr);
            std::strcat(path, "/p");
            EXPECT_EQ(mkfifo(path, 0600), 0);
        } else {
            EXPECT_EQ(pipe(ends), 0);
        }
        std::thread writer([&] {
            const int to = source == Source::FIFO ? open(path, O_WRONLY) : ends[1];
            for (size_t at = 0; at < text.size();) {
                const ssize_t wrote = write(to, text.data() + at, std::min<size_t>(text.size() - at, 4096));
                if (wrote <= 0)
                    break;
                at += static_cast<size_t>(wrote);
            }
            close(to);
        });
        t = source == Source::FIFO ? csv_line_table_read_path(path, &o) : csv_line_table_read_fd(ends[0], &o);
        if (source == Source::PIPE)
            close(ends[0]);
        writer.join();
        if (source == Source::FIFO) {
            unlink(path);
            path[std::strlen(path) - 2] = '\0';
            rmdir(path);
        }
    } else {
        char path[] = "/tmp/table_test_XXXXXX";
        const int fd = mkstemp(path);
        EXPECT_GE(fd, 0);
        // A byte before the text: a descriptor is read from where it stands.
        EXPECT_EQ(write(fd, "#", 1), 1);
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        if (source == Source::PATH) {
            EXPECT_EQ(ftruncate(fd, 0), 0);
            EXPECT_EQ(pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
            t = csv_line_table_read_path(path, &o);
        } else {
            EXPECT_EQ(lseek(fd, 1, SEEK_SET), 1);
            t = csv_line_table_read_fd(fd, &o);
        }
        close(fd);
        unlink(path);
    }
    std::string shown = Show(t);
    csv_line_table_close(t);
    return shown;
}

// What a table of the text must be, worked out from the reader's values
// by another way: a column is int64 if strtoll reads every value present
// whole, float64 if strtod does, and so on.
std::string Model(const std::string &text, bool dates)
{
    csv_line_reader_options o{};
    o.header = 1;
    csv_line_reader *reader = csv_line_reader_open_memory(text.data(), text.size(), &o);
    const int columns = csv_line_reader_column_count(reader);
    std::vector<std::vector<std::string>> cells(static_cast<size_t>(columns));
    csv_line_batch batch;
    while (csv_line_reader_next(reader, &batch) > 0)
        for (int r = 0; r < batch.count; r++) {
            const csv_line_record &record = batch.records[r];
            if (record.count == 1 && batch.fields[record.field].length == 0)
                continue;
            for (int c = 0; c < columns; c++) {
                const csv_line_text v = c < record.count ? csv_line_batch_value(&batch, record.field + c) : csv_line_text{"", 0};
                cells[static_cast<size_t>(c)].emplace_back(v.data, static_cast<size_t>(v.length));
            }
        }
    std::string out;
    for (int c = 0; c < columns; c++) {
        const std::vector<std::string> &column = cells[static_cast<size_t>(c)];
        auto all = [&](auto reads) {
            bool any = false;
            for (const std::string &cell : column)
                if (!cell.empty()) {
                    any = true;
                    if (!reads(cell))
                        return false;
                }
            return any;
        };
        auto whole = [](const std::string &cell, auto parse) {
            char *end;
            errno = 0;
            parse(cell.c_str(), &end);
            return *end == '\0' && errno == 0;
        };
        const bool ints = all([&](const std::string &s) { return whole(s, [](const char *p, char **e) { return std::strtoll(p, e, 10); }); });
        const bool floats = all([&](const std::string &s) { return whole(s, [](const char *p, char **e) { return std::strtod(p, e); }); });
        const bool bools = all([](const std::string &s) { return s == "true" || s == "False"; });
        const bool days = dates && all([](const std::string &s) { return s.size() == 10 && s[4] == '-' && s[7] == '-'; });
        const char *type = ints ? "int64" : floats ? "float64" : bools ? "bool" : days ? "date" : "text";
        out += (c > 0 ? "; " : "") + std::string("c") + std::to_string(c) + ":" + type;
        for (const std::string &cell : column) {
            char shown[64];
            if (cell.empty())
                out += " NA";
            else if (ints)
                out += " " + std::to_string(std::strtoll(cell.c_str(), nullptr, 10));
            else if (floats)
                out += (std::snprintf(shown, sizeof shown, " %.17g", std::strtod(cell.c_str(), nullptr)), shown);
            else if (bools)
                out += cell == "true" ? " 1" : " 0";
            else if (days) {
                struct tm when{};
                when.tm_year = std::atoi(cell.c_str()) - 1900;
                when.tm_mon = std::atoi(cell.c_str() + 5) - 1;
                when.tm_mday = std::atoi(cell.c_str() + 8);
                out += " " + std::to_string(timegm(&when) / 86400);
            } else
                out += " [" + cell + "]";
        }
    }
    csv_line_reader_close(reader);
    return out;
}

TEST(Table, EqualsTheModelFromEverySourceAtEveryThreadCount)
{
    std::mt19937 random(20261210);
    for (int round = 0; round < 12; round++) {
        const std::string plain = RandomText(random, 50 + static_cast<int>(random() % 400));
        Options options;
        options.dates = round % 2;
        const std::string want = Model(plain, options.dates != 0);
        // Stored in turn as it is, in gzip members, in zstd and in UTF-16.
        const Packing packing = Packings()[static_cast<size_t>(round) % Packings().size()];
        const std::string text = Pack(plain, packing);
        for (Source source : {Source::MEMORY, Source::PATH, Source::FILE_FD, Source::PIPE, Source::FIFO})
            for (int threads : thread_counts)
                for (const char *part : {"7", "64", "1000000"}) {
                    if ((threads == 1 && part[0] != '7') ||
                        ((source == Source::PIPE || source == Source::FIFO) && thread_counts.size() == 1))
                        continue;
                    SCOPED_TRACE("round " + std::to_string(round) + ", " + packing_names[static_cast<int>(packing)] +
                                 ", source " +
                                 std::to_string(static_cast<int>(source)) + ", " + std::to_string(threads) +
                                 " threads, ranges of " + part + " bytes");
                    options.threads = threads;
                    setenv("CSV_LINE_PART_SIZE", part, 1);
                    const std::string got = ReadFrom(text, options, source);
                    unsetenv("CSV_LINE_PART_SIZE");
                    ASSERT_EQ(got, want) << plain;
                }
    }
}

// Columns of numbers that turn to text late are read again as text: a
// compressed or UTF-16 input from its start, in order (a pipe's from the
// bytes kept), at every thread count.
TEST(Table, ColumnsThatTurnToTextLateAreReadAgainFromEveryPacking)
{
    std::string text = "n,x,t\n";
    for (int r = 0; r < 3000; r++)
        text += std::to_string(r) + "," + std::to_string(r * 0.5) + (r % 11 == 0 ? ",\"\"\"q\"\"\"\n" : ",7\n");
    text += "late,1e3,text\n";
    Options options;
    const std::string want = ReadFrom(text, options, Source::MEMORY);
    ASSERT_EQ(want.compare(0, 7, "n:text "), 0) << want.substr(0, 200);
    for (Packing packing : Packings()) {
        const std::string packed = Pack(text, packing);
        for (Source source : {Source::MEMORY, Source::PATH, Source::FILE_FD, Source::PIPE})
            for (int threads : thread_counts) {
                if (source == Source::PIPE && thread_counts.size() == 1)
                    continue;  // its writer is a thread
                SCOPED_TRACE(std::string(packing_names[static_cast<int>(packing)]) + ", source " +
                             std::to_string(static_cast<int>(source)) + ", " + std::to_string(threads) + " threads");
                options.threads = threads;
                setenv("CSV_LINE_PART_SIZE", "500", 1);
                EXPECT_EQ(ReadFrom(packed, options, source), want);
                unsetenv("CSV_LINE_PART_SIZE");
            }
    }
}

TEST(Table, TheFirstErrorInInputOrderAtEveryThreadCount)
{
    std::string text = "a,b\n";
    for (int r = 0; r < 3000; r++)
        text += std::to_string(r) + "," + (r == 1700 ? "x" : r == 2500 ? "1,2" : std::to_string(r)) + "\n";
    for (int threads : thread_counts)
        for (const char *part : {"7", "100", "1000000"}) {
            SCOPED_TRACE(std::to_string(threads) + " threads, ranges of " + part);
            Options options = Typed({{"b", 0, CSV_LINE_TYPE_INT64, 0}});
            options.threads = threads;
            setenv("CSV_LINE_PART_SIZE", part, 1);
            EXPECT_EQ(ReadShow(text, options), "error 16 line 1702 field 2: line 1702: column 'b': 'x' is not an int64");
            unsetenv("CSV_LINE_PART_SIZE");
        }
}

// Walks an exported array as any consumer would: by the formats, the
// buffers and the children alone.
std::string Walk(const ArrowSchema &schema, const ArrowArray &array)
{
    std::string out;
    EXPECT_STREQ(schema.format, "+s");
    EXPECT_EQ(schema.n_children, array.n_children);
    for (int64_t k = 0; k < array.n_children; k++) {
        const ArrowSchema &s = *schema.children[k];
        const ArrowArray &a = *array.children[k];
        const uint8_t *validity = static_cast<const uint8_t *>(a.buffers[0]);
        out += (k > 0 ? "; " : "") + std::string(s.name) + ":" + s.format + " nulls " + std::to_string(a.null_count);
        for (int64_t r = 0; r < a.length; r++) {
            if (validity != nullptr && !(validity[r / 8] >> (r % 8) & 1)) {
                out += " NA";
                continue;
            }
            const std::string f = s.format;
            char cell[64];
            if (f == "l" || f == "tsu:UTC")
                std::snprintf(cell, sizeof cell, " %" PRId64, static_cast<const int64_t *>(a.buffers[1])[r]);
            else if (f == "g")
                std::snprintf(cell, sizeof cell, " %g", static_cast<const double *>(a.buffers[1])[r]);
            else if (f == "tdD")
                std::snprintf(cell, sizeof cell, " %" PRId32, static_cast<const int32_t *>(a.buffers[1])[r]);
            else if (f == "b")
                std::snprintf(cell, sizeof cell, " %d", static_cast<const uint8_t *>(a.buffers[1])[r / 8] >> (r % 8) & 1);
            else {
                const int64_t *at = static_cast<const int64_t *>(a.buffers[1]);
                std::snprintf(cell, sizeof cell, " [%.*s]", static_cast<int>(at[r + 1] - at[r]),
                              static_cast<const char *>(a.buffers[2]) + at[r]);
            }
            out += cell;
        }
    }
    return out;
}

TEST(Table, ExportsToArrowWithoutACopyAndOutlivesItsTable)
{
    const std::string text = "i,f,b,t,d,e\n1,2.5,true,x,2024-01-01,\n,0.5,false,\"y,z\",1970-01-01 00:00:01,\n";
    Options options = Dates();
    std::vector<csv_line_column_spec> specs;
    const csv_line_table_options o = c_options(options, &specs);
    csv_line_table *t = csv_line_table_read_memory(text.data(), text.size(), &o);
    ArrowSchema schema;
    ArrowArray array;
    ASSERT_EQ(csv_line_table_export(t, &schema, &array), 0);
    csv_line_column first;
    ASSERT_EQ(csv_line_table_column(t, 0, &first), 0);
    EXPECT_EQ(array.children[0]->buffers[1], first.values);
    ArrowArrayStream stream;
    ASSERT_EQ(csv_line_table_export_stream(t, &stream), 0);
    csv_line_table_close(t);  // what was exported holds the table's memory

    const std::string want = "i:l nulls 1 1 NA; f:g nulls 0 2.5 0.5; b:b nulls 0 1 0; t:U nulls 0 [x] [y,z]; "
                             "d:tsu:UTC nulls 0 1704067200000000 1000000; e:U nulls 2 NA NA";
    EXPECT_EQ(Walk(schema, array), want);
    // A consumer may keep a child and let go of the rest.
    ArrowArray kept = *array.children[3];
    array.children[3]->release = nullptr;
    array.release(&array);
    schema.release(&schema);
    EXPECT_EQ(std::string(static_cast<const char *>(kept.buffers[2]), 3), "xy,");
    kept.release(&kept);

    ArrowSchema from_stream;
    ASSERT_EQ(stream.get_schema(&stream, &from_stream), 0);
    ArrowArray next;
    ASSERT_EQ(stream.get_next(&stream, &next), 0);
    ASSERT_NE(next.release, nullptr);
    EXPECT_EQ(Walk(from_stream, next), want);
    next.release(&next);
    ASSERT_EQ(stream.get_next(&stream, &next), 0);
    EXPECT_EQ(next.release, nullptr);  // the stream's end
    from_stream.release(&from_stream);
    stream.release(&stream);
}

// The missing cells of a batch were marked in room for the rows up to the
// last missing one, and the rows after it read past that room.
TEST(Table, ValidityPastTheLastMissingCellOfABatch)
{
    std::string text = "a,b\n,0\n";
    std::string want = "a:int64 NA", zeros = "b:int64 0";
    for (int r = 0; r < 5000; r++) {
        text += std::to_string(r % 10) + ",0\n";
        want += " " + std::to_string(r % 10);
        zeros += " 0";
    }
    want += "; " + zeros;
    for (int threads : thread_counts) {
        Options options;
        options.threads = threads;
        EXPECT_EQ(ReadShow(text, options), want);
    }
}

// A text column's pieces of no cell present were left without offsets
// when a piece of no rows stood between them and the last text piece.
TEST(Table, MissingCellsAfterABatchOfBlankLinesInATextColumn)
{
    Options options;
    options.threads = thread_counts.back();
    setenv("CSV_LINE_PART_SIZE", "7", 1);
    EXPECT_EQ(ReadShow("a,b,c\ne,f\n\"g\r\n\"\n\nh", options), "a:text [e] [g\r\n] [h]; b:text [f] NA NA; c:text NA NA NA");
    unsetenv("CSV_LINE_PART_SIZE");
}

TEST(Table, ATableInErrorExportsNothing)
{
    csv_line_table_options o{};
    o.reader.header = 1;
    csv_line_table *t = csv_line_table_read_memory("a\n1,2\n", 6, &o);
    ArrowSchema schema{};
    ArrowArray array{};
    ArrowArrayStream stream{};
    EXPECT_EQ(csv_line_table_export(t, &schema, &array), EINVAL);
    EXPECT_EQ(csv_line_table_export_stream(t, &stream), EINVAL);
    EXPECT_EQ(schema.release, nullptr);
    EXPECT_EQ(csv_line_table_rows(t), 0);
    csv_line_column column;
    ASSERT_EQ(csv_line_table_column(t, 0, &column), 0);
    ASSERT_NE(column.values, nullptr);  // no rows, and yet an offset to read
    EXPECT_EQ(static_cast<const int64_t *>(column.values)[0], 0);
    csv_line_table_close(t);
}

}  // namespace
