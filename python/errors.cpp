// The reader's errors as Python's exceptions, C++ exceptions stopped at
// the module's edge, and the conversions every entry makes of its
// arguments.
#include "module.h"

#include <cerrno>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace csv_line_python {

PyObject *Error;
PyObject *EncodingError;

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

// Raises `exception`, made of class `kind` (null: its making failed),
// with .line and .field.
PyObject *raise_with_place(PyObject *kind, PyObject *exception, long long line, int field)
{
    if (exception == nullptr)
        return nullptr;
    Owned line_number(PyLong_FromLongLong(line)), field_number(PyLong_FromLong(field));
    if (!line_number || !field_number || PyObject_SetAttrString(exception, "line", line_number.get()) != 0 ||
        PyObject_SetAttrString(exception, "field", field_number.get()) != 0)
        return nullptr;
    PyErr_SetObject(kind, exception);
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
    return raise_with_place(Error, exception.get(), line, field);
}

// Text that is not UTF-8, as the library says it ("... (byte 0xE9)"): a
// UnicodeDecodeError of that byte whose reason is the library's message,
// with its line and field, and a csv_line.Error too.
PyObject *raise_encoding_error(const std::string &message, long long line, int field)
{
    unsigned byte = 0;
    const size_t at = message.rfind("(byte 0x");
    if (at != std::string::npos)
        byte = static_cast<unsigned>(std::strtoul(message.c_str() + at + 8, nullptr, 16)) & 0xFF;
    const char bad = static_cast<char>(byte);
    Owned exception(PyObject_CallFunction(EncodingError, "sy#nns", "utf-8", &bad, static_cast<Py_ssize_t>(1),
                                          static_cast<Py_ssize_t>(0), static_cast<Py_ssize_t>(1), message.c_str()));
    return raise_with_place(EncodingError, exception.get(), line, field);
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
    if (error.code == CSV_LINE_ERROR_ENCODING)
        return raise_encoding_error(message, line, error.field);
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

namespace {

// A codec's name as Python's codecs module knows it (its aliases and
// spellings made one), into *name. False with the LookupError of an
// unknown one raised.
bool codec_name(PyObject *given, std::string *name)
{
    const Owned codecs(PyImport_ImportModule("codecs"));
    if (!codecs)
        return false;
    const Owned info(PyObject_CallMethod(codecs.get(), "lookup", "O", given));
    if (!info)
        return false;
    const Owned said(PyObject_GetAttrString(info.get(), "name"));
    return said && PyUnicode_Check(said.get()) && utf8_of(said.get(), name);
}

struct Named {
    const char *name;
    int value;
};

// The codecs the library reads, by the names Python's codecs module gives
// them. "utf-16" is read by its byte-order mark, as Python reads it.
const Named encodings[] = {{"utf-8", CSV_LINE_ENCODING_UTF8},          {"utf-8-sig", CSV_LINE_ENCODING_UTF8},
                           {"utf-16", CSV_LINE_ENCODING_AUTO},         {"utf-16-le", CSV_LINE_ENCODING_UTF16LE},
                           {"utf-16-be", CSV_LINE_ENCODING_UTF16BE},   {"iso8859-1", CSV_LINE_ENCODING_LATIN1},
                           {"latin-1", CSV_LINE_ENCODING_LATIN1},      {"cp1252", CSV_LINE_ENCODING_CP1252}};

bool encoding_option(PyObject *encoding, csv_line_reader_options *options)
{
    if (encoding == Py_None)
        return true;
    if (!PyUnicode_Check(encoding)) {
        PyErr_Format(PyExc_TypeError, "encoding must be a str or None, not %.100s", Py_TYPE(encoding)->tp_name);
        return false;
    }
    std::string name;
    if (!codec_name(encoding, &name))
        return false;
    for (const Named &known : encodings)
        if (name == known.name) {
            options->encoding = known.value;
            return true;
        }
    PyErr_Format(PyExc_ValueError,
                 "encoding %R: csv_line reads utf-8, utf-8-sig, utf-16, utf-16-le, utf-16-be, latin-1 and cp1252",
                 encoding);
    return false;
}

// Both are the library's: "strict" (as None) raises csv_line.EncodingError,
// a UnicodeDecodeError naming the line, field and column of the first bad
// byte; "replace" mends the text as Python's "replace" does.
bool errors_option(PyObject *errors, csv_line_reader_options *options)
{
    options->invalid_utf8 = CSV_LINE_UTF8_STRICT;
    if (errors == Py_None)
        return true;
    if (!PyUnicode_Check(errors)) {
        PyErr_Format(PyExc_TypeError, "errors must be a str or None, not %.100s", Py_TYPE(errors)->tp_name);
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(errors, "strict") == 0)
        return true;
    if (PyUnicode_CompareWithASCIIString(errors, "replace") == 0) {
        options->invalid_utf8 = CSV_LINE_UTF8_REPLACE;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "errors must be 'strict' or 'replace', not %R", errors);
    return false;
}

}  // namespace

bool reader_options(const TextOptions &text, int strict, int threads, csv_line_reader_options *options)
{
    *options = csv_line_reader_options{};
    if (text.delimiter == Py_None) {
        options->guess |= CSV_LINE_GUESS_SEPARATOR;
    } else if (text.delimiter != nullptr) {
        if (!PyUnicode_Check(text.delimiter) || PyUnicode_GetLength(text.delimiter) != 1 ||
            PyUnicode_READ_CHAR(text.delimiter, 0) > 127) {
            PyErr_SetString(PyExc_TypeError, "\"delimiter\" must be a 1-character string (ASCII), or None to guess it");
            return false;
        }
        options->separator = static_cast<char>(PyUnicode_READ_CHAR(text.delimiter, 0));
    } else {
        options->separator = ',';
    }
    if (threads < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be 1 or more");
        return false;
    }
    options->threads = threads;
    options->lenient = strict ? 0 : 1;
    return encoding_option(text.encoding, options) && errors_option(text.errors, options);
}

bool header_option(PyObject *header, csv_line_reader_options *options)
{
    if (PyUnicode_Check(header)) {
        if (PyUnicode_CompareWithASCIIString(header, "infer") != 0) {
            PyErr_Format(PyExc_ValueError, "header must be True, False or 'infer', not %R", header);
            return false;
        }
        options->guess |= CSV_LINE_GUESS_HEADER;
        options->header = 0;
        return true;
    }
    const int truth = PyObject_IsTrue(header);
    if (truth < 0)
        return false;
    options->header = truth;
    return true;
}

}  // namespace csv_line_python
