// csv_line.ranges: byte ranges of a file that begin at record starts.
#include "module.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace csv_line_python {

namespace {

PyObject *file_ranges(PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"path", "n", "lines", nullptr};
    PyObject *input, *path;
    long long n;
    int with_lines = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OL|$p:ranges", const_cast<char **>(keywords), &input, &n,
                                     &with_lines))
        return nullptr;
    if (n < 1) {
        PyErr_SetString(PyExc_ValueError, "n must be 1 or more");
        return nullptr;
    }
    if (n > PY_SSIZE_T_MAX / static_cast<long long>(sizeof(PyObject *)))  // longer than any list
        return PyErr_NoMemory();
    if (!PyUnicode_FSConverter(input, &path))
        return nullptr;
    const std::string name = PyBytes_AS_STRING(path);
    Py_DECREF(path);
    std::vector<long long> starts(static_cast<size_t>(n) + 1), lines(starts.size());
    int status = -1, system = 0;
    {
        WithoutGil unlocked;
        const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            status = csv_line_ranges_find_fd(fd, n, starts.data(), lines.data());
            system = errno;
            close(fd);
        } else {
            system = errno;
        }
    }
    if (status != 0) {
        errno = system;
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, name.c_str());
    }
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(n));
    for (size_t k = 0; list != nullptr && k < static_cast<size_t>(n); k++) {
        PyObject *item = with_lines ? Py_BuildValue("(LLL)", starts[k], starts[k + 1], lines[k])
                                    : Py_BuildValue("(LL)", starts[k], starts[k + 1]);
        if (item == nullptr) {
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), item);
    }
    return list;
}

}  // namespace

PyObject *ranges(PyObject *, PyObject *args, PyObject *kwargs)
{
    return without_cpp_exceptions([&] { return file_ranges(args, kwargs); });
}

}  // namespace csv_line_python
