// The reader's input: a path, or a Python object read in blocks through
// the reader's read function.
#include "module.h"

#include <algorithm>
#include <cerrno>

namespace csv_line_python {

Source::~Source()
{
    Py_XDECREF(read);
    Py_XDECREF(iterator);
    Py_XDECREF(piece);
    for (PyObject *object : raised)
        Py_XDECREF(object);
}

// The next piece as bytes; null at the end (no error set) or on an error.
PyObject *Source::next_piece(size_t size)
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

long long Source::fill(char *buffer, size_t size)
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

long long Source::read_into(void *context, char *buffer, size_t size)
{
    WithGil locked;
    return static_cast<Source *>(context)->fill(buffer, size);
}

namespace {

// What a file object's errors name: its `name` when that is a str (a
// file's path, or a stream's "<stdin>"), taken as it is, so that no
// encoding of it can fail; "<input>" for a source without one.
PyObject *source_filename(PyObject *input)
{
    Owned name(PyObject_GetAttrString(input, "name"));
    if (name && PyUnicode_Check(name.get()))
        return name.release();
    PyErr_Clear();  // a name is for messages alone: one that cannot be had is none
    return PyUnicode_FromString("<input>");
}

}  // namespace

csv_line_reader *open_reader(PyObject *input, const csv_line_reader_options &options, std::unique_ptr<Source> *source,
                             Owned *filename)
{
    if (PyUnicode_Check(input) || PyBytes_Check(input) || PyObject_HasAttrString(input, "__fspath__")) {
        PyObject *converted = nullptr;
        if (!PyUnicode_FSConverter(input, &converted))
            return nullptr;
        const Owned path(converted);
        filename->reset(path_filename(PyBytes_AS_STRING(path.get())));
        if (!*filename)
            return nullptr;
        csv_line_reader *reader;
        {
            WithoutGil unlocked;
            reader = csv_line_reader_open_path(PyBytes_AS_STRING(path.get()), &options);
        }
        return reader != nullptr ? reader : reinterpret_cast<csv_line_reader *>(PyErr_NoMemory());
    }
    auto made = std::make_unique<Source>();
    if (PyObject_HasAttrString(input, "read")) {
        made->read = PyObject_GetAttrString(input, "read");
        if (made->read == nullptr)
            return nullptr;
    } else {
        made->iterator = PyObject_GetIter(input);
        if (made->iterator == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_TypeError))
                PyErr_SetString(PyExc_TypeError, "a path, a file object or an iterable of lines is needed");
            return nullptr;
        }
    }
    filename->reset(source_filename(input));
    if (!*filename)
        return nullptr;
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

PyObject *raise_from(csv_line_reader *reader, Source *source, PyObject *filename, long long first_line)
{
    if (source != nullptr && source->raised[0] != nullptr) {
        PyErr_Restore(source->raised[0], source->raised[1], source->raised[2]);
        source->raised[0] = source->raised[1] = source->raised[2] = nullptr;
        return nullptr;
    }
    return raise_reader_error(*csv_line_reader_error(reader), filename, first_line);
}

}  // namespace csv_line_python
