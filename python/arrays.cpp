// read_columns' arrays: numpy's, made over the cells' memory where they
// are numbers, and the dtypes asked for.
#include "columns.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <cmath>

namespace csv_line_python {

bool import_numpy()
{
    import_array1(false);
    return true;
}

Kind kind_of(PyObject *dtype)
{
    PyArray_Descr *descr = nullptr;
    if (dtype == reinterpret_cast<PyObject *>(&PyUnicode_Type))
        return TEXT;
    if (!PyArray_DescrConverter(dtype, &descr))
        return NONE;
    Kind kind = NONE;
    switch (descr->type_num) {
    case NPY_INT64: kind = INT; break;
    case NPY_FLOAT64: kind = FLOAT; break;
    case NPY_BOOL: kind = BOOL; break;
    case NPY_OBJECT:
    case NPY_UNICODE: kind = TEXT; break;
    default: PyErr_Format(PyExc_TypeError, "dtype %R: give int64, float64, bool or str", dtype);
    }
    Py_DECREF(descr);
    return kind;
}

namespace {

// Frees a column's buffer once its array is gone.
void free_buffer(PyObject *capsule)
{
    delete static_cast<Buffer *>(PyCapsule_GetPointer(capsule, "csv_line.buffer"));
}

}  // namespace

// The array of column c from the parts' cells, of the kind they join to:
// numbers in the first part's buffer, the others' moved after them;
// objects (str, booleans with a missing one) in an array of their own.
PyObject *assemble(std::vector<std::unique_ptr<Part>> &parts, size_t c, Kind kind, bool missing, Py_ssize_t count)
{
    npy_intp rows = count;
    if (kind == INT || kind == FLOAT) {
        Buffer &cells = parts[0]->cells[c];
        if (!cells.reserve(static_cast<size_t>(std::max<npy_intp>(rows, 1)) * sizeof(int64_t)))
            return PyErr_NoMemory();
        size_t at = 0;
        for (const auto &part : parts) {
            if (part != parts[0] && part->rows > 0)
                std::memcpy(cells.cells() + at, part->cells[c].cells(), part->rows * sizeof(int64_t));
            for (const Span &span : part->spans[c])
                if (kind == FLOAT && span.kind == INT)
                    to_floats(cells.cells() + at + span.first, cells.cells() + at + span.first + span.rows);
            at += part->rows;
        }
        auto owned = std::make_unique<Buffer>();
        std::swap(owned->data, cells.data);
        std::swap(owned->size, cells.size);
        Owned array(PyArray_SimpleNewFromData(1, &rows, kind == INT ? NPY_INT64 : NPY_FLOAT64, owned->data));
        if (!array)
            return nullptr;
        PyObject *capsule = PyCapsule_New(owned.get(), "csv_line.buffer", free_buffer);
        if (capsule == nullptr)
            return nullptr;
        owned.release();  // the capsule's now, and the array's once its base
        if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(array.get()), capsule) != 0)
            return nullptr;  // numpy let the capsule go, and with it the buffer
        return array.release();
    }
    const bool objects = kind == TEXT || missing;
    PyObject *array = PyArray_SimpleNew(1, &rows, objects ? NPY_OBJECT : NPY_BOOL);
    if (array == nullptr)
        return nullptr;
    char *data = static_cast<char *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array)));
    npy_intp at = 0;
    for (const auto &part : parts) {
        int64_t *cells = part->cells[c].cells();
        for (const Span &span : part->spans[c])
            for (size_t r = span.first; r < span.first + span.rows; r++, at++) {
                if (!objects) {
                    reinterpret_cast<npy_bool *>(data)[at] = bits_double(cells[r]) != 0;
                    continue;
                }
                PyObject *object;
                if (span.kind == TEXT) {
                    object = reinterpret_cast<PyObject *>(cells[r]);  // handed over: the part holds it no more
                    cells[r] = 0;
                } else {
                    const double value = bits_double(cells[r]);
                    object = std::isnan(value) ? PyFloat_FromDouble(NAN) : PyBool_FromLong(value != 0);
                    if (object == nullptr) {
                        Py_DECREF(array);  // its slots not written yet are null, which numpy lets go as none
                        return nullptr;
                    }
                }
                reinterpret_cast<PyObject **>(data)[at] = object;
            }
    }
    return array;
}

}  // namespace csv_line_python
