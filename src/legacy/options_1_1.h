// The reader's options as 1.0 and 1.1 laid them out, which programs built
// against those versions pass, and their widening to today's.
#ifndef CSV_LINE_OPTIONS_1_1_H
#define CSV_LINE_OPTIONS_1_1_H

#include "csv_line.h"

struct csv_line_reader_options_1_1 {
    char separator;
    int header;
    int record_limit;
    int threads;
    int lenient;
};

// Today's options with the old ones' values, the rest at their defaults;
// null for null.
inline const csv_line_reader_options *widen(const csv_line_reader_options_1_1 *old, csv_line_reader_options *out)
{
    if (old == nullptr)
        return nullptr;
    *out = csv_line_reader_options{old->separator, old->header, old->record_limit, old->threads, old->lenient, 0, 0};
    return out;
}

#endif
