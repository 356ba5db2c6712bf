// csv_line.read_columns: each column one numpy array, typed from its text.
// The file is mapped and cut into byte ranges, one reader a range; their
// cells are parsed into each column's memory (columns.cpp), the kinds of
// the parts joined, and the arrays made over that memory (arrays.cpp).
#include "columns.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace csv_line_python {

namespace {

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
    given->options.header = given->header;
    return true;
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
    Mapping &mapping = input->mapping;
    struct stat status;
    mapping.fd = open(input->name.c_str(), O_RDONLY | O_CLOEXEC);
    if (mapping.fd < 0 || fstat(mapping.fd, &status) != 0) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, input->name.c_str());
        return false;
    }
    mapping.size = static_cast<size_t>(status.st_size);
    input->size = status.st_size;
    input->from = 0;
    input->to = status.st_size;
    if (given.byte_range != Py_None &&
        !PyArg_ParseTuple(given.byte_range, "LL;byte_range is (start, end)", &input->from, &input->to))
        return false;
    if (input->from < 0 || input->to < input->from || input->to > input->size) {
        PyErr_SetString(PyExc_ValueError, "byte_range lies outside the file");
        return false;
    }
    if (mapping.size > 0) {
        mapping.base = mmap(nullptr, mapping.size, PROT_READ, MAP_PRIVATE, mapping.fd, 0);
        if (mapping.base == MAP_FAILED) {
            mapping.base = nullptr;
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, input->name.c_str());
            return false;
        }
        madvise(mapping.base, mapping.size, MADV_SEQUENTIAL);
    }
    return true;
}

using Reader = std::unique_ptr<csv_line_reader, void (*)(csv_line_reader *)>;

// The readers of the input, one a byte range, and where each range lies.
struct Readers {
    std::vector<Reader> readers;
    std::vector<Place> places;
};

// With threads, a whole file is cut into a byte range a thread, each
// beginning at a record and read by a reader of one thread of its own, in
// order: they share nothing until their columns are put together. A byte
// range asked for is read by one.
bool open_readers(const Arguments &given, const Input &input, Readers *out)
{
    csv_line_reader_options options = given.options;
    options.threads = 1;
    std::vector<long long> starts = {input.from, input.to}, lines = {given.first_line, 0};
    if (given.threads > 1 && given.byte_range == Py_None && input.size > 0) {
        starts.assign(static_cast<size_t>(given.threads) + 1, 0);
        lines.assign(starts.size(), 1);
        WithoutGil unlocked;
        csv_line_ranges_find_memory(input.bytes(), input.size, given.threads, starts.data(), lines.data());
    }
    const char *bytes = input.bytes();
    for (size_t k = 0; k + 1 < starts.size(); k++) {
        csv_line_reader_options part = options;
        part.header = k == 0 ? options.header : 0;
        // A reader drops a byte-order mark at its start, which a range's
        // first record may begin with: read from the LF before it, whose
        // blank line is skipped as every blank line is.
        const long long lf = part.header == 0 && starts[k] > 0 && bytes[starts[k] - 1] == '\n';
        out->readers.emplace_back(csv_line_reader_open_memory(bytes + starts[k] - lf,
                                                              static_cast<size_t>(starts[k + 1] - starts[k] + lf),
                                                              &part),
                                  csv_line_reader_close);
        if (out->readers.back() == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        out->places.push_back(Place{lines[k] - lf, static_cast<long long>(k) << 40});
    }
    return true;
}

// Every column's name: those given, the header's, or their numbers from 0
// as pandas numbers them. `first` is the first reader's first batch, of n
// records.
bool all_names(const Arguments &given, const Input &input, csv_line_reader *reader, const csv_line_batch &first, int n,
               std::vector<std::string> *all)
{
    if (given.names != Py_None) {
        PyObject *list = PySequence_Fast(given.names, "names must be a sequence");
        if (list == nullptr)
            return false;
        for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(list); k++) {
            PyObject *str = PyObject_Str(PySequence_Fast_GET_ITEM(list, k));
            if (str == nullptr) {
                Py_DECREF(list);
                return false;
            }
            all->emplace_back(PyUnicode_AsUTF8(str));
            Py_DECREF(str);
        }
        Py_DECREF(list);
    } else if (given.header) {
        for (int k = 0; k < csv_line_reader_column_count(reader); k++) {
            const csv_line_text text = csv_line_reader_column_name(reader, k);
            all->emplace_back(text.data, static_cast<size_t>(text.length));
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
        PyObject *list = PySequence_Fast(usecols, "usecols must be a sequence of names or indexes");
        if (list == nullptr)
            return false;
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
                return false;
            }
            columns->chosen.push_back(static_cast<int>(index));
        }
        Py_DECREF(list);
    }
    for (int index : columns->chosen)
        columns->names.push_back(all[static_cast<size_t>(index)]);
    return true;
}

// The kind dtypes asks of each chosen column: one for all, or by name.
bool ask_kinds(PyObject *dtypes, Columns *columns)
{
    columns->asked.assign(columns->chosen.size(), NONE);
    if (dtypes == Py_None)
        return true;
    for (size_t c = 0; c < columns->chosen.size(); c++) {
        PyObject *dtype = dtypes;
        if (PyDict_Check(dtypes)) {
            dtype = PyDict_GetItemString(dtypes, columns->names[c].c_str());
            if (dtype == nullptr)
                continue;
        }
        columns->asked[c] = kind_of(dtype);
        if (PyErr_Occurred())
            return false;
    }
    return true;
}

// Every reader's batches into its part: the first reader's on this
// thread, after the batch it has read already, the others' on threads
// of their own.
void read_parts(Columns &columns, Readers &readers, std::vector<std::unique_ptr<Part>> &parts,
                const csv_line_batch &first, int n)
{
    WithoutGil unlocked;  // the batches' str are built under it, taken back a batch at a time
    std::vector<std::thread> others;
    for (size_t k = 1; k < readers.readers.size(); k++)
        others.emplace_back([&, k] { columns.take_all(readers.readers[k].get(), *parts[k]); });
    if (n > 0 && columns.take(first, *parts[0]) == 0)
        columns.take_all(readers.readers[0].get(), *parts[0]);
    for (std::thread &other : others)
        other.join();
}

// Raises the first problem in the input, a cell's or a reader's; false
// when there is none.
bool raise_first_problem(Columns &columns, const Readers &readers, const Input &input, long long first_line)
{
    const csv_line_error *error = nullptr;
    long long error_line = 0, error_first_line = first_line;
    for (size_t k = 0; k < readers.readers.size(); k++) {
        const csv_line_error *said = csv_line_reader_error(readers.readers[k].get());
        const long long line = said->line > 0 ? said->line + readers.places[k].first_line - 1 : 0;
        if (said->code != CSV_LINE_OK && (error == nullptr || line < error_line)) {
            error = said;
            error_line = line;
            error_first_line = readers.places[k].first_line;
        }
    }
    if (columns.problem_sequence >= 0 && (error == nullptr || error_line == 0 || columns.problem_line < error_line)) {
        if (columns.raised[0] != nullptr) {
            PyErr_Restore(columns.raised[0], columns.raised[1], columns.raised[2]);
            columns.raised[0] = columns.raised[1] = columns.raised[2] = nullptr;
            return true;
        }
        raise_message(columns.problem_line, columns.problem);
        return true;
    }
    if (error != nullptr) {
        raise_reader_error(*error, input.name.c_str(), error_first_line);
        return true;
    }
    return false;
}

// Each column's kind, joined over its parts' batches.
struct Joined {
    std::vector<Kind> kinds;
    std::vector<bool> missing;  // a cell is missing
    std::vector<bool> again;    // text met after numbers: read again as text, for the numbers' own spelling
};

Joined join_kinds(const Columns &columns, const std::vector<std::unique_ptr<Part>> &parts)
{
    const size_t count = columns.chosen.size();
    Joined joined{std::vector<Kind>(count, NONE), std::vector<bool>(count, false), std::vector<bool>(count, false)};
    for (size_t c = 0; c < count; c++) {
        Kind &kind = joined.kinds[c];
        for (const auto &part : parts)
            for (const Span &span : part->spans[c]) {
                kind = join(kind, span.kind);
                joined.missing[c] = joined.missing[c] || span.missing || span.kind == NONE;
            }
        if (kind == INT && joined.missing[c])
            kind = FLOAT;
        if (kind == NONE)
            kind = columns.asked[c] == TEXT ? TEXT : FLOAT;  // all missing: NaN, as pandas reads it
        if (kind == TEXT)
            for (const auto &part : parts)
                for (const Span &span : part->spans[c])
                    joined.again[c] = joined.again[c] || (span.kind != TEXT && span.kind != NONE);
    }
    return joined;
}

// The columns to read again, read as text by a call of read_columns with
// the same arguments; null with an error set.
PyObject *read_as_text(const Arguments &given, const Columns &columns, const std::vector<bool> &again)
{
    PyObject *names_again = PyList_New(0), *as_text = PyDict_New();
    for (size_t c = 0; c < columns.chosen.size(); c++)
        if (again[c]) {
            PyObject *index = PyLong_FromLong(columns.chosen[c]);
            PyList_Append(names_again, index);
            Py_DECREF(index);
            PyDict_SetItemString(as_text, columns.names[c].c_str(), reinterpret_cast<PyObject *>(&PyUnicode_Type));
        }
    PyObject *call_args = Py_BuildValue("(O)", given.input);
    PyObject *call_kwargs = Py_BuildValue("{s:O,s:O,s:i,s:s,s:i,s:i,s:O,s:O,s:L}", "usecols", names_again, "dtypes",
                                          as_text, "threads", given.threads, "delimiter", given.delimiter, "strict",
                                          given.strict, "header", given.header, "names", given.names, "byte_range",
                                          given.byte_range, "first_line", given.first_line);
    Py_DECREF(names_again);
    Py_DECREF(as_text);
    PyObject *reread = nullptr;
    if (call_args != nullptr && call_kwargs != nullptr)
        reread = read_columns(nullptr, call_args, call_kwargs);
    Py_XDECREF(call_args);
    Py_XDECREF(call_kwargs);
    return reread;
}

// The dict of arrays, by name in the chosen order.
PyObject *make_result(const Arguments &given, const Columns &columns, std::vector<std::unique_ptr<Part>> &parts)
{
    Py_ssize_t rows = 0;
    for (const auto &part : parts)
        rows += static_cast<Py_ssize_t>(part->rows);
    const Joined joined = join_kinds(columns, parts);
    PyObject *result = PyDict_New();
    if (result == nullptr)
        return nullptr;
    PyObject *reread = nullptr;
    if (std::find(joined.again.begin(), joined.again.end(), true) != joined.again.end()) {
        reread = read_as_text(given, columns, joined.again);
        if (reread == nullptr) {
            Py_DECREF(result);
            return nullptr;
        }
    }
    for (size_t c = 0; c < columns.chosen.size(); c++) {
        PyObject *array;
        if (joined.again[c]) {
            array = PyDict_GetItemString(reread, columns.names[c].c_str());
            Py_XINCREF(array);
        } else {
            array = assemble(parts, c, joined.kinds[c], joined.missing[c], rows);
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

}  // namespace

PyObject *read_columns(PyObject *, PyObject *args, PyObject *kwargs)
{
    Arguments given;
    if (!parse_arguments(args, kwargs, &given))
        return nullptr;
    Input input;
    if (!open_input(given, &input))
        return nullptr;
    Readers readers;
    if (!open_readers(given, input, &readers))
        return nullptr;
    csv_line_reader *reader = readers.readers[0].get();
    if (csv_line_reader_error(reader)->code != CSV_LINE_OK)
        return raise_reader_error(*csv_line_reader_error(reader), input.name.c_str(), readers.places[0].first_line);

    csv_line_batch first{};
    int n;
    {
        WithoutGil unlocked;
        n = csv_line_reader_next(reader, &first);
    }
    if (n < 0)
        return raise_reader_error(*csv_line_reader_error(reader), input.name.c_str(), readers.places[0].first_line);

    std::vector<std::string> all;
    Columns columns;
    if (!all_names(given, input, reader, first, n, &all) || !choose_columns(given.usecols, all, &columns) ||
        !ask_kinds(given.dtypes, &columns))
        return nullptr;

    columns.nan = PyFloat_FromDouble(NAN);
    if (columns.nan == nullptr)
        return nullptr;
    std::vector<std::unique_ptr<Part>> parts;
    for (const Place &place : readers.places)
        parts.push_back(std::make_unique<Part>(place, columns.chosen.size()));
    read_parts(columns, readers, parts, first, n);
    Py_CLEAR(columns.nan);

    if (raise_first_problem(columns, readers, input, given.first_line))
        return nullptr;
    return make_result(given, columns, parts);
}

}  // namespace csv_line_python
