// The portable kernel: one byte at a time, for any processor.

#include "copy_bytes.h"
#include "kernels.h"

namespace {

// For each byte, the states in which it stops a scan: the NUL and the quote
// in both (bit 0 outside quotes, bit 1 inside), the comma only outside.
struct StopTable {
    unsigned char in[256] = {};
    constexpr StopTable()
    {
        in[0] = in['"'] = 3;
        in[','] = 1;
    }
};
constexpr StopTable stops;

// The line's next stop from p on: a quote, a separator (a comma outside
// quotes), the NUL or, when Bounded, limit.
template <bool Bounded>
inline const char *next_stop(const char *p, const char *limit, int quoted)
{
    const unsigned char state = quoted ? 2 : 1;
    // Four bytes a round, in order, so that a bound is tested once a round
    // and no byte past a stop is read. Only a bounded scan leaves the loop.
    for (; !Bounded || limit - p >= 4; p += 4)
        for (int i = 0; i < 4; i++)
            if (stops.in[static_cast<unsigned char>(p[i])] & state)
                return p + i;
    while (p != limit && !(stops.in[static_cast<unsigned char>(*p)] & state))
        p++;
    return p;
}

// Splits the line from `line` to its NUL or, when Bounded, to limit if that
// comes first.
template <bool Bounded>
int split_bytes(const char *line, const char *limit, char (*fields)[FIELD_SIZE], int max_fields)
{
    if (max_fields < 1)
        return 0;

    int field = 0;   // the row being filled; also the fields completed
    int length = 0;  // content bytes stored in that row
    int quoted = 0;
    for (const char *content = line;;) {
        const char *stop = next_stop<Bounded>(content, limit, quoted);
        // The bytes up to the stop are content, as far as the row has room;
        // the surplus of a longer field is dropped.
        const int room = FIELD_SIZE - 1 - length;
        const int run = stop - content < room ? static_cast<int>(stop - content) : room;
        copy_bytes(fields[field] + length, content, run);
        length += run;

        if ((Bounded && stop == limit) || *stop == '\0') {  // limit itself is never read
            fields[field][length] = '\0';
            return field + 1;
        }
        content = stop + 1;
        if (*stop == '"') {
            quoted = !quoted;  // a quote is never stored
        } else {
            fields[field][length] = '\0';
            // A separator that fills the table ends the scan: there is no
            // row left for what follows it.
            if (++field == max_fields)
                return field;
            length = 0;
        }
    }
}

}  // namespace

int csv_line_split_portable(const char *line, char (*fields)[FIELD_SIZE], int max_fields)
{
    return split_bytes<false>(line, nullptr, fields, max_fields);
}

int csv_line_span_portable(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields)
{
    return split_bytes<true>(line, csv_line_span_end(line, length), fields, max_fields);
}
