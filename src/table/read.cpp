// Reading a table: each batch of the reader becomes a piece of every
// column on the thread that holds it (its cells parsed, its kinds found),
// the pieces are put together in input order by whichever thread finds the
// next one waiting, and at the end each column is made of one type.
//
// A piece's column is of one kind; pieces of a column may differ. At the
// end numbers are widened where they lie (int to float, date to
// timestamp); a column that turned to text after pieces of numbers has
// those pieces read again from the input, for the cells' own spelling.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "reader/reader.h"
#include "table/dates.h"
#include "table/table.h"

namespace csv_line::table {

namespace {

// Record r of a batch is a blank line: one empty field, and no row.
bool is_blank(const csv_line_batch &batch, int r)
{
    return batch.records[r].count == 1 && batch.fields[batch.records[r].field].length == 0;
}

// Field `field` of a record, or an empty one past its last.
csv_line_text cell_text(const csv_line_batch &batch, const csv_line_record &record, int field)
{
    return field < record.count ? csv_line_batch_value(&batch, record.field + field) : csv_line_text{"", 0};
}

// One column of one batch's rows.
struct Cells {
    Kind kind = NONE;
    size_t rows = 0;
    long long missing = 0;
    Grown<int64_t> values;   // a slot a row, unless text
    Grown<int64_t> offsets;  // text: rows + 1, from 0
    Grown<char> bytes;       // text
    Grown<uint8_t> absent;   // `rows` bytes once a cell is missing: 1 for missing

    bool text(csv_line_text value) noexcept
    {
        const size_t length = static_cast<size_t>(value.length);
        if (length > 0) {
            if (!bytes.more(length))
                return false;
            std::memcpy(bytes.at + bytes.size, value.data, length);
            bytes.size += length;
        }
        return offsets.push(static_cast<int64_t>(bytes.size));
    }
};

// One batch's rows, every column.
struct Piece {
    long long sequence = 0;
    size_t rows = 0;
    long long begin = 0;  // the input's byte where its first record begins
    long long line = 0;   // that record's line
    Cells *columns = nullptr;
    size_t count = 0;
    Grown<int> records;   // the batch's records that are rows
    Grown<char> saved;    // its bytes, after an LF, when the input cannot be read again

    ~Piece() { free_objects(columns, count); }

    // Empty again, its memory kept for the next batch.
    void reset() noexcept
    {
        rows = 0;
        saved.size = 0;
        records.size = 0;
        for (size_t c = 0; c < count; c++) {
            Cells &cells = columns[c];
            if (cells.missing > 0)
                std::memset(cells.absent.at, 0, cells.absent.capacity);
            cells.kind = NONE;
            cells.rows = 0;
            cells.missing = 0;
            cells.values.size = cells.offsets.size = cells.bytes.size = 0;
        }
    }
};

// Where the pieces lie in the table, to widen or read again at the end.
struct Mark {
    size_t first, rows;
    long long begin, line;
    char *saved;  // Piece::saved, now the mark's (malloc'ed), or null
    size_t saved_size;
};

// A column being put together: non-text pieces' slots in values, text
// pieces' offsets and bytes, all rows' validity.
struct Building {
    Kind kind = NONE;  // of the pieces so far, joined
    Buffer values, offsets, bytes, validity;
    long long missing = 0;
    bool others = false;  // pieces of rows not of text
};

// The first problem found, by its place in the input.
struct Problem {
    long long sequence = -1, line = 0;
    int record = 0;
    size_t place = 0;  // within the record: 0 for the record itself, else its column + 1
    int code = CSV_LINE_OK;
    size_t column = 0;
    int fields = 0;
    char shown[40] = {};  // the cell's first bytes, cut before a character
    size_t shown_length = 0;
};

// How the input can be read again.
struct Source {
    const char *bytes = nullptr;  // memory
    size_t length = 0;
    const char *path = nullptr;   // a file by name
    int fd = -1;                  // a file by descriptor, its bytes from `base`
    off_t base = 0;
    bool again = true;            // false: pieces keep their bytes
    bool in_order = false;        // text the reader made: read again from the start, forward only
};

// An input whose text the reader made (decompressed, turned into UTF-8)
// read again: one reader from its start, taken forward piece by piece,
// since the text cannot be entered at an offset.
struct Onward {
    csv_line_reader *reader = nullptr;
    int opened = -1;  // the descriptor it opened, if any
    off_t offset = 0;  // a descriptor's, read with pread
    int fd = -1;
    csv_line_batch batch{};
    int next = 0;  // the batch's next record
};

struct Reading {
    csv_line_table *table;
    csv_line_reader *reader = nullptr;
    const csv_line_table_options *options;
    csv_line_reader_options reader_options{};
    Source source;
    Onward onward;
    long long line_base = 0;

    // The columns, once the width is known: each one's field, kind asked
    // (NONE: inferred) and whether a cell must be present.
    int width = 0;
    bool known = false;
    Grown<int> fields;
    Grown<Kind> asked;
    Grown<uint8_t> required;
    size_t count = 0;

    std::mutex lock;
    std::condition_variable settled_change;
    long long settled = -1;  // batches up to this one have looked for the width

    Piece blank_lines;       // stands for a batch of blank lines alone: no rows, no columns
    Grown<Piece *> spare;    // pieces put together, their memory kept
    Grown<Piece *> waiting;  // by sequence
    long long next = 0;      // the sequence put together next
    bool joining = false;
    Building *building = nullptr;
    Grown<Mark> marks;
    Grown<Kind> kinds;  // piece k's column c at k * count + c
    long long rows = 0;
    Problem problem;

    ~Reading()
    {
        free_objects(building, count);
        for (size_t k = 0; k < waiting.size; k++)
            if (waiting.at[k] != &blank_lines)
                free_objects(waiting.at[k], 1);
        for (size_t k = 0; k < spare.size; k++)
            free_objects(spare.at[k], 1);
        for (size_t k = 0; k < marks.size; k++)
            std::free(marks.at[k].saved);
    }

    bool failed() const { return problem.code != CSV_LINE_OK; }

    bool earlier(long long sequence, int record, size_t place = 0) const
    {
        if (!failed() || sequence != problem.sequence)
            return !failed() || sequence < problem.sequence;
        return record < problem.record || (record == problem.record && place < problem.place);
    }

    // Keeps the problem when it is the first; returns 1, to stop.
    int fail(const Problem &found)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (earlier(found.sequence, found.record, found.place))
            problem = found;
        return 1;
    }

    int fail_memory(long long sequence, long long line, int record = 0)
    {
        Problem found;
        found.sequence = sequence;
        found.record = record;
        found.line = line;
        found.code = CSV_LINE_ERROR_MEMORY;
        return fail(found);
    }

    int fail_cell(const csv_line_batch &batch, int r, size_t c, csv_line_text text)
    {
        Problem found;
        found.sequence = batch.sequence;
        found.record = r;
        found.line = batch.records[r].line + line_base;
        found.code = CSV_LINE_ERROR_CELL;
        found.column = c;
        found.place = c + 1;
        size_t length = std::min(static_cast<size_t>(text.length), sizeof found.shown);
        if (length < static_cast<size_t>(text.length))
            while (length > 0 && (static_cast<unsigned char>(text.data[length]) & 0xC0) == 0x80)
                length--;
        std::memcpy(found.shown, text.data, length);
        found.shown_length = length;
        return fail(found);
    }

    Piece *get_piece() noexcept;
    void put_back(Piece *piece) noexcept;
    bool prepare(const csv_line_batch *first);
    void settle(const csv_line_batch &batch);
    int take(const csv_line_batch &batch) noexcept;
    int cell(Cells &cells, const csv_line_batch &batch, int r, size_t c, size_t row);
    size_t fill(Cells &cells, const csv_line_batch &batch, size_t c, const int *records, size_t stop);
    bool to_text(Cells &cells, const csv_line_batch &batch, int upto, size_t c);
    bool save(Piece &piece, const csv_line_batch &batch);
    int join_in_turn(long long sequence, Piece *piece);
    bool append(Piece &piece);
    bool finish();
    bool finish_text(const Grown<size_t> &again);
    bool read_again(const Mark &mark, const Grown<size_t> &again, Building *made);
    bool read_onward(const Mark &mark, const Grown<size_t> &again, Building *made);
    bool take_row(const csv_line_batch &batch, int r, const Grown<size_t> &again, Building *made);
    void close_onward();
    void say_problem();
    void say_again_failed(const char *why, int system);
};

// The width known, the columns chosen, typed and named. False with the
// table's error said. `first` is the first record that is not a blank
// line, when there is no header; null for none.
bool Reading::prepare(const csv_line_batch *first)
{
    const csv_line_table_options &given = *options;
    const bool header = reader_options.header != 0;
    csv_line_error &error = table->error;
    if (header)
        width = csv_line_reader_column_count(reader);
    else if (first != nullptr)
        for (int r = 0; r < first->count; r++)
            if (!is_blank(*first, r)) {
                width = first->records[r].count;
                break;
            }
    known = true;
    // A column named in the options: its field, or -1 said.
    auto field_of = [&](const csv_line_column_spec &spec) {
        if (spec.name == nullptr) {
            if (spec.index >= width && (header || first != nullptr)) {
                std::snprintf(error.message, sizeof error.message, "column %d: the input has %d", spec.index + 1,
                              width);
                error.code = CSV_LINE_ERROR_COLUMN;
                return -1;
            }
            return spec.index;
        }
        const int found = header ? csv_line_reader_column_find(reader, spec.name, std::strlen(spec.name)) : -1;
        if (found < 0) {
            std::snprintf(error.message, sizeof error.message, "column '%.200s' is not in the header", spec.name);
            error.code = CSV_LINE_ERROR_COLUMN;
        }
        return found;
    };
    const size_t named = given.columns != nullptr ? static_cast<size_t>(given.column_count) : 0;
    count = given.only_columns ? named : static_cast<size_t>(width);
    if (!fields.reserve(count) || !asked.reserve(count) || !required.reserve(count) ||
        !kinds.reserve(count)) {
        error.code = CSV_LINE_ERROR_MEMORY;
        return false;
    }
    for (size_t c = 0; c < count; c++)
        fields.at[c] = static_cast<int>(c);
    for (size_t k = 0; k < named; k++) {
        const csv_line_column_spec &spec = given.columns[k];
        const int field = field_of(spec);
        if (field < 0)
            return false;
        const size_t c = given.only_columns ? k : static_cast<size_t>(field);
        if (c >= count)
            continue;  // a column of no record: nothing to type
        fields.at[c] = field;
        asked.at[c] = kind_of(spec.type);
        required.at[c] = spec.required != 0;
    }
    building = make_objects<Building>(count);
    if (building == nullptr || !make_columns(table, static_cast<int>(count))) {
        error.code = CSV_LINE_ERROR_MEMORY;
        return false;
    }
    for (size_t c = 0; c < count; c++) {
        building[c].kind = asked.at[c];
        char number[16];
        csv_line_text name{number, std::snprintf(number, sizeof number, "%d", fields.at[c] + 1)};
        if (header)
            name = csv_line_reader_column_name(reader, fields.at[c]);
        if (!name_column(table, static_cast<int>(c), name.data, static_cast<size_t>(name.length))) {
            error.code = CSV_LINE_ERROR_MEMORY;
            return false;
        }
    }
    return true;
}

// Without a header the width is the first record's that is not a blank
// line: each batch waits for those before it to have looked, in turn.
void Reading::settle(const csv_line_batch &batch)
{
    std::unique_lock<std::mutex> hold(lock);
    settled_change.wait(hold, [&] { return known || settled >= batch.sequence - 1; });
    if (!known) {
        for (int r = 0; r < batch.count; r++)
            if (!is_blank(batch, r)) {
                if (!prepare(&batch)) {
                    Problem found;
                    found.sequence = -1;
                    found.code = table->error.code;
                    problem = found;
                }
                break;
            }
    }
    settled = std::max(settled, batch.sequence);
    hold.unlock();
    settled_change.notify_all();
}

// Cells [0, upto) of the batch's rows, and column c's cells so far, made
// text: the rows are read again from the batch.
bool Reading::to_text(Cells &cells, const csv_line_batch &batch, int upto, size_t c)
{
    cells.kind = TEXT;
    if (!cells.offsets.push(0))
        return false;
    for (int r = 0; r < upto; r++)
        if (!is_blank(batch, r) && !cells.text(cell_text(batch, batch.records[r], fields.at[c])))
            return false;
    return true;
}

// Cell c of record r, row `row` of the piece: read as its column's kind,
// or the kind widened to hold it. Returns 0, or 1 after a problem.
int Reading::cell(Cells &cells, const csv_line_batch &batch, int r, size_t c, size_t row)
{
    const csv_line_text text = cell_text(batch, batch.records[r], fields.at[c]);
    const Kind want = asked.at[c];
    if (text.length == 0) {
        if (required.at[c])
            return fail_cell(batch, r, c, text);
        if (!cells.absent.reserve(cells.rows))
            return fail_memory(batch.sequence, batch.records[r].line + line_base, r);
        cells.absent.at[row] = 1;
        cells.missing++;
        if (cells.kind != TEXT)
            cells.values.at[row] = 0;  // memory of an earlier batch's
        if (cells.kind == TEXT)
            return cells.offsets.push(static_cast<int64_t>(cells.bytes.size))
                       ? 0
                       : fail_memory(batch.sequence, batch.records[r].line + line_base, r);
        return 0;
    }
    if (cells.kind == TEXT)
        return cells.text(text) ? 0 : fail_memory(batch.sequence, batch.records[r].line + line_base, r);
    int64_t *slot = cells.values.at + row;
    Kind &kind = cells.kind;
    double real = 0;
    if ((want == NONE || want == INT) && (kind == NONE || kind == INT) && parse_int(text, slot)) {
        kind = INT;
        return 0;
    }
    if ((want == NONE || want == FLOAT) && kind <= FLOAT) {
        const Parsed parsed = parse_float(text, &real);
        if (parsed == PARSED) {
            if (kind == INT)
                for (int64_t *before = cells.values.at; before < slot; before++)
                    *before = double_bits(static_cast<double>(*before));
            *slot = double_bits(real);
            kind = FLOAT;
            return 0;
        }
        if (parsed == NO_MEMORY)
            return fail_memory(batch.sequence, batch.records[r].line + line_base, r);
    }
    if ((want == NONE || want == BOOL) && (kind == NONE || kind == BOOL) && parse_bool(text, slot)) {
        kind = BOOL;
        return 0;
    }
    const bool dates = want == DATE || want == TIMESTAMP || (want == NONE && options->infer_dates);
    if (dates && want != TIMESTAMP && (kind == NONE || kind == DATE)) {
        int32_t days;
        if (parse_date(text.data, static_cast<size_t>(text.length), &days)) {
            *slot = days;
            kind = DATE;
            return 0;
        }
    }
    if (dates && want != DATE && (kind == NONE || kind == DATE || kind == TIMESTAMP) &&
        parse_timestamp(text.data, static_cast<size_t>(text.length), slot)) {
        if (kind == DATE)
            for (int64_t *before = cells.values.at; before < slot; before++)
                *before *= 86400LL * 1000000;
        kind = TIMESTAMP;
        return 0;
    }
    if (want != NONE)
        return fail_cell(batch, r, c, text);
    if (!to_text(cells, batch, r, c) || !cells.text(text))
        return fail_memory(batch.sequence, batch.records[r].line + line_base, r);
    return 0;
}

// Keeps the batch's bytes, after an LF (so that a first record that
// begins as a byte-order mark is not taken for one), to be read again.
bool Reading::save(Piece &piece, const csv_line_batch &batch)
{
    const csv_line_record &first = batch.records[0], &last = batch.records[batch.count - 1];
    const csv_line_field &end = batch.fields[last.field + last.count - 1];
    const char *from = batch.text + batch.fields[first.field].start;
    const size_t size = static_cast<size_t>(batch.text + end.start + end.length - from);
    if (!piece.saved.reserve(size + 1))
        return false;
    piece.saved.at[0] = '\n';
    std::memcpy(piece.saved.at + 1, from, size);
    piece.saved.size = size + 1;
    return true;
}

Piece *Reading::get_piece() noexcept
{
    {
        std::lock_guard<std::mutex> hold(lock);
        if (spare.size > 0)
            return spare.at[--spare.size];
    }
    Piece *piece = make_objects<Piece>(1);
    if (piece == nullptr)
        return nullptr;
    piece->columns = make_objects<Cells>(count);
    if (piece->columns == nullptr) {
        free_objects(piece, 1);
        return nullptr;
    }
    piece->count = count;
    return piece;
}

void Reading::put_back(Piece *piece) noexcept
{
    piece->reset();
    std::lock_guard<std::mutex> hold(lock);
    if (!spare.push(piece))
        free_objects(piece, 1);
}

namespace {

// The raw bytes of field `field` of record r when they are its value and
// not empty: no quote among them.
inline bool plain(const csv_line_batch &batch, int r, int field, const char **data, const char **end)
{
    const csv_line_record &record = batch.records[r];
    if (field >= record.count)
        return false;
    const csv_line_field &f = batch.fields[record.field + field];
    *data = batch.text + f.start;
    *end = *data + f.length;
    return f.quotes == 0 && f.length > 0;
}

// Runs of cells of the column's kind, each loop taking the plain ones
// until one is not: rows [row, stop) from `row`; returns the row it
// stopped at.
size_t run_ints(Cells &cells, const csv_line_batch &batch, int field, const int *records, size_t row, size_t stop,
                const char *limit)
{
    const char *data, *end;
    for (; row < stop; row++)
        if (!plain(batch, records[row], field, &data, &end) || !read_short_int(data, end, limit, cells.values.at + row))
            break;
    return row;
}

size_t run_floats(Cells &cells, const csv_line_batch &batch, int field, const int *records, size_t row, size_t stop,
                  const char *limit)
{
    const char *data, *end;
    double value;
    for (; row < stop; row++) {
        if (!plain(batch, records[row], field, &data, &end) || !read_decimal(data, end, limit, &value))
            break;
        cells.values.at[row] = double_bits(value);
    }
    return row;
}

// A value with doubled quotes is decoded straight into the column (the
// reader leaves it undecoded); a malformed one is left to cell().
size_t run_texts(Cells &cells, const csv_line_batch &batch, int field, const int *records, size_t row, size_t stop)
{
    for (; row < stop; row++) {
        const csv_line_record &record = batch.records[records[row]];
        if (field >= record.count)
            break;
        const csv_line_field &f = batch.fields[record.field + field];
        if (f.quotes == 0 || csv_line_field_quoted_whole(batch.text, &f)) {
            const csv_line_text value = csv_line_batch_value(&batch, record.field + field);
            if (value.length == 0 || !cells.text(value))
                break;
            continue;
        }
        if (!cells.bytes.more(static_cast<size_t>(f.length) + 1))
            break;
        const int length = csv_line_field_value(batch.text, &f, cells.bytes.at + cells.bytes.size, f.length + 1);
        if (length <= 0)
            break;
        cells.bytes.size += static_cast<size_t>(length);
        if (!cells.offsets.push(static_cast<int64_t>(cells.bytes.size)))
            break;
    }
    return row;
}

}  // namespace

// Column c's cells of rows [0, stop): runs of its kind by their own loops,
// any other cell by cell(). Returns the row of a problem, or stop.
size_t Reading::fill(Cells &cells, const csv_line_batch &batch, size_t c, const int *records, size_t stop)
{
    const int field = fields.at[c];
    // The batch's text may be read up to its last field's end.
    const csv_line_record &last = batch.records[batch.count - 1];
    const csv_line_field &end = batch.fields[last.field + last.count - 1];
    const char *limit = batch.text + end.start + end.length;
    for (size_t row = 0; row < stop; row++) {
        if (cells.kind == INT)
            row = run_ints(cells, batch, field, records, row, stop, limit);
        else if (cells.kind == FLOAT)
            row = run_floats(cells, batch, field, records, row, stop, limit);
        else if (cells.kind == TEXT)
            row = run_texts(cells, batch, field, records, row, stop);
        if (row < stop && cell(cells, batch, records[row], c, row) != 0)
            return row;
    }
    return stop;
}

int Reading::take(const csv_line_batch &batch) noexcept
{
    if (!known)
        settle(batch);
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!earlier(batch.sequence, 0))
            return 1;
    }
    if (!known)  // blank lines alone, so far
        return join_in_turn(batch.sequence, &blank_lines);
    const long long line = batch.count > 0 ? batch.records[0].line + line_base : 0;
    Piece *piece = get_piece();
    if (piece == nullptr || !piece->records.reserve(static_cast<size_t>(batch.count))) {
        if (piece != nullptr)
            put_back(piece);
        return fail_memory(batch.sequence, line);
    }
    piece->sequence = batch.sequence;
    piece->line = line;
    piece->begin = batch.count > 0 ? batch.records[0].offset : 0;
    // The rows, up to the first record too wide: the columns are read
    // before it, since it comes first in the input.
    bool wide = false;
    for (int r = 0; r < batch.count && !wide; r++) {
        if (is_blank(batch, r))
            continue;
        if (batch.records[r].count > width) {
            Problem found;
            found.sequence = batch.sequence;
            found.record = r;
            found.line = batch.records[r].line + line_base;
            found.code = CSV_LINE_ERROR_WIDTH;
            found.fields = batch.records[r].count;
            fail(found);
            wide = true;
        } else {
            piece->records.at[piece->records.size++] = r;
        }
    }
    piece->rows = piece->records.size;
    for (size_t c = 0; c < count; c++) {
        Cells &cells = piece->columns[c];
        cells.rows = piece->rows;
        const bool ok = asked.at[c] == TEXT ? (cells.kind = TEXT, cells.offsets.reserve(piece->rows + 1) &&
                                                                      cells.offsets.push(0))
                                            : cells.values.reserve(piece->rows);
        if (!ok) {
            put_back(piece);
            return fail_memory(batch.sequence, line);
        }
    }
    // A problem in a column at a row makes the later columns stop before
    // that row: what they would find there or after comes later.
    size_t stop = piece->rows;
    for (size_t c = 0; c < count; c++)
        stop = fill(piece->columns[c], batch, c, piece->records.at, stop);
    if (wide || stop < piece->rows) {
        put_back(piece);
        return 1;
    }
    if (!source.again && piece->rows > 0) {
        bool numbers = false;
        for (size_t c = 0; c < count; c++)
            numbers |= asked.at[c] == NONE && piece->columns[c].kind != TEXT && piece->columns[c].kind != NONE;
        if (numbers && !save(*piece, batch)) {
            put_back(piece);
            return fail_memory(batch.sequence, line);
        }
    }
    return join_in_turn(piece->sequence, piece);
}

namespace {

// Sets bits [at, at + n) of the bitmap: 1 where a cell is present.
void put_bits(uint8_t *bits, size_t at, size_t n, const uint8_t *absent)
{
    for (size_t k = 0; k < n; k++, at++) {
        const uint8_t bit = static_cast<uint8_t>(1u << (at % 8));
        if (absent != nullptr && absent[k])
            bits[at / 8] &= static_cast<uint8_t>(~bit);
        else
            bits[at / 8] |= bit;
    }
}

}  // namespace

// The piece after the rows put together; false without the memory, and
// then the reading stops and the table is dropped.
bool Reading::append(Piece &piece)
{
    const size_t k = marks.size, first = static_cast<size_t>(rows), total = first + piece.rows;
    if (!marks.reserve(k + 1) || !kinds.reserve((k + 1) * count))
        return false;
    for (size_t c = 0; c < count; c++) {
        const Cells &cells = piece.columns[c];
        Building &column = building[c];
        const bool bitmap = cells.missing > 0 || column.validity.size > 0;
        if (bitmap && !column.validity.reserve((total + 7) / 8 + 8))
            return false;
        if (cells.kind == TEXT) {
            const int64_t base = static_cast<int64_t>(column.bytes.size);
            const size_t start = column.offsets.size == 0 ? 0 : 1;  // the first piece's 0 begins the offsets
            if (!column.bytes.append(cells.bytes.at, cells.bytes.size) ||
                !column.offsets.reserve(column.offsets.size + (piece.rows + 1) * sizeof(int64_t)))
                return false;
            int64_t *to = reinterpret_cast<int64_t *>(static_cast<char *>(column.offsets.data) + column.offsets.size);
            for (size_t r = start; r <= piece.rows; r++)
                *to++ = cells.offsets.at[r] + base;
            column.offsets.size += (piece.rows + 1 - start) * sizeof(int64_t);
        } else if (!column.values.append(cells.values.at, piece.rows * sizeof(int64_t))) {
            return false;
        }
    }
    // Nothing fails from here: the piece is the table's.
    for (size_t c = 0; c < count; c++) {
        const Cells &cells = piece.columns[c];
        Building &column = building[c];
        if (cells.missing > 0 && column.validity.size == 0)
            put_bits(column.validity.as<uint8_t>(), 0, first, nullptr);
        if (cells.missing > 0 || column.validity.size > 0) {
            put_bits(column.validity.as<uint8_t>(), first, piece.rows, cells.missing > 0 ? cells.absent.at : nullptr);
            column.validity.size = (total + 7) / 8;
        }
        column.missing += cells.missing;
        if (piece.rows > 0) {
            column.kind = join(column.kind, cells.kind);
            column.others |= cells.kind != TEXT;
        }
        kinds.at[k * count + c] = cells.kind;
    }
    Mark &mark = marks.at[k];
    mark = Mark{first, piece.rows, piece.begin, piece.line, piece.saved.at, piece.saved.size};
    piece.saved.at = nullptr;
    piece.saved.size = piece.saved.capacity = 0;
    marks.size = k + 1;
    kinds.size = (k + 1) * count;
    rows = static_cast<long long>(total);
    return true;
}

// Puts the piece among those waiting and, unless another thread is at it,
// puts together every piece waiting in turn. Returns 0, or 1 to stop.
int Reading::join_in_turn(long long sequence, Piece *piece)
{
    std::unique_lock<std::mutex> hold(lock);
    const size_t at = static_cast<size_t>(sequence);
    if (!waiting.reserve(at + 1)) {
        hold.unlock();
        const long long line = piece->line;
        if (piece != &blank_lines)
            put_back(piece);
        return fail_memory(sequence, line);
    }
    waiting.at[at] = piece;
    waiting.size = std::max(waiting.size, at + 1);
    if (joining)
        return 0;
    joining = true;
    for (;;) {
        const size_t turn = static_cast<size_t>(next);
        Piece *ready = turn < waiting.size ? waiting.at[turn] : nullptr;
        if (ready == nullptr || failed())
            break;
        hold.unlock();
        const bool joined = ready == &blank_lines || append(*ready);
        hold.lock();
        if (!joined) {
            joining = false;
            hold.unlock();
            return fail_memory(ready->sequence, ready->line);
        }
        waiting.at[turn] = nullptr;
        next++;
        if (ready != &blank_lines) {
            hold.unlock();
            put_back(ready);
            hold.lock();
        }
    }
    joining = false;
    return 0;
}

namespace {

// Reads from a descriptor with pread, from a byte on.
struct At {
    int fd;
    off_t offset;
};

long long read_at(void *context, char *buffer, size_t size)
{
    At &at = *static_cast<At *>(context);
    for (;;) {
        const ssize_t got = pread(at.fd, buffer, size, at.offset);
        if (got >= 0) {
            at.offset += got;
            return got;
        }
        if (errno != EINTR)
            return -1;
    }
}

}  // namespace

// The cells of record r of the columns in `again`, appended as text to
// `made`; false out of memory.
bool Reading::take_row(const csv_line_batch &batch, int r, const Grown<size_t> &again, Building *made)
{
    bool kept = true;
    for (size_t k = 0; kept && k < again.size; k++) {
        const csv_line_text text = cell_text(batch, batch.records[r], fields.at[again.at[k]]);
        Building &column = made[k];
        const int64_t end = static_cast<int64_t>(column.bytes.size) + text.length;
        kept = column.bytes.append(text.data, static_cast<size_t>(text.length)) && column.offsets.append(&end, sizeof end);
    }
    return kept;
}

// read_again for text the reader made: the records before the piece's
// first passed over, from where the last piece read again ended.
bool Reading::read_onward(const Mark &mark, const Grown<size_t> &again, Building *made)
{
    Onward &on = onward;
    if (on.reader == nullptr) {
        csv_line_reader_options one = reader_options;
        one.header = 0;
        one.threads = 1;
        // The text was checked once; mended, it is mended again alike.
        one.invalid_utf8 = one.invalid_utf8 == CSV_LINE_UTF8_STRICT ? CSV_LINE_UTF8_RAW : one.invalid_utf8;
        if (source.bytes != nullptr) {
            on.reader = csv_line_reader_open_memory(source.bytes, source.length, &one);
        } else {
            on.fd = source.fd;
            on.offset = source.base;
            if (source.path != nullptr && (on.fd = on.opened = open(source.path, O_RDONLY | O_CLOEXEC)) < 0) {
                say_again_failed(std::strerror(errno), errno);
                return false;
            }
            if (source.path != nullptr)
                on.offset = 0;
            on.reader = csv_line_reader_open_read(
                [](void *context, char *buffer, size_t size) {
                    Onward &from = *static_cast<Onward *>(context);
                    At at{from.fd, from.offset};
                    const long long got = read_at(&at, buffer, size);
                    from.offset = at.offset;
                    return got;
                },
                &on, &one);
        }
        if (on.reader == nullptr)
            return false;
    }
    size_t row = 0;
    bool kept = true;
    while (kept && row < mark.rows) {
        if (on.next >= on.batch.count) {
            on.next = 0;
            on.batch.count = 0;
            if (csv_line_reader_next(on.reader, &on.batch) <= 0)
                break;
        }
        const int r = on.next++;
        if (on.batch.records[r].offset < mark.begin || is_blank(on.batch, r))
            continue;
        kept = take_row(on.batch, r, again, made);
        row++;
    }
    const bool whole = kept && row == mark.rows;
    const csv_line_error *said = csv_line_reader_error(on.reader);
    if (kept && !whole)
        say_again_failed(said->code != CSV_LINE_OK ? said->message : "the input changed as it was read",
                         said->code == CSV_LINE_ERROR_IO ? said->system : EIO);
    return whole;
}

void Reading::close_onward()
{
    csv_line_reader_close(onward.reader);
    if (onward.opened >= 0)
        close(onward.opened);
    onward = Onward{};
}

// The columns in `again` of the piece at `mark`, read again from the
// input as text into `made` (one Building a column of `again`).
bool Reading::read_again(const Mark &mark, const Grown<size_t> &again, Building *made)
{
    if (source.in_order && mark.saved == nullptr)
        return read_onward(mark, again, made);
    csv_line_reader_options one = reader_options;
    one.header = 0;
    one.threads = 1;
    // From the LF before the piece, so that its first record is never
    // taken for a byte-order mark: the blank line it makes is no row.
    const long long from = mark.begin > 0 ? mark.begin - 1 : 0;
    At at{source.fd, source.base + static_cast<off_t>(from)};
    int opened = -1;
    csv_line_reader *again_reader = nullptr;
    if (mark.saved != nullptr) {
        again_reader = csv_line_reader_open_memory(mark.saved, mark.saved_size, &one);
    } else if (source.bytes != nullptr) {
        again_reader = csv_line_reader_open_memory(source.bytes + from, source.length - static_cast<size_t>(from), &one);
    } else {
        if (source.path != nullptr) {
            opened = open(source.path, O_RDONLY | O_CLOEXEC);
            if (opened < 0) {
                say_again_failed(std::strerror(errno), errno);
                return false;
            }
            at.fd = opened;
        }
        again_reader = csv_line_reader_open_read(read_at, &at, &one);
    }
    size_t row = 0;
    bool kept = again_reader != nullptr;  // every cell read again kept
    csv_line_batch batch;
    while (kept && row < mark.rows && csv_line_reader_next(again_reader, &batch) > 0)
        for (int r = 0; kept && r < batch.count && row < mark.rows; r++) {
            if (is_blank(batch, r))
                continue;
            kept = take_row(batch, r, again, made);
            row++;
        }
    const bool whole = kept && row == mark.rows;
    const csv_line_error *said = again_reader != nullptr ? csv_line_reader_error(again_reader) : nullptr;
    if (kept && !whole)
        say_again_failed(said != nullptr && said->code != CSV_LINE_OK ? said->message : "the input changed as it was read",
                         said != nullptr && said->code == CSV_LINE_ERROR_IO ? said->system : EIO);
    csv_line_reader_close(again_reader);
    if (opened >= 0)
        close(opened);
    return whole;
}

// The text columns that hold pieces of other kinds, made again in order:
// text pieces copied, numbers read again, pieces of no cell empty.
bool Reading::finish_text(const Grown<size_t> &again)
{
    Building *made = make_objects<Building>(again.size);
    if (made == nullptr)
        return false;
    Grown<size_t> cursor;  // each column's text piece rows taken so far
    bool ok = cursor.reserve(again.size);
    for (size_t k = 0; ok && k < again.size; k++) {
        const int64_t zero = 0;
        ok = made[k].offsets.append(&zero, sizeof zero);
    }
    for (size_t p = 0; ok && p < marks.size; p++) {
        const Mark &mark = marks.at[p];
        bool numbers = false;
        for (size_t k = 0; ok && k < again.size; k++) {
            const Kind kind = kinds.at[p * count + again.at[k]];
            Building &column = made[k];
            if (kind == TEXT) {
                const int64_t *old = building[again.at[k]].offsets.as<int64_t>() + cursor.at[k];
                const int64_t base = static_cast<int64_t>(column.bytes.size) - old[0];
                ok = column.bytes.append(building[again.at[k]].bytes.as<char>() + old[0],
                                         static_cast<size_t>(old[mark.rows] - old[0])) &&
                     column.offsets.reserve(column.offsets.size + mark.rows * sizeof(int64_t));
                for (size_t r = 1; ok && r <= mark.rows; r++) {
                    const int64_t end = old[r] + base;
                    column.offsets.append(&end, sizeof end);
                }
                cursor.at[k] += mark.rows;
            } else if (kind == NONE) {
                const int64_t end = static_cast<int64_t>(column.bytes.size);
                for (size_t r = 0; ok && r < mark.rows; r++)
                    ok = column.offsets.append(&end, sizeof end);
            } else {
                numbers = true;
            }
        }
        if (!ok || !numbers)
            continue;
        // Every column read again at once; a column whose piece is not of
        // numbers takes its rows back out after.
        Grown<size_t> only;
        for (size_t k = 0; ok && k < again.size; k++) {
            const Kind kind = kinds.at[p * count + again.at[k]];
            if (kind != TEXT && kind != NONE)
                ok = only.push(again.at[k]);
        }
        Building *some = ok ? make_objects<Building>(only.size) : nullptr;
        ok = some != nullptr && read_again(mark, only, some);
        for (size_t k = 0, j = 0; ok && k < again.size; k++) {
            const Kind kind = kinds.at[p * count + again.at[k]];
            if (kind == TEXT || kind == NONE)
                continue;
            Building &column = made[k];
            const int64_t base = static_cast<int64_t>(column.bytes.size);
            ok = column.bytes.append(some[j].bytes.data, some[j].bytes.size);
            const int64_t *ends = some[j].offsets.as<int64_t>();
            for (size_t r = 0; ok && r < mark.rows; r++) {
                const int64_t end = ends[r] + base;
                ok = column.offsets.append(&end, sizeof end);
            }
            j++;
        }
        free_objects(some, only.size);
    }
    for (size_t k = 0; ok && k < again.size; k++) {
        Building &column = building[again.at[k]];
        column.values.release();
        column.offsets.release();
        column.bytes.release();
        column.offsets.swap(made[k].offsets);
        column.bytes.swap(made[k].bytes);
    }
    free_objects(made, again.size);
    return ok;
}

// Each column made of one type, and handed to the table.
bool Reading::finish()
{
    const size_t total = static_cast<size_t>(rows);
    Grown<size_t> again;
    for (size_t c = 0; c < count; c++) {
        Building &column = building[c];
        if (column.kind == TEXT && column.others && !again.push(c))
            return false;
    }
    if (again.size > 0 && !finish_text(again))
        return false;
    for (size_t c = 0; c < count; c++) {
        Building &column = building[c];
        if (column.kind == NONE || (column.kind == TEXT && column.offsets.size == 0)) {
            // No cell present, or no row: text, every cell empty.
            column.values.release();
            if (!column.offsets.grow((total + 1) * sizeof(int64_t)))
                return false;
            column.kind = TEXT;
        }
        if (column.kind != TEXT) {
            int64_t *slots = column.values.as<int64_t>();
            for (size_t p = 0; p < marks.size; p++) {
                const Kind kind = kinds.at[p * count + c];
                const Mark &mark = marks.at[p];
                if (column.kind == FLOAT && kind == INT)
                    for (size_t r = mark.first; r < mark.first + mark.rows; r++)
                        slots[r] = double_bits(static_cast<double>(slots[r]));
                if (column.kind == TIMESTAMP && kind == DATE)
                    for (size_t r = mark.first; r < mark.first + mark.rows; r++)
                        slots[r] *= 86400LL * 1000000;
            }
            if (column.kind == DATE) {
                int32_t *days = column.values.as<int32_t>();
                for (size_t r = 0; r < total; r++)
                    days[r] = static_cast<int32_t>(slots[r]);
                column.values.size = total * sizeof(int32_t);
            } else if (column.kind == BOOL) {
                uint8_t *bits = column.values.as<uint8_t>();
                for (size_t r = 0; r < total; r += 8) {
                    uint8_t byte = 0;
                    for (size_t b = 0; b < 8 && r + b < total; b++)
                        byte |= static_cast<uint8_t>((slots[r + b] & 1) << b);
                    bits[r / 8] = byte;
                }
                column.values.size = (total + 7) / 8;
            }
        }
        Column &out = table->columns[c];
        out.kind = column.kind;
        out.missing = column.missing;
        out.values.swap(column.kind == TEXT ? column.offsets : column.values);
        out.bytes.swap(column.bytes);
        out.validity.swap(column.validity);
    }
    table->rows = rows;
    return true;
}

// The input could not be read again as it was read (it changed, or a read
// failed): the table's error, an IO error.
void Reading::say_again_failed(const char *why, int system)
{
    csv_line_error &error = table->error;
    error = csv_line_error{};
    error.code = CSV_LINE_ERROR_IO;
    error.system = system;
    std::snprintf(error.message, sizeof error.message,
                  "a column turned to text, and its earlier records could not be read again: %.160s", why);
}

// The problem kept, said as the table's error.
void Reading::say_problem()
{
    csv_line_error &error = table->error;
    error = csv_line_error{};
    error.code = problem.code;
    error.line = problem.line;
    const Column *column = problem.column < static_cast<size_t>(table->count) ? &table->columns[problem.column] : nullptr;
    const char *name = column != nullptr ? column->name : "";
    switch (problem.code) {
    case CSV_LINE_ERROR_CELL:
        error.field = fields.at[problem.column] + 1;
        if (problem.shown_length == 0)
            std::snprintf(error.message, sizeof error.message, "line %lld: column '%.100s': an empty cell",
                          problem.line, name);
        else
            std::snprintf(error.message, sizeof error.message, "line %lld: column '%.100s': '%.*s' is not %s",
                          problem.line, name, static_cast<int>(problem.shown_length), problem.shown,
                          type_name(asked.at[problem.column]));
        break;
    case CSV_LINE_ERROR_WIDTH:
        std::snprintf(error.message, sizeof error.message, "line %lld: %d fields, %d expected", problem.line,
                      problem.fields, width);
        break;
    default:
        std::snprintf(error.message, sizeof error.message, "line %lld: out of memory", problem.line);
        error.code = CSV_LINE_ERROR_MEMORY;
    }
}

// Reads the input the reader is open on into the table.
void read_table(Reading &reading)
{
    csv_line_table *table = reading.table;
    const csv_line_error *said = csv_line_reader_error(reading.reader);
    if (said->code != CSV_LINE_OK) {
        table->error = *said;
        return;
    }
    if (reading.reader_options.header && !reading.prepare(nullptr))
        return;
    const int result = csv_line_reader_for_each(
        reading.reader,
        [](const csv_line_batch *batch, void *context) { return static_cast<Reading *>(context)->take(*batch); },
        &reading);
    if (reading.failed()) {
        if (reading.problem.sequence >= 0)
            reading.say_problem();
    } else if (result != 0) {
        table->error = *csv_line_reader_error(reading.reader);
    } else if (!reading.known && !reading.prepare(nullptr)) {
        return;
    } else if (!reading.finish() && table->error.code == CSV_LINE_OK) {
        table->error.code = CSV_LINE_ERROR_MEMORY;
        std::snprintf(table->error.message, sizeof table->error.message, "out of memory");
    }
    if (table->error.code != CSV_LINE_OK) {
        // A table in error holds no rows.
        for (int c = 0; c < table->count; c++) {
            Column &column = table->columns[c];
            column.values.release();
            column.bytes.release();
            column.validity.release();
            column.missing = 0;
        }
        table->rows = 0;
    }
}

// A reader's error, whose lines count from 1, with the lines counted from
// first_line instead: its line and the "line N:" its message begins with.
void count_from_first_line(csv_line_error *error, long long base)
{
    error->line += base;
    const char *rest = error->message;
    if (std::strncmp(rest, "line ", 5) != 0)
        return;
    for (rest += 5; *rest >= '0' && *rest <= '9'; rest++)
        ;
    char said[sizeof error->message];
    std::snprintf(said, sizeof said, "line %lld%s", error->line, rest);
    std::memcpy(error->message, said, sizeof said);
}

bool check_options(const csv_line_table_options &options, csv_line_error *error)
{
    const char *wrong = nullptr;
    if (options.column_count < 0 || (options.column_count > 0 && options.columns == nullptr))
        wrong = "a negative column count, or columns that are not there";
    else if (options.first_line < 0)
        wrong = "a negative first line";
    for (int k = 0; wrong == nullptr && k < options.column_count; k++) {
        const csv_line_column_spec &spec = options.columns[k];
        if (spec.type < CSV_LINE_TYPE_INFER || spec.type > CSV_LINE_TYPE_TIMESTAMP)
            wrong = "a column type that is none of csv_line_type";
        else if (spec.name == nullptr && spec.index < 0)
            wrong = "a negative column index";
    }
    if (wrong == nullptr)
        return true;
    error->code = CSV_LINE_ERROR_OPTIONS;
    std::snprintf(error->message, sizeof error->message, "%s", wrong);
    return false;
}

template <class Open>
csv_line_table *read_with(const csv_line_table_options *given, Source source, Open open)
{
    csv_line_table *table = make_table();
    if (table == nullptr)
        return nullptr;
    static const csv_line_table_options defaults = [] {
        csv_line_table_options o{};
        o.reader.header = 1;
        return o;
    }();
    const csv_line_table_options &options = given != nullptr ? *given : defaults;
    if (!check_options(options, &table->error))
        return table;
    Reading reading;
    reading.table = table;
    reading.options = &options;
    reading.reader_options = options.reader;
    reading.reader_options.decode_on_demand = 1;  // text cells are decoded where they go
    reading.source = source;
    reading.line_base = options.first_line > 0 ? options.first_line - 1 : 0;
    reading.reader = open(&reading.reader_options);
    if (reading.reader == nullptr) {
        csv_line_table_close(table);
        return nullptr;
    }
    if (csv_line_reader_error(reading.reader)->code == CSV_LINE_OK) {
        // The separator and header are those the reader guessed, if it
        // did; text it made (decompressed, turned into UTF-8) is not the
        // input's bytes: it is read again from the input's start, in
        // order, or from a pipe, from the bytes kept.
        csv_line_dialect found;
        csv_line_reader_dialect(reading.reader, &found);
        reading.reader_options.separator = found.separator;
        reading.reader_options.header = found.header;
        reading.reader_options.guess = 0;
        if (reading::reads_made_text(reading.reader)) {
            reading.source.in_order = reading.source.again;
            if (!reading.source.again) {
                reading.reader_options.encoding = CSV_LINE_ENCODING_UTF8;
                reading.reader_options.invalid_utf8 = CSV_LINE_UTF8_RAW;
            }
        }
    }
    read_table(reading);
    reading.close_onward();
    if (table->error.code != CSV_LINE_OK && table->error.code != CSV_LINE_ERROR_CELL &&
        table->error.code != CSV_LINE_ERROR_WIDTH && table->error.line > 0 && reading.line_base > 0)
        count_from_first_line(&table->error, reading.line_base);
    csv_line_reader_close(reading.reader);
    return table;
}

}  // namespace

}  // namespace csv_line::table

using namespace csv_line::table;

extern "C" {

CSV_LINE_API csv_line_table *csv_line_table_read_path(const char *path, const csv_line_table_options *options)
{
    Source source;
    struct stat status;
    // A path to a pipe (/dev/stdin, say) cannot be read again.
    source.again = path != nullptr && stat(path, &status) == 0 && S_ISREG(status.st_mode);
    source.path = source.again ? path : nullptr;
    return read_with(options, source,
                     [&](const csv_line_reader_options *o) { return csv_line_reader_open_path(path, o); });
}

CSV_LINE_API csv_line_table *csv_line_table_read_fd(int fd, const csv_line_table_options *options)
{
    Source source;
    struct stat status;
    source.fd = fd;
    source.base = lseek(fd, 0, SEEK_CUR);
    source.again = source.base >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    return read_with(options, source, [&](const csv_line_reader_options *o) { return csv_line_reader_open_fd(fd, o); });
}

CSV_LINE_API csv_line_table *csv_line_table_read_memory(const char *bytes, size_t length,
                                                       const csv_line_table_options *options)
{
    Source source;
    source.bytes = bytes;
    source.length = length;
    return read_with(options, source,
                     [&](const csv_line_reader_options *o) { return csv_line_reader_open_memory(bytes, length, o); });
}

}  // extern "C"
