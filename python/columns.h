// read_columns' cells: each batch's cells parsed into memory of its own
// on the reader's threads, put together in input order into the memory
// that becomes each column's array, and what those threads share. Not
// installed.
#ifndef CSV_LINE_PYTHON_COLUMNS_H
#define CSV_LINE_PYTHON_COLUMNS_H

#include "module.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
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
// none (or the reader stops before it, which the reading of the columns says).
int first_width(const csv_line_batch &first, int n, const char *bytes, size_t size, csv_line_reader_options options);

// Memory for a column's cells that grows in place (mremap) and in huge
// pages where the kernel gives them, so that each page is touched once:
// the cells are put where the array will find them.
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
    bool reserve(size_t bytes) noexcept;
};

// An array of what the reader's threads keep, grown with realloc: it says
// when memory runs out where a vector would throw (see Problem). T is
// trivially copyable.
template <class T>
struct Grown {
    T *at = nullptr;
    size_t size = 0, capacity = 0;

    Grown() = default;
    Grown(const Grown &) = delete;
    Grown &operator=(const Grown &) = delete;
    ~Grown() { std::free(at); }

    // Room for n, the new entries zeroed; false when it cannot be had.
    bool reserve(size_t n) noexcept
    {
        if (n <= capacity)
            return true;
        size_t more = capacity > 0 ? capacity : 64;
        while (more < n)
            more = more <= SIZE_MAX / 2 ? 2 * more : n;
        if (more > SIZE_MAX / sizeof(T))
            return false;
        T *grown = static_cast<T *>(std::realloc(at, more * sizeof(T)));
        if (grown == nullptr)
            return false;
        std::memset(static_cast<void *>(grown + capacity), 0, (more - capacity) * sizeof(T));
        at = grown;
        capacity = more;
        return true;
    }
};

// What a batch's cells of one column hold: int64 for INT, double for
// FLOAT, BOOL and NONE (NaN where missing), a str for TEXT, owned (by the
// batch, then by the columns put together) until an array takes it.
struct Span {
    Kind kind;
    bool missing;
    bool owned;
};

// One batch's cells, parsed on the thread that took it, in one block had
// with malloc: its spans, then column c's rows at column(c).
struct Batch {
    size_t rows, columns;
    long long line;  // its first record's
    Span *spans;
    int64_t *cells;

    int64_t *column(size_t c) const { return cells + c * rows; }

    // Null when the memory cannot be had.
    static Batch *make(size_t rows, size_t columns) noexcept;

    // With the GIL: the str it still owns let go.
    void let_go();
};

struct FreeBatch {
    void operator()(Batch *batch) const noexcept { std::free(batch); }
};
using BatchCells = std::unique_ptr<Batch, FreeBatch>;

// Where a batch put together lies in the columns: its first row, and how
// many.
struct Piece {
    size_t first, rows;
};

// The batches put together in input order: each column's cells in a
// buffer that becomes its array, each batch's place, and its spans, one a
// column (batch k's of column c at spans.at[k * columns + c]).
struct Whole {
    size_t columns = 0;
    std::vector<Buffer> cells;
    Grown<Piece> pieces;
    Grown<Span> spans;
    size_t rows = 0;

    explicit Whole(size_t count) : columns(count), cells(count) {}

    Span &span(size_t piece, size_t c) const { return spans.at[piece * columns + c]; }

    // A batch's cells after the rest, its str with them; false when the
    // memory cannot be had, with nothing changed.
    bool append(Batch &batch) noexcept;

    // With the GIL: the str it still owns let go.
    void let_go();
};

// The first problem found on the reader's threads, by its place in the
// input. Its message is made by the caller, with the GIL: nothing on
// those threads throws, since a C++ exception met there when memory runs
// out cannot even be caught (libstdc++ has the thread's exception state
// allocated lazily, and aborts when it cannot be).
struct Problem {
    enum What : uint8_t {
        NOTHING,       // no problem yet
        NOT_OF_KIND,   // a cell not of the kind asked for
        EMPTY,         // an empty cell in a column of a kind with no missing value
        FIELDS,        // a record with more fields than there are columns
        RAISED,        // Python's exception, met making a str
        MEMORY,        // memory that could not be had
        OUT_OF_ORDER,  // a batch's sequence out of the reader's contract
    };
    long long sequence = -1, line = 0;
    int row = 0;
    What what = NOTHING;
    size_t column = 0;
    int fields = 0;       // FIELDS: the record's
    char shown[40] = {};  // NOT_OF_KIND: the cell's first bytes, cut before a character
    size_t shown_length = 0;
};

// What read_columns shares with the reader's threads. Batches come in any
// order; each waits by its sequence until those before it are put
// together, and whichever thread finds the next one waiting puts it (and
// any waiting after it) together, while the others read on.
struct Columns {
    std::vector<int> chosen;         // field index of each chosen column
    std::vector<std::string> names;  // of each chosen column
    std::vector<Kind> asked;         // NONE: inferred
    int width = 0;                   // fields a record may have
    long long line_base = 0;         // added to the reader's lines, so that they count from first_line
    PyObject *nan = nullptr;

    std::mutex lock;
    Grown<Batch *> waiting;  // by sequence: null until handed over, and once put together
    long long next = 0;      // the sequence put together next
    bool joining = false;    // a thread puts batches together (or stopped, its memory refused)
    std::unique_ptr<Whole> whole;
    Problem problem;
    PyObject *raised[3] = {nullptr, nullptr, nullptr};  // let go with the GIL only

    Columns() = default;
    Columns(const Columns &) = delete;
    Columns &operator=(const Columns &) = delete;
    ~Columns();  // with the GIL

    // Room for the chosen columns, once they are known.
    void start() { whole = std::make_unique<Whole>(chosen.size()); }

    // A batch's records into a Batch of their cells, put together in
    // turn. Returns 0, or 1 to stop. Without the GIL, on any thread.
    int take(const csv_line_batch &batch) noexcept;

    // Takes every batch left of the reader, on its threads. Returns what
    // csv_line_reader_for_each returns.
    int take_all(csv_line_reader *reader) noexcept;

    // Every batch handed over was put together, none missing between.
    bool all_joined() const { return static_cast<size_t>(next) == waiting.size; }

    bool failed() const { return problem.what != Problem::NOTHING; }

    // With the GIL: the problem kept raised as Python's exception.
    void raise_problem();

private:
    bool earlier(long long sequence, int row) const;
    int fail(const Problem &found);
    int fail_cell(Problem::What what, long long sequence, int row, long long line, size_t c, csv_line_text text);
    void keep_first(const Problem &found);
    int cell(Span &span, size_t c, int64_t *number, int64_t *before, csv_line_text text, long long sequence, int row,
             long long line);
    int classify(const csv_line_batch &batch, Batch &cells);
    int build_text(const csv_line_batch &batch, Batch &cells);
    void keep_raised(long long sequence, int row, long long line);
    int join_in_turn(long long sequence, BatchCells &cells);
};

// Each column's kind, joined over the batches.
struct Kinds {
    std::vector<Kind> kinds;
    std::vector<bool> missing;  // a cell is missing
    std::vector<bool> again;    // text met after numbers: read again as text, for the numbers' own spelling
};

// numpy's C API for this module, taken once when it is imported. False
// with an error set.
bool import_numpy();

// The kind a dtype asks for (str, a numpy dtype or its name); NONE with
// an error set when it is none of int64, float64, bool and str.
Kind kind_of(PyObject *dtype);

// The array of column c from the cells put together, of the kind they
// join to.
PyObject *assemble(Whole &whole, size_t c, Kind kind, bool missing);

}  // namespace csv_line_python

#endif
