// read_columns' and read_table's work before any column is converted: the
// arguments, the file mapped, the columns found by name or index and asked
// of the library's table reader by their fields, the table read on the
// reader's threads without the GIL, and its error said as Python's.
#include "tables.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace csv_line_python {

namespace {

// Lines are counted in long long from first_line: a line number past this
// could not be added to without overflow.
constexpr long long LAST_FIRST_LINE = 1LL << 62;

// byte_range as (start, end): a tuple, a list, any sequence of two integers.
bool parse_byte_range(PyObject *byte_range, long long *from, long long *to)
{
    const Owned pair(PyTuple_Pack(1, byte_range));
    return pair && PyArg_ParseTuple(pair.get(), "(LL);byte_range is (start, end)", from, to);
}

}  // namespace

bool parse_arguments(const char *entry, PyObject *args, PyObject *kwargs, Arguments *given)
{
    // read_table takes every keyword but text: its text is Arrow's.
    static const char *keywords[] = {"path",       "usecols",    "dtypes", "threads", "delimiter", "strict",
                                     "header",     "names",      "byte_range", "first_line", "dates", "text",
                                     "encoding",   "errors",     nullptr};
    static const char *table_keywords[] = {"path",   "usecols", "dtypes",     "threads",    "delimiter",
                                           "strict", "header",  "names",      "byte_range", "first_line",
                                           "dates",  "encoding", "errors",    nullptr};
    const int parsed =
        std::strcmp(entry, "read_columns") == 0
            ? PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO$iOpOOOLpsOO:read_columns",
                                          const_cast<char **>(keywords), &given->input, &given->usecols,
                                          &given->dtypes, &given->threads, &given->options.delimiter,
                                          &given->strict, &given->header, &given->names, &given->byte_range,
                                          &given->first_line, &given->dates, &given->text, &given->options.encoding,
                                          &given->options.errors)
            : PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO$iOpOOOLpOO:read_table",
                                          const_cast<char **>(table_keywords), &given->input, &given->usecols,
                                          &given->dtypes, &given->threads, &given->options.delimiter,
                                          &given->strict, &given->header, &given->names, &given->byte_range,
                                          &given->first_line, &given->dates, &given->options.encoding,
                                          &given->options.errors);
    if (!parsed)
        return false;
    if (std::strcmp(given->text, "str") != 0 && std::strcmp(given->text, "category") != 0) {
        PyErr_Format(PyExc_ValueError, "text must be 'str' or 'category', not '%s'", given->text);
        return false;
    }
    if (given->first_line < 1 || given->first_line > LAST_FIRST_LINE) {
        PyErr_SetString(PyExc_ValueError, "first_line must be from 1 to 2**62");
        return false;
    }
    csv_line_reader_options checked;
    return reader_options(given->options, given->strict, given->threads, &checked) &&
           header_option(given->header, &checked);
}

Input::~Input()
{
    if (base != nullptr)
        munmap(base, size);
    if (fd >= 0)
        close(fd);
}

namespace {

bool open_input(const Arguments &given, Input *input)
{
    PyObject *path = nullptr;
    if (!PyUnicode_FSConverter(given.input, &path))
        return false;
    input->name = PyBytes_AS_STRING(path);
    Py_DECREF(path);
    input->filename.reset(path_filename(input->name.c_str()));
    if (!input->filename)
        return false;
    struct stat status;
    input->fd = open(input->name.c_str(), O_RDONLY | O_CLOEXEC);
    if (input->fd < 0 || fstat(input->fd, &status) != 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, input->filename.get());
        return false;
    }
    const long long size = status.st_size;
    input->from = 0;
    input->to = size;
    if (given.byte_range != Py_None && !parse_byte_range(given.byte_range, &input->from, &input->to))
        return false;
    if (input->from < 0 || input->to < input->from || input->to > size) {
        PyErr_SetString(PyExc_ValueError, "byte_range lies outside the file");
        return false;
    }
    if (size > 0) {
        void *mapped = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, input->fd, 0);
        if (mapped == MAP_FAILED) {
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, input->filename.get());
            return false;
        }
        input->base = mapped;
        input->size = static_cast<size_t>(size);
        madvise(mapped, input->size, MADV_SEQUENTIAL);
    }
    return true;
}

// The bytes read and how their lines count. A reader drops a byte-order
// mark at its start, which a range's first record may begin with: without
// a header the range is read from the LF before it, whose blank line is no
// row, and its lines count from the one before first_line.
struct Span {
    const char *bytes;
    size_t size;
    long long first_line;  // of its first byte: 0 when that LF is line 1's end, said first_line 1 in error
};

Span span_of(const Arguments &given, bool header, const Input &input)
{
    const char *bytes = input.bytes();
    const long long lf = !header && input.from > 0 && bytes[input.from - 1] == '\n';
    return Span{bytes + input.from - lf, static_cast<size_t>(input.to - input.from + lf), given.first_line - lf};
}

using Reader = std::unique_ptr<csv_line_reader, void (*)(csv_line_reader *)>;

// The separator or header guessed as the options ask, from the first bytes
// of the range, made the options' own: every step after reads the same.
// False with the reader's error raised.
bool settle_guess(const Input &input, csv_line_reader_options *options)
{
    csv_line_reader_options one = *options;
    one.threads = 1;
    const Reader reader(csv_line_reader_open_memory(input.bytes() + input.from,
                                                    static_cast<size_t>(input.to - input.from), &one),
                        csv_line_reader_close);
    if (!reader) {
        PyErr_NoMemory();
        return false;
    }
    if (csv_line_reader_error(reader.get())->code != CSV_LINE_OK) {
        raise_reader_error(*csv_line_reader_error(reader.get()), input.filename.get(), 1);
        return false;
    }
    csv_line_dialect dialect;
    csv_line_reader_dialect(reader.get(), &dialect);
    if (options->guess & CSV_LINE_GUESS_SEPARATOR)
        options->separator = dialect.separator;
    if (options->guess & CSV_LINE_GUESS_HEADER)
        options->header = dialect.header != 0;
    options->guess = 0;
    return true;
}

// What the input's opening says, on one thread: its width (the header's
// names, or the fields of the first record that is not a blank line; 0
// for none) and the header's names. False with the reader's error raised.
bool survey(const Input &input, const Span &span, const csv_line_reader_options &options, int *width,
            std::vector<std::string> *header)
{
    csv_line_reader_options one = options;
    one.threads = 1;
    const Reader reader(csv_line_reader_open_memory(span.bytes, span.size, &one), csv_line_reader_close);
    if (!reader) {
        PyErr_NoMemory();
        return false;
    }
    *width = 0;
    int n = 0;
    csv_line_batch batch;
    {
        WithoutGil unlocked;
        if (csv_line_reader_error(reader.get())->code == CSV_LINE_OK && !options.header)
            while (*width == 0 && (n = csv_line_reader_next(reader.get(), &batch)) > 0)
                for (int r = 0; r < batch.count && *width == 0; r++)
                    if (batch.records[r].count > 1 || batch.fields[batch.records[r].field].length > 0)
                        *width = batch.records[r].count;
    }
    if (csv_line_reader_error(reader.get())->code != CSV_LINE_OK || n < 0) {
        raise_reader_error(*csv_line_reader_error(reader.get()), input.filename.get(), span.first_line);
        return false;
    }
    if (options.header) {
        *width = csv_line_reader_column_count(reader.get());
        for (int k = 0; k < *width; k++) {
            const csv_line_text text = csv_line_reader_column_name(reader.get(), k);
            if (text.length < 0 || (text.data == nullptr && text.length > 0)) {
                PyErr_Format(PyExc_RuntimeError, "csv_line: the header's name %d came back without its bytes", k);
                return false;
            }
            header->emplace_back(text.length > 0 ? text.data : "", static_cast<size_t>(text.length));
        }
    }
    return true;
}

// Every column's name: those given, the header's, or their numbers from 0
// as pandas numbers them. Names name the input's fields in order: fewer
// than it has leave fields without a name, which is refused; more name
// columns of no cell.
bool all_names(const Arguments &given, bool with_header, int width, std::vector<std::string> &header,
               std::vector<std::string> *all)
{
    if (given.names == Py_None) {
        if (with_header)
            *all = std::move(header);
        else
            for (int k = 0; k < width; k++)
                all->push_back(std::to_string(k));
        return true;
    }
    const Owned list(PySequence_Fast(given.names, "names must be a sequence"));
    if (!list)
        return false;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(list.get()); k++) {
        const Owned item = Owned::hold(PySequence_Fast_GET_ITEM(list.get(), k));  // its __str__ may change the list
        const Owned str(PyObject_Str(item.get()));
        all->emplace_back();
        if (!str || !utf8_of(str.get(), &all->back()))
            return false;
    }
    if (all->size() < static_cast<size_t>(width)) {
        PyErr_Format(PyExc_ValueError, "names: %zu names for the input's %d fields", all->size(), width);
        return false;
    }
    return true;
}

// The columns asked for, by name or index; all of them when usecols is None.
bool choose_columns(PyObject *usecols, const std::vector<std::string> &all, Chosen *chosen)
{
    if (usecols == Py_None) {
        for (size_t k = 0; k < all.size(); k++)
            chosen->fields.push_back(static_cast<int>(k));
    } else {
        const Owned list(PySequence_Fast(usecols, "usecols must be a sequence of names or indexes"));
        if (!list)
            return false;
        std::string wanted;
        for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(list.get()); k++) {
            const Owned held = Owned::hold(PySequence_Fast_GET_ITEM(list.get(), k));  // its repr may change the list
            PyObject *item = held.get();
            long index = -1;
            if (PyLong_Check(item)) {
                index = PyLong_AsLong(item);
                if (index == -1 && PyErr_Occurred())
                    PyErr_Clear();  // beyond a long: no column, as any index past the last
            } else if (PyUnicode_Check(item)) {
                if (!utf8_of(item, &wanted))
                    return false;
                const auto found = std::find(all.begin(), all.end(), wanted);
                index = found != all.end() ? static_cast<long>(found - all.begin()) : -1;
            }
            if (index < 0 || index >= static_cast<long>(all.size())) {
                PyErr_Format(PyExc_ValueError, "usecols: no column %R", item);
                return false;
            }
            chosen->fields.push_back(static_cast<int>(index));
        }
    }
    for (int field : chosen->fields)
        chosen->names.push_back(all[static_cast<size_t>(field)]);
    return true;
}

// A column's name as the result's key: its bytes as UTF-8, NULs and all.
PyObject *name_key(const std::string &name)
{
    return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
}

// The type dtypes asks of each chosen column: one for all, or by name.
bool ask_types(PyObject *dtypes, Chosen *chosen)
{
    chosen->types.assign(chosen->fields.size(), CSV_LINE_TYPE_INFER);
    if (dtypes == Py_None)
        return true;
    for (size_t c = 0; c < chosen->fields.size(); c++) {
        Owned dtype = Owned::hold(dtypes);
        if (PyDict_Check(dtypes)) {
            const Owned key(name_key(chosen->names[c]));
            if (!key) {
                PyErr_Clear();  // a name that is not UTF-8 is no key of the dict: it asks nothing
                continue;
            }
            // held: numpy's reading of a dtype may run code that changes the dict
            dtype.reset(Owned::hold(PyDict_GetItemWithError(dtypes, key.get())).release());
            if (!dtype) {
                if (PyErr_Occurred())
                    return false;
                continue;
            }
        }
        const int type = type_of_dtype(dtype.get());
        if (type < 0)
            return false;
        chosen->types[c] = type;
    }
    return true;
}

const char *type_word(int type)
{
    switch (type) {
    case CSV_LINE_TYPE_INT64: return "int64";
    case CSV_LINE_TYPE_FLOAT64: return "float64";
    case CSV_LINE_TYPE_BOOL: return "bool";
    case CSV_LINE_TYPE_DATE: return "date";
    case CSV_LINE_TYPE_TIMESTAMP: return "timestamp";
    default: return "str";
    }
}

// The message's "line N: " said with the line the error has, `shift`
// added to it. The table's message tells the input's line; its
// error.line is counted from first_line.
std::string with_line(const csv_line_error &error, long long shift, size_t *rest)
{
    const char *message = error.message;
    size_t at = 0;
    if (std::strncmp(message, "line ", 5) == 0) {
        at = 5;
        while (message[at] >= '0' && message[at] <= '9')
            at++;
        at = message[at] == ':' && at > 5 ? at + 1 : 0;
    }
    *rest = at;
    return at > 0 ? "line " + std::to_string(error.line + shift) + ":" : "";
}

// Raises the table's error. A cell's names its column as the result does,
// and an empty cell where none may be says the type asked for.
void raise_table_error(const csv_line_error &error, const Input &input, const csv_line_table *table,
                       const Chosen &chosen, long long shift)
{
    if (error.code == CSV_LINE_ERROR_IO || error.code == CSV_LINE_ERROR_MEMORY) {
        raise_reader_error(error, input.filename.get(), 1);
        return;
    }
    size_t rest;
    std::string message = with_line(error, shift, &rest);
    std::string tail = error.message + rest;
    if (error.code == CSV_LINE_ERROR_CELL) {
        for (size_t c = 0; c < chosen.fields.size(); c++) {
            csv_line_column column;
            if (chosen.fields[c] + 1 != error.field || chosen.columns[c] < 0 ||
                csv_line_table_column(table, chosen.columns[c], &column) != 0)
                continue;
            // The library's message names the column as the table does, its
            // name cut at 100 bytes.
            const std::string said = " column '" +
                                     std::string(column.name.data, std::min(100, column.name.length)) + "': ";
            if (tail.compare(0, said.size(), said) != 0)
                break;
            tail = tail.substr(said.size());
            if (tail == "an empty cell")
                tail = std::string("an empty field in a ") + type_word(chosen.types[c]) + " column";
            tail = " column '" + chosen.names[c] + "': " + tail;
            break;
        }
    }
    const long long line = error.line > 0 ? error.line + shift : 0;
    if (error.code == CSV_LINE_ERROR_ENCODING)
        raise_encoding_error(message + tail, line, error.field);
    else
        raise_error(message + tail, line, error.field);
}

}  // namespace

bool read_asked(const Arguments &given, TableRead *read)
{
    Input input;
    if (!open_input(given, &input))
        return false;
    csv_line_reader_options reader;
    if (!reader_options(given.options, given.strict, given.threads, &reader) ||
        !header_option(given.header, &reader) || (reader.guess != 0 && !settle_guess(input, &reader)))
        return false;
    const Span span = span_of(given, reader.header != 0, input);

    int width;
    std::vector<std::string> header, all;
    Chosen &chosen = read->chosen;
    if (!survey(input, span, reader, &width, &header) || !all_names(given, reader.header != 0, width, header, &all) ||
        !choose_columns(given.usecols, all, &chosen) || !ask_types(given.dtypes, &chosen))
        return false;

    // Each column within the input's fields asked for by its field, in the
    // result's order; integers and booleans have no missing value.
    std::vector<csv_line_column_spec> fields_asked;
    for (size_t c = 0; c < chosen.fields.size(); c++) {
        if (chosen.fields[c] >= width) {
            chosen.columns.push_back(-1);
            continue;
        }
        chosen.columns.push_back(static_cast<int>(fields_asked.size()));
        const int type = chosen.types[c];
        fields_asked.push_back(csv_line_column_spec{nullptr, chosen.fields[c], type,
                                             type == CSV_LINE_TYPE_INT64 || type == CSV_LINE_TYPE_BOOL});
    }
    csv_line_table_options options{};
    options.reader = reader;
    options.columns = fields_asked.data();
    options.column_count = static_cast<int>(fields_asked.size());
    options.only_columns = 1;
    options.infer_dates = given.dates;
    // The library counts from line 1 at the least; an LF read before a
    // range said to begin at line 1 moves its lines by one.
    options.first_line = std::max(1LL, span.first_line);
    const long long shift = span.first_line - options.first_line;
    {
        WithoutGil unlocked;
        read->table = csv_line_table_read_memory(span.bytes, span.size, &options);
    }
    if (read->table == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    const csv_line_error &error = *csv_line_table_error(read->table);
    if (error.code != CSV_LINE_OK) {
        raise_table_error(error, input, read->table, chosen, shift);
        return false;
    }
    if (csv_line_table_column_count(read->table) != static_cast<int>(fields_asked.size())) {
        PyErr_Format(PyExc_RuntimeError, "csv_line: a table of %d columns, %zu asked for",
                     csv_line_table_column_count(read->table), fields_asked.size());
        return false;
    }
    return true;
}

}  // namespace csv_line_python
