// read_columns' cells: parsed a batch at a time, on the reader's threads,
// into memory of the batch's own, each column's kind found as they go,
// then put together in input order. A number is never a Python object;
// text columns' str are made a batch at a time with the GIL. Nothing here
// throws (see Problem): memory is had with malloc or mmap, and its failure
// kept as a problem.
#include "columns.h"

#include <sys/mman.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <string_view>

namespace csv_line_python {

namespace {

const char *const kind_names[] = {"none", "int64", "float64", "bool", "str"};

const char *trimmed(csv_line_text text, const char **end)
{
    const char *begin = text.data;
    *end = text.data + text.length;
    while (begin < *end && (*begin == ' ' || *begin == '\t'))
        begin++;
    while (*end > begin && ((*end)[-1] == ' ' || (*end)[-1] == '\t'))
        --*end;
    if (begin < *end && *begin == '+' && *end - begin > 1 && begin[1] != '-' && begin[1] != '+')
        begin++;
    return begin;
}

bool parse_int(csv_line_text text, int64_t *out)
{
    const char *end, *begin = trimmed(text, &end);
    const auto [stop, error] = std::from_chars(begin, end, *out);
    return error == std::errc() && stop == end && begin < end;
}

enum Parsed { NOT_A_NUMBER, PARSED, NO_MEMORY };

// A number as pandas reads one: "inf" and "Infinity" are, a spelled NaN
// is not (only an empty field is missing), and neither is a number too
// large for a double; one too small is 0 or subnormal, which strtod
// rounds, from a NUL-terminated copy.
Parsed parse_float(csv_line_text text, double *out)
{
    const char *end, *begin = trimmed(text, &end);
    const char *digits = begin < end && (*begin == '-' || *begin == '+') ? begin + 1 : begin;
    if (digits < end && (*digits == 'n' || *digits == 'N'))
        return NOT_A_NUMBER;
    const auto [stop, error] = std::from_chars(begin, end, *out);
    if (error == std::errc::result_out_of_range && stop == end) {
        const size_t length = static_cast<size_t>(end - begin);
        char here[128];
        char *copy = length < sizeof here ? here : static_cast<char *>(std::malloc(length + 1));
        if (copy == nullptr)
            return NO_MEMORY;
        std::memcpy(copy, begin, length);
        copy[length] = '\0';
        *out = std::strtod(copy, nullptr);
        if (copy != here)
            std::free(copy);
        return std::isinf(*out) ? NOT_A_NUMBER : PARSED;
    }
    return error == std::errc() && stop == end && begin < end ? PARSED : NOT_A_NUMBER;
}

bool parse_bool(csv_line_text text, uint8_t *out)
{
    const std::string_view value(text.data, static_cast<size_t>(text.length));
    if (value == "True" || value == "TRUE" || value == "true")
        return *out = 1, true;
    if (value == "False" || value == "FALSE" || value == "false")
        return *out = 0, true;
    return false;
}

// Equal cells of a column in a batch share one str while the column
// repeats itself, so that a column of few values makes few objects; past
// LIMIT values it is taken to be of many, and each cell gets its own. The
// table is open-addressed in place: nothing is allocated.
struct Repeats {
    static constexpr size_t LIMIT = 512, SLOTS = 2 * LIMIT;
    struct Slot {
        const char *data;
        int length;
        PyObject *str;  // borrowed: the batch's cells own it
    };
    Slot slots[SLOTS] = {};
    size_t used = 0;

    PyObject *str(csv_line_text text)
    {
        if (used >= LIMIT)
            return decode(text);
        const std::string_view key(text.data, static_cast<size_t>(text.length));
        size_t at = std::hash<std::string_view>{}(key) & (SLOTS - 1);
        for (; slots[at].str != nullptr; at = (at + 1) & (SLOTS - 1))
            if (std::string_view(slots[at].data, static_cast<size_t>(slots[at].length)) == key) {
                Py_INCREF(slots[at].str);
                return slots[at].str;
            }
        PyObject *made = decode(text);
        if (made != nullptr) {
            slots[at] = Slot{text.data, text.length, made};
            used++;
        }
        return made;
    }
};

// Record r of the batch is a blank line: one empty field.
bool is_blank(const csv_line_batch &batch, int r)
{
    return batch.records[r].count == 1 && batch.fields[batch.records[r].field].length == 0;
}

// The fields of the batch's first record that is not a blank line; 0 when
// every one is.
int width_of(const csv_line_batch &batch)
{
    for (int r = 0; r < batch.count; r++)
        if (!is_blank(batch, r))
            return batch.records[r].count;
    return 0;
}

// Field `field` of a record, or an empty one past its last.
csv_line_text cell_text(const csv_line_batch &batch, const csv_line_record &record, int field)
{
    return field < record.count ? csv_line_batch_value(&batch, record.field + field) : csv_line_text{"", 0};
}

}  // namespace

Kind join(Kind a, Kind b)
{
    if (a == NONE || a == b)
        return b;
    if (b == NONE)
        return a;
    if ((a == INT && b == FLOAT) || (a == FLOAT && b == INT))
        return FLOAT;
    return TEXT;
}

int first_width(const csv_line_batch &first, int n, const char *bytes, size_t size, csv_line_reader_options options)
{
    int width = n > 0 ? width_of(first) : 0;
    if (width > 0)
        return width;
    options.header = 0;
    options.threads = 1;
    csv_line_reader *reader = csv_line_reader_open_memory(bytes, size, &options);
    csv_line_batch batch;
    while (reader != nullptr && width == 0 && csv_line_reader_next(reader, &batch) > 0)
        width = width_of(batch);
    csv_line_reader_close(reader);
    return width;
}

Buffer::~Buffer()
{
    if (data != nullptr)
        munmap(data, size);
}

bool Buffer::reserve(size_t bytes) noexcept
{
    if (bytes <= size)
        return true;
    size_t want = std::max(bytes, 2 * size);
    want = (want + STEP - 1) / STEP * STEP;
    void *moved = data != nullptr ? mremap(data, size, want, MREMAP_MAYMOVE)
                                  : mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (moved == MAP_FAILED)
        return false;
    madvise(moved, want, MADV_HUGEPAGE);
    data = moved;
    size = want;
    return true;
}

Batch *Batch::make(size_t rows, size_t columns) noexcept
{
    // The spans after the struct, then the cells, each aligned for its type.
    const size_t spans_at = (sizeof(Batch) + alignof(Span) - 1) / alignof(Span) * alignof(Span);
    const size_t cells_at =
        (spans_at + columns * sizeof(Span) + alignof(int64_t) - 1) / alignof(int64_t) * alignof(int64_t);
    size_t cells_size, size;
    if (columns > SIZE_MAX / sizeof(Span) / 2 || __builtin_mul_overflow(rows, columns, &cells_size) ||
        __builtin_mul_overflow(cells_size, sizeof(int64_t), &cells_size) ||
        __builtin_add_overflow(cells_at, cells_size, &size))
        return nullptr;
    char *block = static_cast<char *>(std::malloc(size));
    if (block == nullptr)
        return nullptr;
    Batch *batch = reinterpret_cast<Batch *>(block);
    batch->rows = rows;
    batch->columns = columns;
    batch->line = 0;
    batch->spans = reinterpret_cast<Span *>(block + spans_at);
    batch->cells = reinterpret_cast<int64_t *>(block + cells_at);
    return batch;
}

void Batch::let_go()
{
    for (size_t c = 0; c < columns; c++)
        if (spans[c].owned) {
            for (size_t r = 0; r < rows; r++)
                Py_DECREF(reinterpret_cast<PyObject *>(column(c)[r]));
            spans[c].owned = false;
        }
}

bool Whole::append(Batch &batch) noexcept
{
    const size_t k = pieces.size;
    if (!pieces.reserve(k + 1) || !spans.reserve((k + 1) * columns))
        return false;
    for (size_t c = 0; c < columns; c++)
        if (!cells[c].reserve((rows + batch.rows) * sizeof(int64_t)))
            return false;
    for (size_t c = 0; c < columns; c++) {
        std::memcpy(cells[c].cells() + rows, batch.column(c), batch.rows * sizeof(int64_t));
        spans.at[k * columns + c] = batch.spans[c];
        batch.spans[c].owned = false;  // its str are the whole's now
    }
    pieces.at[k] = Piece{rows, batch.rows};
    pieces.size = k + 1;
    spans.size = (k + 1) * columns;
    rows += batch.rows;
    return true;
}

void Whole::let_go()
{
    for (size_t k = 0; k < pieces.size; k++)
        for (size_t c = 0; c < columns; c++) {
            Span &held = span(k, c);
            if (held.owned)
                for (size_t r = pieces.at[k].first; r < pieces.at[k].first + pieces.at[k].rows; r++)
                    Py_DECREF(reinterpret_cast<PyObject *>(cells[c].cells()[r]));
            held.owned = false;
        }
}

namespace {

// Marks a batch of blank lines alone among those waiting: nothing to put
// together.
Batch blank_lines = {0, 0, 0, nullptr, nullptr};

}  // namespace

Columns::~Columns()
{
    for (size_t k = 0; k < waiting.size; k++)
        if (waiting.at[k] != nullptr && waiting.at[k] != &blank_lines) {
            waiting.at[k]->let_go();
            std::free(waiting.at[k]);
        }
    if (whole)
        whole->let_go();
    for (PyObject *object : raised)
        Py_XDECREF(object);
    Py_XDECREF(nan);
}

bool Columns::earlier(long long sequence, int row) const
{
    return !failed() || sequence < problem.sequence || (sequence == problem.sequence && row < problem.row);
}

// Keeps the earliest problem (the lock held).
void Columns::keep_first(const Problem &found)
{
    if (earlier(found.sequence, found.row))
        problem = found;  // an exception it replaces is let go later, with the GIL
}

// Keeps the earliest problem; returns 1 to stop the handing.
int Columns::fail(const Problem &found)
{
    std::lock_guard<std::mutex> hold(lock);
    keep_first(found);
    return 1;
}

void Columns::raise_problem()
{
    if (problem.what == Problem::RAISED) {
        PyErr_Restore(raised[0], raised[1], raised[2]);
        raised[0] = raised[1] = raised[2] = nullptr;
        return;
    }
    if (problem.what == Problem::MEMORY) {
        PyErr_NoMemory();
        return;
    }
    if (problem.what == Problem::OUT_OF_ORDER) {
        PyErr_SetString(PyExc_RuntimeError, "csv_line: the reader handed over a batch out of its sequence");
        return;
    }
    const std::string column = problem.column < names.size() ? "column '" + names[problem.column] + "': " : "";
    const Kind kind = problem.column < asked.size() ? asked[problem.column] : NONE;
    if (problem.what == Problem::NOT_OF_KIND)
        raise_message(problem.line, column + "'" + std::string(problem.shown, problem.shown_length) + "' is not " +
                                        (kind == INT ? "an " : "a ") + kind_names[kind]);
    else if (problem.what == Problem::EMPTY)
        raise_message(problem.line, column + "an empty field in a " + kind_names[kind] + " column");
    else
        raise_message(problem.line,
                      std::to_string(problem.fields) + " fields, " + std::to_string(width) + " expected");
}

// A cell's problem kept, when it is the first; returns 1.
int Columns::fail_cell(Problem::What what, long long sequence, int row, long long line, size_t c, csv_line_text text)
{
    Problem found;
    found.what = what;
    found.sequence = sequence;
    found.row = row;
    found.line = line;
    found.column = c;
    // At most the cell's first bytes, cut before a character, not inside it.
    size_t length = std::min(static_cast<size_t>(text.length), sizeof found.shown);
    if (length < static_cast<size_t>(text.length))
        while (length > 0 && (static_cast<unsigned char>(text.data[length]) & 0xC0) == 0x80)
            length--;
    std::memcpy(found.shown, text.data, length);
    found.shown_length = length;
    return fail(found);
}

// One cell of a column, its slot `number`: parsed as the kind of its
// batch's cells so far, or the kind widened to hold it; `before`, the
// batch's cells before it. Returns 0, or 1 after a problem.
int Columns::cell(Span &span, size_t c, int64_t *number, int64_t *before, csv_line_text text, long long sequence,
                  int row, long long line)
{
    const Kind want = asked[c];
    Kind &kind = span.kind;
    if (text.length == 0) {
        if (want == INT || want == BOOL)
            return fail_cell(Problem::EMPTY, sequence, row, line, c, text);
        if (kind == INT) {
            to_floats(before, number);  // integers with a missing one are floats, as pandas has them
            kind = FLOAT;
        }
        span.missing = true;
        *number = double_bits(NAN);
        return 0;
    }
    double real;
    uint8_t truth;
    if ((kind == NONE || kind == INT) && want != FLOAT && want != BOOL && parse_int(text, number)) {
        if (kind == NONE && span.missing) {
            *number = double_bits(static_cast<double>(*number));
            kind = FLOAT;
        } else {
            kind = INT;
        }
        return 0;
    }
    if ((kind == NONE || kind == BOOL) && want != INT && want != FLOAT && parse_bool(text, &truth)) {
        *number = double_bits(truth);
        kind = BOOL;
        return 0;
    }
    const Parsed parsed = kind != BOOL && want != INT && want != BOOL ? parse_float(text, &real) : NOT_A_NUMBER;
    if (parsed == PARSED) {
        if (kind == INT)
            to_floats(before, number);
        *number = double_bits(real);
        kind = FLOAT;
        return 0;
    }
    if (parsed == NO_MEMORY)
        return fail_cell(Problem::MEMORY, sequence, row, line, c, text);
    if (want != NONE)
        return fail_cell(Problem::NOT_OF_KIND, sequence, row, line, c, text);
    kind = TEXT;  // its str are made with the GIL
    return 0;
}

// Step 1, without the GIL: every numeric cell parsed, a record at a
// time, into the batch's cells, and each column's kind found; blank
// lines skipped, as pandas skips them. Returns 0, or 1 after a problem.
int Columns::classify(const csv_line_batch &batch, Batch &cells)
{
    for (size_t c = 0; c < cells.columns; c++)
        cells.spans[c] = Span{asked[c] == TEXT ? TEXT : NONE, false, false};
    size_t row = 0;
    for (int r = 0; r < batch.count; r++) {
        if (is_blank(batch, r))
            continue;
        const csv_line_record &record = batch.records[r];
        const long long line = record.line + line_base;
        if (record.count > width) {
            Problem found;
            found.sequence = batch.sequence;
            found.row = r;
            found.line = line;
            found.what = Problem::FIELDS;
            found.fields = record.count;
            return fail(found);
        }
        for (size_t c = 0; c < cells.columns; c++) {
            Span &span = cells.spans[c];
            if (span.kind != TEXT &&
                cell(span, c, cells.column(c) + row, cells.column(c), cell_text(batch, record, chosen[c]),
                     batch.sequence, r, line) != 0)
                return 1;
        }
        row++;
    }
    return 0;
}

// Step 2, with the GIL: str objects for the text columns, in their
// slots; NaN where missing, as pandas has it. Returns 0, or 1 after a
// problem, with the batch's str let go.
int Columns::build_text(const csv_line_batch &batch, Batch &cells)
{
    for (size_t c = 0; c < cells.columns; c++) {
        if (cells.spans[c].kind != TEXT)
            continue;
        PyObject **slots = reinterpret_cast<PyObject **>(cells.column(c));
        Repeats repeats;
        size_t row = 0;
        for (int r = 0; r < batch.count; r++) {
            if (is_blank(batch, r))
                continue;
            const csv_line_text text = cell_text(batch, batch.records[r], chosen[c]);
            PyObject *object = text.length == 0 ? (Py_INCREF(nan), nan) : repeats.str(text);
            if (object == nullptr) {
                keep_raised(batch.sequence, r, batch.records[r].line + line_base);
                for (size_t made = 0; made < row; made++)
                    Py_DECREF(slots[made]);
                cells.let_go();
                return 1;
            }
            slots[row++] = object;
        }
        cells.spans[c].owned = true;
    }
    return 0;
}

// Keeps the exception just raised when it is the first problem.
void Columns::keep_raised(long long sequence, int row, long long line)
{
    PyObject *raised_now[3];
    PyErr_Fetch(&raised_now[0], &raised_now[1], &raised_now[2]);
    std::lock_guard<std::mutex> hold(lock);
    if (!earlier(sequence, row)) {
        for (PyObject *object : raised_now)
            Py_XDECREF(object);
        return;
    }
    problem = Problem{};
    problem.sequence = sequence;
    problem.row = row;
    problem.line = line;
    problem.what = Problem::RAISED;
    for (int k = 0; k < 3; k++) {
        Py_XDECREF(raised[k]);
        raised[k] = raised_now[k];
    }
}

// Puts the batch among those waiting (null cells: blank lines alone) and,
// unless another thread is at it, puts together every batch waiting in
// turn, this one or not. Returns 0, or 1 after a problem, the cells left
// to the caller.
int Columns::join_in_turn(long long sequence, BatchCells &cells)
{
    Problem found;
    found.sequence = sequence;
    found.line = cells ? cells->line : 0;
    std::unique_lock<std::mutex> hold(lock);
    const size_t at = static_cast<size_t>(sequence);
    if (sequence < next || (at < waiting.size && waiting.at[at] != nullptr)) {
        found.what = Problem::OUT_OF_ORDER;
        found.sequence = -1;  // before any other problem
        keep_first(found);
        return 1;
    }
    if (!waiting.reserve(at + 1)) {
        found.what = Problem::MEMORY;
        keep_first(found);
        return 1;
    }
    waiting.at[at] = cells ? cells.release() : &blank_lines;
    waiting.size = std::max(waiting.size, at + 1);
    if (joining)
        return 0;
    joining = true;
    for (;;) {
        const size_t turn = static_cast<size_t>(next);
        Batch *batch = turn < waiting.size ? waiting.at[turn] : nullptr;
        if (batch == nullptr)
            break;
        hold.unlock();
        const bool joined = batch == &blank_lines || whole->append(*batch);
        hold.lock();
        if (!joined) {
            // The batch stays where it waits, its str with it; no other is
            // put together after it.
            found.sequence = static_cast<long long>(turn);
            found.line = batch->line;
            found.what = Problem::MEMORY;
            keep_first(found);
            return 1;
        }
        waiting.at[turn] = nullptr;
        next++;
        hold.unlock();
        if (batch != &blank_lines)
            std::free(batch);
        hold.lock();
    }
    joining = false;
    return 0;
}

int Columns::take(const csv_line_batch &batch) noexcept
{
    const long long line = batch.count > 0 ? batch.records[0].line + line_base : 0;
    size_t rows = 0;
    for (int r = 0; r < batch.count; r++)
        rows += !is_blank(batch, r);
    BatchCells cells;
    if (rows > 0) {
        cells.reset(Batch::make(rows, chosen.size()));
        if (!cells) {
            Problem found;
            found.sequence = batch.sequence;
            found.line = line;
            found.what = Problem::MEMORY;
            return fail(found);
        }
        if (classify(batch, *cells) != 0)
            return 1;
        if (std::any_of(cells->spans, cells->spans + cells->columns,
                        [](const Span &span) { return span.kind == TEXT; })) {
            WithGil locked;
            if (build_text(batch, *cells) != 0)
                return 1;
        }
        cells->line = line;
    }
    const int said = join_in_turn(batch.sequence, cells);
    if (said != 0 && cells) {
        WithGil locked;
        cells->let_go();
    }
    return said;
}

int Columns::take_all(csv_line_reader *reader) noexcept
{
    return csv_line_reader_for_each(
        reader, [](const csv_line_batch *batch, void *context) { return static_cast<Columns *>(context)->take(*batch); },
        this);
}

}  // namespace csv_line_python
