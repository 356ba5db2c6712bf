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
        if (c == '\n' || c == '\r')
            shown += c == '\n' ? "\\n" : "\\r";
        else if (c < 32 || c >= 127)
            shown += "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
        else
            shown += byte;
    }
    return shown;
}

std::vector<csv_line_text> Texts(const std::vector<std::string> &fields)
{
    std::vector<csv_line_text> texts;
    for (const std::string &f : fields)
        texts.push_back(csv_line_text{f.data(), static_cast<int>(f.size())});
    return texts;
}

std::string WriteRecord(const std::vector<std::string> &fields, char separator)
{
    const std::vector<csv_line_text> texts = Texts(fields);
    const int count = static_cast<int>(texts.size());
    std::string out(csv_line_record_write(nullptr, 0, texts.data(), count, separator), '\0');
    EXPECT_EQ(csv_line_record_write(out.data(), out.size(), texts.data(), count, separator), out.size());
    return out;
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
    {"a quote at each end", {"\"x\""}, ',', "\"\"\"x\"\"\"\n"},
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
};

// Each record's bytes; each field alone is the record's bytes between its
// separators (but for the record of one empty field); and at every size
// from nothing to more than enough, what is written is the record's first
// bytes, nothing past out_size changes, and the result is the whole length.
TEST(WriteRecord, BytesAndBounds)
{
    for (const WriteCase &c : kWrites) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Show(WriteRecord(c.fields, c.separator)), Show(c.want));
        std::string joined;
        for (size_t k = 0; k < c.fields.size(); k++) {
            const std::string &f = c.fields[k];
            std::string one(csv_line_field_write(nullptr, 0, f.data(), f.size(), c.separator), '\0');
            EXPECT_EQ(csv_line_field_write(one.data(), one.size(), f.data(), f.size(), c.separator), one.size());
            joined += (k > 0 ? std::string(1, c.separator) : "") + one;
        }
        if (c.fields != std::vector<std::string>{""}) {
            EXPECT_EQ(Show(joined + "\n"), Show(c.want));
        }

        const std::vector<csv_line_text> texts = Texts(c.fields);
        for (size_t size = 0; size <= c.want.size() + 2; size++) {
            SCOPED_TRACE(std::to_string(size) + " bytes of room");
            std::string buffer(size + 16, '\x5a');
            ASSERT_EQ(csv_line_record_write(buffer.data(), size, texts.data(), static_cast<int>(texts.size()), c.separator),
                      c.want.size());
            const size_t written = std::min(size, c.want.size());
            EXPECT_EQ(Show(buffer.substr(0, written)), Show(c.want.substr(0, written)));
            EXPECT_EQ(buffer.substr(written), std::string(buffer.size() - written, '\x5a'));
        }
    }
}

// Records of hard fields, and of fields made of the bytes that matter,
// read back by the reader as the fields written.
TEST(WriteRecord, ReadBackByTheReader)
{
    Rows records;
    for (const WriteCase &c : kWrites)
        if (!c.fields.empty())
            records.push_back(c.fields);
    const std::string alphabet[] = {"a", ",", ";", "\t", "\"", "\r", "\n", " ", "\xc3\xa9", std::string(1, '\0'), "\"\""};
    unsigned state = 12345;
    const auto next = [&state](unsigned below) { return ((state = state * 1103515245u + 12345u) >> 16) % below; };
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
        Rows got;
        csv_line::reader in(std::string_view(text), csv_line::options().header(false).separator(separator));
        for (const auto &row : in) {
            got.emplace_back();
            for (const auto &f : row)
                got.back().push_back(std::string(f.value()));
        }
        ASSERT_EQ(got.size(), records.size());
        for (size_t r = 0; r < records.size(); r++)
            EXPECT_EQ(got[r], records[r]) << "record " << r;
    }
}

// ---------------------------------------------------------------- writer, C++

TEST(CxxWriter, FieldsOfEveryKind)
{
    const std::string name = "b,c", big(200000, 'x');
    const char *none = nullptr;
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::string what;
        char separator;
        std::function<void(csv_line::writer &)> write;
        std::string want;
    };
    const std::vector<Case> cases = {
        {"strings of every kind", ',', [&](auto &w) { w.row("a", name, std::string_view("q\""), none); },
         "a,\"b,c\",\"q\"\"\",\n"},
        {"integers", ',', [](auto &w) { w.row(0, -7, 18446744073709551615ull, std::int8_t{-128}); },
         "0,-7,18446744073709551615,-128\n"},
        {"floating, shortest", ',', [](auto &w) { w.row(2.5, 0.1 + 0.2, 1e22, -0.0, 1.5f); },
         "2.5,0.30000000000000004,1e+22,-0,1.5\n"},
        {"not finite", ',', [&](auto &w) { w.row(inf, -inf, std::numeric_limits<double>::quiet_NaN()); },
         "inf,-inf,nan\n"},
        {"bool and char", ',', [](auto &w) { w.row(true, false, 'x', ','); }, "true,false,x,\",\"\n"},
        {"one empty field", ',', [](auto &w) { w.row(""); }, "\"\"\n"},
        {"no field", ',', [](auto &w) { w.row(); }, "\n"},
        {"a vector of strings", ',', [](auto &w) { w.row(std::vector<std::string>{"x", "", "y z"}); }, "x,,y z\n"},
        {"a list", ',', [](auto &w) { w.row({"p", "q;r"}); }, "p,q;r\n"},
        {"a vector of numbers", ',', [](auto &w) { w.row(std::vector<double>{1, 0.5, -3}); }, "1,0.5,-3\n"},
        {"one string is one field", ',', [](auto &w) { w.row(std::string("abc")); }, "abc\n"},
        {"another separator", ';', [](auto &w) { w.row("a;b", "c,d", 3); }, "\"a;b\";c,d;3\n"},
        {"a record longer than the buffer, after what was buffered", ',',
         [&](auto &w) { w.row("first").row(big, "\"").row("last"); }, "first\n" + big + ",\"\"\"\"\nlast\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::ostringstream out;
        {
            csv_line::writer w(out, c.separator);
            c.write(w);
        }
        EXPECT_EQ(Show(out.str()), Show(c.want));
    }
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
        if (std::isfinite(d)) // every other one scaled near 1, where floats lie
            values.push_back(values.size() % 2 == 0 || d == 0 ? d : std::ldexp(d, -std::ilogb(d) + static_cast<int>(bits % 200) - 100));
    }
    const auto fits_float = [](double d) { return std::fabs(d) <= std::numeric_limits<float>::max(); };
    std::ostringstream out;
    {
        csv_line::writer w(out);
        w.row("value", "float");
        for (const double d : values)
            fits_float(d) ? w.row(d, static_cast<float>(d)) : w.row(d, "");
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
        ASSERT_EQ(f.has_value(), fits_float(values[k]));
        const float want = fits_float(values[k]) ? static_cast<float>(values[k]) : 0;
        if (f) {
            EXPECT_EQ(std::memcmp(&*f, &want, sizeof want), 0);
        }
        k++;
    }
    EXPECT_EQ(k, values.size());
}

TEST(CxxWriter, WriteErrorsThrow)
{
    const struct {
        const char *path, *mode;
        int system;
    } files[] = {{"/dev/null", "r", EBADF}, {"/dev/full", "w", ENOSPC}};
    for (const auto &c : files) {
        SCOPED_TRACE(c.path);
        std::FILE *file = std::fopen(c.path, c.mode);
        if (file == nullptr) {
            std::printf("skipped: %s cannot be opened here\n", c.path);
            continue;
        }
        try {
            csv_line::writer w(file);
            w.row("a", "b").flush();
            ADD_FAILURE() << "no error";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.code(), CSV_LINE_ERROR_IO);
            EXPECT_EQ(e.system(), c.system) << e.what();
        }
        std::fclose(file);
    }
    std::ostringstream bad;
    bad.setstate(std::ios::badbit);
    csv_line::writer w(bad);
    EXPECT_THROW(w.row("x").flush(), csv_line::error);
    for (const char separator : {'"', '\n', '\r'}) {
        try {
            csv_line::writer refused(stdout, separator);
            ADD_FAILURE() << "separator " << static_cast<int>(separator) << " taken";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.code(), CSV_LINE_ERROR_OPTIONS);
        }
    }
}

// ---------------------------------------------------------------- conversions

struct ConversionCase {
    std::string text; // the field's value
    std::string type;
    std::string want; // the value as to_chars writes it, or the error's message after its line and column
};

const std::vector<ConversionCase> kConversions = {
    {"127", "int8", "127"},
    {"-128", "int8", "-128"},
    {"128", "int8", "'128' is out of range for an int8"},
    {"-129", "int8", "'-129' is out of range for an int8"},
    {"255", "uint8", "255"},
    {"256", "uint8", "'256' is out of range for a uint8"},
    {"-1", "uint8", "'-1' is not a uint8"},
    {"-0", "uint8", "'-0' is not a uint8"}, // from_chars takes no sign for unsigned types
    {"2147483647", "int32", "2147483647"},
    {"2147483648", "int32", "'2147483648' is out of range for an int32"},
    {"-2147483649", "int32", "'-2147483649' is out of range for an int32"},
    {"99999999999999999999999", "int32", "'99999999999999999999999' is out of range for an int32"},
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
    {"x\n\"y\"", "int32", "'x\n\"y\"' is not an int32"},
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
    {"1e400", "long double",
     std::numeric_limits<long double>::max_exponent10 >= 400 ? "1e+400" : "'1e400' is out of range for a long double"},
    {"true", "bool", "1"},
    {"0", "bool", "0"},
    {"TRUE", "bool", "'TRUE' is not a bool"},
    {"say \"hi\"", "string", "say \"hi\""},
};

// The field as `type`: its value, or the error's message after its line
// and column. to<T>() says nothing where as<T>() throws, and the same
// value elsewhere; the error names the field's line, column and text.
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
    const auto both = [&](auto kind) -> std::string {
        using T = decltype(kind);
        const std::optional<T> quiet = f.to<T>();
        try {
            const T value = f.as<T>();
            EXPECT_EQ(quiet ? shown(*quiet) : "nothing", shown(value));
            return shown(value);
        } catch (const csv_line::error &e) {
            EXPECT_FALSE(quiet.has_value());
            EXPECT_EQ(e.code(), csv_line::error::conversion);
            EXPECT_EQ(e.text(), f.value());
            const std::string where = "line " + std::to_string(f.line()) + ": column " + std::to_string(f.column()) + ": ";
            EXPECT_EQ(e.line(), f.line());
            EXPECT_EQ(e.column(), f.column());
            EXPECT_EQ(std::string(e.what()).substr(0, where.size()), where);
            return std::string(e.what()).substr(where.size());
        }
    };
    if (type == "int8") return both(std::int8_t{});
    if (type == "uint8") return both(std::uint8_t{});
    if (type == "int32") return both(std::int32_t{});
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

TEST(CxxConversions, EveryTypeAndEveryError)
{
    // Each case is the second field of its own record, written by the
    // writer so that its value is its text; its line is its index + 2.
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
        const ConversionCase &c = kConversions[k++];
        SCOPED_TRACE("'" + Show(c.text) + "' as " + c.type);
        ASSERT_EQ(row["case"].as<size_t>(), k - 1);
        EXPECT_EQ(Show(Convert(row["text"], c.type)), Show(c.want));
    }
    EXPECT_EQ(k, kConversions.size());
}

// ---------------------------------------------------------------- reader

const std::string kSource = "\xef\xbb\xbfid,name,note\r\n"
                            "1,\"Smith, J.\",plain\r\n"
                            "2,\"two\nlines\",\"say \"\"hi\"\"\"\n"
                            "3,,\n"
                            "4,last,no ending";

class TempFile {
public:
    explicit TempFile(const std::string &bytes)
    {
        char name[] = "/tmp/cxx_test_XXXXXX";
        const int fd = mkstemp(name);
        path_ = name;
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// The same rows, lines and offsets from every source, and written back by
// the writer, the header's names and each row as ranges, as the same CSV.
TEST(CxxReader, EverySourceGivesTheSameRows)
{
    const TempFile file(kSource);
    std::FILE *stream = std::fopen(file.path().c_str(), "rb");
    const int fd = open(file.path().c_str(), O_RDONLY);
    ASSERT_TRUE(stream != nullptr && fd >= 0);
    std::istringstream in_memory(kSource);
    const std::vector<std::pair<std::string, std::function<csv_line::reader()>>> sources = {
        {"bytes in memory", [] { return csv_line::reader(std::string_view(kSource)); }},
        {"a path as const char *", [&] { return csv_line::reader(file.path().c_str()); }},
        {"a path as std::string", [&] { return csv_line::reader(file.path()); }},
        {"a FILE *", [&] { return csv_line::reader(stream); }},
        {"a descriptor", [&] { return csv_line::reader::from_fd(fd); }},
        {"a std::istream", [&] { return csv_line::reader(in_memory); }},
        {"on threads", [] { return csv_line::reader(std::string_view(kSource), csv_line::options().threads(kThreadCounts.back())); }},
    };
    for (const auto &[what, open_reader] : sources) {
        SCOPED_TRACE(what);
        csv_line::reader in = open_reader();
        std::vector<long long> lines, offsets;
        std::ostringstream out;
        {
            csv_line::writer w(out);
            w.row(in.columns());
            for (const auto &row : in) {
                w.row(row);
                lines.push_back(row.line());
                offsets.push_back(row.offset());
            }
        }
        EXPECT_EQ(Show(out.str()), Show("id,name,note\n1,\"Smith, J.\",plain\n2,\"two\nlines\",\"say \"\"hi\"\"\"\n3,,\n"
                                        "4,last,no ending\n"));
        EXPECT_EQ(lines, (std::vector<long long>{2, 3, 5, 6}));
        EXPECT_EQ(offsets, (std::vector<long long>{17, 38, 65, 69}));
    }
    std::fclose(stream);
    close(fd);
}

// An istream is read in blocks, whatever its size; a stream that fails is
// a read error, even when its failure is an exception.
TEST(CxxReader, IstreamOfManyBlocks)
{
    std::string text = "n,v\n";
    for (int k = 0; k < 100000; k++)
        text += std::to_string(k) + ",\"" + std::string(static_cast<size_t>(k % 7), 'q') + "\"\n";
    std::istringstream stream(text);
    csv_line::reader in(stream);
    long long sum = 0, rows = 0;
    for (const auto &row : in) {
        sum += row["n"].as<long long>();
        rows++;
    }
    EXPECT_EQ(rows, 100000);
    EXPECT_EQ(sum, 99999LL * 100000 / 2);

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
        EXPECT_EQ(e.code(), CSV_LINE_ERROR_IO) << e.what();
    }
}

// By name: the first column of that name; a short record, an unknown name
// and a reader without a header throw; a buffer that later holds another
// name of the same length finds that name's column, not the one
// remembered for the buffer.
TEST(CxxReader, ColumnsByName)
{
    csv_line::reader in(std::string_view("sku,price,price,note\n7,1.5,9,x\n8,2.25,9\n"));
    EXPECT_EQ(in.column("price"), 1);
    EXPECT_EQ(in.column("none"), -1);
    double total = 0;
    std::vector<std::string> notes;
    for (const auto &row : in) {
        total += row["price"].as<double>();
        std::string name = "sku";
        EXPECT_EQ(row[name].column(), 1);
        name.assign("not");
        EXPECT_THROW((void)row[name], csv_line::error);
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
    }
    EXPECT_DOUBLE_EQ(total, 3.75);
    EXPECT_EQ(notes, std::vector<std::string>{"x"});

    csv_line::reader names(std::string_view("aa,bb,cc\n1,2,3\n"));
    for (const auto &row : names) {
        std::string name;
        for (const char *now : {"aa", "bb", "cc", "aa"}) {
            name.assign(now);
            EXPECT_EQ(row[name].column(), now[0] - 'a' + 1) << now;
        }
    }

    csv_line::reader bare(std::string_view("a,b\n"), csv_line::options().header(false));
    EXPECT_TRUE(bare.columns().empty());
    for (const auto &row : bare) {
        try {
            (void)row["a"];
            ADD_FAILURE() << "a name without a header";
        } catch (const csv_line::error &e) {
            EXPECT_STREQ(e.what(), "no header names column 'a'");
        }
    }
}

// A strict reader hands over the records before a problem, then throws an
// error that names its line and field; opening throws for what stops it
// at once.
TEST(CxxReader, ErrorsCarryLineAndField)
{
    const struct {
        std::string what, text;
        csv_line::options options;
        size_t rows_before;
        int code;
        long long line;
        int column;
    } cases[] = {
        {"quotes inside an unquoted field", "a,b\n1,2\n3,x\"y\"z\n4,5\n", {}, 1, CSV_LINE_ERROR_MALFORMED, 3, 2},
        {"bytes after a closing quote", "a,b\n\"1\"x,2\n", {}, 0, CSV_LINE_ERROR_MALFORMED, 2, 1},
        {"a quote left open", "a,b\n1,2\n3,\"open\n4\n", {}, 1, CSV_LINE_ERROR_UNCLOSED, 3, 0},
        {"a record over the limit", "a\n1\n" + std::string(5000, 'x') + "\n2\n", csv_line::options().record_limit(1024),
         1, CSV_LINE_ERROR_TOO_LONG, 3, 0},
        {"a bad header", "a,\"b\"c\n1,2\n", {}, 0, CSV_LINE_ERROR_MALFORMED, 1, -1},
        {"a quote as separator", "a\n", csv_line::options().separator('"'), 0, CSV_LINE_ERROR_OPTIONS, 0, 0},
        {"LF as separator", "a\n", csv_line::options().separator('\n'), 0, CSV_LINE_ERROR_OPTIONS, 0, 0},
        {"text that is not UTF-8", "a,b\n1,2\n3,x\xe9\n", {}, 1, CSV_LINE_ERROR_ENCODING, 3, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        size_t rows = 0;
        try {
            csv_line::reader in(std::string_view(c.text), c.options);
            for (const auto &row : in)
                rows += row.size() > 0 ? 1 : 0;
            ADD_FAILURE() << "no error";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.code(), c.code) << e.what();
            EXPECT_EQ(e.line(), c.line) << e.what();
            if (c.column >= 0) { // the header's field is not said
                EXPECT_EQ(e.column(), c.column) << e.what();
            }
            if (c.line > 0) {
                EXPECT_EQ(std::string(e.what()).rfind("line " + std::to_string(c.line) + ": ", 0), 0u) << e.what();
            }
            EXPECT_TRUE(e.text().empty());
        }
        EXPECT_EQ(rows, c.rows_before);
    }
    try {
        csv_line::reader in("/nonexistent/file.csv");
        ADD_FAILURE() << "opened";
    } catch (const csv_line::error &e) {
        EXPECT_EQ(e.code(), CSV_LINE_ERROR_IO);
        EXPECT_EQ(e.system(), ENOENT);
    }
}

// Encodings, the policy for bad bytes and guesses, as options; what the
// reader found, and a file's dialect alone.
TEST(CxxReader, FilesAsTheyCome)
{
    const auto rows = [](csv_line::reader &in) {
        std::vector<std::vector<std::string>> all;
        for (const auto &row : in) {
            all.emplace_back();
            for (size_t k = 0; k < row.size(); k++)
                all.back().emplace_back(row[k].value());
        }
        return all;
    };
    csv_line::reader latin1(std::string_view("caf\xe9;b\n1;\xa3\n"),
                            csv_line::options().text_encoding(csv_line::encoding::latin1).guess_separator());
    EXPECT_EQ(latin1.dialect().separator, ';');
    EXPECT_EQ(latin1.dialect().encoding, CSV_LINE_ENCODING_LATIN1);
    EXPECT_EQ(latin1.columns(), (std::vector<std::string_view>{"caf\xc3\xa9", "b"}));
    EXPECT_EQ(rows(latin1), (std::vector<std::vector<std::string>>{{"1", "\xc2\xa3"}}));

    csv_line::reader mended(std::string_view("a\nx\xff\n"), csv_line::options().when_not_utf8(csv_line::invalid_utf8::replace));
    EXPECT_EQ(rows(mended), (std::vector<std::vector<std::string>>{{"x\xef\xbf\xbd"}}));
    csv_line::reader raw(std::string_view("a\nx\xff\n"), csv_line::options().when_not_utf8(csv_line::invalid_utf8::raw));
    EXPECT_EQ(rows(raw), (std::vector<std::vector<std::string>>{{"x\xff"}}));

    const TempFile file("n\tv\n1\t2\n3\t4\n5\t6\n");
    const csv_line::sniffed found = csv_line::sniff(file.path());
    EXPECT_EQ(found.dialect.separator, '\t');
    EXPECT_EQ(found.dialect.header, 1);
    csv_line::reader guessed(file.path(), csv_line::options().header(false).guess_separator().guess_header());
    EXPECT_EQ(guessed.columns(), (std::vector<std::string_view>{"n", "v"}));
    EXPECT_THROW(csv_line::sniff("/nonexistent/csv_line"), csv_line::error);
}

TEST(CxxReader, LenientFlagsAndReadsOn)
{
    csv_line::reader in(std::string_view("a,b\n1,x\"y\"z\n2,3\n"), csv_line::options().lenient(true));
    std::vector<std::string> seen;
    for (const auto &row : in)
        seen.push_back(std::to_string(row.flags()) + " " + std::string(row[1].raw()) + " " +
                       std::string(row[1].value()) + (row[1].malformed() ? " malformed" : ""));
    // A malformed field's value is its content by the splitting rule.
    EXPECT_EQ(seen, (std::vector<std::string>{std::to_string(CSV_LINE_RECORD_MALFORMED) + " x\"y\"z xyz malformed", "0 3 3"}));
}

// A loop left by break, another loop, a move of the reader and for_each
// after them: every row is handed once, in order up to for_each.
TEST(CxxReader, LoopsGoOnWhereTheLastStopped)
{
    std::string text = "n\n";
    for (int k = 1; k <= 30000; k++)
        text += std::to_string(k) + "\n";
    for (const int threads : kThreadCounts) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        csv_line::reader first(std::string_view(text), csv_line::options().threads(threads));
        std::vector<int> seen;
        auto it = first.begin();
        seen.push_back((*it)[0].as<int>());
        csv_line::reader in = std::move(first);
        ++it; // the iterator's rows are the reader's, which moved with it
        seen.push_back(it->operator[](0).as<int>());
        for (const int stop : {3, 4, 20000})
            for (const auto &row : in) {
                seen.push_back(row[0].as<int>());
                if (seen.back() == stop)
                    break;
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
        ASSERT_EQ(seen.size(), 20000u);
        for (size_t k = 0; k < seen.size(); k++)
            ASSERT_EQ(seen[k], static_cast<int>(k) + 1);
        EXPECT_EQ(count, 10000);
        EXPECT_EQ(rest, 30000LL * 30001 / 2 - 20000LL * 20001 / 2);
        EXPECT_TRUE(in.begin() == in.end());
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
        double prices = 0; // sums of k.25: exact in any order
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
        EXPECT_EQ(*sequences.rbegin(), static_cast<long long>(sequences.size()) - 1); // 0 to n - 1
    }
}

// fn's exceptions come out as themselves, false stops the handing, and a
// reading error after some batches is thrown.
TEST(CxxForEach, ExceptionsAndStops)
{
    const std::string text = ManyRecords(20000) + "x,1.5,n\n";
    struct Mine {
        long long line;
    };
    for (const int threads : kThreadCounts) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        const csv_line::options options = csv_line::options().threads(threads);
        csv_line::reader in(std::string_view(text), options);
        try {
            in.for_each([](const csv_line::batch &b) {
                for (const auto &row : b)
                    (void)row["id"].as<int>();
            });
            ADD_FAILURE() << "no exception";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.line(), 20002);
            EXPECT_EQ(e.text(), "x");
        }
        csv_line::reader again(std::string_view(text), options);
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
        csv_line::reader stopped(std::string_view(text), options);
        EXPECT_FALSE(stopped.for_each([](const csv_line::batch &) { return false; }));
        const std::string bad = ManyRecords(20000) + "1,\"2\"x,3\n";
        csv_line::reader strict(std::string_view(bad), options);
        try {
            strict.for_each([](const csv_line::batch &) {});
            ADD_FAILURE() << "no error";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.code(), CSV_LINE_ERROR_MALFORMED);
            EXPECT_EQ(e.line(), 20002);
            EXPECT_EQ(e.column(), 2);
        }
    }
}

} // namespace

// The table's C++ face: options become the C options, columns come typed,
// and whatever the C table says goes wrong is thrown.
TEST(CxxTable, ColumnsTypedAndChosen)
{
    const std::string text = "city,price,qty,when\nParis,2.5,3,2024-03-01\nRome,,007,2024-03-02\n";
    const csv_line::table t = csv_line::table::read_memory(text, csv_line::options().infer_dates(true).threads(kThreadCounts.back()));
    ASSERT_EQ(t.rows(), 2u);
    EXPECT_EQ(t.columns(), 4);
    const auto price = t.column<double>("price");
    EXPECT_TRUE(price.valid(0));
    EXPECT_FALSE(price.valid(1));
    EXPECT_EQ(price[0], 2.5);
    EXPECT_EQ(t.text("city")[1], "Rome");
    EXPECT_EQ(t.column<std::int64_t>("qty")[1], 7);
    EXPECT_EQ(t.column<std::int32_t>("when")[1], 19784);
    EXPECT_EQ(t.type_of("when"), csv_line::type::date);

    const csv_line::table chosen = csv_line::table::read_memory(
        text, csv_line::options().only({"qty", "city"}).column("qty", csv_line::type::text));
    ASSERT_EQ(chosen.columns(), 2);
    EXPECT_EQ(chosen.name(0), "qty");
    EXPECT_EQ(chosen.text("qty")[1], "007");
    EXPECT_EQ(chosen.find("price"), -1);
}

TEST(CxxTable, ProblemsThrow)
{
    struct Case {
        const char *name;
        std::function<void()> read;
        int code;
        long long line;
    };
    const std::string text = "a,b\n1,x\n2,y\n";
    const Case cases[] = {
        {"a cell not of the type asked",
         [&] { csv_line::table::read_memory(text, csv_line::options().column("b", csv_line::type::float64)); },
         CSV_LINE_ERROR_CELL, 2},
        {"an empty cell where one is required",
         [&] { csv_line::table::read_memory("a\n1\n\"\"\n", csv_line::options().column(0, csv_line::type::int64, true)); },
         CSV_LINE_ERROR_CELL, 3},
        {"a column the header lacks", [&] { csv_line::table::read_memory(text, csv_line::options().only({"c"})); },
         CSV_LINE_ERROR_COLUMN, 0},
        {"a column of another type", [&] { csv_line::table::read_memory(text).column<double>("a"); },
         csv_line::error::conversion, 0},
        {"a column of no such name", [&] { csv_line::table::read_memory(text).text("z"); }, csv_line::error::no_column, 0},
        {"no such file", [&] { csv_line::read_table("/nonexistent/t.csv"); }, CSV_LINE_ERROR_IO, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.read();
            ADD_FAILURE() << "nothing thrown";
        } catch (const csv_line::error &e) {
            EXPECT_EQ(e.code(), c.code) << e.what();
            EXPECT_EQ(e.line(), c.line) << e.what();
        }
    }
}

TEST(CxxTable, ExportOutlivesTheTable)
{
    ArrowSchema schema;
    ArrowArray array;
    {
        const csv_line::table t = csv_line::table::read_memory("a,b\n1,x\n");
        t.export_to(&schema, &array);
    }
    ASSERT_EQ(array.n_children, 2);
    EXPECT_EQ(static_cast<const std::int64_t *>(array.children[0]->buffers[1])[0], 1);
    EXPECT_STREQ(schema.children[1]->format, "U");
    array.release(&array);
    schema.release(&schema);
}
