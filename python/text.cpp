// A table's text columns as Python's: an object array of str, NaN where
// missing, or a pandas.Categorical. A str is made of a cell's bytes,
// copied when ASCII, else decoded strictly from UTF-8. Where a column
// repeats itself its distinct values are found first, by a hash of their
// bytes without the GIL, and each gets one str, shared by its cells.
#include "tables.h"

#include "numpy_api.h"

#include <algorithm>
#include <cstdlib>

namespace csv_line_python {

namespace {

// The cells of a text column: cell r's bytes from offsets[r] to
// offsets[r + 1] of data.
struct Cells {
    const int64_t *offsets = nullptr;
    const char *data = "";
    int64_t rows = 0;

    const char *at(int64_t r) const { return data + offsets[r]; }
    int64_t length(int64_t r) const { return offsets[r + 1] - offsets[r]; }
};

// Loads of a cell's bytes at fixed sizes, which compile to single moves:
// the bytes past a whole number of words are taken by a load that ends at
// the cell's end, overlapping the one before.
inline uint64_t load8(const char *at)
{
    uint64_t word;
    std::memcpy(&word, at, 8);
    return word;
}

inline uint64_t load4(const char *at)
{
    uint32_t word;
    std::memcpy(&word, at, 4);
    return word;
}

// A cell of fewer than eight bytes as one word; equal cells of a length
// give equal words, and the word with the length tells the cell.
inline uint64_t short_word(const char *data, int64_t length)
{
    if (length >= 4)
        return load4(data) << 32 | load4(data + length - 4);
    if (length > 0)
        return static_cast<uint64_t>(static_cast<unsigned char>(data[0])) << 16 |
               static_cast<uint64_t>(static_cast<unsigned char>(data[length >> 1])) << 8 |
               static_cast<unsigned char>(data[length - 1]);
    return 0;
}

inline uint64_t mix(uint64_t h, uint64_t word)
{
    constexpr uint64_t K = 0x9E3779B97F4A7C15ULL;
    h = (h ^ word) * K;
    return h ^ (h >> 29);
}

// Every bit of the hash made to depend on every bit of the words: the
// table's slot is taken from its low bits, the tag from its high ones.
inline uint64_t spread(uint64_t h)
{
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    return h ^ (h >> 33);
}

uint64_t hash_bytes(const char *data, int64_t length)
{
    uint64_t h = mix(0, static_cast<uint64_t>(length));
    if (length < 8)
        return spread(mix(h, short_word(data, length)));
    for (int64_t k = 0; k + 8 < length; k += 8)
        h = mix(h, load8(data + k));
    return spread(mix(h, load8(data + length - 8)));
}

// Two cells of `length` bytes are equal.
inline bool same_bytes(const char *a, const char *b, int64_t length)
{
    if (length < 8)
        return short_word(a, length) == short_word(b, length);
    for (int64_t k = 0; k + 8 < length; k += 8)
        if (load8(a + k) != load8(b + k))
            return false;
    return load8(a + length - 8) == load8(b + length - 8);
}

// An array had with malloc, for the work done off Python's thread: it
// says when memory runs out where a vector would throw, and nothing may
// throw there (a thread's first exception needs memory of its own, and
// the process exits when that cannot be had). T is trivially copyable.
template <class T>
struct Array {
    T *at = nullptr;
    size_t size = 0, capacity = 0;

    Array() = default;
    Array(const Array &) = delete;
    Array &operator=(const Array &) = delete;
    ~Array() { std::free(at); }

    bool reserve(size_t n) noexcept
    {
        if (n <= capacity)
            return true;
        if (n > SIZE_MAX / sizeof(T))
            return false;
        T *grown = static_cast<T *>(std::realloc(at, n * sizeof(T)));
        if (grown == nullptr)
            return false;
        at = grown;
        capacity = n;
        return true;
    }

    bool push(const T &value) noexcept
    {
        if (size == capacity && !reserve(capacity > 0 && capacity <= SIZE_MAX / 2 ? 2 * capacity : 64))
            return false;
        at[size++] = value;
        return true;
    }

    T &operator[](size_t k) const { return at[k]; }
};

// The distinct values of a column's cells, each given a code in the order
// met: an open-addressed table, kept at most half full, whose slots hold
// a code and the high half of its value's hash, so that most probes look
// at no cell.
struct Distinct {
    const Cells *cells;
    Array<uint64_t> slots;      // the hash's high half, then the code + 1; 0 for none
    Array<int64_t> first;       // by code: the first row that holds it
    Array<const char *> bytes;  // by code: its value
    Array<int64_t> lengths;
    size_t mask = 0;

    explicit Distinct(const Cells &of) : cells(&of) {}

    static uint64_t slot(uint64_t hash, size_t code) { return (hash & ~0xFFFFFFFFULL) | (code + 1); }

    // Room for `size` slots (a power of two), every code put back; false
    // without the memory.
    bool resize(size_t size) noexcept
    {
        if (!slots.reserve(size))
            return false;
        slots.size = size;
        std::fill(slots.at, slots.at + size, 0);
        mask = size - 1;
        for (size_t code = 0; code < first.size; code++) {
            const uint64_t hash = hash_bytes(bytes[code], lengths[code]);
            size_t at = hash & mask;
            while (slots[at] != 0)
                at = (at + 1) & mask;
            slots[at] = slot(hash, code);
        }
        return true;
    }

    // Row r's code, or -1 without the memory for a new one.
    int32_t code(int64_t r) noexcept
    {
        if (slots.size == 0 && !resize(1024))
            return -1;
        const char *data = cells->at(r);
        const int64_t length = cells->length(r);
        const uint64_t hash = hash_bytes(data, length);
        size_t at = hash & mask;
        for (uint64_t held; (held = slots[at]) != 0; at = (at + 1) & mask) {
            const size_t found = (held & 0xFFFFFFFFULL) - 1;
            if ((held ^ hash) >> 32 == 0 && lengths[found] == length && same_bytes(bytes[found], data, length))
                return static_cast<int32_t>(found);
        }
        const size_t made = first.size;
        if (made >= INT32_MAX || !first.push(r) || !bytes.push(data) || !lengths.push(length))
            return -1;
        slots[at] = slot(hash, made);
        if (first.size * 2 > slots.size && (slots.size > SIZE_MAX / 4 || !resize(slots.size * 2)))
            return -1;
        return static_cast<int32_t>(made);
    }
};

// Cells looked at before choosing whether equal cells share a str: a
// column where most of them differ makes one a cell, hashing none. (A str
// costs about what hashing ten cells does: sharing pays once a value
// repeats.)
constexpr int64_t SAMPLE = 1024;

PyObject *text_str(const char *data, int64_t length, bool ascii)
{
    if (ascii || is_ascii(data, static_cast<size_t>(length)))
        return ascii_str(csv_line_text{data, static_cast<int>(length)});
    return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(length), "strict");
}

template <class T>
T *data_of(PyObject *array)
{
    return static_cast<T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array)));
}

}  // namespace

struct TextWork::Found {
    const csv_line_column *column;
    Cells cells;
    bool categories;
    bool ascii = true;
    bool coded = false;           // codes found: one str a distinct value
    bool out_of_memory = false;
    bool without_bytes = false;   // offsets past bytes it does not have
    Distinct distinct{cells};
    Array<int32_t> codes;         // by row, -1 where missing
    Array<int64_t> order;         // the codes in the order of their str: sorted for categories

    Found(const csv_line_column &of, bool as_categories) : column(&of), categories(as_categories) {}

    bool find() noexcept;
    bool sort() noexcept;
    PyObject *strs() const;
    PyObject *objects(PyObject *nan) const;
    PyObject *categorical(PyObject *from_codes) const;
};

TextWork::TextWork(const csv_line_column &column, bool categories) : found_(new Found(column, categories))
{
    Cells &cells = found_->cells;
    cells.offsets = static_cast<const int64_t *>(column.values);
    cells.data = column.data != nullptr ? column.data : "";  // all its cells empty: maybe no bytes at all
    cells.rows = column.rows;
}

TextWork::TextWork(TextWork &&) noexcept = default;
TextWork::~TextWork() = default;

// False without the memory.
bool TextWork::Found::find() noexcept
{
    if (cells.rows == 0)
        return true;
    if (cells.offsets == nullptr || (column->data == nullptr && cells.offsets[cells.rows] != cells.offsets[0])) {
        without_bytes = true;
        return true;
    }
    ascii = is_ascii(cells.at(0), static_cast<size_t>(cells.offsets[cells.rows] - cells.offsets[0]));
    if (!categories) {
        Distinct sample(cells);
        int64_t present = 0;
        for (int64_t r = 0; r < cells.rows && present < SAMPLE; r++)
            if (!missing_at(*column, r)) {
                if (sample.code(r) < 0)
                    return false;
                present++;
            }
        if (static_cast<int64_t>(sample.first.size) * 2 > present)
            return true;
    }
    const size_t rows = static_cast<size_t>(cells.rows);
    if (!codes.reserve(rows))
        return false;
    codes.size = rows;
    for (size_t r = 0; r < rows; r++) {
        const bool missing = missing_at(*column, static_cast<int64_t>(r));
        codes[r] = missing ? -1 : distinct.code(static_cast<int64_t>(r));
        if (!missing && codes[r] < 0)
            return false;
    }
    if (!order.reserve(distinct.first.size))
        return false;
    order.size = distinct.first.size;
    for (size_t k = 0; k < order.size; k++)
        order[k] = static_cast<int64_t>(k);
    if (categories && !sort())
        return false;
    coded = true;
    return true;
}

namespace {

// A value's first sixteen bytes as two numbers that order as the bytes
// do (missing bytes as 0), beside its code: most comparisons of a sort
// end there, without reaching for the value's bytes.
struct SortKey {
    uint64_t high, low;
    int64_t code;
};

uint64_t big_endian(const char *data, int64_t length)
{
    uint64_t word = 0;
    for (int64_t k = 0; k < 8; k++)
        word = word << 8 | (k < length ? static_cast<unsigned char>(data[k]) : 0);
    return word;
}

}  // namespace

// The categories sorted by their bytes, which is by code point, as pandas
// sorts the categories it finds; the codes made their places. False
// without the memory.
bool TextWork::Found::sort() noexcept
{
    const Distinct &values = distinct;
    Array<SortKey> keys;
    Array<int32_t> place;
    if (!keys.reserve(order.size) || !place.reserve(order.size))
        return false;
    for (size_t k = 0; k < order.size; k++) {
        const char *data = values.bytes[k];
        const int64_t length = values.lengths[k];
        keys[k] = SortKey{big_endian(data, length), length > 8 ? big_endian(data + 8, length - 8) : 0,
                          static_cast<int64_t>(k)};
    }
    std::sort(keys.at, keys.at + order.size, [&](const SortKey &a, const SortKey &b) {
        if (a.high != b.high)
            return a.high < b.high;
        if (a.low != b.low)
            return a.low < b.low;
        const int64_t la = values.lengths[static_cast<size_t>(a.code)], lb = values.lengths[static_cast<size_t>(b.code)];
        const int said = std::memcmp(values.bytes[static_cast<size_t>(a.code)], values.bytes[static_cast<size_t>(b.code)],
                                     static_cast<size_t>(std::min(la, lb)));
        return said != 0 ? said < 0 : la < lb;
    });
    for (size_t k = 0; k < order.size; k++) {
        order[k] = keys[k].code;
        place[static_cast<size_t>(keys[k].code)] = static_cast<int32_t>(k);
    }
    for (size_t r = 0; r < codes.size; r++)
        if (codes[r] >= 0)
            codes[r] = place[static_cast<size_t>(codes[r])];
    return true;
}

void TextWork::prepare() noexcept
{
    if (!found_->find()) {
        found_->out_of_memory = true;
        found_->coded = false;
    }
}

// One str a distinct value, in `order`. New list, or null.
PyObject *TextWork::Found::strs() const
{
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(order.size));
    for (size_t k = 0; list != nullptr && k < order.size; k++) {
        const int64_t row = distinct.first[static_cast<size_t>(order[k])];
        PyObject *str = text_str(cells.at(row), cells.length(row), ascii);
        if (str == nullptr) {
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), str);
    }
    return list;
}

PyObject *TextWork::Found::objects(PyObject *nan) const
{
    npy_intp rows = cells.rows;
    Owned array(PyArray_SimpleNew(1, &rows, NPY_OBJECT));
    if (!array)
        return nullptr;
    PyObject **out = data_of<PyObject *>(array.get());
    if (coded) {
        const Owned shared(strs());
        if (!shared)
            return nullptr;
        for (npy_intp r = 0; r < rows; r++) {
            const int32_t code = codes[static_cast<size_t>(r)];
            PyObject *cell = code < 0 ? nan : PyList_GET_ITEM(shared.get(), code);
            Py_INCREF(cell);
            out[r] = cell;
        }
        return array.release();
    }
    for (npy_intp r = 0; r < rows; r++) {
        PyObject *cell = missing_at(*column, r) ? (Py_INCREF(nan), nan) : text_str(cells.at(r), cells.length(r), ascii);
        if (cell == nullptr)
            return nullptr;  // the slots not written yet are null, which numpy lets go as none
        out[r] = cell;
    }
    return array.release();
}

PyObject *TextWork::Found::categorical(PyObject *from_codes) const
{
    npy_intp rows = cells.rows;
    const Owned array(PyArray_SimpleNew(1, &rows, NPY_INT32));
    if (!array)
        return nullptr;
    if (rows > 0)
        std::memcpy(data_of<int32_t>(array.get()), codes.at, static_cast<size_t>(rows) * sizeof(int32_t));
    const Owned list(strs());
    if (!list)
        return nullptr;
    const Owned values(PyArray_FROM_OTF(list.get(), NPY_OBJECT, NPY_ARRAY_DEFAULT));
    if (!values)
        return nullptr;
    return PyObject_CallFunctionObjArgs(from_codes, array.get(), values.get(), nullptr);
}

PyObject *TextWork::make(const Conversion &how)
{
    Found &found = *found_;
    if (found.out_of_memory)
        return PyErr_NoMemory();
    if (found.without_bytes)
        return PyErr_Format(PyExc_RuntimeError, "csv_line: a text column came without its bytes");
    if (!how.categories)
        return found.objects(how.nan);
    if (!found.coded && found.cells.rows > 0)
        return PyErr_Format(PyExc_RuntimeError, "csv_line: a column's categories were not found");
    return found.categorical(how.from_codes);
}

}  // namespace csv_line_python
