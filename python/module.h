// What the files of csv_line._core share: the exception type, the GIL let
// go, a field's bytes as str, the reader's errors as Python's, and the
// entries the module's table names. Not installed.
#ifndef CSV_LINE_PYTHON_MODULE_H
#define CSV_LINE_PYTHON_MODULE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "csv_line.h"

namespace csv_line_python {

extern PyObject *Error;           // csv_line.Error, a csv.Error
extern PyType_Spec reader_spec;  // csv_line.reader

// The GIL let go for the scope: the library's work, and its threads,
// run beside Python's. A read function of a Python source takes it back.
struct WithoutGil {
    PyThreadState *state = PyEval_SaveThread();
    WithoutGil() = default;
    WithoutGil(const WithoutGil &) = delete;
    WithoutGil &operator=(const WithoutGil &) = delete;
    ~WithoutGil() { PyEval_RestoreThread(state); }
};

// Raises what the reader says: OSError for I/O, MemoryError, else
// csv_line.Error with .line and .field. Lines count from first_line, the
// line where the reader's input begins in the whole file.
PyObject *raise_reader_error(const csv_line_error &error, const char *name, long long first_line);

// csv_line.Error for a problem the module finds: "line N: what".
PyObject *raise_message(long long line, const std::string &what);

// The options every reading entry takes. False with an error set.
bool reader_options(const char *delimiter, int strict, int threads, csv_line_reader_options *options);

// A field's value as str, from bytes known to be ASCII: copied as they are.
inline PyObject *ascii_str(csv_line_text text)
{
    if (text.length == 1)
        return PyUnicode_FromOrdinal(static_cast<unsigned char>(text.data[0]));  // shared, as Python shares them
    PyObject *made = PyUnicode_New(text.length, 127);
    if (made != nullptr && text.length > 0)
        std::memcpy(PyUnicode_1BYTE_DATA(made), text.data, static_cast<size_t>(text.length));
    return made;
}

inline bool is_ascii(const char *data, size_t length)
{
    unsigned char high = 0;
    for (const char *end = data + length; data < end; data++)
        high |= static_cast<unsigned char>(*data);
    return high < 0x80;
}

// A field's value as str, strictly UTF-8.
inline PyObject *decode(csv_line_text text)
{
    if (is_ascii(text.data, static_cast<size_t>(text.length)))
        return ascii_str(text);
    return PyUnicode_DecodeUTF8(text.data, text.length, "strict");
}

// A Python object read in blocks: a file object's read(), or an iterable
// of str or bytes (lines, as csv.reader takes them). str is read as UTF-8.
struct Source {
    PyObject *read = nullptr;      // a bound read method
    PyObject *iterator = nullptr;  // or an iterator of pieces
    PyObject *piece = nullptr;     // bytes not handed over yet, from `taken` on
    Py_ssize_t taken = 0;
    PyObject *raised[3] = {nullptr, nullptr, nullptr};  // what a read raised

    Source() = default;
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;
    ~Source();  // with the GIL

    // The reader's read function over a Source, its context.
    static long long read_into(void *context, char *buffer, size_t size);

private:
    PyObject *next_piece(size_t size);
    long long fill(char *buffer, size_t size);
};

// Opens a reader of a path (str, bytes or os.PathLike) or of a Python
// object read in blocks (then *source holds it). Null with an error set.
csv_line_reader *open_reader(PyObject *input, const csv_line_reader_options &options, std::unique_ptr<Source> *source,
                             std::string *name);

// Raises the reader's error, or what the Python source raised.
PyObject *raise_from(csv_line_reader *reader, Source *source, const char *name, long long first_line);

// The module's functions.
PyObject *read_columns(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *ranges(PyObject *self, PyObject *args, PyObject *kwargs);

}  // namespace csv_line_python

#endif
