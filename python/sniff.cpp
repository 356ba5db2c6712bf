// csv_line._sniff: the dialect of a file's first bytes, as the library
// guesses it, handed to the package's Python code as a tuple that it makes
// a csv.Dialect of.
#include "module.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace csv_line_python {

namespace {

// The first `sample` bytes of the file, cut after their last LF when the
// file goes on past them, so that no line cut short is sniffed. -1 with
// errno set when the file cannot be read.
int sniff_prefix(const char *name, size_t sample, csv_line_dialect *dialect)
{
    std::vector<char> bytes(sample + 1);
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t have = 0;
    while (have < bytes.size()) {
        const ssize_t got = read(fd, bytes.data() + have, bytes.size() - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int system = errno;
            close(fd);
            errno = system;
            return -1;
        }
        if (got == 0)
            break;
        have += static_cast<size_t>(got);
    }
    close(fd);
    if (have > sample) {
        have = sample;
        while (have > 0 && bytes[have - 1] != '\n')
            have--;
        if (have == 0)
            have = sample;  // one line longer than the sample: sniffed as it is
    }
    return csv_line_sniff(bytes.data(), have, dialect);
}

PyObject *sniff_file(PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"path", "sample", nullptr};
    PyObject *input, *path;
    long long sample = CSV_LINE_SNIFF_SAMPLE;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|L:sniff", const_cast<char **>(keywords), &input, &sample))
        return nullptr;
    if (sample < 1 || sample > CSV_LINE_SNIFF_SAMPLE) {
        PyErr_Format(PyExc_ValueError, "sample must be from 1 to %d bytes", static_cast<int>(CSV_LINE_SNIFF_SAMPLE));
        return nullptr;
    }
    if (!PyUnicode_FSConverter(input, &path))
        return nullptr;
    const std::string name = PyBytes_AS_STRING(path);
    Py_DECREF(path);

    csv_line_dialect dialect;
    csv_line_error error = {};
    int found, system = 0;
    {
        WithoutGil unlocked;
        if (sample == CSV_LINE_SNIFF_SAMPLE) {
            found = csv_line_sniff_path(name.c_str(), &dialect, &error);
        } else {
            found = sniff_prefix(name.c_str(), static_cast<size_t>(sample), &dialect);
            system = errno;
        }
    }
    if (found < 0) {
        const Owned filename(path_filename(name.c_str()));
        if (!filename)
            return nullptr;
        if (sample == CSV_LINE_SNIFF_SAMPLE)
            return raise_reader_error(error, filename.get(), 1);
        errno = system;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
    }
    const char separator[2] = {dialect.separator, '\0'};
    return Py_BuildValue("(isiiiiidi)", found, separator, dialect.quoted, dialect.header, dialect.line_ending,
                         dialect.encoding, dialect.compressed, dialect.confidence, dialect.records);
}

}  // namespace

PyObject *sniff(PyObject *, PyObject *args, PyObject *kwargs)
{
    return without_cpp_exceptions([&] { return sniff_file(args, kwargs); });
}

}  // namespace csv_line_python
