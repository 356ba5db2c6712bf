#ifndef CSV_LINE_HPP
#define CSV_LINE_HPP

// The reader and writer of csv_line.h for C++17: header-only and inline
// over its C functions, so that it adds nothing to the library, which stays
// free of the C++ runtime. Errors are thrown as csv_line::error.
//
//     csv_line::reader in("products.csv");          // the first record names the columns
//     double total = 0;
//     for (const auto &row : in)
//         total += row["price"].as<double>();
//
//     csv_line::writer out(std::cout);
//     out.row("sku", "price").row(7, 2.5).flush();  // sku,price LF 7,2.5 LF

#if __cplusplus < 201703L
#error "csv_line.hpp needs C++17 or later"
#endif

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <ios>
#include <istream>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "csv_line.h"

// A std::istream is read through a FILE* of its own, which glibc's
// fopencookie makes (see reader(std::istream &)).
#if defined(__GLIBC__) && defined(__USE_GNU)
#include <sys/types.h>
#define CSV_LINE_HAS_ISTREAM 1
#endif

namespace csv_line {

/*
 * A problem met reading, converting or writing.
 *
 * code() is a csv_line_error_code, or one of the codes below for what this
 * header finds itself; system() is errno for CSV_LINE_ERROR_IO, else 0; line()
 * is the physical line where the record began, from 1 (0 for none);
 * column() is the field, from 1 (0 for none); text() is the offending text
 * of a failed conversion (empty otherwise), and lives as long as the error.
 * what() is the reader's own message ("line 4: field 2: ..."), or for a
 * conversion "line L: column C: 'TEXT' is not an int32" or "... is out of
 * range for an int32".
 */
class error : public std::runtime_error {
public:
    static constexpr int conversion = 100; // a field is not the type asked for, or out of its range
    static constexpr int no_field = 101;   // a row has no field at that index or for that column
    static constexpr int no_column = 102;  // no column of that name (or no header to name them)

    explicit error(const csv_line_error &e)
        : std::runtime_error(message_of(e)), code_(e.code), system_(e.system), line_(e.line), column_(e.field)
    {
    }

    // text() is the text_length bytes of message from text_at.
    error(int code, int system, long long line, int column, const std::string &message, std::size_t text_at = 0,
          std::size_t text_length = 0)
        : std::runtime_error(message), code_(code), system_(system), line_(line), column_(column),
          text_at_(text_at), text_length_(text_length)
    {
    }

    int code() const noexcept { return code_; }
    int system() const noexcept { return system_; }
    long long line() const noexcept { return line_; }
    int column() const noexcept { return column_; }
    std::string_view text() const noexcept { return std::string_view(what() + text_at_, text_length_); }

private:
    static std::string message_of(const csv_line_error &e)
    {
        const void *end = std::memchr(e.message, '\0', sizeof e.message);
        return std::string(e.message, end != nullptr ? static_cast<const char *>(end) : e.message + sizeof e.message);
    }

    int code_;
    int system_;
    long long line_;
    int column_;
    // The text is kept inside what(), which copies without throwing.
    std::size_t text_at_ = 0;
    std::size_t text_length_ = 0;
};

/*
 * A reader's options, set by chained calls:
 *
 *     csv_line::options().separator(';').threads(4)
 *
 * Unlike csv_line_reader_options, the first record names the columns unless
 * header(false) says otherwise. A value the reader refuses (a quote, CR or
 * LF as the separator, a negative limit or thread count) makes opening
 * throw, with code CSV_LINE_ERROR_OPTIONS.
 */
/* A column's type in a table (csv_line_type). */
enum class type : int {
    infer = CSV_LINE_TYPE_INFER,
    int64 = CSV_LINE_TYPE_INT64,
    float64 = CSV_LINE_TYPE_FLOAT64,
    boolean = CSV_LINE_TYPE_BOOL,
    text = CSV_LINE_TYPE_TEXT,
    date = CSV_LINE_TYPE_DATE,
    timestamp = CSV_LINE_TYPE_TIMESTAMP
};

/* What an input's bytes are (csv_line_encoding), and what text that is not
   UTF-8 does (csv_line_invalid_utf8). */
enum class encoding : int {
    automatic = CSV_LINE_ENCODING_AUTO,
    utf8 = CSV_LINE_ENCODING_UTF8,
    utf16le = CSV_LINE_ENCODING_UTF16LE,
    utf16be = CSV_LINE_ENCODING_UTF16BE,
    latin1 = CSV_LINE_ENCODING_LATIN1,
    cp1252 = CSV_LINE_ENCODING_CP1252
};
enum class invalid_utf8 : int { strict = CSV_LINE_UTF8_STRICT, replace = CSV_LINE_UTF8_REPLACE, raw = CSV_LINE_UTF8_RAW };

class options {
public:
    options &separator(char byte) noexcept { c_.separator = byte; return *this; }
    options &header(bool names) noexcept { c_.header = names ? 1 : 0; return *this; }
    options &record_limit(int bytes) noexcept { c_.record_limit = bytes; return *this; }
    options &threads(int count) noexcept { c_.threads = count; return *this; }
    options &lenient(bool flag) noexcept { c_.lenient = flag ? 1 : 0; return *this; }
    options &field_limit(int fields) noexcept { c_.field_limit = fields; return *this; }
    options &decode_on_demand(bool flag) noexcept { c_.decode_on_demand = flag ? 1 : 0; return *this; }
    options &text_encoding(csv_line::encoding e) noexcept { c_.encoding = static_cast<int>(e); return *this; }
    options &when_not_utf8(csv_line::invalid_utf8 policy) noexcept { c_.invalid_utf8 = static_cast<int>(policy); return *this; }
    // The separator, or whether a header comes first, guessed from the
    // input's first bytes (csv_line_sniff) instead of as set.
    options &guess_separator(bool flag = true) noexcept { return guess(CSV_LINE_GUESS_SEPARATOR, flag); }
    options &guess_header(bool flag = true) noexcept { return guess(CSV_LINE_GUESS_HEADER, flag); }

    // For read_table: the type of the column of that name (or field
    // index, from 0), and whether an empty cell is an error there; the
    // columns to read, by name, in the order wanted (all when none is
    // named); whether inferred columns may be dates and timestamps; the
    // line number of the input's first line.
    options &column(std::string name, type t, bool required = false)
    {
        specs_.push_back({std::move(name), -1, t, required});
        return *this;
    }
    options &column(int index, type t, bool required = false)
    {
        specs_.push_back({std::string(), index, t, required});
        return *this;
    }
    options &only(std::vector<std::string> names)
    {
        only_ = std::move(names);
        return *this;
    }
    options &infer_dates(bool flag) noexcept { infer_dates_ = flag; return *this; }
    options &first_line(long long line) noexcept { first_line_ = line; return *this; }

    const csv_line_reader_options &c_options() const noexcept { return c_; }
    operator const csv_line_reader_options &() const noexcept { return c_; }

private:
    friend class table;
    options &guess(int bit, bool flag) noexcept
    {
        c_.guess = flag ? c_.guess | bit : c_.guess & ~bit;
        return *this;
    }
    struct spec {
        std::string name;
        int index;
        type t;
        bool required;
    };
    csv_line_reader_options c_{',', 1, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<spec> specs_;
    std::vector<std::string> only_;
    bool infer_dates_ = false;
    long long first_line_ = 0;
};

namespace detail {

enum class parsed { ok, not_a, out_of_range };

// The whole of text as a T: from_chars' syntax (no leading space or '+',
// no "0x", a '-' only for signed and floating types; for floating types
// also "inf", "infinity" and "nan" in any case), or "true", "false", "1",
// "0" for bool. out is written only when the result is ok.
template <class T>
parsed parse(std::string_view text, T &out) noexcept
{
    if constexpr (std::is_same_v<T, bool>) {
        if (text == "true" || text == "1")
            out = true;
        else if (text == "false" || text == "0")
            out = false;
        else
            return parsed::not_a;
        return parsed::ok;
    } else {
        static_assert(std::is_arithmetic_v<T>, "as<T>() and to<T>() take a number, bool, std::string or std::string_view");
        const char *first = text.data(), *last = first + text.size();
        T value{};
        const std::from_chars_result r = std::from_chars(first, last, value);
        if (r.ec == std::errc::invalid_argument || r.ptr != last)
            return parsed::not_a;
        if (r.ec == std::errc::result_out_of_range)
            return parsed::out_of_range;
        out = value;
        return parsed::ok;
    }
}

// The type's name in messages, after its article.
template <class T>
constexpr const char *type_name() noexcept
{
    if constexpr (std::is_same_v<T, bool>)
        return "a bool";
    else if constexpr (std::is_same_v<T, float>)
        return "a float";
    else if constexpr (std::is_same_v<T, double>)
        return "a double";
    else if constexpr (std::is_same_v<T, long double>)
        return "a long double";
    else if constexpr (std::is_signed_v<T>)
        return sizeof(T) == 1 ? "an int8" : sizeof(T) == 2 ? "an int16" : sizeof(T) == 4 ? "an int32" : sizeof(T) == 8 ? "an int64" : "an int128";
    else
        return sizeof(T) == 1 ? "a uint8" : sizeof(T) == 2 ? "a uint16" : sizeof(T) == 4 ? "a uint32" : sizeof(T) == 8 ? "a uint64" : "a uint128";
}

inline error conversion_error(long long line, int column, std::string_view text, const char *type, bool range)
{
    std::string message = "line " + std::to_string(line) + ": column " + std::to_string(column) + ": '";
    const std::size_t at = message.size();
    message.append(text);
    message += range ? "' is out of range for " : "' is not ";
    message += type;
    return error(error::conversion, 0, line, column, message, at, text.size());
}

inline std::string_view view(csv_line_text text) noexcept
{
    return std::string_view(text.data, text.length > 0 ? static_cast<std::size_t>(text.length) : 0);
}

// A column name the reader was asked for, and where that name lay.
struct column_entry {
    const char *key;
    std::size_t size;
    int column;
    const column_entry *next;
    std::string name;
};

// What a reader owns, apart from the reader object so that rows, batches
// and iterators keep pointing at it when the reader is moved.
class reader_state {
public:
    reader_state() = default;
    reader_state(const reader_state &) = delete;
    reader_state &operator=(const reader_state &) = delete;

    ~reader_state()
    {
        csv_line_reader_close(c_reader);
        if (adapter != nullptr)
            std::fclose(adapter);
        const column_entry *e = names_.load(std::memory_order_acquire);
        while (e != nullptr) {
            const column_entry *next = e->next;
            delete e;
            e = next;
        }
    }

    // The column named `name`, or -1. Names are remembered by where they
    // lie, so that a literal in a loop costs a pointer compare and a
    // compare of its few bytes: the bytes too, since a buffer may hold
    // another name of the same length later. Safe on the threads of
    // for_each at once: entries are only ever added, whole, at the head.
    // A miss asks the reader; at most `remembered` names are kept.
    int column(std::string_view name) const
    {
        const column_entry *head = names_.load(std::memory_order_acquire);
        for (const column_entry *e = head; e != nullptr; e = e->next)
            if (e->key == name.data() && e->size == name.size() && std::string_view(e->name) == name)
                return e->column;
        const int found = csv_line_reader_column_find(c_reader, name.data(), name.size());
        if (found >= 0 && count_.load(std::memory_order_relaxed) < remembered &&
            count_.fetch_add(1, std::memory_order_relaxed) < remembered) {
            column_entry *entry = new column_entry{name.data(), name.size(), found, head, std::string(name)};
            while (!names_.compare_exchange_weak(entry->next, entry, std::memory_order_release,
                                                 std::memory_order_acquire)) {
            }
        }
        return found;
    }

    csv_line_reader *c_reader = nullptr;
    std::FILE *adapter = nullptr; // the FILE* over a std::istream, closed after the reader
    csv_line_batch current{};          // the batch that iteration stands in
    int next_record = 0;          // its first record not yet handed over

private:
    static constexpr int remembered = 64;
    mutable std::atomic<const column_entry *> names_{nullptr};
    mutable std::atomic<int> count_{0};
};

// Items of a row or a batch by index, handed by value: both are views.
template <class Owner, class Item>
class index_iterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Item;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Item;

    index_iterator(const Owner &owner, std::size_t at) noexcept : owner_(owner), at_(at) {}
    Item operator*() const { return owner_.at(at_); }
    index_iterator &operator++() noexcept { ++at_; return *this; }
    index_iterator operator++(int) noexcept { index_iterator was = *this; ++at_; return was; }
    bool operator==(const index_iterator &other) const noexcept { return at_ == other.at_; }
    bool operator!=(const index_iterator &other) const noexcept { return at_ != other.at_; }

private:
    Owner owner_;
    std::size_t at_;
};

} // namespace detail

/*
 * One field of a record, a view into its batch: valid as long as the
 * batch is (until the reader's next call, or the for_each callback's
 * return).
 */
class field {
public:
    field(const csv_line_batch *batch, int index, long long line, int column) noexcept
        : batch_(batch), index_(index), line_(line), column_(column)
    {
    }

    // Its raw bytes, quotes and all.
    std::string_view raw() const noexcept { return detail::view(csv_line_batch_raw(batch_, index_)); }
    // Its value as RFC 4180 readers read it (csv_line_batch_value): a quoted
    // field without its quotes, each doubled quote as one.
    std::string_view value() const noexcept { return detail::view(csv_line_batch_value(batch_, index_)); }
    // Only a lenient reader hands over malformed fields; value() is then
    // the content by the splitting rule.
    bool malformed() const noexcept { return csv_line_batch_malformed(batch_, index_) != 0; }
    long long line() const noexcept { return line_; }
    int column() const noexcept { return column_; }

    /*
     * The value as a T: any integer or floating type, read by
     * std::from_chars, which must take the whole value (so "", " 1",
     * "+1", "0x1A" and, for integers, "1.5" are not numbers; floating
     * types take "inf", "infinity" and "nan" in any case, with an optional
     * '-'); bool from "true", "false", "1" or "0"; std::string (a copy)
     * or std::string_view (into the batch) of the value. Throws
     * csv_line::error, code error::conversion, with the field's line,
     * column and text, when the value is not a T or is out of its range
     * ("1e400" for a double, "300" for an int8, "1e-400", which would
     * lose every digit, too). Allocates only a std::string asked for, or
     * the error's message.
     */
    template <class T>
    T as() const
    {
        if constexpr (std::is_same_v<T, std::string>) {
            return std::string(value());
        } else if constexpr (std::is_same_v<T, std::string_view>) {
            return value();
        } else {
            T out{};
            const std::string_view text = value();
            const detail::parsed p = detail::parse(text, out);
            if (p != detail::parsed::ok)
                throw detail::conversion_error(line_, column_, text, detail::type_name<T>(),
                                               p == detail::parsed::out_of_range);
            return out;
        }
    }

    // As as<T>(), with std::nullopt where as<T>() would throw.
    template <class T>
    std::optional<T> to() const noexcept(!std::is_same_v<T, std::string>)
    {
        if constexpr (std::is_same_v<T, std::string>) {
            return std::string(value());
        } else if constexpr (std::is_same_v<T, std::string_view>) {
            return value();
        } else {
            T out{};
            if (detail::parse(value(), out) != detail::parsed::ok)
                return std::nullopt;
            return out;
        }
    }

private:
    const csv_line_batch *batch_;
    int index_;
    long long line_;
    int column_;
};

/*
 * One record, a view into its batch (valid as the batch is): its fields by
 * index from 0, or by the header's names; begin()/end() walk its fields.
 */
class row {
public:
    using iterator = detail::index_iterator<row, field>;

    row() noexcept = default;
    row(const csv_line_batch *batch, int record, const detail::reader_state *state) noexcept
        : batch_(batch), record_(record), state_(state)
    {
    }

    // Its fields, 1 or more.
    std::size_t size() const noexcept { return static_cast<std::size_t>(record().count); }
    // The physical line where it begins, from 1.
    long long line() const noexcept { return record().line; }
    // The input's byte where it begins (a byte-order mark counts).
    long long offset() const noexcept { return record().offset; }
    // CSV_LINE_RECORD_ bits; 0 unless the reader is lenient.
    int flags() const noexcept { return record().flags; }

    // Field `index`, from 0. Throws csv_line::error, code error::no_field,
    // when the record has no such field.
    field operator[](std::size_t index) const
    {
        if (index >= size())
            throw missing(index, std::string_view());
        return at(index);
    }

    // The field of the column the header names `name` (the first of that
    // name). Throws csv_line::error: code error::no_column when no column
    // has that name, or no header was read; code error::no_field when this
    // record is too short to hold it. The reader remembers the columns of
    // up to 64 names by where the name lies, so the lookup in a loop is
    // cheap.
    field operator[](std::string_view name) const
    {
        const int column = state_->column(name);
        if (column < 0)
            throw error(error::no_column, 0, line(), 0,
                        csv_line_reader_column_count(state_->c_reader) == 0
                            ? "no header names column '" + std::string(name) + "'"
                            : "no column named '" + std::string(name) + "' in the header");
        const std::size_t index = static_cast<std::size_t>(column);
        if (index >= size())
            throw missing(index, name);
        return at(index);
    }

    // Field `index`, unchecked.
    field at(std::size_t index) const noexcept
    {
        const int k = static_cast<int>(index);
        return field(batch_, record().field + k, line(), k + 1);
    }

    iterator begin() const noexcept { return iterator(*this, 0); }
    iterator end() const noexcept { return iterator(*this, size()); }

private:
    const csv_line_record &record() const noexcept { return batch_->records[record_]; }

    error missing(std::size_t index, std::string_view name) const
    {
        std::string message = "line " + std::to_string(line()) + ": no field " + std::to_string(index + 1);
        if (!name.empty())
            message += " ('" + std::string(name) + "')";
        message += ": the record has " + std::to_string(size());
        return error(error::no_field, 0, line(), static_cast<int>(index + 1), message);
    }

    const csv_line_batch *batch_ = nullptr;
    int record_ = 0;
    const detail::reader_state *state_ = nullptr;
};

/*
 * Records handed over together (csv_line_batch): their place in the input and
 * the rows themselves, in input order within the batch.
 */
class batch {
public:
    using iterator = detail::index_iterator<batch, csv_line::row>;

    batch(const csv_line_batch *c_batch, const detail::reader_state *state) noexcept : c_(c_batch), state_(state) {}

    // 0, 1, 2, ... in input order.
    long long sequence() const noexcept { return c_->sequence; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(c_->count); }

    // Row `index`, from 0; throws std::out_of_range past the last.
    csv_line::row row(std::size_t index) const
    {
        if (index >= size())
            throw std::out_of_range("csv_line::batch::row: no row " + std::to_string(index));
        return at(index);
    }
    // Row `index`, unchecked.
    csv_line::row at(std::size_t index) const noexcept
    {
        return csv_line::row(c_, static_cast<int>(index), state_);
    }

    iterator begin() const noexcept { return iterator(*this, 0); }
    iterator end() const noexcept { return iterator(*this, size()); }
    const csv_line_batch &c_batch() const noexcept { return *c_; }

private:
    const csv_line_batch *c_;
    const detail::reader_state *state_;
};

#ifdef CSV_LINE_HAS_ISTREAM
namespace detail {

// fopencookie's read: up to `size` bytes of the stream, 0 at its end, -1
// when it failed (an exception of the stream's counts as a failure: none
// may cross the C library).
inline ssize_t read_istream(void *cookie, char *buffer, std::size_t size) noexcept
{
    std::istream &in = *static_cast<std::istream *>(cookie);
    try {
        in.read(buffer, static_cast<std::streamsize>(size));
        const std::streamsize got = in.gcount();
        if (got == 0 && in.bad())
            return -1;
        return static_cast<ssize_t>(got);
    } catch (...) {
        return -1;
    }
}

} // namespace detail
#endif

/*
 * A reader of a whole input (csv_line_reader): move-only, closed by its
 * destructor. Rows come in input order through begin()/end() or, batches
 * on several threads at once, through for_each. With the default options
 * the first record names the columns and is no row.
 *
 * Each constructor opens the input and, with a header, reads its first
 * record; it throws csv_line::error when the input cannot be opened or
 * read, the options are refused or the header is bad, and std::bad_alloc
 * when no memory could be had. Memory: the reader's own (see
 * csv_line_reader_open_path), plus at most 64 remembered column names.
 */
class reader {
public:
    class iterator;

    // The file at `path`.
    explicit reader(const char *path, const options &opts = options())
    {
        open([&] { return csv_line_reader_open_path(path, &opts.c_options()); });
    }
    explicit reader(const std::string &path, const options &opts = options()) : reader(path.c_str(), opts) {}

    // The bytes themselves, read where they lie: not copied, so they must
    // stay as they are while the reader is open. (A std::string converts
    // to a path, not to this.)
    explicit reader(std::string_view bytes, const options &opts = options())
    {
        open([&] { return csv_line_reader_open_memory(bytes.data(), bytes.size(), &opts.c_options()); });
    }

    // A stream read with fread from where it stands; not closed.
    explicit reader(std::FILE *file, const options &opts = options())
    {
        open([&] { return csv_line_reader_open_file(file, &opts.c_options()); });
    }

    // A descriptor read from where it stands, pipes included; not closed.
    static reader from_fd(int fd, const options &opts = options())
    {
        reader r;
        r.open([&] { return csv_line_reader_open_fd(fd, &opts.c_options()); });
        return r;
    }

#ifdef CSV_LINE_HAS_ISTREAM
    // A std::istream, read from where it stands through a FILE* that
    // glibc's fopencookie makes over it, with the FILE*'s own buffer off:
    // the C reader reads it as any FILE*, in blocks, into its bounded
    // buffer. The stream must outlive the reader; a failed read of it
    // (badbit, or an exception it throws) is a read error.
    explicit reader(std::istream &in, const options &opts = options())
    {
        open([&]() -> csv_line_reader * {
            const cookie_io_functions_t io{detail::read_istream, nullptr, nullptr, nullptr};
            state_->adapter = fopencookie(&in, "r", io);
            if (state_->adapter == nullptr)
                throw error(CSV_LINE_ERROR_IO, errno, 0, 0, "cannot read the stream: " + std::generic_category().message(errno));
            std::setvbuf(state_->adapter, nullptr, _IONBF, 0);
            return csv_line_reader_open_file(state_->adapter, &opts.c_options());
        });
    }
#endif

    reader(reader &&) noexcept = default;
    reader &operator=(reader &&) noexcept = default;

    // With a header, the columns' names (values, as csv_line_reader_column_name
    // gives them), pointing into the reader; empty without one.
    std::vector<std::string_view> columns() const
    {
        const int count = csv_line_reader_column_count(state_->c_reader);
        std::vector<std::string_view> names;
        names.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
        for (int k = 0; k < count; k++)
            names.push_back(detail::view(csv_line_reader_column_name(state_->c_reader, k)));
        return names;
    }

    // The column named `name`, from 0; -1 when none is.
    int column(std::string_view name) const noexcept
    {
        return csv_line_reader_column_find(state_->c_reader, name.data(), name.size());
    }

    // The separator, header, encoding and compression it reads by, as
    // guessed or set (csv_line_reader_dialect).
    csv_line_dialect dialect() const noexcept
    {
        csv_line_dialect found;
        csv_line_reader_dialect(state_->c_reader, &found);
        return found;
    }

    /*
     * Calls fn(const csv_line::batch &) for every batch left, on the
     * reader's threads at once and in no order (batch::sequence() and
     * row::line() say where each stands), so fn must be safe to call so.
     * fn may return bool: false stops the handing. The first exception fn
     * throws stops it too, and is thrown again here once the threads have
     * stopped; a reading error is thrown as csv_line::error. Returns true
     * when every batch was handed, false when fn stopped it. Rows that
     * iteration left in the batch it stood in come first, as a batch of
     * their own on this thread.
     */
    template <class F>
    bool for_each(F &&fn)
    {
        using function = std::remove_reference_t<F>;
        struct context {
            function *fn = nullptr;
            const detail::reader_state *state = nullptr;
            std::mutex mutex;
            std::exception_ptr failure;
        } c;
        c.fn = &fn;
        c.state = state_.get();
        detail::reader_state &state = *state_;
        csv_line_batch_fn trampoline = [](const csv_line_batch *b, void *pointer) -> int {
            context &to = *static_cast<context *>(pointer);
            try {
                const batch view(b, to.state);
                if constexpr (std::is_same_v<std::invoke_result_t<function &, const batch &>, bool>) {
                    return (*to.fn)(view) ? 0 : 1;
                } else {
                    (*to.fn)(view);
                    return 0;
                }
            } catch (...) {
                const std::lock_guard<std::mutex> lock(to.mutex);
                if (!to.failure)
                    to.failure = std::current_exception();
                return 1;
            }
        };
        int result = 0;
        if (state.next_record < state.current.count) {
            csv_line_batch rest = state.current;
            rest.records += state.next_record;
            rest.count -= state.next_record;
            state.next_record = state.current.count;
            result = trampoline(&rest, &c);
        }
        if (result == 0)
            result = csv_line_reader_for_each(state.c_reader, trampoline, &c);
        if (c.failure)
            std::rethrow_exception(c.failure);
        if (result == -1)
            throw error(*csv_line_reader_error(state_->c_reader));
        return result == 0;
    }

    // Rows in input order, pulled batch by batch: a row is valid until the
    // iterator moves past its batch. One pass: begin() goes on with the
    // first row not yet handed over (after a loop left by break, the row
    // after the last one it saw). A reading error is thrown from the step
    // that meets it, after the rows before it.
    iterator begin();
    iterator end() noexcept;

    // The C reader, for what this class does not say.
    csv_line_reader *handle() const noexcept { return state_->c_reader; }

private:
    reader() = default;

    template <class Open>
    void open(Open &&open_c)
    {
        state_ = std::make_unique<detail::reader_state>();
        state_->c_reader = open_c();
        if (state_->c_reader == nullptr)
            throw std::bad_alloc();
        const csv_line_error &e = *csv_line_reader_error(state_->c_reader);
        if (e.code != CSV_LINE_OK)
            throw error(e);
    }

    std::unique_ptr<detail::reader_state> state_;
};

class reader::iterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = csv_line::row;
    using difference_type = std::ptrdiff_t;
    using pointer = const csv_line::row *;
    using reference = const csv_line::row &;

    iterator() noexcept = default; // the end
    explicit iterator(detail::reader_state *state) : state_(state) { advance(); }

    const csv_line::row &operator*() const noexcept { return row_; }
    const csv_line::row *operator->() const noexcept { return &row_; }

    iterator &operator++()
    {
        advance();
        return *this;
    }

    // Equal when both are at the end, or both in the same reader.
    bool operator==(const iterator &other) const noexcept { return state_ == other.state_; }
    bool operator!=(const iterator &other) const noexcept { return state_ != other.state_; }

private:
    // To the reader's next record not yet handed over, in the batch it
    // stands in or in the next one; to the end when none is left.
    void advance()
    {
        if (state_->next_record >= state_->current.count) {
            const int n = csv_line_reader_next(state_->c_reader, &state_->current);
            if (n <= 0) {
                const csv_line_reader *c_reader = state_->c_reader;
                state_->current = csv_line_batch{};
                state_->next_record = 0;
                state_ = nullptr;
                if (n < 0)
                    throw error(*csv_line_reader_error(c_reader));
                return;
            }
            state_->next_record = 0;
        }
        row_ = csv_line::row(&state_->current, state_->next_record++, state_);
    }

    detail::reader_state *state_ = nullptr;
    csv_line::row row_;
};

inline reader::iterator reader::begin() { return iterator(state_.get()); }
inline reader::iterator reader::end() noexcept { return iterator(); }

namespace detail {

template <class T>
using plain = std::remove_cv_t<std::remove_reference_t<T>>;

// What a writer takes as one field.
template <class T>
constexpr bool is_field_like =
    std::is_same_v<plain<T>, field> || std::is_arithmetic_v<plain<T>> || std::is_convertible_v<const T &, std::string_view>;

// The longest number std::to_chars writes here (a 128-bit long double's
// shortest form, with sign and exponent, is under 50 bytes).
constexpr std::size_t number_room = 64;

inline csv_line_text text_of_view(std::string_view text)
{
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        throw error(CSV_LINE_ERROR_TOO_LONG, 0, 0, 0, "a field of " + std::to_string(text.size()) + " bytes is too long to write");
    return csv_line_text{text.data(), static_cast<int>(text.size())};
}

// A field's bytes: a string as it is, a field's value, a number in the
// shortest form that reads back as the same value, a bool as true or
// false, a char as that one byte.
template <class T>
csv_line_text text_of(const T &value, char *scratch)
{
    if constexpr (std::is_same_v<T, field>) {
        return text_of_view(value.value());
    } else if constexpr (std::is_same_v<T, bool>) {
        return text_of_view(value ? "true" : "false");
    } else if constexpr (std::is_same_v<T, char>) {
        return csv_line_text{&value, 1};
    } else if constexpr (std::is_arithmetic_v<T>) {
        const std::to_chars_result r = std::to_chars(scratch, scratch + number_room, value);
        return csv_line_text{scratch, static_cast<int>(r.ptr - scratch)};
    } else if constexpr (std::is_pointer_v<T>) {
        return text_of_view(value != nullptr ? std::string_view(value) : std::string_view());
    } else {
        return text_of_view(std::string_view(value));
    }
}

} // namespace detail

/*
 * Writes records as csv_line_record_write writes them (quoted where needed, LF
 * endings) to a FILE* or a std::ostream, which it neither owns nor closes.
 * Records gather in a buffer of 64 KiB (more while a longer record needs
 * it) that goes out when full, on flush() and on destruction. A failed
 * write throws csv_line::error, code CSV_LINE_ERROR_IO, from the call that
 * meets it; the destructor swallows its own, so call flush() to learn of
 * the last.
 */
class writer {
public:
    // Throws csv_line::error, code CSV_LINE_ERROR_OPTIONS, for a separator that
    // is a quote, CR or LF.
    explicit writer(std::FILE *out, char separator = ',') : file_(out), separator_(checked(separator)) {}
    explicit writer(std::ostream &out, char separator = ',') : stream_(&out), separator_(checked(separator)) {}

    writer(const writer &) = delete;
    writer &operator=(const writer &) = delete;

    ~writer()
    {
        try {
            flush();
        } catch (...) {
        }
    }

    /*
     * One record of these fields: each a string (std::string,
     * std::string_view, const char *, a null one empty), a
     * csv_line::field (its value), an integer or floating value (in the
     * shortest form that reads back as the same value, through
     * std::to_chars), a bool (true or false) or a char (that byte). A
     * single argument that is a range instead (a vector of strings, a row,
     * the reader's columns()) writes one field per element. Returns the
     * writer, to chain.
     */
    template <class... Fields>
    writer &row(const Fields &...fields)
    {
        if constexpr (sizeof...(Fields) == 0) {
            put(nullptr, 0);
            return *this;
        } else if constexpr (sizeof...(Fields) == 1 && !(detail::is_field_like<Fields> && ...)) {
            return (write_range(fields), ...);
        } else {
            static_assert((detail::is_field_like<Fields> && ...),
                          "each field must be a string, a csv_line::field, a number, a bool or a char");
            char numbers[sizeof...(Fields)][detail::number_room];
            csv_line_text texts[sizeof...(Fields)];
            std::size_t k = 0;
            ((texts[k] = detail::text_of(fields, numbers[k]), ++k), ...);
            put(texts, static_cast<int>(sizeof...(Fields)));
            return *this;
        }
    }

    writer &row(std::initializer_list<std::string_view> fields) { return write_range(fields); }

    // Writes what is buffered and flushes the stream.
    void flush()
    {
        const std::size_t used = used_;
        used_ = 0;
        write_out(buffer_.data(), used);
        if (file_ != nullptr) {
            if (std::fflush(file_) != 0)
                throw failed(errno);
        } else {
            try {
                stream_->flush();
            } catch (const std::ios_base::failure &) {
                throw failed(0);
            }
            if (!*stream_)
                throw failed(0);
        }
    }

private:
    static char checked(char separator)
    {
        if (separator == '"' || separator == '\n' || separator == '\r')
            throw error(CSV_LINE_ERROR_OPTIONS, 0, 0, 0, "the separator cannot be a quote, CR or LF");
        return separator;
    }

    static error failed(int system)
    {
        return error(CSV_LINE_ERROR_IO, system, 0, 0,
                     system != 0 ? "cannot write: " + std::generic_category().message(system) : "cannot write");
    }

    template <class Range>
    writer &write_range(const Range &fields)
    {
        using item = detail::plain<decltype(*std::begin(fields))>;
        static_assert(detail::is_field_like<item>,
                      "a range's elements must be strings, csv_line::fields, numbers, bools or chars");
        texts_.clear();
        // A number's text lives in scratch_, which must not move once
        // written: the elements are counted first.
        if constexpr (std::is_arithmetic_v<item>)
            scratch_.resize(detail::number_room * static_cast<std::size_t>(std::distance(std::begin(fields), std::end(fields))));
        std::size_t k = 0;
        for (const auto &f : fields) {
            if constexpr (std::is_arithmetic_v<item>)
                texts_.push_back(detail::text_of(static_cast<const item &>(f), &scratch_[detail::number_room * k++]));
            else
                texts_.push_back(detail::text_of(static_cast<const item &>(f), nullptr));
        }
        if (texts_.size() > static_cast<std::size_t>(INT_MAX))
            throw error(CSV_LINE_ERROR_TOO_LONG, 0, 0, 0, "too many fields to write");
        put(texts_.data(), static_cast<int>(texts_.size()));
        return *this;
    }

    void put(const csv_line_text *texts, int count)
    {
        if (buffer_.empty())
            buffer_.resize(64 * 1024);
        std::size_t room = buffer_.size() - used_;
        const std::size_t need = csv_line_record_write(&buffer_[used_], room, texts, count, separator_);
        if (need > room) {
            const std::size_t used = used_;
            used_ = 0;
            write_out(buffer_.data(), used);
            if (need > buffer_.size())
                buffer_.resize(need);
            csv_line_record_write(buffer_.data(), buffer_.size(), texts, count, separator_);
        }
        used_ += need;
    }

    void write_out(const char *data, std::size_t size)
    {
        if (size == 0)
            return;
        if (file_ != nullptr) {
            if (std::fwrite(data, 1, size, file_) != size)
                throw failed(errno);
            return;
        }
        try {
            stream_->write(data, static_cast<std::streamsize>(size));
        } catch (const std::ios_base::failure &) {
            throw failed(0);
        }
        if (!*stream_)
            throw failed(0);
    }

    std::FILE *file_ = nullptr;
    std::ostream *stream_ = nullptr;
    char separator_;
    std::string buffer_;
    std::size_t used_ = 0;
    std::vector<csv_line_text> texts_;
    std::string scratch_;
};


/*
 * A column of a table, as csv_line_column lays it out: values by row,
 * and whether each row's cell is present. Valid as long as its table.
 */
template <class T>
class column_view {
public:
    column_view(const T *values, const unsigned char *validity, std::size_t rows) noexcept
        : values_(values), validity_(validity), rows_(rows) {}

    std::size_t size() const noexcept { return rows_; }
    const T *data() const noexcept { return values_; }
    const T *begin() const noexcept { return values_; }
    const T *end() const noexcept { return values_ + rows_; }
    // A missing cell's value is 0.
    T operator[](std::size_t row) const noexcept { return values_[row]; }
    bool valid(std::size_t row) const noexcept { return validity_ == nullptr || (validity_[row / 8] >> (row % 8) & 1); }
    // Null when no cell is missing; else bit r says row r's cell is present.
    const unsigned char *validity() const noexcept { return validity_; }

private:
    const T *values_;
    const unsigned char *validity_;
    std::size_t rows_;
};

/* A bool column: a bit a row. */
class bool_view {
public:
    bool_view(const unsigned char *bits, const unsigned char *validity, std::size_t rows) noexcept
        : bits_(bits), validity_(validity), rows_(rows) {}

    std::size_t size() const noexcept { return rows_; }
    bool operator[](std::size_t row) const noexcept { return bits_[row / 8] >> (row % 8) & 1; }
    bool valid(std::size_t row) const noexcept { return validity_ == nullptr || (validity_[row / 8] >> (row % 8) & 1); }

private:
    const unsigned char *bits_;
    const unsigned char *validity_;
    std::size_t rows_;
};

/* A text column: each row's value, empty when missing. */
class text_view {
public:
    text_view(const std::int64_t *offsets, const char *bytes, const unsigned char *validity, std::size_t rows) noexcept
        : offsets_(offsets), bytes_(bytes), validity_(validity), rows_(rows) {}

    std::size_t size() const noexcept { return rows_; }
    std::string_view operator[](std::size_t row) const noexcept
    {
        return std::string_view(bytes_ + offsets_[row], static_cast<std::size_t>(offsets_[row + 1] - offsets_[row]));
    }
    bool valid(std::size_t row) const noexcept { return validity_ == nullptr || (validity_[row / 8] >> (row % 8) & 1); }
    const std::int64_t *offsets() const noexcept { return offsets_; }
    const char *bytes() const noexcept { return bytes_; }

private:
    const std::int64_t *offsets_;
    const char *bytes_;
    const unsigned char *validity_;
    std::size_t rows_;
};

/*
 * A whole input read into typed columns (csv_line_table_read_path and the
 * rest): read_table reads it, throwing csv_line::error for the first
 * problem (a cell not of its column's type says its line and column) and
 * std::bad_alloc without memory. Copies share the table.
 *
 *     auto t = csv_line::read_table("orders.csv", csv_line::options().threads(4));
 *     auto price = t.column<double>("price");
 *     auto city = t.text("city");
 *     for (std::size_t r = 0; r < t.rows(); r++)
 *         if (price.valid(r)) use(city[r], price[r]);
 *
 * column<T> takes std::int64_t for int64 and timestamp columns, double for
 * float64, std::int32_t for date; a column of another type, or of no such
 * name, throws csv_line::error (code error::conversion or error::no_column).
 */
class table {
public:
    static table read_path(const char *path, const options &opts = options())
    {
        return open(opts, [&](const csv_line_table_options *o) { return csv_line_table_read_path(path, o); });
    }
    static table read_fd(int fd, const options &opts = options())
    {
        return open(opts, [&](const csv_line_table_options *o) { return csv_line_table_read_fd(fd, o); });
    }
    static table read_memory(std::string_view bytes, const options &opts = options())
    {
        return open(opts,
                    [&](const csv_line_table_options *o) { return csv_line_table_read_memory(bytes.data(), bytes.size(), o); });
    }

    std::size_t rows() const noexcept { return static_cast<std::size_t>(csv_line_table_rows(t_.get())); }
    int columns() const noexcept { return csv_line_table_column_count(t_.get()); }
    std::string_view name(int column) const { return view(at(column).name); }
    // The column of that name, from 0, or -1.
    int find(std::string_view name) const noexcept { return csv_line_table_column_find(t_.get(), name.data(), name.size()); }
    csv_line::type type_of(std::string_view name) const { return static_cast<csv_line::type>(at(name).type); }

    template <class T>
    column_view<T> column(std::string_view name) const
    {
        static_assert(std::is_same_v<T, std::int64_t> || std::is_same_v<T, double> || std::is_same_v<T, std::int32_t>,
                      "column<T> takes std::int64_t, double or std::int32_t");
        const csv_line_column c = at(name);
        const bool fits = std::is_same_v<T, std::int64_t> ? c.type == CSV_LINE_TYPE_INT64 || c.type == CSV_LINE_TYPE_TIMESTAMP
                          : std::is_same_v<T, double>     ? c.type == CSV_LINE_TYPE_FLOAT64
                                                          : c.type == CSV_LINE_TYPE_DATE;
        if (!fits)
            throw wrong_type(name, c.type);
        return column_view<T>(static_cast<const T *>(c.values), c.validity, static_cast<std::size_t>(c.rows));
    }
    bool_view bools(std::string_view name) const
    {
        const csv_line_column c = at(name);
        if (c.type != CSV_LINE_TYPE_BOOL)
            throw wrong_type(name, c.type);
        return bool_view(static_cast<const unsigned char *>(c.values), c.validity, static_cast<std::size_t>(c.rows));
    }
    text_view text(std::string_view name) const
    {
        const csv_line_column c = at(name);
        if (c.type != CSV_LINE_TYPE_TEXT)
            throw wrong_type(name, c.type);
        return text_view(static_cast<const std::int64_t *>(c.values), c.data, c.validity, static_cast<std::size_t>(c.rows));
    }

    // The Arrow C Data Interface: see csv_line_table_export.
    void export_to(ArrowSchema *schema, ArrowArray *array) const
    {
        const int said = csv_line_table_export(t_.get(), schema, array);
        if (said == ENOMEM)
            throw std::bad_alloc();
        if (said != 0)
            throw error(CSV_LINE_ERROR_OPTIONS, said, 0, 0, "the table cannot be exported");
    }
    void export_to(ArrowArrayStream *stream) const
    {
        const int said = csv_line_table_export_stream(t_.get(), stream);
        if (said == ENOMEM)
            throw std::bad_alloc();
        if (said != 0)
            throw error(CSV_LINE_ERROR_OPTIONS, said, 0, 0, "the table cannot be exported");
    }

    csv_line_table *c_table() const noexcept { return t_.get(); }

private:
    explicit table(csv_line_table *t) : t_(t, csv_line_table_close) {}

    template <class Read>
    static table open(const options &opts, Read read)
    {
        std::vector<csv_line_column_spec> specs;
        const bool only = !opts.only_.empty();
        for (const std::string &name : opts.only_) {
            csv_line_column_spec spec{name.c_str(), 0, CSV_LINE_TYPE_INFER, 0};
            for (const options::spec &typed : opts.specs_)
                if (typed.index < 0 && typed.name == name) {
                    spec.type = static_cast<int>(typed.t);
                    spec.required = typed.required;
                }
            specs.push_back(spec);
        }
        if (!only)
            for (const options::spec &typed : opts.specs_)
                specs.push_back({typed.index < 0 ? typed.name.c_str() : nullptr, typed.index, static_cast<int>(typed.t),
                                 typed.required});
        csv_line_table_options c{};
        c.reader = opts.c_;
        c.columns = specs.empty() ? nullptr : specs.data();
        c.column_count = static_cast<int>(specs.size());
        c.only_columns = only;
        c.infer_dates = opts.infer_dates_;
        c.first_line = opts.first_line_;
        csv_line_table *made = read(&c);
        if (made == nullptr)
            throw std::bad_alloc();
        table t(made);
        const csv_line_error *e = csv_line_table_error(made);
        if (e->code == CSV_LINE_ERROR_MEMORY)
            throw std::bad_alloc();
        if (e->code != CSV_LINE_OK)
            throw error(*e);
        return t;
    }

    static std::string_view view(csv_line_text text) noexcept { return detail::view(text); }

    csv_line_column at(int column) const
    {
        csv_line_column c;
        if (csv_line_table_column(t_.get(), column, &c) != 0)
            throw error(error::no_column, 0, 0, 0, "no column " + std::to_string(column));
        return c;
    }
    csv_line_column at(std::string_view name) const
    {
        const int k = find(name);
        if (k < 0)
            throw error(error::no_column, 0, 0, 0, "no column '" + std::string(name) + "'");
        return at(k);
    }
    static error wrong_type(std::string_view name, int type)
    {
        static const char *const names[] = {"", "int64", "float64", "bool", "text", "date", "timestamp"};
        return error(error::conversion, 0, 0, 0,
                     "column '" + std::string(name) + "' is of type " + names[type >= 1 && type <= 6 ? type : 0]);
    }

    std::shared_ptr<csv_line_table> t_;
};

/* The dialect of the file at `path`, guessed from its first bytes of text
   (csv_line_sniff_path); `found` is false when it could not tell, and the
   dialect then a weak guess. Throws csv_line::error when the file cannot
   be read. */
struct sniffed {
    csv_line_dialect dialect;
    bool found;
};

inline sniffed sniff(const std::string &path)
{
    sniffed result{};
    csv_line_error failure{};
    const int said = csv_line_sniff_path(path.c_str(), &result.dialect, &failure);
    if (said < 0)
        throw error(failure);
    result.found = said == CSV_LINE_SNIFF_FOUND;
    return result;
}

/* A table of the file at `path`: as table::read_path. */
inline table read_table(const std::string &path, const options &opts = options())
{
    return table::read_path(path.c_str(), opts);
}

} // namespace csv_line

#endif
