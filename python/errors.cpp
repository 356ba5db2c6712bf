// The reader's errors as Python's exceptions, and the options every
// reading entry takes.
#include "module.h"

#include <cerrno>

namespace csv_line_python {

PyObject *Error;

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

