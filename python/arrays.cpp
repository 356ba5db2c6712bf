// A table's columns of numbers in numpy's terms, as pandas.read_csv makes
// them: over the table's own memory where their layout is numpy's, else
// converted without the GIL where no Python object is made.
#include "tables.h"

#define CSV_LINE_PYTHON_IMPORTS_NUMPY
#include "numpy_api.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace csv_line_python {

bool import_numpy()
{
    import_array1(false);
    return true;
}

namespace {

// numpy's datetime64 of a unit: "D" or "us". New reference, or null.
PyArray_Descr *datetime_descr(const char *unit)
{
    const Owned name(PyUnicode_FromFormat("M8[%s]", unit));
    PyArray_Descr *descr = nullptr;
    if (!name || !PyArray_DescrConverter(name.get(), &descr))
        return nullptr;
    return descr;
}

}  // namespace

int type_of_dtype(PyObject *dtype)
{
    if (dtype == reinterpret_cast<PyObject *>(&PyUnicode_Type))
        return CSV_LINE_TYPE_TEXT;
    PyArray_Descr *descr = nullptr;
    if (!PyArray_DescrConverter(dtype, &descr))
        return -1;
    const Owned held(reinterpret_cast<PyObject *>(descr));
    switch (descr->type_num) {
    case NPY_INT64: return CSV_LINE_TYPE_INT64;
    case NPY_FLOAT64: return CSV_LINE_TYPE_FLOAT64;
    case NPY_BOOL: return CSV_LINE_TYPE_BOOL;
    case NPY_OBJECT:
    case NPY_UNICODE: return CSV_LINE_TYPE_TEXT;
    case NPY_DATETIME:
        for (const char *unit : {"D", "us"}) {
            PyArray_Descr *wanted = datetime_descr(unit);
            if (wanted == nullptr)
                return -1;
            const bool same = PyArray_EquivTypes(descr, wanted);
            Py_DECREF(wanted);
            if (same)
                return unit[0] == 'D' ? CSV_LINE_TYPE_DATE : CSV_LINE_TYPE_TIMESTAMP;
        }
        break;
    default: break;
    }
    PyErr_Format(PyExc_TypeError,
                 "dtype %R: give int64, float64, bool, str, datetime64[D] or datetime64[us]", dtype);
    return -1;
}

namespace {

// An array of `descr` over the table's memory at `values`, the owner its
// base. The table is read for this call alone, and lives as long as its
// arrays: nothing else sees its buffers, so the arrays may be written.
PyObject *over_table(PyArray_Descr *descr, const void *values, npy_intp rows, PyObject *owner)
{
    if (descr == nullptr)
        return nullptr;
    if (values == nullptr || rows == 0)  // a column of no row may have no buffer
        return PyArray_Zeros(1, &rows, descr, 0);
    PyObject *array = PyArray_NewFromDescr(&PyArray_Type, descr, 1, &rows, nullptr, const_cast<void *>(values),
                                           NPY_ARRAY_CARRAY, nullptr);
    if (array == nullptr)
        return nullptr;
    Py_INCREF(owner);
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(array), owner) != 0) {
        Py_DECREF(array);  // numpy let the owner go
        return nullptr;
    }
    return array;
}

template <class T>
T *data_of(PyObject *array)
{
    return static_cast<T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array)));
}

// A new array of rows of `type`; its memory written by `fill` without the GIL.
template <class T, class Fill>
PyObject *filled(PyArray_Descr *descr, npy_intp rows, Fill fill)
{
    if (descr == nullptr)
        return nullptr;
    PyObject *array = PyArray_SimpleNewFromDescr(1, &rows, descr);
    if (array == nullptr)
        return nullptr;
    T *out = data_of<T>(array);
    WithoutGil unlocked;
    fill(out);
    return array;
}

// An int64 column with a missing cell: float64, NaN where missing, as
// pandas has it; made where the integers lie.
PyObject *integers_with_missing(const csv_line_column &column, PyObject *owner)
{
    {
        WithoutGil unlocked;
        int64_t *cells = static_cast<int64_t *>(const_cast<void *>(column.values));
        double *reals = reinterpret_cast<double *>(cells);
        for (int64_t r = 0; r < column.rows; r++) {
            const double value = missing_at(column, r) ? NAN : static_cast<double>(cells[r]);
            std::memcpy(&reals[r], &value, sizeof value);
        }
    }
    return over_table(PyArray_DescrFromType(NPY_FLOAT64), column.values, column.rows, owner);
}

// Missing cells of a column of 8-byte values given `missing` in place.
template <class T>
void mark_missing(const csv_line_column &column, T missing)
{
    if (column.missing == 0)
        return;
    WithoutGil unlocked;
    T *cells = static_cast<T *>(const_cast<void *>(column.values));
    for (int64_t r = 0; r < column.rows; r++)
        if (missing_at(column, r))
            cells[r] = missing;
}

// Booleans: numpy's, a byte a cell from the column's bits; with a missing
// cell, objects True, False and NaN, as pandas has them.
PyObject *booleans(const csv_line_column &column, PyObject *nan)
{
    const npy_intp rows = column.rows;
    const uint8_t *bits = static_cast<const uint8_t *>(column.values);
    if (column.missing == 0)
        return filled<npy_bool>(PyArray_DescrFromType(NPY_BOOL), rows, [&](npy_bool *out) {
            for (npy_intp r = 0; r < rows; r++)
                out[r] = (bits[r >> 3] >> (r & 7)) & 1;
        });
    PyObject *array = PyArray_SimpleNew(1, &rows, NPY_OBJECT);
    if (array == nullptr)
        return nullptr;
    PyObject **out = data_of<PyObject *>(array);
    for (npy_intp r = 0; r < rows; r++) {
        PyObject *cell = missing_at(column, r) ? nan : ((bits[r >> 3] >> (r & 7)) & 1) ? Py_True : Py_False;
        Py_INCREF(cell);
        out[r] = cell;
    }
    return array;
}

// Dates: numpy's datetime64[D] is 8 bytes a day, the table's 4.
PyObject *dates(const csv_line_column &column)
{
    const int32_t *days = static_cast<const int32_t *>(column.values);
    return filled<int64_t>(datetime_descr("D"), column.rows, [&](int64_t *out) {
        for (int64_t r = 0; r < column.rows; r++)
            out[r] = missing_at(column, r) ? NPY_DATETIME_NAT : days[r];
    });
}

}  // namespace

PyObject *missing_column(long long rows)
{
    const npy_intp size = static_cast<npy_intp>(rows);
    return filled<double>(PyArray_DescrFromType(NPY_FLOAT64), size, [&](double *out) {
        std::fill(out, out + size, std::numeric_limits<double>::quiet_NaN());
    });
}

PyObject *column_object(const csv_line_column &column, int asked, const Conversion &how)
{
    switch (column.type) {
    case CSV_LINE_TYPE_INT64:
        if (column.missing > 0)
            return integers_with_missing(column, how.owner);
        return over_table(PyArray_DescrFromType(NPY_INT64), column.values, column.rows, how.owner);
    case CSV_LINE_TYPE_FLOAT64:
        mark_missing(column, std::numeric_limits<double>::quiet_NaN());
        return over_table(PyArray_DescrFromType(NPY_FLOAT64), column.values, column.rows, how.owner);
    case CSV_LINE_TYPE_BOOL: return booleans(column, how.nan);
    case CSV_LINE_TYPE_DATE: return dates(column);
    case CSV_LINE_TYPE_TIMESTAMP:
        mark_missing(column, static_cast<int64_t>(NPY_DATETIME_NAT));
        return over_table(datetime_descr("us"), column.values, column.rows, how.owner);
    case CSV_LINE_TYPE_TEXT:
        if (is_missing_text(column, asked))
            return missing_column(column.rows);
        return PyErr_Format(PyExc_RuntimeError, "csv_line: text made as numbers");
    default: return PyErr_Format(PyExc_RuntimeError, "csv_line: a column of type %d", column.type);
    }
}

}  // namespace csv_line_python
