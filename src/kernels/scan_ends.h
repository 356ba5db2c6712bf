// Where a kernel's scan of a line ends, shared by every kernel's file.
#ifndef CSV_LINE_SCAN_ENDS_H
#define CSV_LINE_SCAN_ENDS_H

// At its NUL (parse_csv_line); at its NUL or its limit (parse_csv_span); at
// its NUL, its line ending or its limit, the record going on to its LF
// (parse_csv_record); at its line ending or its limit, a NUL being content
// (parse_csv_fields).
enum class Ends { nul, span, record, fields };

#endif
