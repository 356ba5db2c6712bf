// csv_line.read_table and csv_line.Table: a table the library read, handed
// to any Arrow consumer through Arrow's PyCapsule interface without a
// copy, its columns named as read_columns names them.
#include "tables.h"

#include <cerrno>
#include <cstdlib>
#include <new>

namespace csv_line_python {

PyTypeObject *table_type;

namespace {

struct TableObject {
    PyObject_HEAD csv_line_table *table;
    PyObject *names;  // a tuple of str, one a column
};

// A schema whose columns are named as the Table names them: the library
// names them by the header or by number from 1, and a consumer may keep a
// column's schema and let go of the rest, so each column's owns its
// strings. The callbacks are called from any code: nothing here throws.

char *copy_of(const char *text, size_t length) noexcept
{
    char *copy = static_cast<char *>(std::malloc(length + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text, length);
        copy[length] = '\0';
    }
    return copy;
}

struct ColumnHeld {
    char *format, *name;
};

void release_column(ArrowSchema *schema) noexcept
{
    ColumnHeld *held = static_cast<ColumnHeld *>(schema->private_data);
    std::free(held->format);
    std::free(held->name);
    delete held;
    schema->release = nullptr;
}

struct StructHeld {
    char *format = nullptr, *name = nullptr;
    ArrowSchema *block = nullptr;       // the columns' schemas
    ArrowSchema **children = nullptr;   // pointing into it
    int64_t count = 0;
};

void release_struct(ArrowSchema *schema) noexcept
{
    StructHeld *held = static_cast<StructHeld *>(schema->private_data);
    for (int64_t k = 0; k < held->count; k++)
        if (held->block[k].release != nullptr)  // not moved out by the consumer
            held->block[k].release(&held->block[k]);
    std::free(held->block);
    std::free(held->children);
    std::free(held->format);
    std::free(held->name);
    delete held;
    schema->release = nullptr;
}

// `theirs`, a struct of flat columns, copied into *out with its columns
// named `names`. 0, or an errno value with nothing left in *out to release.
// (Arrow's names are C strings: a name ends at a NUL it holds.)
int renamed(const ArrowSchema &theirs, const std::vector<std::string> &names, ArrowSchema *out) noexcept
{
    if (theirs.n_children != static_cast<int64_t>(names.size()))
        return EINVAL;
    for (int64_t k = 0; k < theirs.n_children; k++)
        if (theirs.children[k]->n_children != 0 || theirs.children[k]->dictionary != nullptr ||
            theirs.children[k]->metadata != nullptr)
            return EINVAL;
    StructHeld *held = new (std::nothrow) StructHeld;
    if (held == nullptr)
        return ENOMEM;
    const size_t count = names.size();
    held->format = copy_of(theirs.format, std::strlen(theirs.format));
    held->name = copy_of("", 0);
    held->block = static_cast<ArrowSchema *>(std::calloc(count + 1, sizeof(ArrowSchema)));
    held->children = static_cast<ArrowSchema **>(std::calloc(count + 1, sizeof(ArrowSchema *)));
    held->count = static_cast<int64_t>(count);
    *out = ArrowSchema{held->format, held->name, nullptr, theirs.flags, held->count, held->children, nullptr,
                       release_struct, held};
    bool made = held->format != nullptr && held->name != nullptr && held->block != nullptr && held->children != nullptr;
    for (size_t k = 0; made && k < count; k++) {
        const ArrowSchema &column = *theirs.children[k];
        ColumnHeld *strings = new (std::nothrow) ColumnHeld{copy_of(column.format, std::strlen(column.format)),
                                                            copy_of(names[k].data(), std::strlen(names[k].c_str()))};
        made = strings != nullptr && strings->format != nullptr && strings->name != nullptr;
        if (strings != nullptr && !made) {
            std::free(strings->format);
            std::free(strings->name);
            delete strings;
        }
        if (made) {
            held->block[k] = ArrowSchema{strings->format, strings->name, nullptr, column.flags, 0, nullptr, nullptr,
                                         release_column, strings};
            held->children[k] = &held->block[k];
        }
    }
    if (!made) {
        if (held->block == nullptr)
            held->count = 0;
        release_struct(out);  // the columns' made so far with it
        return ENOMEM;
    }
    return 0;
}

// The library's stream, its schema named as the Table names its columns.
struct Renaming {
    ArrowArrayStream inner{};
    std::vector<std::string> names;
};

int renaming_schema(ArrowArrayStream *stream, ArrowSchema *out) noexcept
{
    Renaming *renaming = static_cast<Renaming *>(stream->private_data);
    ArrowSchema theirs;
    const int said = renaming->inner.get_schema(&renaming->inner, &theirs);
    if (said != 0)
        return said;
    const int made = renamed(theirs, renaming->names, out);
    theirs.release(&theirs);
    return made;
}

int renaming_next(ArrowArrayStream *stream, ArrowArray *out) noexcept
{
    Renaming *renaming = static_cast<Renaming *>(stream->private_data);
    return renaming->inner.get_next(&renaming->inner, out);
}

const char *renaming_error(ArrowArrayStream *stream) noexcept
{
    Renaming *renaming = static_cast<Renaming *>(stream->private_data);
    return renaming->inner.get_last_error(&renaming->inner);
}

void renaming_release(ArrowArrayStream *stream) noexcept
{
    Renaming *renaming = static_cast<Renaming *>(stream->private_data);
    if (renaming->inner.release != nullptr)
        renaming->inner.release(&renaming->inner);
    delete renaming;
    stream->release = nullptr;
}

// The table as a stream into *stream. False with an error set.
bool export_stream(TableObject *self, ArrowArrayStream *stream)
{
    auto renaming = std::make_unique<Renaming>();
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(self->names); k++) {
        renaming->names.emplace_back();
        if (!utf8_of(PyTuple_GET_ITEM(self->names, k), &renaming->names.back()))
            return false;
    }
    const int said = csv_line_table_export_stream(self->table, &renaming->inner);
    if (said != 0) {
        if (said == ENOMEM)
            PyErr_NoMemory();
        else
            PyErr_Format(PyExc_RuntimeError, "csv_line: the table could not be exported (%s)", std::strerror(said));
        return false;
    }
    *stream = ArrowArrayStream{renaming_schema, renaming_next, renaming_error, renaming_release, renaming.release()};
    return true;
}

// The capsules' destructors, as Arrow's PyCapsule interface has them: the
// struct released unless a consumer took what it holds, then freed.
void free_stream_capsule(PyObject *capsule)
{
    auto *stream = static_cast<ArrowArrayStream *>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (stream == nullptr) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    if (stream->release != nullptr)
        stream->release(stream);
    std::free(stream);
}

void free_schema_capsule(PyObject *capsule)
{
    auto *schema = static_cast<ArrowSchema *>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    if (schema->release != nullptr)
        schema->release(schema);
    std::free(schema);
}

PyObject *arrow_stream(TableObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"requested_schema", nullptr};
    PyObject *requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__", const_cast<char **>(keywords),
                                     &requested))
        return nullptr;
    if (requested != Py_None) {
        PyErr_SetString(PyExc_NotImplementedError,
                        "csv_line.Table: its columns are exported as read: requested_schema must be None");
        return nullptr;
    }
    auto *stream = static_cast<ArrowArrayStream *>(std::calloc(1, sizeof(ArrowArrayStream)));
    if (stream == nullptr)
        return PyErr_NoMemory();
    if (!export_stream(self, stream)) {
        std::free(stream);
        return nullptr;
    }
    PyObject *capsule = PyCapsule_New(stream, "arrow_array_stream", free_stream_capsule);
    if (capsule == nullptr) {
        stream->release(stream);
        std::free(stream);
    }
    return capsule;
}

PyObject *arrow_schema(TableObject *self, PyObject *)
{
    ArrowArrayStream stream;
    if (!export_stream(self, &stream))
        return nullptr;
    auto *schema = static_cast<ArrowSchema *>(std::calloc(1, sizeof(ArrowSchema)));
    const int said = schema != nullptr ? stream.get_schema(&stream, schema) : ENOMEM;
    stream.release(&stream);
    if (said != 0) {
        std::free(schema);
        if (said == ENOMEM)
            return PyErr_NoMemory();
        return PyErr_Format(PyExc_RuntimeError, "csv_line: the table's schema could not be exported (%s)",
                            std::strerror(said));
    }
    PyObject *capsule = PyCapsule_New(schema, "arrow_schema", free_schema_capsule);
    if (capsule == nullptr) {
        schema->release(schema);
        std::free(schema);
    }
    return capsule;
}

PyObject *Table_arrow_c_stream(PyObject *self, PyObject *args, PyObject *kwargs)
{
    return without_cpp_exceptions([&] { return arrow_stream(reinterpret_cast<TableObject *>(self), args, kwargs); });
}

PyObject *Table_arrow_c_schema(PyObject *self, PyObject *args)
{
    return without_cpp_exceptions([&] { return arrow_schema(reinterpret_cast<TableObject *>(self), args); });
}

PyObject *Table_num_rows(PyObject *self, void *)
{
    return PyLong_FromLongLong(csv_line_table_rows(reinterpret_cast<TableObject *>(self)->table));
}

PyObject *Table_num_columns(PyObject *self, void *)
{
    return PyLong_FromSsize_t(PyTuple_GET_SIZE(reinterpret_cast<TableObject *>(self)->names));
}

PyObject *Table_column_names(PyObject *self, void *)
{
    return PySequence_List(reinterpret_cast<TableObject *>(self)->names);
}

Py_ssize_t Table_length(PyObject *self)
{
    return static_cast<Py_ssize_t>(csv_line_table_rows(reinterpret_cast<TableObject *>(self)->table));
}

PyObject *Table_repr(PyObject *self)
{
    const TableObject *table = reinterpret_cast<TableObject *>(self);
    return PyUnicode_FromFormat("<csv_line.Table of %lld rows: %R>", csv_line_table_rows(table->table), table->names);
}

PyObject *Table_new(PyTypeObject *, PyObject *, PyObject *)
{
    PyErr_SetString(PyExc_TypeError, "a csv_line.Table is made by csv_line.read_table");
    return nullptr;
}

void Table_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    TableObject *table = reinterpret_cast<TableObject *>(self);
    csv_line_table_close(table->table);  // what a consumer still holds keeps its memory
    Py_XDECREF(table->names);
    type->tp_free(self);
    Py_DECREF(type);  // a heap type's instances hold it
}

PyMethodDef table_methods[] = {
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Table_arrow_c_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
     "A PyCapsule 'arrow_array_stream' of one struct array, a child a column, over the table's memory."},
    {"__arrow_c_schema__", Table_arrow_c_schema, METH_NOARGS,
     "__arrow_c_schema__($self, /)\n--\n\nA PyCapsule 'arrow_schema': a struct, a child a column."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef table_getset[] = {
    {"num_rows", Table_num_rows, nullptr, "the rows: records that are not blank lines", nullptr},
    {"num_columns", Table_num_columns, nullptr, "the columns", nullptr},
    {"column_names", Table_column_names, nullptr, "the columns' names, as read_columns names them", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char *>("A table read by csv_line.read_table, in Arrow's layout; its columns go to any\n"
                                   "Arrow consumer through __arrow_c_stream__, without a copy.")},
    {Py_tp_new, reinterpret_cast<void *>(Table_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(Table_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(Table_repr)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getset},
    {Py_mp_length, reinterpret_cast<void *>(Table_length)},
    {0, nullptr}};

PyObject *read_file_table(PyObject *args, PyObject *kwargs)
{
    Arguments given;
    if (!parse_arguments("read_table", args, kwargs, &given))
        return nullptr;
    TableRead read;
    if (!read_asked(given, &read))
        return nullptr;
    const Chosen &chosen = read.chosen;
    Owned names(PyTuple_New(static_cast<Py_ssize_t>(chosen.names.size())));
    if (!names)
        return nullptr;
    for (size_t c = 0; c < chosen.names.size(); c++) {
        PyObject *name = PyUnicode_DecodeUTF8(chosen.names[c].data(), static_cast<Py_ssize_t>(chosen.names[c].size()),
                                              "strict");
        if (name == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(c), name);
        // A column past the input's fields has no type an Arrow column could take.
        if (chosen.columns[c] < 0)
            return PyErr_Format(PyExc_ValueError, "read_table: column %R names no field of the input", name);
    }
    auto *self = reinterpret_cast<TableObject *>(table_type->tp_alloc(table_type, 0));
    if (self == nullptr)
        return nullptr;
    self->table = read.table;
    read.table = nullptr;
    self->names = names.release();
    return reinterpret_cast<PyObject *>(self);
}

}  // namespace

PyType_Spec table_definition = {"csv_line.Table", sizeof(TableObject), 0, Py_TPFLAGS_DEFAULT, table_slots};

PyObject *read_table(PyObject *, PyObject *args, PyObject *kwargs)
{
    return without_cpp_exceptions([&] { return read_file_table(args, kwargs); });
}

}  // namespace csv_line_python
