// read_columns' cells: each column's cells parsed in place into memory
// that becomes its array, by the readers' threads, and what those threads
// share. Not installed.
#ifndef CSV_LINE_PYTHON_COLUMNS_H
#define CSV_LINE_PYTHON_COLUMNS_H

#include "module.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace csv_line_python {

// What a column's cells have been so far: a join in the order
// none < int < float, none < bool, anything else text.
enum Kind : uint8_t { NONE, INT, FLOAT, BOOL, TEXT };

Kind join(Kind a, Kind b);

inline int64_t double_bits(double value)
{
    int64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline double bits_double(int64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The integers in [from, to) made doubles, where they lie.
inline void to_floats(int64_t *from, int64_t *to)
{
    for (; from < to; from++)
        *from = double_bits(static_cast<double>(*from));
}

// The width when no names are known: that of the first record that is not
// a blank line, in `first` (the first batch of the `size` bytes at
// `bytes`, of which there were n) or else read on for; 0 when there is
// none (or a reader stops before it, which the readers of the columns say).
int first_width(const csv_line_batch &first, int n, const char *bytes, size_t size, csv_line_reader_options options);

// Where a reader's batches lie in the whole input: its first line, and
// what orders its batches after those of the readers before it.
struct Place {
    long long first_line = 1;
    long long base = 0;  // added to a batch's sequence
};

// Memory for a column's cells that grows in place (mremap) and in huge
// pages where the kernel gives them, so that each page is touched once:
// the cells are written where the array will find them.
struct Buffer {
    static constexpr size_t STEP = 2 << 20;
    void *data = nullptr;
    size_t size = 0;

    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer();

    int64_t *cells() const { return static_cast<int64_t *>(data); }

    // Room for `bytes`; false when the memory cannot be had.
    bool reserve(size_t bytes);
};

// A batch's cells of one column: their rows in the column's buffer, and
// what they hold there (int64 for INT, double for FLOAT, BOOL and NONE,
// NaN where missing; a str, owned, for TEXT).
struct Span {
    size_t first = 0, rows = 0;
    Kind kind = NONE;
    bool missing = false;
};

// The columns one reader read: each column's cells in a buffer, in input
// order, batch after batch.
struct Part {
    Place place;
    std::vector<Buffer> cells;
    std::vector<std::vector<Span>> spans;
    size_t rows = 0;

    explicit Part(const Place &where, size_t columns) : place(where), cells(columns), spans(columns) {}
    Part(const Part &) = delete;
    Part &operator=(const Part &) = delete;

    // With the GIL: the str not handed to an array are let go.
    ~Part();
};

// What read_columns shares with the reader's threads.
struct Columns {
    std::vector<int> chosen;         // field index of each chosen column
    std::vector<std::string> names;  // of each chosen column
    std::vector<Kind> asked;         // NONE: inferred
    int width = 0;                   // fields a record may have
    PyObject *nan = nullptr;

    std::mutex lock;
    // The first problem, by its place in the input: a message, Python's
    // exception met building str (raised, when problem_raised), or a C++
    // exception met on a reader's thread (thrown), carried to the caller.
    long long problem_sequence = -1, problem_line = 0;
    int problem_row = 0;
    std::string problem;
    bool problem_raised = false;
    PyObject *raised[3] = {nullptr, nullptr, nullptr};  // let go with the GIL only
    std::exception_ptr thrown;

    Columns() = default;
    Columns(const Columns &) = delete;
    Columns &operator=(const Columns &) = delete;
    ~Columns();  // with the GIL

    // A batch's records into the part's columns. Returns 0, or 1 to stop.
    // Without the GIL, on any thread.
    int take(const csv_line_batch &batch, Part &part) noexcept;

    // Takes every batch of a reader: on its threads, or on this thread
    // for a reader of one thread. Returns the reader's result.
    int take_all(csv_line_reader *reader, Part &part) noexcept;

private:
    bool earlier(long long sequence, int row) const;
    int fail(long long sequence, int row, long long line, std::string what);
    std::string cell_problem(int column, csv_line_text text, const char *what) const;
    int cell(Span &span, size_t c, int64_t *number, int64_t *before, csv_line_text text, long long sequence, int row,
             long long line);
    int classify(const csv_line_batch &batch, Part &part, std::vector<Span> &spans);
    int build_text(const csv_line_batch &batch, Part &part, std::vector<Span> &spans);
    void keep_raised(long long sequence, int row, long long line);
    int keep_thrown(long long sequence, long long line) noexcept;
    int take_records(const csv_line_batch &batch, Part &part);
};

// numpy's C API for this module, taken once when it is imported. False
// with an error set.
bool import_numpy();

// The kind a dtype asks for (str, a numpy dtype or its name); NONE with
// an error set when it is none of int64, float64, bool and str.
Kind kind_of(PyObject *dtype);

// The array of column c from the parts' cells, of the kind they join to.
PyObject *assemble(std::vector<std::unique_ptr<Part>> &parts, size_t c, Kind kind, bool missing, Py_ssize_t rows);

}  // namespace csv_line_python

#endif
