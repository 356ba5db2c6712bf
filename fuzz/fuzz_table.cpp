// Reads arbitrary text into a table and checks it against the reader and
// against itself: the same table (or the same error) on several threads
// with ranges of a few bytes as on one; each cell present the reader's
// value, read as its column's type; each cell missing an empty value; the
// Arrow export the same buffers. Aborts on the first broken rule.
//
// Input: the first byte chooses whether the first record is a header,
// whether dates are inferred, the threads and their range size, whether
// the first column is asked to be int64, and the separator; the rest is
// the text.

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "csv_line.h"
#include "rules.h"

const char *const fuzzed = "the table";

namespace {

bool present(const csv_line_column &c, long long r)
{
    return c.validity == nullptr || (c.validity[r / 8] >> (r % 8) & 1);
}

// Every byte of the table that a caller can see, or its error.
std::string Dump(const csv_line_table *t)
{
    const csv_line_error *e = csv_line_table_error(t);
    std::string out = std::to_string(e->code) + " " + std::to_string(e->line) + " " + std::to_string(e->field) + " " +
                      e->message + "\n";
    for (int k = 0; k < csv_line_table_column_count(t); k++) {
        csv_line_column c;
        csv_line_table_column(t, k, &c);
        out += std::string(c.name.data, static_cast<size_t>(c.name.length)) + " " + std::to_string(c.type) + " " +
               std::to_string(c.missing) + ":";
        for (long long r = 0; r < c.rows; r++) {
            out += present(c, r) ? "+" : "-";
            if (c.type == CSV_LINE_TYPE_TEXT) {
                const int64_t *at = static_cast<const int64_t *>(c.values);
                out.append(c.data + at[r], static_cast<size_t>(at[r + 1] - at[r]));
            } else if (c.type == CSV_LINE_TYPE_BOOL) {
                out += std::to_string(static_cast<const unsigned char *>(c.values)[r / 8] >> (r % 8) & 1);
            } else {
                const size_t width = c.type == CSV_LINE_TYPE_DATE ? 4 : 8;
                out.append(static_cast<const char *>(c.values) + static_cast<size_t>(r) * width, width);
            }
            out += "|";
        }
        out += "\n";
    }
    return out;
}

std::string Trimmed(const std::string &value)
{
    size_t from = 0, to = value.size();
    while (from < to && (value[from] == ' ' || value[from] == '\t'))
        from++;
    while (to > from && (value[to - 1] == ' ' || value[to - 1] == '\t'))
        to--;
    return value.substr(from, to - from);
}

// Each cell of the table against the reader's value of it.
void ExpectValues(const std::string &text, const csv_line_table_options &options, const csv_line_table *t)
{
    csv_line_reader_options o = options.reader;
    o.threads = 1;
    csv_line_reader *reader = csv_line_reader_open_memory(text.data(), text.size(), &o);
    std::vector<csv_line_column> columns(static_cast<size_t>(csv_line_table_column_count(t)));
    for (size_t k = 0; k < columns.size(); k++)
        csv_line_table_column(t, static_cast<int>(k), &columns[k]);
    long long row = 0;
    csv_line_batch batch;
    int n;
    while ((n = csv_line_reader_next(reader, &batch)) > 0)
        for (int r = 0; r < batch.count; r++) {
            const csv_line_record &record = batch.records[r];
            if (record.count == 1 && batch.fields[record.field].length == 0)
                continue;
            Check(row < csv_line_table_rows(t), "the table has a row for each record that is not a blank line", text);
            for (size_t k = 0; k < columns.size(); k++) {
                const csv_line_column &c = columns[k];
                const int field = options.only_columns ? options.columns[k].index : static_cast<int>(k);
                const csv_line_text v =
                    field < record.count ? csv_line_batch_value(&batch, record.field + field) : csv_line_text{"", 0};
                const std::string value(v.data, static_cast<size_t>(v.length)), trimmed = Trimmed(value);
                Check(present(c, row) == !value.empty(), "a cell is missing exactly when its value is empty", text);
                if (value.empty())
                    continue;
                if (c.type == CSV_LINE_TYPE_TEXT) {
                    const int64_t *at = static_cast<const int64_t *>(c.values);
                    Check(std::string(c.data + at[row], static_cast<size_t>(at[row + 1] - at[row])) == value,
                          "a text cell is the reader's value", text);
                } else if (c.type == CSV_LINE_TYPE_INT64) {
                    char *end;
                    errno = 0;
                    const long long number = std::strtoll(trimmed.c_str(), &end, 10);
                    Check(*end == '\0' && errno == 0 && number == static_cast<const int64_t *>(c.values)[row],
                          "an int64 cell is the value strtoll reads", text);
                } else if (c.type == CSV_LINE_TYPE_FLOAT64) {
                    char *end;
                    const double number = std::strtod(trimmed.c_str(), &end);
                    const double got = static_cast<const double *>(c.values)[row];
                    Check(*end == '\0' && !std::isnan(got) && (number == got), "a float64 cell is the value strtod reads",
                          text);
                } else if (c.type == CSV_LINE_TYPE_BOOL) {
                    const bool truth = static_cast<const unsigned char *>(c.values)[row / 8] >> (row % 8) & 1;
                    Check(value == (truth ? "true" : "false") || value == (truth ? "True" : "False") ||
                              value == (truth ? "TRUE" : "FALSE"),
                          "a bool cell is its spelling", text);
                }
            }
            row++;
        }
    Check(n == 0, "a table read whole has a reader that reads to the end", text);
    Check(row == csv_line_table_rows(t), "the table has no row the reader lacks", text);
    csv_line_reader_close(reader);
}

// The export walked as a consumer walks it: the same buffers and counts.
void ExpectExport(csv_line_table *t, const std::string &text)
{
    ArrowSchema schema;
    ArrowArray array;
    Check(csv_line_table_export(t, &schema, &array) == 0, "a table read whole exports", text);
    Check(array.n_children == csv_line_table_column_count(t), "a child a column", text);
    for (int k = 0; k < array.n_children; k++) {
        csv_line_column c;
        csv_line_table_column(t, k, &c);
        const ArrowArray &child = *array.children[k];
        Check(child.length == c.rows && child.null_count == c.missing && child.buffers[1] != nullptr,
              "a child has the column's rows, missing cells and values", text);
        if (c.type == CSV_LINE_TYPE_TEXT) {
            const int64_t *at = static_cast<const int64_t *>(child.buffers[1]);
            Check(at[0] == 0 && child.buffers[2] != nullptr, "text offsets begin at 0", text);
            for (long long r = 0; r < c.rows; r++)
                Check(at[r] <= at[r + 1], "text offsets never fall", text);
        }
    }
    array.release(&array);
    schema.release(&schema);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t choice = data[0];
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    csv_line_column_spec first{nullptr, 0, CSV_LINE_TYPE_INT64, 0};
    csv_line_table_options options{};
    options.reader.header = choice & 1;
    options.infer_dates = (choice >> 1) & 1;
    options.reader.separator = (choice & 0x80) != 0 ? ';' : ',';
    if (choice & 0x40) {
        options.columns = &first;
        options.column_count = 1;
    }
    options.reader.threads = 1;
    csv_line_table *one = csv_line_table_read_memory(text.data(), text.size(), &options);
    if (one == nullptr)
        return 0;
    const std::string want = Dump(one);
#ifndef CSV_LINE_TEST_ONE_THREAD
    static const char *const parts[] = {"7", "31", "200", "100000"};
    setenv("CSV_LINE_PART_SIZE", parts[(choice >> 4) & 3], 1);
    options.reader.threads = 2 + ((choice >> 2) & 3);
    csv_line_table *many = csv_line_table_read_memory(text.data(), text.size(), &options);
    unsetenv("CSV_LINE_PART_SIZE");
    if (many != nullptr) {
        Check(Dump(many) == want, "several threads read the table one thread reads", text);
        csv_line_table_close(many);
    }
    options.reader.threads = 1;
#endif
    if (csv_line_table_error(one)->code == CSV_LINE_OK) {
        ExpectValues(text, options, one);
        ExpectExport(one, text);
    }
    csv_line_table_close(one);
    return 0;
}
