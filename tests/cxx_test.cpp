// The writer, and the C++ header over the reader and the writer: what each
// writes byte for byte, what reads back, conversions of fields, and the
// reader's sources, names and errors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "csv_line.hpp"

namespace {

// Where threads cannot start (qemu-i386 here), readers run on one.
#ifdef CSV_LINE_TEST_ONE_THREAD
const std::vector<int> kThreadCounts = {1};
#else
const std::vector<int> kThreadCounts = {1, 2, 4};
#endif

using Rows = std::vector<std::vector<std::string>>;

std::string Show(const std::string &bytes)
{
    std::string shown;
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c == '\n')
            shown += "\\n";
        else if (c == '\r')
            shown += "\\r";
        else if (c < 32 || c >= 127)
            shown += "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
        else
            shown += byte;
    }
    return shown;
}

std::vector<csv_text> Texts(const std::vector<std::string> &fields)
{
    std::vector<csv_text> texts;
    for (const std::string &f : fields)
        texts.push_back(csv_text{f.data(), static_cast<int>(f.size())});
    return texts;
}

std::string WriteRecord(const std::vector<std::string> &fields, char separator)
{
    const std::vector<csv_text> texts = Texts(fields);
    const int count = static_cast<int>(texts.size());
    const size_t size = csv_write_record(nullptr, 0, texts.data(), count, separator);
    std::string out(size, '\0');
    EXPECT_EQ(csv_write_record(out.data(), out.size(), texts.data(), count, separator), size);
    return out;
}

// Every record of the text, as values, without a header.
Rows ReadBack(std::string_view text, char separator)
{
    Rows rows;
    csv_line::reader in(text, csv_line::options().header(false).separator(separator));
    for (const auto &row : in) {
        rows.emplace_back();
        for (const auto &f : row)
            rows.back().push_back(std::string(f.value()));
    }
    return rows;
}

// ---------------------------------------------------------------- writer, C

struct WriteCase {
    std::string what;
    std::vector<std::string> fields;
    char separator;
    std::string want;
};

const std::vector<WriteCase> kWrites = {
    {"plain", {"a", "bc", "d e"}, ',', "a,bc,d e\n"},
    {"the separator inside", {"a,b", "c"}, ',', "\"a,b\",c\n"},
    {"a quote inside, doubled", {"say \"hi\"", "x"}, ',', "\"say \"\"hi\"\"\",x\n"},
    {"a lone quote", {"\""}, ',', "\"\"\"\"\n"},
    {"CR", {"a\rb"}, ',', "\"a\rb\"\n"},
    {"LF", {"two\nlines", "z"}, ',', "\"two\nlines\",z\n"},
    {"CR LF at the end", {"a\r\n"}, ',', "\"a\r\n\"\n"},
    {"one empty field", {""}, ',', "\"\"\n"},
    {"empty fields among others", {"", "a", "", ""}, ',', ",a,,\n"},
    {"two empty fields", {"", ""}, ',', ",\n"},
    {"no field", {}, ',', "\n"},
    {"another separator: a comma is plain", {"a,b", "c;d"}, ';', "a,b;\"c;d\"\n"},
    {"TAB as separator", {"a\tb", "c d"}, '\t', "\"a\tb\"\tc d\n"},
    {"spaces are not quoted", {" a ", "b "}, ',', " a ,b \n"},
    {"UTF-8 as it is", {"\xc3\xa9t\xc3\xa9", "\xe2\x82\xac" "5"}, ',', "\xc3\xa9t\xc3\xa9,\xe2\x82\xac" "5\n"},
    {"NUL is content", {std::string("a\0b", 3)}, ',', std::string("a\0b\n", 4)},
    {"a quote at each end", {"\"x\""}, ',', "\"\"\"x\"\"\"\n"},
};

TEST(WriteRecord, RecordBytes)
{
    for (const WriteCase &c : kWrites) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Show(WriteRecord(c.fields, c.separator)), Show(c.want));
    }
}

// Each field alone is the record's bytes between its separators, and is
// quoted the same whether or not it stands alone.
TEST(WriteRecord, FieldBytesMatchTheRecord)
{
    for (const WriteCase &c : kWrites) {
        SCOPED_TRACE(c.what);
        if (c.fields.size() == 1 && c.fields[0].empty())
            continue; // the record's own rule
        std::string joined;
        for (size_t k = 0; k < c.fields.size(); k++) {
            const std::string &f = c.fields[k];
            std::string one(csv_write_field(nullptr, 0, f.data(), f.size(), c.separator), '\0');
            EXPECT_EQ(csv_write_field(one.data(), one.size(), f.data(), f.size(), c.separator), one.size());
            joined += (k > 0 ? std::string(1, c.separator) : "") + one;
        }
        EXPECT_EQ(Show(joined + "\n"), Show(c.want));
    }
}

// At every size from nothing to more than enough, the bytes written are
// the record's first ones, nothing past out_size changes, and the result
// is the whole length.
TEST(WriteRecord, BoundedLikeSnprintf)
{
    for (const WriteCase &c : kWrites) {
        const std::vector<csv_text> texts = Texts(c.fields);
        const int count = static_cast<int>(texts.size());
        for (size_t size = 0; size <= c.want.size() + 2; size++) {
            SCOPED_TRACE(c.what + ", " + std::to_string(size) + " bytes of room");
            std::string buffer(size + 16, '\x5a');
            ASSERT_EQ(csv_write_record(buffer.data(), size, texts.data(), count, c.separator), c.want.size());
            const size_t written = std::min(size, c.want.size());
            EXPECT_EQ(Show(buffer.substr(0, written)), Show(c.want.substr(0, written)));
            EXPECT_EQ(buffer.substr(written), std::string(buffer.size() - written, '\x5a'));
            if (c.fields.size() == 1) {
                const std::string &f = c.fields[0];
                std::string field_buffer(size + 16, '\x5a');
                const size_t whole = csv_write_field(field_buffer.data(), size, f.data(), f.size(), c.separator);
                EXPECT_EQ(field_buffer.substr(std::min(size, whole)),
                          std::string(field_buffer.size() - std::min(size, whole), '\x5a'));
            }
        }
    }
}

TEST(WriteRecord, NegativeLengthIsEmpty)
{
    const csv_text fields[2] = {{"a", 1}, {"b", -5}};
    char out[8];
    ASSERT_EQ(csv_write_record(out, sizeof out, fields, 2, ','), 3u);
    EXPECT_EQ(std::string(out, 3), "a,\n");
}

// Records of hard fields, and of fields made of the bytes that matter,
// read back by the reader as the fields written.
TEST(WriteRecord, ReadBackByTheReader)
{
    std::vector<std::vector<std::string>> records;
    for (const WriteCase &c : kWrites)
        if (!c.fields.empty())
            records.push_back(c.fields);
    const std::string alphabet[] = {"a", "b", ",", ";", "\t", "\"", "\r", "\n", " ", "\xc3\xa9", std::string(1, '\0'), "\"\""};
    unsigned state = 12345;
    const auto next = [&state](unsigned below) {
        state = state * 1103515245u + 12345u;
        return (state >> 16) % below;
    };
    for (int r = 0; r < 400; r++) {
        std::vector<std::string> fields(1 + next(5));
        for (std::string &f : fields)
            for (unsigned n = next(7); n > 0; n--)
                f += alphabet[next(sizeof alphabet / sizeof alphabet[0])];
        records.push_back(fields);
    }
    for (const char separator : {',', ';', '\t', '|'}) {
        SCOPED_TRACE(std::string("separator ") + Show(std::string(1, separator)));
        std::string text;
        for (const auto &fields : records)
            text += WriteRecord(fields, separator);
        const Rows got = ReadBack(text, separator);
        ASSERT_EQ(got.size(), records.size());
        for (size_t r = 0; r < records.size(); r++) {
            SCOPED_TRACE("record " + std::to_string(r));
            EXPECT_EQ(got[r], records[r]);
        }
    }
}

// ---------------------------------------------------------------- writer, C++

TEST(CxxWriter, FieldsOfEveryKind)
{
    const std::string name = "b,c";
    const char *none = nullptr;
    struct Case {
        std::string what;
        std::function<void(csv_line::writer &)> write;
        std::string want;
    };
    const std::vector<Case> cases = {
        {"strings of every kind", [&](csv_line::writer &w) { w.row("a", name, std::string_view("q\""), none); },
         "a,\"b,c\",\"q\"\"\",\n"},
        {"integers", [](csv_line::writer &w) { w.row(0, -7, 18446744073709551615ull, std::int8_t{-128}); },
         "0,-7,18446744073709551615,-128\n"},
        {"floating, shortest", [](csv_line::writer &w) { w.row(2.5, 0.1 + 0.2, 1e22, -0.0, 1.5f); },
         "2.5,0.30000000000000004,1e+22,-0,1.5\n"},
        {"not finite", [](csv_line::writer &w) {
             w.row(std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                   std::numeric_limits<double>::quiet_NaN());
         },
         "inf,-inf,nan\n"},
        {"bool and char", [](csv_line::writer &w) { w.row(true, false, 'x', ','); }, "true,false,x,\",\"\n"},
        {"one empty field", [](csv_line::writer &w) { w.row(""); }, "\"\"\n"},
        {"no field", [](csv_line::writer &w) { w.row(); }, "\n"},
        {"a vector of strings", [](csv_line::writer &w) { w.row(std::vector<std::string>{"x", "", "y z"}); },
         "x,,y z\n"},
        {"a list", [](csv_line::writer &w) { w.row({"p", "q;r"}); }, "p,q;r\n"},
        {"a vector of numbers", [](csv_line::writer &w) { w.row(std::vector<double>{1, 0.5, -3}); }, "1,0.5,-3\n"},
        {"one string is one field", [](csv_line::writer &w) { w.row(std::string("abc")); }, "abc\n"},
        {"chained", [](csv_line::writer &w) { w.row("a").row(1).row("b", 2); }, "a\n1\nb,2\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::ostringstream out;
        {
            csv_line::writer w(out);
            c.write(w);
        }
        EXPECT_EQ(Show(out.str()), Show(c.want));
    }
}

TEST(CxxWriter, SeparatorAndRowsReadBack)
{
    std::ostringstream out;
    csv_line::writer w(out, ';');
    w.row("a;b", "c,d", 3).flush();
    EXPECT_EQ(out.str(), "\"a;b\";c,d;3\n");
    const std::string text = "h1,h2\n1,\"x \"\"y\"\"\"\n2,\"a\nb\"\n";
    csv_line::reader in{std::string_view(text)};
    std::ostringstream copy;
    {
        csv_line::writer c(copy);
        c.row(in.columns());
        for (const auto &row : in)
            c.row(row);
    }
    EXPECT_EQ(copy.str(), text);
}

// Every double written reads back as the same bits, and every float.
TEST(CxxWriter, NumbersRoundTripExactly)
{
    std::vector<double> values = {0.1, 1.0 / 3, 1e-300, 5e-324, std::numeric_limits<double>::max(),
                                  std::numeric_limits<double>::lowest(), -0.0, 123456789012345678.0,
                                  std::nextafter(1.0, 2.0), 2.2250738585072014e-308, 1e-45, 3.4028234663852886e38};
    std::uint64_t bits = 0x9e3779b97f4a7c15ull;
    while (values.size() < 2000) {
        bits ^= bits << 13, bits ^= bits >> 7, bits ^= bits << 17;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d))
            values.push_back(values.size() % 2 == 0 || d == 0 ? d : std::ldexp(d, -std::ilogb(d) + static_cast<int>(bits % 200) - 100));
    }
    // A float for each double within a float's range.
    const auto in_float_range = [](double d) { return std::fabs(d) <= std::numeric_limits<float>::max(); };
    std::ostringstream out;
    {
        csv_line::writer w(out);
        w.row("value", "float");
        for (const double d : values)
            if (in_float_range(d))
                w.row(d, static_cast<float>(d));
            else
                w.row(d, "");
    }
    const std::string text = out.str();
    csv_line::reader in{std::string_view(text)};
    size_t k = 0;
    for (const auto &row : in) {
        ASSERT_LT(k, values.size());
        SCOPED_TRACE(std::string(row[0].value()) + ", " + std::string(row[1].value()));
        const double d = row["value"].as<double>();
        EXPECT_EQ(std::memcmp(&d, &values[k], sizeof d), 0);
        const std::optional<float> f = row["float"].to<float>();
        if (in_float_range(values[k])) {
            const float want = static_cast<float>(values[k]);
            ASSERT_TRUE(f.has_value());
            EXPECT_EQ(std::memcmp(&*f, &want, sizeof want), 0);
        } else {
            EXPECT_FALSE(f.has_value());
        }
        k++;
    }
    EXPECT_EQ(k, values.size());
}

TEST(CxxWriter, WriteErrorsThrow)
{
    struct Case {
        std::string what;
        const char *path;
        const char *mode;
        int system;
    };
    const std::vector<Case> cases = {
        {"a stream opened for reading", "/dev/null", "r", EBADF},
        {"a full device", "/dev/full", "w", ENOSPC},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::FILE *file = std::fopen(c.path, c.mode);
        if (file == nullptr) {
            std::printf("skipped: %s cannot be opened here\n", c.path);
            continue;
        }
        try {
            csv_line::writer w(file);
            w.row("a", "b");
            w.flush();
            ADD_FAILURE() << "no error";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.code(), CSV_ERROR_IO);
            EXPECT_EQ(e.system(), c.system) << e.what();
        }
        std::fclose(file);
    }
    std::ostringstream bad;
    bad.setstate(std::ios::badbit);
    csv_line::writer w(bad);
    w.row("x");
    EXPECT_THROW(w.flush(), csv_line::error);
    for (const char separator : {'"', '\n', '\r'}) {
        try {
            csv_line::writer refused(stdout, separator);
            ADD_FAILURE() << "separator " << static_cast<int>(separator) << " taken";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.code(), CSV_ERROR_OPTIONS);
        }
    }
}

// A record longer than the writer's buffer goes out whole, after what was
// buffered before it.
TEST(CxxWriter, RecordsLongerThanTheBuffer)
{
    const std::string big(200000, 'x');
    std::ostringstream out;
    {
        csv_line::writer w(out);
        w.row("first").row(big, "\"").row("last");
    }
    EXPECT_EQ(out.str(), "first\n" + big + ",\"\"\"\"\nlast\n");
}

// ---------------------------------------------------------------- conversions

// A field's text, converted to `type`: the value as to_chars writes it, or
// the error's message without its line and column.
std::string Convert(const csv_line::field &f, const std::string &type)
{
    const auto shown = [](auto value) {
        if constexpr (std::is_floating_point_v<decltype(value)>) {
            char out[64];
            return std::string(out, std::to_chars(out, out + sizeof out, value).ptr);
        } else {
            return std::to_string(value);
        }
    };
    // to<T>() says nothing where as<T>() throws, and the same value elsewhere.
    const auto both = [&](auto kind) -> std::string {
        using T = decltype(kind);
        const std::optional<T> quiet = f.to<T>();
        try {
            const T value = f.as<T>();
            EXPECT_TRUE(quiet.has_value());
            if (quiet) {
                EXPECT_EQ(shown(*quiet), shown(value));
            }
            return shown(value);
        } catch (const csv_line::error &e) {
            EXPECT_FALSE(quiet.has_value());
            EXPECT_EQ(e.code(), csv_line::error::conversion);
            EXPECT_EQ(e.line(), f.line());
            EXPECT_EQ(e.column(), f.column());
            EXPECT_EQ(e.text(), f.value());
            const std::string where = "line " + std::to_string(f.line()) + ": column " + std::to_string(f.column()) + ": ";
            EXPECT_EQ(std::string(e.what()).substr(0, where.size()), where);
            return std::string(e.what()).substr(where.size());
        }
    };
    if (type == "int8") return both(std::int8_t{});
    if (type == "uint8") return both(std::uint8_t{});
    if (type == "int16") return both(std::int16_t{});
    if (type == "int32") return both(std::int32_t{});
    if (type == "uint32") return both(std::uint32_t{});
    if (type == "int64") return both(std::int64_t{});
    if (type == "uint64") return both(std::uint64_t{});
    if (type == "float") return both(float{});
    if (type == "double") return both(double{});
    if (type == "long double") return both(static_cast<long double>(0));
    if (type == "bool") return both(bool{});
    if (type == "string") return f.as<std::string>();
    ADD_FAILURE() << "no type " << type;
    return "";
}

struct ConversionCase {
    std::string text; // the field's value, written quoted where it must be
    std::string type;
    std::string want;
};

const bool kLongDoubleHolds1e400 = std::numeric_limits<long double>::max_exponent10 >= 400;

const std::vector<ConversionCase> kConversions = {
    {"127", "int8", "127"},
    {"-128", "int8", "-128"},
    {"128", "int8", "'128' is out of range for an int8"},
    {"-129", "int8", "'-129' is out of range for an int8"},
    {"255", "uint8", "255"},
    {"256", "uint8", "'256' is out of range for a uint8"},
    {"-1", "uint8", "'-1' is not a uint8"},
    {"-0", "uint8", "'-0' is not a uint8"}, // from_chars takes no sign for unsigned types
    {"-32768", "int16", "-32768"},
    {"2147483647", "int32", "2147483647"},
    {"2147483648", "int32", "'2147483648' is out of range for an int32"},
    {"-2147483649", "int32", "'-2147483649' is out of range for an int32"},
    {"99999999999999999999999", "int32", "'99999999999999999999999' is out of range for an int32"},
    {"4294967295", "uint32", "4294967295"},
    {"9223372036854775807", "int64", "9223372036854775807"},
    {"-9223372036854775808", "int64", "-9223372036854775808"},
    {"9223372036854775808", "int64", "'9223372036854775808' is out of range for an int64"},
    {"18446744073709551615", "uint64", "18446744073709551615"},
    {"18446744073709551616", "uint64", "'18446744073709551616' is out of range for a uint64"},
    {"-0", "int32", "0"},
    {"007", "int32", "7"},
    {" 1", "int32", "' 1' is not an int32"},
    {"1 ", "int32", "'1 ' is not an int32"},
    {"+1", "int32", "'+1' is not an int32"},
    {"", "int32", "'' is not an int32"},
    {"0x1A", "int32", "'0x1A' is not an int32"},
    {"1.5", "int32", "'1.5' is not an int32"},
    {"1e3", "int32", "'1e3' is not an int32"},
    {"1,5", "int32", "'1,5' is not an int32"},
    {"2.5", "double", "2.5"},
    {"-0", "double", "-0"},
    {".5", "double", "0.5"},
    {"5.", "double", "5"},
    {"1E3", "double", "1000"},
    {"1e400", "double", "'1e400' is out of range for a double"},
    {"-1e400", "double", "'-1e400' is out of range for a double"},
    {"1e-400", "double", "'1e-400' is out of range for a double"}, // from_chars: no digit would be left
    {"5e-324", "double", "5e-324"},
    {"0x1A", "double", "'0x1A' is not a double"}, // general format: "0" read, then "x1A" left over
    {"1e", "double", "'1e' is not a double"},
    {" 1.5", "double", "' 1.5' is not a double"},
    {"", "double", "'' is not a double"},
    {"nan", "double", "nan"}, // from_chars takes nan, inf and infinity, in any case
    {"NaN", "double", "nan"},
    {"inf", "double", "inf"},
    {"-Infinity", "double", "-inf"},
    {"infinite", "double", "'infinite' is not a double"},
    {"3.4028235e38", "float", "3.4028235e+38"},
    {"1e39", "float", "'1e39' is out of range for a float"},
    {"1e400", "long double", kLongDoubleHolds1e400 ? "1e+400" : "'1e400' is out of range for a long double"},
    {"true", "bool", "1"},
    {"0", "bool", "0"},
    {"TRUE", "bool", "'TRUE' is not a bool"},
    {"yes", "bool", "'yes' is not a bool"},
    {"say \"hi\"", "string", "say \"hi\""},
    {"a\nb", "string", "a\nb"},
};

TEST(CxxConversions, EveryTypeAndEveryError)
{
    // Each case is the second field of its own record, written by the
    // writer, so that its value is its text; its line is its index + 2.
    std::ostringstream out;
    {
        csv_line::writer w(out);
        w.row("case", "text");
        for (size_t k = 0; k < kConversions.size(); k++)
            w.row(k, kConversions[k].text);
    }
    const std::string text = out.str();
    csv_line::reader in{std::string_view(text)};
    size_t k = 0;
    for (const auto &row : in) {
        ASSERT_LT(k, kConversions.size());
        const ConversionCase &c = kConversions[k];
        SCOPED_TRACE("'" + Show(c.text) + "' as " + c.type);
        ASSERT_EQ(row["case"].as<size_t>(), k);
        EXPECT_EQ(Show(Convert(row["text"], c.type)), Show(c.want));
        k++;
    }
    EXPECT_EQ(k, kConversions.size());
}

// The error's text is the value, and its line the record's, for fields
// that hold quotes and line breaks.
TEST(CxxConversions, ErrorsNameTheRecord)
{
    const std::string_view text = "a,b\n1,\"x\n\"\"y\"\"\"\n";
    csv_line::reader in(text);
    for (const auto &row : in) {
        try {
            (void)row[1].as<int>();
            ADD_FAILURE() << "converted";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.line(), 2);
            EXPECT_EQ(e.column(), 2);
            EXPECT_EQ(e.text(), "x\n\"y\"");
            EXPECT_STREQ(e.what(), "line 2: column 2: 'x\n\"y\"' is not an int32");
        }
    }
}

// ---------------------------------------------------------------- reader

const std::string kSource = "\xef\xbb\xbfid,name,note\r\n"
                            "1,\"Smith, J.\",plain\r\n"
                            "2,\"two\nlines\",\"say \"\"hi\"\"\"\n"
                            "3,,\n"
                            "4,last,no ending";

const Rows kSourceRows = {{"1", "Smith, J.", "plain"}, {"2", "two\nlines", "say \"hi\""}, {"3", "", ""},
                          {"4", "last", "no ending"}};
const std::vector<long long> kSourceLines = {2, 3, 5, 6};

struct Read {
    Rows rows;
    std::vector<long long> lines, offsets;
    std::vector<std::string_view> columns;
};

Read ReadAll(csv_line::reader &in)
{
    Read r;
    r.columns = in.columns();
    for (const auto &row : in) {
        r.rows.emplace_back();
        for (size_t k = 0; k < row.size(); k++)
            r.rows.back().push_back(std::string(row[k].value()));
        r.lines.push_back(row.line());
        r.offsets.push_back(row.offset());
    }
    return r;
}

class TempFile {
public:
    explicit TempFile(const std::string &bytes)
    {
        char name[] = "/tmp/cxx_test_XXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        path_ = name;
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

TEST(CxxReader, EverySourceGivesTheSameRows)
{
    const TempFile file(kSource);
    struct Source {
        std::string what;
        std::function<csv_line::reader()> open;
    };
    std::FILE *stream = std::fopen(file.path().c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    const int fd = open(file.path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::istringstream in_memory(kSource);
    const std::vector<Source> sources = {
        {"bytes in memory", [] { return csv_line::reader(std::string_view(kSource)); }},
        {"a path as const char *", [&] { return csv_line::reader(file.path().c_str()); }},
        {"a path as std::string", [&] { return csv_line::reader(file.path()); }},
        {"a FILE *", [&] { return csv_line::reader(stream); }},
        {"a descriptor", [&] { return csv_line::reader::from_fd(fd); }},
        {"a std::istream", [&] { return csv_line::reader(in_memory); }},
        {"on threads", [] { return csv_line::reader(std::string_view(kSource), csv_line::options().threads(kThreadCounts.back())); }},
    };
    for (const Source &s : sources) {
        SCOPED_TRACE(s.what);
        csv_line::reader in = s.open();
        const Read got = ReadAll(in);
        EXPECT_EQ(got.columns, (std::vector<std::string_view>{"id", "name", "note"}));
        EXPECT_EQ(got.rows, kSourceRows);
        EXPECT_EQ(got.lines, kSourceLines);
        EXPECT_EQ(got.offsets, (std::vector<long long>{17, 38, 65, 69}));
    }
    std::fclose(stream);
    close(fd);
}

// An istream is read in blocks, whatever its size: a long input arrives
// whole, and a stream that fails part way is a read error.
TEST(CxxReader, IstreamOfManyBlocks)
{
    std::string text = "n,v\n";
    long long want = 0;
    for (int k = 0; k < 100000; k++) {
        text += std::to_string(k) + ",\"" + std::string(static_cast<size_t>(k % 7), 'q') + "\"\n";
        want += k;
    }
    std::istringstream stream(text);
    csv_line::reader in(stream);
    long long sum = 0, rows = 0;
    for (const auto &row : in) {
        sum += row["n"].as<long long>();
        rows++;
    }
    EXPECT_EQ(rows, 100000);
    EXPECT_EQ(sum, want);

    // A stream whose reads throw: the exception may not cross the C reader.
    struct Failing : std::streambuf {
        int_type underflow() override { throw std::runtime_error("device gone"); }
    } failing;
    std::istream broken(&failing);
    broken.exceptions(std::ios::badbit);
    try {
        csv_line::reader r(broken, csv_line::options().header(false));
        for (const auto &row : r)
            (void)row;
        ADD_FAILURE() << "no error";
    } catch (const csv_line::error &e) {
        EXPECT_EQ(e.code(), CSV_ERROR_IO) << e.what();
    }
}

TEST(CxxReader, ColumnsByName)
{
    const std::string_view text = "sku,price,price,note\n7,1.5,9,x\n8,2.25,9\n";
    csv_line::reader in(text);
    EXPECT_EQ(in.column("price"), 1); // the first of that name
    EXPECT_EQ(in.column("note"), 3);
    EXPECT_EQ(in.column("none"), -1);
    double total = 0;
    std::vector<std::string> notes;
    for (const auto &row : in) {
        total += row["price"].as<double>();
        EXPECT_EQ(row["sku"].column(), 1);
        try {
            notes.push_back(std::string(row["note"].value()));
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.code(), csv_line::error::no_field);
            EXPECT_EQ(e.line(), 3);
            EXPECT_EQ(e.column(), 4);
            EXPECT_STREQ(e.what(), "line 3: no field 4 ('note'): the record has 3");
        }
        try {
            (void)row["Price"];
            ADD_FAILURE() << "a name not in the header";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.code(), csv_line::error::no_column);
            EXPECT_STREQ(e.what(), "no column named 'Price' in the header");
        }
        EXPECT_THROW((void)row[4], csv_line::error);
        EXPECT_THROW((void)row[static_cast<size_t>(-1)], csv_line::error);
    }
    EXPECT_DOUBLE_EQ(total, 3.75);
    EXPECT_EQ(notes, std::vector<std::string>{"x"});
}

// A name looked up from a buffer that later holds another name of the same
// length finds the other name's column, not the one remembered for the
// buffer.
TEST(CxxReader, NamesFromAReusedBuffer)
{
    csv_line::reader in(std::string_view("aa,bb,cc\n1,2,3\n"));
    for (const auto &row : in) {
        std::string name = "aa";
        for (const char *other : {"bb", "cc", "aa", "bb"}) {
            const std::string was = name;
            const int at = row[name].as<int>();
            EXPECT_EQ(at, was == "aa" ? 1 : was == "bb" ? 2 : 3) << was;
            name.assign(other);
        }
        char buffer[3] = "cc";
        EXPECT_EQ(row[std::string_view(buffer, 2)].as<int>(), 3);
        std::memcpy(buffer, "aa", 2);
        EXPECT_EQ(row[std::string_view(buffer, 2)].as<int>(), 1);
    }
}

TEST(CxxReader, WithoutHeader)
{
    csv_line::reader in(std::string_view("a,b\nc,d\n"), csv_line::options().header(false));
    EXPECT_TRUE(in.columns().empty());
    int rows = 0;
    for (const auto &row : in) {
        rows++;
        try {
            (void)row["a"];
            ADD_FAILURE() << "a name without a header";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.code(), csv_line::error::no_column);
            EXPECT_STREQ(e.what(), "no header names column 'a'");
        }
    }
    EXPECT_EQ(rows, 2);
}

// A strict reader hands over the records before a problem, then throws an
// error that names its line and field; opening a reader throws for what
// stops it at once.
TEST(CxxReader, ErrorsCarryLineAndField)
{
    struct Case {
        std::string what;
        std::string text;
        csv_line::options options;
        size_t rows_before;
        int code;
        long long line;
        int column;
    };
    const std::vector<Case> cases = {
        {"quotes inside an unquoted field", "a,b\n1,2\n3,x\"y\"z\n4,5\n", {}, 1, CSV_ERROR_MALFORMED, 3, 2},
        {"bytes after a closing quote", "a,b\n\"1\"x,2\n", {}, 0, CSV_ERROR_MALFORMED, 2, 1},
        {"a quote left open", "a,b\n1,2\n3,\"open\n4\n", {}, 1, CSV_ERROR_UNCLOSED, 3, 0},
        {"a record over the limit", "a\n1\n" + std::string(5000, 'x') + "\n2\n", csv_line::options().record_limit(1024), 1,
         CSV_ERROR_TOO_LONG, 3, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        size_t rows = 0;
        try {
            csv_line::reader in(std::string_view(c.text), c.options);
            for (const auto &row : in) {
                (void)row;
                rows++;
            }
            ADD_FAILURE() << "no error";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.code(), c.code) << e.what();
            EXPECT_EQ(e.line(), c.line) << e.what();
            EXPECT_EQ(e.column(), c.column) << e.what();
            const std::string starts = "line " + std::to_string(c.line) + ": ";
            EXPECT_EQ(std::string(e.what()).substr(0, starts.size()), starts);
            EXPECT_TRUE(e.text().empty());
        }
        EXPECT_EQ(rows, c.rows_before);
    }

    try {
        csv_line::reader in("/nonexistent/file.csv");
        ADD_FAILURE() << "opened";
    } catch (const csv_line::error &e) {
        EXPECT_EQ(e.code(), CSV_ERROR_IO);
        EXPECT_EQ(e.system(), ENOENT);
    }
    for (const char separator : {'"', '\n', '\r'}) {
        try {
            csv_line::reader in(std::string_view("a\n"), csv_line::options().separator(separator));
            ADD_FAILURE() << "separator " << static_cast<int>(separator) << " taken";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.code(), CSV_ERROR_OPTIONS);
        }
    }
    try {
        csv_line::reader in(std::string_view("a,\"b\"c\n1,2\n"));
        ADD_FAILURE() << "a bad header taken";
    } catch (const csv_line::error &e) {
        EXPECT_EQ(e.code(), CSV_ERROR_MALFORMED);
        EXPECT_EQ(e.line(), 1);
    }
}

TEST(CxxReader, LenientFlagsAndReadsOn)
{
    csv_line::reader in(std::string_view("a,b\n1,x\"y\"z\n2,3\n"), csv_line::options().lenient(true));
    std::vector<int> flags;
    std::vector<bool> malformed;
    for (const auto &row : in) {
        flags.push_back(row.flags());
        malformed.push_back(row[1].malformed());
        if (row.flags() & CSV_RECORD_MALFORMED) {
            EXPECT_EQ(row[1].raw(), "x\"y\"z");
            EXPECT_EQ(row[1].value(), "xyz"); // the content by the splitting rule
        }
    }
    EXPECT_EQ(flags, (std::vector<int>{CSV_RECORD_MALFORMED, 0}));
    EXPECT_EQ(malformed, (std::vector<bool>{true, false}));
}

TEST(CxxReader, MovedReaderGoesOn)
{
    csv_line::reader first(std::string_view("n\n1\n2\n3\n"));
    auto it = first.begin();
    ASSERT_EQ((*it)["n"].as<int>(), 1);
    csv_line::reader second = std::move(first);
    ++it; // rows point at what the reader owns, which moved with it
    EXPECT_EQ(it->operator[]("n").as<int>(), 2);
    int last = 0;
    for (const auto &row : second)
        last = row[0].as<int>();
    EXPECT_EQ(last, 3);
}

// A loop left by break, another loop and for_each after them: every row
// is handed once, in order up to for_each.
TEST(CxxReader, LoopsGoOnWhereTheLastStopped)
{
    std::string text = "n\n";
    for (int k = 1; k <= 30000; k++)
        text += std::to_string(k) + "\n";
    for (const int threads : kThreadCounts) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        csv_line::reader in(std::string_view(text), csv_line::options().threads(threads));
        std::vector<int> seen;
        for (const int stop : {1, 2, 20000}) {
            for (const auto &row : in) {
                seen.push_back(row[0].as<int>());
                if (seen.back() == stop)
                    break;
            }
        }
        std::mutex mutex;
        long long rest = 0, count = 0;
        in.for_each([&](const csv_line::batch &b) {
            long long sum = 0;
            for (const auto &row : b)
                sum += row[0].as<int>();
            const std::lock_guard<std::mutex> lock(mutex);
            rest += sum;
            count += static_cast<long long>(b.size());
        });
        EXPECT_EQ(seen.size(), 20000u);
        for (size_t k = 0; k < seen.size(); k++)
            ASSERT_EQ(seen[k], static_cast<int>(k) + 1);
        EXPECT_EQ(count, 10000);
        EXPECT_EQ(rest, 30000LL * 30001 / 2 - 20000LL * 20001 / 2);
        int after = 0;
        for (const auto &row : in)
            after += row[0].as<int>();
        EXPECT_EQ(after, 0);
    }
}

// ---------------------------------------------------------------- for_each

std::string ManyRecords(int count)
{
    std::string text = "id,price,note\n";
    for (int k = 1; k <= count; k++)
        text += std::to_string(k) + "," + std::to_string(k) + ".25,\"n" + std::to_string(k % 10) + "\"\n";
    return text;
}

TEST(CxxForEach, EveryRecordOnceOnEveryThreadCount)
{
    const int count = 50000;
    const std::string text = ManyRecords(count);
    for (const int threads : kThreadCounts) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        csv_line::reader in(std::string_view(text), csv_line::options().threads(threads));
        std::mutex mutex;
        std::set<long long> sequences;
        std::atomic<long long> records{0}, ids{0};
        double prices = 0;
        EXPECT_TRUE(in.for_each([&](const csv_line::batch &b) {
            long long id_sum = 0;
            double price_sum = 0;
            for (const auto &row : b) {
                id_sum += row["id"].as<long long>();
                price_sum += row["price"].as<double>();
                EXPECT_EQ(row.line(), row["id"].as<long long>() + 1);
            }
            records += static_cast<long long>(b.size());
            ids += id_sum;
            const std::lock_guard<std::mutex> lock(mutex);
            EXPECT_TRUE(sequences.insert(b.sequence()).second);
            prices += price_sum;
        }));
        EXPECT_EQ(records.load(), count);
        EXPECT_EQ(ids.load(), static_cast<long long>(count) * (count + 1) / 2);
        EXPECT_EQ(prices, static_cast<double>(count) * (count + 1) / 2 + 0.25 * count);
        ASSERT_FALSE(sequences.empty());
        EXPECT_EQ(*sequences.begin(), 0);
        EXPECT_EQ(*sequences.rbegin(), static_cast<long long>(sequences.size()) - 1);
    }
}

TEST(CxxForEach, ExceptionsAndStops)
{
    const std::string text = ManyRecords(20000) + "x,1.5,n\n";
    struct Mine {
        long long line;
    };
    for (const int threads : kThreadCounts) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        // A conversion error inside fn comes out as itself.
        csv_line::reader in(std::string_view(text), csv_line::options().threads(threads));
        try {
            in.for_each([](const csv_line::batch &b) {
                for (const auto &row : b)
                    (void)row["id"].as<int>();
            });
            ADD_FAILURE() << "no exception";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.code(), csv_line::error::conversion);
            EXPECT_EQ(e.line(), 20002);
            EXPECT_EQ(e.text(), "x");
        }
        // Any exception type, thrown from one batch.
        csv_line::reader again(std::string_view(text), csv_line::options().threads(threads));
        try {
            again.for_each([](const csv_line::batch &b) {
                for (const auto &row : b)
                    if (row["id"].value() == "15000")
                        throw Mine{row.line()};
            });
            ADD_FAILURE() << "no exception";
        } catch (const Mine &m) {
            EXPECT_EQ(m.line, 15001);
        }
        // false stops the handing.
        csv_line::reader stopped(std::string_view(text), csv_line::options().threads(threads));
        EXPECT_FALSE(stopped.for_each([](const csv_line::batch &) { return false; }));
        // A reading error after some batches.
        const std::string bad = ManyRecords(20000) + "1,\"2\"x,3\n";
        csv_line::reader strict(std::string_view(bad), csv_line::options().threads(threads));
        try {
            strict.for_each([](const csv_line::batch &) {});
            ADD_FAILURE() << "no error";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.code(), CSV_ERROR_MALFORMED);
            EXPECT_EQ(e.line(), 20002);
            EXPECT_EQ(e.column(), 2);
        }
    }
}

} // namespace
