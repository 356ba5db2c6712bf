/* Choosing fields and printing them: each record's chosen fields, escaped,
   gathered into a reader's output. */
#define _GNU_SOURCE

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "cut.h"

/* For the steps of the loop over a record's fields, which the compiler
   would otherwise call from more than one place. */
#if defined(__GNUC__)
#define ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define ALWAYS_INLINE inline
#endif

const char *program = "csv_cut";

/* A field number at *p, 1 to MAX_FIELD; moves *p past it. -1 if none. */
static int field_number(const char **p)
{
    long n = 0;

    if (**p < '0' || **p > '9')
        return -1;
    while (**p >= '0' && **p <= '9' && n <= MAX_FIELD)
        n = n * 10 + (*(*p)++ - '0');
    return n >= 1 && n <= MAX_FIELD && (**p < '0' || **p > '9') ? (int)n : -1;
}

/* A range of numbers at *p, as 2, 2-4, 3- or -2, ended by a comma or the
   list's end; moves *p past it. 0, or -1 if the item is not one. */
static int number_range(const char **p, struct range *r)
{
    r->first = 0;
    if (**p != '-' && (r->first = field_number(p)) < 0)
        return -1;
    r->last = r->first;
    if (**p == '-') {
        (*p)++;
        if (r->first == 0 && (**p == ',' || **p == '\0'))
            return -1; /* "-" alone */
        r->last = **p == ',' || **p == '\0' ? 0 : field_number(p);
        if (r->last < 0 || (r->last != 0 && r->last < (r->first > 0 ? r->first : 1)))
            return -1;
        r->first = r->first > 0 ? r->first : 1;
    }
    r->first--;
    r->last--; /* an open range: -1 */
    return **p == ',' || **p == '\0' ? 0 : -1;
}

/* Whether an item that is no number range (`length` bytes at `item`) is
   a name: a byte other than a digit or '-' makes it one, so that id and
   1x are names and 0 or 3-2 are bad numbers. */
static int looks_like_name(const char *item, size_t length)
{
    for (size_t k = 0; k < length; k++)
        if ((item[k] < '0' || item[k] > '9') && item[k] != '-')
            return 1;
    return 0;
}

int parse_list(struct list *list, const char *text, const struct header *header, const char *where)
{
    const char *p = text;
    int k;

    free(list->ranges);
    list->ranges = malloc((strlen(text) / 2 + 1) * sizeof *list->ranges); /* an item takes 2 bytes or more */
    list->count = list->rows = list->open = 0;
    if (list->ranges == NULL) {
        fprintf(stderr, "%s: out of memory\n", program);
        return -1;
    }
    for (;;) {
        const char *item = p;
        const size_t length = strcspn(item, ",");
        struct range r;
        if (number_range(&p, &r) != 0) {
            if (length == 0 || !looks_like_name(item, length))
                break;
            if (header == NULL) {
                fprintf(stderr, "%s: bad field list '%s': '%.*s' is a name; give -H (--header) to take names from "
                        "the first record\n", program, text, (int)length, item);
                return -1;
            }
            for (k = 0; k < header->count; k++)
                if (header->lengths[k] == length && memcmp(header->names[k], item, length) == 0)
                    break;
            if (k == header->count) {
                fprintf(stderr, "%s: %s: no field named '%.*s' in the header\n", program, where, (int)length, item);
                return -2;
            }
            if (k >= MAX_FIELD) {
                fprintf(stderr, "%s: %s: field '%.*s' is past field %d\n", program, where, (int)length, item, MAX_FIELD);
                return -2;
            }
            r.first = r.last = k;
            p = item + length;
        }
        if (r.last < 0)
            list->open = 1;
        else if (r.last + 1 > list->rows)
            list->rows = r.last + 1;
        list->ranges[list->count++] = r;
        if (*p == '\0') {
            /* An open range needs every field: one row more than any list
               may name tells a record with more apart. */
            if (list->open || list->complement)
                list->rows = MAX_FIELD + 1;
            if (list->complement) {
                memset(list->chosen, 0, MAX_FIELD);
                for (k = 0; k < list->count; k++) {
                    const int last = list->ranges[k].last >= 0 ? list->ranges[k].last : MAX_FIELD - 1;
                    for (int field = list->ranges[k].first; field <= last; field++)
                        list->chosen[field] = 1;
                }
            }
            return 0;
        }
        p++; /* the comma */
    }
    fprintf(stderr, "%s: bad field list '%s': give field numbers from 1 to %d, as in 1,6 or 2-4 or 3-, or names with "
            "-H\n", program, text, MAX_FIELD);
    return -1;
}

int read_header(struct header *header, const csv_line_batch *batch, const csv_line_record *record)
{
    header->names = calloc((size_t)record->count + 1, sizeof *header->names);
    header->lengths = calloc((size_t)record->count + 1, sizeof *header->lengths);
    header->count = 0;
    if (header->names == NULL || header->lengths == NULL)
        return -1;
    /* A name is its value, or its content by the splitting rule where it
       is malformed (and reported as the header is printed). */
    for (int k = 0; k < record->count; k++) {
        const csv_line_text name = csv_line_batch_value(batch, record->field + k);
        header->names[k] = name.data;
        header->lengths[k] = (size_t)name.length;
    }
    header->count = record->count;
    return 0;
}

void free_header(struct header *header)
{
    free(header->names);
    free(header->lengths);
    memset(header, 0, sizeof *header);
}

int cut_open(struct cut *cut, const struct list *list, size_t out_limit)
{
    memset(cut, 0, sizeof *cut);
    cut->list = list;
    cut->out_limit = out_limit;
    cut->out = malloc(2 * out_limit + 8);
    return cut->out != NULL ? 0 : -1;
}

void cut_close(struct cut *cut)
{
    free(cut->out);
    free(cut->said);
    cut->out = cut->said = NULL;
}

static void write_out(struct cut *cut, FILE *stream, const char *bytes, size_t n)
{
    if (cut->write_error == 0 && n > 0 && fwrite(bytes, 1, n, stream) != n)
        cut->write_error = errno != 0 ? errno : EIO;
}

/* On a thread: waits until the batches before this printer's have been
   written; the messages it held go first. */
static void take_turn(struct cut *cut)
{
    struct order *order = cut->order;
    if (order == NULL || cut->holds_turn)
        return;
    pthread_mutex_lock(&order->lock);
    while (order->turn != cut->turn)
        pthread_cond_wait(&order->moved, &order->lock);
    pthread_mutex_unlock(&order->lock);
    cut->holds_turn = 1;
    write_out(cut, stderr, cut->said, cut->said_used);
    cut->said_used = 0;
}

void cut_flush(struct cut *cut)
{
    take_turn(cut);
    write_out(cut, stdout, cut->out, cut->used);
    cut->used = 0;
}

void end_turn(struct cut *cut)
{
    struct order *order = cut->order;
    cut_flush(cut);
    pthread_mutex_lock(&order->lock);
    order->turn = cut->turn + 1;
    order->problems += cut->problems;
    if (order->write_error == 0)
        order->write_error = cut->write_error;
    pthread_cond_broadcast(&order->moved);
    pthread_mutex_unlock(&order->lock);
    cut->holds_turn = 0;
    cut->problems = 0;
}

void say(struct cut *cut, const char *format, ...)
{
    char line[512];
    va_list args;
    int n;

    va_start(args, format);
    n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0)
        return;
    if ((size_t)n >= sizeof line)
        n = sizeof line - 1;
    if (cut->order == NULL || cut->holds_turn) {
        fprintf(stderr, "%s: %s\n", program, line);
        return;
    }
    /* Held until the batches before are written. */
    {
        /* "program: line\n" and the NUL sprintf ends it with */
        const size_t need = cut->said_used + strlen(program) + (size_t)n + 4;
        if (need > cut->said_size) {
            char *bigger = realloc(cut->said, 2 * need);
            if (bigger == NULL) {
                take_turn(cut);
                fprintf(stderr, "%s: %s\n", program, line);
                return;
            }
            cut->said = bigger;
            cut->said_size = 2 * need;
        }
        cut->said_used += (size_t)sprintf(cut->said + cut->said_used, "%s: %s\n", program, line);
    }
}

/* Writes what is gathered once it is more than out_limit bytes: there is
   always room for out_limit bytes more and 8 to spare, in 2 * out_limit + 8. */
static void flush_full(struct cut *cut)
{
    if (cut->used > cut->out_limit)
        cut_flush(cut);
}

static void put_byte(struct cut *cut, char c)
{
    flush_full(cut);
    cut->out[cut->used++] = c;
}

/* One bit in each byte of a word that may need an escape: TAB, LF, CR,
   backslash, and the bytes from 0 to 13 that need none, which then take
   the slow way. The lowest flagged byte is always one of them; bytes above
   it may be flagged falsely. */
static uint64_t may_need_escape(uint64_t word)
{
    const uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    const uint64_t backslashes = word ^ (ones * '\\');
    return (((word - ones * 14) & ~word) | ((backslashes - ones) & ~backslashes)) & highs;
}

/* The 8 bytes at p as a word whose lowest byte is the first in memory,
   whatever the byte order: the borrows of may_need_escape run from lower
   bytes to higher ones, so only bytes after a flagged one may be flagged
   falsely. */
static uint64_t load_in_order(const char *p)
{
    uint64_t word;
    memcpy(&word, p, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

/* How many bytes of a word from load_in_order come before the first one
   that flags marks. */
static unsigned bytes_before(uint64_t flags)
{
#if defined(__GNUC__)
    return (unsigned)__builtin_ctzll(flags) / 8;
#else
    unsigned n = 0;
    while (!(flags & ((uint64_t)0x80 << (8 * n))))
        n++;
    return n;
#endif
}

/* Appends the n bytes at p, escaped, in pieces of up to half out_limit
   bytes (rounded up), so that a piece, escaped, fits in the room that
   flush_full leaves, with the 8 bytes a word may write past it. Bytes go a
   word at a time: a word may be read past the n bytes, up to
   cut->readable, the end of the input held, and what it holds past them
   is never written out. */
static void put_escaped(struct cut *cut, const char *p, size_t n)
{
    const size_t half = (cut->out_limit + 1) / 2;
    while (n > 0) {
        const size_t piece = n < half ? n : half;
        const char *end = p + piece;
        char *out;
        flush_full(cut);
        out = cut->out + cut->used;
        while (p != end) {
            if (cut->readable - p >= 8) {
                const size_t left = (size_t)(end - p);
                uint64_t flags = may_need_escape(load_in_order(p));
                unsigned plain;
                if (left < 8)
                    flags |= (uint64_t)0x80 << (8 * left); /* a stop at the end */
                plain = flags == 0 ? 8 : bytes_before(flags);
                memcpy(out, p, 8);
                out += plain;
                p += plain;
                if (plain == 8 || p == end)
                    continue;
            }
            switch (*p) {
            case '\t': *out++ = '\\'; *out++ = 't'; break;
            case '\n': *out++ = '\\'; *out++ = 'n'; break;
            case '\r': *out++ = '\\'; *out++ = 'r'; break;
            case '\\': *out++ = '\\'; *out++ = '\\'; break;
            default: *out++ = *p;
            }
            p++;
        }
        cut->used = (size_t)(out - cut->out);
        n -= piece;
    }
}

/* Appends the bytes of [p, end) but its quotes, escaped; with `doubled`
   (every quote there is one of a pair), each pair as one quote. */
static void put_unquoted(struct cut *cut, const char *p, const char *end, int doubled)
{
    while (p < end) {
        const char *quote = memchr(p, '"', (size_t)(end - p));
        if (quote == NULL)
            quote = end;
        put_escaped(cut, p, (size_t)(quote - p));
        if (quote == end)
            return;
        if (doubled)
            put_byte(cut, '"');
        p = quote + 1 + doubled;
    }
}

/* Appends field k of the record at `record`, as RFC 4180 readers read it
   where it is well formed for them, else by the splitting rule; returns 0,
   or -1 for a field of the second kind. */
static ALWAYS_INLINE int put_field(struct cut *cut, const char *record, const csv_line_field *field)
{
    const char *raw = record + field->start;
    if (field->quotes == 0) {
        put_escaped(cut, raw, (size_t)field->length);
        return 0;
    }
    /* The most common quoted field: two quotes, which enclose it. */
    if (field->quotes == 2 && raw[0] == '"' && raw[field->length - 1] == '"') {
        put_escaped(cut, raw + 1, (size_t)field->length - 2);
        return 0;
    }
    if (csv_line_field_value(record, field, NULL, 0) >= 0) {
        put_unquoted(cut, raw + 1, raw + field->length - 1, 1);
        return 0;
    }
    put_unquoted(cut, raw, raw + field->length, 0);
    return -1;
}

/* Appends the n bytes at p as they are, in pieces that fit the room
   flush_full leaves. */
static void put_plain(struct cut *cut, const char *p, size_t n)
{
    while (n > 0) {
        const size_t piece = n < cut->out_limit ? n : cut->out_limit;
        flush_full(cut);
        memcpy(cut->out + cut->used, p, piece);
        cut->used += piece;
        p += piece;
        n -= piece;
    }
}

/* Appends field k of the record as the library's writer writes it: its
   value, quoted with its quotes doubled exactly where a CSV reader needs
   it. A malformed field's value is its content by the splitting rule;
   returns -1 for one, else 0. */
static int put_csv_field(struct cut *cut, int k)
{
    const int index = cut->first_field + k;
    const csv_line_text value = csv_line_batch_value(cut->batch, index);
    const char separator = cut->list->out_separator;
    size_t room, n;

    flush_full(cut);
    room = 2 * cut->out_limit + 8 - cut->used;
    n = csv_line_field_write(cut->out + cut->used, room, value.data, (size_t)value.length, separator);
    if (n <= room) {
        cut->used += n;
    } else {
        /* Longer than the room left: written whole elsewhere first. */
        char *whole = malloc(n);
        if (whole == NULL) {
            say(cut, "out of memory");
            cut->problems++;
        } else {
            csv_line_field_write(whole, n, value.data, (size_t)value.length, separator);
            put_plain(cut, whole, n);
            free(whole);
        }
    }
    return -csv_line_batch_malformed(cut->batch, index);
}

static void report_malformed(struct cut *cut, int field, const char *what)
{
    say(cut, "%s: line %lld: field %d: a quote inside an unquoted field or after a closing quote%s", cut->name,
        cut->line, field + 1, what);
    cut->problems++;
}

/* Appends one chosen field of a record of n fields, after the separator
   unless it is the record's first, in either way of writing. Returns
   whether its value was empty. */
static int put_chosen(struct cut *cut, const char *text, int n, int field, int *printed)
{
    const csv_line_field *f = &cut->fields[field];
    int malformed;
    if ((*printed)++ > 0)
        put_byte(cut, cut->list->out_separator);
    if (field >= n)
        return 1; /* a record without the field prints it empty */
    malformed = cut->list->csv ? put_csv_field(cut, field) : put_field(cut, text, f);
    if (malformed != 0)
        report_malformed(cut, field, "; printed with every quote dropped");
    /* Empty: no byte, two quotes that enclose nothing, or only quotes
       where every quote is dropped. */
    return f->length == 0 || (f->quotes == 2 && f->length == 2) || (malformed && f->length == f->quotes);
}

void print_record(struct cut *cut, const char *text, int n)
{
    const struct list *list = cut->list;
    int printed = 0, empty = 0;

    if (n > MAX_FIELD && list->rows > MAX_FIELD) {
        say(cut, "%s: line %lld: more than %d fields; the rest not printed", cut->name, cut->line, MAX_FIELD);
        cut->problems++;
    }
    if (n > MAX_FIELD)
        n = MAX_FIELD;
    if (!list->complement && !list->csv) {
        /* The common way, kept to its few steps. */
        const char separator = list->out_separator;
        for (int k = 0; k < list->count; k++) {
            const struct range r = list->ranges[k];
            const int last = r.last >= 0 ? r.last : n - 1;
            for (int field = r.first; field <= last; field++) {
                if (printed++ > 0)
                    put_byte(cut, separator);
                if (field < n && put_field(cut, text, &cut->fields[field]) != 0)
                    report_malformed(cut, field, "; printed with every quote dropped");
            }
        }
        put_byte(cut, '\n');
        return;
    }
    if (list->complement) {
        for (int field = 0; field < n; field++)
            if (!list->chosen[field])
                empty = put_chosen(cut, text, n, field, &printed);
    } else {
        for (int k = 0; k < list->count; k++) {
            const struct range r = list->ranges[k];
            const int last = r.last >= 0 ? r.last : n - 1;
            for (int field = r.first; field <= last; field++)
                empty = put_chosen(cut, text, n, field, &printed);
        }
    }
    /* A CSV record of one empty field is written "", as an empty line is
       read back as no field at all. */
    if (list->csv && printed == 1 && empty)
        put_plain(cut, "\"\"", 2);
    put_byte(cut, '\n');
}

/* Whether field k of a record of n fields is printed. */
static int printed(const struct list *list, int k, int n)
{
    if (k >= MAX_FIELD)
        return 0;
    if (list->complement)
        return !list->chosen[k];
    for (int i = 0; i < list->count; i++)
        if (k >= list->ranges[i].first && (k <= list->ranges[i].last || (list->ranges[i].last < 0 && k < n)))
            return 1;
    return 0;
}

void cut_record(struct cut *cut, const csv_line_batch *batch, const csv_line_record *record)
{
    const csv_line_field *last = &batch->fields[record->field + record->count - 1];
    cut->batch = batch;
    cut->first_field = record->field;
    cut->fields = &batch->fields[record->field];
    cut->line = record->line;
    cut->readable = batch->text + last->start + last->length;
    if (record->flags & CSV_LINE_RECORD_UNCLOSED) {
        say(cut, "%s: line %lld: quote not closed by the end of the input", cut->name, cut->line);
        cut->problems++;
    }
    if (record->flags & CSV_LINE_RECORD_TOO_LONG) {
        say(cut, "%s: line %lld: record longer than %d MiB (a quote not closed?); ended at its line end", cut->name,
            cut->line, MAX_RECORD >> 20);
        cut->problems++;
    }
    if (record->flags & CSV_LINE_RECORD_LINE_TOO_LONG) {
        say(cut, "%s: line %lld: line longer than %d MiB; printed the fields in its first %d MiB", cut->name,
            cut->line, MAX_RECORD >> 20, MAX_RECORD >> 20);
        cut->problems++;
    }
    print_record(cut, batch->text, record->count);
    /* Every field is checked, printed or not: a stray quote in one that is
       not printed may have joined records. */
    if (record->flags & CSV_LINE_RECORD_MALFORMED)
        for (int k = 0; k < record->count; k++)
            if (!printed(cut->list, k, record->count) && csv_line_batch_malformed(batch, record->field + k))
                report_malformed(cut, k, "; not printed");
}
