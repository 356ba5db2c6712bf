// The reader's errors as Python's exceptions, C++ exceptions stopped at
// the module's edge, and the conversions every entry makes of its
// arguments.
#include "module.h"

#include <cerrno>
#include <new>
#include <stdexcept>

namespace csv_line_python {

PyObject *Error;

PyObject *raise_from_cpp_exception() noexcept
{
    try {
        throw;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (const std::length_error &) {  // a size no allocation could take
        return PyErr_NoMemory();
    } catch (const std::exception &error) {
        PyErr_Format(PyExc_RuntimeError, "csv_line: internal error: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "csv_line: internal error");
    }
    return nullptr;
}

// The message's bytes may hold a cell's, cut anywhere: what is not UTF-8
// is shown escaped, so that the error raised is always this one.
PyObject *raise_error(const std::string &message, long long line, int field)
{
    Owned text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace"));
    if (!text)
        return nullptr;
    Owned exception(PyObject_CallFunctionObjArgs(Error, text.get(), nullptr));
    if (!exception)
        return nullptr;
    Owned line_number(PyLong_FromLongLong(line)), field_number(PyLong_FromLong(field));
    if (!line_number || !field_number || PyObject_SetAttrString(exception.get(), "line", line_number.get()) != 0 ||
        PyObject_SetAttrString(exception.get(), "field", field_number.get()) != 0)
        return nullptr;
    PyErr_SetObject(Error, exception.get());
    return nullptr;
}

PyObject *raise_reader_error(const csv_line_error &error, PyObject *filename, long long first_line)
{
    if (error.code == CSV_LINE_ERROR_IO) {
        errno = error.system != 0 ? error.system : EIO;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
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
    return raise_error(message, line, error.field);
}

bool utf8_of(PyObject *str, std::string *out)
{
    Py_ssize_t size;
    const char *bytes = PyUnicode_AsUTF8AndSize(str, &size);
    if (bytes == nullptr)
        return false;
    out->assign(bytes, static_cast<size_t>(size));
    return true;
}

PyObject *path_filename(const char *path)
{
    return PyUnicode_DecodeFSDefault(path);
}

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

}  // namespace csv_line_python
