// Fields and records written as CSV, quoted only where a reader needs the
// quotes, into a bounded buffer.

#include <cstring>

#include "csv_line.h"

namespace {

// Where the bytes go, bounded as snprintf bounds them: `at` counts every
// byte asked for, but only those below `size` are stored.
struct Out {
    char *data;
    size_t size;
    size_t at;

    void put(char c)
    {
        if (at < size)
            data[at] = c;
        at++;
    }

    void put(const char *from, size_t length)
    {
        if (at < size && length > 0)
            std::memcpy(data + at, from, length < size - at ? length : size - at);
        at += length;
    }
};

// A value must be quoted when a reader would otherwise end the field or
// the record inside it, or take its quotes for quoting.
bool needs_quotes(const char *value, size_t length, char separator)
{
    for (size_t k = 0; k < length; k++) {
        const char c = value[k];
        if (c == separator || c == '"' || c == '\n' || c == '\r')
            return true;
    }
    return false;
}

void write_field(Out &out, const char *value, size_t length, char separator)
{
    if (!needs_quotes(value, length, separator)) {
        out.put(value, length);
        return;
    }
    out.put('"');
    const char *from = value, *end = value + length;
    while (from < end) {
        const void *found = std::memchr(from, '"', static_cast<size_t>(end - from));
        if (found == nullptr) {
            out.put(from, static_cast<size_t>(end - from));
            break;
        }
        const char *quote = static_cast<const char *>(found);
        out.put(from, static_cast<size_t>(quote - from) + 1);
        out.put('"');
        from = quote + 1;
    }
    out.put('"');
}

// A csv_line_text's length is an int; a negative one is taken as empty rather
// than as a size past the end of memory.
size_t text_length(const csv_line_text &text) { return text.length > 0 ? static_cast<size_t>(text.length) : 0; }

}  // namespace

size_t csv_line_field_write(char *out, size_t out_size, const char *value, size_t length, char separator)
{
    Out o{out, out_size, 0};
    write_field(o, value, length, separator);
    return o.at;
}

size_t csv_line_record_write(char *out, size_t out_size, const csv_line_text *fields, int count, char separator)
{
    Out o{out, out_size, 0};
    if (count == 1 && text_length(fields[0]) == 0) {
        o.put('"');
        o.put('"');
    } else {
        for (int k = 0; k < count; k++) {
            if (k > 0)
                o.put(separator);
            write_field(o, fields[k].data, text_length(fields[k]), separator);
        }
    }
    o.put('\n');
    return o.at;
}
