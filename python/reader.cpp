// csv_line.reader: rows as lists of str, as csv.reader gives them.
#include "module.h"

#include <structmember.h>

#include <algorithm>

namespace csv_line_python {

namespace {

struct ReaderObject {
    PyObject_HEAD csv_line_reader *reader;
    Source *source;
    PyObject *filename;  // what its errors name
    bool busy;           // in the library: a second call (from the source's read, or another thread) must wait
    csv_line_batch batch;
    int next_record;
    bool ended;
    long long line_num;
    long long lone_crs;  // CRs alone inside quotes so far
    bool ascii;          // the batch's bytes are all ASCII
    bool crs;            // the batch holds a CR alone, not before an LF
};

// What the batch's bytes hold, found once for all its fields.
void survey(ReaderObject *self)
{
    const csv_line_batch &batch = self->batch;
    const csv_line_record &last = batch.records[batch.count - 1];
    const csv_line_field &first_field = batch.fields[batch.records[0].field];
    const csv_line_field &last_field = batch.fields[last.field + last.count - 1];
    const char *begin = batch.text + first_field.start, *end = batch.text + last_field.start + last_field.length;
    self->ascii = is_ascii(begin, static_cast<size_t>(end - begin));
    self->crs = false;
    for (const char *at = begin; !self->crs && (at = static_cast<const char *>(std::memchr(at, '\r', size_t(end - at))));
         at++)
        self->crs = at + 1 < end && at[1] != '\n';
}

void Reader_dealloc(ReaderObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    csv_line_reader_close(self->reader);
    delete self->source;
    Py_XDECREF(self->filename);
    type->tp_free(reinterpret_cast<PyObject *>(self));
    Py_DECREF(type);  // a heap type's instances hold it
}

PyObject *make_reader(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"source", "delimiter", "strict", "threads", "encoding", "errors", nullptr};
    PyObject *input;
    TextOptions text;
    int strict = 1, threads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OpiOO:reader", const_cast<char **>(keywords), &input,
                                     &text.delimiter, &strict, &threads, &text.encoding, &text.errors))
        return nullptr;
    csv_line_reader_options options;
    if (!reader_options(text, strict, threads, &options))
        return nullptr;
    Owned filename;
    std::unique_ptr<Source> source;
    std::unique_ptr<csv_line_reader, void (*)(csv_line_reader *)> reader(
        open_reader(input, options, &source, &filename), csv_line_reader_close);
    if (reader == nullptr)
        return nullptr;
    if (csv_line_reader_error(reader.get())->code != CSV_LINE_OK)  // as open() raises: a path that cannot be read, bad options
        return raise_from(reader.get(), source.get(), filename.get(), 1);
    auto *self = reinterpret_cast<ReaderObject *>(type->tp_alloc(type, 0));
    if (self == nullptr)
        return nullptr;
    self->reader = reader.release();
    self->source = source.release();
    self->filename = filename.release();
    self->batch = csv_line_batch{};
    return reinterpret_cast<PyObject *>(self);
}

PyObject *Reader_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    return without_cpp_exceptions([&] { return make_reader(type, args, kwargs); });
}

PyObject *next_row(ReaderObject *self)
{
    // The library's call rewrites the batch: while it runs, neither the
    // source's read nor another thread may take a row of it.
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "csv_line.reader: next() while the same reader is reading");
        return nullptr;
    }
    if (self->next_record == self->batch.count) {
        if (self->ended)
            return nullptr;
        int n;
        self->busy = true;
        {
            WithoutGil unlocked;
            n = csv_line_reader_next(self->reader, &self->batch);
        }
        self->busy = false;
        if (n <= 0) {
            self->batch.count = self->next_record = 0;
            if (n == 0) {
                self->ended = true;
                return nullptr;
            }
            return raise_from(self->reader, self->source, self->filename, 1);
        }
        self->next_record = 0;
        survey(self);
    }
    const csv_line_batch &batch = self->batch;
    const int r = self->next_record++;
    const csv_line_record &record = batch.records[r];
    // line_num counts the lines read so far, as csv.reader's does: those
    // inside quotes too, ended by LF, CR LF or a CR alone. The reader's
    // lines count LFs (the next record's line tells those of this one); a
    // CR alone inside quotes moves every line after it.
    long long inner = 0;
    const bool last = r + 1 == batch.count;
    if (last || self->crs)
        for (int k = record.field; k < record.field + record.count; k++) {
            if (batch.fields[k].quotes == 0)
                continue;
            const csv_line_text raw = csv_line_batch_raw(&batch, k);
            const char *end = raw.data + raw.length;
            if (last)
                inner += std::count(raw.data, end, '\n');
            if (self->crs)
                for (const char *at = raw.data; (at = static_cast<const char *>(std::memchr(at, '\r', size_t(end - at))));
                     at++)
                    self->lone_crs += at + 1 < end && at[1] != '\n';
        }
    if (!last)
        inner = batch.records[r + 1].line - record.line - 1;
    self->line_num = record.line + inner + self->lone_crs;
    // An empty line is no field, as csv.reader has it.
    if (record.count == 1 && batch.fields[record.field].length == 0)
        return PyList_New(0);
    PyObject *row = PyList_New(record.count);
    if (row == nullptr)
        return nullptr;
    for (int k = 0; k < record.count; k++) {
        const csv_line_text value = csv_line_batch_value(&batch, record.field + k);
        PyObject *str = self->ascii ? ascii_str(value) : decode(value);
        if (str == nullptr) {
            Py_DECREF(row);
            return nullptr;
        }
        PyList_SET_ITEM(row, k, str);
    }
    return row;
}

PyObject *Reader_next(ReaderObject *self)
{
    return without_cpp_exceptions([self] { return next_row(self); });
}

PyMemberDef reader_members[] = {
    {"line_num", T_LONGLONG, offsetof(ReaderObject, line_num), READONLY,
     "lines read from the source so far, as csv.reader counts them"},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char *>("reader(source, *, delimiter=',', strict=True, threads=1, encoding=None,\n"
                                   "       errors=None)\n--\n\n"
                                   "Rows of a path, a file object or an iterable of lines, as lists of str.\n"
                                   "delimiter=None guesses it from the first 64 KiB; encoding names the\n"
                                   "input's codec, errors ('strict' or 'replace') what text not UTF-8 does.")},
    {Py_tp_new, reinterpret_cast<void *>(Reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(Reader_dealloc)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(Reader_next)},
    {Py_tp_members, reader_members},
    {0, nullptr}};

}  // namespace

PyType_Spec reader_spec = {"csv_line.reader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT, reader_slots};

}  // namespace csv_line_python
