// csv_line.read_columns: each column one numpy array (or a
// pandas.Categorical), from a table the library reads.
#include "tables.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace csv_line_python {

namespace {

// Closes the table once the last array over its memory is gone.
void close_table(PyObject *capsule)
{
    csv_line_table_close(static_cast<csv_line_table *>(PyCapsule_GetPointer(capsule, "csv_line.table")));
}

// pandas.Categorical.from_codes. New reference, or null.
PyObject *categorical_from_codes()
{
    const Owned pandas(PyImport_ImportModule("pandas"));
    if (!pandas)
        return nullptr;
    const Owned categorical(PyObject_GetAttrString(pandas.get(), "Categorical"));
    return categorical ? PyObject_GetAttrString(categorical.get(), "from_codes") : nullptr;
}

// The text columns' finding shared out: the caller's thread and up to
// threads - 1 helpers each claim a column to find, without the GIL; the
// caller makes the objects of each column found, in any order, with the
// GIL, and finds one itself when none is ready. So a column of distinct
// cells has its str made while the helpers hash the others.
class TextJobs {
public:
    explicit TextJobs(std::vector<TextWork> &works) : works_(works), found_(works.size()), taken_(works.size()) {}
    TextJobs(const TextJobs &) = delete;
    TextJobs &operator=(const TextJobs &) = delete;

    ~TextJobs()  // with the GIL, which the helpers never take
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        WithoutGil unlocked;
        for (std::thread &helper : helpers_)
            helper.join();
    }

    // Helpers that could not be started leave the work to the others.
    void start(size_t helpers)
    {
        try {
            while (helpers_.size() < helpers)
                helpers_.emplace_back([this] { help(); });
        } catch (const std::system_error &) {
        }
    }

    // A column found and not yet taken: its index, or -1 once every one
    // has been taken. With the GIL, let go while it finds or waits.
    long next()
    {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            for (size_t k = 0; k < works_.size(); k++)
                if (found_[k] && !taken_[k]) {
                    taken_[k] = true;
                    return static_cast<long>(k);
                }
            if (claimed_ < works_.size()) {
                const size_t k = claimed_++;
                hold.unlock();
                {
                    WithoutGil unlocked;
                    works_[k].prepare();
                }
                hold.lock();
                found_[k] = taken_[k] = true;
                return static_cast<long>(k);
            }
            if (std::find(taken_.begin(), taken_.end(), false) == taken_.end())
                return -1;
            hold.unlock();
            {
                WithoutGil unlocked;
                std::unique_lock<std::mutex> waiting(lock_);
                changed_.wait(waiting, [this] {
                    for (size_t k = 0; k < works_.size(); k++)
                        if (found_[k] && !taken_[k])
                            return true;
                    return false;
                });
            }
            hold.lock();
        }
    }

private:
    void help()
    {
        std::unique_lock<std::mutex> hold(lock_);
        while (!stopping_ && claimed_ < works_.size()) {
            const size_t k = claimed_++;
            hold.unlock();
            works_[k].prepare();
            hold.lock();
            found_[k] = true;
            changed_.notify_all();
        }
    }

    std::vector<TextWork> &works_;
    std::mutex lock_;
    std::condition_variable changed_;
    size_t claimed_ = 0;
    std::vector<bool> found_, taken_;
    bool stopping_ = false;
    std::vector<std::thread> helpers_;
};

// Every chosen column converted, into objects in the chosen order. False
// with an error set.
bool convert(const csv_line_table *table, const Chosen &chosen, const Conversion &how, int threads,
             std::vector<Owned> *objects)
{
    const size_t count = chosen.names.size();
    const long long rows = csv_line_table_rows(table);
    std::vector<csv_line_column> columns(count);
    std::vector<TextWork> works;
    std::vector<size_t> work_column;  // the chosen column of each
    objects->resize(count);
    for (size_t c = 0; c < count; c++) {
        if (chosen.columns[c] >= 0 && csv_line_table_column(table, chosen.columns[c], &columns[c]) != 0) {
            PyErr_Format(PyExc_RuntimeError, "csv_line: the table has no column %d", chosen.columns[c]);
            return false;
        }
        if (chosen.columns[c] >= 0 && columns[c].type == CSV_LINE_TYPE_TEXT &&
            !is_missing_text(columns[c], chosen.types[c])) {
            works.emplace_back(columns[c], how.categories);
            work_column.push_back(c);
        }
    }
    TextJobs jobs(works);
    if (works.size() > 1 && threads > 1)
        jobs.start(std::min(static_cast<size_t>(threads) - 1, works.size() - 1));
    for (size_t c = 0; c < count; c++) {
        if (chosen.columns[c] < 0)
            (*objects)[c].reset(missing_column(rows));
        else if (columns[c].type != CSV_LINE_TYPE_TEXT || is_missing_text(columns[c], chosen.types[c]))
            (*objects)[c].reset(column_object(columns[c], chosen.types[c], how));
        else
            continue;
        if (!(*objects)[c])
            return false;
    }
    for (long k; (k = jobs.next()) >= 0;) {
        Owned &object = (*objects)[work_column[static_cast<size_t>(k)]];
        object.reset(works[static_cast<size_t>(k)].make(how));
        if (!object)
            return false;
    }
    return true;
}

PyObject *read_file_columns(PyObject *args, PyObject *kwargs)
{
    Arguments given;
    if (!parse_arguments("read_columns", args, kwargs, &given))
        return nullptr;
    Owned from_codes;
    const bool categories = std::strcmp(given.text, "category") == 0;
    if (categories) {  // before the reading: without pandas there is nothing to read into
        from_codes.reset(categorical_from_codes());
        if (!from_codes)
            return nullptr;
    }
    TableRead read;
    if (!read_asked(given, &read))
        return nullptr;
    const csv_line_table *table = read.table;
    const Owned owner(PyCapsule_New(read.table, "csv_line.table", close_table));
    if (!owner)
        return nullptr;
    read.table = nullptr;  // the capsule's now
    const Owned nan(PyFloat_FromDouble(NAN));
    Owned result(PyDict_New());
    if (!nan || !result)
        return nullptr;
    const Chosen &chosen = read.chosen;
    std::vector<Owned> objects;
    if (!convert(table, chosen, Conversion{owner.get(), nan.get(), categories, from_codes.get()}, given.threads,
                 &objects))
        return nullptr;
    for (size_t c = 0; c < chosen.names.size(); c++) {
        const Owned key(PyUnicode_DecodeUTF8(chosen.names[c].data(), static_cast<Py_ssize_t>(chosen.names[c].size()),
                                             "strict"));
        if (!key || PyDict_SetItem(result.get(), key.get(), objects[c].get()) != 0)
            return nullptr;
    }
    return result.release();
}

}  // namespace

PyObject *read_columns(PyObject *, PyObject *args, PyObject *kwargs)
{
    return without_cpp_exceptions([&] { return read_file_columns(args, kwargs); });
}

}  // namespace csv_line_python
