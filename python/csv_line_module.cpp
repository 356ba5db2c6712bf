// csv_line._core: the library's reader seen from Python. Rows become lists
// of str, columns become numpy arrays; everything else (finding records,
// quotes, threads) is the library's.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
#include <structmember.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "csv_line.h"

namespace {

PyObject *Error;       // csv_line.Error, a csv.Error
PyObject *ReaderType;  // csv_line.reader

// The GIL let go for the scope: the library's work, and its threads,
// run beside Python's. A read function of a Python source takes it back.
struct WithoutGil {
    PyThreadState *state = PyEval_SaveThread();
    WithoutGil() = default;
    WithoutGil(const WithoutGil &) = delete;
    WithoutGil &operator=(const WithoutGil &) = delete;
    ~WithoutGil() { PyEval_RestoreThread(state); }
};  // csv_line.Error, a csv.Error

// Raises what the reader says: OSError for I/O, MemoryError, else
// csv_line.Error with .line and .field. Lines count from first_line, the
// line where the reader's input begins in the whole file.
PyObject *raise_reader_error(const csv_line_error &error, const char *name, long long first_line)
{
    if (error.code == CSV_LINE_ERROR_IO) {
        errno = error.system != 0 ? error.system : EIO;
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, name);
    }
    if (error.code == CSV_LINE_ERROR_MEMORY)
        return PyErr_NoMemory();
    const long long line = error.line > 0 ? error.line + first_line - 1 : 0;
    std::string message = error.message;
    if (line > 0 && line != error.line) {
        const std::string said = "line " + std::to_string(error.line) + ":";
        if (message.compare(0, said.size(), said) == 0)
            message = "line " + std::to_string(line) + ":" + message.substr(said.size());
    }
    PyObject *exception = PyObject_CallFunction(Error, "s", message.c_str());
    if (exception == nullptr)
        return nullptr;
    PyObject *line_number = PyLong_FromLongLong(line), *field = PyLong_FromLong(error.field);
    if (line_number != nullptr && field != nullptr) {
        PyObject_SetAttrString(exception, "line", line_number);
        PyObject_SetAttrString(exception, "field", field);
    }
    Py_XDECREF(line_number);
    Py_XDECREF(field);
    PyErr_SetObject(Error, exception);
    Py_DECREF(exception);
    return nullptr;
}

PyObject *raise_message(long long line, const std::string &what)
{
    PyObject *exception = PyObject_CallFunction(Error, "s", ("line " + std::to_string(line) + ": " + what).c_str());
    if (exception == nullptr)
        return nullptr;
    PyObject *line_number = PyLong_FromLongLong(line);
    if (line_number != nullptr) {
        PyObject_SetAttrString(exception, "line", line_number);
        Py_DECREF(line_number);
    }
    PyErr_SetObject(Error, exception);
    Py_DECREF(exception);
    return nullptr;
}

// A field's value as str, from bytes known to be ASCII: copied as they are.
PyObject *ascii_str(csv_line_text text)
{
    if (text.length == 1)
        return PyUnicode_FromOrdinal(static_cast<unsigned char>(text.data[0]));  // shared, as Python shares them
    PyObject *made = PyUnicode_New(text.length, 127);
    if (made != nullptr && text.length > 0)
        std::memcpy(PyUnicode_1BYTE_DATA(made), text.data, static_cast<size_t>(text.length));
    return made;
}

bool is_ascii(const char *data, size_t length)
{
    unsigned char high = 0;
    for (const char *end = data + length; data < end; data++)
        high |= static_cast<unsigned char>(*data);
    return high < 0x80;
}

// A field's value as str, strictly UTF-8.
PyObject *decode(csv_line_text text)
{
    if (is_ascii(text.data, static_cast<size_t>(text.length)))
        return ascii_str(text);
    return PyUnicode_DecodeUTF8(text.data, text.length, "strict");
}

// The options every reading entry takes.
bool reader_options(const char *delimiter, int strict, int threads, csv_line_reader_options *options)
{
    if (std::strlen(delimiter) != 1) {
        PyErr_SetString(PyExc_TypeError, "\"delimiter\" must be a 1-character string");
        return false;
    }
    if (threads < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be 1 or more");
        return false;
    }
    *options = csv_line_reader_options{};
    options->separator = delimiter[0];
    options->threads = threads;
    options->lenient = strict ? 0 : 1;
    return true;
}

// ---------------------------------------------------------------------
// A Python object read in blocks: a file object's read(), or an iterable
// of str or bytes (lines, as csv.reader takes them). str is read as UTF-8.

struct Source {
    PyObject *read = nullptr;      // a bound read method
    PyObject *iterator = nullptr;  // or an iterator of pieces
    PyObject *piece = nullptr;     // bytes not handed over yet, from `taken` on
    Py_ssize_t taken = 0;
    PyObject *raised[3] = {nullptr, nullptr, nullptr};  // what a read raised

    ~Source()
    {
        Py_XDECREF(read);
        Py_XDECREF(iterator);
        Py_XDECREF(piece);
        for (PyObject *object : raised)
            Py_XDECREF(object);
    }

    // The next piece as bytes; null at the end (no error set) or on an error.
    PyObject *next_piece(size_t size)
    {
        for (;;) {
            PyObject *got = read != nullptr ? PyObject_CallFunction(read, "n", static_cast<Py_ssize_t>(size))
                                            : PyIter_Next(iterator);
            if (got == nullptr)
                return nullptr;
            PyObject *bytes;
            if (PyUnicode_Check(got))
                bytes = PyUnicode_AsUTF8String(got);
            else if (PyBytes_Check(got)) {
                bytes = got;
                Py_INCREF(bytes);
            } else if (got == Py_None && read != nullptr) {
                bytes = PyBytes_FromStringAndSize("", 0);  // a non-blocking stream with nothing yet
            } else
                bytes = PyBytes_FromObject(got);
            Py_DECREF(got);
            if (bytes == nullptr || PyBytes_GET_SIZE(bytes) > 0 || read != nullptr)
                return bytes;
            Py_DECREF(bytes);  // an empty line of an iterable: on to the next
        }
    }

    long long fill(char *buffer, size_t size)
    {
        if (piece == nullptr || taken == PyBytes_GET_SIZE(piece)) {
            Py_CLEAR(piece);
            taken = 0;
            piece = next_piece(size);
            if (piece == nullptr) {
                if (!PyErr_Occurred())
                    return 0;
                PyErr_Fetch(&raised[0], &raised[1], &raised[2]);
                errno = EIO;
                return -1;
            }
            if (PyBytes_GET_SIZE(piece) == 0)
                return 0;
        }
        const size_t left = static_cast<size_t>(PyBytes_GET_SIZE(piece) - taken);
        const size_t n = std::min(size, left);
        std::memcpy(buffer, PyBytes_AS_STRING(piece) + taken, n);
        taken += static_cast<Py_ssize_t>(n);
        return static_cast<long long>(n);
    }

    static long long read_into(void *context, char *buffer, size_t size)
    {
        const PyGILState_STATE gil = PyGILState_Ensure();
        const long long n = static_cast<Source *>(context)->fill(buffer, size);
        PyGILState_Release(gil);
        return n;
    }
};

// Opens a reader of a path (str, bytes or os.PathLike) or of a Python
// object read in blocks (then *source holds it). Null with an error set.
csv_line_reader *open_reader(PyObject *input, const csv_line_reader_options &options, std::unique_ptr<Source> *source,
                        std::string *name)
{
    if (PyUnicode_Check(input) || PyBytes_Check(input) || PyObject_HasAttrString(input, "__fspath__")) {
        PyObject *path = nullptr;
        if (!PyUnicode_FSConverter(input, &path))
            return nullptr;
        *name = PyBytes_AS_STRING(path);
        csv_line_reader *reader;
        {
            WithoutGil unlocked;
            reader = csv_line_reader_open_path(PyBytes_AS_STRING(path), &options);
        }
        Py_DECREF(path);
        return reader != nullptr ? reader : reinterpret_cast<csv_line_reader *>(PyErr_NoMemory());
    }
    auto made = std::make_unique<Source>();
    if (PyObject_HasAttrString(input, "read")) {
        made->read = PyObject_GetAttrString(input, "read");
    } else {
        made->iterator = PyObject_GetIter(input);
        if (made->iterator == nullptr) {
            PyErr_SetString(PyExc_TypeError, "a path, a file object or an iterable of lines is needed");
            return nullptr;
        }
    }
    if (made->read == nullptr && made->iterator == nullptr)
        return nullptr;
    PyObject *repr = PyObject_GetAttrString(input, "name");
    PyErr_Clear();
    *name = repr != nullptr && PyUnicode_Check(repr) ? PyUnicode_AsUTF8(repr) : "<input>";
    Py_XDECREF(repr);
    csv_line_reader *reader;
    {
        WithoutGil unlocked;  // opening may read; the source's read takes the GIL itself
        reader = csv_line_reader_open_read(Source::read_into, made.get(), &options);
    }
    if (reader == nullptr)
        return reinterpret_cast<csv_line_reader *>(PyErr_NoMemory());
    *source = std::move(made);
    return reader;
}

// Raises the reader's error, or what the Python source raised.
PyObject *raise_from(csv_line_reader *reader, Source *source, const char *name, long long first_line)
{
    if (source != nullptr && source->raised[0] != nullptr) {
        PyErr_Restore(source->raised[0], source->raised[1], source->raised[2]);
        source->raised[0] = source->raised[1] = source->raised[2] = nullptr;
        return nullptr;
    }
    return raise_reader_error(*csv_line_reader_error(reader), name, first_line);
}

// ---------------------------------------------------------------------
// csv_line.reader: rows as lists of str, as csv.reader gives them.

struct ReaderObject {
    PyObject_HEAD csv_line_reader *reader;
    Source *source;
    std::string *name;
    csv_line_batch batch;
    int next_record;
    bool ended;
    long long line_num;
    long long lone_crs;  // CRs alone inside quotes so far
    bool ascii;          // the batch's bytes are all ASCII
    bool crs;            // the batch holds a CR alone, not before an LF
};

// What the batch's bytes hold, found once for all its fields.
void survey(ReaderObject *self)
{
    const csv_line_batch &batch = self->batch;
    const csv_line_record &last = batch.records[batch.count - 1];
    const csv_line_field &first_field = batch.fields[batch.records[0].field];
    const csv_line_field &last_field = batch.fields[last.field + last.count - 1];
    const char *begin = batch.text + first_field.start, *end = batch.text + last_field.start + last_field.length;
    self->ascii = is_ascii(begin, static_cast<size_t>(end - begin));
    self->crs = false;
    for (const char *at = begin; !self->crs && (at = static_cast<const char *>(std::memchr(at, '\r', size_t(end - at))));
         at++)
        self->crs = at + 1 < end && at[1] != '\n';
}

void Reader_dealloc(ReaderObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    csv_line_reader_close(self->reader);
    delete self->source;
    delete self->name;
    type->tp_free(reinterpret_cast<PyObject *>(self));
    Py_DECREF(type);  // a heap type's instances hold it
}

PyObject *Reader_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"source", "delimiter", "strict", "threads", nullptr};
    PyObject *input;
    const char *delimiter = ",";
    int strict = 1, threads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$spi:reader", const_cast<char **>(keywords), &input,
                                     &delimiter, &strict, &threads))
        return nullptr;
    csv_line_reader_options options;
    if (!reader_options(delimiter, strict, threads, &options))
        return nullptr;
    auto name = std::make_unique<std::string>();
    std::unique_ptr<Source> source;
    csv_line_reader *reader = open_reader(input, options, &source, name.get());
    if (reader == nullptr)
        return nullptr;
    if (csv_line_reader_error(reader)->code != CSV_LINE_OK) {  // as open() raises: a path that cannot be read, bad options
        raise_from(reader, source.get(), name->c_str(), 1);
        csv_line_reader_close(reader);
        return nullptr;
    }
    auto *self = reinterpret_cast<ReaderObject *>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        csv_line_reader_close(reader);
        return nullptr;
    }
    self->reader = reader;
    self->source = source.release();
    self->name = name.release();
    self->batch = csv_line_batch{};
    return reinterpret_cast<PyObject *>(self);
}

PyObject *Reader_next(ReaderObject *self)
{
    if (self->next_record == self->batch.count) {
        if (self->ended)
            return nullptr;
        int n;
        {
            WithoutGil unlocked;
            n = csv_line_reader_next(self->reader, &self->batch);
        }
        if (n <= 0) {
            self->batch.count = self->next_record = 0;
            if (n == 0) {
                self->ended = true;
                return nullptr;
            }
            return raise_from(self->reader, self->source, self->name->c_str(), 1);
        }
        self->next_record = 0;
        survey(self);
    }
    const csv_line_batch &batch = self->batch;
    const int r = self->next_record++;
    const csv_line_record &record = batch.records[r];
    // line_num counts the lines read so far, as csv.reader's does: those
    // inside quotes too, ended by LF, CR LF or a CR alone. The reader's
    // lines count LFs (the next record's line tells those of this one); a
    // CR alone inside quotes moves every line after it.
    long long inner = 0;
    const bool last = r + 1 == batch.count;
    if (last || self->crs)
        for (int k = record.field; k < record.field + record.count; k++) {
            if (batch.fields[k].quotes == 0)
                continue;
            const csv_line_text raw = csv_line_batch_raw(&batch, k);
            const char *end = raw.data + raw.length;
            if (last)
                inner += std::count(raw.data, end, '\n');
            if (self->crs)
                for (const char *at = raw.data; (at = static_cast<const char *>(std::memchr(at, '\r', size_t(end - at))));
                     at++)
                    self->lone_crs += at + 1 < end && at[1] != '\n';
        }
    if (!last)
        inner = batch.records[r + 1].line - record.line - 1;
    self->line_num = record.line + inner + self->lone_crs;
    // An empty line is no field, as csv.reader has it.
    if (record.count == 1 && batch.fields[record.field].length == 0)
        return PyList_New(0);
    PyObject *row = PyList_New(record.count);
    if (row == nullptr)
        return nullptr;
    for (int k = 0; k < record.count; k++) {
        const csv_line_text value = csv_line_batch_value(&batch, record.field + k);
        PyObject *str = self->ascii ? ascii_str(value) : decode(value);
        if (str == nullptr) {
            Py_DECREF(row);
            return nullptr;
        }
        PyList_SET_ITEM(row, k, str);
    }
    return row;
}

PyMemberDef reader_members[] = {
    {"line_num", T_LONGLONG, offsetof(ReaderObject, line_num), READONLY,
     "lines read from the source so far, as csv.reader counts them"},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char *>("reader(source, *, delimiter=',', strict=True, threads=1)\n--\n\n"
                                   "Rows of a path, a file object or an iterable of lines, as lists of str.")},
    {Py_tp_new, reinterpret_cast<void *>(Reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(Reader_dealloc)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(Reader_next)},
    {Py_tp_members, reader_members},
    {0, nullptr}};

PyType_Spec reader_spec = {"csv_line.reader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT, reader_slots};

// ---------------------------------------------------------------------
// read_columns: each column one numpy array, typed from its text.

// What a column's cells have been so far: a join in the order
// none < int < float, none < bool, anything else text.
enum Kind : uint8_t { NONE, INT, FLOAT, BOOL, TEXT };
const char *const kind_names[] = {"none", "int64", "float64", "bool", "str"};

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

int64_t double_bits(double value)
{
    int64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double bits_double(int64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

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

// The width when no names are known: that of the first record that is not
// a blank line, in `first` (the first batch of the `size` bytes at
// `bytes`, of which there were n) or else read on for; 0 when there is
// none (or a reader stops before it, which the readers of the columns say).
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
    ~Buffer()
    {
        if (data != nullptr)
            munmap(data, size);
    }

    int64_t *cells() const { return static_cast<int64_t *>(data); }

    bool reserve(size_t bytes)
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
    ~Part()
    {
        for (size_t c = 0; c < spans.size(); c++)
            for (const Span &span : spans[c])
                if (span.kind == TEXT)
                    for (size_t r = span.first; r < span.first + span.rows; r++)
                        Py_XDECREF(reinterpret_cast<PyObject *>(cells[c].cells()[r]));
    }
};

// What read_columns shares with the reader's threads.
struct Columns {
    std::vector<int> chosen;        // field index of each chosen column
    std::vector<std::string> names;  // of each chosen column
    std::vector<Kind> asked;        // NONE: inferred
    int width = 0;                  // fields a record may have
    PyObject *nan = nullptr;

    std::mutex lock;
    // The first problem, by its place in the input; Python's exception for
    // one met building str.
    long long problem_sequence = -1, problem_line = 0;
    int problem_row = 0;
    std::string problem;
    PyObject *raised[3] = {nullptr, nullptr, nullptr};

    ~Columns()
    {
        for (PyObject *object : raised)
            Py_XDECREF(object);
    }

    bool earlier(long long sequence, int row) const
    {
        return problem_sequence < 0 || sequence < problem_sequence ||
               (sequence == problem_sequence && row < problem_row);
    }

    // Keeps the earliest problem; returns 1 to stop the handing.
    int fail(long long sequence, int row, long long line, std::string what)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (earlier(sequence, row)) {
            problem_sequence = sequence;
            problem_row = row;
            problem_line = line;
            problem = std::move(what);
            for (PyObject *&object : raised)
                Py_CLEAR(object);
        }
        return 1;
    }

    std::string cell_problem(int column, csv_line_text text, const char *what) const
    {
        std::string shown(text.data, static_cast<size_t>(std::min(text.length, 40)));
        return "column '" + names[static_cast<size_t>(column)] + "': '" + shown + "' " + what;
    }

    // One cell of a column, its slot `number`: parsed as the kind of its
    // batch's cells so far, or the kind widened to hold it; `before`, the
    // batch's cells before it. Returns 0, or 1 after a problem.
    int cell(Span &span, size_t c, int64_t *number, int64_t *before, csv_line_text text, long long sequence, int row,
             long long line)
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

    static void to_floats(int64_t *from, int64_t *to)
    {
        for (; from < to; from++)
            *from = double_bits(static_cast<double>(*from));
    }

    // Step 1, without the GIL: every numeric cell parsed, a record at a
    // time, into the part's buffers, and each column's kind found.
    // Returns 0, or 1 after a problem.
    int classify(const csv_line_batch &batch, Part &part, std::vector<Span> &spans)
    {
        const size_t rows = static_cast<size_t>(batch.count);
        const long long sequence = part.place.base + batch.sequence;
        std::vector<int64_t *> slots(chosen.size());
        for (size_t c = 0; c < chosen.size(); c++) {
            if (!part.cells[c].reserve((part.rows + rows) * sizeof(int64_t)))
                return fail(sequence, 0, 0, "out of memory");
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
    int build_text(const csv_line_batch &batch, Part &part, std::vector<Span> &spans)
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
                PyObject *object = text.length == 0 ? (Py_INCREF(nan), nan) : repeats.str(text);
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
    void keep_raised(long long sequence, int row, long long line)
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
        for (int k = 0; k < 3; k++) {
            Py_XDECREF(raised[k]);
            raised[k] = raised_now[k];
        }
    }

    // A batch's records into the part's columns. Returns 0, or 1 to stop.
    int take(const csv_line_batch &batch, Part &part)
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
        if (classify(*from, part, spans) != 0)
            return 1;
        if (std::any_of(spans.begin(), spans.end(), [](const Span &span) { return span.kind == TEXT; })) {
            const PyGILState_STATE gil = PyGILState_Ensure();
            const int stop = build_text(*from, part, spans);
            PyGILState_Release(gil);
            if (stop != 0)
                return 1;
        }
        for (size_t c = 0; c < chosen.size(); c++)
            part.spans[c].push_back(spans[c]);
        part.rows += static_cast<size_t>(from->count);
        return 0;
    }

    // Takes every batch of a reader: on its threads, or on this thread
    // for a reader of one thread. Returns the reader's result.
    int take_all(csv_line_reader *reader, Part &part)
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
};

// A file's bytes, mapped.
struct Mapping {
    int fd = -1;
    void *base = nullptr;
    size_t size = 0;
    ~Mapping()
    {
        if (base != nullptr)
            munmap(base, size);
        if (fd >= 0)
            close(fd);
    }
};

Kind kind_of(PyObject *dtype)
{
    PyArray_Descr *descr = nullptr;
    if (dtype == reinterpret_cast<PyObject *>(&PyUnicode_Type))
        return TEXT;
    if (!PyArray_DescrConverter(dtype, &descr))
        return NONE;
    Kind kind = NONE;
    switch (descr->type_num) {
    case NPY_INT64: kind = INT; break;
    case NPY_FLOAT64: kind = FLOAT; break;
    case NPY_BOOL: kind = BOOL; break;
    case NPY_OBJECT:
    case NPY_UNICODE: kind = TEXT; break;
    default: PyErr_Format(PyExc_TypeError, "dtype %R: give int64, float64, bool or str", dtype);
    }
    Py_DECREF(descr);
    return kind;
}

// Frees a column's buffer once its array is gone.
void free_buffer(PyObject *capsule)
{
    delete static_cast<Buffer *>(PyCapsule_GetPointer(capsule, "csv_line.buffer"));
}

// The array of column c from the parts' cells, of the kind they join to:
// numbers in the first part's buffer, the others' moved after them;
// objects (str, booleans with a missing one) in an array of their own.
PyObject *assemble(std::vector<std::unique_ptr<Part>> &parts, size_t c, Kind kind, bool missing, npy_intp rows)
{
    if (kind == INT || kind == FLOAT) {
        Buffer &cells = parts[0]->cells[c];
        if (!cells.reserve(static_cast<size_t>(std::max<npy_intp>(rows, 1)) * sizeof(int64_t)))
            return PyErr_NoMemory();
        size_t at = 0;
        for (const auto &part : parts) {
            if (part != parts[0] && part->rows > 0)
                std::memcpy(cells.cells() + at, part->cells[c].cells(), part->rows * sizeof(int64_t));
            for (const Span &span : part->spans[c])
                if (kind == FLOAT && span.kind == INT)
                    Columns::to_floats(cells.cells() + at + span.first, cells.cells() + at + span.first + span.rows);
            at += part->rows;
        }
        auto owned = std::make_unique<Buffer>();
        std::swap(owned->data, cells.data);
        std::swap(owned->size, cells.size);
        PyObject *array = PyArray_SimpleNewFromData(1, &rows, kind == INT ? NPY_INT64 : NPY_FLOAT64, owned->data);
        PyObject *capsule = array != nullptr ? PyCapsule_New(owned.get(), "csv_line.buffer", free_buffer) : nullptr;
        if (capsule == nullptr || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(array), capsule) != 0) {
            Py_XDECREF(array);
            Py_XDECREF(capsule);  // frees the buffer when it was made
            return nullptr;
        }
        owned.release();
        return array;
    }
    const bool objects = kind == TEXT || missing;
    PyObject *array = PyArray_SimpleNew(1, &rows, objects ? NPY_OBJECT : NPY_BOOL);
    if (array == nullptr)
        return nullptr;
    char *data = static_cast<char *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array)));
    npy_intp at = 0;
    for (const auto &part : parts) {
        int64_t *cells = part->cells[c].cells();
        for (const Span &span : part->spans[c])
            for (size_t r = span.first; r < span.first + span.rows; r++, at++) {
                if (!objects) {
                    reinterpret_cast<npy_bool *>(data)[at] = bits_double(cells[r]) != 0;
                    continue;
                }
                PyObject *object;
                if (span.kind == TEXT) {
                    object = reinterpret_cast<PyObject *>(cells[r]);  // handed over: the part holds it no more
                    cells[r] = 0;
                } else {
                    const double value = bits_double(cells[r]);
                    object = std::isnan(value) ? PyFloat_FromDouble(NAN) : PyBool_FromLong(value != 0);
                }
                reinterpret_cast<PyObject **>(data)[at] = object;
            }
    }
    return array;
}

PyObject *read_columns(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"path", "usecols", "dtypes", "threads", "delimiter", "strict",
                                     "header", "names", "byte_range", "first_line", nullptr};
    PyObject *input, *usecols = Py_None, *dtypes = Py_None, *given_names = Py_None, *byte_range = Py_None;
    const char *delimiter = ",";
    int threads = 1, strict = 1, header = 1;
    long long first_line = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO$ispiOOL:read_columns", const_cast<char **>(keywords),
                                     &input, &usecols, &dtypes, &threads, &delimiter, &strict, &header,
                                     &given_names, &byte_range, &first_line))
        return nullptr;
    csv_line_reader_options options;
    if (!reader_options(delimiter, strict, threads, &options))
        return nullptr;
    options.header = header;
    PyObject *path = nullptr;
    if (!PyUnicode_FSConverter(input, &path))
        return nullptr;
    const std::string name = PyBytes_AS_STRING(path);
    Py_DECREF(path);

    // The bytes: the file mapped, or the range of it asked for.
    Mapping mapping;
    struct stat status;
    mapping.fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (mapping.fd < 0 || fstat(mapping.fd, &status) != 0)
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, name.c_str());
    mapping.size = static_cast<size_t>(status.st_size);
    long long from = 0, to = status.st_size;
    if (byte_range != Py_None && !PyArg_ParseTuple(byte_range, "LL;byte_range is (start, end)", &from, &to))
        return nullptr;
    if (from < 0 || to < from || to > status.st_size) {
        PyErr_SetString(PyExc_ValueError, "byte_range lies outside the file");
        return nullptr;
    }
    if (mapping.size > 0) {
        mapping.base = mmap(nullptr, mapping.size, PROT_READ, MAP_PRIVATE, mapping.fd, 0);
        if (mapping.base == MAP_FAILED) {
            mapping.base = nullptr;
            return PyErr_SetFromErrnoWithFilename(PyExc_OSError, name.c_str());
        }
        madvise(mapping.base, mapping.size, MADV_SEQUENTIAL);
    }
    // With threads, a whole file is cut into a byte range a thread, each
    // beginning at a record and read by a reader of one thread of its own,
    // in order: they share nothing until their columns are put together.
    // A byte range asked for is read by one.
    options.threads = 1;
    std::vector<long long> starts = {from, to}, lines = {first_line, 0};
    if (threads > 1 && byte_range == Py_None && status.st_size > 0) {
        starts.assign(static_cast<size_t>(threads) + 1, 0);
        lines.assign(starts.size(), 1);
        WithoutGil unlocked;
        csv_line_ranges_find_memory(static_cast<const char *>(mapping.base), status.st_size, threads, starts.data(),
                          lines.data());
    }
    const char *bytes = mapping.base != nullptr ? static_cast<const char *>(mapping.base) : "";
    using Reader = std::unique_ptr<csv_line_reader, void (*)(csv_line_reader *)>;
    std::vector<Reader> readers;
    std::vector<Place> places;
    for (size_t k = 0; k + 1 < starts.size(); k++) {
        csv_line_reader_options part = options;
        part.header = k == 0 ? options.header : 0;
        // A reader drops a byte-order mark at its start, which a range's
        // first record may begin with: read from the LF before it, whose
        // blank line is skipped as every blank line is.
        const long long lf = part.header == 0 && starts[k] > 0 && bytes[starts[k] - 1] == '\n';
        readers.emplace_back(csv_line_reader_open_memory(bytes + starts[k] - lf,
                                                    static_cast<size_t>(starts[k + 1] - starts[k] + lf), &part),
                             csv_line_reader_close);
        if (readers.back() == nullptr)
            return PyErr_NoMemory();
        places.push_back(Place{lines[k] - lf, static_cast<long long>(k) << 40});
    }
    csv_line_reader *reader = readers[0].get();
    if (csv_line_reader_error(reader)->code != CSV_LINE_OK)
        return raise_reader_error(*csv_line_reader_error(reader), name.c_str(), places[0].first_line);

    csv_line_batch first{};
    int n;
    {
        WithoutGil unlocked;
        n = csv_line_reader_next(reader, &first);
    }
    if (n < 0)
        return raise_reader_error(*csv_line_reader_error(reader), name.c_str(), places[0].first_line);

    std::vector<std::string> all;
    if (given_names != Py_None) {
        PyObject *list = PySequence_Fast(given_names, "names must be a sequence");
        if (list == nullptr)
            return nullptr;
        for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(list); k++) {
            PyObject *str = PyObject_Str(PySequence_Fast_GET_ITEM(list, k));
            if (str == nullptr) {
                Py_DECREF(list);
                return nullptr;
            }
            all.emplace_back(PyUnicode_AsUTF8(str));
            Py_DECREF(str);
        }
        Py_DECREF(list);
    } else if (header) {
        for (int k = 0; k < csv_line_reader_column_count(reader); k++) {
            const csv_line_text text = csv_line_reader_column_name(reader, k);
            all.emplace_back(text.data, static_cast<size_t>(text.length));
        }
    } else {
        const int width = first_width(first, n, bytes + from, static_cast<size_t>(to - from), options);
        for (int k = 0; k < width; k++)
            all.push_back(std::to_string(k));
    }

    Columns columns;
    columns.width = static_cast<int>(all.size());
    if (usecols == Py_None) {
        for (size_t k = 0; k < all.size(); k++)
            columns.chosen.push_back(static_cast<int>(k));
    } else {
        PyObject *list = PySequence_Fast(usecols, "usecols must be a sequence of names or indexes");
        if (list == nullptr)
            return nullptr;
        for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(list); k++) {
            PyObject *item = PySequence_Fast_GET_ITEM(list, k);
            long index = -1;
            if (PyLong_Check(item)) {
                index = PyLong_AsLong(item);
            } else if (PyUnicode_Check(item)) {
                const char *wanted = PyUnicode_AsUTF8(item);
                const auto found = std::find(all.begin(), all.end(), wanted);
                index = found != all.end() ? static_cast<long>(found - all.begin()) : -1;
            }
            if (index < 0 || index >= static_cast<long>(all.size())) {
                PyErr_Format(PyExc_ValueError, "usecols: no column %R", item);
                Py_DECREF(list);
                return nullptr;
            }
            columns.chosen.push_back(static_cast<int>(index));
        }
        Py_DECREF(list);
    }
    for (int index : columns.chosen)
        columns.names.push_back(all[static_cast<size_t>(index)]);
    columns.asked.assign(columns.chosen.size(), NONE);
    if (dtypes != Py_None) {
        for (size_t c = 0; c < columns.chosen.size(); c++) {
            PyObject *dtype = dtypes;
            if (PyDict_Check(dtypes)) {
                dtype = PyDict_GetItemString(dtypes, columns.names[c].c_str());
                if (dtype == nullptr)
                    continue;
            }
            columns.asked[c] = kind_of(dtype);
            if (PyErr_Occurred())
                return nullptr;
        }
    }

    columns.nan = PyFloat_FromDouble(NAN);
    if (columns.nan == nullptr)
        return nullptr;
    std::vector<std::unique_ptr<Part>> parts;
    for (const Place &place : places)
        parts.push_back(std::make_unique<Part>(place, columns.chosen.size()));
    {
        WithoutGil unlocked;  // the batches' str are built under it, taken back a batch at a time
        std::vector<std::thread> others;
        for (size_t k = 1; k < readers.size(); k++)
            others.emplace_back([&, k] { columns.take_all(readers[k].get(), *parts[k]); });
        if (n > 0 && columns.take(first, *parts[0]) == 0)
            columns.take_all(reader, *parts[0]);
        for (std::thread &other : others)
            other.join();
    }
    Py_CLEAR(columns.nan);

    // The first problem in the input: a cell's, or a reader's.
    const csv_line_error *error = nullptr;
    long long error_line = 0, error_first_line = first_line;
    for (size_t k = 0; k < readers.size(); k++) {
        const csv_line_error *said = csv_line_reader_error(readers[k].get());
        const long long line = said->line > 0 ? said->line + places[k].first_line - 1 : 0;
        if (said->code != CSV_LINE_OK && (error == nullptr || line < error_line)) {
            error = said;
            error_line = line;
            error_first_line = places[k].first_line;
        }
    }
    if (columns.problem_sequence >= 0 && (error == nullptr || error_line == 0 || columns.problem_line < error_line)) {
        if (columns.raised[0] != nullptr) {
            PyErr_Restore(columns.raised[0], columns.raised[1], columns.raised[2]);
            columns.raised[0] = columns.raised[1] = columns.raised[2] = nullptr;
            return nullptr;
        }
        return raise_message(columns.problem_line, columns.problem);
    }
    if (error != nullptr)
        return raise_reader_error(*error, name.c_str(), error_first_line);

    npy_intp rows = 0;
    for (const auto &part : parts)
        rows += static_cast<npy_intp>(part->rows);

    // Each column's kind joins its batches'; text met after numbers is
    // read again as text, for the numbers' own spelling.
    std::vector<Kind> kinds(columns.chosen.size(), NONE);
    std::vector<bool> missing(columns.chosen.size(), false), again(columns.chosen.size(), false);
    for (size_t c = 0; c < columns.chosen.size(); c++) {
        for (const auto &part : parts)
            for (const Span &span : part->spans[c]) {
                kinds[c] = join(kinds[c], span.kind);
                missing[c] = missing[c] || span.missing || span.kind == NONE;
            }
        if (kinds[c] == INT && missing[c])
            kinds[c] = FLOAT;
        if (kinds[c] == NONE)
            kinds[c] = columns.asked[c] == TEXT ? TEXT : FLOAT;  // all missing: NaN, as pandas reads it
        if (kinds[c] == TEXT)
            for (const auto &part : parts)
                for (const Span &span : part->spans[c])
                    again[c] = again[c] || (span.kind != TEXT && span.kind != NONE);
    }
    PyObject *result = PyDict_New();
    if (result == nullptr)
        return nullptr;
    PyObject *reread = nullptr;
    if (std::find(again.begin(), again.end(), true) != again.end()) {
        PyObject *names_again = PyList_New(0), *as_text = PyDict_New();
        for (size_t c = 0; c < columns.chosen.size(); c++)
            if (again[c]) {
                PyObject *index = PyLong_FromLong(columns.chosen[c]);
                PyList_Append(names_again, index);
                Py_DECREF(index);
                PyDict_SetItemString(as_text, columns.names[c].c_str(), reinterpret_cast<PyObject *>(&PyUnicode_Type));
            }
        PyObject *call_args = Py_BuildValue("(O)", input);
        PyObject *call_kwargs = Py_BuildValue("{s:O,s:O,s:i,s:s,s:i,s:i,s:O,s:O,s:L}", "usecols", names_again,
                                              "dtypes", as_text, "threads", threads, "delimiter", delimiter,
                                              "strict", strict, "header", header, "names", given_names,
                                              "byte_range", byte_range, "first_line", first_line);
        Py_DECREF(names_again);
        Py_DECREF(as_text);
        if (call_args != nullptr && call_kwargs != nullptr)
            reread = read_columns(nullptr, call_args, call_kwargs);
        Py_XDECREF(call_args);
        Py_XDECREF(call_kwargs);
        if (reread == nullptr) {
            Py_DECREF(result);
            return nullptr;
        }
    }
    for (size_t c = 0; c < columns.chosen.size(); c++) {
        PyObject *array;
        if (again[c]) {
            array = PyDict_GetItemString(reread, columns.names[c].c_str());
            Py_XINCREF(array);
        } else {
            array = assemble(parts, c, kinds[c], missing[c], rows);
        }
        if (array == nullptr || PyDict_SetItemString(result, columns.names[c].c_str(), array) != 0) {
            Py_XDECREF(array);
            Py_XDECREF(reread);
            Py_DECREF(result);
            return nullptr;
        }
        Py_DECREF(array);
    }
    Py_XDECREF(reread);
    return result;
}

// ---------------------------------------------------------------------
// ranges: byte ranges of a file that begin at record starts.

PyObject *ranges(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"path", "n", "lines", nullptr};
    PyObject *input, *path;
    long long n;
    int with_lines = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OL|$p:ranges", const_cast<char **>(keywords), &input, &n,
                                     &with_lines))
        return nullptr;
    if (n < 1) {
        PyErr_SetString(PyExc_ValueError, "n must be 1 or more");
        return nullptr;
    }
    if (!PyUnicode_FSConverter(input, &path))
        return nullptr;
    const std::string name = PyBytes_AS_STRING(path);
    Py_DECREF(path);
    std::vector<long long> starts(static_cast<size_t>(n) + 1), lines(starts.size());
    int status = -1, system = 0;
    {
        WithoutGil unlocked;
        const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            status = csv_line_ranges_find_fd(fd, n, starts.data(), lines.data());
            system = errno;
            close(fd);
        } else {
            system = errno;
        }
    }
    if (status != 0) {
        errno = system;
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, name.c_str());
    }
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(n));
    for (size_t k = 0; list != nullptr && k < static_cast<size_t>(n); k++) {
        PyObject *item = with_lines ? Py_BuildValue("(LLL)", starts[k], starts[k + 1], lines[k])
                                    : Py_BuildValue("(LL)", starts[k], starts[k + 1]);
        if (item == nullptr) {
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), item);
    }
    return list;
}

PyMethodDef methods[] = {
    {"read_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_columns)),
     METH_VARARGS | METH_KEYWORDS,
     "read_columns(path, usecols=None, dtypes=None, *, threads=1, delimiter=',', strict=True, header=True,\n"
     "             names=None, byte_range=None, first_line=1)\n--\n\n"
     "The file's columns as a dict of numpy arrays: int64, float64 or bool where every cell is one\n"
     "(empty cells NaN, integers with one then float64), else str objects. dtypes, one or by name,\n"
     "asks for a type; a cell that is not of it raises csv_line.Error with its line and column.\n"
     "byte_range reads only the records of (start, end), its lines counted from first_line."},
    {"ranges", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ranges)), METH_VARARGS | METH_KEYWORDS,
     "ranges(path, n, *, lines=False)\n--\n\n"
     "n (start, end) byte ranges that cover the file, each beginning at a record start: range k at\n"
     "the first at or after byte size * k / n. With lines, (start, end, first line) each."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "csv_line._core", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__core()
{
    import_array();
    ReaderType = PyType_FromSpec(&reader_spec);
    if (ReaderType == nullptr)
        return nullptr;
    PyObject *csv = PyImport_ImportModule("csv");
    if (csv == nullptr)
        return nullptr;
    PyObject *base = PyObject_GetAttrString(csv, "Error");
    Py_DECREF(csv);
    if (base == nullptr)
        return nullptr;
    Error = PyErr_NewExceptionWithDoc("csv_line.Error",
                                      "A record that is not well formed, or a cell that is not of its column's type; "
                                      ".line is its line (from 1), .field its field (from 1, 0 for none).",
                                      base, nullptr);
    Py_DECREF(base);
    PyObject *made = PyModule_Create(&module);
    if (made == nullptr || Error == nullptr)
        return nullptr;
    Py_INCREF(Error);
    Py_INCREF(ReaderType);
    if (PyModule_AddObject(made, "Error", Error) < 0 || PyModule_AddObject(made, "reader", ReaderType) < 0) {
        Py_DECREF(made);
        return nullptr;
    }
    return made;
}
