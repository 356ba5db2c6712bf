// csv_line._core: the library's reader seen from Python. Rows become lists
// of str, columns become numpy arrays; everything else (finding records,
// quotes, threads) is the library's. Here: the module and its table.
#include "tables.h"

namespace csv_line_python {
namespace {

PyMethodDef methods[] = {
    {"read_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_columns)),
     METH_VARARGS | METH_KEYWORDS,
     "read_columns(path, usecols=None, dtypes=None, *, threads=1, delimiter=',', strict=True, header=True,\n"
     "             names=None, byte_range=None, first_line=1, dates=False, text='str', encoding=None,\n"
     "             errors=None)\n--\n\n"
     "The file's columns as a dict of numpy arrays: int64, float64 or bool where every cell is one\n"
     "(empty cells NaN, integers with one then float64), with dates=True datetime64 for ISO dates\n"
     "and timestamps, else str objects (text='category': pandas.Categorical). dtypes, one or by\n"
     "name, asks for a type; a cell that is not of it raises csv_line.Error with its line and column.\n"
     "byte_range reads only the records of (start, end), its lines counted from first_line.\n"
     "delimiter=None and header='infer' are guessed from the first 64 KiB; encoding names the\n"
     "file's codec, errors ('strict' or 'replace') what text not UTF-8 does."},
    {"read_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_table)),
     METH_VARARGS | METH_KEYWORDS,
     "read_table(path, usecols=None, dtypes=None, *, threads=1, delimiter=',', strict=True, header=True,\n"
     "           names=None, byte_range=None, first_line=1, dates=False, encoding=None, errors=None)\n--\n\n"
     "The file's columns, typed as read_columns types them, as a csv_line.Table in Arrow's layout,\n"
     "for any Arrow consumer (its __arrow_c_stream__) without a copy."},
    {"ranges", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ranges)), METH_VARARGS | METH_KEYWORDS,
     "ranges(path, n, *, lines=False)\n--\n\n"
     "n (start, end) byte ranges that cover the file, each beginning at a record start: range k at\n"
     "the first at or after byte size * k / n. With lines, (start, end, first line) each."},
    {"_sniff", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sniff)), METH_VARARGS | METH_KEYWORDS,
     "_sniff(path, sample=65536)\n--\n\n"
     "The dialect the library guesses from the file's first bytes, as (found, separator, quoted,\n"
     "header, line_ending, encoding, compressed, confidence, records); csv_line.sniff makes it a\n"
     "csv.Dialect."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "csv_line._core", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace csv_line_python

using namespace csv_line_python;

PyMODINIT_FUNC PyInit__core()
{
    if (!import_numpy())
        return nullptr;
    const Owned csv(PyImport_ImportModule("csv"));
    if (!csv)
        return nullptr;
    const Owned base(PyObject_GetAttrString(csv.get(), "Error"));
    if (!base)
        return nullptr;
    Owned made(PyModule_Create(&module)), reader(PyType_FromSpec(&reader_spec));
    Owned table(PyType_FromSpec(&table_definition));
    if (!made || !reader || !table)
        return nullptr;
    if (Error == nullptr) {  // the module's own, kept for as long as the process
        Error = PyErr_NewExceptionWithDoc(
            "csv_line.Error",
            "A record that is not well formed, or a cell that is not of its column's type; "
            ".line is its line (from 1), .field its field (from 1, 0 for none).",
            base.get(), nullptr);
        if (Error == nullptr)
            return nullptr;
    }
    Py_INCREF(Error);
    if (PyModule_AddObject(made.get(), "Error", Error) < 0) {
        Py_DECREF(Error);
        return nullptr;
    }
    if (EncodingError == nullptr) {  // kept as Error is
        Owned bases(PyTuple_Pack(2, Error, PyExc_UnicodeDecodeError));
        if (!bases)
            return nullptr;
        EncodingError = PyErr_NewExceptionWithDoc(
            "csv_line.EncodingError",
            "Text that is not UTF-8: a UnicodeDecodeError whose reason names the line, field and column of its "
            "first bad byte, and a csv_line.Error with .line and .field.",
            bases.get(), nullptr);
        if (EncodingError == nullptr)
            return nullptr;
    }
    Py_INCREF(EncodingError);
    if (PyModule_AddObject(made.get(), "EncodingError", EncodingError) < 0) {
        Py_DECREF(EncodingError);
        return nullptr;
    }
    if (PyModule_AddObject(made.get(), "reader", reader.get()) < 0)
        return nullptr;
    reader.release();  // the module's now
    if (table_type == nullptr) {  // kept for read_table, as long as the process
        Py_INCREF(table.get());
        table_type = reinterpret_cast<PyTypeObject *>(table.get());
    }
    if (PyModule_AddObject(made.get(), "Table", table.get()) < 0)
        return nullptr;
    table.release();
    return made.release();
}
