/* csv_cut -f LIST [FILE]: prints the chosen fields of every record of a
   comma-separated file (standard input when no file, or "-", is given),
   one record a line, separated by a tab.

   LIST names fields by number, counted from 1, as in 1,6 or 2-4 or 3- (from
   the third to the record's last) or -2 (the first two), printed in the
   order it gives them. A record ends at an LF outside quotes, so a quoted
   cell may hold line breaks; a CR before that LF belongs to the ending. In
   the output a field's TAB, LF, CR and backslash are written \t, \n, \r and
   \\, so that every output line is one record and the output can be read
   back. A record without a chosen field prints it empty.

   Each field prints whole, however long, as the files' other readers read
   it (RFC 4180): a quoted field without its outer quotes, and a doubled
   quote inside it as one. A field those readers would not take (a quote
   inside an unquoted field, text after a closing quote) prints by the
   splitting rule, every quote dropped, and is reported.

   Input is read in large blocks and each record's fields printed from where
   they lie in the block; no field is copied before it is printed. A record
   may take up to MAX_RECORD bytes: memory follows the longest record, not
   the input. A longer record is reported, ended at its first line break,
   and the rest read on; a physical line longer than that prints the fields
   in its first MAX_RECORD bytes. Messages name the physical line, counted
   from 1, where the record began. Every problem makes the exit status
   non-zero once the input is done. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "csv_line.h"

enum { MAX_FIELD = 4096 };           /* the highest field number a list may name */
enum { BLOCK_SIZE = 1 << 18 };       /* bytes read at first: 256 KB measured a little faster than 1 MB */
enum { MAX_RECORD = 16 << 20 };      /* the most bytes of input held at once: a record's limit */
enum { OUT_SIZE = 1 << 16 };         /* output gathered before it is written */

/* One item of the list: fields first to last, counted from 0; last is -1
   for an open range, which runs to the record's last field. */
struct range {
    int first, last;
};

struct cut {
    struct range *ranges;
    int count;             /* ranges in the list */
    int rows;              /* the table's entries: the highest field needed + 1 */
    int open;              /* the list has an open range */
    csv_field *fields;
    /* Physical lines: the line number of the byte at `counted` in the
       buffer, whose earlier bytes have been counted. */
    long long line;
    size_t counted;
    int problems;          /* records not printed as read, so far */
    const char *readable;  /* the end of the input held: words may be read up to it */
    char out[2 * OUT_SIZE + 8]; /* escaped, a byte takes two */
    size_t used;
    int write_error;       /* errno of the first failed write, or 0 */
};

static const char *program = "csv_cut";

static void usage(void)
{
    fprintf(stderr, "usage: %s -f LIST [FILE]\n"
                    "Prints fields of each record, tab-separated; a field's tab, LF, CR and\n"
                    "backslash are written \\t, \\n, \\r and \\\\. LIST: 1,6  2-4  3-  -2\n",
            program);
}

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

/* Reads LIST into cut->ranges. Returns 0, or -1 after saying what is wrong. */
static int parse_list(struct cut *cut, const char *list)
{
    const char *p = list;

    cut->ranges = malloc((strlen(list) / 2 + 1) * sizeof *cut->ranges); /* an item takes 2 bytes or more */
    if (cut->ranges == NULL) {
        fprintf(stderr, "%s: out of memory\n", program);
        return -1;
    }
    for (;;) {
        struct range r = {0, -1};
        if (*p != '-' && (r.first = field_number(&p)) < 0)
            break;
        r.last = r.first;
        if (*p == '-') {
            p++;
            if (r.first == 0 && (*p == ',' || *p == '\0'))
                break; /* "-" alone */
            r.last = *p == ',' || *p == '\0' ? 0 : field_number(&p);
            if (r.last < 0 || (r.last != 0 && r.last < (r.first > 0 ? r.first : 1)))
                break;
            r.first = r.first > 0 ? r.first : 1;
        }
        r.first--;
        r.last--; /* an open range: -1 */
        if (r.last < 0)
            cut->open = 1;
        else if (r.last + 1 > cut->rows)
            cut->rows = r.last + 1;
        cut->ranges[cut->count++] = r;
        if (*p == '\0') {
            /* An open range needs every field: one row more than any list
               may name tells a record with more apart. */
            if (cut->open)
                cut->rows = MAX_FIELD + 1;
            return 0;
        }
        if (*p++ != ',')
            break;
    }
    fprintf(stderr, "%s: bad field list '%s': give field numbers from 1 to %d, as in 1,6 or 2-4 or 3-\n",
            program, list, MAX_FIELD);
    return -1;
}

static void write_out(struct cut *cut, const char *bytes, size_t n)
{
    if (cut->write_error == 0 && fwrite(bytes, 1, n, stdout) != n)
        cut->write_error = errno != 0 ? errno : EIO;
}

/* Writes what is gathered once it is more than OUT_SIZE bytes: there is
   always room for OUT_SIZE bytes more, escaped. */
static void flush_full(struct cut *cut)
{
    if (cut->used > OUT_SIZE) {
        write_out(cut, cut->out, cut->used);
        cut->used = 0;
    }
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

/* Appends the n bytes at p, escaped, in pieces of up to OUT_SIZE bytes.
   Bytes go a word at a time: a word may be read past the n bytes, up to
   cut->readable, the end of the input held, and what it holds past them
   is never written out. */
static void put_escaped(struct cut *cut, const char *p, size_t n)
{
    while (n > 0) {
        const size_t piece = n < OUT_SIZE ? n : OUT_SIZE;
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
static int put_field(struct cut *cut, const char *record, const csv_field *field)
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
    if (csv_field_value(record, field, NULL, 0) >= 0) {
        put_unquoted(cut, raw + 1, raw + field->length - 1, 1);
        return 0;
    }
    put_unquoted(cut, raw, raw + field->length, 0);
    return -1;
}

/* Counts the LF bytes of [p, p + n). */
static long long count_lines(const char *p, size_t n)
{
    long long lines = 0;

#ifdef __SSE2__
    /* Sixteen byte-wide counts, summed before any can overflow. */
    const __m128i lf = _mm_set1_epi8('\n');
    while (n >= 16) {
        const size_t rounds = n / 16 < 255 ? n / 16 : 255;
        __m128i counts = _mm_setzero_si128();
        for (size_t i = 0; i < rounds; i++, p += 16)
            counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(const void *)p), lf));
        counts = _mm_sad_epu8(counts, _mm_setzero_si128());
        lines += _mm_cvtsi128_si64(counts) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(counts, counts));
        n -= rounds * 16;
    }
#endif
    for (; n > 0; p++, n--)
        lines += *p == '\n';
    return lines;
}

/* The physical line at offset `at` of the buffer, at or after the last
   one asked for. */
static long long line_at(struct cut *cut, const char *buffer, size_t at)
{
    cut->line += count_lines(buffer + cut->counted, at - cut->counted);
    cut->counted = at;
    return cut->line;
}

/* Prints the chosen fields of the record at offset `at` of the buffer,
   whose n fields parse_csv_fields found in cut->fields. */
static void print_record(struct cut *cut, const char *buffer, size_t at, int n)
{
    const char *record = buffer + at;
    int k, printed = 0;

    if (n > MAX_FIELD) {
        fprintf(stderr, "%s: line %lld: more than %d fields; the rest not printed\n", program,
                line_at(cut, buffer, at), MAX_FIELD);
        cut->problems++;
        n = MAX_FIELD;
    }
    for (k = 0; k < cut->count; k++) {
        const struct range r = cut->ranges[k];
        const int last = r.last >= 0 ? r.last : n - 1;
        for (int field = r.first; field <= last; field++) {
            if (printed++ > 0)
                put_byte(cut, '\t');
            if (field >= n)
                continue; /* a record without the field prints it empty */
            if (put_field(cut, record, &cut->fields[field]) != 0) {
                fprintf(stderr, "%s: line %lld: field %d: a quote inside an unquoted field or after a closing "
                                "quote; printed with every quote dropped\n",
                        program, line_at(cut, buffer, at), field + 1);
                cut->problems++;
            }
        }
    }
    put_byte(cut, '\n');
}

/* Prints the record at `at` that ends at the buffer's first LF from there:
   one over MAX_RECORD, cut short where it most likely went wrong. Returns
   the offset after that LF, or 0 when the buffer has none. */
static size_t print_first_line(struct cut *cut, const char *buffer, size_t at, size_t held)
{
    const char *lf = memchr(buffer + at, '\n', held - at);
    const size_t end = lf != NULL ? (size_t)(lf - buffer) : held;
    const size_t length = end - at - (end > at && lf != NULL && buffer[end - 1] == '\r');
    const long long line = line_at(cut, buffer, at);

    cut->readable = buffer + held;
    if (lf != NULL)
        fprintf(stderr, "%s: line %lld: record longer than %d MiB (a quote not closed?); ended at its line end\n",
                program, line, MAX_RECORD >> 20);
    else
        fprintf(stderr, "%s: line %lld: line longer than %d MiB; printed the fields in its first %d MiB\n",
                program, line, MAX_RECORD >> 20, MAX_RECORD >> 20);
    cut->problems++;
    /* That line holds no LF, so it is split as one record. */
    print_record(cut, buffer, at, parse_csv_fields(buffer + at, (int)length, ',', cut->fields, cut->rows, NULL));
    return lf != NULL ? end + 1 : 0;
}

/* Prints every record of buffer[at, held) that ends in an LF and, at the
   end of the input, the rest as the last; returns where the first record
   not printed starts. */
static size_t cut_records(struct cut *cut, const char *buffer, size_t at, size_t held, int at_end)
{
    cut->readable = buffer + held;
    while (at < held && cut->write_error == 0) {
        const char *record = buffer + at;
        int length;
        const int n = parse_csv_fields(record, (int)(held - at), ',', cut->fields, cut->rows, &length);
        if (length > 0) {
            print_record(cut, buffer, at, n);
            at += (size_t)length;
            continue;
        }
        if (!at_end)
            break;
        /* The last record, with no LF after it: a quote left open took
           the rest of the input into it. */
        {
            size_t quotes = 0, i;
            for (i = at; i < held; i++)
                quotes += buffer[i] == '"';
            if (quotes % 2 != 0) {
                fprintf(stderr, "%s: line %lld: quote not closed by the end of the input\n", program,
                        line_at(cut, buffer, at));
                cut->problems++;
            }
        }
        print_record(cut, buffer, at, n);
        at = held;
    }
    return at;
}

/* Reads until an LF, dropping what comes before it; returns how many bytes
   after it are now at the start of the buffer, 0 at the end of the input,
   or -1 on a read error. */
static ssize_t skip_to_line_end(struct cut *cut, int fd, char *buffer, size_t capacity)
{
    for (;;) {
        const ssize_t got = read(fd, buffer, capacity);
        const char *lf;
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got;
        lf = memchr(buffer, '\n', (size_t)got);
        if (lf != NULL) {
            const size_t after = (size_t)got - (size_t)(lf + 1 - buffer);
            memmove(buffer, lf + 1, after);
            cut->line++;
            return (ssize_t)after;
        }
    }
}

/* Reads the input in blocks and prints its records. A record still open
   at the end of what is held is carried to the front of the buffer and
   split again once the buffer holds twice its bytes, so that no byte is
   split more than a few times however the input arrives; the buffer grows
   for it, up to MAX_RECORD. */
static int cut_input(struct cut *cut, int fd, const char *name)
{
    size_t capacity = BLOCK_SIZE, held = 0, need = 1;
    char *buffer = malloc(capacity);
    int at_end = 0;

    if (buffer == NULL) {
        fprintf(stderr, "%s: out of memory\n", program);
        return -1;
    }
    cut->line = 1;
    while (cut->write_error == 0) {
        size_t used;
        while (held < need && !at_end) {
            const ssize_t got = read(fd, buffer + held, capacity - held);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                fprintf(stderr, "%s: %s: %s\n", program, name, strerror(errno));
                free(buffer);
                return -1;
            }
            at_end = got == 0;
            held += (size_t)got;
        }
        used = cut_records(cut, buffer, 0, held, at_end);
        if (used == held && at_end)
            break;
        if (used == 0 && held == MAX_RECORD) {
            used = print_first_line(cut, buffer, 0, held);
            if (used == 0) {
                /* One line fills the buffer: the rest of it is dropped. */
                const ssize_t after = skip_to_line_end(cut, fd, buffer, capacity);
                if (after < 0) {
                    fprintf(stderr, "%s: %s: %s\n", program, name, strerror(errno));
                    free(buffer);
                    return -1;
                }
                held = (size_t)after;
                cut->counted = 0;
                need = 1;
                continue;
            }
        }
        line_at(cut, buffer, used);
        memmove(buffer, buffer + used, held - used);
        held -= used;
        cut->counted = 0;
        need = held < MAX_RECORD / 2 ? 2 * held + 1 : MAX_RECORD;
        if (need > capacity) {
            char *bigger;
            while (capacity < need)
                capacity = capacity * 2 < MAX_RECORD ? capacity * 2 : MAX_RECORD;
            bigger = realloc(buffer, capacity);
            if (bigger == NULL) {
                fprintf(stderr, "%s: out of memory\n", program);
                free(buffer);
                return -1;
            }
            buffer = bigger;
        }
    }
    free(buffer);
    return 0;
}

int main(int argc, char **argv)
{
    static struct cut cut;
    const char *list = NULL, *name = "standard input";
    int fd = STDIN_FILENO, failed, opt;

    while ((opt = getopt(argc, argv, "f:")) != -1) {
        if (opt != 'f') {
            usage();
            return 2;
        }
        list = optarg;
    }
    if (list == NULL || argc - optind > 1) {
        usage();
        return 2;
    }
    if (parse_list(&cut, list) != 0)
        return 2;
    cut.fields = calloc((size_t)cut.rows, sizeof *cut.fields);
    if (cut.fields == NULL) {
        fprintf(stderr, "%s: out of memory\n", program);
        return 1;
    }
    if (optind < argc && strcmp(argv[optind], "-") != 0) {
        name = argv[optind];
        fd = open(name, O_RDONLY);
        if (fd < 0) {
            fprintf(stderr, "%s: %s: %s\n", program, name, strerror(errno));
            return 1;
        }
    }
    failed = cut_input(&cut, fd, name);
    write_out(&cut, cut.out, cut.used);
    if (fflush(stdout) != 0 && cut.write_error == 0)
        cut.write_error = errno;
    if (cut.write_error != 0)
        fprintf(stderr, "%s: write error: %s\n", program, strerror(cut.write_error));
    free(cut.fields);
    free(cut.ranges);
    return failed || cut.write_error != 0 || cut.problems > 0;
}
