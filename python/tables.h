// What read_columns and read_table share: their arguments, the file
// mapped, the columns asked for as the table reader's options, the table
// read and its errors raised as Python's; and the conversion of a table's
// column into numpy's terms. Not installed.
#ifndef CSV_LINE_PYTHON_TABLES_H
#define CSV_LINE_PYTHON_TABLES_H

#include "module.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace csv_line_python {

// The arguments of read_columns and read_table, as given.
struct Arguments {
    PyObject *input = nullptr, *usecols = Py_None, *dtypes = Py_None, *names = Py_None, *byte_range = Py_None;
    PyObject *header = Py_True;  // True, False or "infer"
    TextOptions options;
    const char *text = "str";
    int threads = 1, strict = 1, dates = 0;
    long long first_line = 1;
};

// Parses them for `entry` ("read_columns" takes text=, "read_table" does
// not). False with an error set.
bool parse_arguments(const char *entry, PyObject *args, PyObject *kwargs, Arguments *given);

// A file's bytes, mapped, and the range of them asked for.
struct Input {
    std::string name;
    Owned filename;  // the name its errors give
    int fd = -1;
    void *base = nullptr;
    size_t size = 0;
    long long from = 0, to = 0;

    Input() = default;
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input();

    const char *bytes() const { return base != nullptr ? static_cast<const char *>(base) : ""; }
};

// The columns the result holds, in its order.
struct Chosen {
    std::vector<std::string> names;  // each one's name: the key it has in the result
    std::vector<int> fields;         // its field, from 0
    std::vector<int> types;          // the csv_line_type asked for it
    std::vector<int> columns;        // its column in the table, or -1: a name past the input's fields, no cell
};

// A table read, closed when it goes.
struct TableRead {
    csv_line_table *table = nullptr;
    Chosen chosen;

    TableRead() = default;
    TableRead(const TableRead &) = delete;
    TableRead &operator=(const TableRead &) = delete;
    ~TableRead() { csv_line_table_close(table); }
};

// Maps the file, finds the columns asked for and reads them into a table
// without the GIL. False with an error set: the table's own error is
// raised as the reader's are, its lines counted from first_line.
bool read_asked(const Arguments &given, TableRead *read);

// How the columns become Python's: `owner` holds the table, and an array
// made over its memory has it as base.
struct Conversion {
    PyObject *owner = nullptr;
    PyObject *nan = nullptr;         // the NaN of every missing object cell
    bool categories = false;         // text as pandas.Categorical
    PyObject *from_codes = nullptr;  // pandas.Categorical.from_codes, when categories
};

// Cell r of a column is missing.
inline bool missing_at(const csv_line_column &column, int64_t r)
{
    return column.validity != nullptr && !((column.validity[r >> 3] >> (r & 7)) & 1);
}

// A text column of no cell present, not asked to be text: pandas reads it
// as float64 NaN.
inline bool is_missing_text(const csv_line_column &column, int asked)
{
    return column.type == CSV_LINE_TYPE_TEXT && column.missing == column.rows && asked != CSV_LINE_TYPE_TEXT;
}

// A column of numbers (or of no cell) as a numpy array. New reference, or
// null with an error set.
PyObject *column_object(const csv_line_column &column, int asked, const Conversion &how);

// A column of no cell: float64 NaN, as pandas reads one.
PyObject *missing_column(long long rows);

// A text column's conversion, in two steps: what needs no Python object
// (whether it is ASCII, its distinct values) found without the GIL, on any
// thread; then its objects made with the GIL.
class TextWork {
public:
    TextWork(const csv_line_column &column, bool categories);
    TextWork(TextWork &&) noexcept;
    ~TextWork();

    void prepare() noexcept;

    // An object array of str (NaN where missing), or a pandas.Categorical.
    // New reference, or null with an error set.
    PyObject *make(const Conversion &how);

private:
    struct Found;
    std::unique_ptr<Found> found_;
};

// numpy's C API for this module, taken once when it is imported. False
// with an error set.
bool import_numpy();

// The type a dtype asks for (str, a numpy dtype or its name): a
// csv_line_type, or -1 with an error set when it is none of int64,
// float64, bool, str, datetime64[D] and datetime64[us].
int type_of_dtype(PyObject *dtype);

extern PyType_Spec table_definition;   // csv_line.Table
extern PyTypeObject *table_type;  // made from it when the module is imported

}  // namespace csv_line_python

#endif
