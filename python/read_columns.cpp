// csv_line.read_columns: each column one numpy array, typed from its text.
// The file (or the byte range asked for) is mapped and read by one reader
// on its threads; each batch's cells are parsed into memory of its own and
// put together in input order into each column's memory (columns.cpp),
// the kinds of the batches joined, and the arrays made over that memory
// (arrays.cpp).
#include "columns.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace csv_line_python {

namespace {

// Lines are counted in long long from first_line: a line number past this
// could not be added to without overflow.
constexpr long long LAST_FIRST_LINE = 1LL << 62;

// read_columns' arguments, as given.
struct Arguments {
    PyObject *input = nullptr, *usecols = Py_None, *dtypes = Py_None, *names = Py_None, *byte_range = Py_None;
    const char *delimiter = ",";
    int threads = 1, strict = 1, header = 1;
    long long first_line = 1;
    csv_line_reader_options options{};
};

bool parse_arguments(PyObject *args, PyObject *kwargs, Arguments *given)
{
    static const char *keywords[] = {"path", "usecols", "dtypes", "threads", "delimiter", "strict",
                                     "header", "names", "byte_range", "first_line", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO$ispiOOL:read_columns", const_cast<char **>(keywords),
                                     &given->input, &given->usecols, &given->dtypes, &given->threads,
                                     &given->delimiter, &given->strict, &given->header, &given->names,
                                     &given->byte_range, &given->first_line))
        return false;
    if (!reader_options(given->delimiter, given->strict, given->threads, &given->options))
        return false;
    if (given->first_line < 1 || given->first_line > LAST_FIRST_LINE) {
        PyErr_SetString(PyExc_ValueError, "first_line must be from 1 to 2**62");
        return false;
    }
    given->options.header = given->header;
    return true;
}

// byte_range as (start, end): a tuple, a list, any sequence of two integers.
bool parse_byte_range(PyObject *byte_range, long long *from, long long *to)
{
    const Owned pair(PyTuple_Pack(1, byte_range));
    return pair && PyArg_ParseTuple(pair.get(), "(LL);byte_range is (start, end)", from, to);
}

// A file's bytes, mapped.
struct Mapping {
    int fd = -1;
    void *base = nullptr;
    size_t size = 0;

    Mapping() = default;
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    ~Mapping()
    {
        if (base != nullptr)
            munmap(base, size);
        if (fd >= 0)
            close(fd);
    }
};

// The input: the file's bytes, and the range of them asked for.
struct Input {
    std::string name;
    Owned filename;  // the name its errors give
    Mapping mapping;
    long long size = 0, from = 0, to = 0;

    const char *bytes() const { return mapping.base != nullptr ? static_cast<const char *>(mapping.base) : ""; }
};

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
    Mapping &mapping = input->mapping;
    struct stat status;
    mapping.fd = open(input->name.c_str(), O_RDONLY | O_CLOEXEC);
    if (mapping.fd < 0 || fstat(mapping.fd, &status) != 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, input->filename.get());
        return false;
    }
    mapping.size = static_cast<size_t>(status.st_size);
    input->size = status.st_size;
    input->from = 0;
    input->to = status.st_size;
    if (given.byte_range != Py_None && !parse_byte_range(given.byte_range, &input->from, &input->to))
        return false;
    if (input->from < 0 || input->to < input->from || input->to > input->size) {
        PyErr_SetString(PyExc_ValueError, "byte_range lies outside the file");
        return false;
    }
    if (mapping.size > 0) {
        mapping.base = mmap(nullptr, mapping.size, PROT_READ, MAP_PRIVATE, mapping.fd, 0);
        if (mapping.base == MAP_FAILED) {
            mapping.base = nullptr;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, input->filename.get());
            return false;
        }
        madvise(mapping.base, mapping.size, MADV_SEQUENTIAL);
    }
    return true;
}

using Reader = std::unique_ptr<csv_line_reader, void (*)(csv_line_reader *)>;

// The reader of the input's range, on the threads asked for. A reader
// drops a byte-order mark at its start, which a range's first record may
// begin with: without a header it reads from the LF before the range, whose
// blank line is skipped as every blank line is, and its lines count from
// the one before first_line. *line_base is what makes its lines the
// file's. Null with an error set.
csv_line_reader *open_range(const Arguments &given, const Input &input, long long *line_base)
{
    const char *bytes = input.bytes();
    const long long lf = given.header == 0 && input.from > 0 && bytes[input.from - 1] == '\n';
    csv_line_reader *reader = csv_line_reader_open_memory(bytes + input.from - lf,
                                                          static_cast<size_t>(input.to - input.from + lf),
                                                          &given.options);
    if (reader == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    *line_base = given.first_line - 1 - lf;
    return reader;
}

// Every column's name: those given, the header's, or their numbers from 0
// as pandas numbers them. `first` is the reader's first batch, of n
// records.
bool all_names(const Arguments &given, const Input &input, csv_line_reader *reader, const csv_line_batch &first, int n,
               std::vector<std::string> *all)
{
    if (given.names != Py_None) {
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
    } else if (given.header) {
        for (int k = 0; k < csv_line_reader_column_count(reader); k++) {
            const csv_line_text text = csv_line_reader_column_name(reader, k);
            if (text.length < 0 || (text.data == nullptr && text.length > 0)) {
                PyErr_Format(PyExc_RuntimeError, "csv_line: the header's name %d came back without its bytes", k);
                return false;
            }
            all->emplace_back(text.length > 0 ? text.data : "", static_cast<size_t>(text.length));
        }
    } else {
        const int width = first_width(first, n, input.bytes() + input.from, static_cast<size_t>(input.to - input.from),
                                      given.options);
        for (int k = 0; k < width; k++)
            all->push_back(std::to_string(k));
    }
    return true;
}

// The columns asked for, by name or index; all of them when usecols is None.
bool choose_columns(PyObject *usecols, const std::vector<std::string> &all, Columns *columns)
{
    columns->width = static_cast<int>(all.size());
    if (usecols == Py_None) {
        for (size_t k = 0; k < all.size(); k++)
            columns->chosen.push_back(static_cast<int>(k));
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
            columns->chosen.push_back(static_cast<int>(index));
        }
    }
    for (int index : columns->chosen)
        columns->names.push_back(all[static_cast<size_t>(index)]);
    return true;
}

// A column's name as the result's key: its bytes as UTF-8, NULs and all.
PyObject *column_key(const std::string &name)
{
    return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
}

// The kind dtypes asks of each chosen column: one for all, or by name.
bool ask_kinds(PyObject *dtypes, Columns *columns)
{
    columns->asked.assign(columns->chosen.size(), NONE);
    if (dtypes == Py_None)
        return true;
    for (size_t c = 0; c < columns->chosen.size(); c++) {
        Owned dtype = Owned::hold(dtypes);
        if (PyDict_Check(dtypes)) {
            const Owned key(column_key(columns->names[c]));
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
        columns->asked[c] = kind_of(dtype.get());
        if (PyErr_Occurred())
            return false;
    }
    return true;
}

// Raises the first problem in the input, a cell's or the reader's; false
// when there is none. `said` is what the reading returned.
bool raise_first_problem(Columns &columns, csv_line_reader *reader, int said, const Input &input,
                         long long line_base)
{
    const csv_line_error *error = csv_line_reader_error(reader);
    if (error->code == CSV_LINE_OK)
        error = nullptr;
    const long long error_line = error != nullptr && error->line > 0 ? error->line + line_base : 0;
    if (columns.failed() && (error == nullptr || error_line == 0 || columns.problem.line < error_line)) {
        columns.raise_problem();
        return true;
    }
    if (error != nullptr) {
        raise_reader_error(*error, input.filename.get(), line_base + 1);
        return true;
    }
    if (said != 0 || !columns.all_joined()) {
        PyErr_SetString(PyExc_RuntimeError, "csv_line: the reader stopped, or left out a batch, without an error");
        return true;
    }
    return false;
}

Kinds join_kinds(const Columns &columns)
{
    const Whole &whole = *columns.whole;
    const size_t count = columns.chosen.size();
    Kinds joined{std::vector<Kind>(count, NONE), std::vector<bool>(count, false), std::vector<bool>(count, false)};
    for (size_t c = 0; c < count; c++) {
        Kind &kind = joined.kinds[c];
        for (size_t k = 0; k < whole.pieces.size; k++) {
            const Span &span = whole.span(k, c);
            kind = join(kind, span.kind);
            joined.missing[c] = joined.missing[c] || span.missing || span.kind == NONE;
        }
        if (kind == INT && joined.missing[c])
            kind = FLOAT;
        if (kind == NONE)
            kind = columns.asked[c] == TEXT ? TEXT : FLOAT;  // all missing: NaN, as pandas reads it
        if (kind == TEXT)
            for (size_t k = 0; k < whole.pieces.size; k++)
                joined.again[c] = joined.again[c] || (whole.span(k, c).kind != TEXT && whole.span(k, c).kind != NONE);
    }
    return joined;
}

// The columns to read again, read as text by a call of read_columns with
// the same arguments; null with an error set.
PyObject *read_as_text(const Arguments &given, const Columns &columns, const std::vector<bool> &again,
                       const std::vector<Owned> &keys)
{
    const Owned names_again(PyList_New(0)), as_text(PyDict_New());
    if (!names_again || !as_text)
        return nullptr;
    for (size_t c = 0; c < columns.chosen.size(); c++)
        if (again[c]) {
            const Owned index(PyLong_FromLong(columns.chosen[c]));
            if (!index || PyList_Append(names_again.get(), index.get()) != 0 ||
                PyDict_SetItem(as_text.get(), keys[c].get(), reinterpret_cast<PyObject *>(&PyUnicode_Type)) != 0)
                return nullptr;
        }
    const Owned call_args(Py_BuildValue("(O)", given.input));
    const Owned call_kwargs(Py_BuildValue("{s:O,s:O,s:i,s:s,s:i,s:i,s:O,s:O,s:L}", "usecols", names_again.get(),
                                          "dtypes", as_text.get(), "threads", given.threads, "delimiter",
                                          given.delimiter, "strict", given.strict, "header", given.header, "names",
                                          given.names, "byte_range", given.byte_range, "first_line",
                                          given.first_line));
    if (!call_args || !call_kwargs)
        return nullptr;
    return read_columns(nullptr, call_args.get(), call_kwargs.get());
}

// The dict of arrays, by name in the chosen order.
PyObject *make_result(const Arguments &given, Columns &columns)
{
    const Kinds joined = join_kinds(columns);
    std::vector<Owned> keys(columns.chosen.size());
    for (size_t c = 0; c < keys.size(); c++) {
        keys[c].reset(column_key(columns.names[c]));
        if (!keys[c])
            return nullptr;
    }
    Owned result(PyDict_New()), reread;
    if (!result)
        return nullptr;
    if (std::find(joined.again.begin(), joined.again.end(), true) != joined.again.end()) {
        reread.reset(read_as_text(given, columns, joined.again, keys));
        if (!reread)
            return nullptr;
    }
    for (size_t c = 0; c < columns.chosen.size(); c++) {
        Owned array;
        if (joined.again[c]) {
            array.reset(Owned::hold(PyDict_GetItemWithError(reread.get(), keys[c].get())).release());
            if (!array && !PyErr_Occurred())
                PyErr_Format(PyExc_KeyError, "column %R changed while it was read again", keys[c].get());
        } else {
            array.reset(assemble(*columns.whole, c, joined.kinds[c], joined.missing[c]));
        }
        if (!array || PyDict_SetItem(result.get(), keys[c].get(), array.get()) != 0)
            return nullptr;
    }
    return result.release();
}

PyObject *read_file_columns(PyObject *args, PyObject *kwargs)
{
    Arguments given;
    if (!parse_arguments(args, kwargs, &given))
        return nullptr;
    Input input;
    if (!open_input(given, &input))
        return nullptr;
    Columns columns;
    const Reader reader(open_range(given, input, &columns.line_base), csv_line_reader_close);
    if (!reader)
        return nullptr;
    if (csv_line_reader_error(reader.get())->code != CSV_LINE_OK)
        return raise_reader_error(*csv_line_reader_error(reader.get()), input.filename.get(), columns.line_base + 1);

    // Without names the first batch tells the width, before any cell is
    // taken; the rest are read on the threads after it.
    csv_line_batch first{};
    int n = 0;
    if (given.names == Py_None && !given.header) {
        WithoutGil unlocked;
        n = csv_line_reader_next(reader.get(), &first);
    }
    if (n < 0)
        return raise_reader_error(*csv_line_reader_error(reader.get()), input.filename.get(), columns.line_base + 1);

    std::vector<std::string> all;
    if (!all_names(given, input, reader.get(), first, n, &all) || !choose_columns(given.usecols, all, &columns) ||
        !ask_kinds(given.dtypes, &columns))
        return nullptr;
    columns.start();

    columns.nan = PyFloat_FromDouble(NAN);
    if (columns.nan == nullptr)
        return nullptr;
    int said = 0;
    {
        WithoutGil unlocked;  // the batches' str are made under it, the GIL taken back a batch at a time
        if (n > 0)
            said = columns.take(first);
        if (said == 0)
            said = columns.take_all(reader.get());
    }
    Py_CLEAR(columns.nan);

    if (raise_first_problem(columns, reader.get(), said, input, columns.line_base))
        return nullptr;
    return make_result(given, columns);
}

}  // namespace

PyObject *read_columns(PyObject *, PyObject *args, PyObject *kwargs)
{
    return without_cpp_exceptions([&] { return read_file_columns(args, kwargs); });
}

}  // namespace csv_line_python
