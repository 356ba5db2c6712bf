// read_columns' cells: parsed where they lie, a batch at a time, on the
// readers' threads; each column's kind found as they go. A number is never
// a Python object; text columns' str are made a batch at a time with the
// GIL.
#include "columns.h"

#include <sys/mman.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>
#include <unordered_map>

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

// A number as pandas reads one: "inf" and "Infinity" are, a spelled NaN
// is not (only an empty field is missing), and neither is a number too
// large for a double; one too small is 0 or subnormal.
bool parse_float(csv_line_text text, double *out)
{
    const char *end, *begin = trimmed(text, &end);
    const char *digits = begin < end && (*begin == '-' || *begin == '+') ? begin + 1 : begin;
    if (digits < end && (*digits == 'n' || *digits == 'N'))
        return false;
    const auto [stop, error] = std::from_chars(begin, end, *out);
    if (error == std::errc::result_out_of_range && stop == end) {
        *out = std::strtod(std::string(begin, end).c_str(), nullptr);
        return !std::isinf(*out);
    }
    return error == std::errc() && stop == end && begin < end;
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
// LIMIT values it is taken to be of many, and each cell gets its own.
struct Repeats {
    static constexpr size_t LIMIT = 512;
    std::unordered_map<std::string_view, PyObject *> seen;  // borrowed: the batch's cells own them

    PyObject *str(csv_line_text text)
    {
        if (seen.size() >= LIMIT)
            return decode(text);
        const auto [at, added] = seen.try_emplace(std::string_view(text.data, static_cast<size_t>(text.length)));
        if (!added) {
            Py_INCREF(at->second);
            return at->second;
        }
        at->second = decode(text);
        if (at->second == nullptr) {
            seen.erase(at);
            return nullptr;
        }
        return at->second;
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

bool Buffer::reserve(size_t bytes)
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

Part::~Part()
{
    for (size_t c = 0; c < spans.size(); c++)
        for (const Span &span : spans[c])
            if (span.kind == TEXT)
                for (size_t r = span.first; r < span.first + span.rows; r++)
                    Py_XDECREF(reinterpret_cast<PyObject *>(cells[c].cells()[r]));
}

Columns::~Columns()
{
    for (PyObject *object : raised)
        Py_XDECREF(object);
    Py_XDECREF(nan);
}

bool Columns::earlier(long long sequence, int row) const
{
    return problem_sequence < 0 || sequence < problem_sequence ||
           (sequence == problem_sequence && row < problem_row);
}

// Keeps the earliest problem; returns 1 to stop the handing.
int Columns::fail(long long sequence, int row, long long line, std::string what)
{
    std::lock_guard<std::mutex> hold(lock);
    if (earlier(sequence, row)) {
        problem_sequence = sequence;
        problem_row = row;
        problem_line = line;
        problem = std::move(what);
        problem_raised = false;  // an exception it replaces is let go later, with the GIL
        thrown = nullptr;
    }
    return 1;
}

std::string Columns::cell_problem(int column, csv_line_text text, const char *what) const
{
    // At most 40 bytes of the cell, cut before a character, not inside it.
    size_t length = static_cast<size_t>(std::min(text.length, 40));
    if (length < static_cast<size_t>(text.length))
        while (length > 0 && (static_cast<unsigned char>(text.data[length]) & 0xC0) == 0x80)
            length--;
    std::string shown(text.data, length);
    return "column '" + names[static_cast<size_t>(column)] + "': '" + shown + "' " + what;
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
            return fail(sequence, row, line,
                        "column '" + names[c] + "': an empty field in a " + kind_names[want] + " column");
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
    if (kind != BOOL && want != INT && want != BOOL && parse_float(text, &real)) {
        if (kind == INT)
            to_floats(before, number);
        *number = double_bits(real);
        kind = FLOAT;
        return 0;
    }
    if (want != NONE)
        return fail(sequence, row, line,
                    cell_problem(static_cast<int>(c), text,
                                 (std::string("is not ") + (want == INT ? "an " : "a ") + kind_names[want]).c_str()));
    kind = TEXT;  // its str are made with the GIL
    return 0;
}

// Step 1, without the GIL: every numeric cell parsed, a record at a
// time, into the part's buffers, and each column's kind found.
// Returns 0, or 1 after a problem.
int Columns::classify(const csv_line_batch &batch, Part &part, std::vector<Span> &spans)
{
    const size_t rows = static_cast<size_t>(batch.count);
    const long long sequence = part.place.base + batch.sequence;
    std::vector<int64_t *> slots(chosen.size());
    for (size_t c = 0; c < chosen.size(); c++) {
        if (!part.cells[c].reserve((part.rows + rows) * sizeof(int64_t)))
            throw std::bad_alloc();
        slots[c] = part.cells[c].cells() + part.rows;
        spans[c] = Span{part.rows, rows, asked[c] == TEXT ? TEXT : NONE, false};
    }
    for (size_t r = 0; r < rows; r++) {
        const csv_line_record &record = batch.records[r];
        const long long line = record.line + part.place.first_line - 1;
        if (record.count > width)
            return fail(sequence, static_cast<int>(r), line,
                        std::to_string(record.count) + " fields, " + std::to_string(width) + " expected");
        for (size_t c = 0; c < chosen.size(); c++) {
            if (spans[c].kind == TEXT)
                continue;
            const csv_line_text text = chosen[c] < record.count ? csv_line_batch_value(&batch, record.field + chosen[c])
                                                           : csv_line_text{"", 0};
            if (cell(spans[c], c, slots[c] + r, slots[c], text, sequence, static_cast<int>(r), line) != 0)
                return 1;
        }
    }
    return 0;
}

// Step 2, with the GIL: str objects for the text columns, in their
// slots; NaN where missing, as pandas has it. Returns 0, or 1 after a
// problem, with the batch's str let go.
int Columns::build_text(const csv_line_batch &batch, Part &part, std::vector<Span> &spans)
{
    const long long sequence = part.place.base + batch.sequence;
    for (size_t c = 0; c < chosen.size(); c++) {
        if (spans[c].kind != TEXT)
            continue;
        PyObject **slots = reinterpret_cast<PyObject **>(part.cells[c].cells() + part.rows);
        Repeats repeats;
        for (int r = 0; r < batch.count; r++) {
            const csv_line_record &record = batch.records[r];
            const csv_line_text text = chosen[c] < record.count ? csv_line_batch_value(&batch, record.field + chosen[c])
                                                           : csv_line_text{"", 0};
            PyObject *object;
            try {
                object = text.length == 0 ? (Py_INCREF(nan), nan) : repeats.str(text);
            } catch (const std::bad_alloc &) {  // the table of repeats
                object = PyErr_NoMemory();
            }
            if (object == nullptr) {
                keep_raised(sequence, r, record.line + part.place.first_line - 1);
                for (size_t k = 0; k <= c; k++)
                    if (spans[k].kind == TEXT)
                        for (int made = 0; made < (k < c ? batch.count : r); made++)
                            Py_DECREF(reinterpret_cast<PyObject **>(part.cells[k].cells() + part.rows)[made]);
                return 1;
            }
            slots[r] = object;
        }
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
    problem_sequence = sequence;
    problem_row = row;
    problem_line = line;
    problem.clear();
    problem_raised = true;
    thrown = nullptr;
    for (int k = 0; k < 3; k++) {
        Py_XDECREF(raised[k]);
        raised[k] = raised_now[k];
    }
}

// Keeps the C++ exception being handled when it is the first problem:
// its batch's first row. Returns 1 to stop the handing.
int Columns::keep_thrown(long long sequence, long long line) noexcept
{
    std::lock_guard<std::mutex> hold(lock);
    if (earlier(sequence, 0)) {
        problem_sequence = sequence;
        problem_row = 0;
        problem_line = line;
        problem.clear();
        problem_raised = false;
        thrown = std::current_exception();
    }
    return 1;
}

int Columns::take(const csv_line_batch &batch, Part &part) noexcept
{
    try {
        return take_records(batch, part);
    } catch (...) {
        const long long line = batch.count > 0 ? batch.records[0].line + part.place.first_line - 1 : 0;
        return keep_thrown(part.place.base + batch.sequence, line);
    }
}

int Columns::take_records(const csv_line_batch &batch, Part &part)
{
    // Blank lines are skipped, as pandas skips them.
    std::vector<csv_line_record> kept;
    const csv_line_batch *from = &batch;
    csv_line_batch without;
    for (int r = 0; r < batch.count; r++)
        if (is_blank(batch, r)) {
            kept.assign(batch.records, batch.records + r);
            for (int k = r + 1; k < batch.count; k++)
                if (!is_blank(batch, k))
                    kept.push_back(batch.records[k]);
            without = batch;
            without.records = kept.data();
            without.count = static_cast<int>(kept.size());
            from = &without;
            break;
        }
    if (from->count == 0)  // blank lines alone: no rows, and no kind
        return 0;
    std::vector<Span> spans(chosen.size());
    for (std::vector<Span> &kept_spans : part.spans)  // no allocation once the batch's str are made
        kept_spans.reserve(kept_spans.size() + 1);
    if (classify(*from, part, spans) != 0)
        return 1;
    if (std::any_of(spans.begin(), spans.end(), [](const Span &span) { return span.kind == TEXT; })) {
        WithGil locked;
        if (build_text(*from, part, spans) != 0)
            return 1;
    }
    for (size_t c = 0; c < chosen.size(); c++)
        part.spans[c].push_back(spans[c]);
    part.rows += static_cast<size_t>(from->count);
    return 0;
}

int Columns::take_all(csv_line_reader *reader, Part &part) noexcept
{
    struct Taking {
        Columns *columns;
        Part *part;
    } taking = {this, &part};
    return csv_line_reader_for_each(
        reader,
        [](const csv_line_batch *batch, void *context) {
            const Taking &given = *static_cast<Taking *>(context);
            return given.columns->take(*batch, *given.part);
        },
        &taking);
}

}  // namespace csv_line_python
