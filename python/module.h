// What the files of csv_line._core share: the exception type, the GIL let
// go, a reference held for a scope, the wall that keeps C++ exceptions from
// Python, a field's bytes as str, the reader's errors as Python's, and the
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
extern PyObject *EncodingError;   // csv_line.EncodingError, a csv_line.Error and a UnicodeDecodeError
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

// The GIL taken for the scope, on any thread.
struct WithGil {
    PyGILState_STATE state = PyGILState_Ensure();
    WithGil() = default;
    WithGil(const WithGil &) = delete;
    WithGil &operator=(const WithGil &) = delete;
    ~WithGil() { PyGILState_Release(state); }
};

// A reference held until the scope ends (with the GIL, as every scope
// that holds one ends).
class Owned {
public:
    Owned() = default;
    explicit Owned(PyObject *object) : object_(object) {}
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    Owned(Owned &&other) noexcept : object_(other.release()) {}
    ~Owned() { Py_XDECREF(object_); }

    // A reference of its own to a borrowed object, which code run meanwhile
    // could otherwise free (by changing the list or dict it is borrowed from).
    static Owned hold(PyObject *borrowed)
    {
        Py_XINCREF(borrowed);
        return Owned(borrowed);
    }

    PyObject *get() const { return object_; }
    PyObject *release()
    {
        PyObject *object = object_;
        object_ = nullptr;
        return object;
    }
    void reset(PyObject *object)
    {
        Py_XDECREF(object_);
        object_ = object;
    }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject *object_ = nullptr;
};

// Sets Python's exception for the C++ exception being handled: MemoryError
// for memory or a size beyond any allocation, RuntimeError for any other.
// Returns null. Called only from a catch block.
PyObject *raise_from_cpp_exception() noexcept;

// An entry's body run where no C++ exception can reach the interpreter:
// every function that CPython calls goes through it.
template <class Body>
auto without_cpp_exceptions(Body &&body) noexcept -> decltype(body())
{
    try {
        return body();
    } catch (...) {
        raise_from_cpp_exception();
        return {};
    }
}

// Raises what the reader says: OSError for I/O (with `filename`),
// MemoryError, else csv_line.Error with .line and .field. Lines count from
// first_line, the line where the reader's input begins in the whole file.
PyObject *raise_reader_error(const csv_line_error &error, PyObject *filename, long long first_line);

// csv_line.Error(message) with .line and .field (0 for none).
// raise_encoding_error: csv_line.EncodingError for the library's message
// of text that is not UTF-8, "... (byte 0xHH)".
PyObject *raise_error(const std::string &message, long long line, int field);
PyObject *raise_encoding_error(const std::string &message, long long line, int field);

// A str's UTF-8 bytes, NULs and all, into *out; false with an error set
// (UnicodeEncodeError for a lone surrogate).
bool utf8_of(PyObject *str, std::string *out);

// The name OSError gives for a path's bytes, as Python's own file calls
// give it. New reference, or null with an error set.
PyObject *path_filename(const char *path);

// What every reading entry takes of its text, as given (borrowed): the
// delimiter (a 1-character str; None: guessed; null: ','), the encoding (a
// codec's name, or None: UTF-8, or UTF-16 by its mark) and errors
// ("strict" or "replace", or None: strict) for text that is not UTF-8:
// strict is csv_line.EncodingError, a UnicodeDecodeError that names the
// line, field and column.
struct TextOptions {
    PyObject *delimiter = nullptr;
    PyObject *encoding = Py_None;
    PyObject *errors = Py_None;
};

// The options every reading entry takes, into *options. False with an
// error set: TypeError for a delimiter that is not one ASCII character,
// LookupError for a codec Python does not know, ValueError for one the
// library does not read or for errors other than "strict" or "replace".
bool reader_options(const TextOptions &text, int strict, int threads, csv_line_reader_options *options);

// header as read_columns takes it, into options->header, or guessed for
// "infer". False with ValueError for any other str.
bool header_option(PyObject *header, csv_line_reader_options *options);

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
// object read in blocks (then *source holds it); *filename is what its
// errors name. Null with an error set.
csv_line_reader *open_reader(PyObject *input, const csv_line_reader_options &options, std::unique_ptr<Source> *source,
                             Owned *filename);

// Raises the reader's error, or what the Python source raised.
PyObject *raise_from(csv_line_reader *reader, Source *source, PyObject *filename, long long first_line);

// The module's functions.
PyObject *read_columns(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *read_table(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *ranges(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *sniff(PyObject *self, PyObject *args, PyObject *kwargs);

}  // namespace csv_line_python

#endif
