// A field's bytes where parse_csv_fields found them, made into its content
// or its value.

#include <cstring>

#include "csv_line.h"

namespace {

// Copies [from, to) to `out`, as far as `last` allows, without its quotes:
// each is dropped or, when `doubled` (every quote there is one of a pair),
// each pair is written as one quote. Moves `out` past what it wrote.
void copy_unquoted(const char *from, const char *to, bool doubled, char *&out, const char *last)
{
    while (from < to && out < last) {
        const void *found = std::memchr(from, '"', static_cast<std::size_t>(to - from));
        const char *quote = found != nullptr ? static_cast<const char *>(found) : to;
        const std::ptrdiff_t room = last - out;
        const std::ptrdiff_t run = quote - from < room ? quote - from : room;
        std::memcpy(out, from, static_cast<std::size_t>(run));
        out += run;
        if (quote == to)
            return;
        if (doubled && out < last)
            *out++ = '"';
        from = quote + (doubled ? 2 : 1);
    }
}

// True when every quote in [from, to) is one of a doubled pair.
bool quotes_doubled(const char *from, const char *to)
{
    while (from < to) {
        const void *found = std::memchr(from, '"', static_cast<std::size_t>(to - from));
        if (found == nullptr)
            return true;
        const char *quote = static_cast<const char *>(found);
        if (quote + 1 == to || quote[1] != '"')
            return false;
        from = quote + 2;
    }
    return true;
}

}  // namespace

int csv_line_field_content(const char *text, const csv_line_field *field, char *out, int out_size)
{
    if (out_size >= 1) {
        const char *from = text + field->start;
        char *at = out;
        copy_unquoted(from, from + field->length, false, at, out + out_size - 1);
        *at = '\0';
    }
    return field->length - field->quotes;
}

int csv_line_field_value(const char *text, const csv_line_field *field, char *out, int out_size)
{
    if (field->quotes == 0)  // its value is its content
        return csv_line_field_content(text, field, out, out_size);
    const char *from = text + field->start, *to = from + field->length;
    // Quoted whole: the outer quotes, and only doubled ones between.
    if (field->length < 2 || from[0] != '"' || to[-1] != '"' || !quotes_doubled(from + 1, to - 1))
        return -1;
    if (out_size >= 1) {
        char *at = out;
        copy_unquoted(from + 1, to - 1, true, at, out + out_size - 1);
        *at = '\0';
    }
    return field->length - 2 - (field->quotes - 2) / 2;
}
