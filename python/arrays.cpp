// read_columns' arrays: numpy's, made over the cells' memory where they
// are numbers, and the dtypes asked for.
#include "columns.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <cmath>
#include <memory>

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

// The array of column c from the cells put together, of the kind they
// join to: numbers where they lie, the integers of a float column made
// doubles there; objects (str, booleans with a missing one) in an array of
// their own.
PyObject *assemble(Whole &whole, size_t c, Kind kind, bool missing)
{
    npy_intp rows = static_cast<npy_intp>(whole.rows);
    Buffer &cells = whole.cells[c];
    if (kind == INT || kind == FLOAT) {
        if (!cells.reserve(static_cast<size_t>(std::max<npy_intp>(rows, 1)) * sizeof(int64_t)))
            return PyErr_NoMemory();
        if (kind == FLOAT)
            for (size_t k = 0; k < whole.pieces.size; k++)
                if (whole.span(k, c).kind == INT)
                    to_floats(cells.cells() + whole.pieces.at[k].first,
                              cells.cells() + whole.pieces.at[k].first + whole.pieces.at[k].rows);
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
    for (size_t k = 0; k < whole.pieces.size; k++) {
        Span &span = whole.span(k, c);
        const Piece &piece = whole.pieces.at[k];
        for (size_t r = piece.first; r < piece.first + piece.rows; r++) {
            const int64_t cell = cells.cells()[r];
            if (!objects) {
                reinterpret_cast<npy_bool *>(data)[r] = bits_double(cell) != 0;
                continue;
            }
            PyObject *object;
            if (span.kind == TEXT) {
                object = reinterpret_cast<PyObject *>(cell);
            } else {
                const double value = bits_double(cell);
                object = std::isnan(value) ? PyFloat_FromDouble(NAN) : PyBool_FromLong(value != 0);
                if (object == nullptr) {
                    Py_DECREF(array);  // its slots not written yet are null, which numpy lets go as none
                    return nullptr;
                }
            }
            reinterpret_cast<PyObject **>(data)[r] = object;
        }
        span.owned = false;  // handed over: the array holds its str now
    }
    return array;
}

}  // namespace csv_line_python
