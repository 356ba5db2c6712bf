// csv_line_sniff: the separator, quoting, header, line ending and encoding
// an input's first bytes show.
//
// Every candidate separator splits the sample's records by the library's
// own rule (parse_csv_fields, quotes honoured) and is scored by how well
// the records agree on their width times the share of cells that read as
// something typed: a wrong separator leaves records of scattered widths,
// and cells that hold the right one. The score of a candidate is
//
//     pattern  = (1/K) * sum over the widths w seen: (share of records of width w) * (w - 1) / w,
//                K the number of widths, counted as e to the entropy of their shares so
//                that a few stray records (ragged rows, a comment) weigh as few
//     types    = the cells that read as empty, a number, a date or time, a
//                boolean, quoted text or text without another separator in it,
//                over all cells
//     score    = pattern * max(types, 0.01)
//
// so one column scores 0 and the more columns the records agree on, the
// better. The candidates, tried when they occur in the sample: , ; TAB |
// first, then : ^ ~ # ! & * = @ +, and a space only when none of those
// splits the records at all, and into three columns or more (two words a
// line are more often one column of names). '.', '-' and '/' never are:
// dates and numbers split on them into columns that look all too
// consistent.
//
// Nothing is allocated: the records' bounds, the fields of one record and
// the header's statistics live on the stack (about 24 KiB), and a sample
// in UTF-16 is looked at through 16 KiB of it turned into UTF-8.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "csv_line.h"

namespace {

enum {
    MAX_FIELDS = 256,   // a record's fields looked at; a wider one counts as this wide
    MAX_RECORDS = 1024, // records looked at: more say nothing new of a dialect
    MAX_COLUMNS = 64,   // columns the header is judged on
    VALUE_SLOTS = 32,   // distinct values a column's table tells apart
    UTF16_TEXT = 16 << 10
};

// Fewer records than this lower the confidence in proportion.
const double RECORDS_FOR_CONFIDENCE = 10;

// What a cell reads as. Text is typed unless it holds a byte that
// separates fields under some other candidate: that is what a wrong
// separator leaves in its cells.
enum Kind { KIND_EMPTY, KIND_NUMBER, KIND_DATE, KIND_BOOL, KIND_TEXT, KIND_MIXED, KIND_COUNT };

const char primary[] = {',', ';', '\t', '|'};
const char secondary[] = {':', '^', '~', '#', '!', '&', '*', '=', '@', '+'};

struct Records {
    const char *text;
    int start[MAX_RECORDS]; // record r's content is [start[r], end[r]): no line ending
    int end[MAX_RECORDS];
    int count;
};

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

int digits_at(const char *p, int n, int at)
{
    int from = at;
    while (at < n && is_digit(p[at]))
        at++;
    return at - from;
}

bool same_word(const char *p, int n, const char *word)
{
    const size_t length = std::strlen(word);
    if (static_cast<size_t>(n) != length)
        return false;
    for (size_t k = 0; k < length; k++) {
        char c = p[k];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != word[k])
            return false;
    }
    return true;
}

// A sign, digits grouped by single '.' or ',' (decimals either way, and
// thousands), an exponent, a '%': the numbers spreadsheets write.
bool is_number(const char *p, int n)
{
    int at = 0;
    if (at < n && (p[at] == '+' || p[at] == '-'))
        at++;
    if (at < n && p[at] == '$')
        at++;
    int groups = 0;
    for (;;) {
        const int run = digits_at(p, n, at);
        if (run == 0 && !(groups == 0 && at < n && p[at] == '.'))
            return false;
        at += run;
        groups++;
        if (at + 1 < n && (p[at] == '.' || p[at] == ',') && is_digit(p[at + 1])) {
            at++;
            continue;
        }
        if (run == 0)
            return false;
        break;
    }
    if (at < n && (p[at] == 'e' || p[at] == 'E')) {
        at++;
        if (at < n && (p[at] == '+' || p[at] == '-'))
            at++;
        const int run = digits_at(p, n, at);
        if (run == 0)
            return false;
        at += run;
    }
    if (at < n && p[at] == '%')
        at++;
    return at == n;
}

// HH:MM[:SS[.fraction]], then Z, an offset or AM/PM.
bool is_time(const char *p, int n, int at)
{
    int run = digits_at(p, n, at);
    if (run < 1 || run > 2 || at + run >= n || p[at + run] != ':')
        return false;
    at += run + 1;
    if (digits_at(p, n, at) != 2)
        return false;
    at += 2;
    if (at < n && p[at] == ':') {
        if (digits_at(p, n, at + 1) != 2)
            return false;
        at += 3;
        if (at < n && (p[at] == '.' || p[at] == ',')) {
            run = digits_at(p, n, at + 1);
            if (run == 0)
                return false;
            at += 1 + run;
        }
    }
    if (at < n && p[at] == 'Z')
        at++;
    else if (at < n && (p[at] == '+' || p[at] == '-')) {
        run = digits_at(p, n, at + 1);
        if (run != 2 && run != 4)
            return false;
        at += 1 + run;
        if (run == 2 && at < n && p[at] == ':') {
            if (digits_at(p, n, at + 1) != 2)
                return false;
            at += 3;
        }
    } else if (at + 3 == n && p[at] == ' ' && (same_word(p + at + 1, 2, "am") || same_word(p + at + 1, 2, "pm")))
        at += 3;
    return at == n;
}

// A date as year-month-day or day-month-year (or month-day-year) with one
// of - / . between its parts, maybe a time after it; or a time alone.
bool is_date(const char *p, int n)
{
    const int a = digits_at(p, n, 0);
    if (a == 0)
        return false;
    if (a < n && p[a] == ':')
        return is_time(p, n, 0);
    const char mark = a < n ? p[a] : 0;
    if (mark != '-' && mark != '/' && mark != '.')
        return false;
    const int b = digits_at(p, n, a + 1);
    if (b < 1 || b > 2 || a + 1 + b >= n || p[a + 1 + b] != mark)
        return false;
    const int at = a + 2 + b;
    const int c = digits_at(p, n, at);
    if (!((a == 4 && c >= 1 && c <= 2) || (a <= 2 && (c == 2 || c == 4))))
        return false;
    if (at + c == n)
        return true;
    return (p[at + c] == ' ' || p[at + c] == 'T') && is_time(p, n, at + c + 1);
}

Kind kind_of(const char *p, int n)
{
    while (n > 0 && (*p == ' ' || *p == '\t')) {
        p++;
        n--;
    }
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t'))
        n--;
    if (n == 0)
        return KIND_EMPTY;
    if (n <= 4 && (same_word(p, n, "na") || same_word(p, n, "n/a") || same_word(p, n, "nan") ||
                   same_word(p, n, "null") || same_word(p, n, "none") || same_word(p, n, "-")))
        return KIND_EMPTY;
    if (is_digit(*p) || *p == '+' || *p == '-' || *p == '.' || *p == '$') {
        if (is_number(p, n))
            return KIND_NUMBER;
        if (is_date(p, n))
            return KIND_DATE;
        // A date and then what is not a time: a timestamp cut by a wrong
        // separator at its colon.
        int day = 0;
        while (day < n && p[day] != ' ' && p[day] != 'T')
            day++;
        if (day < n && is_date(p, day))
            return KIND_MIXED;
    }
    if (n <= 5 && (same_word(p, n, "true") || same_word(p, n, "false") || same_word(p, n, "yes") ||
                   same_word(p, n, "no")))
        return KIND_BOOL;
    for (int k = 0; k < n; k++) {
        const unsigned char c = static_cast<unsigned char>(p[k]);
        if (c == ',' || c == ';' || c == '|' || c == '"' || c < 0x20)
            return KIND_MIXED;
    }
    return KIND_TEXT;
}

// A field's kind: a field quoted whole is read by its content, and is
// typed text when that content holds separators.
Kind field_kind(const char *text, const csv_line_field &field, bool *opens_quoted)
{
    const char *p = text + field.start;
    *opens_quoted = field.length > 0 && p[0] == '"';
    if (field.quotes == 0)
        return kind_of(p, field.length);
    if (field.length >= 2 && *opens_quoted && p[field.length - 1] == '"') {
        // Doubled quotes inside are text; any other quote makes it mixed.
        for (int k = 1; k < field.length - 1; k++)
            if (p[k] == '"' && (k + 1 >= field.length - 1 || p[++k] != '"'))
                return KIND_MIXED;
        const Kind inner = field.quotes == 2 ? kind_of(p + 1, field.length - 2) : KIND_TEXT;
        return inner == KIND_MIXED ? KIND_TEXT : inner;
    }
    return KIND_MIXED;
}

// The records of the sample, by the splitting rule: each up to the first
// LF outside quotes. In a sample whose lines end in CRs alone, up to the
// first CR outside quotes instead. A record that does not end within the
// sample counts only when the sample is the whole input.
void find_records(const char *text, int length, bool whole, bool cr_only, Records *records)
{
    records->text = text;
    records->count = 0;
    int at = 0;
    while (at < length && records->count < MAX_RECORDS) {
        int taken = 0, end = length;
        if (cr_only) {
            bool quoted = false;
            for (int k = at; k < length; k++) {
                if (text[k] == '"')
                    quoted = !quoted;
                else if (text[k] == '\r' && !quoted) {
                    end = k;
                    taken = k + 1 - at;
                    break;
                }
            }
        } else {
            csv_line_field first;
            parse_csv_fields(text + at, length - at, ',', &first, 1, &taken);
            if (taken > 0) {
                end = at + taken - 1;
                if (end > at && text[end - 1] == '\r')
                    end--;
            }
        }
        if (taken == 0 && !whole)
            break;
        if (end > at) { // a blank line is no record of the table
            records->start[records->count] = at;
            records->end[records->count] = end;
            records->count++;
        }
        if (taken == 0)
            break;
        at += taken;
    }
}

struct Score {
    char separator;
    double pattern, types, score;
    int width;  // the width most records have
    int agreed; // the records of that width
};

// The records split by one separator, scored.
Score score_of(const Records &records, char separator, csv_line_field *fields)
{
    Score result = {separator, 0, 0, 0, 0, 0};
    int widths[MAX_FIELDS + 1] = {0};
    long long cells = 0, typed = 0;
    for (int r = 0; r < records.count; r++) {
        const int from = records.start[r];
        const char *text = records.text + from;
        const int n = parse_csv_fields(text, records.end[r] - from, separator, fields, MAX_FIELDS, nullptr);
        if (n < 1)
            continue; // no record is blank, and no candidate is refused: never
        widths[n]++;
        for (int k = 0; k < n; k++) {
            bool opens_quoted;
            typed += field_kind(text, fields[k], &opens_quoted) != KIND_MIXED;
        }
        cells += n;
    }
    if (records.count == 0)
        return result;
    double sum = 0, entropy = 0;
    for (int w = 1; w <= MAX_FIELDS; w++) {
        if (widths[w] == 0)
            continue;
        const double share = static_cast<double>(widths[w]) / records.count;
        entropy -= share * std::log(share);
        sum += share * (w - 1.0) / w;
        if (widths[w] > result.agreed || (widths[w] == result.agreed && w > result.width)) {
            result.agreed = widths[w];
            result.width = w;
        }
    }
    result.pattern = sum / std::exp(entropy);
    result.types = static_cast<double>(typed) / static_cast<double>(cells);
    result.score = result.pattern * (result.types > 0.01 ? result.types : 0.01);
    return result;
}

// Better: the higher score; on a tie, the cells more typed; then the
// candidate tried first.
bool better(const Score &a, const Score &b)
{
    const double tie = 1e-9;
    if (a.score > b.score + tie)
        return true;
    if (a.score < b.score - tie)
        return false;
    return a.types > b.types + tie;
}

struct Column {
    int kinds[KIND_COUNT];
    int present; // cells below the header that are not empty
    int shortest, longest;
    bool header_recurs;
    uint32_t values[VALUE_SLOTS];
    int distinct;
    bool values_full;
};

uint32_t hash_of(const char *p, int n)
{
    uint32_t h = 2166136261u;
    for (int k = 0; k < n; k++)
        h = (h ^ static_cast<unsigned char>(p[k])) * 16777619u;
    return h | 1u; // 0 marks a free slot
}

void remember(Column &column, const char *p, int n)
{
    if (column.values_full)
        return;
    const uint32_t h = hash_of(p, n);
    for (unsigned probe = 0; probe < VALUE_SLOTS; probe++) {
        uint32_t &slot = column.values[(h + probe) % VALUE_SLOTS];
        if (slot == h)
            return;
        if (slot == 0) {
            slot = h;
            if (++column.distinct == VALUE_SLOTS)
                column.values_full = true;
            return;
        }
    }
}

bool raw_equal(const char *text, const csv_line_field &a, const csv_line_field &b)
{
    return a.length == b.length && std::memcmp(text + a.start, text + b.start, static_cast<size_t>(a.length)) == 0;
}

// Whether the table's first record names its columns, and whether any
// field of the sample opens with a quote. Records before the first of the
// table's width (a preamble, comments) are passed over.
void judge_header(const Records &records, const Score &won, csv_line_field *fields, csv_line_dialect *dialect)
{
    static_assert(MAX_COLUMNS <= MAX_FIELDS, "the header's fields are a record's");
    csv_line_field names[MAX_COLUMNS];
    Kind name_kinds[MAX_COLUMNS];
    Column columns[MAX_COLUMNS];
    int first = -1, width = 0;
    bool quoted = false;
    for (int r = 0; r < records.count; r++) {
        const char *text = records.text + records.start[r];
        const int n = parse_csv_fields(text, records.end[r] - records.start[r], won.separator, fields, MAX_FIELDS,
                                       nullptr);
        if (first < 0 && n != won.width) {
            for (int k = 0; k < n; k++)
                quoted = quoted || (fields[k].length > 0 && text[fields[k].start] == '"');
            continue;
        }
        if (first < 0) {
            first = r;
            width = n < MAX_COLUMNS ? n : MAX_COLUMNS;
            for (int k = 0; k < width; k++) {
                bool opens;
                names[k] = fields[k];
                names[k].start += records.start[r];
                name_kinds[k] = field_kind(text, fields[k], &opens);
                quoted = quoted || opens;
                std::memset(&columns[k], 0, sizeof columns[k]);
                columns[k].shortest = 1 << 30;
            }
            continue;
        }
        for (int k = 0; k < n; k++) {
            bool opens;
            const Kind kind = field_kind(text, fields[k], &opens);
            quoted = quoted || opens;
            if (k >= width)
                continue;
            Column &column = columns[k];
            column.kinds[kind]++;
            if (kind == KIND_EMPTY)
                continue;
            column.present++;
            csv_line_field here = fields[k];
            here.start += records.start[r];
            column.header_recurs = column.header_recurs || raw_equal(records.text, here, names[k]);
            column.shortest = here.length < column.shortest ? here.length : column.shortest;
            column.longest = here.length > column.longest ? here.length : column.longest;
            remember(column, records.text + here.start, here.length);
        }
    }
    dialect->quoted = quoted;
    dialect->header = 0;
    if (first < 0)
        return;

    // One record alone: names are distinct words.
    if (first == records.count - 1) {
        if (width < 2)
            return;
        for (int k = 0; k < width; k++) {
            if (name_kinds[k] != KIND_TEXT)
                return;
            for (int j = 0; j < k; j++)
                if (raw_equal(records.text, names[j], names[k]))
                    return;
        }
        dialect->header = 1;
        return;
    }

    // Each column votes: a name over typed cells, or outside the few values
    // a column takes, or of another length than all its cells, says header;
    // a first cell like those below it says data.
    int votes = 0;
    for (int k = 0; k < width; k++) {
        const Column &column = columns[k];
        const Kind name = name_kinds[k];
        if (column.present == 0 || name == KIND_EMPTY)
            continue;
        int typed_kind = -1;
        for (int kind = KIND_NUMBER; kind <= KIND_BOOL; kind++)
            if (column.kinds[kind] * 3 >= column.present * 2)
                typed_kind = kind;
        if (typed_kind >= 0) {
            if (name == KIND_TEXT || name == KIND_MIXED)
                votes++;
            else if (name == typed_kind)
                votes--;
            continue;
        }
        const int name_length = names[k].length;
        if (column.header_recurs || name == KIND_NUMBER || name == KIND_DATE)
            votes--;
        else if (!column.values_full && column.present >= 6 && column.distinct * 3 <= column.present)
            votes++;
        else if (column.present >= 2 && column.shortest == column.longest && name_length != column.shortest)
            votes++;
    }
    dialect->header = votes > 0;
}

// The line ending of the first record: where the first LF outside quotes
// is; CR when the sample has no LF but a CR.
int line_ending_of(const char *text, int length, bool *cr_only)
{
    *cr_only = false;
    csv_line_field first;
    int taken = 0;
    parse_csv_fields(text, length, ',', &first, 1, &taken);
    if (taken > 0)
        return taken >= 2 && text[taken - 2] == '\r' ? CSV_LINE_ENDING_CRLF : CSV_LINE_ENDING_LF;
    if (length > 0 && std::memchr(text, '\n', static_cast<size_t>(length)) != nullptr)
        return CSV_LINE_ENDING_LF; // every LF inside quotes: a quote left open
    if (length > 0 && std::memchr(text, '\r', static_cast<size_t>(length)) != nullptr) {
        *cr_only = true;
        return CSV_LINE_ENDING_CR;
    }
    return CSV_LINE_ENDING_NONE;
}

// Whether the bytes are UTF-8; a sequence cut by the sample's end is
// taken to go on past it.
bool is_utf8(const unsigned char *p, size_t n)
{
    size_t at = 0;
    while (at < n) {
        const unsigned char c = p[at];
        if (c < 0x80) {
            at++;
            continue;
        }
        size_t more;
        unsigned char low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF)
            more = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
        } else
            return false;
        for (size_t k = 1; k <= more; k++) {
            if (at + k >= n)
                return true;
            const unsigned char next = p[at + k];
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF))
                return false;
        }
        at += more + 1;
    }
    return true;
}

unsigned unit_at(const unsigned char *p, bool big_endian)
{
    const unsigned first = p[0], next = p[1];
    return big_endian ? first << 8 | next : next << 8 | first;
}

// UTF-16 after its byte-order mark, turned into UTF-8 up to `room` bytes;
// a lone surrogate becomes U+FFFD. Returns the bytes written; *whole says
// whether every code unit was.
int utf16_to_utf8(const unsigned char *p, size_t n, bool big_endian, char *out, int room, bool *whole)
{
    size_t at = 2;
    int written = 0;
    while (at + 1 < n) {
        const unsigned unit = unit_at(p + at, big_endian);
        size_t used = 2;
        uint32_t code = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF && at + 3 < n) {
            const unsigned low = unit_at(p + at + 2, big_endian);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                used = 4;
            }
        }
        if (used == 2 && unit >= 0xD800 && unit <= 0xDFFF)
            code = 0xFFFD;
        const int size = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
        if (written + size > room)
            break;
        unsigned char *to = reinterpret_cast<unsigned char *>(out + written);
        if (size == 1)
            to[0] = static_cast<unsigned char>(code);
        else if (size == 2) {
            to[0] = static_cast<unsigned char>(0xC0 | code >> 6);
            to[1] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        } else if (size == 3) {
            to[0] = static_cast<unsigned char>(0xE0 | code >> 12);
            to[1] = static_cast<unsigned char>(0x80 | (code >> 6 & 0x3F));
            to[2] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        } else {
            to[0] = static_cast<unsigned char>(0xF0 | code >> 18);
            to[1] = static_cast<unsigned char>(0x80 | (code >> 12 & 0x3F));
            to[2] = static_cast<unsigned char>(0x80 | (code >> 6 & 0x3F));
            to[3] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        }
        written += size;
        at += used;
    }
    *whole = at >= n;
    return written;
}

int sniff_text(const char *text, int length, bool whole, csv_line_dialect *dialect)
{
    bool cr_only;
    dialect->line_ending = line_ending_of(text, length, &cr_only);

    Records records;
    find_records(text, length, whole, cr_only, &records);
    dialect->records = records.count;
    if (records.count == 0)
        return CSV_LINE_SNIFF_CANNOT_TELL;

    bool present[256] = {false};
    for (int k = 0; k < length; k++)
        present[static_cast<unsigned char>(text[k])] = true;

    csv_line_field fields[MAX_FIELDS];
    Score best = {',', 0, 0, 0, 1, 0}, second = best;
    bool scored = false;
    auto consider = [&](char separator) {
        const Score s = score_of(records, separator, fields);
        if (!scored || better(s, best)) {
            if (scored)
                second = best;
            best = s;
            scored = true;
        } else if (better(s, second)) {
            second = s;
        }
    };
    for (char c : primary)
        if (present[static_cast<unsigned char>(c)])
            consider(c);
    for (char c : secondary)
        if (present[static_cast<unsigned char>(c)])
            consider(c);
    if ((!scored || best.width < 2) && present[static_cast<unsigned char>(' ')]) {
        // A space is a separator only where nothing else splits.
        const Score space = score_of(records, ' ', fields);
        if (space.width >= 3 && (!scored || better(space, best))) {
            second = scored ? best : second;
            best = space;
            scored = true;
        }
    }
    if (!scored || best.width < 2) {
        // Nothing splits most records: one column, or nothing at all.
        const Score guess = scored && best.score > 0 ? best : score_of(records, ',', fields);
        dialect->separator = guess.separator;
        judge_header(records, guess, fields, dialect);
        dialect->confidence = 0;
        return CSV_LINE_SNIFF_CANNOT_TELL;
    }

    dialect->separator = best.separator;
    judge_header(records, best, fields, dialect);
    const double gap = best.score > 0 ? 1.0 - second.score / best.score : 0;
    const double enough = records.count >= RECORDS_FOR_CONFIDENCE
                              ? 1.0
                              : static_cast<double>(records.count) / RECORDS_FOR_CONFIDENCE;
    // Records of the winning width should be most of them: a table whose
    // rows split every which way is not one.
    const double agreed = static_cast<double>(best.agreed) / records.count;
    double confidence = gap * enough * (agreed < 0.5 ? agreed * 2 : 1.0);
    confidence = confidence < 0 ? 0 : confidence > 1 ? 1 : confidence;
    dialect->confidence = confidence;
    if (best.score <= 0 || gap < 0.05 || agreed < 0.5)
        return CSV_LINE_SNIFF_CANNOT_TELL;
    return CSV_LINE_SNIFF_FOUND;
}

} // namespace

int csv_line_sniff(const char *bytes, size_t length, csv_line_dialect *dialect)
{
    if (dialect == nullptr)
        return CSV_LINE_SNIFF_CANNOT_TELL;
    std::memset(dialect, 0, sizeof *dialect);
    dialect->separator = ',';
    dialect->encoding = CSV_LINE_ENCODING_UTF8;
    if (bytes == nullptr || length == 0)
        return CSV_LINE_SNIFF_CANNOT_TELL;

    // A sample as long as the one csv_line_sniff_path takes, or longer, is
    // the start of a longer input: its last line may be cut.
    const bool whole = length < CSV_LINE_SNIFF_SAMPLE;
    const size_t taken = whole ? length : static_cast<size_t>(CSV_LINE_SNIFF_SAMPLE);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes);

    if (taken >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
        const bool big_endian = p[0] == 0xFE;
        char text[UTF16_TEXT];
        bool all;
        const int n = utf16_to_utf8(p, taken, big_endian, text, UTF16_TEXT, &all);
        const int found = sniff_text(text, n, whole && all, dialect);
        dialect->encoding = big_endian ? CSV_LINE_ENCODING_UTF16BE : CSV_LINE_ENCODING_UTF16LE;
        return found;
    }
    size_t skip = 0;
    if (taken >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF)
        skip = 3;
    const int found = sniff_text(bytes + skip, static_cast<int>(taken - skip), whole, dialect);
    dialect->encoding = is_utf8(p + skip, taken - skip) ? CSV_LINE_ENCODING_UTF8 : CSV_LINE_ENCODING_CP1252;
    return found;
}
